#include "engine/content/ByteSearcher.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>
#include <utility>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define TARNWICK_SSE2 1
#endif
#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define TARNWICK_AVX2 1
#if __has_include(<sys/platform/x86.h>)
#include <sys/platform/x86.h>
#endif
#endif

namespace tarnwick {

namespace {

// How common a byte is in text, roughly: higher is more common. Bytes above
// 127 count as fairly common, since they make up the letters of most code pages.
int Commonness(unsigned char c) {
    if (c == ' ') return 255;
    if (std::strchr("etaoinsrhl", c) && c) return 240;
    if (c >= 'a' && c <= 'z') return 200;
    if (c == '\n' || c == '\r' || c == '\t') return 190;
    if (c >= 0x80) return 180;
    if (std::strchr(".,;:-'\"()<>/=", c) && c) return 150;
    if (c >= '0' && c <= '9') return 120;
    if (c >= 'A' && c <= 'Z') return 110;
    return 50;
}

// Whether the needle (small letters, `bits` 0x20 for each) starts at `at`, its letters in either case.
bool SameCaseless(const char* at, const std::string& needle, const std::string& bits) {
    for (std::size_t k = 0; k < needle.size(); ++k)
        if ((at[k] | bits[k]) != needle[k]) return false;
    return true;
}

#ifdef TARNWICK_AVX2
// 32 candidate offsets a step; the caller checks that the CPU has AVX2.
__attribute__((target("avx2"))) std::size_t ScanAvx2(const char* p, std::size_t size, const char* needle, std::size_t n,
                                                     std::size_t probe1, std::size_t probe2, std::size_t reach,
                                                     std::size_t& i) {
    const __m256i v1 = _mm256_set1_epi8(needle[probe1]), v2 = _mm256_set1_epi8(needle[probe2]);
    for (; i + reach + 32 <= size; i += 32) {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + probe1));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p + i + probe2));
        auto mask = static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_and_si256(_mm256_cmpeq_epi8(a, v1), _mm256_cmpeq_epi8(b, v2))));
        while (mask) {
            const std::size_t pos = i + static_cast<std::size_t>(std::countr_zero(mask));
            if (pos + n > size) return ByteSearcher::npos;
            if (std::memcmp(p + pos, needle, n) == 0) return pos;
            mask &= mask - 1;
        }
    }
    return ByteSearcher::npos;
}

// Where the 32 bytes from `at`, a letter's case bit set by `m`, are `v`.
__attribute__((target("avx2"))) inline __m256i Fits(const char* at, __m256i v, __m256i m) {
    return _mm256_cmpeq_epi8(_mm256_or_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)), m), v);
}

// As ScanAvx2, the two probes' letters in either case: 64 offsets a step,
// the rarest probe alone deciding most blocks.
__attribute__((target("avx2"))) std::size_t ScanCaselessAvx2(const char* p, std::size_t size, const std::string& needle,
                                                             const std::string& bits, std::size_t probe1,
                                                             std::size_t probe2, std::size_t reach, std::size_t& i) {
    const __m256i v1 = _mm256_set1_epi8(needle[probe1]), v2 = _mm256_set1_epi8(needle[probe2]);
    const __m256i m1 = _mm256_set1_epi8(bits[probe1]), m2 = _mm256_set1_epi8(bits[probe2]);
    for (; i + reach + 64 <= size; i += 64) {
        const char* q = p + i;
        const __m256i f0 = Fits(q + probe1, v1, m1), f1 = Fits(q + probe1 + 32, v1, m1);
        const __m256i any = _mm256_or_si256(f0, f1);
        if (_mm256_testz_si256(any, any)) continue;
        for (std::size_t half = 0; half < 2; ++half) {
            const __m256i both = _mm256_and_si256(half ? f1 : f0, Fits(q + probe2 + 32 * half, v2, m2));
            for (auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(both)); mask; mask &= mask - 1) {
                const std::size_t pos = i + 32 * half + static_cast<std::size_t>(std::countr_zero(mask));
                if (pos + needle.size() > size) return ByteSearcher::npos;
                if (SameCaseless(p + pos, needle, bits)) return pos;
            }
        }
    }
    return ByteSearcher::npos;
}

__attribute__((target("avx2"))) inline __m256i Load(const char* at) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
}

