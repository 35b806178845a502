#include "cli/Records.h"
#include "cli/CQuote.h"

#include "platform/CodePage.h"

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
    return plain ? std::string(text) : CQuoted(text);
}

// The names, separated by commas.
std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
    return text;
}

// Fields end with a tab and the record with a newline.
class Text : public Records {
public:
    using Records::Records;

private:
    bool InWords() const override { return true; }
    void Write(const FileRecord& r) override {
        out_ << KindName(r.kind) << '\t' << Field(PathText(r.path));
        if (r.replacements) out_ << '\t' << *r.replacements;
        else if (r.kind == RecordKind::Left) out_ << '\t' << r.left;
        if (r.encodings) out_ << '\t' << Field(Joined(*r.encodings));
        if (r.other) out_ << '\t' << Field(PathText(*r.other));
        if (r.reason) out_ << '\t' << Field(*r.reason);
        out_ << '\n';
    }
};

}  // namespace

std::unique_ptr<Records> TextRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Text>(out, err, forms, check);
}

}  // namespace tarnwick::cli
