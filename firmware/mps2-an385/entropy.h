// Random numbers for the stack's random callback on a board without a random number generator.
//
// The seed mixes what differs from one boot to the next on this board: the SysTick count and the
// Ethernet controller's free-running counter at the moment of seeding (timing jitter of the
// reset and of the controller's start), the MAC address (differs per board), and a block of RAM
// that start-up leaves as it powered up (random on real SRAM, zero under an emulator). This is
// weak entropy: TCP initial sequence numbers and DHCP and DNS transaction identifiers become hard
// to guess from outside, not secret. A board with a true random number generator seeds from it
// instead, or replaces Next() by reads of it, without touching the stack.
#pragma once

#include <cstdint>

namespace tarnet::firmware {

class Entropy {
  public:
    // Folds bytes into the seed (any number of calls, then Next()).
    void Mix(const void* data, std::uint32_t length);
    void Mix(std::uint32_t value) { Mix(&value, sizeof value); }
    // The next pseudo-random 32 bits; each call also folds in the clock's sub-millisecond count,
    // so the sequence depends on when it is asked for, not only on the seed.
    std::uint32_t Next(std::uint32_t jitter);

  private:
    std::uint64_t state_ = 0x9E3779B97F4A7C15ull;
};

}  // namespace tarnet::firmware
