// The session every stack command runs in: options checked, adapter opened, stack started, loop
// run, and everything shut down again in the right order.
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "host.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tndns.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

using platform::EventLoop;

namespace {

// The stack's status callback carries no context of its own; there is one stack, so there is
// one session at a time.
Session* gActive = nullptr;

// A query lives for 3 s in the resolver (sent at 0, 1 and 2 s), which then reports it
// unanswered; the slack only bounds the wait should that report never come.
constexpr std::uint64_t kQueryLifeMs = 3'000 + 1'000;
// Queries asked for one name when no --timeout bounds the command.
constexpr int kDefaultQueryRounds = 3;
// How long connections that are closing may take to finish before the lease is given back.
constexpr std::uint64_t kCloseWaitMs = 1'000;
// How long the RELEASE may take to leave (it may wait for ARP).
constexpr std::uint64_t kReleaseWaitMs  = 1'000;
constexpr std::uint16_t kDhcpClientPort = 68;
constexpr std::uint16_t kDhcpServerPort = 67;
constexpr int kProtocolUdp              = 17;

// An address a host may own: not 0.0.0.0, loopback, multicast, reserved or broadcast.
bool UsableUnicast(std::uint32_t address) {
    const std::uint32_t top = address >> 24;
    return address != 0 && top != 0 && top != 127 && top < 224;
}

double MsSince(std::uint64_t startUs) {
    return static_cast<double>(platform::MonotonicUs() - startUs) / 1000.0;
}

}  // namespace

Session::Session(const GlobalOptions& options) : options_(options), loop_(&adapter_) {}

Session::~Session() {
    if (stackUp_) {
        if (leased_) {
            // Peers must hear the end of every connection from the address they know it by:
            // once the lease is given back, a FIN or RST could only leave from 0.0.0.0.
            EndConnections();
            ReleaseLease();
        }
        // The stack may still send while it shuts down (resets of open TCP connections), so the
        // adapter stays attached until it is done.
        TnSockDeinit();
        stackUp_ = false;
        // Frames the impairment still holds for the wire go out now rather than never.
        platform::HostFaults().Service(UINT64_MAX);
        platform::HostLog("stack stopped");
    }
    platform::HostFlushTx();
    if (adapter_.IsOpen()) {
        platform::HostLog("frames sent %llu in %llu send calls",
                          static_cast<unsigned long long>(adapter_.FramesSent()),
                          static_cast<unsigned long long>(adapter_.SendCalls()));
    }
    platform::HostAttachAdapter(nullptr);
    adapter_.Close();
    if (gActive == this) {
        platform::HostSetStatusHandler(nullptr);
        TnSockSetDiagnostics(nullptr, 0);
        gActive = nullptr;
    }
}

void Session::OnLease(LeaseFn fn, void* context) {
    leaseFn_      = fn;
    leaseContext_ = context;
}

void Session::OnLoss(LossFn fn, void* context) {
    lossFn_      = fn;
    lossContext_ = context;
}

void Session::OnTcpReport(TcpReportFn fn, void* context) {
    tcpReportFn_      = fn;
    tcpReportContext_ = context;
}

void Session::OnDatagramSent(SentFn fn, void* context) {
    sentFn_      = fn;
    sentContext_ = context;
}

std::uintptr_t Session::OnStatus(std::uintptr_t, int event, void* data, std::uint32_t a,
                                 std::uint32_t, std::uint32_t) {
    Session* session = gActive;
    if (session != nullptr && event == TNSOCK_EVENT_ADDRESS_LOST && session->useDhcp_) {
        platform::HostLog("DHCP lease %s lost", AddressText(a).c_str());
        session->AddressLost();
        return 0;
    }
    if (session == nullptr || event != TNSOCK_EVENT_ADDRESS || data == nullptr ||
        !session->useDhcp_) {
        return 0;
    }
    const TnDhcpLease& lease = *static_cast<const TnDhcpLease*>(data);
    session->local_          = lease.address;
    session->mask_           = lease.subnetMask;
    session->gateway_        = lease.router;
    session->dns_            = lease.dnsServer;
    if (session->dnsOverride_ != 0) {
        // The stack has just given the lease's server to the resolver; --dns wins.
        session->dns_ = session->dnsOverride_;
        TnDnsSetServer(&session->dnsOverride_);
    }
    session->leased_ = true;
    session->lost_   = false;
    ++session->leases_;
    if (session->leases_ == 1) {
        platform::HostLog("DHCP lease %s after %.1f ms", AddressText(lease.address).c_str(),
                          MsSince(session->startUs_));
    } else {
        platform::HostLog("DHCP lease %s renewed", AddressText(lease.address).c_str());
    }
    if (session->leaseFn_ != nullptr) {
        session->leaseFn_(session->leaseContext_, lease);
    }
    return 0;
}

