// tarnet tcp connect HOST PORT | tcp listen PORT [--echo] [-n CONNECTIONS]
//
// connect: stdin goes out over the connection and what arrives goes to stdout. At the end of
// stdin the connection is closed, and the command waits until it has finished closing: our FIN,
// and with it every byte before it, acknowledged and the peer's FIN received (or a reset).
// listen: accepts connections; what arrives goes to stdout, or back to its sender with --echo.
// With -n it ends once that many connections have closed and finished closing.
//
// The stack takes what fits in a connection's send ring (TNSOCK_TRANSMITTER_BUSY when it is
// full); the rest waits here, in order, until acknowledgments make room, so nothing is dropped
// or sent twice. How a connection ended (refused, reset, timed out, data refused after our
// close) comes from the stack's diagnostic reports, which go on after the socket interface has
// forgotten a connection the user closed.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "cli.h"
#include "host.h"
#include "progress_line.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

using platform::EventLoop;

// The stack has 11 endpoints; one listens, so at most 10 connections are open at once. Closed
// ones keep their record until they have finished closing on the wire.
constexpr std::size_t kMaxConnections = 16;
constexpr std::size_t kReadChunk      = 64 * 1024;
// --echo stops taking data from a connection whose unsent bytes exceed this, and takes it again
// once they are below half of it.
constexpr std::size_t kEchoBacklogLimit    = 64 * 1024;
constexpr std::uint64_t kProgressPeriodMs  = 500;
constexpr std::uint64_t kProgressFromBytes = 1 << 20;
constexpr double kMiB                      = 1024.0 * 1024.0;
constexpr std::size_t kStdoutBuffer        = 64 * 1024;

// A connection's addresses as the stack reports them.
struct ConnectionKey {
    std::uint16_t localPort  = 0;
    std::uint16_t remotePort = 0;
    std::uint32_t remoteAddr = 0;

    bool operator==(const ConnectionKey&) const = default;
};

struct Connection {
    bool inUse               = false;
    TnSockEndpoint* endpoint = nullptr;  // null once released, by us or by the layer
    // The endpoint handle the connection was opened with: only compared, never used, so that
    // reports made before the addresses are known find their connection.
    const TnSockEndpoint* handle = nullptr;
    ConnectionKey key;
    bool keyKnown         = false;
    bool connected        = false;
    bool established      = false;  // the stack reported the connection established
    bool ended            = false;  // the stack reported how it ended: nothing more will happen
    int endReason         = 0;      // TNSOCK_TCP_END_...
    bool unanswered       = false;  // the handshake gave up: no answer, not even a reset
    std::uint32_t refused = 0;      // bytes from the peer refused after our close
    bool closedEvent      = false;  // the layer reported the end (peer's FIN or RST, failed open)
    bool closeCalled      = false;  // we closed it
    bool sendFailed       = false;  // the stack refused data: the connection no longer sends
    std::string pending;            // taken from stdin (or received, with --echo), not yet sent
    std::size_t pendingAt  = 0;
    bool receivePaused     = false;  // --echo: the stack holds what the peer sends meanwhile
    std::uint64_t sent     = 0;      // bytes the stack took
    std::uint64_t received = 0;

    std::size_t Unsent() const { return pending.size() - pendingAt; }
};

struct State {
    // connect --keep-reading: after the end of stdin, go on receiving until the peer closes or
    // this long passes with nothing arriving (0: close at the end of stdin).
    std::uint64_t keepReadingMs = 0;
    std::uint64_t lastArrivalMs = 0;
    bool echo                   = false;
    bool stdinEof               = false;
    int stdinError              = 0;
    int stdoutError             = 0;
    bool stdoutDirty            = false;
    ProgressLine progress;  // enabled when stderr is a terminal
    std::uint64_t startMs       = 0;
    std::uint64_t totalSent     = 0;
    std::uint64_t totalReceived = 0;
    // listen
    TnSockEndpoint* listener = nullptr;
    std::uint64_t limit      = 0;  // connections to serve; 0: until stopped
    std::uint64_t accepted   = 0;  // connections the stack reported established
    std::uint64_t finished   = 0;  // established connections that have ended
    int failures             = 0;
    Connection connections[kMaxConnections];
};

State gState;

