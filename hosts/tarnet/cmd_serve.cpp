// tarnet serve [--seconds N]: keep the stack up, answering ARP and ping, until the time is up or
// a stop signal arrives; then shut it down cleanly (with DHCP, giving the lease back). With DHCP
// every lease is printed: the first one and each renewal. SIGUSR1 prints the stack's counters.
#include <unistd.h>

#include <cstdio>
#include <string>

#include "cli.h"
#include "counters_text.h"
#include "event_loop.h"
#include "host.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

// T1 and T2 as the server sent them; without them the client renews at half the lease and
// rebinds at seven eighths (RFC 2131 §4.4.5).
std::string TimeText(std::uint32_t seconds) {
    if (seconds == 0) {
        return "default";
    }
    if (seconds == 0xFFFFFFFF) {
        return "infinite";
    }
    return std::to_string(seconds) + " s";
}

void PrintLease(void*, const TnDhcpLease& lease) {
    std::printf("lease: address %s mask %s router %s dns %s time %s t1 %s t2 %s\n",
                AddressText(lease.address).c_str(), AddressText(lease.subnetMask).c_str(),
                AddressText(lease.router).c_str(), AddressText(lease.dnsServer).c_str(),
                TimeText(lease.leaseTime).c_str(), TimeText(lease.t1).c_str(),
                TimeText(lease.t2).c_str());
    std::fflush(stdout);
}

void PrintLoss(void*) {
    std::printf("lease lost: the stack has no address now\n");
    std::fflush(stdout);
}

// The loop's done check: SIGUSR1 prints the stack's counters; serving goes on.
bool ReportOnSignal(void*) {
    if (platform::EventLoop::TakeReportSignal()) {
        for (const std::string& line : platform::CurrentCountersText()) {
            std::printf("%s\n", line.c_str());
        }
        std::fflush(stdout);
    }
    return false;
}

}  // namespace

int RunServe(const GlobalOptions& options, const Args& args) {
    std::string secondsText;
    ArgReader reader(args);
    reader.Value(nullptr, "--seconds", &secondsText);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (!positional.empty()) {
        return UsageError("usage: tarnet [options] serve [--seconds N]");
    }
    std::uint64_t seconds = 0;
    if (!secondsText.empty() && !ParseNumber(secondsText, 1, 86400ULL * 365, seconds)) {
        return UsageError("--seconds: '%s' is not a number of seconds", secondsText.c_str());
    }

    Session session(options);
    session.OnLease(PrintLease, nullptr);
    session.OnLoss(PrintLoss, nullptr);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    if (isatty(STDERR_FILENO) != 0 || options.verbose) {
        std::fprintf(stderr, "tarnet: serving as %s; Ctrl-C stops\n", session.Describe().c_str());
    }
    std::optional<std::uint64_t> until;
    if (seconds != 0) {
        until = platform::MonotonicMs() + seconds * 1000;
    }
    platform::EventLoop::InstallReportSignal();
    const auto outcome = session.Run(ReportOnSignal, nullptr, until);

    const auto& loop = session.Loop().Counters();
    const auto& host = platform::HostStats();
    platform::HostLog(
        "frames captured %llu, sent %llu, loop passes %llu (%llu at the %d-frame "
        "bound), timers run %llu, reads without a frame %llu",
        static_cast<unsigned long long>(loop.frames),
        static_cast<unsigned long long>(host.framesSent),
        static_cast<unsigned long long>(loop.passes),
        static_cast<unsigned long long>(loop.fullPasses), platform::EventLoop::kFramesPerPass,
        static_cast<unsigned long long>(loop.timersRun),
        static_cast<unsigned long long>(session.Adapter().EmptyReads()));

    if (outcome == platform::EventLoop::Outcome::kStopSignal ||
        (outcome == platform::EventLoop::Outcome::kDeadline && !session.TimedOut())) {
        return kExitOk;  // the normal ends of serving
    }
    return session.Stopped(outcome);
}

}  // namespace tarnet::cli
