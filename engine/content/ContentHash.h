#pragma once

// A running 64-bit hash of a byte stream, the same however the stream is cut
// into pieces. It tells whether a file still holds what was read from it; it
// is no defence against someone crafting a collision.

#include "platform/FileSystem.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <vector>

namespace tarnwick {

class ContentHash {
public:
    void Add(const char* data, std::size_t size) {
        length_ += size;
        while (size > 0 && pendingSize_ > 0) {
            pending_[pendingSize_++] = data[0];
            ++data;
            --size;
            if (pendingSize_ == 8) {
                Mix(Word(pending_));
                pendingSize_ = 0;
            }
        }
        if (pendingSize_ > 0) return;  // all of it went into the pending word
        for (; size >= 8; data += 8, size -= 8) Mix(Word(data));
        std::memcpy(pending_, data, size);
        pendingSize_ = size;
    }

    std::uint64_t Value() const {
        std::uint64_t h = state_;
        char last[8] = {};
        std::memcpy(last, pending_, pendingSize_);
        h = Round(h, Word(last) ^ (static_cast<std::uint64_t>(pendingSize_) << 56));
        h ^= length_;
        h ^= h >> 33;
        h *= 0xff51afd7ed558ccdULL;
        h ^= h >> 33;
        h *= 0xc4ceb9fe1a85ec53ULL;
        h ^= h >> 33;
        return h;
    }

    std::uint64_t Length() const { return length_; }

private:
    static std::uint64_t Word(const char* p) {
        std::uint64_t w;
        std::memcpy(&w, p, 8);
        return w;
    }
    static std::uint64_t Round(std::uint64_t h, std::uint64_t w) {
        h ^= w * 0x87c37b91114253d5ULL;
        h = (h << 31) | (h >> 33);
        return h * 0x4cf5ad432745937fULL + 0x52dce729;
    }
    void Mix(std::uint64_t w) { state_ = Round(state_, w); }

    std::uint64_t state_ = 0x9e3779b97f4a7c15ULL;
    std::uint64_t length_ = 0;
    char pending_[8] = {};
    std::size_t pendingSize_ = 0;
};

// Reads the open file from its first byte to its end through `buffer` (made
// at least `chunk` bytes), handing each piece to `add`, which stops the
// reading by answering false. Every whole-file hash is taken so.
template <class Add>
std::error_code ReadFromStart(os::File& file, std::vector<char>& buffer, std::size_t chunk, Add&& add) {
    if (auto ec = file.Rewind()) return ec;
    buffer.resize(std::max(buffer.size(), chunk));
    for (;;) {
        std::size_t got = 0;
        if (auto ec = file.Read(buffer.data(), buffer.size(), got)) return ec;
        if (got == 0 || !add(static_cast<const char*>(buffer.data()), got)) return {};
    }
}

}  // namespace tarnwick
