#include "stack_session.h"

#include <strings.h>

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include "host.h"
#include "tarnet/tndns.h"

namespace tarnet::platform {

namespace {

// The stack's hooks carry no session of their own; there is one stack, so one session.
StackSession* gActive = nullptr;

// How long connections that are closing may take to finish before the lease is given back.
constexpr std::uint64_t kCloseWaitMs = 1'000;
// How long the RELEASE may take to leave (it may wait for ARP).
constexpr std::uint64_t kReleaseWaitMs  = 1'000;
constexpr std::uint16_t kDhcpClientPort = 68;
constexpr std::uint16_t kDhcpServerPort = 67;
constexpr int kProtocolUdp              = 17;

std::string Dotted(std::uint32_t address) {
    char text[16];
    TnSockFormatAddr(address, text);
    return text;
}

}  // namespace

std::uint64_t AdapterPort::NowMs() const {
    return MonotonicMs();
}

StackSession::StackSession(AdapterPort& port, FillFn fill, LogFn log)
    : port_(port), fill_(std::move(fill)), log_(std::move(log)) {}

StackSession::~StackSession() {
    Shutdown();
}

bool StackSession::AddListener(StackListener* listener) {
    for (StackListener*& slot : listeners_) {
        if (slot == nullptr || slot == listener) {
            slot = listener;
            return true;
        }
    }
    return false;
}

void StackSession::RemoveListener(StackListener* listener) {
    std::replace(listeners_.begin(), listeners_.end(), listener,
                 static_cast<StackListener*>(nullptr));
}

void StackSession::Log(const char* format, ...) {
    char line[160];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (log_) {
        log_(line);
    }
}

StackSession::Start StackSession::Begin(const StackSettings& settings) {
    error_.clear();
    // Repeating the start reopens the adapter; the stack keeps its first configuration.
    if (port_.IsOpen()) {
        port_.Close();
    }
    if (settings.order == StartOrder::kAdapterFirst) {
        if (!OpenAdapter(settings)) {
            return Start::kAdapterFailed;
        }
        return StartStack(settings) ? Start::kUp : Start::kInitFailed;
    }
    Log("Initializing with eth addr: %02x:%02x:%02x:%02x:%02x:%02x:", settings.mac[0],
        settings.mac[1], settings.mac[2], settings.mac[3], settings.mac[4], settings.mac[5]);
    if (!StartStack(settings)) {
        return Start::kInitFailed;
    }
    if (!OpenAdapter(settings)) {
        return Start::kAdapterFailed;
    }
    Log("TnSock initialized OK");
    return Start::kUp;
}

bool StackSession::OpenAdapter(const StackSettings& settings) {
    if (!port_.Open(settings.adapter, error_)) {
        Log("Unable to open the adapter : %s", error_.c_str());
        return false;
    }
    return true;
}

bool StackSession::StartStack(const StackSettings& settings) {
    if (stackUp_) {
        return true;  // TnSockInit would succeed without change
    }
    mac_         = settings.mac;
    useDhcp_     = settings.useDhcp;
    dnsOverride_ = settings.dnsOverride;
    const std::string local(useDhcp_ ? "0.0.0.0" : settings.localIp);
    TnSockConfig config{};
    if (fill_) {
        fill_(config);
    }
    config.macAddress  = mac_.data();
    config.useDhcp     = useDhcp_ ? 1 : 0;
    config.localIp     = local.c_str();
    config.gateway     = settings.gateway.c_str();
    config.subnetMask  = settings.subnetMask.c_str();
    config.dnsServer   = settings.dnsServer.c_str();
    config.statusEvent = OnStatus;
    // Set before the stack starts: a DHCP client that cannot even open its port reports so
    // from inside TnSockInit.
    gActive = this;
    TnSockSetDiagnostics(OnDiagnostic, reinterpret_cast<std::uintptr_t>(this));
    leased_ = gaveUp_ = false;
    leases_           = 0;
    live_.clear();
    startMs_     = MonotonicUs();
    const int rc = TnSockInit(&config);
    if (rc != TNSOCK_SUCCESS) {
        error_ = std::string("TnSockInit failed, rc=") + TnSockResultName(rc);
        Log("%s", error_.c_str());
        TnSockSetDiagnostics(nullptr, 0);
        gActive = nullptr;
        return false;
    }
    stackUp_ = true;
    if (!useDhcp_) {
        TnSockParseAddr(local.c_str(), &local_);
        TnSockParseAddr(settings.gateway.c_str(), &gateway_);
        TnSockParseAddr(settings.subnetMask.c_str(), &mask_);
        TnSockParseAddr(settings.dnsServer.c_str(), &dns_);
    } else if (dnsOverride_ != 0) {
        dns_ = dnsOverride_;
    }
    return true;
}

bool StackSession::WaitForLease(std::uint64_t deadlineMs) {
    port_.Finish(
        [](void* context) {
            const auto* session = static_cast<const StackSession*>(context);
            return session->leases_ > 0 || session->gaveUp_ || !session->stackUp_;
        },
        this, deadlineMs);
    return leased_;
}

std::uintptr_t StackSession::OnStatus(std::uintptr_t, int event, void* data, std::uint32_t a,
                                      std::uint32_t, std::uint32_t) {
    StackSession* session = gActive;
    if (session == nullptr || !session->useDhcp_) {
        return 0;
    }
    if (event == TNSOCK_EVENT_ADDRESS_LOST) {
        session->LoseAddress(a);
    } else if (event == TNSOCK_EVENT_ADDRESS && data != nullptr) {
        session->TakeLease(*static_cast<const TnDhcpLease*>(data));
    }
    return 0;
}

void StackSession::TakeLease(const TnDhcpLease& lease) {
    local_   = lease.address;
    mask_    = lease.subnetMask;
    gateway_ = lease.router;
    dns_     = lease.dnsServer;
    if (dnsOverride_ != 0) {
        // The stack has just given the lease's server to the resolver; the override wins.
        dns_ = dnsOverride_;
        TnDnsSetServer(&dnsOverride_);
    }
    leased_ = true;
    gaveUp_ = false;
    if (++leases_ == 1) {
        HostLog("DHCP lease %s after %.1f ms", Dotted(lease.address).c_str(),
                static_cast<double>(MonotonicUs() - startMs_) / 1000.0);
    } else {
        HostLog("DHCP lease %s renewed", Dotted(lease.address).c_str());
    }
    for (StackListener* listener : listeners_) {
        if (listener != nullptr) {
            listener->OnLease(lease);
        }
    }
}

void StackSession::LoseAddress(std::uint32_t address) {
    HostLog("DHCP lease %s lost", Dotted(address).c_str());
    local_ = mask_ = gateway_ = 0;
    leased_                   = false;
    if (releasing_) {
        return;
    }
    for (StackListener* listener : listeners_) {
        if (listener != nullptr) {
            listener->OnAddressLost(address);
        }
    }
}

void StackSession::OnDiagnostic(std::uintptr_t context, const TnSockDiagnostic* report) {
    auto* session = reinterpret_cast<StackSession*>(context);
    if (report == nullptr || session != gActive) {
        return;
    }
    switch (report->kind) {
        case TNSOCK_DIAG_TCP_ESTABLISHED:
        case TNSOCK_DIAG_TCP_ENDED:
            session->Track(*report);
            break;
        case TNSOCK_DIAG_DATAGRAM_SENT:
            // While giving the lease back: the client's datagram to the servers is the RELEASE.
            if (session->releasing_ && report->protocol == kProtocolUdp &&
                report->localPort == kDhcpClientPort && report->remotePort == kDhcpServerPort) {
                session->releaseSent_ = true;
            }
            break;
        case TNSOCK_DIAG_DNS_RESULT:
            if (NameWait* wait = session->nameWait_;
                wait != nullptr && !wait->ended && report->name != nullptr &&
                strcasecmp(report->name, wait->name.c_str()) == 0) {
                wait->ended   = true;
                wait->outcome = report->dnsOutcome;
                wait->address = report->address;
            }
            break;
        case TNSOCK_DIAG_DHCP_STOPPED:
            if (!session->releasing_ && session->leases_ == 0 && session->useDhcp_) {
                session->gaveUp_ = true;
                for (StackListener* listener : session->listeners_) {
                    if (listener != nullptr) {
                        listener->OnDhcpGaveUp();
                    }
                }
            }
            break;
        default:
            break;
    }
    for (StackListener* listener : session->listeners_) {
        if (listener != nullptr) {
            listener->OnDiagnostic(*report);
        }
    }
}

void StackSession::Track(const TnSockDiagnostic& report) {
    const Connection key{report.localPort, report.remotePort, report.remoteAddress};
    const auto at = std::find(live_.begin(), live_.end(), key);
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED && at == live_.end()) {
        live_.push_back(key);
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && at != live_.end()) {
        live_.erase(at);
    }
}

