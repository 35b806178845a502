#include "settings/INI.h"

#include "settings/ProfileStore.h"

#include <cmath>
#include <string>
#include <vector>

namespace tarnwick::settings {

namespace {

constexpr std::size_t kMaxValueCharacters = 254;

// Cuts `text` to at most `count` characters, never between the two halves of
// a surrogate pair.
std::u16string FirstCharacters(std::u16string text, std::size_t count) {
    std::size_t units = 0;
    for (std::size_t chars = 0; units < text.size() && chars < count; ++chars) {
        const bool pair = text[units] >= 0xD800 && text[units] <= 0xDBFF && units + 1 < text.size();
        units += pair ? 2 : 1;
    }
    text.resize(units);
    return text;
}

int DigitValue(char16_t c) {
    if (c >= u'0' && c <= u'9') return c - u'0';
    if (c >= u'a' && c <= u'f') return c - u'a' + 10;
    if (c >= u'A' && c <= u'F') return c - u'A' + 10;
    return -1;
}

}  // namespace

double NumericValue(std::u16string_view raw) {
    std::u16string text;
    for (const char16_t c : raw)
        if (c != u' ' && c != u'\t' && c != u'\n') text += c;

    std::size_t i = 0;
    const auto peek = [&](std::size_t k = 0) -> char16_t { return i + k < text.size() ? text[i + k] : u'\0'; };

    if (peek() == u'&') {
        const char16_t form = peek(1);
        const int base = (form == u'H' || form == u'h') ? 16 : (form == u'O' || form == u'o') ? 8 : 0;
        if (base == 0) return 0;
        i += 2;
        double value = 0;
        for (int d; (d = DigitValue(peek())) >= 0 && d < base; ++i) value = value * base + d;
        return value;
    }

    // Collect the longest prefix that is a decimal number, in C form for strtod.
    std::string number;
    if (peek() == u'+' || peek() == u'-') number += static_cast<char>(text[i++]);
    bool digits = false, point = false;
    for (;; ++i) {
        const char16_t c = peek();
        if (c >= u'0' && c <= u'9') {
            number += static_cast<char>(c);
            digits = true;
        } else if (c == u'.' && !point) {
            number += '.';
            point = true;
        } else {
            break;
        }
    }
    if (!digits) return 0;
    const char16_t e = peek();
    if (e == u'E' || e == u'e' || e == u'D' || e == u'd') {
        std::size_t k = 1;
        std::string exponent = "e";
        if (peek(k) == u'+' || peek(k) == u'-') exponent += static_cast<char>(peek(k++));
        bool expDigits = false;
        for (; peek(k) >= u'0' && peek(k) <= u'9'; ++k) {
            exponent += static_cast<char>(peek(k));
            expDigits = true;
        }
        if (expDigits) number += exponent;
    }
    return std::strtod(number.c_str(), nullptr);
}

std::vector<std::optional<std::u16string>> INI::RINIAll(std::u16string_view section,
                                                        std::initializer_list<std::u16string_view> keyNames,
                                                        std::vector<bool>* cut) const {
    std::vector<std::optional<std::u16string>> texts(keyNames.size());
    if (cut) cut->assign(keyNames.size(), false);
    const auto s = codePage_.Encode(section);
    std::vector<std::string> keys;
    for (const auto keyName : keyNames) keys.push_back(codePage_.Encode(keyName).value_or(std::string(1, '\0')));
    if (!s) return texts;
    bool utf8 = false;
    std::vector<bool> endedByNul;
    const auto values = ReadProfileValues(fileName_, *s, keys, &utf8, &endedByNul);
    static const CodePage kUtf8 = *CodePage::Named("UTF-8");
    const CodePage& codePage = utf8 ? kUtf8 : codePage_;
    for (std::size_t i = 0; i < values.size(); ++i) {
        if (!values[i]) {
            texts[i] = std::u16string();
            continue;
        }
        // No more bytes than 254 characters can take are decoded, cut at a
        // character's start where the text is UTF-8.
        std::string_view bytes = *values[i];
        bool longer = endedByNul[i];
        if (bytes.size() > kMaxValueCharacters * 4) {
            std::size_t at = kMaxValueCharacters * 4;
            while (at > 0 && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80) --at;
            bytes = bytes.substr(0, at);
            longer = true;
        }
        if (auto text = codePage.Decode(bytes)) {
            const std::size_t units = text->size();
            texts[i] = FirstCharacters(std::move(*text), kMaxValueCharacters);
            longer = longer || texts[i]->size() < units;
        }
        if (cut) (*cut)[i] = longer;
    }
    return texts;
}

std::u16string INI::RINI(std::u16string_view section, std::u16string_view keyName) const {
    return RINIAll(section, {keyName})[0].value_or(std::u16string());
}

std::error_code INI::WInI(std::u16string_view section, std::u16string_view keyName,
                          std::u16string_view keyValue) const {
    const std::pair<std::u16string_view, std::u16string_view> one[] = {{keyName, keyValue}};
    return WInIAll(section, one);
}

std::error_code INI::WInIAll(std::u16string_view section,
                             std::span<const std::pair<std::u16string_view, std::u16string_view>> keyValues,
                             bool onlyThese) const {
    const auto s = codePage_.Encode(section);
    if (!s) return std::make_error_code(std::errc::illegal_byte_sequence);
    std::vector<ProfileEntry> entries;
    for (const auto& [keyName, keyValue] : keyValues) {
        auto k = codePage_.Encode(keyName);
        auto v = codePage_.Encode(keyValue);
        if (!k || !v) return std::make_error_code(std::errc::illegal_byte_sequence);
        entries.push_back({std::move(*k), std::move(*v)});
    }
    return WriteProfileValues(fileName_, *s, entries, onlyThese);
}

bool INI::RINIb(std::u16string_view section, std::u16string_view keyName) const {
    return RINI(section, keyName) == u"True";
}

std::error_code INI::WInIb(std::u16string_view section, std::u16string_view keyName, bool keyValue) const {
    return WInI(section, keyName, keyValue ? u"True" : u"False");
}

std::int16_t INI::RINIi(std::u16string_view section, std::u16string_view keyName) const {
    return ToInt16(NumericValue(RINI(section, keyName)));
}

std::int16_t ToInt16(double value) {
    const double rounded = std::nearbyint(value);  // the default rounding: half to even
    if (!(rounded >= -32768.0 && rounded <= 32767.0)) throw OverflowError("stored number is outside -32768..32767");
    return static_cast<std::int16_t>(rounded);
}

std::error_code INI::WInIi(std::u16string_view section, std::u16string_view keyName, std::int16_t keyValue) const {
    const std::string digits = std::to_string(keyValue);
    return WInI(section, keyName, std::u16string(digits.begin(), digits.end()));
}

}  // namespace tarnwick::settings
