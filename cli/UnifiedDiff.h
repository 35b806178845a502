#pragma once

// The correction of one file as a unified diff that `patch -p1` applies, built
// from the engine's preview: the bytes kept and each occurrence with its
// replacement, in file order. Lines are the file's bytes (CR/LF kept); memory
// stays bounded whatever the file's size.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

namespace tarnwick::cli {

// Whether a correction can be shown as text: no NUL in a changed line, no
// line over 64 KiB, no change spanning more than 1 MiB.
class TextCheck {
public:
    void Keep(std::string_view kept);
    void Swap(std::string_view occurrence, std::string_view replacement);
    bool IsText() const { return text_; }

private:
    void Add(std::string_view bytes, bool changed);
    std::size_t line_ = 0;  // length of the current line so far
    std::size_t unit_ = 0;  // length of the current changed stretch
    bool changed_ = false;
    bool text_ = true;
};

class UnifiedDiff {
public:
    // `path` as given; shown as a/PATH and b/PATH, each followed by a TAB and
    // `time` as GNU diff writes them (so that patch reads a name with spaces
    // whole). `color`: as git colours.
    UnifiedDiff(std::ostream& out, std::string path, std::string time, bool color)
        : out_(out), path_(std::move(path)), time_(std::move(time)), color_(color) {}

    void Keep(std::string_view kept);
    void Swap(std::string_view occurrence, std::string_view replacement);
    // After the last byte.
    void Finish();

private:
    void EndUnit();
    void Context(const std::string& line);
    void Change(const std::string& before, const std::string& after);
    void Line(char sign, std::string_view line);
    void Close();
    // The hunk's lines so far moved out of memory.
    void Spill();

    std::ostream& out_;
    std::string path_;
    std::string time_;
    bool color_;
    std::string old_, new_;  // the current stretch between two newlines the correction keeps
    bool changed_ = false;
    std::uint64_t oldLine_ = 1, newLine_ = 1;  // numbers of the next lines
    std::deque<std::string> before_;           // up to 3 lines of context before a change
    std::vector<std::string> after_;           // context lines after the last change of the hunk
    bool inHunk_ = false, headerShown_ = false;
    std::uint64_t oldStart_ = 0, newStart_ = 0, oldCount_ = 0, newCount_ = 0;
    std::string body_;  // the hunk's lines, written when it closes
    // ...and where a hunk outgrows memory, its lines so far: a hunk is never
    // cut in parts, which patch would read as the end of the file.
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> spill_{nullptr, &std::fclose};
    bool spillFailed_ = false;
};

}  // namespace tarnwick::cli
