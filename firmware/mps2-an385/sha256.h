// SHA-256 (FIPS 180-4), fed in pieces, for the firmware's report of what it downloaded.
#pragma once

#include <cstdint>

namespace tarnet::firmware {

class Sha256 {
  public:
    static constexpr int kDigestSize = 32;

    Sha256() { Reset(); }
    void Reset();
    void Update(const std::uint8_t* data, std::uint32_t length);
    // Pads, writes the digest and leaves the object to be Reset before further use.
    void Finish(std::uint8_t digest[kDigestSize]);
    // The digest as 64 lower-case hexadecimal digits and a terminating zero.
    void FinishHex(char text[2 * kDigestSize + 1]);

  private:
    void Block(const std::uint8_t* block);

    std::uint32_t state_[8];
    std::uint8_t buffer_[64];
    std::uint32_t buffered_;
    std::uint64_t bits_;
};

}  // namespace tarnet::firmware
