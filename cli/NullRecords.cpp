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
    void Record(const char* kind, const std::filesystem::path& path, std::initializer_list<Extra> extras) override {
        out_ << kind << '\0' << PathText(path) << '\0';
        for (const Extra& e : extras)
            if (e.kind != Extra::Counts) out_ << e.text << '\0';
    }
};

}  // namespace

std::unique_ptr<Records> NullRecords(std::ostream& out, std::ostream& err, const StringForms& forms, bool check) {
    return std::make_unique<Null>(out, err, forms, check);
}

}  // namespace tarnwick::cli
