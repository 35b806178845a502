#include "cli/Progress.h"
#include "cli/Translation.h"

#include <algorithm>
#include <cstdio>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace tarnwick::cli {

namespace {

constexpr std::chrono::milliseconds kDrawEvery{100};
constexpr std::string_view kErase = "\r\x1b[K";

}  // namespace

ProgressLine::ProgressLine(std::ostream& err, std::ostream* sameTerminal, std::chrono::milliseconds after)
    : err_(err),
      same_(sameTerminal),
      errBuffer_(err.rdbuf(), *this),
      start_(std::chrono::steady_clock::now()),
      after_(after) {
    err_.flush();
    err_.rdbuf(&errBuffer_);
    if (same_) {
        same_->flush();
        sameBuffer_ = std::make_unique<Erasing>(same_->rdbuf(), *this);
        same_->rdbuf(sameBuffer_.get());
    }
}

ProgressLine::~ProgressLine() {
    Erase();
    err_.rdbuf(errBuffer_.Under());
    if (same_) same_->rdbuf(sameBuffer_->Under());
}

bool ProgressLine::ErrorIsTerminal() {
#ifdef _WIN32
    // (A console takes the line's erasing sequence only where asked to: --progress.)
    return false;
#else
    return ::isatty(STDERR_FILENO) == 1;
#endif
}

void ProgressLine::Show(const Counts& counts) {
    const auto now = std::chrono::steady_clock::now();
    // (Erased by each record where those go to the same terminal: drawn again
    // no sooner than the line's own pace, not after every record.)
    if (now - start_ < after_ || (drawn_ != std::chrono::steady_clock::time_point() && now - drawn_ < kDrawEvery))
        return;
    drawn_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    char rate[32];
    std::snprintf(rate, sizeof rate, "%.1f %s", seconds > 0 ? static_cast<double>(counts.bytes) / 1e6 / seconds : 0.0,
                  Tr("MB/s"));
    const std::string line =
        "tarnwick-cli: " +
        Fill(counts.check ? TrN("{} of {} file, {} to correct, {} failed, {}",
                                "{} of {} files, {} to correct, {} failed, {}", std::max(counts.told, counts.listed))
                          : TrN("{} of {} file, {} corrected, {} failed, {}",
                                "{} of {} files, {} corrected, {} failed, {}", std::max(counts.told, counts.listed)),
             {std::to_string(counts.told), std::to_string(std::max(counts.told, counts.listed)),
              std::to_string(counts.corrected), std::to_string(counts.failed), rate});
    // (Above each other in the same terminal, separate runs of the program
    // would otherwise leave one line's end behind another's.)
    if (same_) same_->flush();
    std::streambuf* under = errBuffer_.Under();
    under->sputn(kErase.data(), static_cast<std::streamsize>(kErase.size()));
    under->sputn(line.data(), static_cast<std::streamsize>(line.size()));
    under->pubsync();
    shown_ = true;
}

void ProgressLine::Erase() {
    if (!shown_) return;
    shown_ = false;
    errBuffer_.Under()->sputn(kErase.data(), static_cast<std::streamsize>(kErase.size()));
    errBuffer_.Under()->pubsync();
}

ProgressLine::Erasing::int_type ProgressLine::Erasing::overflow(int_type c) {
    line_.Erase();
    return traits_type::eq_int_type(c, traits_type::eof()) ? traits_type::not_eof(c)
                                                           : under_->sputc(traits_type::to_char_type(c));
}

std::streamsize ProgressLine::Erasing::xsputn(const char* data, std::streamsize size) {
    line_.Erase();
    return under_->sputn(data, size);
}

int ProgressLine::Erasing::sync() { return under_->pubsync(); }

}  // namespace tarnwick::cli