void Session::AddressLost() {
    local_   = 0;
    mask_    = 0;
    gateway_ = 0;
    leased_  = false;
    lost_    = true;
    if (!releasing_ && lossFn_ != nullptr) {
        lossFn_(lossContext_);
    }
}

int Session::CheckOptions() {
    useDhcp_ = !options_.ip.has_value();
    if (options_.dhcp && !useDhcp_) {
        return UsageError(
            "--ip and --dhcp exclude each other: --ip sets a static address, "
            "--dhcp (the default) asks a DHCP server");
    }
    if (useDhcp_) {
        if (!options_.gateway.empty() || !options_.mask.empty()) {
            return UsageError(
                "--gateway and --mask come from the DHCP lease; give --ip ADDR "
                "to set them yourself");
        }
    } else if (!ParseAddress(*options_.ip, local_) || !UsableUnicast(local_)) {
        return UsageError(
            "--ip: '%s' is not a usable IPv4 address (a dotted quad like 192.0.2.2, "
            "not 0.0.0.0, 127.x, multicast or broadcast)",
            options_.ip->c_str());
    }
    if (!useDhcp_) {
        mask_ = 0xFFFFFF00U;
        if (!options_.mask.empty() && !ParseMask(options_.mask, mask_)) {
            return UsageError(
                "--mask: '%s' is not a subnet mask (contiguous ones, like "
                "255.255.255.0)",
                options_.mask.c_str());
        }
        if (!options_.gateway.empty()) {
            if (!ParseAddress(options_.gateway, gateway_) || !UsableUnicast(gateway_)) {
                return UsageError("--gateway: '%s' is not a usable IPv4 address",
                                  options_.gateway.c_str());
            }
            const bool hostPart = (gateway_ & ~mask_) != 0 && (gateway_ & ~mask_) != ~mask_;
            if ((gateway_ & mask_) != (local_ & mask_) || !hostPart || gateway_ == local_) {
                return UsageError("--gateway: %s is not another host on the local subnet %s/%s",
                                  options_.gateway.c_str(), AddressText(local_ & mask_).c_str(),
                                  AddressText(mask_).c_str());
            }
        }
    }
    std::uint32_t dns = 0;
    if (!options_.dns.empty() && (!ParseAddress(options_.dns, dns) || !UsableUnicast(dns))) {
        return UsageError("--dns: '%s' is not a usable IPv4 address", options_.dns.c_str());
    }
    if (useDhcp_) {
        dnsOverride_ = dns;
    } else {
        dns_ = dns;
    }
    if (!options_.mac.empty()) {
        if (const char* problem = MacProblem(options_.mac)) {
            return UsageError("--mac: '%s' is not usable: %s", options_.mac.c_str(), problem);
        }
        std::string error;
        if (!platform::ParseMac(options_.mac, mac_, error)) {
            return UsageError("--mac: %s", error.c_str());
        }
    }
    return kExitOk;
}

int Session::PickAdapter(std::string& name) {
    if (options_.iface.empty()) {
        return UsageError(
            "Local adapter not selected from list: give -i IFACE or set TARNET_IFACE "
            "('tarnet adapters' lists them)");
    }
    std::vector<platform::AdapterInfo> adapters;
    std::string error;
    if (!platform::ListAdapters(adapters, error)) {
        return Fail("Error in pcap_findalldevs: %s", error.c_str());
    }
    for (const auto& adapter : adapters) {
        if (adapter.name == options_.iface) {
            name = adapter.name;
            return kExitOk;
        }
    }
    // "-i 2" picks the second line of 'tarnet adapters'.
    std::uint64_t index = 0;
    if (ParseNumber(options_.iface, 1, adapters.size(), index)) {
        name = adapters[index - 1].name;
        return kExitOk;
    }
    return Fail(
        "Local adapter not selected from list: no adapter named '%s' "
        "('tarnet adapters' lists them)",
        options_.iface.c_str());
}

