// Seeded impairment of the link between the adapter and the stack: random loss, duplication,
// reordering and delay of frames, in both directions. It stands in for a lossy network in tests
// of the protocols' recovery (the test machines' kernels have no netem).
//
// Every frame passes Submit(). It is dropped, passed on at once, or copied into a small fixed
// queue and passed on by Service() when its hold time has run out. A duplicated frame is passed
// on twice. A frame picked for reordering is held for a few extra milliseconds, so frames that
// follow it in the same direction overtake it. The decisions come from a generator seeded by
// the configuration: the same seed and the same frames give the same faults.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tarnet::platform {

enum class Direction : std::uint8_t {
    kRx = 0,  // adapter -> stack
    kTx = 1,  // stack -> adapter
};

struct FaultConfig {
    // Probabilities in hundredths of a percent (0 to 10000).
    std::uint32_t lossBp    = 0;
    std::uint32_t dupBp     = 0;
    std::uint32_t reorderBp = 0;
    // Added to every frame, in each direction.
    std::uint32_t delayMs = 0;
    // Extra hold of a reordered frame: 1 to reorderSpanMs milliseconds.
    std::uint32_t reorderSpanMs = 10;
    std::uint64_t seed          = 0;
    bool seedGiven              = false;

    bool Enabled() const { return lossBp != 0 || dupBp != 0 || reorderBp != 0 || delayMs != 0; }
};

// Parses "loss=2,dup=1,reorder=5,delay=20,seed=7" (percentages may carry two decimals, as in
// loss=0.25; "span=MS" sets the reorder hold). Returns an empty string when the text is valid,
// otherwise what is wrong with it; `out` is then unchanged.
std::string ParseFaultConfig(std::string_view text, FaultConfig& out);
// The configuration in the same notation.
std::string FormatFaultConfig(const FaultConfig& config);

struct FaultCounters {
    std::uint64_t submitted  = 0;
    std::uint64_t passed     = 0;  // handed on, duplicates included
    std::uint64_t lost       = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t reordered  = 0;
    std::uint64_t overflowed = 0;  // dropped because the hold queue was full or the frame too big
};

class FaultInjector {
  public:
    static constexpr std::size_t kQueueSlots = 128;
    static constexpr std::size_t kMaxFrame   = 1518;

    // Receives every frame that passes. The bytes are valid only during the call.
    using Deliver = void (*)(void* context, Direction direction, const std::uint8_t* frame,
                             std::uint32_t length);

    void Configure(const FaultConfig& config, Deliver deliver, void* context);
    bool Enabled() const { return enabled_; }

    // Decides the frame's fate at time `nowMs`; a frame that is not held is delivered before
    // the call returns.
    void Submit(Direction direction, const std::uint8_t* frame, std::uint32_t length,
                std::uint64_t nowMs);
    // Delivers the held frames that are due at `nowMs`, earliest first, in submission order
    // among equal times. Frames submitted by a delivery wait for the next call.
    void Service(std::uint64_t nowMs);
    // When the earliest held frame falls due.
    std::optional<std::uint64_t> NextDue() const;
    std::size_t HeldCount() const;
    // Forgets every held frame.
    void Clear();

    const FaultCounters& Counters(Direction direction) const {
        return counters_[static_cast<std::size_t>(direction)];
    }

  private:
    struct Slot {
        bool inUse             = false;
        Direction direction    = Direction::kRx;
        std::uint32_t length   = 0;
        std::uint64_t due      = 0;
        std::uint64_t sequence = 0;
        std::uint8_t bytes[kMaxFrame];
    };

    bool Chance(std::uint32_t basisPoints);
    std::uint64_t NextRandom();
    void Hold(Direction direction, const std::uint8_t* frame, std::uint32_t length,
              std::uint64_t due);

    FaultConfig config_{};
    bool enabled_               = false;
    Deliver deliver_            = nullptr;
    void* context_              = nullptr;
    std::uint64_t state_        = 0;
    std::uint64_t nextSequence_ = 1;
    std::size_t held_           = 0;  // slots in use: with none, the loop's calls return at once
    FaultCounters counters_[2]{};
    Slot slots_[kQueueSlots]{};
};

}  // namespace tarnet::platform
