// tarnet udp send HOST PORT TEXT | udp listen PORT [-n COUNT]
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "host.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

// IPv4 holds a datagram for an unresolved next hop for one retry 50 ms later. When the ARP
// reply comes later than that, the datagram is still held and a new send replaces it (with a
// new ARP request), so a few attempts cover a slow neighbour without sending twice.
constexpr int kSendAttempts            = 3;
constexpr std::uint64_t kAttemptWaitMs = 150;

std::uintptr_t IgnoreEvent(std::uintptr_t, int, void*, std::uint32_t, std::uint32_t,
                           std::uint32_t) {
    return 0;
}

// ---- send ---------------------------------------------------------------------------------------

constexpr int kProtocolUdp = 17;

struct SendWatch {
    std::uint32_t destination = 0;
    std::uint16_t port        = 0;
    bool sent                 = false;  // the stack reported the datagram handed to the link
};

void WatchSent(void* context, const TnSockDiagnostic& report) {
    auto* watch = static_cast<SendWatch*>(context);
    if (report.protocol == kProtocolUdp && report.remoteAddress == watch->destination &&
        report.remotePort == watch->port) {
        watch->sent = true;
    }
}

bool SendDone(void* context) {
    return static_cast<SendWatch*>(context)->sent && platform::HostFaults().HeldCount() == 0;
}

int Send(const GlobalOptions& options, const std::vector<std::string>& positional) {
    if (positional.size() != 4) {
        return UsageError("usage: tarnet [options] udp send HOST PORT TEXT");
    }
    std::uint64_t port = 0;
    if (!ParseNumber(positional[2], 1, 65535, port)) {
        return UsageError("PORT: '%s' is not a port from 1 to 65535", positional[2].c_str());
    }
    const std::string& text = positional[3];
    if (text.empty() || text.size() > TNSOCK_UDP_MAX_PAYLOAD) {
        return UsageError("TEXT must be 1 to %u bytes long (it is %zu)", TNSOCK_UDP_MAX_PAYLOAD,
                          text.size());
    }

    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    std::uint32_t destination = 0;
    if (const int rc = session.ResolveReachable(positional[1], destination); rc != kExitOk) {
        return rc;
    }
    const std::uint32_t nextHop = session.NextHop(destination);

    TnSockEndpoint* endpoint = nullptr;
    int rc                   = TnSockUdpOpen(0, IgnoreEvent, 0, &endpoint);
    if (rc != TNSOCK_SUCCESS) {
        return Fail("cannot open a UDP endpoint: %s", TnSockResultName(rc));
    }
    SendWatch watch;
    watch.destination = destination;
    watch.port        = static_cast<std::uint16_t>(port);
    session.OnDatagramSent(WatchSent, &watch);

    auto outcome = platform::EventLoop::Outcome::kDone;
    for (int attempt = 1; attempt <= kSendAttempts && !watch.sent; ++attempt) {
        rc = TnSockUdpSendto(endpoint, destination, static_cast<std::uint16_t>(port),
                             reinterpret_cast<const std::uint8_t*>(text.data()),
                             static_cast<std::uint32_t>(text.size()));
        if (rc != TNSOCK_SUCCESS) {
            break;
        }
        if (!watch.sent) {
            platform::HostLog("waiting for the ARP reply from %s", AddressText(nextHop).c_str());
        }
        outcome = session.Run(SendDone, &watch, platform::MonotonicMs() + kAttemptWaitMs);
        if (outcome != platform::EventLoop::Outcome::kDone &&
            outcome != platform::EventLoop::Outcome::kDeadline) {
            break;
        }
        if (session.TimedOut()) {
            break;
        }
    }
    // Frames the impairment holds still have to leave before the stack goes away.
    if (watch.sent && !SendDone(&watch) && outcome == platform::EventLoop::Outcome::kDone) {
        outcome = session.Run(SendDone, &watch);
    }
    session.OnDatagramSent(nullptr, nullptr);
    TnSockClose(endpoint);

    if (rc != TNSOCK_SUCCESS) {
        return Fail("the stack refused the datagram: %s", TnSockResultName(rc));
    }
    if (session.TimedOut() || outcome == platform::EventLoop::Outcome::kStopSignal ||
        outcome == platform::EventLoop::Outcome::kAdapterFailed) {
        return session.Stopped(outcome);
    }
    if (!watch.sent) {
        return Fail("no ARP reply from %s: the datagram was not sent",
                    AddressText(nextHop).c_str());
    }
    platform::HostLog("sent %zu bytes to %s:%llu", text.size(), AddressText(destination).c_str(),
                      static_cast<unsigned long long>(port));
    return kExitOk;
}

