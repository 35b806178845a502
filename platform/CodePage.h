#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace tarnwick {

// A character encoding, by name or the system's: the strings are encoded into
// it once (files may hold several encodings, each searched for its own forms:
// StringForms). File content is never converted: its bytes are searched as bytes.
//
// On Windows it is the ANSI code page (or a numbered one); on POSIX an iconv
// encoding name. UTF-8, single-byte code pages that keep ASCII bytes as they
// are, and the double-byte code pages of East Asia qualify. In the latter a
// later byte of a character can look like ASCII (Shift_JIS 83 41 is one
// character, not "A" after a lead byte), so a match counts only where a
// character starts (DoubleByte below). Stateful encodings (ISO-2022-*) and
// the other multibyte ones do not qualify.
class CodePage {
public:
    // The system's code page: on Windows CP_ACP; on POSIX the character set of
    // the environment's LC_CTYPE locale, UTF-8 where that is plain ASCII. It
    // may be one that files cannot be corrected in: see Usable().
    static CodePage System();
    // The code page a program's command-line arguments come in: UTF-8 on
    // Windows (the wide arguments converted by the program), the system's elsewhere.
    static CodePage Arguments();

    // The legacy code page of this system's text files: on Windows the ANSI
    // code page (the user locale's when the ANSI code page is UTF-8); elsewhere
    // the locale's character set when it qualifies (not UTF-8), else the code
    // page Windows uses for the locale's language. Nothing when that one does
    // not qualify.
    static std::optional<CodePage> Legacy();
    // The Windows code page for the language of a locale name such as
    // "ru_RU.UTF-8" (1251, "ja_JP" 932, "zh_TW" 950); 1252 for C, POSIX and
    // languages without their own.
    static unsigned WindowsCodePageFor(std::string_view locale);

    // The code page called `name` ("CP1251", "UTF-8", "CP932", "EUC-JP"; on
    // Windows a number or "CPnnn"), or nothing when the system does not know
    // it or it does not qualify.
    static std::optional<CodePage> Named(std::string_view name);

    // How characters of several bytes are made in a double-byte code page.
    enum class DoubleByte : std::uint8_t {
        None,      // UTF-8 or a single-byte code page: every match is whole characters
        ShiftJis,  // CP932, Shift_JIS
        Gbk,       // CP936
        Uhc,       // CP949
        Big5,      // CP950, Big5-HKSCS
        Gb18030,   // also four-byte characters, whose second and fourth bytes are digits
        EucJp,     // also three-byte characters after 0x8F
        Euc,       // EUC-KR, EUC-CN (GB2312)
    };
    // Which double-byte scheme the code page called `name` follows, if any.
    static DoubleByte DoubleByteOf(std::string_view name);

    const std::string& Name() const { return name_; }
    DoubleByte Scheme() const { return scheme_; }
    // Whether files may be searched and corrected in it; the system's code
    // page may not (a stateful or otherwise unsupported multibyte one).
    bool Usable() const { return usable_; }

    // `text` in this code page, or nothing when some character of it has no
    // exact representation here (no best-fit or "?" substitution).
    std::optional<std::string> Encode(std::u16string_view text) const;

    // `bytes` read as this code page, or nothing when they are not valid in it.
    std::optional<std::u16string> Decode(std::string_view bytes) const;

private:
    explicit CodePage(std::string name, unsigned number = 0) : name_(std::move(name)), number_(number) {}

    std::string name_;
    bool usable_ = true;
    DoubleByte scheme_ = DoubleByte::None;
    [[maybe_unused]] unsigned number_ = 0;  // Windows code page number; unused elsewhere
};

// UTF-8 <-> UTF-16 without any system help; nothing for malformed input
// (lone surrogates, invalid or overlong sequences).
std::optional<std::string> Utf16ToUtf8(std::u16string_view text);
std::optional<std::u16string> Utf8ToUtf16(std::string_view bytes);

// A path as text for output: its bytes on POSIX, UTF-8 on Windows.
std::string PathText(const std::filesystem::path& path);
// The path a text names: its bytes on POSIX, read as UTF-8 on Windows.
std::filesystem::path PathFromText(std::string_view text);
// Text as PathFromText reads it: in the system's code page on POSIX, UTF-8 on
// Windows; nothing when the text cannot be written so.
std::optional<std::string> PathTextFromUtf16(std::u16string_view text, const CodePage& system);

}  // namespace tarnwick