std::string Peer(const ConnectionKey& key) {
    return AddressText(key.remoteAddr) + ":" + std::to_string(key.remotePort);
}

// The connection a report is about: by its addresses once they are known, else by the endpoint
// it was opened with (an active open that never got established).
Connection* ConnectionOf(const TnSockDiagnostic& report) {
    const ConnectionKey key{report.localPort, report.remotePort, report.remoteAddress};
    for (Connection& c : gState.connections) {
        if (c.inUse && !c.ended && c.keyKnown && c.key == key) {
            return &c;
        }
    }
    for (Connection& c : gState.connections) {
        if (c.inUse && !c.ended && !c.keyKnown && report.endpoint != nullptr &&
            c.handle == report.endpoint) {
            return &c;
        }
    }
    return nullptr;
}

void OnTcpReport(void*, const TnSockDiagnostic& report) {
    Connection* c = ConnectionOf(report);
    if (c == nullptr) {
        return;
    }
    if (!c->keyKnown) {
        c->key      = {report.localPort, report.remotePort, report.remoteAddress};
        c->keyKnown = true;
    }
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED) {
        if (!c->established && report.active == 0) {
            ++gState.accepted;
            platform::HostLog("connection from %s established", Peer(c->key).c_str());
        } else if (!c->established) {
            platform::HostLog("connected from port %u, initial sequence number %u",
                              report.localPort, report.initialSequence);
        }
        c->established = true;
        return;
    }
    c->ended      = true;
    c->endReason  = report.reason;
    c->unanswered = report.unanswered != 0;
    c->refused    = report.refusedBytes;
}

// Hands the connection's pending bytes to the stack until it has taken them all or its send
// ring is full.
void Flush(Connection& c) {
    while (c.endpoint != nullptr && !c.sendFailed && c.Unsent() > 0) {
        std::uint32_t taken = 0;
        const auto length   = static_cast<std::uint32_t>(std::min(c.Unsent(), kReadChunk));
        const int rc        = TnSockTcpSend(
                   c.endpoint, reinterpret_cast<const std::uint8_t*>(c.pending.data() + c.pendingAt),
                   length, &taken);
        if (rc == TNSOCK_TRANSMITTER_BUSY) {
            return;  // acknowledgments make room; the loop comes back
        }
        if (rc != TNSOCK_SUCCESS || taken == 0 || taken > length) {
            c.sendFailed = true;
            return;
        }
        c.pendingAt += taken;
        c.sent += taken;
        gState.totalSent += taken;
    }
    if (c.Unsent() == 0) {
        c.pending.clear();
        c.pendingAt = 0;
    } else if (c.pendingAt >= kReadChunk) {
        c.pending.erase(0, c.pendingAt);  // a steady stream never empties: drop what was sent
        c.pendingAt = 0;
    }
}

// --echo: a peer that sends and never reads what comes back would make the unsent bytes grow
// without bound. Above the limit the connection's receiving is paused (the stack keeps what
// arrives and closes its window); below half of it, it resumes, and the stack delivers what it
// kept from inside the call. Nothing is lost either way.
void PaceEcho(Connection& c) {
    if (!gState.echo || c.endpoint == nullptr || c.closedEvent) {
        return;
    }
    const bool pause =
        c.receivePaused ? c.Unsent() >= kEchoBacklogLimit / 2 : c.Unsent() > kEchoBacklogLimit;
    if (pause == c.receivePaused) {
        return;
    }
    c.receivePaused = pause;
    if (TnSockTcpPauseReceive(c.endpoint, pause ? 1 : 0) != TNSOCK_SUCCESS &&
        c.endpoint != nullptr) {
        c.receivePaused = !pause;
    }
}

// Reads what stdin has now (without waiting) into the pending bytes.
void ReadStdin(Connection& c) {
    if (gState.stdinEof || c.Unsent() > 0) {
        return;
    }
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 0) <= 0) {
        return;
    }
    char buffer[kReadChunk];
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n > 0) {
        c.pending.assign(buffer, static_cast<std::size_t>(n));
        c.pendingAt = 0;
    } else if (n == 0) {
        gState.stdinEof      = true;
        gState.lastArrivalMs = std::max(gState.lastArrivalMs, platform::MonotonicMs());
    } else if (errno != EINTR && errno != EAGAIN) {
        gState.stdinError = errno;
        gState.stdinEof   = true;
    }
}

