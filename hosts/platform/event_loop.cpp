#include "event_loop.h"

#include <poll.h>
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "host.h"

namespace tarnet::platform {

namespace {

volatile std::sig_atomic_t gStopSignal   = 0;
volatile std::sig_atomic_t gReportSignal = 0;
bool gSignalsInstalled                   = false;
sigset_t gWaitMask;  // the mask during the wait: stop signals let through

extern "C" void OnStopSignal(int signal) {
    gStopSignal = signal;
}

extern "C" void OnReportSignal(int) {
    gReportSignal = 1;
}

std::optional<std::uint64_t> Earlier(std::optional<std::uint64_t> a,
                                     std::optional<std::uint64_t> b) {
    if (!a) {
        return b;
    }
    if (!b) {
        return a;
    }
    return *a < *b ? a : b;
}

}  // namespace

void EventLoop::InstallStopSignals() {
    if (gSignalsInstalled) {
        return;
    }
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGINT);
    sigaddset(&stops, SIGTERM);
    sigset_t previous;
    sigprocmask(SIG_BLOCK, &stops, &previous);
    gWaitMask = previous;
    sigdelset(&gWaitMask, SIGINT);
    sigdelset(&gWaitMask, SIGTERM);
    gSignalsInstalled = true;
}

int EventLoop::StopSignal() {
    return static_cast<int>(gStopSignal);
}

void EventLoop::InstallReportSignal() {
    InstallStopSignals();
    struct sigaction action {};
    action.sa_handler = OnReportSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGUSR1, &action, nullptr);
    sigset_t report;
    sigemptyset(&report);
    sigaddset(&report, SIGUSR1);
    sigprocmask(SIG_BLOCK, &report, nullptr);
    sigdelset(&gWaitMask, SIGUSR1);
}

bool EventLoop::TakeReportSignal() {
    if (gReportSignal == 0) {
        return false;
    }
    gReportSignal = 0;
    return true;
}

bool EventLoop::AddPeriodic(std::uint32_t periodMs, PeriodicFn fn, void* context) {
    if (fn == nullptr) {
        return false;
    }
    for (Periodic& slot : periodic_) {
        if (slot.fn == nullptr) {
            slot.fn       = fn;
            slot.context  = context;
            slot.periodMs = periodMs == 0 ? 1 : periodMs;
            slot.due      = MonotonicMs() + slot.periodMs;
            return true;
        }
    }
    return false;
}

bool EventLoop::AddFd(int fd, short events, WantFn wanted, void* context) {
    if (fd < 0 || wanted == nullptr) {
        return false;
    }
    for (Watched& slot : watched_) {
        if (slot.fd < 0) {
            slot = Watched{fd, events, wanted, context};
            return true;
        }
    }
    return false;
}

void EventLoop::RemoveFd(int fd) {
    for (Watched& slot : watched_) {
        if (slot.fd == fd) {
            slot = Watched{};
        }
    }
}

std::optional<std::uint64_t> EventLoop::NextDeadline() const {
    std::optional<std::uint64_t> next =
        Earlier(HostTimers().NextDeadline(), HostFaults().NextDue());
    for (const Periodic& slot : periodic_) {
        if (slot.fn != nullptr) {
            next = Earlier(next, slot.due);
        }
    }
    if (pass_.LibraryHasWork()) {
        next = Earlier(next, MonotonicMs() + kLibraryWorkMs);
    }
    return next;
}

void EventLoop::RunPeriodic(void* loop) {
    const std::uint64_t now = MonotonicMs();
    for (Periodic& slot : static_cast<EventLoop*>(loop)->periodic_) {
        if (slot.fn == nullptr || slot.due > now) {
            continue;
        }
        // Keep the rhythm, but never try to catch up on periods missed while blocked.
        slot.due += slot.periodMs;
        if (slot.due <= now) {
            slot.due = now + slot.periodMs;
        }
        slot.fn(slot.context);
    }
}

