#include "bytes.h"

#include <stdexcept>

#include "tarnet/byteorder.h"

namespace tarnet::test {

namespace {

// The `n` bytes at `at`, which must lie inside `b`.
template <typename T>
T* Field(std::span<T> b, std::size_t at, std::size_t n) {
    if (at > b.size() || n > b.size() - at) {
        throw std::out_of_range("field beyond the buffer");
    }
    return b.data() + at;
}

}  // namespace

void Put16(std::span<std::uint8_t> b, std::size_t at, std::uint16_t v) {
    TnWrite16(Field(b, at, 2), v);
}

void Put32(std::span<std::uint8_t> b, std::size_t at, std::uint32_t v) {
    TnWrite32(Field(b, at, 4), v);
}

std::uint16_t Get16(std::span<const std::uint8_t> b, std::size_t at) {
    return TnRead16(Field(b, at, 2));
}

std::uint32_t Get32(std::span<const std::uint8_t> b, std::size_t at) {
    return TnRead32(Field(b, at, 4));
}

Bytes Be16(std::uint16_t v) {
    Bytes b(2);
    Put16(b, 0, v);
    return b;
}

Bytes Be32(std::uint32_t v) {
    Bytes b(4);
    Put32(b, 0, v);
    return b;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) {
        Append(out, p);
    }
    return out;
}

// Appends through a reserved buffer; GCC 12 reports a false array-bounds error for a plain
// insert at the end of a small vector (GCC bug 107852).
void Append(Bytes& b, std::span<const std::uint8_t> more) {
    b.reserve(b.size() + more.size());
    for (std::uint8_t byte : more) {
        b.push_back(byte);
    }
}

Bytes Text(const std::string& s) {
    return Bytes(s.begin(), s.end());
}

Bytes Pattern(std::size_t length, std::uint32_t seed) {
    Bytes out(length);
    std::uint32_t x = seed * 2654435761u + 12345u;
    for (std::size_t i = 0; i < length; ++i) {
        x      = x * 1103515245u + 12345u;
        out[i] = static_cast<std::uint8_t>(x >> 16);
    }
    return out;
}

}  // namespace tarnet::test
