#include "engine/content/PatternText.h"

#include "engine/content/ByteSearcher.h"
#include "engine/content/CaseShape.h"

#include <algorithm>
#include <bit>
#include <type_traits>

#ifdef __SSE2__
#include <emmintrin.h>
#endif
#include <array>
#include <optional>
#include <span>

namespace tarnwick {

namespace {

// A byte that is no character of a legacy page, as a lone surrogate: no
// pattern matches it, not even ".".
constexpr char16_t kStrayByte = 0xDC00;

// Text written in the file's encoding; none (and `bad`, the first character
// that cannot be, for the reason) where a character has no form there.
std::optional<std::string> Encoded(std::u16string_view text, Encoding encoding, const CodePage* page,
                                   std::u16string& bad) {
    std::optional<std::string> bytes;
    switch (encoding) {
    case Encoding::Utf8: bytes = Utf16ToUtf8(text); break;
    case Encoding::Legacy: bytes = page ? page->Encode(text) : std::nullopt; break;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE:
        bytes.emplace();
        for (const char16_t u : text) {
            const char lo = static_cast<char>(u & 0xFF), hi = static_cast<char>(u >> 8);
            bytes->push_back(encoding == Encoding::Utf16LE ? lo : hi);
            bytes->push_back(encoding == Encoding::Utf16LE ? hi : lo);
        }
        break;
    }
    if (bytes) return bytes;
    bad = text;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const std::size_t n = (text[i] & 0xFC00) == 0xD800 && i + 1 < text.size() ? 2 : 1;
        const std::u16string_view one = text.substr(i, n);
        const bool ok = encoding == Encoding::Legacy ? page && page->Encode(one) : Utf16ToUtf8(one).has_value();
        if (!ok) {
            bad = one;
            break;
        }
        i += n - 1;
    }
    return std::nullopt;
}

// Its line feeds as the line end given.
void WithLineEnds(std::u16string& text, std::u16string_view lineEnd) {
    for (std::size_t at = 0; lineEnd != u"\n" && (at = text.find(u'\n', at)) != std::u16string::npos;
         at += lineEnd.size())
        text.replace(at, 1, lineEnd);
}

// The replacement's literal parts written in the file's encoding; false (and
// `bad`) where a character has no form there.
bool WriteLiterals(const Pattern& pattern, Encoding encoding, const CodePage* page, std::vector<std::string>& written,
                   std::u16string& bad, std::u16string_view lineEnd = u"\n") {
    for (ReplacementPart part : pattern.Replacement()) {
        if (part.group >= 0) continue;
        WithLineEnds(part.text, lineEnd);
        std::optional<std::string> bytes = Encoded(part.text, encoding, page, bad);
        if (!bytes) return false;
        written.push_back(std::move(*bytes));
    }
    return true;
}

// Start places a search looks through in one call: between calls the time
// taken is looked at, so a pattern slow everywhere (which never reaches the
// library's limit at any one place) is given up on in time. The step grows
// while calls are quick and shrinks as soon as one is slow, down to one place
// (whose work the library's limit bounds).
constexpr std::size_t kLargestStep = std::size_t{1} << 16;
constexpr auto kQuickCall = std::chrono::milliseconds(2), kSlowCall = std::chrono::milliseconds(40);

// The first place at or after `at` where a character of `text` begins (the end at most).
template <class Text>
std::size_t CharacterAt(Text text, std::size_t at) {
    if constexpr (sizeof(text[0]) == 1)
        while (at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) ++at;
    else if (at > 0 && at < text.size() && (text[at] & 0xFC00) == 0xDC00 && (text[at - 1] & 0xFC00) == 0xD800) ++at;
    return at;
}

// How a search of a window ended.
struct Searched {
    enum class Outcome : std::uint8_t { Done, Stopped, TooMuchWork, Partial } outcome = Outcome::Done;
    std::size_t at = 0;  // Done: where a search would go on; Partial: where the undecided match starts
};

// The matches of the patterns in `text` (code units) from `from`, left to
// right: at the first place where one matches, the first of them in order
// that matches there, as an alternation would. Each is given to `take` with
// its pattern's number (which stops the search by returning false). With
// `more` (the file goes on past the text), a match that may go on past the
// end is left undecided, with everything after its start: Partial. Start
// places are searched a block at a time; each pattern's first match in the
// block is kept until the search passes it.
template <class Text, class Take>
Searched EachMatch(std::span<const Pattern> patterns, Text text, std::size_t from, bool more, Take take,
                   std::chrono::steady_clock::time_point deadline, std::size_t& step) {
    using Outcome = Searched::Outcome;
    using Clock = std::chrono::steady_clock;
    struct Next {
        std::size_t block = 0;  // the block it was searched in (0: none)
        Pattern::Found found = Pattern::Found::None;
        Pattern::Match match;
        bool Holds() const { return found == Pattern::Found::Match || found == Pattern::Found::Partial; }
    };
    std::vector<Next> next(patterns.size());
    const bool longest = std::all_of(patterns.begin(), patterns.end(), [](const Pattern& p) { return p.FromText(); });
    Pattern::Match longer;
    std::size_t block = 0, blockEnd = 0;
    while (from <= text.size()) {
        const auto began = Clock::now();
        if (began > deadline) return {Outcome::TooMuchWork};
        if (block == 0 || from > blockEnd) {
            ++block;
            blockEnd = from + step - 1;
        }
        const std::size_t last = blockEnd >= text.size() ? Pattern::kAnywhere : blockEnd;
        std::size_t winner = patterns.size();
        bool searched = false;
        for (std::size_t k = 0; k < patterns.size(); ++k) {
            Next& n = next[k];
            if (n.block != block || (n.Holds() && n.match.start < from)) {
                searched = true;
                n.found = patterns[k].Next(text, from, n.match, last, more);
                if (n.found == Pattern::Found::TooMuchWork) return {Outcome::TooMuchWork};
                // (Nothing starts at the end of a window: the next one's text decides what does.)
                if (more && n.found == Pattern::Found::Match && n.match.start == text.size())
                    n.found = Pattern::Found::Partial;
                n.block = block;
            }
            if (!n.Holds()) continue;
            if (winner == patterns.size() || n.match.start < next[winner].match.start) winner = k;
            // Plain text: at one place the longest (one that may yet be longer: waited for).
            else if (longest && n.match.start == next[winner].match.start &&
                     (n.found == Pattern::Found::Partial ||
                      (next[winner].found == Pattern::Found::Match &&
                       n.match.end - n.match.start > next[winner].match.end - next[winner].match.start)))
                winner = k;
        }
        if (searched) {
            const auto took = Clock::now() - began;
            if (took > kSlowCall) step = std::max<std::size_t>(1, step / 16);
            else if (took < kQuickCall) step = std::min(kLargestStep, 2 * step);
        }
        if (winner == patterns.size()) {
            if (last == Pattern::kAnywhere) return {Outcome::Done, text.size()};
            from = CharacterAt(text, blockEnd + 1);
            continue;
        }
        const Pattern::Match& m = next[winner].match;
        if (next[winner].found == Pattern::Found::Partial) return {Outcome::Partial, m.start};
        if (m.end > m.start) {
            if (!take(winner, m)) return {Outcome::Stopped};
            from = m.end;
            continue;
        }
        // An empty match: the same place may also begin a longer one, taken
        // after it (as Perl and Python do); else the search goes on a
        // character later (a CR LF is one). Near a window's end that waits
        // for the next window.
        if (more && m.end + 2 >= text.size()) return {Outcome::Partial, m.start};
        std::size_t longerOf = patterns.size();
        for (std::size_t k = 0; k < patterns.size() && longerOf == patterns.size(); ++k) {
            const Pattern::Found found = patterns[k].Next(text, m.start, longer, Pattern::kAnywhere, more, true);
            if (found == Pattern::Found::TooMuchWork) return {Outcome::TooMuchWork};
            if (found == Pattern::Found::Partial) return {Outcome::Partial, m.start};
            if (found == Pattern::Found::Match) longerOf = k;
        }
        if (!take(winner, m)) return {Outcome::Stopped};
        if (longerOf < patterns.size()) {
            if (!take(longerOf, longer)) return {Outcome::Stopped};
            from = longer.end;
        } else {
            const bool crlf = m.end + 1 < text.size() && text[m.end] == '\r' && text[m.end + 1] == '\n';
            from = crlf ? m.end + 2 : CharacterAt(text, m.end + 1);
        }
    }
    return {Outcome::Done, text.size()};
}

// Where a character begins at most `count` characters before `at`.
template <class Text>
std::size_t CharactersBefore(Text text, std::size_t at, std::size_t count) {
    for (; count && at; --count) {
        --at;
        if constexpr (sizeof(text[0]) == 1)
            while (at && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) --at;
        else if (at && (text[at] & 0xFC00) == 0xDC00 && (text[at - 1] & 0xFC00) == 0xD800) --at;
    }
    return at;
}

// How many bytes at the end of `bytes` are the start of a UTF-8 character
// that the next bytes may finish.
std::size_t UnfinishedUtf8(std::string_view bytes) {
    for (std::size_t back = 1; back <= std::min<std::size_t>(3, bytes.size()); ++back) {
        const auto b = static_cast<unsigned char>(bytes[bytes.size() - back]);
        if ((b & 0xC0) == 0x80) continue;
        const std::size_t length = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC0 ? 2 : 1;
        return length > back ? back : 0;
    }
    return 0;
}

// How common a unit is in text (more: more common; letters in either case),
// roughly as in English prose and markup: a search looks first for the rare ones.
int Commonness(char16_t c) {
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c | 0x20);
    constexpr std::string_view kByFrequency = " etaoinsrhldcu<>/=\"mpfgwy.,b-:vk0123456789'_;x()jqz";
    if (c < 0x80) {
        const std::size_t at = kByFrequency.find(static_cast<char>(c));
        return at == std::string_view::npos ? 1 : static_cast<int>(kByFrequency.size() - at) + 1;
    }
    return 10;  // a unit of other scripts: as rare as the rarer letters
}

