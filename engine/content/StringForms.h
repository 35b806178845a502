#pragma once

#include "platform/CodePage.h"

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick {

// The encodings a text file may use. A file is never decoded: the search and
// replace strings are encoded into each of these and the bytes are compared.
enum class Encoding : std::uint8_t {
    Utf8,     // UTF-8, with or without a byte-order mark
    Legacy,   // the legacy code page (Windows-1251 for Russian text, CP932 for Japanese)
    Utf16LE,  // only in files that start with its byte-order mark
    Utf16BE,
};
inline constexpr std::size_t kEncodingCount = 4;

// A set of encodings, e.g. those whose forms of the search string a file holds.
class EncodingSet {
public:
    void Add(Encoding e) { bits_ |= Bit(e); }
    bool Has(Encoding e) const { return bits_ & Bit(e); }
    bool Empty() const { return bits_ == 0; }
    bool operator==(const EncodingSet&) const = default;

private:
    static std::uint8_t Bit(Encoding e) { return static_cast<std::uint8_t>(1u << static_cast<unsigned>(e)); }
    std::uint8_t bits_ = 0;
};

// One replacement as the user typed it.
struct TextPair {
    std::u16string search;
    std::u16string replace;
    // This pair alone matches letters in any case, whole words only, writes
    // each replacement in its occurrence's case shape (as the run's switches
    // do for every pair).
    bool ignoreCase = false;
    bool word = false;
    bool preserveCase = false;
};

// The search and replace strings of each pair in every encoding they are
// looked for in. An encoding that cannot represent a string has no form of it.
class StringForms {
public:
    // Every candidate encoding: UTF-8, `legacy` (when there is one), UTF-16LE
    // and UTF-16BE. `asciiFiles` is the encoding of a file of ASCII bytes only
    // (the system's code page): it decides the replacement where the search
    // string's forms coincide and the replace string's do not.
    static StringForms Candidates(std::span<const TextPair> pairs, const std::optional<CodePage>& legacy,
                                  Encoding asciiFiles);
    static StringForms Candidates(std::u16string_view search, std::u16string_view replace,
                                  const std::optional<CodePage>& legacy, Encoding asciiFiles);
    // Every candidate encoding for a system whose code page is `system`: a
    // code page other than UTF-8 is the legacy code page and the encoding of ASCII files;
    // for UTF-8 the legacy code page is CodePage::Legacy()'s. `legacy`, when
    // given, takes the legacy code page's place.
    static StringForms ForSystem(std::span<const TextPair> pairs, const CodePage& system,
                                 const std::optional<CodePage>& legacy = std::nullopt);
    static StringForms ForSystem(std::u16string_view search, std::u16string_view replace, const CodePage& system);
    // One encoding only: `codePage` (UTF-8 or a legacy code page).
    static StringForms Only(std::span<const TextPair> pairs, const CodePage& codePage);
    static StringForms Only(std::u16string_view search, std::u16string_view replace, const CodePage& codePage);
    // Byte strings as they are, in one encoding without a name.
    static StringForms Bytes(std::string search, std::string replace);

    // How many pairs, in the order given; the first is the one of the accessors without a pair.
    std::size_t PairCount() const { return pairs_.size(); }
    const std::optional<std::string>& Search(std::size_t pair, Encoding e) const {
        return pairs_[pair].search[Index(e)];
    }
    const std::optional<std::string>& Replace(std::size_t pair, Encoding e) const {
        return pairs_[pair].replace[Index(e)];
    }
    const std::optional<std::string>& Search(Encoding e) const { return Search(0, e); }
    const std::optional<std::string>& Replace(Encoding e) const { return Replace(0, e); }
    // "utf-8", "windows-1251", "utf-16le", "utf-16be".
    const std::string& Name(Encoding e) const { return names_[Index(e)]; }
    Encoding AsciiFiles() const { return asciiFiles_; }
    // How the legacy code page makes characters of several bytes, if it does.
    CodePage::DoubleByte LegacyScheme() const { return legacyScheme_; }
    // Whether files with a UTF-16 byte-order mark are searched in UTF-16.
    bool Utf16() const;
    // Whether some encoding can represent each search string.
    bool AnySearchForm() const;

    // The encodings of `set`, in the order above, joined by commas; `legacy`,
    // when given, names the legacy code page in place of this one's.
    std::string Names(EncodingSet set, std::string_view legacy = {}) const;
    // The same names, one by one.
    std::vector<std::string> NameList(EncodingSet set, std::string_view legacy = {}) const;

private:
    static std::size_t Index(Encoding e) { return static_cast<std::size_t>(e); }
    struct PairForms {
        std::array<std::optional<std::string>, kEncodingCount> search;
        std::array<std::optional<std::string>, kEncodingCount> replace;
    };
    // Each pair in `e`, by `encode`.
    template <typename Encode>
    void Add(std::span<const TextPair> pairs, Encoding e, const Encode& encode);

    std::vector<PairForms> pairs_ = std::vector<PairForms>(1);
    std::array<std::string, kEncodingCount> names_;
    Encoding asciiFiles_ = Encoding::Utf8;
    CodePage::DoubleByte legacyScheme_ = CodePage::DoubleByte::None;
};

// The name records give a code page: "windows-1251" for CP1251, "utf-8", else
// the name in lower case.
std::string EncodingLabel(const CodePage& codePage);

}  // namespace tarnwick