int Session::Start() {
    if (options_.timeoutSeconds) {
        deadline_ = platform::MonotonicMs() + std::uint64_t{*options_.timeoutSeconds} * 1000;
    }
    if (const int rc = CheckOptions(); rc != kExitOk) {
        return rc;
    }
    std::string name;
    if (const int rc = PickAdapter(name); rc != kExitOk) {
        return rc;
    }
    if (options_.mac.empty()) {
        platform::MacAddress ifaceMac{};
        const bool known = platform::InterfaceMac(name, ifaceMac);
        mac_             = platform::DefaultStackMac(known ? &ifaceMac : nullptr);
    }

    platform::HostLog("Initializing with eth addr: %02x:%02x:%02x:%02x:%02x:%02x:", mac_[0],
                      mac_[1], mac_[2], mac_[3], mac_[4], mac_[5]);
    // The adapter opens before the stack starts, so that nothing the stack sends at start is
    // lost and a missing privilege is reported before anything else happens.
    std::string error;
    if (!adapter_.Open(name, error)) {
        return Fail("cannot open adapter %s: %s", name.c_str(), error.c_str());
    }
    platform::HostAttachAdapter(&adapter_);
    platform::HostConfigureFaults(options_.faults);

    // With DHCP the stack starts without an address; the lease brings address, mask, router
    // and DNS server.
    const std::string local   = useDhcp_ ? "0.0.0.0" : AddressText(local_);
    const std::string gateway = AddressText(gateway_);
    const std::string mask    = AddressText(mask_);
    const std::string dns     = AddressText(dns_);
    TnSockConfig config{};
    config.macAddress = mac_.data();
    config.useDhcp    = useDhcp_ ? 1 : 0;
    config.localIp    = local.c_str();
    config.gateway    = gateway.c_str();
    config.subnetMask = mask.c_str();
    config.dnsServer  = dns.c_str();
    platform::HostFillCallbacks(config);
    TnSockSetPredictableIsn(options_.isnNear ? 1 : 0);
    // Checked when the options were read: the stack accepts them.
    TnSockSetTcpBuffers(options_.tcpWindow, options_.tcpSendBuffer);
    if (options_.isnNear) {
        // Initial sequence numbers are (tick << 8) + isnSeed, on the tick the stack reads.
        config.isnSeed =
            *options_.isnNear - (static_cast<std::uint32_t>(platform::MonotonicMs()) << 8);
    }

    // Set before the stack starts: a DHCP client that cannot even open its port reports so
    // from inside TnSockInit.
    gActive = this;
    platform::HostSetStatusHandler(OnStatus);
    TnSockSetDiagnostics(OnDiagnostic, reinterpret_cast<std::uintptr_t>(this));
    startUs_     = platform::MonotonicUs();
    const int rc = TnSockInit(&config);
    if (rc != TNSOCK_SUCCESS) {
        return Fail("TnSockInit failed, rc=%s", TnSockResultName(rc));
    }
    stackUp_ = true;
    platform::HostLog("TnSock initialized OK");
    if (useDhcp_) {
        return WaitForLease();
    }
    platform::HostLog("stack up: %s", Describe().c_str());
    return kExitOk;
}

int Session::WaitForLease() {
    platform::HostLog("waiting for a DHCP lease on %s (%s)", adapter_.Name().c_str(),
                      platform::FormatMac(mac_).c_str());
    if (!options_.verbose && isatty(STDERR_FILENO) != 0) {
        std::fprintf(stderr, "tarnet: waiting for a DHCP lease on %s ...\n",
                     adapter_.Name().c_str());
    }
    const auto outcome = Run(
        [](void* context) {
            const auto* session = static_cast<const Session*>(context);
            return session->leases_ > 0 || session->lost_;
        },
        this);
    if (leased_) {
        platform::HostLog("stack up: %s", Describe().c_str());
        return kExitOk;
    }
    if (lost_) {
        return Fail(
            "no DHCP lease on %s: the DHCP client gave up (no server answered, or the "
            "server refused the address)",
            adapter_.Name().c_str());
    }
    if (outcome == EventLoop::Outcome::kDeadline && timedOut_) {
        return Fail("no DHCP lease on %s within %u s", adapter_.Name().c_str(),
                    options_.timeoutSeconds.value_or(0));
    }
    return Stopped(outcome);
}

void Session::TrackConnection(const TnSockDiagnostic& report) {
    const LiveConnection key{report.localPort, report.remotePort, report.remoteAddress};
    const auto at = std::find(live_.begin(), live_.end(), key);
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED && at == live_.end()) {
        live_.push_back(key);
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && at != live_.end()) {
        live_.erase(at);
    }
}

// Connections still open at the end: those closing get a moment to finish (their FINs are on the
// way), then whatever is left is reset while the address is still ours.
void Session::EndConnections() {
    if (live_.empty()) {
        return;
    }
    loop_.Finish([](void* context) { return static_cast<Session*>(context)->live_.empty(); }, this,
                 platform::MonotonicMs() + kCloseWaitMs);
    if (!live_.empty()) {
        platform::HostLog("resetting %zu connections before the lease is given back", live_.size());
        TnSockTcpAbortAll();
    }
}