bool EventLoop::Pass(std::optional<std::uint64_t> untilMs) {
    ++counters_.passes;
    const std::uint64_t now = MonotonicMs();
    const auto wake         = Earlier(NextDeadline(), untilMs);

    int timeout = static_cast<int>(kIdleWaitMs);
    if (drainPending_) {
        timeout = 0;
    } else if (wake) {
        timeout = *wake <= now ? 0 : static_cast<int>(std::min(*wake - now, kIdleWaitMs));
    }

    HostFlushTx();  // what the last pass and the caller's checks sent leaves before the wait
    pollfd fds[1 + kFdSlots]{};
    nfds_t count = 0;
    const int fd = adapter_ != nullptr ? adapter_->Fd() : -1;
    if (fd >= 0) {
        fds[0].fd     = fd;
        fds[0].events = POLLIN;
        count         = 1;
    }
    for (const Watched& slot : watched_) {
        if (slot.fd >= 0 && slot.wanted(slot.context)) {
            fds[count].fd     = slot.fd;
            fds[count].events = slot.events;
            ++count;
        }
    }
    timespec wait{};
    wait.tv_sec  = timeout / 1000;
    wait.tv_nsec = static_cast<long>(timeout % 1000) * 1'000'000L;
    const int ready =
        ppoll(count != 0 ? fds : nullptr, count, &wait, gSignalsInstalled ? &gWaitMask : nullptr);
    if (ready < 0 && errno != EINTR) {
        error_ = std::string("poll failed: ") + std::strerror(errno);
        return false;
    }
    const short revents  = ready > 0 && fd >= 0 ? fds[0].revents : 0;
    const bool pollError = (revents & (POLLERR | POLLHUP | POLLNVAL)) != 0;

    drainPending_ = false;
    // Only a readable descriptor is read: asking an empty ring costs the library another poll.
    // On an error condition the read reports what happened (the interface went down or
    // disappeared) in the library's words.
    const bool drain              = fd >= 0 && ((revents & POLLIN) != 0 || pollError);
    const LoopPass::Result result = pass_.Run(link_, drain, RunPeriodic, this);
    if (drain && (result.taken < 0 || (pollError && result.taken == 0))) {
        std::string why = result.taken < 0 ? adapter_->LastError() : std::string();
        if (why.empty()) {
            why = "the interface went down or disappeared";
        }
        error_ = "adapter " + adapter_->Name() + " failed: " + why;
        return false;
    }
    counters_.frames += static_cast<std::uint64_t>(result.taken);
    if (result.taken == kFramesPerPass) {
        ++counters_.fullPasses;
        drainPending_ = true;
    }
    counters_.timersRun += result.timersRun;
    return true;
}

EventLoop::Outcome EventLoop::Run(DoneFn done, void* context,
                                  std::optional<std::uint64_t> deadlineMs) {
    return Passes(done, context, deadlineMs, true);
}

EventLoop::Outcome EventLoop::Finish(DoneFn done, void* context, std::uint64_t deadlineMs) {
    return Passes(done, context, deadlineMs, false);
}

EventLoop::Outcome EventLoop::Passes(DoneFn done, void* context,
                                     std::optional<std::uint64_t> deadlineMs, bool stopSignalsEnd) {
    for (;;) {
        std::optional<Outcome> outcome;
        if (done != nullptr && done(context)) {
            outcome = Outcome::kDone;
        } else if (stopSignalsEnd && gStopSignal != 0) {
            outcome = Outcome::kStopSignal;
        } else if (deadlineMs && MonotonicMs() >= *deadlineMs) {
            outcome = Outcome::kDeadline;
        } else if (!Pass(deadlineMs)) {
            outcome = Outcome::kAdapterFailed;
        }
        if (outcome) {
            HostFlushTx();  // nothing queued stays behind when the run ends
            return *outcome;
        }
    }
}

}  // namespace tarnet::platform
