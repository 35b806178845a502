#include "Records.h"

#include "CodePage.h"

#include <algorithm>
#include <ostream>
#include <string_view>

namespace tarnwick::cli {

namespace {

// A field of a record as written without -z: a text with a control character
// (a newline or tab that would end or shift the record) or a leading double
// quote is written in double quotes with C escapes, as git writes such paths.
std::string Field(std::string_view text) {
    const bool plain = (text.empty() || text.front() != '"') && std::none_of(text.begin(), text.end(), [](char c) {
                           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                       });
    if (plain) return std::string(text);
    std::string quoted = "\"";
    for (const char c : text) {
        switch (c) {
        case '"': quoted += "\\\""; break;
        case '\\': quoted += "\\\\"; break;
        case '\n': quoted += "\\n"; break;
        case '\t': quoted += "\\t"; break;
        case '\r': quoted += "\\r"; break;
        default:
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                const auto b = static_cast<unsigned char>(c);
                quoted += '\\';
                quoted += static_cast<char>('0' + (b >> 6));
                quoted += static_cast<char>('0' + ((b >> 3) & 7));
                quoted += static_cast<char>('0' + (b & 7));
            } else {
                quoted += c;
            }
        }
    }
    return quoted += '"';
}

// Fields end with a tab and the record with a newline.
class Text : public Records {
public:
    using Records::Records;

private:
    void Record(const char* kind, const std::filesystem::path& path, std::initializer_list<Extra> extras) override {
        out_ << Field(kind) << '\t' << Field(PathText(path));
        for (const Extra& e : extras)
            if (e.kind != Extra::Counts) out_ << '\t' << Field(e.text);
        out_ << '\n';
    }
};

}  // namespace

std::unique_ptr<Records> TextRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Text>(out, err, forms, check);
}

}  // namespace tarnwick::cli
