#include "ContentRules.h"

#include "Replace.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <span>

namespace tarnwick {

namespace {

// Follows a stream of bytes to tell whether it is valid UTF-8 and holds a
// non-ASCII character.
class Utf8Check {
public:
    void Feed(const char* data, std::size_t size) {
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size && !invalid_; ++i) {
            // Runs of ASCII, eight bytes at a time.
            while (need_ == 0 && i + 8 <= size) {
                std::uint64_t eight;
                std::memcpy(&eight, p + i, 8);
                if (eight & 0x8080808080808080u) break;
                i += 8;
            }
            if (i == size) break;
            const unsigned char b = p[i];
            if (need_ == 0) {
                if (b < 0x80) continue;
                nonAscii_ = true;
                // The lead byte gives the length and the range of the next byte
                // (no overlong forms, no surrogates, nothing past U+10FFFF).
                if (b >= 0xC2 && b <= 0xDF) need_ = 1, low_ = 0x80, high_ = 0xBF;
                else if (b == 0xE0) need_ = 2, low_ = 0xA0, high_ = 0xBF;
                else if (b == 0xED) need_ = 2, low_ = 0x80, high_ = 0x9F;
                else if (b >= 0xE1 && b <= 0xEF) need_ = 2, low_ = 0x80, high_ = 0xBF;
                else if (b == 0xF0) need_ = 3, low_ = 0x90, high_ = 0xBF;
                else if (b >= 0xF1 && b <= 0xF3) need_ = 3, low_ = 0x80, high_ = 0xBF;
                else if (b == 0xF4) need_ = 3, low_ = 0x80, high_ = 0x8F;
                else invalid_ = true;
            } else if (b < low_ || b > high_) {
                invalid_ = true;
            } else {
                --need_;
                low_ = 0x80, high_ = 0xBF;
            }
        }
    }
    void End() { invalid_ = invalid_ || need_ != 0; }
    bool Invalid() const { return invalid_; }
    bool NonAscii() const { return nonAscii_; }

private:
    int need_ = 0;
    unsigned char low_ = 0x80, high_ = 0xBF;
    bool invalid_ = false;
    bool nonAscii_ = false;
};

}  // namespace

ContentRules::ContentRules(StringForms forms, std::size_t chunkSize)
    : forms_(std::move(forms)), chunkSize_(std::max<std::size_t>(chunkSize, 1)) {
    // Forms that coincide (the ASCII ones) are looked for once.
    const auto needle = [&](const std::optional<std::string>& form) {
        if (!form || form->empty()) return -1;
        for (std::size_t i = 0; i < needles_.size(); ++i)
            if (needles_[i].Needle() == *form) return static_cast<int>(i);
        needles_.emplace_back(*form);
        longest_ = std::max(longest_, form->size());
        return static_cast<int>(needles_.size() - 1);
    };
    for (std::size_t i = 0; i < kEncodingCount; ++i) {
        const auto e = static_cast<Encoding>(i);
        searchNeedle_[i] = needle(forms_.Search(e));
        replaceNeedle_[i] = needle(forms_.Replace(e));
        if (forms_.Search(e) && forms_.Search(e)->empty()) emptySearch_ = true;
        if (forms_.Replace(e) && forms_.Replace(e)->empty()) emptyReplace_ = true;
    }
}

bool ContentRules::NeedsWholeFile() const {
    const auto u = static_cast<std::size_t>(Encoding::Utf8), l = static_cast<std::size_t>(Encoding::Legacy);
    // A double-byte code page's forms count at its characters' starts only
    // where the file is not valid UTF-8.
    const auto any = [&](Encoding e) { return forms_.Search(e) || forms_.Replace(e); };
    if (forms_.LegacyScheme() != CodePage::DoubleByte::None && any(Encoding::Utf8) && any(Encoding::Legacy))
        return true;
    if (!forms_.Search(Encoding::Utf8) || !forms_.Search(Encoding::Legacy)) return false;
    // Legacy forms unlike the UTF-8 ones count only outside valid UTF-8; where
    // the search forms coincide and the replace forms do not, the file decides.
    return searchNeedle_[u] != searchNeedle_[l] || replaceNeedle_[u] != replaceNeedle_[l] ||
           forms_.Replace(Encoding::Utf8).has_value() != forms_.Replace(Encoding::Legacy).has_value();
}

bool ContentRules::DoubleByteForm(int n) const {
    const auto l = static_cast<std::size_t>(Encoding::Legacy);
    return n >= 0 && forms_.LegacyScheme() != CodePage::DoubleByte::None &&
           (n == searchNeedle_[l] || n == replaceNeedle_[l]);
}

