#include "cli/UnifiedDiff.h"
#include "cli/CQuote.h"

#include <algorithm>

namespace tarnwick::cli {

namespace {

constexpr std::size_t kContext = 3;
constexpr std::size_t kLongestLine = 64 * 1024;
constexpr std::size_t kLargestHunk = 1024 * 1024;

// The lines of `text`, each with its newline; a last one without.
std::vector<std::string_view> Lines(std::string_view text) {
    std::vector<std::string_view> lines;
    for (std::size_t from = 0; from < text.size();) {
        const std::size_t end = std::min(text.find('\n', from), text.size() - 1) + 1;
        lines.push_back(text.substr(from, end - from));
        from = end;
    }
    return lines;
}

// A name in a header as GNU diff writes it: as it is, unless it holds a
// space, a TAB, a newline, a quote, a backslash or another control
// character; then in double quotes with C escapes, which patch reads back
// (a trailing space would otherwise be lost).
std::string HeaderName(const std::string& name) {
    const bool plain = std::none_of(name.begin(), name.end(), [](char c) {
        const auto b = static_cast<unsigned char>(c);
        return b <= 0x20 || b == 0x7F || c == '"' || c == '\\';
    });
    return plain ? name : CQuoted(name);
}

}  // namespace

void TextCheck::Add(std::string_view bytes, bool changed) {
    for (const char c : bytes) {
        if (c == '\n') {
            line_ = 0;
            continue;
        }
        if (++line_ > kLongestLine || (changed && c == '\0')) text_ = false;
    }
}

void TextCheck::Keep(std::string_view kept) {
    // A kept newline ends a changed stretch, and its line.
    const std::size_t newline = kept.find('\n');
    if (changed_ && newline != std::string_view::npos) {
        Add(kept.substr(0, newline + 1), true);
        changed_ = false;
        unit_ = 0;
        kept.remove_prefix(newline + 1);
    }
    Add(kept, changed_);
    if (changed_ && (unit_ += kept.size()) > kLargestHunk) text_ = false;
}

void TextCheck::Swap(std::string_view occurrence, std::string_view replacement) {
    changed_ = true;
    Add(occurrence, true);
    Add(replacement, true);
    if ((unit_ += occurrence.size() + replacement.size()) > kLargestHunk) text_ = false;
}

void UnifiedDiff::Keep(std::string_view kept) {
    for (std::size_t newline; (newline = kept.find('\n')) != std::string_view::npos;) {
        old_.append(kept.substr(0, newline + 1));
        new_.append(kept.substr(0, newline + 1));
        kept.remove_prefix(newline + 1);
        EndUnit();
    }
    old_.append(kept);
    new_.append(kept);
}

void UnifiedDiff::Swap(std::string_view occurrence, std::string_view replacement) {
    old_.append(occurrence);
    new_.append(replacement);
    changed_ = true;
}

void UnifiedDiff::Finish() {
    if (!old_.empty() || !new_.empty()) EndUnit();
    if (inHunk_) {
        for (std::size_t i = 0; i < std::min(after_.size(), kContext); ++i) {
            Line(' ', after_[i]);
            ++oldCount_, ++newCount_;
        }
        after_.clear();
        Close();
    }
    out_.flush();
}

void UnifiedDiff::EndUnit() {
    if (changed_) Change(old_, new_);
    else Context(old_);
    old_.clear();
    new_.clear();
    changed_ = false;
}

void UnifiedDiff::Context(const std::string& line) {
    ++oldLine_, ++newLine_;
    if (!inHunk_) {
        before_.push_back(line);
        if (before_.size() > kContext) before_.pop_front();
        return;
    }
    after_.push_back(line);
    // Far enough from the next change: the hunk ends with its context, and
    // the last lines wait as the next one's.
    if (after_.size() > 2 * kContext) {
        for (std::size_t i = 0; i < kContext; ++i) {
            Line(' ', after_[i]);
            ++oldCount_, ++newCount_;
        }
        before_.assign(after_.end() - kContext, after_.end());
        after_.clear();
        Close();
    }
}

void UnifiedDiff::Change(const std::string& before, const std::string& after) {
    const auto oldLines = Lines(before), newLines = Lines(after);
    if (!inHunk_) {
        inHunk_ = true;
        oldStart_ = oldLine_ - before_.size();
        newStart_ = newLine_ - before_.size();
        oldCount_ = newCount_ = 0;
        for (const std::string& line : before_) {
            Line(' ', line);
            ++oldCount_, ++newCount_;
        }
        before_.clear();
    }
    for (const std::string& line : after_) {
        Line(' ', line);
        ++oldCount_, ++newCount_;
    }
    after_.clear();
    for (const auto line : oldLines) Line('-', line);
    for (const auto line : newLines) Line('+', line);
    oldCount_ += oldLines.size();
    newCount_ += newLines.size();
    oldLine_ += oldLines.size();
    newLine_ += newLines.size();
    // A long run of changes is held on disk until its hunk closes.
    if (body_.size() > kLargestHunk) Spill();
}

void UnifiedDiff::Line(char sign, std::string_view line) {
    const bool whole = !line.empty() && line.back() == '\n';
    if (whole) line.remove_suffix(1);
    const char* color = sign == '-' ? "\033[31m" : sign == '+' ? "\033[32m" : nullptr;
    if (color_ && color) body_ += color;
    body_ += sign;
    body_.append(line);
    if (color_ && color) body_ += "\033[m";
    body_ += '\n';
    if (!whole) body_ += "\\ No newline at end of file\n";
}

void UnifiedDiff::Spill() {
    if (spillFailed_) return;
    if (!spill_) spill_.reset(std::tmpfile());
    const long held = spill_ ? std::ftell(spill_.get()) : -1;
    if (spill_ && held >= 0 && std::fwrite(body_.data(), 1, body_.size(), spill_.get()) == body_.size()) {
        body_.clear();
        return;
    }
    // No room on disk: the lines held there come back, and the rest stays in memory.
    spillFailed_ = true;
    if (!spill_) return;
    std::string back(static_cast<std::size_t>(std::max(held, 0L)), '\0');
    std::rewind(spill_.get());
    back.resize(std::fread(back.data(), 1, back.size(), spill_.get()));
    body_.insert(0, back);
    spill_.reset();
}

void UnifiedDiff::Close() {
    if (!headerShown_) {
        headerShown_ = true;
        out_ << (color_ ? "\033[1m" : "") << "--- " << HeaderName("a/" + path_) << '\t' << time_ << "\n+++ "
             << HeaderName("b/" + path_) << '\t' << time_ << (color_ ? "\033[m" : "") << '\n';
    }
    // A side without lines is numbered by the line before it.
    const auto range = [](std::uint64_t start, std::uint64_t count) {
        return std::to_string(count ? start : start - 1) + "," + std::to_string(count);
    };
    out_ << (color_ ? "\033[36m" : "") << "@@ -" << range(oldStart_, oldCount_) << " +" << range(newStart_, newCount_)
         << " @@" << (color_ ? "\033[m" : "") << '\n';
    if (spill_) {
        std::rewind(spill_.get());
        char piece[1 << 16];
        for (std::size_t n; (n = std::fread(piece, 1, sizeof piece, spill_.get())) > 0;)
            out_.write(piece, static_cast<std::streamsize>(n));
        spill_.reset();
    }
    out_ << body_;
    body_.clear();
    inHunk_ = false;
}

}  // namespace tarnwick::cli