// The place of the rarest unit of `needle`, other than `except`.
template <class String>
std::size_t RarestUnit(const String& needle, std::size_t except) {
    std::size_t best = except == 0 ? 1 : 0;
    for (std::size_t k = 0; k < needle.size(); ++k)
        if (k != except &&
            Commonness(static_cast<char16_t>(needle[k])) < Commonness(static_cast<char16_t>(needle[best])))
            best = k;
    return best;
}

// Whether `text` holds `required` (ASCII letters in either case where it is
// caseless): a text without it holds no match of its pattern. Horspool's
// search, its shifts by the last unit's low byte.
template <class Text>
bool Holds(Text text, const Pattern::Required& required) {
    using Unit = std::remove_cvref_t<decltype(text[0])>;
    std::basic_string<Unit> needle;
    if constexpr (sizeof(Unit) == 1) {
        const auto utf8 = Utf16ToUtf8(required.text);
        if (!utf8) return true;
        needle = *utf8;
    } else {
        needle = required.text;
    }
    if constexpr (sizeof(Unit) == 1) {
        return ByteSearcher(std::move(needle), required.caseless).Find(text) != ByteSearcher::npos;
    } else {
        const bool caseless = required.caseless;
        if (!caseless)
            return std::basic_string_view<Unit>(text.data(), text.size()).find(needle) !=
                   std::basic_string_view<Unit>::npos;
        // Where the two rarest units fit (the letters among them in either
        // case: `c | 0x20` takes both cases of a letter and nothing else), a
        // block of places at a time; the places found are compared whole.
        const std::size_t m = needle.size();
        if (text.size() < m) return false;
        const auto bit = [](Unit c) { return (c >= Unit('a') && c <= Unit('z')) ? Unit(0x20) : Unit(0); };
        std::size_t one = 0, two = m - 1;
        if (m > 2) {
            one = RarestUnit(needle, m);
            two = RarestUnit(needle, one);
            if (one > two) std::swap(one, two);
        }
        const Unit first = needle[one], last = needle[two], firstBit = bit(first), lastBit = bit(last);
        const auto same = [&](std::size_t at) {
            for (std::size_t k = 0; k < m; ++k)
                if ((text[at + k] | bit(needle[k])) != needle[k]) return false;
            return true;
        };
        constexpr std::size_t kBlock = 32;
        const std::size_t places = text.size() - m + 1;
        std::size_t at = 0;
        for (; at + kBlock <= places; at += kBlock) {
            std::uint32_t fits = 0;
            for (std::size_t j = 0; j < kBlock; ++j)
                fits |=
                    std::uint32_t((text[at + j + one] | firstBit) == first && (text[at + j + two] | lastBit) == last)
                    << j;
            for (; fits; fits &= fits - 1)
                if (same(at + static_cast<std::size_t>(std::countr_zero(fits)))) return true;
        }
        for (; at < places; ++at)
            if (same(at)) return true;
        return false;
    }
}

}  // namespace

