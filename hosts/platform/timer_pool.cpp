#include "timer_pool.h"

namespace tarnet::platform {

namespace {

// Handle layout: bits 0..15 slot index + 1 (never 0, so a handle is never null), the bits above
// the slot's generation at start. Generations count within what the handle holds (16 bits where
// pointers have 32), or after 65536 reuses of a slot no handle would match it again and a timer
// could no longer be stopped.
constexpr std::uintptr_t kIndexBits = 16;
constexpr std::uint32_t kGenerationMask =
    static_cast<std::uint32_t>(~std::uintptr_t{0} >> kIndexBits);

std::uint32_t NextGeneration(std::uint32_t generation) {
    return (generation + 1) & kGenerationMask;
}

TnTimerHandle MakeHandle(std::size_t index, std::uint32_t generation) {
    const std::uintptr_t value =
        (static_cast<std::uintptr_t>(generation) << kIndexBits) | (index + 1);
    return reinterpret_cast<TnTimerHandle>(value);
}

}  // namespace

TimerPool::Slot* TimerPool::Find(TnTimerHandle handle) {
    const auto value                  = reinterpret_cast<std::uintptr_t>(handle);
    const std::uintptr_t indexPlusOne = value & ((std::uintptr_t{1} << kIndexBits) - 1);
    if (indexPlusOne == 0 || indexPlusOne > kSlots) {
        return nullptr;
    }
    Slot& slot            = slots_[indexPlusOne - 1];
    const auto generation = static_cast<std::uint32_t>(value >> kIndexBits);
    if (!slot.inUse || slot.generation != generation) {
        return nullptr;
    }
    return &slot;
}

TnTimerHandle TimerPool::Start(std::uint64_t now, std::uint32_t delayMs, std::uintptr_t context,
                               TnTimerHandlerFn handler) {
    if (handler == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < kSlots; ++i) {
        Slot& slot = slots_[i];
        if (slot.inUse) {
            continue;
        }
        slot.inUse    = true;
        slot.deadline = now + delayMs;
        slot.sequence = nextSequence_++;
        slot.context  = context;
        slot.handler  = handler;
        ++active_;
        if (!earliestStale_ && (!earliest_ || slot.deadline < *earliest_)) {
            earliest_ = slot.deadline;
        }
        return MakeHandle(i, slot.generation);
    }
    return nullptr;
}

void TimerPool::Forget(Slot& slot) {
    slot.inUse      = false;
    slot.generation = NextGeneration(slot.generation);
    --active_;
    if (earliest_ && slot.deadline == *earliest_) {
        earliestStale_ = true;
    }
}

void TimerPool::Stop(TnTimerHandle handle) {
    if (Slot* slot = Find(handle)) {
        Forget(*slot);
    }
}

std::size_t TimerPool::RunExpired(std::uint64_t now) {
    const std::optional<std::uint64_t> next = NextDeadline();
    if (!next || *next > now) {
        return 0;  // nothing due: no scan
    }
    const std::uint64_t sequenceLimit = nextSequence_;
    std::size_t ran                   = 0;
    for (;;) {
        Slot* due = nullptr;
        for (Slot& slot : slots_) {
            if (!slot.inUse || slot.deadline > now || slot.sequence >= sequenceLimit) {
                continue;
            }
            if (due == nullptr || slot.deadline < due->deadline ||
                (slot.deadline == due->deadline && slot.sequence < due->sequence)) {
                due = &slot;
            }
        }
        if (due == nullptr) {
            return ran;
        }
        // Free the slot before running the handler: the handle is no longer valid once the
        // handler runs, and the handler may start a new timer that reuses this very slot.
        const TnTimerHandlerFn handler = due->handler;
        const std::uintptr_t context   = due->context;
        Forget(*due);
        handler(context);
        ++ran;
    }
}

std::optional<std::uint64_t> TimerPool::NextDeadline() const {
    if (!earliestStale_) {
        return earliest_;
    }
    std::optional<std::uint64_t> earliest;
    if (active_ > 0) {
        for (const Slot& slot : slots_) {
            if (slot.inUse && (!earliest || slot.deadline < *earliest)) {
                earliest = slot.deadline;
            }
        }
    }
    earliest_      = earliest;
    earliestStale_ = false;
    return earliest;
}

std::size_t TimerPool::ActiveCount() const {
    return active_;
}

void TimerPool::Clear() {
    for (Slot& slot : slots_) {
        if (slot.inUse) {
            slot.inUse      = false;
            slot.generation = NextGeneration(slot.generation);
        }
    }
    active_        = 0;
    earliest_      = std::nullopt;
    earliestStale_ = false;
}

}  // namespace tarnet::platform