void WriteStdout(const void* data, std::uint32_t length) {
    if (gState.stdoutError != 0 || length == 0) {
        return;
    }
    if (std::fwrite(data, 1, length, stdout) != length) {
        gState.stdoutError = errno != 0 ? errno : EIO;
    }
    gState.stdoutDirty = true;
}

// What arrives goes to stdout through a buffer of its own, written out whenever the loop is
// about to wait (FlushStdout), so nothing lingers in it. stdio's default for a file or a pipe
// is one page: a pass that takes in 60 KiB would make fifteen write calls instead of one. A
// terminal keeps its line buffering. Called before anything is written to stdout.
void BufferStdout() {
    static char buffer[kStdoutBuffer];
    if (isatty(STDOUT_FILENO) == 0) {
        std::setvbuf(stdout, buffer, _IOFBF, sizeof buffer);
    }
}

void FlushStdout() {
    if (gState.stdoutDirty) {
        gState.stdoutDirty = false;
        if (std::fflush(stdout) != 0 && gState.stdoutError == 0) {
            gState.stdoutError = errno != 0 ? errno : EIO;
        }
    }
}

// While the transfer runs (stderr a terminal, from 1 MiB on): a line rewritten in place.
void ShowProgress() {
    const std::uint64_t now   = platform::MonotonicMs();
    const std::uint64_t total = gState.totalSent + gState.totalReceived;
    if (total < kProgressFromBytes || !gState.progress.Due(now, kProgressPeriodMs)) {
        return;
    }
    const double seconds = static_cast<double>(now - gState.startMs) / 1000.0;
    gState.progress.Show("tarnet: sent %.1f MiB, received %.1f MiB, %.1f s, %.2f MB/s   ",
                         static_cast<double>(gState.totalSent) / kMiB,
                         static_cast<double>(gState.totalReceived) / kMiB, seconds,
                         seconds > 0 ? static_cast<double>(total) / seconds / 1e6 : 0.0);
}

// At the end, always: one line that a script can read.
void ShowSummary() {
    const double seconds = static_cast<double>(platform::MonotonicMs() - gState.startMs) / 1000.0;
    const std::uint64_t total = gState.totalSent + gState.totalReceived;
    std::fprintf(stderr, "%starnet: sent %llu bytes, received %llu bytes in %.2f s (%.2f MB/s)\n",
                 gState.progress.Replace(), static_cast<unsigned long long>(gState.totalSent),
                 static_cast<unsigned long long>(gState.totalReceived), seconds,
                 seconds > 0 ? static_cast<double>(total) / seconds / 1e6 : 0.0);
}

// Events of connection endpoints (data, closed, connected) and, for listen, of the listener.
std::uintptr_t OnEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                       std::uint32_t b, std::uint32_t c);

std::uintptr_t Accept(std::uint32_t remotePort, std::uint32_t remoteAddr, std::uint32_t localPort,
                      TnSockEndpoint* endpoint) {
    const ConnectionKey key{static_cast<std::uint16_t>(localPort),
                            static_cast<std::uint16_t>(remotePort), remoteAddr};
    if (gState.limit != 0 && gState.accepted >= gState.limit) {
        platform::HostLog("refusing %s: already served %llu connections", Peer(key).c_str(),
                          static_cast<unsigned long long>(gState.accepted));
        return 0;
    }
    for (Connection& slot : gState.connections) {
        if (!slot.inUse) {
            slot           = Connection{};
            slot.inUse     = true;
            slot.endpoint  = endpoint;
            slot.handle    = endpoint;
            slot.key       = key;
            slot.keyKnown  = true;
            slot.connected = true;
            platform::HostLog("connection request from %s", Peer(key).c_str());
            return reinterpret_cast<std::uintptr_t>(&slot);
        }
    }
    platform::HostLog("refusing %s: no room for another connection", Peer(key).c_str());
    return 0;
}