// RFC 2131 §4.4.6: a client that stops using its address gives it back, so the server can hand
// it out again at once. The RELEASE may have to wait for ARP, so the loop runs until it has left
// (a stop signal that ended the command does not cut this short).
void Session::ReleaseLease() {
    releasing_                = true;
    releaseSent_              = false;
    const std::string address = AddressText(local_);
    TnDhcpStop();
    loop_.Finish(
        [](void* context) {
            return static_cast<const Session*>(context)->releaseSent_ &&
                   platform::HostFaults().HeldCount() == 0;
        },
        this, platform::MonotonicMs() + kReleaseWaitMs);
    if (releaseSent_) {
        platform::HostLog("DHCP lease %s released", address.c_str());
    } else {
        platform::HostError("tarnet: the DHCP release of %s could not be sent", address.c_str());
    }
}

std::string Session::Describe() const {
    return AddressText(local_) + " on " + adapter_.Name() + " (" + platform::FormatMac(mac_) + ")";
}

EventLoop::Outcome Session::Run(EventLoop::DoneFn done, void* context,
                                std::optional<std::uint64_t> untilMs) {
    std::optional<std::uint64_t> until = untilMs;
    if (deadline_ && (!until || *deadline_ < *until)) {
        until = deadline_;
    }
    const EventLoop::Outcome outcome = loop_.Run(done, context, until);
    timedOut_                        = outcome == EventLoop::Outcome::kDeadline && deadline_ &&
                platform::MonotonicMs() >= *deadline_;
    return outcome;
}

int Session::Stopped(EventLoop::Outcome outcome) const {
    switch (outcome) {
        case EventLoop::Outcome::kDone:
            return kExitOk;
        case EventLoop::Outcome::kDeadline:
            return Fail("timed out after %u s", options_.timeoutSeconds.value_or(0));
        case EventLoop::Outcome::kStopSignal:
            return Fail("stopped by %s", strsignal(EventLoop::StopSignal()));
        case EventLoop::Outcome::kAdapterFailed:
            return Fail("%s", loop_.Error().c_str());
    }
    return kExitFailed;
}

int Session::ResolveHost(const std::string& text, std::uint32_t& out) {
    if (ParseAddress(text, out)) {
        if (out == 0) {
            return UsageError("HOST 0.0.0.0 cannot be addressed");
        }
        return kExitOk;
    }
    if (LooksLikeAddress(text)) {
        return UsageError("'%s' is not an IPv4 address (four numbers of 0 to 255, like 192.0.2.1)",
                          text.c_str());
    }
    if (const char* problem = HostNameProblem(text)) {
        return UsageError("'%s' is not a host name: %s", text.c_str(), problem);
    }
    return ResolveName(text, out);
}

int Session::ResolveReachable(const std::string& text, std::uint32_t& out) {
    if (const int rc = ResolveHost(text, out); rc != kExitOk) {
        return rc;
    }
    if (NextHop(out) == 0) {
        return Fail("%s is outside the local subnet and no --gateway was given", text.c_str());
    }
    return kExitOk;
}

// The outcome of the lookup being waited for, as the resolver reports it to the diagnostic
// hook.
struct Session::DnsWait {
    std::string name;
    bool ended            = false;
    int outcome           = 0;  // TNSOCK_DNS_...
    std::uint32_t address = 0;
};

namespace {

bool SameName(const char* a, const std::string& b) {
    return a != nullptr && strcasecmp(a, b.c_str()) == 0;
}

}  // namespace

void Session::OnDiagnostic(std::uintptr_t context, const TnSockDiagnostic* report) {
    auto* session = reinterpret_cast<Session*>(context);
    if (report == nullptr) {
        return;
    }
    switch (report->kind) {
        case TNSOCK_DIAG_TCP_ESTABLISHED:
        case TNSOCK_DIAG_TCP_ENDED:
            session->TrackConnection(*report);
            if (session->tcpReportFn_ != nullptr) {
                session->tcpReportFn_(session->tcpReportContext_, *report);
            }
            break;
        case TNSOCK_DIAG_DATAGRAM_SENT:
            // While giving the lease back: the client's datagram to the servers is the RELEASE.
            if (session->releasing_ && report->protocol == kProtocolUdp &&
                report->localPort == kDhcpClientPort && report->remotePort == kDhcpServerPort) {
                session->releaseSent_ = true;
            }
            if (session->sentFn_ != nullptr) {
                session->sentFn_(session->sentContext_, *report);
            }
            break;
        case TNSOCK_DIAG_DNS_RESULT:
            if (DnsWait* wait = session->dnsWait_;
                wait != nullptr && !wait->ended && SameName(report->name, wait->name)) {
                wait->ended   = true;
                wait->outcome = report->dnsOutcome;
                wait->address = report->address;
            }
            break;
        default:
            break;
    }
}

