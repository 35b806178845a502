#pragma once

// A cryptographic digest of a byte stream (SHA-256), the same however the
// stream is cut into pieces: what an undo record names a file's content by,
// so that no one who can put content in a file can make it pass for other
// content. From the system's own library where it has one (BCrypt on
// Windows), else nettle's.

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace tarnwick::os {

class Sha256 {
public:
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;

    void Add(const char* data, std::size_t size);
    // The digest of everything added, as 64 lowercase hexadecimal digits; the
    // digest starts anew after it.
    std::string Hex();

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace tarnwick::os