struct BothNeedles {
    const char* p;
    std::size_t size;
    const std::string &a, &b;
    std::size_t a2, b2;
    bool& bFound;

    // Confirms the candidates of the 32 offsets from `at` (`fa`, `fb`: where
    // the first probes matched). Returns `a`'s offset or npos.
    __attribute__((target("avx2"))) std::size_t Confirm(std::size_t at, __m256i fa, __m256i fb) const {
        const char* q = p + at;
        const __m256i ma = _mm256_and_si256(fa, _mm256_cmpeq_epi8(Load(q + a2), _mm256_set1_epi8(a[a2])));
        for (auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(ma)); mask; mask &= mask - 1) {
            const std::size_t pos = at + static_cast<std::size_t>(std::countr_zero(mask));
            if (pos + a.size() <= size && std::memcmp(p + pos, a.data(), a.size()) == 0) return pos;
        }
        if (bFound) return ByteSearcher::npos;
        const __m256i mb = _mm256_and_si256(fb, _mm256_cmpeq_epi8(Load(q + b2), _mm256_set1_epi8(b[b2])));
        for (auto mask = static_cast<std::uint32_t>(_mm256_movemask_epi8(mb)); mask && !bFound; mask &= mask - 1) {
            const std::size_t pos = at + static_cast<std::size_t>(std::countr_zero(mask));
            bFound = pos + b.size() <= size && std::memcmp(p + pos, b.data(), b.size()) == 0;
        }
        return ByteSearcher::npos;
    }
};

// Both needles at once, 64 offsets a step. Returns `first`'s offset or npos;
// `i` ends where the scan stopped.
__attribute__((target("avx2"))) std::size_t ScanBothAvx2(const char* p, std::size_t size, const std::string& a,
                                                         std::size_t a1, std::size_t a2, const std::string& b,
                                                         std::size_t b1, std::size_t b2, std::size_t reach,
                                                         bool& bFound, std::size_t& i) {
    const __m256i va1 = _mm256_set1_epi8(a[a1]), vb1 = _mm256_set1_epi8(b[b1]);
    // Strings that differ late (a year, a name) often share their rarest byte
    // at the same offset: then one probe serves both.
    const bool shared = a1 == b1 && a[a1] == b[b1];
    const BothNeedles both{p, size, a, b, a2, b2, bFound};
    for (; i + reach + 64 <= size; i += 64) {
        const char* q = p + i;
        // Most blocks hold neither needle's rarest byte: one probe each decides that.
        const __m256i fa0 = _mm256_cmpeq_epi8(Load(q + a1), va1), fa1 = _mm256_cmpeq_epi8(Load(q + a1 + 32), va1);
        __m256i fb0 = fa0, fb1 = fa1;
        if (!shared) fb0 = _mm256_cmpeq_epi8(Load(q + b1), vb1), fb1 = _mm256_cmpeq_epi8(Load(q + b1 + 32), vb1);
        const __m256i any = _mm256_or_si256(_mm256_or_si256(fa0, fa1), _mm256_or_si256(fb0, fb1));
        if (_mm256_testz_si256(any, any)) continue;
        if (const std::size_t hit = both.Confirm(i, fa0, fb0); hit != ByteSearcher::npos) return hit;
        if (const std::size_t hit = both.Confirm(i + 32, fa1, fb1); hit != ByteSearcher::npos) return hit;
    }
    return ByteSearcher::npos;
}

// AsciiPrefix's steps of 64 bytes: where they end (at a byte not ASCII, or
// short of 64 before the end).
__attribute__((target("avx2"))) std::size_t AsciiPrefixAvx2(const char* p, std::size_t size) {
    std::size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        const auto mask =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_or_si256(Load(p + i), Load(p + i + 32))));
        if (mask == 0) continue;
        const auto low = static_cast<std::uint32_t>(_mm256_movemask_epi8(Load(p + i)));
        return i + static_cast<std::size_t>(
                       low ? std::countr_zero(low)
                           : 32 + std::countr_zero(static_cast<std::uint32_t>(_mm256_movemask_epi8(Load(p + i + 32)))));
    }
    return i;
}

