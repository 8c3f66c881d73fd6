// Byte strings for the frames a test, fuzz target or benchmark hands the stack: one set of
// big-endian helpers for reading and writing fields in place (bounds-checked, on top of the
// stack's own tarnet/byteorder.h) and for building messages piece by piece.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <span>
#include <string>
#include <vector>

namespace tarnet::test {

using Bytes = std::vector<std::uint8_t>;

// Big-endian values at byte `at` of `b`. A field that does not lie wholly inside `b` throws
// std::out_of_range: a builder's mistake must not turn into a read or write past a buffer.
void Put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v);
void Put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v);
std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at);
std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at);

// Big-endian values as byte strings of their own, for messages written as a concatenation.
Bytes Be16(std::uint16_t v);
Bytes Be32(std::uint32_t v);
Bytes Cat(std::initializer_list<Bytes> parts);
// Appends `more` to `b`.
void Append(Bytes& b, std::span<const std::uint8_t> more);

Bytes Text(const std::string& s);
Bytes Pattern(std::size_t length, std::uint32_t seed = 0);  // deterministic filler

}  // namespace tarnet::test
