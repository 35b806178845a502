#pragma once

#include "platform/CodePage.h"

#include <cstdint>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <vector>
#include <utility>
#include <stdexcept>
#include <string>
#include <span>
#include <string_view>
#include <system_error>

namespace tarnwick::settings {

// A stored number outside the 16-bit range, met by INI::RINIi.
class OverflowError : public std::overflow_error {
public:
    using std::overflow_error::overflow_error;
};

// Reads and writes single values of one profile file. Each call is one
// self-contained look-up or update of the file: nothing is held open or cached.
// Text is converted between UTF-16 and the code page given at construction.
class INI {
public:
    explicit INI(CodePage codePage = CodePage::System()) : codePage_(std::move(codePage)) {}

    void FileName(const std::filesystem::path& name) { fileName_ = name; }
    const std::filesystem::path& FileName() const { return fileName_; }

    // The stored text, at most 254 characters; "" when the file, section or key
    // is missing, or when the stored bytes are no text in the code page (UTF-8
    // in a file that starts with its byte-order mark).
    std::u16string RINI(std::u16string_view section, std::u16string_view keyName) const;
    // Several texts of one section, read as RINI reads them with one reading of
    // the file; a value that is no text is nothing. `cut`, when given, tells
    // for each key whether the text read is less than the stored value: longer
    // than 254 characters, or ended early by a NUL.
    std::vector<std::optional<std::u16string>> RINIAll(std::u16string_view section,
                                                       std::initializer_list<std::u16string_view> keyNames,
                                                       std::vector<bool>* cut = nullptr) const;
    // Stores the text; the reason on failure (the file is then unchanged).
    std::error_code WInI(std::u16string_view section, std::u16string_view keyName, std::u16string_view keyValue) const;

    // Stores several texts of one section with one update of the file: all or
    // none. With `onlyThese` the file then holds nothing else.
    std::error_code WInIAll(std::u16string_view section,
                            std::span<const std::pair<std::u16string_view, std::u16string_view>> keyValues,
                            bool onlyThese = false) const;

    // True exactly when the stored text is "True".
    bool RINIb(std::u16string_view section, std::u16string_view keyName) const;
    std::error_code WInIb(std::u16string_view section, std::u16string_view keyName, bool keyValue) const;

    // The stored text's numeric value, rounded half to even; 0 when it holds no
    // number. Throws OverflowError outside -32768..32767.
    std::int16_t RINIi(std::u16string_view section, std::u16string_view keyName) const;
    std::error_code WInIi(std::u16string_view section, std::u16string_view keyName, std::int16_t keyValue) const;

private:
    std::filesystem::path fileName_;
    CodePage codePage_;
};

// The numeric value of a stored text, read as the profile control reads
// numbers: blanks ignored anywhere, an optional sign, digits with at most one
// point, an optional exponent, or &H / &O followed by hexadecimal / octal
// digits; reading stops at the first character that cannot continue the
// number; no number at all is 0.
double NumericValue(std::u16string_view text);

// The value as a 16-bit integer, rounded half to even; OverflowError outside -32768..32767.
std::int16_t ToInt16(double value);

}  // namespace tarnwick::settings
