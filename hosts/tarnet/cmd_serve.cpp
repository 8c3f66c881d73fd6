// tarnet serve [--seconds N]: keep the stack up, answering ARP and ping, until the time is up or
// a stop signal arrives; then shut it down cleanly.
#include <unistd.h>

#include <cstdio>

#include "cli.h"
#include "host.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

std::uintptr_t OnStatus(std::uintptr_t, int event, void* data, std::uint32_t, std::uint32_t,
                        std::uint32_t) {
    if (event == TNSOCK_EVENT_ADDRESS && data != nullptr) {
        const auto* lease = static_cast<const TnDhcpLease*>(data);
        std::printf("lease: address %s mask %s gateway %s dns %s time %u s\n",
                    AddressText(lease->address).c_str(), AddressText(lease->subnetMask).c_str(),
                    AddressText(lease->router).c_str(), AddressText(lease->dnsServer).c_str(),
                    lease->leaseTime);
        std::fflush(stdout);
    }
    return 0;
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

    platform::HostSetStatusHandler(OnStatus);
    Session session(options);
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
    const auto outcome = session.Run(nullptr, nullptr, until);

    const auto& loop = session.Loop().Counters();
    const auto& host = platform::HostStats();
    platform::HostLog(
        "frames captured %llu, sent %llu, loop passes %llu (%llu at the %d-frame "
        "bound), timers run %llu",
        static_cast<unsigned long long>(loop.frames),
        static_cast<unsigned long long>(host.framesSent),
        static_cast<unsigned long long>(loop.passes),
        static_cast<unsigned long long>(loop.fullPasses), platform::EventLoop::kFramesPerPass,
        static_cast<unsigned long long>(loop.timersRun));
    platform::HostSetStatusHandler(nullptr);

    if (outcome == platform::EventLoop::Outcome::kStopSignal ||
        (outcome == platform::EventLoop::Outcome::kDeadline && !session.TimedOut())) {
        return kExitOk;  // the normal ends of serving
    }
    return session.Stopped(outcome);
}

}  // namespace tarnet::cli