// One scan of a file: what was seen so far.
struct ContentRules::Pass {
    struct Pair {
        int search, replace;  // needle indexes, -1 for none
    };
    Findings found;
    bool whole = false;                     // the file is read whole to tell which forms count
    std::array<Pair, 2> pairStore{};        // at most two: UTF-8 and legacy, or one UTF-16
    std::span<Pair> pairs;                  // each encoding's two forms, looked for together
    std::uint32_t seen = 0;                 // bit n: needle n occurs
    std::uint32_t started = 0;              // bit n: needle n occurs where a character starts
    std::uint32_t tracked = 0;              // bit n: needle n is a form in a double-byte code page
    std::optional<CharacterStarts> starts;  // of the double-byte code page, in a file of bytes
    bool anyByte = false, bom8 = false, binary = false;
    Utf8Check utf8;

    static bool Bit(std::uint32_t bits, int n) { return n >= 0 && (bits >> n & 1u); }
    bool Has(int n) const { return Bit(seen, n); }
    // Seen where it counts whatever the file turns out to be.
    bool Sure(int n) const { return Bit(tracked, n) ? Bit(started, n) : Has(n); }
    bool AnySearchSeen() const {
        return std::any_of(pairs.begin(), pairs.end(), [&](const Pair& q) { return Sure(q.search); });
    }
};

ContentRules::Findings ContentRules::Scan(os::File& in, std::uint64_t size, bool emptySearchOccurs,
                                          std::error_code& ec) {
    Pass pass;
    pass.whole = NeedsWholeFile();
    // Keep the last bytes of each chunk so that an occurrence across the
    // boundary is still seen whole in the next window.
    const std::size_t overlap = longest_ ? longest_ - 1 : 0;
    buffer_.resize(overlap + chunkSize_);
    std::size_t carry = 0;
    std::uint64_t offset = 0;  // of the window's first byte in the file
    // Reading stops at the size the file had when opened: a file that grows
    // meanwhile is judged by what it held then, and the last empty read is saved.
    for (std::uint64_t total = 0; total < size || size == 0;) {
        std::size_t got = 0;
        if ((ec = in.Read(buffer_.data() + carry, chunkSize_, got))) return {};
        if (got == 0) break;
        if (total == 0) Start(pass, buffer_.data(), got);
        // Binary: a NUL among the first bytes of a file that is not UTF-16.
        const bool probing = !takeBinary_ && pass.found.layout == Layout::Bytes && total < kBinaryProbe;
        if (probing && std::memchr(buffer_.data() + carry, 0, std::min<std::uint64_t>(got, kBinaryProbe - total))) {
            pass.binary = true;
            break;
        }
        total += got;
        const bool probed = !probing || total >= kBinaryProbe;
        const bool wholeHere = pass.whole && pass.found.layout == Layout::Bytes;
        if (wholeHere) pass.utf8.Feed(buffer_.data() + carry, got);
        const std::string_view window(buffer_.data(), carry + got);
        Search(pass, window, offset, wholeHere);
        // Without a question of encodings the first occurrence of the search
        // string settles it; the empty one occurs in any byte.
        if (emptySearch_ && emptySearchOccurs && probed) break;
        if (!wholeHere && pass.AnySearchSeen() && probed) break;
        carry = std::min(overlap, window.size());
        if (pass.starts) pass.starts->Leave(window, offset, offset + window.size() - carry);
        std::memmove(buffer_.data(), window.data() + window.size() - carry, carry);
        offset += window.size() - carry;
    }
    pass.utf8.End();
    Conclude(pass, emptySearchOccurs);
    return pass.found;
}

