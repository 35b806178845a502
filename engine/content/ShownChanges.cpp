#include "engine/content/ShownChanges.h"

#include <algorithm>

namespace tarnwick {

namespace {

// Lines longer than this are kept only in part: what is shown is cut anyway.
constexpr std::size_t kLongestLine = std::size_t{1} << 20;

// Each character of UTF-8 `bytes` in turn (`one` its UTF-16, none for a
// byte that is no part of a character), with its length in bytes.
template <class Each>
void EachUtf8(std::string_view bytes, const Each& each) {
    for (std::size_t i = 0; i < bytes.size();) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
        const auto one = n && i + n <= bytes.size() ? Utf8ToUtf16(bytes.substr(i, n)) : std::nullopt;
        each(one, one ? n : 1);
        i += one ? n : 1;
    }
}

// UTF-8 with each byte that is no part of a character as U+FFFD.
std::u16string LenientUtf8(std::string_view bytes) {
    std::u16string text;
    EachUtf8(bytes, [&](const std::optional<std::u16string>& one, std::size_t) { text += one ? *one : u"\uFFFD"; });
    return text;
}

// Whether a line is read as UTF-8: no stray byte, or few beside its characters beyond ASCII.
bool MostlyUtf8(std::string_view bytes) {
    std::size_t strays = 0, wides = 0;
    EachUtf8(bytes, [&](const std::optional<std::u16string>& one, std::size_t n) {
        if (!one) ++strays;
        else if (n > 1) ++wides;
    });
    return strays == 0 || wides >= 8 * strays;
}

}  // namespace

ShownChanges::ShownChanges(Encoding layout, std::optional<CodePage> page)
    : layout_(layout),
      page_(std::move(page)),
      unit_(layout == Encoding::Utf16LE || layout == Encoding::Utf16BE ? 2 : 1) {}

void ShownChanges::Keep(std::string_view bytes) { Add(bytes, false); }

void ShownChanges::Swap(std::string_view occurrence, std::string_view replacement) {
    pending_.push_back({line_.size(), occurrence.size(), std::string(replacement), lineNumber_, lineStart_});
    // (An occurrence that holds a line end is shown whole, with the lines it spans.)
    Add(occurrence, true);
}

void ShownChanges::Add(std::string_view bytes, bool occurrence) {
    const bool big = layout_ == Encoding::Utf16BE;
    for (std::size_t i = 0; i < bytes.size(); ++i, ++offset_) {
        const char b = bytes[i];
        // A long line is held in part: its end where no change waits on it, else up to well past the last change.
        if (pending_.empty() && line_.size() >= kLongestLine) {
            line_.erase(0, line_.size() - kLongestLine / 2);
            lineStart_ = 0;
        }
        if (pending_.empty() || line_.size() < pending_.back().offset + pending_.back().length + kLongestLine)
            line_.push_back(b);
        // A line feed: LF, or its unit in UTF-16, ending at a unit's end.
        const bool feed =
            unit_ == 1 ? b == '\n' : offset_ % 2 == 1 && previous_ == (big ? '\0' : '\n') && b == (big ? '\n' : '\0');
        previous_ = b;
        if (!feed) continue;
        ++lineNumber_;
        lineStart_ = line_.size();  // (where a change on the next line starts its text, inside a held line)
        if (!occurrence) EndLine();
    }
}

void ShownChanges::EndLine() {
    // The line without its line end (and a CR before it).
    std::string_view line(line_);
    const auto endsWith = [&](std::string_view end) {
        if (line.size() < end.size() || line.substr(line.size() - end.size()) != end) return false;
        line.remove_suffix(end.size());
        return true;
    };
    if (unit_ == 1) {
        if (endsWith("\n")) endsWith("\r");
    } else if (layout_ == Encoding::Utf16LE) {
        if (endsWith(std::string_view("\n\0", 2))) endsWith(std::string_view("\r\0", 2));
    } else if (endsWith(std::string_view("\0\n", 2))) {
        endsWith(std::string_view("\0\r", 2));
    }
    // One reading for the whole line: UTF-8 where it mostly is (a stray byte shown as such), else the page.
    utf8_ = MostlyUtf8(line);
    for (const Pending& p : pending_) {
        const std::size_t end = std::min(p.offset + p.length, line.size());
        const std::size_t from = std::min(p.lineStart, std::min(p.offset, line.size()));
        const std::u16string head = Text(line.substr(from, std::min(p.offset, line.size()) - from));
        const std::u16string found =
            Text(line.substr(std::min(p.offset, line.size()), end - std::min(p.offset, line.size())));
        const std::u16string tail = Text(line.substr(end));
        const std::u16string with = Text(p.replacement);
        ShownChange change;
        change.line = p.line;
        // Long lines cut around the occurrence.
        std::u16string before = head, after = tail;
        if (before.size() > kContext) before = u"…" + before.substr(before.size() - kContext);
        if (after.size() > kContext) after = after.substr(0, kContext) + u"…";
        change.at = before.size();
        change.length = found.size();
        change.newLength = with.size();
        change.before = before + found + after;
        change.after = before + with + after;
        done_.push_back(std::move(change));
    }
    pending_.clear();
    line_.clear();
    lineStart_ = 0;
}

std::u16string ShownChanges::Text(std::string_view bytes) const {
    if (unit_ == 2) {
        std::u16string text(bytes.size() / 2, u'\0');
        for (std::size_t i = 0; i < text.size(); ++i) {
            const auto a = static_cast<unsigned char>(bytes[2 * i]), b = static_cast<unsigned char>(bytes[2 * i + 1]);
            text[i] = static_cast<char16_t>(layout_ == Encoding::Utf16LE ? a | b << 8 : b | a << 8);
        }
        return text;
    }
    if (utf8_ || !page_) return LenientUtf8(bytes);
    if (auto legacy = page_->Decode(bytes)) return *legacy;
    // Bytes that are text in no encoding known here: each a replacement character, ASCII as it is.
    std::u16string text;
    for (const char c : bytes)
        text.push_back(static_cast<unsigned char>(c) < 0x80 ? static_cast<char16_t>(c) : u'\uFFFD');
    return text;
}

std::vector<ShownChange> ShownChanges::Finish() {
    if (!pending_.empty() || !line_.empty()) EndLine();
    return std::move(done_);
}

}  // namespace tarnwick
