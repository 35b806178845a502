#include "cli/Records.h"

#include "platform/CodePage.h"

#include <ostream>

namespace tarnwick::cli {

namespace {

// Each field, paths included, written as it is and ended with a NUL byte.
class Null : public Records {
public:
    using Records::Records;

private:
    void Write(const FileRecord& r) override {
        out_ << KindName(r.kind) << '\0' << PathText(r.path) << '\0';
        if (r.replacements) out_ << *r.replacements << '\0';
        else if (r.kind == RecordKind::Left) out_ << r.left << '\0';
        if (r.encodings) {
            for (std::size_t i = 0; i < r.encodings->size(); ++i) out_ << (i ? "," : "") << (*r.encodings)[i];
            out_ << '\0';
        }
        if (r.other) out_ << PathText(*r.other) << '\0';
        if (r.reason) out_ << *r.reason << '\0';
    }
};

}  // namespace

std::unique_ptr<Records> NullRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Null>(out, err, forms, check);
}

}  // namespace tarnwick::cli
