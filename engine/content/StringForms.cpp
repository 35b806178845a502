#include "engine/content/StringForms.h"

#include <algorithm>
#include <cctype>

namespace tarnwick {

namespace {

std::optional<std::string> Utf16Bytes(std::u16string_view text, bool bigEndian) {
    // Lone surrogates are no text: the same rule as the other encodings.
    if (!Utf16ToUtf8(text)) return std::nullopt;
    std::string out;
    out.reserve(text.size() * 2);
    for (const char16_t unit : text) {
        const char high = static_cast<char>(unit >> 8), low = static_cast<char>(unit & 0xFF);
        out += bigEndian ? high : low;
        out += bigEndian ? low : high;
    }
    return out;
}

bool IsUtf8(const CodePage& codePage) { return EncodingLabel(codePage) == "utf-8"; }

}  // namespace

std::string EncodingLabel(const CodePage& codePage) {
    std::string name = codePage.Name();
    std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return std::tolower(c); });
    if (name == "utf8" || name == "cp65001" || name == "65001") return "utf-8";
    for (const std::string_view prefix : {"cp", "windows-"}) {
        if (name.rfind(prefix, 0) != 0) continue;
        const std::string digits = name.substr(prefix.size());
        if (digits.empty() || digits.find_first_not_of("0123456789") != std::string::npos) continue;
        if (digits == "874" || (digits.size() == 4 && digits.rfind("125", 0) == 0)) return "windows-" + digits;
        // Windows numbers pages that have names of their own elsewhere.
        static constexpr std::pair<std::string_view, std::string_view> kNamed[] = {
            {"20866", "koi8-r"},      {"21866", "koi8-u"},       {"20932", "euc-jp"},     {"51932", "euc-jp"},
            {"51949", "euc-kr"},      {"54936", "gb18030"},      {"28591", "iso-8859-1"}, {"28592", "iso-8859-2"},
            {"28593", "iso-8859-3"},  {"28594", "iso-8859-4"},   {"28595", "iso-8859-5"}, {"28596", "iso-8859-6"},
            {"28597", "iso-8859-7"},  {"28598", "iso-8859-8"},   {"28599", "iso-8859-9"}, {"28603", "iso-8859-13"},
            {"28605", "iso-8859-15"}, {"10007", "mac-cyrillic"},
        };
        for (const auto& [number, label] : kNamed)
            if (digits == number) return std::string(label);
    }
    return name;
}

template <typename Encode>
void StringForms::Add(std::span<const TextPair> pairs, Encoding e, const Encode& encode) {
    pairs_.resize(pairs.size());
    for (std::size_t i = 0; i < pairs.size(); ++i) {
        pairs_[i].search[Index(e)] = encode(pairs[i].search);
        pairs_[i].replace[Index(e)] = encode(pairs[i].replace);
    }
}

StringForms StringForms::Candidates(std::span<const TextPair> pairs, const std::optional<CodePage>& legacy,
                                    Encoding asciiFiles) {
    StringForms forms;
    const CodePage utf8 = *CodePage::Named("UTF-8");
    forms.Add(pairs, Encoding::Utf8, [&](std::u16string_view text) { return utf8.Encode(text); });
    forms.names_[Index(Encoding::Utf8)] = "utf-8";
    if (legacy && legacy->Usable() && !IsUtf8(*legacy)) {
        forms.Add(pairs, Encoding::Legacy, [&](std::u16string_view text) { return legacy->Encode(text); });
        forms.names_[Index(Encoding::Legacy)] = EncodingLabel(*legacy);
        forms.legacyScheme_ = legacy->Scheme();
    } else if (asciiFiles == Encoding::Legacy) {
        asciiFiles = Encoding::Utf8;
    }
    for (const bool bigEndian : {false, true}) {
        const Encoding e = bigEndian ? Encoding::Utf16BE : Encoding::Utf16LE;
        forms.Add(pairs, e, [&](std::u16string_view text) { return Utf16Bytes(text, bigEndian); });
        forms.names_[Index(e)] = bigEndian ? "utf-16be" : "utf-16le";
    }
    forms.asciiFiles_ = asciiFiles;
    return forms;
}

StringForms StringForms::Candidates(std::u16string_view search, std::u16string_view replace,
                                    const std::optional<CodePage>& legacy, Encoding asciiFiles) {
    const TextPair pair{std::u16string(search), std::u16string(replace)};
    return Candidates(std::span(&pair, 1), legacy, asciiFiles);
}

StringForms StringForms::ForSystem(std::span<const TextPair> pairs, const CodePage& system,
                                   const std::optional<CodePage>& legacy) {
    if (IsUtf8(system)) return Candidates(pairs, legacy ? legacy : CodePage::Legacy(), Encoding::Utf8);
    return Candidates(pairs, legacy ? *legacy : system, Encoding::Legacy);
}

StringForms StringForms::ForSystem(std::u16string_view search, std::u16string_view replace, const CodePage& system) {
    const TextPair pair{std::u16string(search), std::u16string(replace)};
    return ForSystem(std::span(&pair, 1), system);
}

StringForms StringForms::Only(std::span<const TextPair> pairs, const CodePage& codePage) {
    StringForms forms;
    const Encoding e = IsUtf8(codePage) ? Encoding::Utf8 : Encoding::Legacy;
    forms.Add(pairs, e, [&](std::u16string_view text) { return codePage.Encode(text); });
    forms.names_[Index(e)] = EncodingLabel(codePage);
    forms.asciiFiles_ = e;
    forms.legacyScheme_ = codePage.Scheme();
    return forms;
}

StringForms StringForms::Only(std::u16string_view search, std::u16string_view replace, const CodePage& codePage) {
    const TextPair pair{std::u16string(search), std::u16string(replace)};
    return Only(std::span(&pair, 1), codePage);
}

StringForms StringForms::Bytes(std::string search, std::string replace) {
    StringForms forms;
    forms.pairs_[0].search[Index(Encoding::Legacy)] = std::move(search);
    forms.pairs_[0].replace[Index(Encoding::Legacy)] = std::move(replace);
    forms.asciiFiles_ = Encoding::Legacy;
    return forms;
}

bool StringForms::Utf16() const {
    return std::any_of(pairs_.begin(), pairs_.end(),
                       [](const PairForms& p) { return p.search[Index(Encoding::Utf16LE)].has_value(); });
}

bool StringForms::AnySearchForm() const {
    return std::all_of(pairs_.begin(), pairs_.end(), [](const PairForms& p) {
        return std::any_of(p.search.begin(), p.search.end(), [](const auto& form) { return form.has_value(); });
    });
}

std::string StringForms::Names(EncodingSet set, std::string_view legacy) const {
    std::string names;
    for (const std::string& name : NameList(set, legacy)) names += (names.empty() ? "" : ",") + name;
    return names;
}

std::vector<std::string> StringForms::NameList(EncodingSet set, std::string_view legacy) const {
    std::vector<std::string> names;
    for (std::size_t i = 0; i < kEncodingCount; ++i) {
        const auto e = static_cast<Encoding>(i);
        const std::string_view name = e == Encoding::Legacy && !legacy.empty() ? legacy : std::string_view(names_[i]);
        if (set.Has(e) && !name.empty()) names.emplace_back(name);
    }
    return names;
}

}  // namespace tarnwick
