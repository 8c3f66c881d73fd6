// Dotted-quad parsing (4.4BSD rules), formatting, and the big-endian byte helpers.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "tarnet/byteorder.h"
#include "tarnet/tnsock.h"

namespace {

struct ParseCase {
    const char* text;
    std::uint32_t address;
};

std::string Format(std::uint32_t address) {
    char buffer[16];
    TnSockFormatAddr(address, buffer);
    return buffer;
}

TEST(ParseAddr, SameAddressInEveryNotation) {
    const ParseCase cases[] = {
        {"10.1.10.211",       0x0A010AD3},
        {"0x0A.1.012.211",    0x0A010AD3}, // hexadecimal and octal parts
        {"0X0a.0x1.0xA.0xd3", 0x0A010AD3},
        {"167840467",         0x0A010AD3}, // one part: the whole address
        {"10.68307",          0x0A010AD3}, // two parts: 8 + 24 bits
        {"10.1.2771",         0x0A010AD3}, // three parts: 8 + 8 + 16 bits
    };
    for (const auto& c : cases) {
        std::uint32_t out = 0;
        EXPECT_EQ(TnSockParseAddr(c.text, &out), 1) << c.text;
        EXPECT_EQ(out, c.address) << c.text;
    }
}

TEST(ParseAddr, BasesFollowTheClassicParser) {
    const ParseCase cases[] = {
        {"0.0.0.0",           0x00000000},
        {"255.255.255.255",   0xFFFFFFFF},
        {"4294967295",        0xFFFFFFFF},
        {"010.0.0.1",         0x08000001}, // leading zero: octal
        {"09.0.0.018",        0x09000010}, // 8 and 9 still count in an octal part
        {"0xfF.0XaB.0x0.0x1", 0xFFAB0001},
        {"0x",                0x00000000}, // the prefix alone is an empty hexadecimal part
        {"1.16777215",        0x01FFFFFF}, // largest last part for each part count
        {"1.2.65535",         0x0102FFFF},
        {"256.1.2.3",         0x00010203}, // the earlier parts are not range-checked
        {"1.258.3.4",         0x01020304}, // 258 << 16 overlaps the first byte: 1 | 2 stays
    };
    for (const auto& c : cases) {
        std::uint32_t out = 0xDEADBEEF;
        EXPECT_EQ(TnSockParseAddr(c.text, &out), 1) << c.text;
        EXPECT_EQ(out, c.address) << c.text;
    }
}

TEST(ParseAddr, RefusesMalformedText) {
    const char* const bad[] = {
        "",           ".1.2.3",   "1..2.3",   "1.2.3.",  "1.2.3.4.",   "1.2.3.4.5",
        " 1.2.3.4",   "+1.2.3.4", "-1",       "a.b.c.d", "1.2.3.256",  "1.2.65536",
        "1.16777216", "1.2.3.4x", "1a.2.3.4", "0xg",     "1.2.3.4/24", "1,2,3,4",
    };
    for (const char* text : bad) {
        std::uint32_t out = 0x5A5A5A5A;
        EXPECT_EQ(TnSockParseAddr(text, &out), 0) << '"' << text << '"';
        EXPECT_EQ(out, 0x5A5A5A5Au) << "a refused text must not store: " << text;
    }
    EXPECT_EQ(TnSockParseAddr(nullptr, nullptr), 0);
    EXPECT_EQ(TnSockParseAddr("192.0.2.1", nullptr), 1);  // the output is optional
}

TEST(FormatAddr, MostSignificantByteFirst) {
    EXPECT_EQ(Format(0x0A010AD3), "10.1.10.211");
    EXPECT_EQ(Format(0), "0.0.0.0");
    EXPECT_EQ(Format(0x00FF0080), "0.255.0.128");
}

TEST(FormatAddr, LongestAddressFitsSixteenBytes) {
    char buffer[20];
    std::memset(buffer, '#', sizeof buffer);
    TnSockFormatAddr(0xFFFFFFFF, buffer);
    EXPECT_STREQ(buffer, "255.255.255.255");
    EXPECT_EQ(std::strlen(buffer), 15u);
    for (std::size_t i = 16; i < sizeof buffer; ++i) {
        EXPECT_EQ(buffer[i], '#') << "wrote past the 16-byte buffer at " << i;
    }
}

TEST(FormatAddr, RoundTripsThroughTheParser) {
    std::uint32_t value = 0x9E3779B9;
    for (int i = 0; i < 1000; ++i) {
        value = value * 1664525u + 1013904223u;
        char buffer[16];
        TnSockFormatAddr(value, buffer);
        std::uint32_t back = 0;
        ASSERT_EQ(TnSockParseAddr(buffer, &back), 1) << buffer;
        EXPECT_EQ(back, value) << buffer;
    }
}

TEST(ByteOrder, BigEndianAtUnalignedPositions) {
    std::uint8_t buffer[9] = {};
    TnWrite16(buffer + 1, 0xA1B2);
    TnWrite32(buffer + 3, 0xC3D4E5F6);
    const std::uint8_t expected[9] = {0, 0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6, 0, 0};
    EXPECT_EQ(std::memcmp(buffer, expected, sizeof buffer), 0);
    EXPECT_EQ(TnRead16(buffer + 1), 0xA1B2);
    EXPECT_EQ(TnRead32(buffer + 3), 0xC3D4E5F6u);
    EXPECT_EQ(TnRead16(buffer + 2), 0xB2C3);  // straddles both writes
    EXPECT_EQ(TnRead32(buffer + 5), 0xE5F60000u);
}

}  // namespace