std::size_t PageText::LongCharacter(std::string_view bytes) const {
    const auto at = [&](std::size_t k) { return k < bytes.size() ? static_cast<unsigned char>(bytes[k]) : -1; };
    const auto digit = [](int b) { return b >= 0x30 && b <= 0x39; };
    const auto high = [](int b, int from) { return b >= from && b <= 0xFE; };
    switch (page_.Scheme()) {
    case CodePage::DoubleByte::Gb18030:
        // (The third and fourth bytes may not be read yet: the length is told by the second.)
        return high(at(0), 0x81) && digit(at(1)) ? 4 : 0;
    case CodePage::DoubleByte::EucJp: return at(0) == 0x8F ? 3 : 0;
    default: return 0;
    }
}

PageText::PageText(const CodePage& page) : page_(page), pairs_(page.Scheme() != CodePage::DoubleByte::None) {
    for (unsigned b = 0; b < 256; ++b) {
        const char c = static_cast<char>(b);
        const auto one = page_.Decode(std::string_view(&c, 1));
        if (one && one->size() == 1) single_[b] = (*one)[0];
    }
}

void PageText::Decode(std::string_view bytes, bool more, std::u16string& text, std::vector<std::uint32_t>& at) {
    // Each byte read as a character of its own; a byte that is none begins
    // a character of two bytes in a double-byte page, or stands alone.
    constexpr std::uint32_t kLearnt = 0x10000, kNone = 0x20000;
    if (pairs_ && pairTable_.empty()) pairTable_.assign(std::size_t{1} << 16, 0);
    text.clear();
    at.clear();
    std::size_t i = 0;
    while (i < bytes.size()) {
        const auto b = static_cast<unsigned char>(bytes[i]);
        if (single_[b] || b == 0) {
            at.push_back(static_cast<std::uint32_t>(i));
            text.push_back(single_[b]);
            ++i;
            continue;
        }
        if (pairs_ && i + 1 == bytes.size() && more) break;
        // A character of three or four bytes (EUC-JP after 0x8F, GB18030 with digits second and fourth).
        if (const std::size_t n = LongCharacter(bytes.substr(i)); n) {
            if (i + n > bytes.size()) {
                if (more) break;
            } else if (const auto one = page_.Decode(bytes.substr(i, n)); one && !one->empty() && one->size() <= 2) {
                for (const char16_t u : *one) {
                    at.push_back(static_cast<std::uint32_t>(i));
                    text.push_back(u);
                }
                i += n;
                continue;
            }
            // No character: its digit is no character of its own either.
            for (const std::size_t end = std::min(i + 2, bytes.size()); i < end; ++i) {
                at.push_back(static_cast<std::uint32_t>(i));
                text.push_back(static_cast<char16_t>(kStrayByte + static_cast<unsigned char>(bytes[i])));
            }
            continue;
        }
        if (pairs_ && i + 1 < bytes.size()) {
            std::uint32_t& learnt = pairTable_[b << 8 | static_cast<unsigned char>(bytes[i + 1])];
            if (!learnt) {
                const auto two = page_.Decode(bytes.substr(i, 2));
                learnt = two && two->size() == 1 ? kLearnt | (*two)[0] : kNone;
            }
            if (learnt != kNone) {
                at.push_back(static_cast<std::uint32_t>(i));
                text.push_back(static_cast<char16_t>(learnt & 0xFFFF));
                i += 2;
                continue;
            }
        }
        at.push_back(static_cast<std::uint32_t>(i));
        text.push_back(static_cast<char16_t>(kStrayByte + b));
        ++i;
    }
    at.push_back(static_cast<std::uint32_t>(i));
}