void ContentRules::Start(Pass& pass, const char* first, std::size_t got) const {
    // The layout, from the byte-order mark.
    const auto* b = reinterpret_cast<const unsigned char*>(first);
    if (forms_.Utf16() && got >= 2 && b[0] == 0xFF && b[1] == 0xFE) pass.found.layout = Layout::Utf16LE;
    else if (forms_.Utf16() && got >= 2 && b[0] == 0xFE && b[1] == 0xFF) pass.found.layout = Layout::Utf16BE;
    pass.bom8 = got >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    pass.anyByte = true;
    // Each encoding's two forms are looked for together, in one pass.
    const auto add = [&](Encoding e) {
        Pass::Pair p{searchNeedle_[static_cast<std::size_t>(e)], replaceNeedle_[static_cast<std::size_t>(e)]};
        for (const Pass::Pair& q : pass.pairs) {
            if (p.search == q.search) p.search = -1;
            if (p.replace == q.replace) p.replace = -1;
        }
        if (p.search >= 0 || p.replace >= 0) {
            pass.pairStore[pass.pairs.size()] = p;
            pass.pairs = std::span(pass.pairStore.data(), pass.pairs.size() + 1);
        }
    };
    if (pass.found.layout == Layout::Utf16LE) add(Encoding::Utf16LE);
    else if (pass.found.layout == Layout::Utf16BE) add(Encoding::Utf16BE);
    else add(Encoding::Utf8), add(Encoding::Legacy);
    if (pass.found.layout != Layout::Bytes || forms_.LegacyScheme() == CodePage::DoubleByte::None) return;
    pass.starts.emplace(forms_.LegacyScheme());
    for (std::size_t n = 0; n < needles_.size(); ++n)
        if (DoubleByteForm(static_cast<int>(n))) pass.tracked |= 1u << n;
}

void ContentRules::Search(Pass& pass, std::string_view window, std::uint64_t offset, bool wholeHere) const {
    const unsigned align = pass.found.layout == Layout::Bytes ? 1 : 2;
    const auto look = [&](int n) {
        const ByteSearcher& needle = needles_[static_cast<std::size_t>(n)];
        if (!Pass::Bit(pass.tracked, n)) {
            if (FindAligned(needle, window, 0, offset, align) != ByteSearcher::npos) pass.seen |= 1u << n;
            return;
        }
        // Every occurrence is seen; the first where a character starts settles it.
        for (std::size_t from = 0; from <= window.size();) {
            const std::size_t hit = needle.Find(window.substr(from));
            if (hit == ByteSearcher::npos) return;
            pass.seen |= 1u << n;
            if (pass.starts->At(window, offset, offset + from + hit)) {
                pass.started |= 1u << n;
                return;
            }
            from += hit + 1;
        }
    };
    // The replace string matters only until a search form that surely counts is seen.
    const bool settled =
        pass.Sure(searchNeedle_[static_cast<std::size_t>(Encoding::Utf8)]) || (!wholeHere && pass.AnySearchSeen());
    for (const Pass::Pair& q : pass.pairs) {
        const bool lookSearch = q.search >= 0 && !pass.Sure(q.search);
        const bool lookReplace = q.replace >= 0 && !pass.Sure(q.replace) && !settled;
        const bool plain = !Pass::Bit(pass.tracked, q.search) && !Pass::Bit(pass.tracked, q.replace);
        if (lookSearch && lookReplace && align == 1 && plain) {
            bool replaceHere = false;
            if (ByteSearcher::FindWatching(needles_[static_cast<std::size_t>(q.search)],
                                           needles_[static_cast<std::size_t>(q.replace)], window,
                                           replaceHere) != ByteSearcher::npos)
                pass.seen |= 1u << q.search;
            else if (replaceHere) pass.seen |= 1u << q.replace;
        } else {
            if (lookSearch) look(q.search);
            if (lookReplace) look(q.replace);
        }
    }
}

void ContentRules::Conclude(Pass& pass, bool emptySearchOccurs) const {
    Findings& found = pass.found;
    if (pass.binary) {
        found.verdict = FileVerdict::Binary;
        return;
    }
    // Which forms count in this file.
    EncodingSet counting;
    if (found.layout == Layout::Utf16LE) counting.Add(Encoding::Utf16LE);
    else if (found.layout == Layout::Utf16BE) counting.Add(Encoding::Utf16BE);
    else {
        const Utf8Check& utf8 = pass.utf8;
        found.legacyCounts = !pass.whole || utf8.Invalid();
        found.atStarts = pass.starts && found.legacyCounts;
        found.asciiTarget = pass.bom8 || (!utf8.Invalid() && utf8.NonAscii()) ? Encoding::Utf8
                            : utf8.Invalid()                                  ? Encoding::Legacy
                                                                              : forms_.AsciiFiles();
        counting.Add(Encoding::Utf8);
        if (found.legacyCounts) counting.Add(Encoding::Legacy);
    }
    const auto counts = [&](Encoding e, const std::array<int, kEncodingCount>& of) {
        const int n = of[static_cast<std::size_t>(e)];
        return found.atStarts && Pass::Bit(pass.tracked, n) ? Pass::Bit(pass.started, n) : pass.Has(n);
    };
    bool searchFound = emptySearch_ && emptySearchOccurs && pass.anyByte;
    bool replaceFound = emptyReplace_ && pass.anyByte;
    for (std::size_t i = 0; i < kEncodingCount; ++i) {
        const auto e = static_cast<Encoding>(i);
        if (!counting.Has(e)) continue;
        if (counts(e, searchNeedle_)) {
            searchFound = true;
            found.encodings.Add(e);
        }
        replaceFound = replaceFound || counts(e, replaceNeedle_);
    }
    // Search forms that coincide tell no encoding of their own: the replacement's is the file's.
    const auto u = static_cast<std::size_t>(Encoding::Utf8), l = static_cast<std::size_t>(Encoding::Legacy);
    if (pass.whole && found.layout == Layout::Bytes && searchNeedle_[u] == searchNeedle_[l] && searchFound) {
        found.encodings = {};
        found.encodings.Add(found.asciiTarget);
    }
    found.verdict = searchFound    ? FileVerdict::ToCorrect
                    : replaceFound ? FileVerdict::AlreadyCorrected
                                   : FileVerdict::Unknown;
}

