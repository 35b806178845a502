#include "StringForms.h"

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
        if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
            (digits == "874" || (digits.size() == 4 && digits.rfind("125", 0) == 0)))
            return "windows-" + digits;
    }
    return name;
}

StringForms StringForms::Candidates(std::u16string_view search, std::u16string_view replace,
                                    const std::optional<CodePage>& legacy, Encoding asciiFiles) {
    StringForms forms;
    const CodePage utf8 = *CodePage::Named("UTF-8");
    forms.search_[Index(Encoding::Utf8)] = utf8.Encode(search);
    forms.replace_[Index(Encoding::Utf8)] = utf8.Encode(replace);
    forms.names_[Index(Encoding::Utf8)] = "utf-8";
    if (legacy && legacy->Usable() && !IsUtf8(*legacy)) {
        forms.search_[Index(Encoding::Legacy)] = legacy->Encode(search);
        forms.replace_[Index(Encoding::Legacy)] = legacy->Encode(replace);
        forms.names_[Index(Encoding::Legacy)] = EncodingLabel(*legacy);
        forms.legacyScheme_ = legacy->Scheme();
    } else if (asciiFiles == Encoding::Legacy) {
        asciiFiles = Encoding::Utf8;
    }
    for (const bool bigEndian : {false, true}) {
        const std::size_t i = Index(bigEndian ? Encoding::Utf16BE : Encoding::Utf16LE);
        forms.search_[i] = Utf16Bytes(search, bigEndian);
        forms.replace_[i] = Utf16Bytes(replace, bigEndian);
        forms.names_[i] = bigEndian ? "utf-16be" : "utf-16le";
    }
    forms.asciiFiles_ = asciiFiles;
    return forms;
}

StringForms StringForms::ForSystem(std::u16string_view search, std::u16string_view replace, const CodePage& system) {
    if (IsUtf8(system)) return Candidates(search, replace, CodePage::Legacy(), Encoding::Utf8);
    return Candidates(search, replace, system, Encoding::Legacy);
}

StringForms StringForms::Only(std::u16string_view search, std::u16string_view replace, const CodePage& codePage) {
    StringForms forms;
    const Encoding e = IsUtf8(codePage) ? Encoding::Utf8 : Encoding::Legacy;
    forms.search_[Index(e)] = codePage.Encode(search);
    forms.replace_[Index(e)] = codePage.Encode(replace);
    forms.names_[Index(e)] = EncodingLabel(codePage);
    forms.asciiFiles_ = e;
    forms.legacyScheme_ = codePage.Scheme();
    return forms;
}

StringForms StringForms::Bytes(std::string search, std::string replace) {
    StringForms forms;
    forms.search_[Index(Encoding::Legacy)] = std::move(search);
    forms.replace_[Index(Encoding::Legacy)] = std::move(replace);
    forms.asciiFiles_ = Encoding::Legacy;
    return forms;
}

bool StringForms::AnySearchForm() const {
    return std::any_of(search_.begin(), search_.end(), [](const auto& form) { return form.has_value(); });
}

std::string StringForms::Names(EncodingSet set) const {
    std::string names;
    for (std::size_t i = 0; i < kEncodingCount; ++i) {
        const auto e = static_cast<Encoding>(i);
        if (!set.Has(e) || names_[i].empty()) continue;
        if (!names.empty()) names += ',';
        names += names_[i];
    }
    return names;
}

}  // namespace tarnwick
