// The session every stack command runs in: options checked, adapter opened, stack started, loop
// run, and everything shut down again in the right order.
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "counters_text.h"
#include "host.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tndns.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

using platform::EventLoop;

namespace {

// A query lives for 3 s in the resolver (sent at 0, 1 and 2 s), which then reports it
// unanswered; the slack only bounds the wait should that report never come.
constexpr std::uint64_t kQueryLifeMs = 3'000 + 1'000;
// Queries asked for one name when no --timeout bounds the command.
constexpr int kDefaultQueryRounds = 3;

// An address a host may own: not 0.0.0.0, loopback, multicast, reserved or broadcast.
bool UsableUnicast(std::uint32_t address) {
    const std::uint32_t top = address >> 24;
    return address != 0 && top != 0 && top != 127 && top < 224;
}

double MsSince(std::uint64_t startUs) {
    return static_cast<double>(platform::MonotonicUs() - startUs) / 1000.0;
}

}  // namespace

bool CliPort::List(std::vector<platform::AdapterEntry>& out, std::string& error) {
    std::vector<platform::AdapterInfo> found;
    if (!platform::ListAdapters(found, error)) {
        return false;
    }
    out.clear();
    for (const platform::AdapterInfo& a : found) {
        out.push_back(platform::AdapterEntry{a.name, a.description});
    }
    return true;
}

bool CliPort::Open(const std::string& name, std::string& error) {
    if (!(tap_ ? adapter_.OpenTap(name, error) : adapter_.Open(name, error))) {
        return false;
    }
    platform::HostAttachAdapter(&adapter_);
    platform::HostConfigureFaults(faults_);
    return true;
}

void CliPort::Close() {
    if (adapter_.IsOpen()) {
        platform::HostLog("frames sent %llu in %llu send calls",
                          static_cast<unsigned long long>(adapter_.FramesSent()),
                          static_cast<unsigned long long>(adapter_.SendCalls()));
        if (loop_ != nullptr) {
            const platform::LoopCounters& loop = loop_->Counters();
            platform::HostLog("frames taken %llu in %llu loop passes",
                              static_cast<unsigned long long>(loop.frames),
                              static_cast<unsigned long long>(loop.passes));
        }
    }
    platform::HostAttachAdapter(nullptr);
    adapter_.Close();
}

void CliPort::Finish(DoneFn done, void* context, std::uint64_t deadlineMs) {
    if (loop_ != nullptr) {
        loop_->Finish(done, context, deadlineMs);
    }
}

Session::Session(const GlobalOptions& options)
    : options_(options),
      port_(options.faults),
      loop_(&port_.Adapter()),
      stack_(
          port_,
          [this](TnSockConfig& config) {
              platform::HostFillCallbacks(config);
              if (options_.isnNear) {
                  // Initial sequence numbers are (tick << 8) + isnSeed, on the tick the stack
                  // reads.
                  config.isnSeed = *options_.isnNear -
                                   (static_cast<std::uint32_t>(platform::MonotonicMs()) << 8);
              }
          },
          [](const std::string& line) { platform::HostLog("%s", line.c_str()); }) {
    port_.SetLoop(&loop_);
    port_.UseTap(!options.tap.empty());
    stack_.AddListener(this);
}