// PlainTextPrefix's steps of 64 bytes. (As signed bytes, those of plain
// text are exactly the ones above zero.)
__attribute__((target("avx2"))) std::size_t PlainTextPrefixAvx2(const char* p, std::size_t size) {
    const __m256i zero = _mm256_setzero_si256();
    std::size_t i = 0;
    for (; i + 64 <= size; i += 64) {
        const __m256i plain =
            _mm256_and_si256(_mm256_cmpgt_epi8(Load(p + i), zero), _mm256_cmpgt_epi8(Load(p + i + 32), zero));
        if (static_cast<std::uint32_t>(_mm256_movemask_epi8(plain)) != 0xFFFFFFFFu) break;
    }
    return i;
}

// The C library has asked the CPU already; asking again costs a trap per
// question inside a virtual machine, at every start.
#ifdef CPU_FEATURE_ACTIVE
const bool kHasAvx2 = CPU_FEATURE_ACTIVE(AVX2);
#else
const bool kHasAvx2 = __builtin_cpu_supports("avx2");
#endif
#endif

}  // namespace

ByteSearcher::ByteSearcher(std::string needle, bool asciiCaseless) : needle_(std::move(needle)) {
    const std::size_t n = needle_.size();
    if (asciiCaseless) {
        foldBits_.assign(n, '\0');
        for (std::size_t i = 0; i < n; ++i)
            if ((needle_[i] | 0x20) >= 'a' && (needle_[i] | 0x20) <= 'z') {
                needle_[i] = static_cast<char>(needle_[i] | 0x20);
                foldBits_[i] = 0x20;
            }
    }
    if (n < 2) return;
    // The rarest byte, then the rarest other byte value (another offset at least).
    std::size_t a = 0;
    for (std::size_t i = 1; i < n; ++i)
        if (Commonness(needle_[i]) < Commonness(needle_[a])) a = i;
    // In any case, the second of another kind where there is one (a letter
    // beside a digit): a number's digits come together, and so would their
    // probes, where all capitals are lost to tell rare from common.
    const auto kind = [&](std::size_t i) { return foldBits_.empty() ? 0 : foldBits_[i] ? 1 : 2; };
    const auto better = [&](std::size_t i, std::size_t b) {
        const bool other = kind(i) != kind(a), bOther = kind(b) != kind(a);
        if (other != bOther) return other;
        const bool distinct = needle_[i] != needle_[a], bDistinct = needle_[b] != needle_[a];
        if (distinct != bDistinct) return distinct;
        return Commonness(needle_[i]) < Commonness(needle_[b]);
    };
    std::size_t b = a == 0 ? 1 : 0;
    for (std::size_t i = 0; i < n; ++i)
        if (i != a && better(i, b)) b = i;
    probe1_ = a;
    probe2_ = b;
    reach_ = std::max(a, b);
}

std::size_t ByteSearcher::Find(std::string_view haystack) const {
    const std::size_t n = needle_.size();
    const std::size_t size = haystack.size();
    if (n == 0) return 0;
    if (size < n) return npos;
    if (!foldBits_.empty()) return FindCaseless(haystack);
    const char* p = haystack.data();
    if (n == 1) {
        const void* hit = std::memchr(p, static_cast<unsigned char>(needle_[0]), size);
        return hit ? static_cast<const char*>(hit) - p : npos;
    }
    const char c1 = needle_[probe1_], c2 = needle_[probe2_];
    const char* needle = needle_.data();
    std::size_t i = 0;
#ifdef TARNWICK_AVX2
    if (kHasAvx2) {
        const std::size_t hit = ScanAvx2(p, size, needle, n, probe1_, probe2_, reach_, i);
        if (hit != npos || i + n > size) return hit;
    }
#endif
#ifdef TARNWICK_SSE2
    const __m128i v1 = _mm_set1_epi8(c1), v2 = _mm_set1_epi8(c2);
    for (; i + reach_ + 16 <= size; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + probe1_));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + probe2_));
        auto mask =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_and_si128(_mm_cmpeq_epi8(a, v1), _mm_cmpeq_epi8(b, v2))));
        while (mask) {
            const std::size_t pos = i + static_cast<std::size_t>(std::countr_zero(mask));
            if (pos + n > size) return npos;
            if (std::memcmp(p + pos, needle, n) == 0) return pos;
            mask &= mask - 1;
        }
    }
#endif
    for (; i + n <= size; ++i)
        if (p[i + probe1_] == c1 && p[i + probe2_] == c2 && std::memcmp(p + i, needle, n) == 0) return i;
    return npos;
}