std::uintptr_t OnEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                       std::uint32_t b, std::uint32_t c) {
    if (event == TNSOCK_EVENT_INCOMING) {
        return Accept(a, b, c, static_cast<TnSockEndpoint*>(data));
    }
    auto* conn = reinterpret_cast<Connection*>(context);
    if (conn == nullptr || !conn->inUse) {
        return 0;
    }
    switch (event) {
        case TNSOCK_EVENT_DATA:
            gState.lastArrivalMs = platform::MonotonicMs();
            conn->received += a;
            gState.totalReceived += a;
            if (gState.echo) {
                conn->pending.append(static_cast<const char*>(data), a);
                Flush(*conn);
                PaceEcho(*conn);
            } else {
                WriteStdout(data, a);
            }
            break;
        case TNSOCK_EVENT_CLOSED:
            conn->closedEvent = true;
            conn->endpoint    = nullptr;  // the layer releases it after this event
            break;
        case TNSOCK_EVENT_CONNECTED:
            conn->connected = true;
            break;
        default:
            break;
    }
    return 0;
}

// What went wrong on an ended connection; empty when it ended well.
std::string Trouble(const Connection& c) {
    if (c.refused > 0) {
        return std::to_string(c.refused) +
               " bytes from the peer arrived after our close and were refused";
    }
    if (c.endReason == TNSOCK_TCP_END_PEER_RESET) {
        return "connection reset by the peer";
    }
    if (c.endReason == TNSOCK_TCP_END_TIMED_OUT) {
        return "connection lost: the peer stopped acknowledging";
    }
    if (c.Unsent() > 0) {
        return "the peer closed the connection with " + std::to_string(c.Unsent()) +
               " bytes not yet sent";
    }
    return {};
}

// ---- connect ------------------------------------------------------------------------------------

struct ConnectTarget {
    std::uint32_t address = 0;
    std::uint16_t port    = 0;
};

ConnectTarget gTarget;

bool ConnectDone(void*) {
    Connection& c = gState.connections[0];
    if (c.closedEvent && !c.connected) {
        return true;  // refused, or the handshake went unanswered
    }
    if (c.connected && !c.closeCalled && !c.closedEvent) {
        Flush(c);
        ReadStdin(c);
        Flush(c);
        const bool inputDone = gState.stdinEof && c.Unsent() == 0;
        // With --keep-reading the peer gets the time it needs to answer before we close.
        const bool quiet = platform::MonotonicMs() >= gState.lastArrivalMs + gState.keepReadingMs;
        if ((inputDone && quiet) || gState.stdoutError != 0 || c.sendFailed) {
            platform::HostLog("closing after %llu bytes", static_cast<unsigned long long>(c.sent));
            TnSockClose(c.endpoint);
            c.endpoint    = nullptr;
            c.closeCalled = true;
        }
    }
    FlushStdout();
    ShowProgress();
    return (c.closeCalled || c.closedEvent) && c.ended;
}

// Why an active open failed. Only a reset is a refusal; silence is told apart by whether the
// next hop ever answered ARP (without it no SYN left at all) or only the SYNs went unanswered.
std::string Unopened(const Connection& c, std::uint32_t nextHop) {
    if (c.endReason == TNSOCK_TCP_END_REFUSED && !c.unanswered) {
        return "connection refused";
    }
    if (TnSockNeighbourKnown(nextHop) == 0) {
        return "no answer from " + AddressText(nextHop) + " on the link";
    }
    return "connection timed out (no answer to the SYN)";
}

