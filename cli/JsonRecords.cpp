#include "cli/FailureWords.h"
#include "cli/Records.h"

#include "platform/CodePage.h"

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string_view>

namespace tarnwick::cli {

// `text` as a JSON string (valid UTF-8 assumed; control characters escaped).
std::string JsonString(std::string_view text) {
    std::string out = "\"";
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        const auto b = static_cast<unsigned char>(c);
        if (b >= 0x80) {
            // A whole UTF-8 character as it is; a byte that begins none (a
            // reason may quote a file name) as U+FFFD, so the line stays JSON.
            std::size_t n = 2;
            while (n <= 4 && !(i + n <= text.size() && Utf8ToUtf16(text.substr(i, n)))) ++n;
            if (n <= 4) {
                out.append(text, i, n);
                i += n - 1;
            } else {
                out += "\\ufffd";
            }
        } else if (c == '"' || c == '\\') out += '\\', out += c;
        else if (b < 0x20 || b == 0x7F) {
            static const char kHex[] = "0123456789abcdef";
            out += "\\u00";
            out += kHex[b >> 4];
            out += kHex[b & 15];
        } else out += c;
    }
    return out += '"';
}

// A path as a JSON value: a string when it is UTF-8 text, else its bytes in
// base64, as {"bytes":"..."}.
std::string JsonPath(const std::string& bytes) {
    if (Utf8ToUtf16(bytes)) return JsonString(bytes);
    static const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string base64;
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k) v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k) base64 += k <= n ? kAlphabet[v >> (18 - 6 * k) & 63] : '=';
    }
    return "{\"bytes\":\"" + base64 + "\"}";
}

// One object a line, then one with the counts.
namespace {

class Json : public Records {
public:
    using Records::Records;

    void Summary() override {
        const Tally& t = tally_;
        if (undo_) {
            out_ << "{\"summary\":{\"files\":" << t.files << ",\"restored\":" << t.restored
                 << ",\"changed\":" << t.changed << ",\"failed\":" << t.failed << "}}\n";
            out_.flush();
            return Records::Summary();
        }
        out_ << "{\"summary\":{\"files\":" << t.files << (check_ ? ",\"to-correct\":" : ",\"corrected\":")
             << (check_ ? t.toCorrect : t.corrected) << ",\"replacements\":" << t.replacements
             << ",\"already-corrected\":" << t.already << ",\"unknown\":" << t.unknown << ",\"binary\":" << t.binary
             << ",\"backup\":" << t.backups << ",\"same-file\":" << t.sameFile << ",\"skipped\":" << t.skipped
             << ",\"failed\":" << t.failed;
        if (review_) out_ << ",\"left\":" << t.left << ",\"occurrences-left\":" << t.leftOccurrences;
        out_ << "}}\n";
        out_.flush();
        Records::Summary();
    }

private:
    void Write(const FileRecord& r) override {
        out_ << "{\"path\":" << JsonPath(PathText(r.path)) << ",\"result\":\"" << KindName(r.kind) << '"';
        if (r.replacements) out_ << ",\"replacements\":" << *r.replacements;
        if (r.left || r.kind == RecordKind::Left) out_ << ",\"left\":" << r.left;
        if (r.encodings) {
            out_ << ",\"encodings\":[";
            for (std::size_t i = 0; i < r.encodings->size(); ++i)
                out_ << (i ? "," : "") << JsonString((*r.encodings)[i]);
            out_ << ']';
        }
        if (!r.pairs.empty()) {
            out_ << ",\"pairs\":[";
            for (std::size_t i = 0; i < r.pairs.size(); ++i) out_ << (i ? "," : "") << r.pairs[i];
            out_ << ']';
        }
        if (r.other) out_ << ",\"other\":" << JsonPath(PathText(*r.other));
        // The reason quotes a second path by its name; JSON gives that path
        // whole as well, as paths are given, since the reason's text cannot
        // carry bytes that are no UTF-8.
        if (r.reason) out_ << ",\"reason\":" << JsonString(*r.reason);
        if (r.reasonPath) out_ << ",\"reason_path\":" << JsonPath(PathText(*r.reasonPath));
        out_ << "}\n";
    }
};

}  // namespace

std::unique_ptr<Records> JsonRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Json>(out, err, forms, check);
}

}  // namespace tarnwick::cli
