#include "platform/Digest.h"

#include <nettle/sha2.h>

namespace tarnwick::os {

struct Sha256::State {
    sha256_ctx context;
};

Sha256::Sha256() : state_(std::make_unique<State>()) { sha256_init(&state_->context); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Add(const char* data, std::size_t size) {
    sha256_update(&state_->context, size, reinterpret_cast<const std::uint8_t*>(data));
}

std::string Sha256::Hex() {
    std::uint8_t digest[SHA256_DIGEST_SIZE];
    sha256_digest(&state_->context, sizeof digest, digest);  // (starts anew)
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const std::uint8_t b : digest) hex += kHex[b >> 4], hex += kHex[b & 15];
    return hex;
}

}  // namespace tarnwick::os
