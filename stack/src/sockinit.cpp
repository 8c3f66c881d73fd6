// Stack start and shutdown, the result-code names, and the hook through which the DHCP client
// installs an acquired address in every layer.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arp.h"
#include "counters.h"
#include "diag.h"
#include "ipv4.h"
#include "socket.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tndns.h"
#include "tarnet/tnsock.h"
#include "tcp.h"
#include "udp.h"

namespace tarnet {

namespace {

constexpr int kTcpConnections        = TARNET_TCP_CONNECTIONS;
constexpr std::uint32_t kTcpSendRing = TARNET_TCP_SEND_RING;
constexpr std::uint32_t kDnsCache    = TARNET_DNS_CACHE_ENTRIES;
constexpr std::uint32_t kDnsPending  = TARNET_DNS_PENDING;

// The TCP layer's largest back-off bound and retransmission limit: with a measured rto of at
// least 200 ms, an unanswered segment is given up only after 15 s of silence (200 + 400 + 800
// + 1600 + 6 x 2000 ms), and after 19 s while the rto is still the initial 1000 ms.
constexpr std::uint32_t kTcpRtoMaxMs        = 2000;
constexpr std::uint32_t kTcpRetransmitLimit = 10;

struct StackState {
    bool initialised;
    TnRandomFn random;
    std::uint32_t localAddress;
    bool addressAcquired;
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnLogTextFn logText;
    TnSockEventFn statusEvent;
    std::uint32_t reserved;
    int useDhcp;
};

StackState g_stack;
// Opt-in TCP sizes (TnSockSetTcpBuffers); 0 = the defaults. Survive TnSockInit and Deinit.
std::uint32_t g_tcpWindow = 0;
std::uint32_t g_tcpRing   = 0;
// Set by the test hook TnSockSetPredictableIsn; survives TnSockInit.
bool g_predictableIsn = false;

constexpr char kResultNames[13][40] = {
    "General",          "Success",          "Already initialized", "Bad parameter",
    "Not initialized",  "Lower layer init", "Lower layer create",  "Bind failed",
    "No memory",        "Connect failed",   "Operation pending",   "Already listening",
    "Transmitter busy",
};

void Log(const char* text) {
    if (g_stack.logText != nullptr) {
        g_stack.logText(text);
    }
}

// Installs `address` (0 = none) in IPv4, UDP, TCP and ARP.
void InstallAddress(std::uint32_t address, bool acquired, std::uint32_t gateway,
                    std::uint32_t mask) {
    g_stack.localAddress    = address;
    g_stack.addressAcquired = acquired;
    Ipv4Reconfigure(address, acquired ? 1 : 0, gateway, mask);
    UdpSetAddress(&address);
    TnTcpSetLocalAddress(&address);
    ArpSetAddress(&address);
}

void ReportLease(const TnDhcpLease& lease) {
    TnSockDiagnostic diagnostic = DiagRecord(TNSOCK_DIAG_DHCP_LEASE);
    diagnostic.lease            = &lease;
    DiagEmit(diagnostic);
    g_stack.statusEvent(0, TNSOCK_EVENT_ADDRESS, const_cast<TnDhcpLease*>(&lease), 0, 0, 0);
}

// The address was taken away (not given back on request): the host hears which one, by status
// event and diagnostic, while the client asks for a new one.
void ReportLoss(std::uint32_t address) {
    TnSockDiagnostic diagnostic = DiagRecord(TNSOCK_DIAG_DHCP_LOST);
    diagnostic.address          = address;
    DiagEmit(diagnostic);
    g_stack.statusEvent(0, TNSOCK_EVENT_ADDRESS_LOST, nullptr, address, 0, 0);
}

void DhcpResult(int result, const TnDhcpLease* lease, std::uintptr_t /*unused*/) {
    if (result == TNDHCP_ACQUIRED && lease != nullptr) {
        InstallAddress(lease->address, true, lease->router, lease->subnetMask);
        TnDnsSetServer(&lease->dnsServer);
        char text[64];
        char dotted[16];
        TnSockFormatAddr(lease->address, dotted);
        std::snprintf(text, sizeof text, "Local IP address aquired: %s", dotted);
        Log(text);
        ReportLease(*lease);
    } else if (result == TNDHCP_LOST || result == TNDHCP_REFUSED) {
        InstallAddress(0, false, 0, 0);
        Log("Lost of failed to aquire local IP address");
        if (result == TNDHCP_LOST && lease != nullptr) {
            ReportLoss(lease->address);
        } else {
            DiagEmit(DiagRecord(TNSOCK_DIAG_DHCP_STOPPED));
        }
    }
}

void* HeapRxAlloc(std::uintptr_t /*context*/, std::uint16_t length) {
    return std::malloc(length);
}

bool StartTcp(const TnSockConfig& config, std::uint32_t localAddress) {
    TnTcpConfig tcp{};
    tcp.localAddr      = localAddress;
    tcp.maxConnections = kTcpConnections;
    tcp.getTickCount   = config.getTickCount;
    tcp.isnSeed        = config.isnSeed;
    tcp.timerStart     = config.timerStart;
    tcp.timerStop      = config.timerStop;
    tcp.rxAlloc        = HeapRxAlloc;
    tcp.logText        = config.logText;
    tcp.rcvWindow      = g_tcpWindow;
    tcp.sendRingSize   = g_tcpRing != 0 ? g_tcpRing : kTcpSendRing;
    tcp.rtoMax         = kTcpRtoMaxMs;
    tcp.maxRetransmits = kTcpRetransmitLimit;
    return TnTcpInit(&tcp) == TNTCP_SUCCESS;
}

// The ISN secret: 128 bits from the host's random source, taken anew at every start.
void KeyIsns() {
    if (g_predictableIsn) {
        TnTcpSetIsnSecret(nullptr);
        return;
    }
    std::uint8_t secret[16];
    for (std::size_t i = 0; i < sizeof secret; i += 4) {
        const std::uint32_t r = SockRandom32();
        std::memcpy(secret + i, &r, 4);
    }
    TnTcpSetIsnSecret(secret);
}

bool StartIpv4(const TnSockConfig& config, std::uint32_t localAddress, std::uint32_t gateway,
               std::uint32_t mask) {
    Ipv4Config ip{};
    ip.ownAddress      = localAddress;
    ip.addressAcquired = 0;
    ip.gateway         = gateway;
    ip.subnetMask      = mask;
    ip.mac             = config.macAddress;
    ip.maxFrameSize    = kMaxFrameLen;
    ip.timerStart      = config.timerStart;
    ip.timerStop       = config.timerStop;
    ip.sendFrame       = config.sendFrame;
    ip.logText         = config.logText;
    ip.pingEvent       = config.pingEvent;
    ip.getTickCount    = config.getTickCount;
    return Ipv4Init(ip);
}

bool StartDhcp(const TnSockConfig& config) {
    TnDhcpConfig dhcp{};
    std::memcpy(dhcp.macAddress, config.macAddress, 6);
    dhcp.result     = DhcpResult;
    dhcp.timerStart = config.timerStart;
    dhcp.timerStop  = config.timerStop;
    dhcp.random     = config.random;
    dhcp.logText    = config.logText;
    return TnDhcpInit(&dhcp) == 0;
}

void StartDns(const TnSockConfig& config, std::uint32_t server) {
    TnDnsConfig dns{};
    dns.cacheCapacity = kDnsCache;
    dns.pendingLimit  = kDnsPending;
    dns.server        = server;
    dns.timerStart    = config.timerStart;
    dns.timerStop     = config.timerStop;
    TnDnsInit(&dns);
}

}  // namespace

bool SockIsInitialised() {
    return g_stack.initialised;
}

std::uint32_t SockRandom32() {
    // The callback gives 31 bits; two calls cover all 32.
    const auto high = static_cast<std::uint32_t>(g_stack.random());
    const auto low  = static_cast<std::uint32_t>(g_stack.random());
    return (high << 16) ^ low;
}

std::uint32_t SockLocalAddress() {
    return g_stack.localAddress;
}

}  // namespace tarnet

