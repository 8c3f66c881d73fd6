// Text and number helpers (see text_out.h).
#include "text_out.h"

#include <cstring>

namespace tarnet::netclient {
namespace {

// value / 10, the remainder in `digit`, by shift and subtract: no 64-bit division routine.
std::uint64_t DivideBy10(std::uint64_t value, char& digit) {
    std::uint64_t quotient = 0;
    std::uint32_t rest     = 0;
    for (int bit = 63; bit >= 0; --bit) {
        rest = rest << 1 | static_cast<std::uint32_t>(value >> bit & 1);
        if (rest >= 10) {
            rest -= 10;
            quotient |= std::uint64_t{1} << bit;
        }
    }
    digit = static_cast<char>('0' + rest);
    return quotient;
}

}  // namespace

void TextOut::Put(std::string_view text) {
    for (const char c : text) {
        Char(c);
    }
}

void TextOut::Char(char c) {
    if (length_ + 1 >= capacity_) {  // keep room for the terminator
        overflow_ = true;
        return;
    }
    buffer_[length_++] = c;
    buffer_[length_]   = '\0';
}

void TextOut::Number(std::uint64_t value, int width) {
    char digits[20];
    int count = 0;
    do {
        value = DivideBy10(value, digits[count++]);
    } while (value != 0);
    for (int i = count; i < width; ++i) {
        Char('0');
    }
    while (count > 0) {
        Char(digits[--count]);
    }
}

std::uint32_t Percent(std::uint64_t done, std::uint64_t total) {
    if (done >= total) {
        return 100;
    }
    // done * 100 is below total * 100: the quotient fits 7 bits, found by shift and subtract.
    std::uint64_t scaled = done * 100;
    std::uint32_t result = 0;
    for (int bit = 6; bit >= 0; --bit) {
        if ((scaled >> bit) >= total) {
            scaled -= total << bit;
            result |= 1u << bit;
        }
    }
    return result;
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

std::size_t FindText(std::string_view text, std::string_view needle) {
    for (std::size_t i = 0; i + needle.size() <= text.size(); ++i) {
        if (std::memcmp(text.data() + i, needle.data(), needle.size()) == 0) {
            return i;
        }
    }
    return std::string_view::npos;
}

}  // namespace tarnet::netclient