PatternStream::PatternStream(std::span<const Pattern> patterns, Encoding encoding, PageText* page,
                             std::chrono::steady_clock::time_point deadline, Keep keep, Swap swap, bool firstOnly,
                             std::size_t window)
    : patterns_(patterns),
      encoding_(encoding),
      page_(page),
      deadline_(deadline),
      keep_(std::move(keep)),
      swap_(std::move(swap)),
      firstOnly_(firstOnly),
      window_(std::max<std::size_t>(window, 1)),
      need_(window_) {
    if (patterns.size() > 1) pass_.pairCounts.assign(patterns.size(), 0);
    for (const Pattern& p : patterns) lookBehind_ = std::max(lookBehind_, p.LookBehind());
    if (encoding_ == Encoding::Legacy && !page_) over_ = true;
    // A replacement the encoding cannot hold fails the rewrite where its
    // pattern matches, not elsewhere (counting only, it is told by the rewrite).
    literals_.resize(patterns.size());
    lineLiterals_.resize(patterns.size());
    notWritable_.resize(patterns.size());
    for (std::size_t k = 0; k < patterns.size() && !over_; ++k) {
        if (patterns[k].KeepsCase()) continue;  // (written for each occurrence)
        const CodePage* page = page_ ? &page_->Page() : nullptr;
        bool known = WriteLiterals(patterns[k], encoding, page, literals_[k], notWritable_[k]);
        // Replacements with line feeds where the search string's match any line end: as CR LF and as CR too.
        if (patterns[k].AnyLineEnd())
            for (const std::u16string_view end : {std::u16string_view(u"\r\n"), std::u16string_view(u"\r")})
                known = known && WriteLiterals(patterns[k], encoding, page, lineLiterals_[k].emplace_back(),
                                               notWritable_[k], end);
        if (known) notWritable_[k].clear();
        else if (notWritable_[k].empty()) notWritable_[k] = u"?";
    }
}

