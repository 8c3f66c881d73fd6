// The single-threaded main loop of the headless programs. It sends the frames queued since the
// last pass, waits with poll(2) until the adapter is readable or the next deadline (stack timer,
// held impaired frame, periodic or library work, end of the run) arrives, then runs one LoopPass
// (loop_pass.h), which does the work in its fixed order.
// Every stack call, timer handler and frame input happens on the thread that calls Run().
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "adapter.h"
#include "loop_pass.h"

namespace tarnet::platform {

struct LoopCounters {
    std::uint64_t passes     = 0;
    std::uint64_t frames     = 0;  // frames taken from the adapter
    std::uint64_t fullPasses = 0;  // passes that hit the per-pass frame bound
    std::uint64_t timersRun  = 0;
};

class EventLoop {
  public:
    static constexpr int kFramesPerPass         = LoopPass::kFramesPerPass;
    static constexpr std::size_t kPeriodicSlots = 8;
    // Longest single wait when nothing is scheduled; only bounds how stale a wait can get.
    static constexpr std::uint64_t kIdleWaitMs = 1000;

    enum class Outcome {
        kDone,           // the caller's condition became true
        kDeadline,       // the deadline passed first
        kStopSignal,     // SIGINT or SIGTERM arrived
        kAdapterFailed,  // the adapter reported an error; Error() says which
    };

    using DoneFn                          = bool (*)(void* context);
    using PeriodicFn                      = void (*)(void* context);
    using WantFn                          = bool (*)(void* context);
    static constexpr std::size_t kFdSlots = 4;

    // `adapter` may be null or closed: the loop then only runs timers and periodic work. The
    // loop batches the adapter's transmissions (Adapter::SetBatching) and flushes them before
    // every wait and when a run ends.
    explicit EventLoop(Adapter* adapter) : adapter_(adapter), link_(adapter) {
        if (adapter_ != nullptr) {
            adapter_->SetBatching(true);
        }
    }

    // Runs `fn` every `periodMs` (at least 1) from the loop. False when the table is full.
    bool AddPeriodic(std::uint32_t periodMs, PeriodicFn fn, void* context);
    // A library's periodic work, run every pass (and at least every kLibraryWorkMs) while
    // hasWork(context) is true. False when the table is full.
    static constexpr std::uint64_t kLibraryWorkMs = 1;
    bool AddLibrary(LoopPass::HasWorkFn hasWork, LoopPass::WorkFn work, void* context) {
        return pass_.AddLibrary(hasWork, work, context);
    }

    // Wakes the loop when `fd` is ready for `events` (POLLIN, POLLOUT) while wanted(context) is
    // true; the loop only wakes, and the caller's done check does the reading or writing. A
    // descriptor that is not wanted (its data cannot be taken now) is left out of the wait, so
    // an always-ready one (a regular file) never makes the loop spin. False when the table is
    // full.
    bool AddFd(int fd, short events, WantFn wanted, void* context);
    void RemoveFd(int fd);

    // Runs passes until done(context) is true (checked before every wait; a null `done` never
    // is), `deadlineMs` on the monotonic clock passes, a stop signal arrives or the adapter
    // fails.
    Outcome Run(DoneFn done, void* context, std::optional<std::uint64_t> deadlineMs);
    // The last work of a run that is ending: like Run(), but a stop signal that already arrived
    // does not cut it short (the stack still has to say goodbye, e.g. release its lease). Ends
    // in kDone, kDeadline or kAdapterFailed.
    Outcome Finish(DoneFn done, void* context, std::uint64_t deadlineMs);

    const std::string& Error() const { return error_; }
    const LoopCounters& Counters() const { return counters_; }

    // From now on SIGINT and SIGTERM end Run() with kStopSignal instead of killing the
    // process. They stay blocked outside the wait, so none can slip in between the check and
    // the wait.
    static void InstallStopSignals();
    // The stop signal that arrived, 0 when none.
    static int StopSignal();
    // From now on SIGUSR1 asks for a report instead of killing the process; like the stop
    // signals it is let through only during the wait, which it ends.
    static void InstallReportSignal();
    // True once for each SIGUSR1 (several before a look count as one).
    static bool TakeReportSignal();

  private:
    struct Periodic {
        PeriodicFn fn          = nullptr;
        void* context          = nullptr;
        std::uint32_t periodMs = 0;
        std::uint64_t due      = 0;
    };

    Outcome Passes(DoneFn done, void* context, std::optional<std::uint64_t> deadlineMs,
                   bool stopSignalsEnd);
    // One pass; false when the adapter failed.
    bool Pass(std::optional<std::uint64_t> untilMs);
    std::optional<std::uint64_t> NextDeadline() const;
    static void RunPeriodic(void* loop);

    struct Watched {
        int fd        = -1;
        short events  = 0;
        WantFn wanted = nullptr;
        void* context = nullptr;
    };

    Adapter* adapter_;
    AdapterLink link_;
    LoopPass pass_;
    Periodic periodic_[kPeriodicSlots]{};
    Watched watched_[kFdSlots]{};
    bool drainPending_ = false;  // the last drain hit the bound: do not wait
    LoopCounters counters_{};
    std::string error_;
};

}  // namespace tarnet::platform