int Connect(const GlobalOptions& options, const std::vector<std::string>& positional) {
    if (positional.size() != 3) {
        return UsageError(
            "usage: tarnet [options] tcp connect HOST PORT [--keep-reading SECONDS] [--isn N]");
    }
    std::uint64_t port = 0;
    if (!ParseNumber(positional[2], 1, 65535, port)) {
        return UsageError("PORT: '%s' is not a port from 1 to 65535", positional[2].c_str());
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
    const std::string target    = AddressText(destination) + ":" + std::to_string(port);
    gTarget                     = ConnectTarget{destination, static_cast<std::uint16_t>(port)};

    session.OnTcpReport(OnTcpReport, nullptr);
    // Input wakes the loop while the connection can take it; otherwise only frames and timers do.
    session.Loop().AddFd(
        STDIN_FILENO, POLLIN,
        [](void*) {
            const Connection& conn = gState.connections[0];
            return conn.connected && !conn.closeCalled && !conn.closedEvent && !gState.stdinEof &&
                   conn.Unsent() == 0;
        },
        nullptr);
    gState.startMs = platform::MonotonicMs();

    Connection& c = gState.connections[0];
    c             = Connection{};
    c.inUse       = true;
    const int rc  = TnSockTcpConnect(reinterpret_cast<std::uintptr_t>(&c), OnEvent,
                                     AddressText(destination).c_str(),
                                     static_cast<std::uint16_t>(port), &c.endpoint);
    c.handle      = c.endpoint;
    if (rc != TNSOCK_SUCCESS) {
        c.endpoint = nullptr;
        return Fail("%s: the stack could not open a connection: %s", target.c_str(),
                    TnSockResultName(rc));
    }
    platform::HostLog("connecting to %s", target.c_str());
    const auto outcome = session.Run(ConnectDone, nullptr);
    FlushStdout();
    if (c.connected) {
        ShowSummary();
    }

    if (outcome != EventLoop::Outcome::kDone) {
        if (c.endpoint != nullptr) {
            TnSockClose(c.endpoint);
            c.endpoint = nullptr;
        }
        if (!c.connected && outcome == EventLoop::Outcome::kDeadline && session.TimedOut()) {
            return Fail("%s: no connection within %u s", target.c_str(),
                        options.timeoutSeconds.value_or(0));
        }
        return session.Stopped(outcome);
    }
    if (!c.connected) {
        return Fail("%s: %s", target.c_str(), Unopened(c, nextHop).c_str());
    }
    platform::HostLog("connection closed: sent %llu bytes, received %llu",
                      static_cast<unsigned long long>(c.sent),
                      static_cast<unsigned long long>(c.received));
    if (gState.stdoutError != 0) {
        return Fail("cannot write to stdout: %s", std::strerror(gState.stdoutError));
    }
    if (gState.stdinError != 0) {
        return Fail("cannot read stdin: %s", std::strerror(gState.stdinError));
    }
    if (const std::string trouble = Trouble(c); !trouble.empty()) {
        return Fail("%s: %s", target.c_str(), trouble.c_str());
    }
    if (c.sendFailed) {
        return Fail("%s: the connection stopped taking data after %llu bytes", target.c_str(),
                    static_cast<unsigned long long>(c.sent));
    }
    // The peer closed first: input that stdin still holds was not sent.
    if (!gState.stdinEof && c.closedEvent) {
        ReadStdin(c);
        if (c.Unsent() > 0) {
            return Fail("%s: the peer closed the connection before all input was sent",
                        target.c_str());
        }
    }
    return kExitOk;
}

// ---- listen -------------------------------------------------------------------------------------

// Reports a connection that has ended and frees its record. One that was never established
// (a SYN whose handshake was not completed) is no connection served.
void Retire(Connection& c) {
    c.inUse = false;
    if (!c.established) {
        platform::HostLog("connection request from %s abandoned", Peer(c.key).c_str());
        return;
    }
    const std::string trouble = Trouble(c);
    platform::HostLog("connection from %s closed: received %llu bytes, sent %llu",
                      Peer(c.key).c_str(), static_cast<unsigned long long>(c.received),
                      static_cast<unsigned long long>(c.sent));
    if (!trouble.empty()) {
        ++gState.failures;
        gState.progress.Break();
        std::fprintf(stderr, "tarnet: %s: %s\n", Peer(c.key).c_str(), trouble.c_str());
    }
    ++gState.finished;
}

bool ListenDone(void*) {
    bool open = false;
    for (Connection& c : gState.connections) {
        if (!c.inUse) {
            continue;
        }
        if (c.ended && (c.closedEvent || c.closeCalled || c.endpoint == nullptr)) {
            Retire(c);
            continue;
        }
        open = true;
        if (!c.closedEvent) {
            Flush(c);
            PaceEcho(c);
        }
    }
    FlushStdout();
    ShowProgress();
    if (gState.limit != 0 && gState.accepted >= gState.limit && gState.listener != nullptr) {
        TnSockClose(gState.listener);  // no more connections
        gState.listener = nullptr;
    }
    if (gState.stdoutError != 0) {
        return true;
    }
    return gState.limit != 0 && gState.finished >= gState.limit && !open;
}

int Listen(const GlobalOptions& options, const std::vector<std::string>& positional,
           const std::string& countText) {
    if (positional.size() != 2) {
        return UsageError("usage: tarnet [options] tcp listen PORT [--echo] [-n CONNECTIONS]");
    }
    std::uint64_t port = 0;
    if (!ParseNumber(positional[1], 1, 65535, port)) {
        return UsageError("PORT: '%s' is not a port from 1 to 65535", positional[1].c_str());
    }
    if (!countText.empty() && !ParseNumber(countText, 1, UINT32_MAX, gState.limit)) {
        return UsageError("-n: '%s' is not a count from 1 to %u", countText.c_str(), UINT32_MAX);
    }
    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    session.OnTcpReport(OnTcpReport, nullptr);
    gState.startMs = platform::MonotonicMs();
    const int rc = TnSockTcpListen(static_cast<std::uint16_t>(port), 1, OnEvent, &gState.listener);
    if (rc != TNSOCK_SUCCESS) {
        if (gState.listener != nullptr) {
            TnSockClose(gState.listener);
        }
        return Fail("cannot listen on TCP port %llu: %s", static_cast<unsigned long long>(port),
                    TnSockResultName(rc));
    }
    platform::HostLog("listening on TCP port %llu as %s%s", static_cast<unsigned long long>(port),
                      session.Describe().c_str(), gState.echo ? ", echoing" : "");
    // Once up, always: a script that starts the listener waits for this line.
    std::fprintf(stderr, "tarnet: listening on TCP port %llu as %s\n",
                 static_cast<unsigned long long>(port), session.Describe().c_str());
    const auto outcome = session.Run(ListenDone, nullptr);
    FlushStdout();
    if (gState.accepted > 0) {
        ShowSummary();
    }
    if (gState.listener != nullptr) {
        TnSockClose(gState.listener);
        gState.listener = nullptr;
    }
    if (gState.stdoutError != 0) {
        return Fail("cannot write to stdout: %s", std::strerror(gState.stdoutError));
    }
    // Without a count, SIGINT or SIGTERM is the normal way to stop listening.
    if (outcome != EventLoop::Outcome::kDone &&
        !(outcome == EventLoop::Outcome::kStopSignal && gState.limit == 0)) {
        return session.Stopped(outcome);
    }
    return gState.failures == 0 ? kExitOk : kExitFailed;
}

}  // namespace

