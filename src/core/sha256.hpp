// SHA-256 (FIPS 180-4) over libcrypto's digest interface, for the model
// digest and the whole-run determinism digest.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

struct evp_md_ctx_st;

namespace corvane {

class Sha256 {
public:
    static constexpr std::size_t SIZE = 32;
    using Digest = std::array<unsigned char, SIZE>;

    // Throws std::bad_alloc when libcrypto cannot allocate its context, and
    // std::runtime_error when it cannot provide SHA-256 at all (a broken
    // installation, not an input problem).
    Sha256();
    ~Sha256();
    Sha256(const Sha256&) = delete;
    Sha256& operator=(const Sha256&) = delete;
    Sha256(Sha256&& other) noexcept;
    Sha256& operator=(Sha256&& other) noexcept;

    void update(const void* data, std::size_t size);
    void update(std::string_view bytes) { update(bytes.data(), bytes.size()); }
    void update(unsigned char byte) { update(&byte, 1); }
    // The value's IEEE-754 bit pattern, most significant byte first, so that
    // the hash is the same on every platform and -0.0 differs from 0.0.
    void update_big_endian(double value);

    // Ends the hash; the object may not be updated afterwards.
    Digest finish();
    // `finish` as 64 lower-case hex digits.
    std::string finish_hex();

private:
    evp_md_ctx_st* context_ = nullptr;
};

}  // namespace corvane