// Connections still open at the end: those closing get a moment to finish (their FINs are on the
// way), then whatever is left is reset while the address is still ours.
void StackSession::EndConnections() {
    if (live_.empty()) {
        return;
    }
    port_.Finish([](void* context) { return static_cast<StackSession*>(context)->live_.empty(); },
                 this, port_.NowMs() + kCloseWaitMs);
    if (!live_.empty()) {
        HostLog("resetting %zu connections before the lease is given back", live_.size());
        TnSockTcpAbortAll();
    }
}

// RFC 2131 §4.4.6: a client that stops using its address gives it back, so the server can hand
// it out again at once. The RELEASE may have to wait for ARP, so the loop runs until it has left.
void StackSession::ReleaseLease() {
    releasing_                = true;
    releaseSent_              = false;
    const std::string address = Dotted(local_);
    TnDhcpStop();
    port_.Finish(
        [](void* context) {
            return static_cast<const StackSession*>(context)->releaseSent_ &&
                   HostFaults().HeldCount() == 0;
        },
        this, port_.NowMs() + kReleaseWaitMs);
    releasing_ = false;
    if (releaseSent_) {
        HostLog("DHCP lease %s released", address.c_str());
    } else {
        HostError("the DHCP release of %s could not be sent", address.c_str());
    }
}

void StackSession::Shutdown() {
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
        leased_  = false;
        live_.clear();
        local_ = mask_ = gateway_ = dns_ = 0;
        // Frames the impairment still holds for the wire go out now rather than never.
        HostFaults().Service(UINT64_MAX);
        HostLog("stack stopped");
    }
    HostFlushTx();
    if (port_.IsOpen()) {
        port_.Close();
    }
    if (gActive == this) {
        TnSockSetDiagnostics(nullptr, 0);
        gActive = nullptr;
    }
}

}  // namespace tarnet::platform
