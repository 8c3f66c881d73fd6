// DHCP client (RFC 2131 message flow, RFC 2132 options) and the lease it reports.
#pragma once

#include <cstdint>

#include "tarnet/tnexport.h"
#include "tarnet/tnsock.h"

TARNET_API_BEGIN

// The lease handed to the result callback and, by the stack, to statusEvent (event 5).
// Addresses are host order; times are in seconds as the server sent them.
struct TnDhcpLease {
    std::uint32_t address;
    std::uint32_t dnsServer;
    std::uint32_t router;
    std::uint32_t subnetMask;
    std::uint32_t leaseTime;
    std::uint32_t t1;
    std::uint32_t t2;
};

inline constexpr int TNDHCP_ACQUIRED = 0;  // an ACK was accepted (binding or renewal)
inline constexpr int TNDHCP_LOST     = 1;  // see below
inline constexpr int TNDHCP_REFUSED  = 2;  // the port-68 endpoint could not be opened

// (result, lease or null, 0)
// TNDHCP_LOST with a lease: the address of that lease was taken away (the lease ran out, or its
// server refused to extend it); the client goes on asking for a new one. TNDHCP_LOST without a
// lease: the first acquisition gave up, or the host stopped the client.
using TnDhcpResultFn = void (*)(int result, const TnDhcpLease* lease, std::uintptr_t unused);

struct TnDhcpConfig {
    std::uint8_t macAddress[6];
    TnDhcpResultFn result;
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnRandomFn random;
    TnLogTextFn logText;
};

// TnDhcpInit: 0 done, 1 null record, 3 already initialised.
int TnDhcpInit(const TnDhcpConfig* config);
void TnDhcpDeinit();
// 0 done, 2 not initialised.
int TnDhcpStart();
int TnDhcpStop();

TARNET_API_END
