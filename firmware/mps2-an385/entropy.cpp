#include "entropy.h"

namespace tarnet::firmware {

namespace {

// SplitMix64's finaliser: every input bit affects every output bit.
std::uint64_t Scramble(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

}  // namespace

void Entropy::Mix(const void* data, std::uint32_t length) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    for (std::uint32_t i = 0; i < length; ++i) {
        state_ = Scramble(state_ ^ (static_cast<std::uint64_t>(bytes[i]) << ((i % 8) * 8)));
    }
}

std::uint32_t Entropy::Next(std::uint32_t jitter) {
    state_ += 0x9E3779B97F4A7C15ull ^ jitter;
    return static_cast<std::uint32_t>(Scramble(state_) >> 32);
}

}  // namespace tarnet::firmware