Session::~Session() {
    stack_.Shutdown();
    // With -v the stack's counters close the log: what passed each layer and what was dropped.
    for (const std::string& line : platform::CurrentCountersText()) {
        platform::HostLog("%s", line.c_str());
    }
    stack_.RemoveListener(this);
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

void Session::OnLease(const TnDhcpLease& lease) {
    if (leaseFn_ != nullptr) {
        leaseFn_(leaseContext_, lease);
    }
}

void Session::OnAddressLost(std::uint32_t) {
    if (lossFn_ != nullptr) {
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
    if (!options_.tap.empty()) {
        name = options_.tap;  // a TAP device is named, never listed
        return kExitOk;
    }
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
    // lost and a missing privilege is reported before anything else happens. With DHCP the
    // stack starts without an address; the lease brings address, mask, router and DNS server.
    platform::StackSettings settings;
    settings.adapter     = name;
    settings.mac         = mac_;
    settings.useDhcp     = useDhcp_;
    settings.localIp     = useDhcp_ ? "0.0.0.0" : AddressText(local_);
    settings.gateway     = AddressText(gateway_);
    settings.subnetMask  = AddressText(mask_);
    settings.dnsServer   = AddressText(dns_);
    settings.dnsOverride = dnsOverride_;
    settings.order       = platform::StartOrder::kAdapterFirst;
    TnSockSetPredictableIsn(options_.isnNear ? 1 : 0);
    // Checked when the options were read: the stack accepts them.
    TnSockSetTcpBuffers(options_.tcpWindow, options_.tcpSendBuffer);
    switch (stack_.Begin(settings)) {
        case platform::StackSession::Start::kAdapterFailed:
            return Fail("cannot open adapter %s: %s", name.c_str(), stack_.Error().c_str());
        case platform::StackSession::Start::kInitFailed:
            return Fail("%s", stack_.Error().c_str());
        case platform::StackSession::Start::kUp:
            break;
    }
    platform::HostLog("TnSock initialized OK");
    if (useDhcp_) {
        return WaitForLease();
    }
    platform::HostLog("stack up: %s", Describe().c_str());
    return kExitOk;
}

int Session::WaitForLease() {
    platform::HostLog("waiting for a DHCP lease on %s (%s)", port_.Adapter().Name().c_str(),
                      platform::FormatMac(mac_).c_str());
    if (!options_.verbose && isatty(STDERR_FILENO) != 0) {
        std::fprintf(stderr, "tarnet: waiting for a DHCP lease on %s ...\n",
                     port_.Adapter().Name().c_str());
    }
    // The client gives up after about two minutes without an answer (its retransmissions
    // reach 64 s); the command ends with it instead of waiting for ever.
    const auto outcome = Run(
        [](void* context) {
            const auto& stack = *static_cast<const platform::StackSession*>(context);
            return stack.Leases() > 0 || stack.GaveUp();
        },
        &stack_);
    if (stack_.Leased()) {
        platform::HostLog("stack up: %s", Describe().c_str());
        return kExitOk;
    }
    if (stack_.GaveUp() || stack_.Leases() > 0) {
        return Fail(
            "no DHCP lease on %s: the DHCP client gave up (no server answered, or the "
            "server refused the address)",
            port_.Adapter().Name().c_str());
    }
    if (outcome == EventLoop::Outcome::kDeadline && timedOut_) {
        return Fail("no DHCP lease on %s within %u s", port_.Adapter().Name().c_str(),
                    options_.timeoutSeconds.value_or(0));
    }
    return Stopped(outcome);
}

std::string Session::Describe() const {
    return AddressText(stack_.LocalAddress()) + " on " + port_.Adapter().Name() + " (" +
           platform::FormatMac(mac_) + ")";
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

void Session::OnDiagnostic(const TnSockDiagnostic& report) {
    switch (report.kind) {
        case TNSOCK_DIAG_TCP_ESTABLISHED:
        case TNSOCK_DIAG_TCP_ENDED:
            if (tcpReportFn_ != nullptr) {
                tcpReportFn_(tcpReportContext_, report);
            }
            break;
        case TNSOCK_DIAG_DATAGRAM_SENT:
            if (sentFn_ != nullptr) {
                sentFn_(sentContext_, report);
            }
            break;
        default:
            break;
    }
}

int Session::ResolveName(const std::string& name, std::uint32_t& out) {
    const std::uint32_t dnsServer = stack_.DnsServer();
    if (dnsServer == 0) {
        return Fail("cannot resolve '%s': no DNS server (%s)", name.c_str(),
                    useDhcp_ ? "the DHCP lease named none; give --dns ADDR" : "give --dns ADDR");
    }
    if (NextHop(dnsServer) == 0) {
        return Fail(
            "cannot resolve '%s': the DNS server %s is outside the local subnet and "
            "there is no gateway",
            name.c_str(), AddressText(dnsServer).c_str());
    }
    const std::string server  = AddressText(dnsServer);
    const std::uint64_t start = platform::MonotonicUs();
    NameWait wait;
    stack_.WaitForName(&wait);
    struct Unwait {
        platform::StackSession& stack;
        ~Unwait() { stack.WaitForName(nullptr); }
    } unwait{stack_};

    // Ask; while the query is pending, wait for the resolver's report of how it ended and ask
    // again. An answer the resolver took is in its cache by then.
    int rounds = 0;
    for (;;) {
        const int answeredBefore = wait.ended && wait.outcome == TNSOCK_DNS_ANSWER ? 1 : 0;
        wait                     = NameWait{name};
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
            Run([](void* context) { return static_cast<NameWait*>(context)->ended; }, &wait,
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
    const std::uint32_t mask = stack_.Mask();
    if (destination == 0xFFFFFFFFU || (destination & mask) == (stack_.LocalAddress() & mask)) {
        return destination;
    }
    return stack_.Gateway();
}

}  // namespace tarnet::cli
