// The Internet checksum's ones'-complement sum (RFC 1071), shared by IPv4, ICMP, UDP and TCP.
//
// The sum is independent of byte order (RFC 1071 2(B)): the data is summed as native 32-bit
// halves of 64-bit loads and the folded result swapped once at the end, eight bytes a step
// instead of two. It is the inner loop of every segment sent and received.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace tarnet {

constexpr std::uint16_t FoldSum(std::uint64_t sum) {
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(sum);
}

// Folded 16-bit ones'-complement sum of `data` (big-endian words; an odd last byte is the high
// byte of a word whose low byte is 0), added to `initial`. Not inverted.
inline std::uint16_t OnesComplementSum(const std::uint8_t* data, std::size_t length,
                                       std::uint32_t initial = 0) {
    std::uint64_t sum = 0;  // 2^31 steps of at most 2^33 each before it could overflow
    for (; length >= 8; data += 8, length -= 8) {
        std::uint64_t word;
        std::memcpy(&word, data, 8);
        sum += (word & 0xFFFFFFFF) + (word >> 32);
    }
    if (length >= 4) {
        std::uint32_t word;
        std::memcpy(&word, data, 4);
        sum += word;
        data += 4;
        length -= 4;
    }
    if (length >= 2) {
        std::uint16_t word;
        std::memcpy(&word, data, 2);
        sum += word;
        data += 2;
        length -= 2;
    }
    if (length == 1) {
        // The first byte of a native word: high byte in big-endian order, low in little-endian,
        // where the final swap moves it up.
        sum += std::endian::native == std::endian::big ? std::uint64_t{data[0]} << 8 : data[0];
    }
    std::uint16_t folded = FoldSum(sum);
    if constexpr (std::endian::native == std::endian::little) {
        folded = static_cast<std::uint16_t>((folded << 8) | (folded >> 8));
    }
    return FoldSum(std::uint64_t{folded} + initial);
}

}  // namespace tarnet
