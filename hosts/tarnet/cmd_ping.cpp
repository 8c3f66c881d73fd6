// tarnet ping HOST [-c N] [-s SIZE] [-W MS] [-i SECONDS] [-q]: a series of ICMP echo requests
// through the stack's echo client, one line per reply with its round-trip time, and a summary.
#include <cmath>
#include <cstdio>

#include "cli.h"
#include "host.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

// An echo reply must fit the stack's reassembly limit (4096 bytes of IPv4 payload), so the
// largest useful request carries 4096 - 8 bytes of data.
constexpr std::uint64_t kMaxPayload = 4088;
// -i: at least 10 ms between requests (the program needs the privileges of a raw socket
// anyway), at most an hour.
constexpr std::uint64_t kMinIntervalMs = 10;
constexpr std::uint64_t kMaxIntervalMs = 3'600'000;
constexpr int kProtocolIcmp            = 1;

struct PingRun {
    std::string host;
    std::uint32_t size        = 56;
    std::uint32_t transmitted = 0;
    std::uint32_t received    = 0;
    std::uint32_t target      = 0;
    bool quiet                = false;  // -q: the summary only
    std::uint64_t startUs     = 0;      // when the series started
    std::uint64_t sentAtUs    = 0;      // when the stack reported the request sent
    // When the stack reported the request handed to the link. The round trip counts from
    // here: a request that waited for ARP left later than the stack reported it sent.
    std::uint16_t wireSequence = 0;
    std::uint64_t wireAtUs     = 0;
    bool wireSeen              = false;
    double minMs               = 0;
    double maxMs               = 0;
    double sumMs               = 0;
    double sumSquares          = 0;
    bool done                  = false;
};

PingRun* gRun = nullptr;

void OnPingEvent(int event, std::uint32_t value, std::uint32_t received) {
    PingRun* run = gRun;
    if (run == nullptr) {
        return;
    }
    switch (event) {
        case TNSOCK_PING_SENT:
            run->sentAtUs = platform::MonotonicUs();
            ++run->transmitted;
            break;
        case TNSOCK_PING_REPLY: {
            const bool onWire         = run->wireSeen && run->wireSequence == (value & 0xFFFF);
            const std::uint64_t start = onWire ? run->wireAtUs : run->sentAtUs;
            const double ms = static_cast<double>(platform::MonotonicUs() - start) / 1000.0;
            if (run->received == 0 || ms < run->minMs) {
                run->minMs = ms;
            }
            if (ms > run->maxMs) {
                run->maxMs = ms;
            }
            run->sumMs += ms;
            run->sumSquares += ms * ms;
            ++run->received;
            if (!run->quiet) {
                std::printf("%u bytes from %s: icmp_seq=%u time=%.3f ms\n", run->size + 8,
                            run->host.c_str(), value, ms);
                std::fflush(stdout);
            }
            break;
        }
        case TNSOCK_PING_TIMEOUT:
            if (!run->quiet) {
                std::printf("no reply from %s: icmp_seq=%u\n", run->host.c_str(), value);
                std::fflush(stdout);
            }
            break;
        case TNSOCK_PING_DONE:
            // The stack's own counts close the series.
            run->transmitted = value;
            run->received    = received;
            run->done        = true;
            break;
        default:
            break;
    }
}

// Notes when the stack reports an echo request to the target handed to the link; the report
// carries the request's sequence number as its remote port.
void WatchEchoRequest(void* context, const TnSockDiagnostic& report) {
    auto* run = static_cast<PingRun*>(context);
    if (report.protocol != kProtocolIcmp || report.remoteAddress != run->target) {
        return;
    }
    run->wireSequence = report.remotePort;
    run->wireAtUs     = platform::MonotonicUs();
    run->wireSeen     = true;
}

// Seconds with up to three decimals ("0.2", "1", "1.25") as milliseconds within [minMs, maxMs].
bool ParseSeconds(const std::string& text, std::uint64_t minMs, std::uint64_t maxMs,
                  std::uint64_t& outMs) {
    const std::size_t dot         = text.find('.');
    const std::string whole       = text.substr(0, dot);
    const std::string fraction    = dot == std::string::npos ? "" : text.substr(dot + 1);
    std::uint64_t seconds         = 0;
    std::uint64_t thousandths     = 0;
    const bool digitsOnlyFraction = fraction.find_first_not_of("0123456789") == std::string::npos;
    if (whole.empty() || !ParseNumber(whole, 0, maxMs / 1000, seconds) || fraction.size() > 3 ||
        !digitsOnlyFraction || (dot != std::string::npos && fraction.empty())) {
        return false;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        const char digit = i < fraction.size() ? fraction[i] : '0';
        thousandths      = thousandths * 10 + static_cast<std::uint64_t>(digit - '0');
    }
    outMs = seconds * 1000 + thousandths;
    return outMs >= minMs && outMs <= maxMs;
}

bool PingDone(void* context) {
    return static_cast<PingRun*>(context)->done;
}

