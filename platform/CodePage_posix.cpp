#include "platform/CodePage.h"
#include "CodePageRules.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include <iconv.h>
#include <langinfo.h>
#include <locale.h>

namespace tarnwick {

namespace {

bool IsUtf8Name(std::string_view name) {
    return name == "UTF-8" || name == "utf-8" || name == "UTF8" || name == "utf8";
}

// Runs `bytes` through iconv from `from` to `to`; nothing on any conversion
// error, so no character is ever dropped or replaced.
std::optional<std::string> Convert(const std::string& from, const std::string& to, std::string_view bytes) {
    iconv_t cd = iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string out;
    std::vector<char> buffer(4096);
    char* in = const_cast<char*>(bytes.data());
    std::size_t inLeft = bytes.size();
    bool ok = true;
    for (bool flushing = false;;) {
        char* outPtr = buffer.data();
        std::size_t outLeft = buffer.size();
        const std::size_t rc =
            flushing ? iconv(cd, nullptr, nullptr, &outPtr, &outLeft) : iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), outPtr);
        if (rc == static_cast<std::size_t>(-1)) {
            if (errno == E2BIG) continue;
            ok = false;  // EILSEQ or EINVAL: not representable / not valid
            break;
        }
        // glibc counts irreversible conversions in rc; those are substitutions.
        if (rc != 0) {
            ok = false;
            break;
        }
        if (flushing) break;
        flushing = true;
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    return out;
}

}  // namespace

CodePage CodePage::System() {
    // Ask the environment's locale without touching the process's own locale.
    std::string codeset;
    if (locale_t loc = newlocale(LC_CTYPE_MASK, "", static_cast<locale_t>(0))) {
        codeset = nl_langinfo_l(CODESET, loc);
        freelocale(loc);
    }
    if (codeset.empty() || codeset == "ANSI_X3.4-1968" || codeset == "ASCII" || codeset == "US-ASCII")
        codeset = "UTF-8";
    if (auto cp = Named(codeset)) return *cp;
    CodePage known{codeset};
    if (KeepsAscii(known)) {
        // A multibyte locale this program cannot match in (a stateful one): known, but not for correcting files.
        known.usable_ = false;
        return known;
    }
    return CodePage("UTF-8");
}

std::optional<CodePage> CodePage::Legacy() {
    const CodePage system = System();
    if (system.Usable() && !IsUtf8Name(system.name_)) return system;
    std::string locale;
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) {
            locale = value;
            break;
        }
    }
    return Named("CP" + std::to_string(WindowsCodePageFor(locale)));
}

namespace {

// Whether every byte is one whole character or an invalid one by itself, and
// every ASCII byte stands for itself: no byte starts a longer character and
// no shift state changes what ASCII bytes mean.
bool IsSingleByte(const std::string& name) {
    iconv_t cd = iconv_open("UTF-8", name.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    bool single = true;
    for (int b = 0; b < 256 && single; ++b) {
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
        char in[1] = {static_cast<char>(b)};
        char out[8];
        char* inPtr = in;
        char* outPtr = out;
        std::size_t inLeft = 1, outLeft = sizeof out;
        std::size_t rc = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
        // A character held back for a combining mark that may follow (CP1258) comes out on a flush.
        if (rc != static_cast<std::size_t>(-1) && outPtr == out) rc = iconv(cd, nullptr, nullptr, &outPtr, &outLeft);
        if (rc == static_cast<std::size_t>(-1)) single = errno == EILSEQ && b >= 0x80;
        else single = inLeft == 0 && (b >= 0x80 || (outPtr - out == 1 && out[0] == in[0]));
    }
    iconv_close(cd);
    return single;
}

}  // namespace

std::optional<CodePage> CodePage::Named(std::string_view name) {
    // iconv drops what is not a letter or digit from a name ("@@" would name
    // some page): only names made of what encoding names are made of.
    const auto usable = [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' || c == ':';
    };
    if (name.empty() || !std::all_of(name.begin(), name.end(), usable) ||
        std::none_of(name.begin(), name.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)); }))
        return std::nullopt;
    CodePage cp{std::string(name)};
    if (!KeepsAscii(cp)) return std::nullopt;
    cp.scheme_ = DoubleByteOf(cp.name_);
    if (cp.scheme_ == DoubleByte::None && !IsUtf8Name(cp.name_) && !IsSingleByte(cp.name_)) return std::nullopt;
    return cp;
}

std::optional<std::string> CodePage::Encode(std::u16string_view text) const {
    auto utf8 = Utf16ToUtf8(text);
    if (!utf8 || IsUtf8Name(name_)) return utf8;
    return Convert("UTF-8", name_, *utf8);
}

std::optional<std::u16string> CodePage::Decode(std::string_view bytes) const {
    if (IsUtf8Name(name_)) return Utf8ToUtf16(bytes);
    const auto utf8 = Convert(name_, "UTF-8", bytes);
    if (!utf8) return std::nullopt;
    return Utf8ToUtf16(*utf8);
}

CodePage CodePage::Arguments() { return System(); }

std::optional<std::string> PathTextFromUtf16(std::u16string_view text, const CodePage& system) {
    return system.Encode(text);
}

std::string PathText(const std::filesystem::path& path) { return path.native(); }

std::filesystem::path PathFromText(std::string_view text) { return std::filesystem::path(std::string(text)); }

}  // namespace tarnwick
