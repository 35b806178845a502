#include "engine/content/ContentRules.h"

#include "engine/content/BinarySignatures.h"
#include "engine/content/ByteSearcher.h"
#include "engine/content/Replace.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <span>
#include <unordered_map>

namespace tarnwick {

namespace {

// Follows a stream of bytes to tell whether it is valid UTF-8, holds a
// non-ASCII character, and, where it is not valid, whether it is mostly
// UTF-8 all the same (a stray byte in a UTF-8 page).
class Utf8Check {
public:
    void Feed(const char* data, std::size_t size) {
        const auto* p = reinterpret_cast<const unsigned char*>(data);
        for (std::size_t i = 0; i < size;) {
            if (need_ == 0) i += AsciiPrefix(data + i, size - i);
            if (i == size) break;
            const unsigned char b = p[i];
            if (need_ == 0) {
                ++i;
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
                else ++invalid_;
            } else if (b < low_ || b > high_) {
                // A sequence cut short; the byte is read again as a lead.
                ++invalid_;
                need_ = 0;
            } else {
                ++i;
                if (--need_ == 0) ++sequences_;
                low_ = 0x80, high_ = 0xBF;
            }
        }
    }
    // Inside a character begun in bytes fed before.
    bool Midway() const { return need_ != 0; }
    void End() {
        if (need_ != 0) ++invalid_;
        need_ = 0;
    }
    bool Invalid() const { return invalid_ != 0; }
    // Many more whole characters beyond ASCII than bytes that break the rules
    // (Shift_JIS half-width katakana make two for one by chance: ﾕｰｻﾞｰ).
    bool Mostly() const { return sequences_ >= 8 * invalid_; }
    bool NonAscii() const { return nonAscii_; }

private:
    int need_ = 0;
    unsigned char low_ = 0x80, high_ = 0xBF;
    std::uint64_t invalid_ = 0;
    std::uint64_t sequences_ = 0;
    bool nonAscii_ = false;
};

}  // namespace

ContentRules::ContentRules(StringForms forms, std::size_t chunkSize) : chunkSize_(std::max<std::size_t>(chunkSize, 1)) {
    auto tables = std::make_shared<Tables>();
    Tables& t = *tables;
    t.forms = std::move(forms);
    // Forms that coincide (the ASCII ones, or one pair's form that is another's) are looked for once.
    std::unordered_map<std::string, int> index;  // (thousands of pairs are looked up at once)
    const auto needle = [&](const std::optional<std::string>& form) {
        if (!form || form->empty()) return -1;
        const auto [at, added] = index.emplace(*form, static_cast<int>(t.needles.size()));
        if (added) {
            t.needles.emplace_back(*form);
            t.longest = std::max(t.longest, form->size());
        }
        return at->second;
    };
    const bool doubleByte = t.forms.LegacyScheme() != CodePage::DoubleByte::None;
    t.pairNeedles.resize(t.forms.PairCount());
    for (std::size_t p = 0; p < t.forms.PairCount(); ++p) {
        for (std::size_t i = 0; i < kEncodingCount; ++i) {
            const auto e = static_cast<Encoding>(i);
            t.pairNeedles[p].search[i] = needle(t.forms.Search(p, e));
            t.pairNeedles[p].replace[i] = needle(t.forms.Replace(p, e));
            if (t.forms.Search(p, e) && t.forms.Search(p, e)->empty())
                t.emptySearch = t.pairNeedles[p].emptySearch = true;
            if (t.forms.Replace(p, e) && t.forms.Replace(p, e)->empty()) t.emptyReplace = true;
        }
    }
    // In a file read in a double-byte page an occurrence counts only where
    // characters of that page start and end: the page's own forms, and the
    // UTF-8 ones too (ゅう, 82 E3 82 A4, holds イ's UTF-8 bytes E3 82 A4).
    t.doubleByte.assign(t.needles.size(), false);
    const auto l = static_cast<std::size_t>(Encoding::Legacy), u = static_cast<std::size_t>(Encoding::Utf8);
    for (const PairNeedles& q : t.pairNeedles)
        for (const int n : {q.search[l], q.replace[l], q.search[u], q.replace[u]})
            if (doubleByte && n >= 0) t.doubleByte[static_cast<std::size_t>(n)] = true;
    t.lengths.clear();
    for (const ByteSearcher& needle : t.needles) t.lengths.push_back(needle.Needle().size());
    // Each layout's needles, each pair's two forms in each encoding looked for together.
    for (const Layout layout : {Layout::Bytes, Layout::Utf16LE, Layout::Utf16BE}) {
        std::vector<Watch>& watches = t.watches[LayoutIndex(layout)];
        std::vector<bool> searched(t.needles.size()), replaced(t.needles.size());  // watched already
        const auto first = [](std::vector<bool>& taken, int n) {
            if (n < 0 || taken[static_cast<std::size_t>(n)]) return -1;
            taken[static_cast<std::size_t>(n)] = true;
            return n;
        };
        for (const Encoding e : EncodingsOf(layout)) {
            for (const PairNeedles& q : t.pairNeedles) {
                const Watch w{first(searched, q.search[static_cast<std::size_t>(e)]),
                              first(replaced, q.replace[static_cast<std::size_t>(e)])};
                if (w.search >= 0 || w.replace >= 0) watches.push_back(w);
            }
        }
    }
    t.whole = NeedsWholeFile(t);
    if (t.forms.PairCount() > 2) BuildManySearch(t);
    t_ = std::move(tables);
}

std::span<const Encoding> ContentRules::EncodingsOf(Layout layout) {
    static constexpr Encoding kBytes[] = {Encoding::Utf8, Encoding::Legacy};
    static constexpr Encoding kLE[] = {Encoding::Utf16LE}, kBE[] = {Encoding::Utf16BE};
    if (layout == Layout::Utf16LE) return kLE;
    if (layout == Layout::Utf16BE) return kBE;
    return kBytes;
}

void ContentRules::BuildManySearch(Tables& t) {
    for (const Layout layout : {Layout::Bytes, Layout::Utf16LE, Layout::Utf16BE}) {
        std::vector<int> allIds, searchIds;
        std::vector<bool> isSearch(t.needles.size(), false), inAll(t.needles.size(), false);
        const auto add = [&](int n) {
            if (n >= 0 && !inAll[static_cast<std::size_t>(n)]) allIds.push_back(n);
            if (n >= 0) inAll[static_cast<std::size_t>(n)] = true;
        };
        // (Each watched search form is watched once; a form may be one pair's
        // search string and another's replace string.)
        for (const Watch& w : t.watches[LayoutIndex(layout)]) {
            add(w.search), add(w.replace);
            if (w.search >= 0) searchIds.push_back(w.search);
        }
        // Where the first occurrence settles a file, a needle that is a search
        // form in one of the layout's encodings settles it (legacy forms count there).
        for (const Encoding e : EncodingsOf(layout))
            for (const PairNeedles& q : t.pairNeedles)
                if (const int n = q.search[static_cast<std::size_t>(e)]; n >= 0)
                    isSearch[static_cast<std::size_t>(n)] = true;
        const auto texts = [&](const std::vector<int>& ids) {
            std::vector<std::string> out;
            for (const int n : ids) out.push_back(t.needles[static_cast<std::size_t>(n)].Needle());
            return out;
        };
        std::vector<bool> allSearch;
        for (const int n : allIds) allSearch.push_back(isSearch[static_cast<std::size_t>(n)]);
        std::vector<int> searchOf(t.needles.size(), -1);
        for (std::size_t k = 0; k < searchIds.size(); ++k)
            searchOf[static_cast<std::size_t>(searchIds[k])] = static_cast<int>(k);
        t.many.push_back({MultiSearcher(texts(allIds)), std::move(allIds), std::move(allSearch),
                          MultiSearcher(texts(searchIds)), std::move(searchOf)});
    }
}

bool ContentRules::NeedsWholeFile(const Tables& t) {
    const auto u = static_cast<std::size_t>(Encoding::Utf8), l = static_cast<std::size_t>(Encoding::Legacy);
    // A double-byte code page's forms count at its characters' starts only
    // where the file is not valid UTF-8.
    const auto any = [&](Encoding e) {
        for (std::size_t p = 0; p < t.forms.PairCount(); ++p)
            if (t.forms.Search(p, e) || t.forms.Replace(p, e)) return true;
        return false;
    };
    if (t.forms.LegacyScheme() != CodePage::DoubleByte::None && any(Encoding::Utf8) && any(Encoding::Legacy))
        return true;
    // Legacy forms unlike the UTF-8 ones count only outside valid UTF-8; where
    // the search forms coincide and the replace forms do not, the file decides.
    for (std::size_t p = 0; p < t.forms.PairCount(); ++p) {
        if (!t.forms.Search(p, Encoding::Utf8) || !t.forms.Search(p, Encoding::Legacy)) continue;
        const PairNeedles& q = t.pairNeedles[p];
        if (q.search[u] != q.search[l] || q.replace[u] != q.replace[l] ||
            t.forms.Replace(p, Encoding::Utf8).has_value() != t.forms.Replace(p, Encoding::Legacy).has_value())
            return true;
    }
    return false;
}

// One scan of a file: what was seen so far.
struct ContentRules::Pass {
    Pass(std::vector<bool>& seenMarks, std::vector<bool>& startedMarks) : seen(seenMarks), started(startedMarks) {}

