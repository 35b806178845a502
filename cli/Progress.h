#pragma once

// One line on a terminal telling how a long run goes: the files told of those
// listed so far, corrected, failed, the rate read. Anything else written to
// that terminal (standard error, and standard output when it is the same
// terminal) first erases it, so it is never mixed into records or messages.

#include <chrono>
#include <cstdint>
#include <memory>
#include <ostream>
#include <streambuf>

namespace tarnwick::cli {

class ProgressLine {
public:
    // Shown on `err` (and erased before writes to `sameTerminal`, if given),
    // first `after` the start, then at most every tenth of a second.
    ProgressLine(std::ostream& err, std::ostream* sameTerminal, std::chrono::milliseconds after);
    ~ProgressLine();
    ProgressLine(const ProgressLine&) = delete;
    ProgressLine& operator=(const ProgressLine&) = delete;

    struct Counts {
        std::size_t told = 0, listed = 0, corrected = 0, failed = 0;
        std::uint64_t bytes = 0;
        bool check = false;  // a run that changes nothing: files to correct, not corrected
    };
    void Show(const Counts& counts);
    void Erase();

    // Whether standard error is a terminal.
    static bool ErrorIsTerminal();

private:
    class Erasing : public std::streambuf {
    public:
        Erasing(std::streambuf* under, ProgressLine& line) : under_(under), line_(line) {}
        std::streambuf* Under() const { return under_; }

    protected:
        int_type overflow(int_type c) override;
        std::streamsize xsputn(const char* data, std::streamsize size) override;
        int sync() override;

    private:
        std::streambuf* under_;
        ProgressLine& line_;
    };

    std::ostream& err_;
    std::ostream* same_;
    Erasing errBuffer_;
    std::unique_ptr<Erasing> sameBuffer_;
    std::chrono::steady_clock::time_point start_, drawn_;
    std::chrono::milliseconds after_;
    bool shown_ = false;
};

}  // namespace tarnwick::cli
