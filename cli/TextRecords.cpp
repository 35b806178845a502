#include "cli/Records.h"
#include "cli/CQuote.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <charconv>
#include <ostream>
#include <string_view>

namespace tarnwick::cli {

namespace {

// A field of a record as written without -z: a text with a control character
// (a newline or tab that would end or shift the record) or a leading double
// quote is written in double quotes with C escapes, as git writes such paths.
void AddField(std::string& line, std::string_view text) {
    const bool plain = (text.empty() || text.front() != '"') && std::none_of(text.begin(), text.end(), [](char c) {
                           return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
                       });
    if (plain) line += text;
    else line += CQuoted(text);
}

void AddNumber(std::string& line, std::uint64_t n) {
    char digits[24];
    line.append(digits, static_cast<std::size_t>(std::to_chars(digits, digits + sizeof digits, n).ptr - digits));
}

// The names, separated by commas.
std::string Joined(const std::vector<std::string>& names) {
    std::string text;
    for (const std::string& name : names) text += (text.empty() ? "" : ",") + name;
    return text;
}

// Fields end with a tab and the record with a newline. (A record is put
// together whole and written at once: a run may write hundreds of thousands.)
class Text : public Records {
public:
    using Records::Records;

private:
    bool InWords() const override { return true; }
    void Write(const FileRecord& r) override {
        std::string& line = line_;
        line.assign(KindName(r.kind));
        line += '\t';
        AddField(line, PathText(r.path));
        if (r.replacements) line += '\t', AddNumber(line, *r.replacements);
        else if (r.kind == RecordKind::Left) line += '\t', AddNumber(line, r.left);
        if (r.encodings) line += '\t', AddField(line, Joined(*r.encodings));
        if (r.other) line += '\t', AddField(line, PathText(*r.other));
        if (r.reason) line += '\t', AddField(line, *r.reason);
        line += '\n';
        out_.write(line.data(), static_cast<std::streamsize>(line.size()));
    }

    std::string line_;
};

}  // namespace

std::unique_ptr<Records> TextRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Text>(out, err, forms, check);
}

}  // namespace tarnwick::cli