std::size_t PatternStream::MarkLength(std::string_view bytes) const {
    switch (encoding_) {
    case Encoding::Utf8: return bytes.starts_with("\xEF\xBB\xBF") ? 3 : 0;
    case Encoding::Legacy: return 0;
    default: return std::min<std::size_t>(2, bytes.size());
    }
}

bool PatternStream::Add(std::string_view piece, bool last) {
    if (over_) return false;
    if (!started_ && last && buffer_.empty()) {
        // A whole file at once: matched where it lies, not copied.
        const std::size_t skip = MarkLength(piece);
        if (keep_ && skip) keep_(piece.substr(0, skip));
        whole_ = piece.substr(skip);
        base_ = copied_ = from_ = skip;
        started_ = true;
        return Match(true);
    }
    buffer_.append(piece);
    if (!last && buffer_.size() < need_) return true;
    if (!started_) {
        // The byte-order mark stays as it is, and no match begins in it.
        const std::size_t mark = encoding_ == Encoding::Utf8 ? 3 : encoding_ == Encoding::Legacy ? 0 : 2;
        if (!last && buffer_.size() < mark) return true;
        const std::size_t skip = MarkLength(buffer_);
        if (keep_ && skip) keep_(std::string_view(buffer_).substr(0, skip));
        buffer_.erase(0, skip);
        base_ = copied_ = from_ = skip;
        started_ = true;
    }
    return Match(last);
}

