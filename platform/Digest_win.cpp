#include "platform/Digest.h"

#include <windows.h>

#include <bcrypt.h>

namespace tarnwick::os {

namespace {

// The system's SHA-256 provider, opened once for the process.
BCRYPT_ALG_HANDLE Provider() {
    static const BCRYPT_ALG_HANDLE provider = [] {
        BCRYPT_ALG_HANDLE handle = nullptr;
        ::BCryptOpenAlgorithmProvider(&handle, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
        return handle;
    }();
    return provider;
}

}  // namespace

struct Sha256::State {
    BCRYPT_HASH_HANDLE hash = nullptr;
    void Start() { ::BCryptCreateHash(Provider(), &hash, nullptr, 0, nullptr, 0, 0); }
    ~State() {
        if (hash) ::BCryptDestroyHash(hash);
    }
};

Sha256::Sha256() : state_(std::make_unique<State>()) { state_->Start(); }
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;

void Sha256::Add(const char* data, std::size_t size) {
    while (size > 0) {
        const ULONG piece = static_cast<ULONG>(size < (1u << 30) ? size : (1u << 30));
        ::BCryptHashData(state_->hash, reinterpret_cast<PUCHAR>(const_cast<char*>(data)), piece, 0);
        data += piece;
        size -= piece;
    }
}

std::string Sha256::Hex() {
    UCHAR digest[32] = {};
    ::BCryptFinishHash(state_->hash, digest, sizeof digest, 0);
    ::BCryptDestroyHash(state_->hash);
    state_->hash = nullptr;
    state_->Start();
    static const char kHex[] = "0123456789abcdef";
    std::string hex;
    for (const UCHAR b : digest) hex += kHex[b >> 4], hex += kHex[b & 15];
    return hex;
}

}  // namespace tarnwick::os
