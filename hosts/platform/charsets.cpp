#include "charsets.h"

#include <array>
#include <cstdint>
#include <cstdio>

namespace tarnet::platform {

namespace {

// Windows-1251 bytes 0x80 to 0xBF as code points (0: the byte 0x98 is unassigned). Bytes
// 0xC0 to 0xFF are U+0410 to U+044F in order.
constexpr std::array<std::uint16_t, 64> kWindows1251High = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021, 0x20AC, 0x2030, 0x0409,
    0x2039, 0x040A, 0x040C, 0x040B, 0x040F, 0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x0000, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F, 0x00A0,
    0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7, 0x0401, 0x00A9, 0x0404, 0x00AB,
    0x00AC, 0x00AD, 0x00AE, 0x0407, 0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6,
    0x00B7, 0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,
};

// The Windows-1251 byte of `code`, or -1.
int Windows1251Byte(char32_t code) {
    if (code < 0x80) {
        return static_cast<int>(code);
    }
    if (code >= 0x0410 && code <= 0x044F) {
        return static_cast<int>(code - 0x0410 + 0xC0);
    }
    for (std::size_t i = 0; i < kWindows1251High.size(); ++i) {
        if (kWindows1251High[i] == code) {
            return static_cast<int>(0x80 + i);
        }
    }
    return -1;
}

int TargetByte(char32_t code, Charset charset) {
    switch (charset) {
        case Charset::kIso8859_1:
            return code <= 0xFF ? static_cast<int>(code) : -1;
        case Charset::kWindows1251:
            return Windows1251Byte(code);
        case Charset::kWindows1251Koi8r: {
            const int byte = Windows1251Byte(code);
            const bool carried =
                byte < 0x80 || byte >= 0xC0 || byte == 0xA8 || byte == 0xB8 || byte == 0xA0;
            return carried ? byte : -1;
        }
    }
    return -1;
}

// Decodes one UTF-8 sequence at `text[at]` (RFC 3629: no overlong forms, no surrogates, nothing
// above U+10FFFF). Returns its length, 0 when the bytes there are not UTF-8.
std::size_t DecodeUtf8(std::string_view text, std::size_t at, char32_t& code) {
    const auto lead    = static_cast<unsigned char>(text[at]);
    std::size_t length = 0;
    char32_t minimum   = 0;
    if (lead < 0x80) {
        code = lead;
        return 1;
    }
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, minimum = 0x80, code = lead & 0x1FU;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, minimum = 0x800, code = lead & 0x0FU;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, minimum = 0x10000, code = lead & 0x07U;
    } else {
        return 0;
    }
    if (text.size() - at < length) {
        return 0;
    }
    for (std::size_t i = 1; i < length; ++i) {
        const auto next = static_cast<unsigned char>(text[at + i]);
        if ((next & 0xC0U) != 0x80U) {
            return 0;
        }
        code = (code << 6U) | (next & 0x3FU);
    }
    if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

}  // namespace

const char* CharsetName(Charset charset) {
    switch (charset) {
        case Charset::kIso8859_1:
            return "ISO-8859-1";
        case Charset::kWindows1251:
            return "Windows-1251";
        case Charset::kWindows1251Koi8r:
            return "KOI8-R (ASCII, Cyrillic letters and the no-break space)";
    }
    return "?";
}

bool FromUtf8(std::string_view text, Charset charset, std::string& out, std::string& error) {
    out.clear();
    out.reserve(text.size());
    std::size_t character = 0;
    for (std::size_t at = 0; at < text.size();) {
        ++character;
        char32_t code            = 0;
        const std::size_t length = DecodeUtf8(text, at, code);
        char line[160];
        if (length == 0) {
            std::snprintf(line, sizeof line, "byte %zu (0x%02X) is not UTF-8 text", at + 1,
                          static_cast<unsigned>(static_cast<unsigned char>(text[at])));
            error = line;
            return false;
        }
        const int byte = TargetByte(code, charset);
        if (byte < 0) {
            std::snprintf(line, sizeof line, "character %zu, U+%04X '%.*s', has no place in %s",
                          character, static_cast<unsigned>(code), static_cast<int>(length),
                          text.data() + at, CharsetName(charset));
            error = line;
            return false;
        }
        out.push_back(static_cast<char>(byte));
        at += length;
    }
    return true;
}

}  // namespace tarnet::platform
