// The firmware's SHA-256 against the published test vectors (FIPS 180-4 examples), fed whole
// and in uneven pieces, so a padding or block-boundary mistake shows.
#include <gtest/gtest.h>

#include <string>

#include "sha256.h"

namespace tarnet::firmware {
namespace {

std::string HexOf(const std::string& data, std::size_t piece) {
    Sha256 hash;
    for (std::size_t at = 0; at < data.size(); at += piece) {
        const std::size_t n = std::min(piece, data.size() - at);
        hash.Update(reinterpret_cast<const std::uint8_t*>(data.data() + at),
                    static_cast<std::uint32_t>(n));
    }
    char text[2 * Sha256::kDigestSize + 1];
    hash.FinishHex(text);
    return text;
}

// Byte by byte, across a block boundary and in larger pieces: every way must agree.
void ExpectDigest(const std::string& data, const char* digest) {
    for (std::size_t piece :
         {std::size_t{1}, std::size_t{63}, std::size_t{64}, std::size_t{1000}}) {
        if (piece == 1 && data.size() > 1000) {
            continue;  // byte by byte over a megabyte adds time, not coverage
        }
        EXPECT_EQ(HexOf(data, piece), digest) << data.size() << " bytes in pieces of " << piece;
    }
}

TEST(Sha256, MatchesThePublishedVectorsWholeAndInPieces) {
    ExpectDigest("", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    ExpectDigest("abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    ExpectDigest("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
                 "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
    ExpectDigest(std::string(1000000, 'a'),
                 "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0");
}

}  // namespace
}  // namespace tarnet::firmware