void PatternStream::Decode(bool more) {
    // The bytes held, or a whole file given at once where it lies.
    data_ = whole_.data() ? whole_ : std::string_view(buffer_);
    narrow_ = {};
    text_ = {};
    switch (encoding_) {
    case Encoding::Utf8: narrow_ = data_.substr(0, data_.size() - (more ? UnfinishedUtf8(data_) : 0)); break;
    case Encoding::Utf16LE:
    case Encoding::Utf16BE: {
        const bool little = encoding_ == Encoding::Utf16LE;
        std::size_t units = data_.size() / 2;
        wide_.resize(units);
        for (std::size_t i = 0; i < units; ++i) {
            const auto a = static_cast<unsigned char>(data_[2 * i]), b = static_cast<unsigned char>(data_[2 * i + 1]);
            wide_[i] = static_cast<char16_t>(little ? a | b << 8 : b | a << 8);
        }
        if (more && units && (wide_[units - 1] & 0xFC00) == 0xD800) --units;
        text_ = std::u16string_view(wide_).substr(0, units);
        break;
    }
    case Encoding::Legacy:
        page_->Decode(data_, more, wide_, at_);
        text_ = wide_;
        break;
    }
}

std::size_t PatternStream::ByteOf(std::size_t unit) const {
    switch (encoding_) {
    case Encoding::Utf8: return unit;
    case Encoding::Legacy: return at_[unit];
    default: return 2 * unit;
    }
}

std::size_t PatternStream::UnitOf(std::size_t byte) const {
    switch (encoding_) {
    case Encoding::Utf8: return byte;
    case Encoding::Legacy:
        return static_cast<std::size_t>(std::lower_bound(at_.begin(), at_.end(), byte) - at_.begin());
    default: return byte / 2;
    }
}

void PatternStream::Emit(std::uint64_t upTo) {
    if (upTo > copied_ && keep_) keep_(data_.substr(copied_ - base_, upTo - copied_));
    copied_ = std::max(copied_, upTo);
}

int PatternStream::LineEndIn(const Pattern::Match& m) const {
    const auto kind = [&](const auto& units) -> int {
        for (std::size_t i = m.start; i < m.end; ++i) {
            if (units[i] == '\n') return -1;
            if (units[i] == '\r') return i + 1 < m.end && units[i + 1] == '\n' ? 0 : 1;
        }
        return -1;
    };
    return encoding_ == Encoding::Utf8 ? kind(narrow_) : kind(text_);
}

const std::vector<std::string>& PatternStream::LiteralsFor(std::size_t k, const Pattern::Match& m) const {
    if (!patterns_[k].AnyLineEnd()) return literals_[k];
    // The occurrence's first line end decides the replacement's.
    const int end = LineEndIn(m);
    return end < 0 ? literals_[k] : lineLiterals_[k][static_cast<std::size_t>(end)];
}

bool PatternStream::ShapedReplacement(std::size_t k, const Pattern::Match& m, std::u16string& bad) {
    std::u16string occurrence, typed;
    if (encoding_ == Encoding::Utf8)
        occurrence = Utf8ToUtf16(narrow_.substr(m.start, m.end - m.start)).value_or(std::u16string());
    else occurrence = text_.substr(m.start, m.end - m.start);
    for (const ReplacementPart& part : patterns_[k].Replacement()) typed += part.text;
    std::u16string shaped = InCaseOf(occurrence, typed);
    if (patterns_[k].AnyLineEnd()) {
        static constexpr std::u16string_view kEnds[] = {u"\r\n", u"\r"};
        if (const int end = LineEndIn(m); end >= 0) WithLineEnds(shaped, kEnds[end]);
    }
    std::optional<std::string> bytes = Encoded(shaped, encoding_, page_ ? &page_->Page() : nullptr, bad);
    if (!bytes) return false;
    replacement_ = std::move(*bytes);
    return true;
}