int RunTcp(const GlobalOptions& options, const Args& args) {
    BufferStdout();
    std::string countText;
    std::string isnText;
    std::string keepText;
    bool echo = false;
    ArgReader reader(args);
    reader.Value("-n", "--count", &countText);
    reader.Value(nullptr, "--keep-reading", &keepText);
    reader.Value(nullptr, "--isn", &isnText);
    reader.Flag(nullptr, "--echo", &echo);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.empty()) {
        return UsageError(
            "usage: tarnet [options] tcp connect HOST PORT | tcp listen PORT [--echo] "
            "[-n CONNECTIONS]");
    }
    GlobalOptions effective = options;
    if (!isnText.empty()) {
        std::uint64_t isn = 0;
        if (!ParseNumber(isnText, 0, UINT32_MAX, isn)) {
            return UsageError("--isn: '%s' is not a sequence number from 0 to %u", isnText.c_str(),
                              UINT32_MAX);
        }
        effective.isnNear = static_cast<std::uint32_t>(isn);
    }
    gState          = State{};
    gState.progress = ProgressLine(isatty(STDERR_FILENO) != 0);
    gState.echo     = echo;
    if (!keepText.empty()) {
        std::uint64_t seconds = 0;
        if (positional[0] != "connect" || !ParseNumber(keepText, 1, 86400, seconds)) {
            return UsageError(
                "--keep-reading: 'tcp connect' takes a number of seconds (1 to "
                "86400)");
        }
        gState.keepReadingMs = seconds * 1000;
    }
    if (positional[0] == "connect") {
        if (!countText.empty() || echo) {
            return UsageError("-n and --echo belong to 'tcp listen'");
        }
        return Connect(effective, positional);
    }
    if (positional[0] == "listen") {
        return Listen(effective, positional, countText);
    }
    return UsageError("unknown tcp command '%s' (connect or listen)", positional[0].c_str());
}

}  // namespace tarnet::cli