using namespace tarnet;

int TnSockInit(const TnSockConfig* config) {
    if (g_stack.initialised) {
        return TNSOCK_SUCCESS;
    }
    if (config == nullptr || config->localIp == nullptr || config->macAddress == nullptr ||
        config->timerStart == nullptr || config->timerStop == nullptr ||
        config->sendFrame == nullptr || config->dnsServer == nullptr ||
        config->statusEvent == nullptr || config->random == nullptr) {
        return TNSOCK_BAD_PARAMETER;
    }
    g_stack = StackState{};
    CountersReset();
    SockResetTable();
    g_stack.timerStart  = config->timerStart;
    g_stack.timerStop   = config->timerStop;
    g_stack.logText     = config->logText;
    g_stack.statusEvent = config->statusEvent;
    g_stack.random      = config->random;

    std::uint32_t dns = 0, local = 0, gateway = 0, mask = 0;
    if (TnSockParseAddr(config->dnsServer, &dns) == 0 ||
        TnSockParseAddr(config->localIp, &local) == 0 ||
        (config->gateway != nullptr && TnSockParseAddr(config->gateway, &gateway) == 0) ||
        (config->subnetMask != nullptr && TnSockParseAddr(config->subnetMask, &mask) == 0)) {
        return TNSOCK_BAD_PARAMETER;
    }
    g_stack.localAddress = local;

    g_stack.useDhcp = config->useDhcp;
    if (config->useDhcp != 0) {
        g_stack.addressAcquired = false;
        if (!StartDhcp(*config)) {
            return TNSOCK_GENERAL;
        }
    }
    UdpInit(local, SockDatagramInput, config->logText);
    g_stack.reserved = config->reserved;
    if (!StartTcp(*config, local)) {
        UdpDeinit();
        TnDhcpDeinit();
        return TNSOCK_LOWER_LAYER_INIT;
    }
    KeyIsns();
    if (!StartIpv4(*config, local, gateway, mask)) {
        UdpDeinit();
        TnTcpDeinit();
        TnDhcpDeinit();
        return TNSOCK_LOWER_LAYER_INIT;
    }
    StartDns(*config, dns);
    g_stack.initialised = true;
    if (config->useDhcp != 0) {
        TnDhcpStart();
    }
    return TNSOCK_SUCCESS;
}