// ---- listen -------------------------------------------------------------------------------------

struct Listener {
    std::uint64_t limit = 0;  // 0: no limit
    std::uint64_t count = 0;
    bool senders        = false;  // --senders: a line on stderr for each datagram
    bool failed         = false;
    int writeErr        = 0;
};

std::uintptr_t OnDatagram(std::uintptr_t context, int event, void* data, std::uint32_t length,
                          std::uint32_t srcPort, std::uint32_t srcAddress) {
    auto* listener = reinterpret_cast<Listener*>(context);
    if (event != TNSOCK_EVENT_DATA || listener->failed ||
        (listener->limit != 0 && listener->count >= listener->limit)) {
        return 0;
    }
    platform::HostLog("datagram of %u bytes from %s:%u", length, AddressText(srcAddress).c_str(),
                      srcPort);
    if (listener->senders) {
        std::fprintf(stderr, "%s:%u %u bytes\n", AddressText(srcAddress).c_str(), srcPort, length);
    }
    if (length != 0 &&
        (std::fwrite(data, 1, length, stdout) != length || std::fflush(stdout) != 0)) {
        listener->failed   = true;
        listener->writeErr = errno;
        return 0;
    }
    ++listener->count;
    return 0;
}

bool ListenDone(void* context) {
    const auto* listener = static_cast<const Listener*>(context);
    return listener->failed || (listener->limit != 0 && listener->count >= listener->limit);
}

int Listen(const GlobalOptions& options, const std::vector<std::string>& positional,
           const std::string& countText, bool senders) {
    if (positional.size() != 2) {
        return UsageError("usage: tarnet [options] udp listen PORT [-n COUNT] [--senders]");
    }
    std::uint64_t port = 0;
    if (!ParseNumber(positional[1], 1, 65535, port)) {
        return UsageError("PORT: '%s' is not a port from 1 to 65535", positional[1].c_str());
    }
    Listener listener;
    listener.senders = senders;
    if (!countText.empty() && !ParseNumber(countText, 1, UINT32_MAX, listener.limit)) {
        return UsageError("-n: '%s' is not a count from 1 to %u", countText.c_str(), UINT32_MAX);
    }

    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    TnSockEndpoint* endpoint = nullptr;
    const int rc = TnSockUdpOpen(reinterpret_cast<std::uintptr_t>(&listener), OnDatagram,
                                 static_cast<std::uint16_t>(port), &endpoint);
    if (rc != TNSOCK_SUCCESS) {
        return Fail("cannot listen on UDP port %llu: %s", static_cast<unsigned long long>(port),
                    TnSockResultName(rc));
    }
    // Once up, always: a script that starts the listener waits for this line.
    std::fprintf(stderr, "tarnet: listening on UDP port %llu as %s\n",
                 static_cast<unsigned long long>(port), session.Describe().c_str());

    const auto outcome = session.Run(ListenDone, &listener);
    TnSockClose(endpoint);
    if (listener.failed) {
        return Fail("cannot write to stdout: %s", std::strerror(listener.writeErr));
    }
    // Without a count, SIGINT or SIGTERM is the normal way to stop listening.
    if (outcome == platform::EventLoop::Outcome::kStopSignal && listener.limit == 0) {
        return kExitOk;
    }
    return session.Stopped(outcome);
}

}  // namespace

int RunUdp(const GlobalOptions& options, const Args& args) {
    std::string countText;
    bool senders = false;
    ArgReader reader(args);
    reader.Value("-n", "--count", &countText);
    reader.Flag(nullptr, "--senders", &senders);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.empty()) {
        return UsageError(
            "usage: tarnet [options] udp send HOST PORT TEXT | udp listen PORT "
            "[-n COUNT] [--senders]");
    }
    if (positional[0] == "send") {
        if (!countText.empty() || senders) {
            return UsageError("-n and --senders belong to 'udp listen'");
        }
        return Send(options, positional);
    }
    if (positional[0] == "listen") {
        return Listen(options, positional, countText, senders);
    }
    return UsageError("unknown udp command '%s' (send or listen)", positional[0].c_str());
}

}  // namespace tarnet::cli
