// SipHash-2-4 (Aumasson and Bernstein, 2012): a keyed hash of short inputs whose output an
// observer cannot predict without the 128-bit key. TCP keys its initial sequence numbers with
// it (RFC 6528).
#pragma once

#include <cstddef>
#include <cstdint>

namespace tarnet {

inline constexpr std::size_t kSipHashKeyLen = 16;

std::uint64_t SipHash24(const std::uint8_t (&key)[kSipHashKeyLen], const std::uint8_t* data,
                        std::size_t length);

}  // namespace tarnet
