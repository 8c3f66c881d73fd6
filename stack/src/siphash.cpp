// SipHash-2-4: two compression rounds per 8-byte word, four finalisation rounds. Words are
// read little-endian, as the algorithm defines them, whatever the host's byte order.
#include "siphash.h"

#include <bit>

namespace tarnet {

namespace {

std::uint64_t ReadLe64(const std::uint8_t* p, std::size_t n) {
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        v |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    }
    return v;
}

struct SipState {
    std::uint64_t v0, v1, v2, v3;

    void Round() {
        v0 += v1;
        v1 = std::rotl(v1, 13);
        v1 ^= v0;
        v0 = std::rotl(v0, 32);
        v2 += v3;
        v3 = std::rotl(v3, 16);
        v3 ^= v2;
        v0 += v3;
        v3 = std::rotl(v3, 21);
        v3 ^= v0;
        v2 += v1;
        v1 = std::rotl(v1, 17);
        v1 ^= v2;
        v2 = std::rotl(v2, 32);
    }

    void Absorb(std::uint64_t m) {
        v3 ^= m;
        Round();
        Round();
        v0 ^= m;
    }
};

}  // namespace

std::uint64_t SipHash24(const std::uint8_t (&key)[kSipHashKeyLen], const std::uint8_t* data,
                        std::size_t length) {
    const std::uint64_t k0 = ReadLe64(key, 8);
    const std::uint64_t k1 = ReadLe64(key + 8, 8);
    SipState s{k0 ^ 0x736f6d6570736575ULL, k1 ^ 0x646f72616e646f6dULL, k0 ^ 0x6c7967656e657261ULL,
               k1 ^ 0x7465646279746573ULL};
    const std::size_t whole = length - length % 8;
    for (std::size_t i = 0; i < whole; i += 8) {
        s.Absorb(ReadLe64(data + i, 8));
    }
    // The last word holds the remaining bytes and, in its top byte, the length modulo 256.
    s.Absorb(ReadLe64(data + whole, length - whole) | (static_cast<std::uint64_t>(length) << 56));
    s.v2 ^= 0xFF;
    for (int i = 0; i < 4; ++i) {
        s.Round();
    }
    return s.v0 ^ s.v1 ^ s.v2 ^ s.v3;
}

}  // namespace tarnet