// The system ping's summary: counts, loss, the run's duration, and the round-trip times.
void PrintSummary(const PingRun& run, std::uint64_t endUs) {
    const std::uint32_t lost = run.transmitted > run.received ? run.transmitted - run.received : 0;
    const double lossPercent =
        run.transmitted == 0 ? 0.0 : static_cast<double>(lost) * 100.0 / run.transmitted;
    std::printf("--- %s ping statistics ---\n", run.host.c_str());
    std::printf("%u packets transmitted, %u received, %g%% packet loss, time %llums\n",
                run.transmitted, run.received, lossPercent,
                static_cast<unsigned long long>((endUs - run.startUs) / 1000));
    if (run.received > 0) {
        const double n    = static_cast<double>(run.received);
        const double avg  = run.sumMs / n;
        const double mdev = std::sqrt(std::fmax(run.sumSquares / n - avg * avg, 0.0));
        std::printf("rtt min/avg/max/mdev = %.3f/%.3f/%.3f/%.3f ms\n", run.minMs, avg, run.maxMs,
                    mdev);
    }
    std::fflush(stdout);
}

}  // namespace

int RunPing(const GlobalOptions& options, const Args& args) {
    std::string countText = "4";
    std::string sizeText  = "56";
    std::string waitText  = "1000";
    std::string intervalText;
    bool quiet = false;
    ArgReader reader(args);
    reader.Value("-c", "--count", &countText);
    reader.Value("-s", "--size", &sizeText);
    reader.Value("-W", "--wait", &waitText);
    reader.Value("-i", "--interval", &intervalText);
    reader.Flag("-q", "--quiet", &quiet);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.size() != 1) {
        return UsageError(
            "usage: tarnet [options] ping HOST [-c N] [-s SIZE] [-W MS] [-i SECONDS] [-q]");
    }
    std::uint64_t count    = 0;
    std::uint64_t size     = 0;
    std::uint64_t wait     = 0;
    std::uint64_t interval = 0;  // 0: the echo client's own pace
    if (!ParseNumber(countText, 1, 1'000'000, count)) {
        return UsageError("-c: '%s' is not a count from 1 to 1000000", countText.c_str());
    }
    if (!ParseNumber(sizeText, 0, kMaxPayload, size)) {
        return UsageError(
            "-s: '%s' is not a size from 0 to %llu bytes (the largest echo reply "
            "the stack can reassemble)",
            sizeText.c_str(), static_cast<unsigned long long>(kMaxPayload));
    }
    if (!ParseNumber(waitText, 1, 600'000, wait)) {
        return UsageError("-W: '%s' is not a time from 1 to 600000 ms", waitText.c_str());
    }
    if (!intervalText.empty() &&
        !ParseSeconds(intervalText, kMinIntervalMs, kMaxIntervalMs, interval)) {
        return UsageError("-i: '%s' is not a time from 0.01 to 3600 seconds (like 0.2)",
                          intervalText.c_str());
    }

    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    std::uint32_t target = 0;
    if (const int rc = session.ResolveReachable(positional[0], target); rc != kExitOk) {
        return rc;
    }

    PingRun run;
    run.host   = AddressText(target);
    run.size   = static_cast<std::uint32_t>(size);
    run.target = target;
    run.quiet  = quiet;
    gRun       = &run;
    platform::HostSetPingHandler(OnPingEvent);
    session.OnDatagramSent(WatchEchoRequest, &run);

    if (positional[0] == run.host) {
        std::printf("PING %s: %u data bytes\n", run.host.c_str(), run.size);
    } else {
        std::printf("PING %s (%s): %u data bytes\n", positional[0].c_str(), run.host.c_str(),
                    run.size);
    }
    std::fflush(stdout);
    run.startUs       = platform::MonotonicUs();
    const int started = TnSockPingStartEvery(target, static_cast<std::uint32_t>(wait),
                                             static_cast<std::uint32_t>(count), run.size,
                                             static_cast<std::uint32_t>(interval));
    if (started != TNSOCK_PING_STARTED) {
        platform::HostSetPingHandler(nullptr);
        session.OnDatagramSent(nullptr, nullptr);
        gRun = nullptr;
        return Fail("the echo client refused to start (code %d)", started);
    }

    const auto outcome = session.Run(PingDone, &run);
    if (outcome != platform::EventLoop::Outcome::kDone) {
        TnSockPingStop();
    }
    const std::uint64_t endUs = platform::MonotonicUs();
    platform::HostSetPingHandler(nullptr);
    session.OnDatagramSent(nullptr, nullptr);
    gRun = nullptr;
    PrintSummary(run, endUs);

    if (outcome == platform::EventLoop::Outcome::kAdapterFailed ||
        (outcome == platform::EventLoop::Outcome::kDeadline && session.TimedOut())) {
        return session.Stopped(outcome);
    }
    if (run.received == 0) {
        return Fail("no reply from %s", run.host.c_str());
    }
    return kExitOk;
}

}  // namespace tarnet::cli
