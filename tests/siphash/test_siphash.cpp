// SipHash-2-4 against the reference vectors of its authors (key 00..0f, message 00..n-1): the
// lengths cover an empty message, a lone tail byte, one whole word, and a word with a
// seven-byte tail.
#include <gtest/gtest.h>

#include <cstdint>

#include "siphash.h"

namespace tarnet {
namespace {

TEST(SipHashTest, ReferenceVectors) {
    std::uint8_t key[kSipHashKeyLen];
    std::uint8_t message[15];
    for (std::uint8_t i = 0; i < kSipHashKeyLen; ++i) {
        key[i] = i;
    }
    for (std::uint8_t i = 0; i < sizeof message; ++i) {
        message[i] = i;
    }
    struct Vector {
        std::size_t length;
        std::uint64_t hash;
    };
    constexpr Vector kVectors[] = {
        {0,  0x726fdb47dd0e0e31ULL},
        {1,  0x74f839c593dc67fdULL},
        {8,  0x93f5f5799a932462ULL},
        {15, 0xa129ca6149be45e5ULL},
    };
    for (const Vector& v : kVectors) {
        EXPECT_EQ(SipHash24(key, message, v.length), v.hash) << "length " << v.length;
    }
}

}  // namespace
}  // namespace tarnet
