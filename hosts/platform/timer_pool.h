// The host's pool of one-shot timers behind the stack's timerStart/timerStop callbacks.
//
// 256 slots. A handle carries the slot index and the slot's generation number, so a handle whose
// timer has run or been stopped is recognised as stale: stopping it does nothing, and an expiry
// never runs a later timer's handler on a reused slot. Handlers run on the caller's thread from
// RunExpired(); the pool never reads a clock itself, so the same code serves the real event loop
// and the tests' virtual clock.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "tarnet/tnsock.h"

namespace tarnet::platform {

class TimerPool {
  public:
    static constexpr std::size_t kSlots = 256;

    // Starts a timer due at now + delayMs. Returns null when every slot is taken.
    TnTimerHandle Start(std::uint64_t now, std::uint32_t delayMs, std::uintptr_t context,
                        TnTimerHandlerFn handler);
    // Cancels the timer; a stale or null handle is ignored.
    void Stop(TnTimerHandle handle);
    // Runs every timer that was due at `now` when the call began, earliest deadline first and
    // in start order among equal deadlines. Timers that handlers start are left for the next
    // call, so a chain of zero-delay timers cannot starve the caller. Returns the number run.
    std::size_t RunExpired(std::uint64_t now);
    // Deadline of the earliest running timer.
    std::optional<std::uint64_t> NextDeadline() const;
    // Number of running timers.
    std::size_t ActiveCount() const;
    // Forgets every timer without running it.
    void Clear();

  private:
    struct Slot {
        bool inUse               = false;
        std::uint32_t generation = 0;
        std::uint64_t deadline   = 0;
        std::uint64_t sequence   = 0;  // start order, breaks ties between equal deadlines
        std::uintptr_t context   = 0;
        TnTimerHandlerFn handler = nullptr;
    };

    Slot* Find(TnTimerHandle handle);
    // A slot stops running: the kept earliest deadline must be found again if it was this one.
    void Forget(Slot& slot);

    Slot slots_[kSlots];
    std::uint64_t nextSequence_ = 1;
    // The earliest deadline of the running timers, kept so that the loop's question on every
    // pass costs no scan; rescanned only after the timer that held it stopped or ran.
    mutable std::optional<std::uint64_t> earliest_;
    mutable bool earliestStale_ = false;
    std::size_t active_         = 0;
};

}  // namespace tarnet::platform
