#include "text.h"

namespace tarnet::desktop {

namespace {

constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed sequence at data[0] (RFC 3629 section 4), 0 when there is none.
std::size_t SequenceLength(const std::uint8_t* data, std::size_t left) {
    const std::uint8_t lead = data[0];
    if (lead < 0x80) {
        return 1;
    }
    std::size_t length = 0;
    std::uint8_t low   = 0x80;  // bounds of the second byte, which exclude overlong forms,
    std::uint8_t high  = 0xBF;  // surrogates and values above U+10FFFF
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low    = lead == 0xE0 ? 0xA0 : 0x80;
        high   = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low    = lead == 0xF0 ? 0x90 : 0x80;
        high   = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (left < length || data[1] < low || data[1] > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if ((data[i] & 0xC0) != 0x80) {
            return 0;
        }
    }
    return length;
}

}  // namespace

std::string ValidUtf8(const std::uint8_t* data, std::size_t length) {
    std::string out;
    if (data == nullptr) {
        return out;
    }
    out.reserve(length);
    std::size_t at = 0;
    while (at < length) {
        const std::size_t n = SequenceLength(data + at, length - at);
        if (n == 0) {
            out += kReplacement;
            ++at;
            continue;
        }
        out.append(reinterpret_cast<const char*>(data + at), n);
        at += n;
    }
    return out;
}

std::string_view CutChars(std::string_view text, std::size_t limit) {
    std::size_t chars = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool continuation = (static_cast<unsigned char>(text[i]) & 0xC0) == 0x80;
        if (!continuation) {
            if (chars == limit) {
                return text.substr(0, i);
            }
            ++chars;
        }
    }
    return text;
}

}  // namespace tarnet::desktop
