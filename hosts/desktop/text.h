// Text helpers for the desktop programs: received bytes and typed text are UTF-8, and the
// windows' limits count characters, not bytes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tarnet::desktop {

// The `length` bytes at `data` as valid UTF-8: every well-formed sequence is copied, every byte
// that does not start one (a stray continuation, a truncated sequence, an overlong or surrogate
// encoding, a value above U+10FFFF) becomes U+FFFD. Never reads beyond `length`.
std::string ValidUtf8(const std::uint8_t* data, std::size_t length);

// The first `limit` characters (code points) of valid UTF-8 text.
std::string_view CutChars(std::string_view text, std::size_t limit);

}  // namespace tarnet::desktop