bool PatternStream::Take(std::size_t k, const Pattern::Match& m) {
    const std::size_t at = ByteOf(m.start);
    const std::string_view occurrence = data_.substr(at, ByteOf(m.end) - at);
    if (patterns_[k].KeepsCase()) {
        // Shaped by each occurrence: whether its case can be written is known only here.
        std::u16string bad;
        if (ShapedReplacement(k, m, bad)) {
            if (replacement_ == occurrence) return true;
        } else if (swap_) {
            pass_.notWritable = bad;
            over_ = true;
            return false;
        }
    } else if (!notWritable_[k].empty()) {
        if (swap_) {
            pass_.notWritable = notWritable_[k];
            over_ = true;
            return false;
        }
    } else {
        replacement_.clear();
        const std::vector<std::string>& literals = LiteralsFor(k, m);
        std::size_t literal = 0;
        for (const ReplacementPart& part : patterns_[k].Replacement()) {
            if (part.group < 0) {
                replacement_ += literals[literal++];
                continue;
            }
            // A group's text is the file's own bytes, copied as they are.
            const auto [start, end] = m.groups[static_cast<std::size_t>(part.group)];
            if (start != std::string::npos)
                replacement_.append(data_.substr(ByteOf(start), ByteOf(end) - ByteOf(start)));
        }
        // A match that its replacement would leave as it is changes nothing: not a replacement.
        if (replacement_ == occurrence) return true;
    }
    ++pass_.replacements;
    if (!pass_.pairCounts.empty()) ++pass_.pairCounts[k];
    if (swap_) {
        Emit(base_ + at);
        swap_(occurrence, replacement_);
        copied_ = base_ + ByteOf(m.end);
    }
    return !firstOnly_;
}

bool PatternStream::SettledByRequiredText() {
    const bool known = std::all_of(patterns_.begin(), patterns_.end(),
                                   [](const Pattern& p) { return !p.RequiredText().text.empty(); });
    if (!known) return false;
    const bool any = std::any_of(patterns_.begin(), patterns_.end(), [&](const Pattern& p) {
        return encoding_ == Encoding::Utf8 ? Holds(narrow_, p.RequiredText()) : Holds(text_, p.RequiredText());
    });
    if (!any) {
        Emit(base_ + data_.size());
        return true;
    }
    // Only whether one matches: the required text of plain text is its match.
    if (firstOnly_ && !swap_ &&
        std::all_of(patterns_.begin(), patterns_.end(), [](const Pattern& p) { return p.RequiredIsMatch(); })) {
        ++pass_.replacements;
        return true;
    }
    return false;
}

void PatternStream::CarryOver(std::size_t goOn) {
    // The next window goes on from where this one could not decide, with the
    // characters a pattern may look back at (and a line end's two) before it.
    const std::size_t keepFrom = encoding_ == Encoding::Utf8 ? CharactersBefore(narrow_, goOn, lookBehind_ + 2)
                                                             : CharactersBefore(text_, goOn, lookBehind_ + 2);
    const std::size_t keepByte = ByteOf(keepFrom);
    Emit(base_ + keepByte);
    from_ = base_ + ByteOf(goOn);
    buffer_.erase(0, keepByte);
    base_ += keepByte;
    // A match left undecided over a whole window: the next one is as large
    // again, so that a long match is matched again only a few times.
    const std::size_t held = static_cast<std::size_t>(from_ - base_), undecided = buffer_.size() - held;
    need_ = held + std::max(window_, 2 * undecided);
}