    Findings found;
    bool whole = false;                          // the file is read whole to tell which forms count
    std::span<const Watch> watches;              // the needles looked for in this file's layout
    std::vector<bool>& seen;                     // by needle: it occurs
    std::vector<bool>& started;                  // by needle: it occurs where a character starts
    const std::vector<bool>* tracked = nullptr;  // by needle: a form in the file's double-byte code page
    std::optional<CharacterStarts> starts;       // of the double-byte code page, in a file of bytes
    bool anyByte = false, bom8 = false, binary = false;
    std::string head;  // the first bytes, for a binary format's signature
    Utf8Check utf8;

    // How many of a piece's first bytes are plain ASCII text, known so in one
    // pass: they hold no NUL and nothing for the UTF-8 check to follow, so
    // both look only past them.
    std::size_t PlainRun(const char* piece, std::size_t size) const {
        return found.layout == Layout::Bytes && !binary && !utf8.Midway() ? PlainTextPrefix(piece, size) : 0;
    }
    bool Has(int n) const { return n >= 0 && seen[static_cast<std::size_t>(n)]; }
    bool Tracked(int n) const { return n >= 0 && tracked && (*tracked)[static_cast<std::size_t>(n)]; }
    bool Started(int n) const { return n >= 0 && started[static_cast<std::size_t>(n)]; }
    // Seen where it counts whatever the file turns out to be.
    bool Sure(int n) const { return Tracked(n) ? Started(n) : Has(n); }
    bool AnySearchSeen() const {
        return std::any_of(watches.begin(), watches.end(), [&](const Watch& w) { return Sure(w.search); });
    }
    // Needle `n` seen at `at` (an offset in the file) of `window`, which starts at `offset`.
    void Saw(int n, std::string_view window, std::uint64_t offset, std::uint64_t at, std::size_t length) {
        seen[static_cast<std::size_t>(n)] = true;
        if (Tracked(n) && !Started(n) && starts->At(window, offset, at) && starts->At(window, offset, at + length))
            started[static_cast<std::size_t>(n)] = true;
    }
};

ContentRules::Findings ContentRules::Scan(os::File& in, std::uint64_t size, bool emptySearchOccurs,
                                          std::error_code& ec) {
    if (UsesPatterns()) return ScanPatterns(in, size, ec);
    // (The needles' marks are kept between files: no allocation per file.)
    seen_.assign(t_->needles.size(), false);
    started_.assign(t_->needles.size(), false);
    Pass pass(seen_, started_);
    pass.whole = t_->whole;
    // Keep the last bytes of each chunk so that an occurrence across the
    // boundary is still seen whole in the next window.
    const std::size_t overlap = t_->longest ? t_->longest - 1 : 0;
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
        // Binary: a NUL anywhere in a file that is not UTF-16. (A file with
        // text first and a NUL later is still no text: an installer's script
        // before its archive, a PDF's streams.) So a file is read to its end
        // unless binary files are taken as text.
        // Taken as text, a binary file is still known as one, as far as read.
        const bool bytes = pass.found.layout == Layout::Bytes;
        const bool probing = !takeBinary_ && bytes;
        const char* const piece = buffer_.data() + carry;
        const std::size_t plain = pass.PlainRun(piece, got);
        if (bytes && !pass.binary && std::memchr(piece + plain, 0, got - plain)) {
            pass.binary = true;
            if (probing) break;
        }
        total += got;
        // Or a binary format known by its first bytes (a PDF, a ZIP archive, a JPEG...).
        if (bytes && pass.head.size() < kSignatureBytes) {
            pass.head.append(buffer_.data() + carry, std::min(got, kSignatureBytes - pass.head.size()));
            if ((pass.head.size() == kSignatureBytes || total >= size) && !BinaryFormatOf(pass.head).empty()) {
                pass.binary = true;
                if (probing) break;
            }
        }
        const bool probed = !probing;
        const bool wholeHere = pass.whole && pass.found.layout == Layout::Bytes;
        if (wholeHere || (watchUtf8_ && pass.found.layout == Layout::Bytes)) pass.utf8.Feed(piece + plain, got - plain);
        const std::string_view window(buffer_.data(), carry + got);
        Search(pass, window, offset, wholeHere);
        // Without a question of encodings the first occurrence of the search
        // string settles it; the empty one occurs in any byte.
        if (t_->emptySearch && emptySearchOccurs && probed) break;
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
    // (FF FE 00 00 is UTF-32LE's mark, no UTF-16 text: its NULs make the file binary.)
    const bool utf32 = got >= 4 && b[2] == 0 && b[3] == 0;
    if (t_->forms.Utf16() && got >= 2 && b[0] == 0xFF && b[1] == 0xFE && !utf32) pass.found.layout = Layout::Utf16LE;
    else if (t_->forms.Utf16() && got >= 2 && b[0] == 0xFE && b[1] == 0xFF) pass.found.layout = Layout::Utf16BE;
    pass.bom8 = got >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF;
    pass.anyByte = true;
    pass.watches = t_->watches[LayoutIndex(pass.found.layout)];
    if (pass.found.layout != Layout::Bytes || t_->forms.LegacyScheme() == CodePage::DoubleByte::None) return;
    pass.starts.emplace(t_->forms.LegacyScheme());
    pass.tracked = &t_->doubleByte;
}

void ContentRules::Search(Pass& pass, std::string_view window, std::uint64_t offset, bool wholeHere) const {
    if (!t_->many.empty()) return SearchMany(pass, window, offset, wholeHere);
    const unsigned align = pass.found.layout == Layout::Bytes ? 1 : 2;
    const auto look = [&](int n) {
        const ByteSearcher& needle = t_->needles[static_cast<std::size_t>(n)];
        if (!pass.Tracked(n)) {
            if (FindAligned(needle, window, 0, offset, align) != ByteSearcher::npos)
                pass.seen[static_cast<std::size_t>(n)] = true;
            return;
        }
        // Every occurrence is seen; the first where a character starts settles it.
        for (std::size_t from = 0; from <= window.size() && !pass.Started(n);) {
            const std::size_t hit = needle.Find(window.substr(from));
            if (hit == ByteSearcher::npos) return;
            pass.Saw(n, window, offset, offset + from + hit, t_->lengths[static_cast<std::size_t>(n)]);
            from += hit + 1;
        }
    };
    // The replace string matters only until a search form that surely counts is seen.
    // (A UTF-8 search form counts in any file of bytes.)
    const bool settled = std::any_of(t_->pairNeedles.begin(), t_->pairNeedles.end(),
                                     [&](const PairNeedles& q) {
                                         return pass.Sure(q.search[static_cast<std::size_t>(Encoding::Utf8)]);
                                     }) ||
                         (!wholeHere && pass.AnySearchSeen());
    for (const Watch& w : pass.watches) {
        const bool lookSearch = w.search >= 0 && !pass.Sure(w.search);
        const bool lookReplace = w.replace >= 0 && !pass.Sure(w.replace) && !settled;
        if (lookSearch && lookReplace && align == 1 && !pass.Tracked(w.search) && !pass.Tracked(w.replace)) {
            bool replaceHere = false;
            if (ByteSearcher::FindWatching(t_->needles[static_cast<std::size_t>(w.search)],
                                           t_->needles[static_cast<std::size_t>(w.replace)], window,
                                           replaceHere) != ByteSearcher::npos)
                pass.seen[static_cast<std::size_t>(w.search)] = true;
            else if (replaceHere) pass.seen[static_cast<std::size_t>(w.replace)] = true;
        } else {
            if (lookSearch) look(w.search);
            if (lookReplace) look(w.replace);
        }
    }
}

void ContentRules::SearchMany(Pass& pass, std::string_view window, std::uint64_t offset, bool wholeHere) const {
    const ManySearch& many = t_->many[LayoutIndex(pass.found.layout)];
    const unsigned align = pass.found.layout == Layout::Bytes ? 1 : 2;
    many.all.ForEach(window, 0, [&](std::size_t at, std::uint32_t k) {
        if ((offset + at) % align != 0) return true;
        const int n = many.allIds[k];
        pass.Saw(n, window, offset, offset + at, t_->lengths[static_cast<std::size_t>(n)]);
        // Where the first occurrence settles it, the rest of the window does not matter.
        return wholeHere || !many.isSearch[k] || !pass.Sure(n);
    });
}

void ContentRules::Conclude(Pass& pass, bool emptySearchOccurs) const {
    Findings& found = pass.found;
    if (pass.binary && !takeBinary_) {
        found.verdict = FileVerdict::Binary;
        return;
    }
    found.binaryTaken = pass.binary;
    // Which forms count in this file.
    EncodingSet counting;
    if (found.layout == Layout::Utf16LE) counting.Add(Encoding::Utf16LE);
    else if (found.layout == Layout::Utf16BE) counting.Add(Encoding::Utf16BE);
    else {
        const Utf8Check& utf8 = pass.utf8;
        found.legacyCounts = !pass.whole || utf8.Invalid();
        found.notUtf8 = (pass.whole || watchUtf8_) && utf8.Invalid();
        // Binary data has no characters: matched byte for byte.
        found.atStarts = pass.starts && found.legacyCounts && !pass.binary;
        const bool invalid = pass.whole && utf8.Invalid(), nonAscii = pass.whole && utf8.NonAscii();
        // A UTF-8 page with a stray byte in it takes an ASCII search string's
        // replacement in UTF-8, not in a legacy page (its legacy forms still count).
        const bool mostlyUtf8 = invalid && utf8.Mostly();
        found.asciiTarget = pass.bom8 || (!invalid && nonAscii) || mostlyUtf8 ? Encoding::Utf8
                            : invalid                                         ? Encoding::Legacy
                                                                              : t_->forms.AsciiFiles();
        counting.Add(Encoding::Utf8);
        if (found.legacyCounts) counting.Add(Encoding::Legacy);
    }
    const auto counts = [&](int n) { return found.atStarts && pass.Tracked(n) ? pass.Started(n) : pass.Has(n); };
    bool searchFound = false;
    bool replaceFound = t_->emptyReplace && pass.anyByte;
    const auto u = static_cast<std::size_t>(Encoding::Utf8), l = static_cast<std::size_t>(Encoding::Legacy);
    for (const PairNeedles& q : t_->pairNeedles) {
        // Search forms that coincide tell no encoding of their own: the replacement's is the file's.
        const bool oneForm = pass.whole && found.layout == Layout::Bytes && q.search[u] == q.search[l];
        if (q.emptySearch && emptySearchOccurs && pass.anyByte) {
            searchFound = true;
            if (oneForm) found.encodings.Add(found.asciiTarget);
        }
        for (std::size_t i = 0; i < kEncodingCount; ++i) {
            const auto e = static_cast<Encoding>(i);
            if (!counting.Has(e)) continue;
            if (counts(q.search[i])) {
                searchFound = true;
                found.encodings.Add(oneForm ? found.asciiTarget : e);
            }
            replaceFound = replaceFound || counts(q.replace[i]);
        }
    }
    found.verdict = searchFound    ? FileVerdict::ToCorrect
                    : replaceFound ? FileVerdict::AlreadyCorrected
                                   : FileVerdict::Unknown;
}

void ContentRules::RulesFor(const Findings& found, std::vector<ReplaceRule>& rules,
                            std::vector<Encoding>& encodings) const {
    rules.clear();
    encodings.clear();
    for (std::size_t p = 0; p < t_->pairNeedles.size(); ++p) {
        const PairNeedles& q = t_->pairNeedles[p];
        const auto rule = [&](Encoding searchIn, Encoding replaceIn) {
            const int n = q.search[static_cast<std::size_t>(searchIn)];
            if (n < 0) return;
            const auto& replacement = t_->forms.Replace(p, replaceIn);
            rules.push_back({&t_->needles[static_cast<std::size_t>(n)], replacement ? &*replacement : nullptr,
                             found.atStarts && t_->doubleByte[static_cast<std::size_t>(n)],
                             static_cast<std::uint32_t>(p)});
            encodings.push_back(replaceIn);
        };
        const int u = q.search[static_cast<std::size_t>(Encoding::Utf8)];
        const int l = q.search[static_cast<std::size_t>(Encoding::Legacy)];
        if (found.layout == Layout::Utf16LE) rule(Encoding::Utf16LE, Encoding::Utf16LE);
        else if (found.layout == Layout::Utf16BE) rule(Encoding::Utf16BE, Encoding::Utf16BE);
        else if (u >= 0 && l >= 0 && u != l) {
            rule(Encoding::Utf8, Encoding::Utf8);
            if (found.legacyCounts) rule(Encoding::Legacy, Encoding::Legacy);
        } else if (u >= 0 || l >= 0) {
            const Encoding searchIn = u >= 0 ? Encoding::Utf8 : Encoding::Legacy;
            rule(searchIn, u >= 0 && l >= 0 ? found.asciiTarget : searchIn);
        }
    }
}

std::error_code ContentRules::Stream(os::File& in, const Findings& found, std::uint64_t& count, std::uint64_t* perPair,
                                     std::optional<Encoding>& blocked, const Keep& keep, const Swap& swap,
                                     const std::function<bool(const char*, std::size_t)>& read) {
    if (UsesPatterns()) return StreamPatterns(in, found, count, perPair, keep, swap, read);
    // The forms that count in this file, each with the replace string in its encoding.
    RulesFor(found, rules_, ruleEncodings_);
    const std::span<const ReplaceRule> active(rules_);
    const unsigned align = found.layout == Layout::Bytes ? 1 : 2;
    std::optional<CharacterStarts> starts;
    if (found.atStarts) starts.emplace(t_->forms.LegacyScheme());
    if (rules_.size() <= FewRules::kMaxRules) {
        FewRules finder(active);
        return StreamWith(in, finder, align, starts, count, perPair, blocked, keep, swap, read);
    }
    // Many rules: one pass of the layout's searcher; where forms of two rules
    // coincide, the first rule's.
    const ManySearch& many = t_->many[LayoutIndex(found.layout)];
    ruleOf_.assign(many.search.Size(), -1);
    for (std::size_t r = 0; r < rules_.size(); ++r) {
        const auto n = static_cast<std::size_t>(rules_[r].search - t_->needles.data());
        int& of = ruleOf_[static_cast<std::size_t>(many.searchOf[n])];
        if (of < 0) of = static_cast<int>(r);
    }
    ManyRules finder(many.search, ruleOf_, active);
    return StreamWith(in, finder, align, starts, count, perPair, blocked, keep, swap, read);
}

void ContentRules::UsePatterns(std::vector<Pattern> patterns, const std::optional<CodePage>& page) {
    patterns_ = std::move(patterns);
    plainPatterns_ = PlainReplacements(patterns_, emptyPlain_);
    pageText_.reset();
    if (page && !t_->forms.Name(Encoding::Legacy).empty()) pageText_.emplace(*page);
}

ContentRules::Findings ContentRules::ScanPatterns(os::File& in, std::uint64_t size, std::error_code& ec) {
    Pass pass(seen_, started_);
    Findings& found = pass.found;
    buffer_.resize(chunkSize_);
    // A file no larger than a window is read once: its text is matched as held.
    whole_.clear();
    bool held = true;
    std::uint64_t total = 0;
    while (total < size || size == 0) {
        std::size_t got = 0;
        if ((ec = in.Read(buffer_.data(), chunkSize_, got))) return {};
        if (got == 0) break;
        if (total == 0) Start(pass, buffer_.data(), got);
        const bool bytes = found.layout == Layout::Bytes;
        const std::size_t plain = pass.PlainRun(buffer_.data(), got);
        if (bytes && !pass.binary && std::memchr(buffer_.data() + plain, 0, got - plain)) {
            pass.binary = true;
            if (!takeBinary_) break;
        }
        total += got;
        if (bytes && pass.head.size() < kSignatureBytes) {
            pass.head.append(buffer_.data(), std::min(got, kSignatureBytes - pass.head.size()));
            if ((pass.head.size() == kSignatureBytes || total >= size) && !BinaryFormatOf(pass.head).empty()) {
                pass.binary = true;
                if (!takeBinary_) break;
            }
        }
        if (bytes) pass.utf8.Feed(buffer_.data() + plain, got - plain);
        held = held && whole_.size() + got <= kPatternWindow;
        if (held) whole_.append(buffer_.data(), got);
        else whole_.clear();
    }
    pass.utf8.End();
    found.size = total;
    if (pass.binary && !takeBinary_) {
        found.verdict = FileVerdict::Binary;
        return found;
    }
    found.binaryTaken = pass.binary;
    // The one encoding the file's text is read in: UTF-16 after its mark;
    // valid UTF-8 (and UTF-8 with a few stray bytes) as UTF-8, ASCII alone
    // as ASCII files are; anything else in the legacy code page.
    if (found.layout == Layout::Utf16LE) found.text = Encoding::Utf16LE;
    else if (found.layout == Layout::Utf16BE) found.text = Encoding::Utf16BE;
    else {
        const Utf8Check& utf8 = pass.utf8;
        found.notUtf8 = utf8.Invalid();
        const bool asUtf8 = utf8.Invalid() ? utf8.Mostly() && utf8.NonAscii()
                                           : pass.bom8 || utf8.NonAscii() || t_->forms.AsciiFiles() == Encoding::Utf8;
        const bool hasUtf8 = !t_->forms.Name(Encoding::Utf8).empty();
        found.text = pageText_ && (!asUtf8 || !hasUtf8) ? Encoding::Legacy : Encoding::Utf8;
    }
    const PatternPass matched = FindPatterns(in, patterns_, found, held, ec);
    if (ec) return {};
    if (matched.tooMuchWork) {
        found.tooMuchWork = true;
    } else if (matched.replacements) {
        found.verdict = FileVerdict::ToCorrect;
        found.encodings.Add(found.text);
    } else if ((emptyPlain_ && total) ||
               (!plainPatterns_.empty() && FindPatterns(in, plainPatterns_, found, held, ec).replacements)) {
        found.verdict = FileVerdict::AlreadyCorrected;
    }
    if (ec) return {};
    return found;
}

PatternPass ContentRules::FindPatterns(os::File& in, std::span<const Pattern> patterns, const Findings& found,
                                       bool held, std::error_code& ec) {
    const auto deadline = std::chrono::steady_clock::now() + PatternBudget(found.size);
    PatternStream stream(patterns, found.text, pageText_ ? &*pageText_ : nullptr, deadline, {}, {}, true);
    if (held) {
        stream.Add(whole_, true);
        return stream.Result();
    }
    if ((ec = in.Rewind())) return {};
    for (;;) {
        std::size_t got = 0;
        if ((ec = in.Read(buffer_.data(), chunkSize_, got))) return {};
        if (!stream.Add(std::string_view(buffer_.data(), got), got == 0) || got == 0) break;
    }
    return stream.Result();
}

std::error_code ContentRules::StreamPatterns(os::File& in, const Findings& found, std::uint64_t& count,
                                             std::uint64_t* perPair, const Keep& keep, const Swap& swap,
                                             const std::function<bool(const char*, std::size_t)>& read) {
    patternPass_ = {};
    const auto deadline = std::chrono::steady_clock::now() + PatternBudget(found.size);
    PatternStream stream(patterns_, found.text, pageText_ ? &*pageText_ : nullptr, deadline, keep,
                         swap ? swap : Swap([](std::string_view, std::string_view) {}));
    buffer_.resize(chunkSize_);
    for (;;) {
        std::size_t got = 0;
        if (auto ec = in.Read(buffer_.data(), chunkSize_, got)) return ec;
        // The caller may stop it (its output failed): nothing more is read.
        if (read && !read(buffer_.data(), got)) return {};
        if (!stream.Add(std::string_view(buffer_.data(), got), got == 0) || got == 0) break;
    }
    patternPass_ = stream.Result();
    if (!patternPass_.Done()) return std::make_error_code(std::errc::illegal_byte_sequence);
    count += patternPass_.replacements;
    for (std::size_t k = 0; perPair && k < patternPass_.pairCounts.size(); ++k)
        perPair[k] += patternPass_.pairCounts[k];
    return {};
}

template <typename Finder>
std::error_code ContentRules::StreamWith(os::File& in, Finder& finder, unsigned align,
                                         std::optional<CharacterStarts>& starts, std::uint64_t& count,
                                         std::uint64_t* perPair, std::optional<Encoding>& blocked, const Keep& keep,
                                         const Swap& swap, const std::function<bool(const char*, std::size_t)>& read) {
    const std::span<const ReplaceRule> active(rules_);
    const std::size_t overlap = t_->longest ? t_->longest - 1 : 0;
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
            window, last, offset, align, active, finder, count, perPair, stopped,
            [&](const char* data, std::size_t size) { keep(std::string_view(data, size)); }, swap,
            [&](std::size_t at) { return starts->At(window, offset, offset + at); });
        if (stopped) {
            blocked = ruleEncodings_[static_cast<std::size_t>(stopped - rules_.data())];
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