int Session::ResolveName(const std::string& name, std::uint32_t& out) {
    if (dns_ == 0) {
        return Fail("cannot resolve '%s': no DNS server (%s)", name.c_str(),
                    useDhcp_ ? "the DHCP lease named none; give --dns ADDR" : "give --dns ADDR");
    }
    if (NextHop(dns_) == 0) {
        return Fail(
            "cannot resolve '%s': the DNS server %s is outside the local subnet and "
            "there is no gateway",
            name.c_str(), AddressText(dns_).c_str());
    }
    const std::string server  = AddressText(dns_);
    const std::uint64_t start = platform::MonotonicUs();
    DnsWait wait;
    dnsWait_ = &wait;
    struct Unwait {
        Session* session;
        ~Unwait() { session->dnsWait_ = nullptr; }
    } unwait{this};

    // Ask; while the query is pending, wait for the resolver's report of how it ended and ask
    // again. An answer the resolver took is in its cache by then.
    int rounds = 0;
    for (;;) {
        const int answeredBefore = wait.ended && wait.outcome == TNSOCK_DNS_ANSWER ? 1 : 0;
        wait                     = DnsWait{name};
        const int rc             = TnDnsResolve(name.c_str(), &out);
        switch (rc) {
            case TNDNS_RESOLVED:
                platform::HostLog("%s is %s (%.1f ms, DNS server %s)", name.c_str(),
                                  AddressText(out).c_str(), MsSince(start), server.c_str());
                return kExitOk;
            case TNDNS_PENDING:
                break;
            case TNDNS_BAD_PARAMETER:
                return UsageError("'%s' is neither an IPv4 address nor a host name", name.c_str());
            default:
                return Fail("cannot resolve '%s': the resolver could not start a query (%d)",
                            name.c_str(), rc);
        }
        if (answeredBefore != 0) {
            // The resolver reported an answer but has none cached: asking again would only
            // repeat that.
            return Fail("cannot resolve '%s': the answer of DNS server %s could not be kept",
                        name.c_str(), server.c_str());
        }
        ++rounds;
        const auto outcome =
            Run([](void* context) { return static_cast<DnsWait*>(context)->ended; }, &wait,
                platform::MonotonicMs() + kQueryLifeMs);
        if (outcome == EventLoop::Outcome::kStopSignal ||
            outcome == EventLoop::Outcome::kAdapterFailed) {
            return Stopped(outcome);
        }
        if (wait.ended) {
            switch (wait.outcome) {
                case TNSOCK_DNS_ANSWER:
                    continue;  // in the cache now: the next ask answers
                case TNSOCK_DNS_NXDOMAIN:
                    return Fail("%s: not found (DNS server %s: no such name)", name.c_str(),
                                server.c_str());
                case TNSOCK_DNS_NO_ADDRESS:
                    return Fail("%s: not found (DNS server %s has no IPv4 address for it)",
                                name.c_str(), server.c_str());
                case TNSOCK_DNS_SERVFAIL:
                    return Fail("no answer for %s: DNS server %s answered SERVFAIL", name.c_str(),
                                server.c_str());
                case TNSOCK_DNS_REFUSED:
                    return Fail("no answer for %s: DNS server %s answered REFUSED", name.c_str(),
                                server.c_str());
                case TNSOCK_DNS_TRUNCATED:
                    return Fail("no answer for %s: the answer of DNS server %s was truncated",
                                name.c_str(), server.c_str());
                case TNSOCK_DNS_OTHER_ERROR:
                    return Fail("no answer for %s: DNS server %s answered with an error",
                                name.c_str(), server.c_str());
                default:
                    break;  // unanswered: ask again while time is left
            }
        }
        if (timedOut_ || (!options_.timeoutSeconds && rounds >= kDefaultQueryRounds)) {
            return Fail("no answer for %s from DNS server %s within %.0f s", name.c_str(),
                        server.c_str(), MsSince(start) / 1000.0);
        }
    }
}

std::uint32_t Session::NextHop(std::uint32_t destination) const {
    if (destination == 0xFFFFFFFFU || (destination & mask_) == (local_ & mask_)) {
        return destination;
    }
    return gateway_;
}

}  // namespace tarnet::cli
