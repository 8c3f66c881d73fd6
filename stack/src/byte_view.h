// A read-only view of received bytes: where they start and how many there are, with big-endian
// reads at offsets inside the view and narrower views of its parts. Every input layer parses its
// header through a view of exactly the bytes the layer below handed it, so its reads stay inside
// its own packet.
//
// In builds without NDEBUG (the sanitizer and fuzz builds) each access checks that
// `offset + size <= length` and stops the program at a read outside the view: a parser that
// trusts a length it has not checked is caught at the faulty read, also where the bytes behind the
// view are the rest of the same frame and no memory checker would notice. With NDEBUG the checks
// compile away and each access is the plain load it stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "tarnet/byteorder.h"

namespace tarnet {

#ifdef NDEBUG
inline constexpr bool kCheckedViews = false;
#else
inline constexpr bool kCheckedViews = true;
#endif

class ByteView {
  public:
    constexpr ByteView() = default;
    // `data` is null only with a length of 0.
    constexpr ByteView(const std::uint8_t* data, std::size_t length)
        : data_(data), length_(length) {}

    std::size_t Length() const { return length_; }

    std::uint8_t Read8(std::size_t offset) const {
        Expect(offset, 1);
        return data_[offset];
    }
    std::uint16_t Read16(std::size_t offset) const {
        Expect(offset, 2);
        return TnRead16(data_ + offset);
    }
    std::uint32_t Read32(std::size_t offset) const {
        Expect(offset, 4);
        return TnRead32(data_ + offset);
    }

    // The `size` bytes at `offset`, for copies, comparisons and checksums that take them whole.
    const std::uint8_t* Bytes(std::size_t offset, std::size_t size) const {
        Expect(offset, size);
        return data_ + offset;
    }

    // The `length` bytes at `offset` as a view of their own.
    ByteView Sub(std::size_t offset, std::size_t length) const {
        Expect(offset, length);
        return ByteView(data_ + offset, length);
    }

  private:
    // Both comparisons are free of overflow, whatever a hostile length field made of the offset.
    void Expect(std::size_t offset, std::size_t size) const {
        if constexpr (kCheckedViews) {
            if (offset > length_ || size > length_ - offset) {
                std::abort();
            }
        }
    }

    const std::uint8_t* data_ = nullptr;
    std::size_t length_       = 0;
};

}  // namespace tarnet