void TnSockDeinit() {
    if (!g_stack.initialised) {
        return;
    }
    SockReleaseAll();
    TnDnsDeinit();
    TnDhcpDeinit();
    UdpDeinit();
    TnTcpDeinit();
    Ipv4Deinit();
    g_stack.initialised = false;
}

int TnSockNeighbourKnown(std::uint32_t address) {
    return g_stack.initialised && ArpKnows(address) ? 1 : 0;
}

void TnSockSetPredictableIsn(int on) {
    g_predictableIsn = on != 0;
}

const char* TnSockResultName(int code) {
    if (code < 0 || code > TNSOCK_TRANSMITTER_BUSY) {
        return "unknown";
    }
    return kResultNames[code];
}

void TnSockEndOfInput() {
    TnTcpFlushAcks();  // does nothing when TCP is not running
}

int TnSockSetTcpBuffers(std::uint32_t receiveWindow, std::uint32_t sendRing) {
    const bool windowOk = receiveWindow == 0 || (receiveWindow >= TNSOCK_TCP_WINDOW_MIN &&
                                                 receiveWindow <= TNSOCK_TCP_WINDOW_MAX);
    if (!windowOk || sendRing > TNSOCK_TCP_RING_MAX) {
        return TNSOCK_BAD_PARAMETER;
    }
    g_tcpWindow = receiveWindow;
    g_tcpRing   = sendRing;
    return TNSOCK_SUCCESS;
}
