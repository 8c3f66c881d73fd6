// Dotted-quad parsing and formatting.
#include <cctype>

#include "tarnet/tnsock.h"

namespace {

int DigitValue(char c, std::uint32_t base) {
    if (c >= '0' && c <= '9') {
        return c - '0';  // 8 and 9 are taken in an octal part too, as the classic parser does
    }
    if (base == 16 && c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (base == 16 && c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

// The classic 4.4BSD inet_aton rules: one to four parts, each decimal, octal (leading 0) or
// hexadecimal (leading 0x); the last part fills the remaining low-order bytes. Earlier parts
// are shifted into place without a range check, as that parser does.
int TnSockParseAddr(const char* text, std::uint32_t* out) {
    if (text == nullptr) {
        return 0;
    }
    std::uint32_t parts[4] = {};
    int count              = 0;
    const char* p          = text;
    for (;;) {
        if (!std::isdigit(static_cast<unsigned char>(*p))) {
            return 0;
        }
        std::uint32_t base = 10;
        if (*p == '0') {
            if (p[1] == 'x' || p[1] == 'X') {
                base = 16;
                p += 2;
            } else {
                base = 8;
            }
        }
        std::uint32_t value = 0;
        for (int digit; (digit = DigitValue(*p, base)) >= 0; ++p) {
            value = value * base + static_cast<std::uint32_t>(digit);
        }
        if (*p == '.') {
            if (count == 3) {
                return 0;  // a fourth dot
            }
            parts[count++] = value;
            ++p;
            continue;
        }
        parts[count++] = value;
        break;
    }
    if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) {
        return 0;
    }
    std::uint32_t address = 0;
    switch (count) {
        case 1:
            address = parts[0];
            break;
        case 2:
            if (parts[1] > 0xFFFFFF) {
                return 0;
            }
            address = (parts[0] << 24) | parts[1];
            break;
        case 3:
            if (parts[2] > 0xFFFF) {
                return 0;
            }
            address = (parts[0] << 24) | (parts[1] << 16) | parts[2];
            break;
        default:
            if (parts[3] > 0xFF) {
                return 0;
            }
            address = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
            break;
    }
    if (out != nullptr) {
        *out = address;
    }
    return 1;
}

void TnSockFormatAddr(std::uint32_t address, char* buffer) {
    if (buffer == nullptr) {
        return;
    }
    // Written digit by digit rather than with snprintf: a small target then links no printf
    // engine for the one text the stack formats most.
    char* out = buffer;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const unsigned part = (address >> shift) & 0xFFu;
        if (part >= 100) {
            *out++ = static_cast<char>('0' + part / 100);
        }
        if (part >= 10) {
            *out++ = static_cast<char>('0' + part / 10 % 10);
        }
        *out++ = static_cast<char>('0' + part % 10);
        *out++ = shift > 0 ? '.' : '\0';
    }
}
