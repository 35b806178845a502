#include "engine/content/CharacterStarts.h"

namespace tarnwick {

namespace {

using DoubleByte = CodePage::DoubleByte;

bool In(int b, int low, int high) { return b >= low && b <= high; }

}  // namespace

CharacterStarts::CharacterStarts(DoubleByte scheme)
    : scheme_(scheme),
      low_(scheme == DoubleByte::Gb18030                              ? 0x30
           : scheme == DoubleByte::EucJp || scheme == DoubleByte::Euc ? 0x80
                                                                      : 0x40) {}

CharacterStarts::Unit CharacterStarts::Read(int b0, int b1, bool inside) const {
    // A byte that cannot lead stands alone; a lead byte makes a character with
    // the next byte when that one may follow it, and stands alone (an invalid
    // byte) when it may not.
    const bool lead = scheme_ == DoubleByte::ShiftJis ? In(b0, 0x81, 0x9F) || In(b0, 0xE0, 0xFC)
                      : scheme_ == DoubleByte::EucJp  ? b0 == 0x8E || b0 == 0x8F || In(b0, 0xA1, 0xFE)
                      : scheme_ == DoubleByte::Euc    ? In(b0, 0xA1, 0xFE)
                      : scheme_ == DoubleByte::None   ? false
                                                      : In(b0, 0x81, 0xFE);
    if (!lead) return {1};
    if (b1 < 0) return {0};
    const auto pair = [](bool trail) { return Unit{trail ? 2u : 1u}; };
    switch (scheme_) {
    case DoubleByte::None: break;
    case DoubleByte::ShiftJis: return pair(In(b1, 0x40, 0x7E) || In(b1, 0x80, 0xFC));
    case DoubleByte::Gbk: return pair(In(b1, 0x40, 0x7E) || In(b1, 0x80, 0xFE));
    case DoubleByte::Uhc: return pair(In(b1, 0x41, 0x5A) || In(b1, 0x61, 0x7A) || In(b1, 0x81, 0xFE));
    case DoubleByte::Big5: return pair(In(b1, 0x40, 0x7E) || In(b1, 0xA1, 0xFE));
    case DoubleByte::Gb18030:
        // A four-byte character is two pairs of a lead byte and a digit.
        if (In(b1, 0x30, 0x39)) return {2, !inside, !inside};
        return pair(In(b1, 0x40, 0x7E) || In(b1, 0x80, 0xFE));
    case DoubleByte::EucJp:
        // JIS X 0212: 0x8F, then a pair that belongs to it.
        if (inside && In(b0, 0xA1, 0xFE) && In(b1, 0xA1, 0xFE)) return {2, false};
        if (b0 == 0x8F) return In(b1, 0xA1, 0xFE) ? Unit{1, true, true} : Unit{1};
        if (b0 == 0x8E) return pair(In(b1, 0xA1, 0xDF));
        return pair(In(b1, 0xA1, 0xFE));
    case DoubleByte::Euc: return pair(In(b1, 0xA1, 0xFE));
    }
    return {1};
}

int CharacterStarts::Byte(std::string_view window, std::uint64_t offset, std::uint64_t at) const {
    if (at < offset) return at == base_.at ? baseByte_ : -1;
    if (at - offset >= window.size()) return -1;
    return static_cast<unsigned char>(window[at - offset]);
}

CharacterStarts::Mark CharacterStarts::Walk(std::string_view window, std::uint64_t offset, Mark from, std::uint64_t at,
                                            bool& stopped) const {
    stopped = false;
    while (from.at < at) {
        const Unit unit = Read(Byte(window, offset, from.at), Byte(window, offset, from.at + 1), from.inside);
        if (unit.length == 0) {
            stopped = true;
            break;
        }
        from = {from.at + unit.length, unit.nextInside};
    }
    return from;
}

CharacterStarts::Mark CharacterStarts::From(std::string_view window, std::uint64_t offset, std::uint64_t at) const {
    const Mark known = last_.at <= at && last_.at >= base_.at ? last_ : base_;
    // The nearest byte that stands alone, looking back no further than what is known.
    for (std::uint64_t k = at; k > known.at && k > offset; --k)
        if (static_cast<unsigned char>(window[k - 1 - offset]) < low_) return {k, false};
    return known;
}

bool CharacterStarts::At(std::string_view window, std::uint64_t offset, std::uint64_t at) {
    bool stopped = false;
    const Mark reached = Walk(window, offset, From(window, offset, at), at, stopped);
    last_ = reached;
    if (reached.at != at || stopped) return false;
    return Read(Byte(window, offset, at), Byte(window, offset, at + 1), reached.inside).start;
}

void CharacterStarts::Leave(std::string_view window, std::uint64_t offset, std::uint64_t next) {
    bool stopped = false;
    const Mark reached = Walk(window, offset, From(window, offset, next), next, stopped);
    // Stopped: the lead byte just before `next` needs the byte after it, which
    // comes with the next window; it is kept until then.
    baseByte_ = stopped ? Byte(window, offset, reached.at) : -1;
    base_ = reached;
    last_ = reached;
}

}  // namespace tarnwick
