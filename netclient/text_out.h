// Text and number helpers the command-and-reply clients share: a bounded text writer with its
// own decimal formatting, a percentage and a few searches. They stand in for the C library's
// formatted output, substring search and 64-bit division, which a small target would otherwise
// link in for a handful of uses (and whose formatted output may lack 64-bit numbers there).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace tarnet::netclient {

// A bounded text writer: what does not fit is dropped and remembered as an overflow. The text
// is kept NUL-terminated.
class TextOut {
  public:
    TextOut(char* buffer, std::size_t capacity) : buffer_(buffer), capacity_(capacity) {}
    void Put(std::string_view text);
    void Char(char c);
    // Writes a number in decimal, with at least `width` digits (zero-padded).
    void Number(std::uint64_t value, int width = 1);
    std::size_t Length() const { return length_; }
    bool Overflow() const { return overflow_; }

  private:
    char* buffer_;
    std::size_t capacity_;
    std::size_t length_ = 0;
    bool overflow_      = false;
};

// done * 100 / total rounded down, at most 100; 100 when total is 0.
std::uint32_t Percent(std::uint64_t done, std::uint64_t total);

// True when the text holds a CR or LF (a command or header line injected into our own).
bool HasLineBreak(std::string_view text);

// Where `needle` first occurs in `text`, or npos.
std::size_t FindText(std::string_view text, std::string_view needle);

}  // namespace tarnet::netclient