bool PatternStream::Match(bool last) {
    const bool more = !last;
    Decode(more);
    const std::size_t from = UnitOf(static_cast<std::size_t>(from_ - base_));
    // A whole file at once: text without what every match of a pattern
    // holds is not searched (as a literal it is found many times faster).
    if (last && from == 0 && SettledByRequiredText()) {
        over_ = true;
        return false;
    }
    const auto take = [this](std::size_t k, const Pattern::Match& m) { return Take(k, m); };
    const Searched searched = encoding_ == Encoding::Utf8
                                  ? EachMatch(patterns_, narrow_, from, more, take, deadline_, step_)
                                  : EachMatch(patterns_, text_, from, more, take, deadline_, step_);
    switch (searched.outcome) {
    case Searched::Outcome::TooMuchWork: pass_.tooMuchWork = true; [[fallthrough]];
    case Searched::Outcome::Stopped: over_ = true; return false;
    default: break;
    }
    if (last) {
        Emit(base_ + data_.size());
        over_ = true;
        return false;
    }
    CarryOver(searched.at);
    return true;
}

std::chrono::milliseconds PatternBudget(std::uint64_t size) {
    return std::chrono::milliseconds(std::max<std::uint64_t>(5000, size / 10'000));
}

PatternPass ReplaceMatches(const Pattern& pattern, std::string_view bytes, Encoding encoding, const CodePage* page,
                           std::string* out, std::optional<std::chrono::milliseconds> budget, std::size_t window) {
    return ReplaceMatches(std::span<const Pattern>(&pattern, 1), bytes, encoding, page, out, budget, window);
}

PatternPass ReplaceMatches(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                           const CodePage* page, std::string* out, std::optional<std::chrono::milliseconds> budget,
                           std::size_t window) {
    const auto deadline = std::chrono::steady_clock::now() + budget.value_or(PatternBudget(bytes.size()));
    std::optional<PageText> text;
    if (page) text.emplace(*page);
    std::string written;
    PatternStream stream(
        patterns, encoding, text ? &*text : nullptr, deadline,
        out ? PatternStream::Keep([&](std::string_view kept) { written += kept; }) : PatternStream::Keep(),
        out ? PatternStream::Swap([&](std::string_view, std::string_view with) { written += with; })
            : PatternStream::Swap(),
        false, window);
    // Given in pieces of a window, as a file is read.
    for (std::size_t at = 0;
         stream.Add(bytes.substr(at, std::min(window, bytes.size() - at)), at + window >= bytes.size());)
        at += window;
    PatternPass pass = stream.Result();
    if (out && pass.Done()) *out += written;
    return pass;
}

std::vector<Pattern> PlainReplacements(std::span<const Pattern> patterns, bool& empty) {
    std::vector<Pattern> plain;
    empty = false;
    for (const Pattern& p : patterns) {
        if (!p.ReplacementIsPlain()) continue;
        std::u16string text;
        for (const ReplacementPart& part : p.Replacement()) text += part.text;
        if (text.empty()) {
            empty = true;
        } else if (p.FromText()) {
            // Looked for as the search string is: in any case, as a whole word, at any line end.
            auto same = Pattern::ForText(text, u"", p.ReplacementInAnyCase(), p.Word());
            if (auto* made = std::get_if<Pattern>(&same)) plain.push_back(std::move(*made));
        } else if (auto literal = Pattern::Literal(text, p.ReplacementInAnyCase())) {
            plain.push_back(std::move(*literal));
        }
    }
    return plain;
}

PatternVerdict JudgeByPatterns(std::span<const Pattern> patterns, std::string_view bytes, Encoding encoding,
                               const CodePage* page, std::optional<std::chrono::milliseconds> budget) {
    PatternVerdict judged;
    const PatternPass pass = ReplaceMatches(patterns, bytes, encoding, page, nullptr, budget);
    judged.tooMuchWork = pass.tooMuchWork;
    judged.matches = pass.replacements;
    if (pass.tooMuchWork || pass.replacements) {
        judged.verdict = pass.tooMuchWork ? FileVerdict::Unknown : FileVerdict::ToCorrect;
        return judged;
    }
    bool empty = false;
    const std::vector<Pattern> plain = PlainReplacements(patterns, empty);
    const bool found = (empty && !bytes.empty()) ||
                       (!plain.empty() && ReplaceMatches(plain, bytes, encoding, page, nullptr, budget).replacements);
    if (found) judged.verdict = FileVerdict::AlreadyCorrected;
    return judged;
}

}  // namespace tarnwick
