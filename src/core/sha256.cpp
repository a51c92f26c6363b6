#include "core/sha256.hpp"

#include <openssl/evp.h>

#include <bit>
#include <cstdint>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/text.hpp"

namespace corvane {

Sha256::Sha256() : context_(EVP_MD_CTX_new()) {
    if (!context_) throw std::bad_alloc();
    if (EVP_DigestInit_ex(context_, EVP_sha256(), nullptr) != 1) {
        EVP_MD_CTX_free(context_);
        throw std::runtime_error("libcrypto cannot provide SHA-256");
    }
}

Sha256::~Sha256() { EVP_MD_CTX_free(context_); }

Sha256::Sha256(Sha256&& other) noexcept : context_(std::exchange(other.context_, nullptr)) {}

Sha256& Sha256::operator=(Sha256&& other) noexcept {
    if (this != &other) {
        EVP_MD_CTX_free(context_);
        context_ = std::exchange(other.context_, nullptr);
    }
    return *this;
}

void Sha256::update(const void* data, std::size_t size) {
    if (EVP_DigestUpdate(context_, data, size) != 1) {
        throw std::runtime_error("SHA-256 update failed");
    }
}

void Sha256::update_big_endian(double value) {
    auto pattern = std::bit_cast<std::uint64_t>(value);
    unsigned char bytes[8];
    for (int i = 7; i >= 0; --i) {
        bytes[i] = static_cast<unsigned char>(pattern & 0xffu);
        pattern >>= 8;
    }
    update(bytes, sizeof bytes);
}

Sha256::Digest Sha256::finish() {
    Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context_, digest.data(), &size) != 1 || size != SIZE) {
        throw std::runtime_error("SHA-256 finish failed");
    }
    return digest;
}

std::string Sha256::finish_hex() {
    Digest digest = finish();
    return text::hex(digest.data(), digest.size());
}

}  // namespace corvane
