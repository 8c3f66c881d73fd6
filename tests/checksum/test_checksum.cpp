// The word-at-a-time ones'-complement sum against the plain two-bytes-a-step definition of
// RFC 1071, over every length and start alignment, including odd tails and initial sums.
#include <gtest/gtest.h>

#include "checksum.h"
#include "frames.h"
#include "ipv4.h"

namespace tarnet::test {
namespace {

TEST(ChecksumTest, MatchesTheDefinitionForEveryLengthAndAlignment) {
    const Bytes data = Pattern(1600, 7);
    for (std::size_t start = 0; start < 8; ++start) {
        for (std::size_t length = 0; length + start <= 300; ++length) {
            for (std::uint32_t initial : {0u, 0x1u, 0xFFFFu, 0x1FFFEu}) {
                const std::uint32_t expected = SumWords(data.data() + start, length, initial);
                ASSERT_EQ(OnesComplementSum(data.data() + start, length, initial), expected)
                    << "start " << start << " length " << length << " initial " << initial;
            }
        }
    }
}

TEST(ChecksumTest, FullSizedSegmentsAndCarries) {
    // All-ones data makes every addition carry; a 65535-byte run checks the accumulator.
    const Bytes ones(65535, 0xFF);
    EXPECT_EQ(OnesComplementSum(ones.data(), ones.size()), SumWords(ones.data(), ones.size()));
    const Bytes data = Pattern(1460, 3);
    EXPECT_EQ(OnesComplementSum(data.data(), data.size()), SumWords(data.data(), data.size()));
    // InetChecksum is the inverted sum: a header carrying it sums to all ones.
    Bytes header          = Pattern(20, 9);
    header[10]            = 0;
    header[11]            = 0;
    const std::uint16_t c = InetChecksum(header.data(), 20);
    header[10]            = static_cast<std::uint8_t>(c >> 8);
    header[11]            = static_cast<std::uint8_t>(c);
    EXPECT_EQ(InetChecksum(header.data(), 20), 0);
}

}  // namespace
}  // namespace tarnet::test
