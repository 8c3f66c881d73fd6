// tarnet ping HOST [-c N] [-s SIZE] [-W MS]: a series of ICMP echo requests through the stack's
// echo client, one line per reply with its round-trip time, and a summary.
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

struct PingRun {
    std::string host;
    std::uint32_t size        = 56;
    std::uint32_t transmitted = 0;
    std::uint32_t received    = 0;
    std::uint32_t target      = 0;
    std::uint64_t sentAtUs    = 0;  // when the stack reported the request sent
    // When the request's first frame was handed to the adapter. The round trip counts from
    // here: a request that waited for ARP left later than the stack reported it.
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
            std::printf("%u bytes from %s: icmp_seq=%u time=%.3f ms\n", run->size + 8,
                        run->host.c_str(), value, ms);
            std::fflush(stdout);
            break;
        }
        case TNSOCK_PING_TIMEOUT:
            std::printf("no reply from %s: icmp_seq=%u\n", run->host.c_str(), value);
            std::fflush(stdout);
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

// Notes when an echo request to the target leaves: IPv4 to the target, protocol 1, the first
// fragment, ICMP type 8.
void WatchEchoRequest(void* context, const std::uint8_t* frame, std::uint32_t length) {
    auto* run = static_cast<PingRun*>(context);
    if (length < 14 + 20 + 8 || frame[12] != 0x08 || frame[13] != 0x00) {
        return;
    }
    const std::uint8_t* ip          = frame + 14;
    const std::uint32_t destination = (std::uint32_t{ip[16]} << 24) |
                                      (std::uint32_t{ip[17]} << 16) | (std::uint32_t{ip[18]} << 8) |
                                      std::uint32_t{ip[19]};
    const bool firstFragment = (ip[6] & 0x1F) == 0 && ip[7] == 0;
    if (ip[0] != 0x45 || ip[9] != 1 || destination != run->target || !firstFragment ||
        ip[20] != 8) {
        return;
    }
    run->wireSequence = static_cast<std::uint16_t>((ip[26] << 8) | ip[27]);
    run->wireAtUs     = platform::MonotonicUs();
    run->wireSeen     = true;
}

bool PingDone(void* context) {
    return static_cast<PingRun*>(context)->done;
}

void PrintSummary(const PingRun& run) {
    const std::uint32_t lost = run.transmitted > run.received ? run.transmitted - run.received : 0;
    const unsigned lossPercent =
        run.transmitted == 0 ? 0 : static_cast<unsigned>(lost * 100ULL / run.transmitted);
    std::printf("--- %s ping statistics ---\n", run.host.c_str());
    std::printf("%u packets transmitted, %u received, %u%% packet loss\n", run.transmitted,
                run.received, lossPercent);
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
    ArgReader reader(args);
    reader.Value("-c", "--count", &countText);
    reader.Value("-s", "--size", &sizeText);
    reader.Value("-W", "--wait", &waitText);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.size() != 1) {
        return UsageError("usage: tarnet [options] ping HOST [-c N] [-s SIZE] [-W MS]");
    }
    std::uint64_t count = 0;
    std::uint64_t size  = 0;
    std::uint64_t wait  = 0;
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
    gRun       = &run;
    platform::HostSetPingHandler(OnPingEvent);
    platform::HostSetTxObserver(WatchEchoRequest, &run);

    if (positional[0] == run.host) {
        std::printf("PING %s: %u data bytes\n", run.host.c_str(), run.size);
    } else {
        std::printf("PING %s (%s): %u data bytes\n", positional[0].c_str(), run.host.c_str(),
                    run.size);
    }
    std::fflush(stdout);
    const int started = TnSockPingStart(target, static_cast<std::uint32_t>(wait),
                                        static_cast<std::uint32_t>(count), run.size);
    if (started != TNSOCK_PING_STARTED) {
        platform::HostSetPingHandler(nullptr);
        platform::HostSetTxObserver(nullptr, nullptr);
        gRun = nullptr;
        return Fail("the echo client refused to start (code %d)", started);
    }

    const auto outcome = session.Run(PingDone, &run);
    if (outcome != platform::EventLoop::Outcome::kDone) {
        TnSockPingStop();
    }
    platform::HostSetPingHandler(nullptr);
    platform::HostSetTxObserver(nullptr, nullptr);
    gRun = nullptr;
    PrintSummary(run);

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