std::error_code ContentRules::Stream(os::File& in, const Findings& found, std::uint64_t& count,
                                     std::optional<Encoding>& blocked, const Keep& keep, const Swap& swap,
                                     const std::function<bool(const char*, std::size_t)>& read) {
    // The forms that count in this file, each with the replace string in its encoding.
    ReplaceRule rules[2];
    Encoding ruleEncoding[2];
    std::size_t ruleCount = 0;
    const auto rule = [&](Encoding searchIn, Encoding replaceIn) {
        const auto& replacement = forms_.Replace(replaceIn);
        const int n = searchNeedle_[static_cast<std::size_t>(searchIn)];
        rules[ruleCount] = {&needles_[static_cast<std::size_t>(n)], replacement ? &*replacement : nullptr,
                            found.atStarts && DoubleByteForm(n)};
        ruleEncoding[ruleCount++] = replaceIn;
    };
    const int u = searchNeedle_[static_cast<std::size_t>(Encoding::Utf8)];
    const int l = searchNeedle_[static_cast<std::size_t>(Encoding::Legacy)];
    if (found.layout == Layout::Utf16LE) rule(Encoding::Utf16LE, Encoding::Utf16LE);
    else if (found.layout == Layout::Utf16BE) rule(Encoding::Utf16BE, Encoding::Utf16BE);
    else if (u >= 0 && l >= 0 && u != l) {
        rule(Encoding::Utf8, Encoding::Utf8);
        if (found.legacyCounts) rule(Encoding::Legacy, Encoding::Legacy);
    } else if (u >= 0 || l >= 0) {
        const Encoding searchIn = u >= 0 ? Encoding::Utf8 : Encoding::Legacy;
        rule(searchIn, u >= 0 && l >= 0 ? found.asciiTarget : searchIn);
    }
    const unsigned align = found.layout == Layout::Bytes ? 1 : 2;
    const std::span<const ReplaceRule> active(rules, ruleCount);
    std::optional<CharacterStarts> starts;
    if (found.atStarts) starts.emplace(forms_.LegacyScheme());

    const std::size_t overlap = longest_ ? longest_ - 1 : 0;
    buffer_.resize(overlap + chunkSize_);
    std::size_t carry = 0;
    std::uint64_t offset = 0;  // of the window's first byte in the file
    for (;;) {
        std::size_t got = 0;
        if (auto ec = in.Read(buffer_.data() + carry, chunkSize_, got)) return ec;
        // The caller may stop it (its output failed): nothing more is read.
        if (read && !read(buffer_.data() + carry, got)) return {};
        const bool last = got == 0;
        const std::string_view window(buffer_.data(), carry + got);
        const ReplaceRule* stopped = nullptr;
        const std::size_t consumed = ReplaceWindowParts(
            window, last, offset, align, active, count, stopped,
            [&](const char* data, std::size_t size) { keep(std::string_view(data, size)); }, swap,
            [&](std::size_t at) { return starts->At(window, offset, offset + at); });
        if (stopped) {
            blocked = ruleEncoding[stopped - rules];
            return std::make_error_code(std::errc::illegal_byte_sequence);
        }
        // What may still begin an occurrence leads the next window.
        carry = window.size() - consumed;
        if (starts) starts->Leave(window, offset, offset + consumed);
        std::memmove(buffer_.data(), window.data() + consumed, carry);
        offset += consumed;
        if (last) break;
    }
    return {};
}

}  // namespace tarnwick