std::size_t ByteSearcher::FindCaseless(std::string_view haystack) const {
    const std::size_t n = needle_.size(), size = haystack.size();
    const char* p = haystack.data();
    std::size_t i = 0;
#ifdef TARNWICK_AVX2
    if (kHasAvx2) {
        const std::size_t hit = ScanCaselessAvx2(p, size, needle_, foldBits_, probe1_, probe2_, reach_, i);
        if (hit != npos || i + n > size) return hit;
    }
#endif
#ifdef TARNWICK_SSE2
    const __m128i v1 = _mm_set1_epi8(needle_[probe1_]), v2 = _mm_set1_epi8(needle_[probe2_]);
    const __m128i m1 = _mm_set1_epi8(foldBits_[probe1_]), m2 = _mm_set1_epi8(foldBits_[probe2_]);
    for (; i + reach_ + 16 <= size; i += 16) {
        const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + probe1_));
        const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + probe2_));
        auto mask = static_cast<unsigned>(_mm_movemask_epi8(
            _mm_and_si128(_mm_cmpeq_epi8(_mm_or_si128(a, m1), v1), _mm_cmpeq_epi8(_mm_or_si128(b, m2), v2))));
        for (; mask; mask &= mask - 1) {
            const std::size_t pos = i + static_cast<std::size_t>(std::countr_zero(mask));
            if (pos + n > size) return npos;
            if (SameCaseless(p + pos, needle_, foldBits_)) return pos;
        }
    }
#endif
    for (; i + n <= size; ++i)
        if (SameCaseless(p + i, needle_, foldBits_)) return i;
    return npos;
}

std::size_t ByteSearcher::FindWatching(const ByteSearcher& first, const ByteSearcher& second, std::string_view haystack,
                                       bool& secondFound) {
    std::size_t start = 0;
#ifdef TARNWICK_AVX2
    if (kHasAvx2 && !secondFound && first.needle_.size() >= 2 && second.needle_.size() >= 2) {
        const std::size_t hit =
            ScanBothAvx2(haystack.data(), haystack.size(), first.needle_, first.probe1_, first.probe2_, second.needle_,
                         second.probe1_, second.probe2_, std::max(first.reach_, second.reach_), secondFound, start);
        if (hit != npos) return hit;
    }
#endif
    // The rest (or all, without AVX2) one needle after the other.
    const std::string_view rest = haystack.substr(std::min(start, haystack.size()));
    const std::size_t hit = first.Find(rest);
    if (hit != npos) return start + hit;
    if (!secondFound) secondFound = second.Find(rest) != npos;
    return npos;
}

namespace {

// The run at `p` from `from` (where the wide steps ended): eight bytes a step
// while `stops` finds none among them to stop at, then a byte a step while
// `takes` takes it.
template <typename Stops, typename Takes>
std::size_t PrefixFrom(const char* p, std::size_t size, std::size_t from, Stops stops, Takes takes) {
    std::size_t i = from;
    for (; i + 8 <= size; i += 8) {
        std::uint64_t eight;
        std::memcpy(&eight, p + i, 8);
        if (stops(eight)) break;
    }
    while (i < size && takes(static_cast<unsigned char>(p[i]))) ++i;
    return i;
}

constexpr std::uint64_t kLowBits = 0x0101010101010101u, kHighBits = 0x8080808080808080u;

}  // namespace

std::size_t AsciiPrefix(const char* p, std::size_t size) {
    std::size_t i = 0;
#ifdef TARNWICK_AVX2
    if (kHasAvx2) i = AsciiPrefixAvx2(p, size);
#endif
    return PrefixFrom(
        p, size, i, [](std::uint64_t eight) { return (eight & kHighBits) != 0; },
        [](unsigned char b) { return b < 0x80; });
}

std::size_t PlainTextPrefix(const char* p, std::size_t size) {
    std::size_t i = 0;
#ifdef TARNWICK_AVX2
    if (kHasAvx2) i = PlainTextPrefixAvx2(p, size);
#endif
    // A byte at or above 0x80, or a NUL (the classic test for a zero byte).
    return PrefixFrom(
        p, size, i, [](std::uint64_t eight) { return ((eight | ((eight - kLowBits) & ~eight)) & kHighBits) != 0; },
        [](unsigned char b) { return b - 1u < 0x7Fu; });
}

}  // namespace tarnwick
