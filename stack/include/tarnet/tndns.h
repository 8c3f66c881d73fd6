// DNS stub resolver: one configured server, a small cache, a bounded number of queries in
// flight. It never calls back: a lookup answers from the cache or reports "pending", and the
// caller asks again later.
#pragma once

#include <cstdint>

#include "tarnet/tnexport.h"
#include "tarnet/tnsock.h"

TARNET_API_BEGIN

inline constexpr int TNDNS_FAILED              = 0;
inline constexpr int TNDNS_RESOLVED            = 1;
inline constexpr int TNDNS_PENDING             = 2;
inline constexpr int TNDNS_ALREADY_INITIALIZED = 3;
inline constexpr int TNDNS_NOT_INITIALIZED     = 4;
inline constexpr int TNDNS_BAD_PARAMETER       = 5;
inline constexpr int TNDNS_NO_MEMORY           = 6;

struct TnDnsConfig {
    std::uint32_t cacheCapacity;  // nonzero
    std::uint32_t pendingLimit;
    std::uint32_t server;  // host order
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
};

int TnDnsInit(const TnDnsConfig* config);
void TnDnsSetServer(const std::uint32_t* address);
void TnDnsDeinit();
// TNDNS_RESOLVED with the address from the cache; TNDNS_PENDING while a query for the name is in
// flight (asking again shares it); TNDNS_BAD_PARAMETER for a name that is not a host name (an
// empty label, a label over 63 bytes, over 253 characters without the trailing dot). How each
// lookup ended (answer, NXDOMAIN, no address, SERVFAIL, REFUSED, truncated, another RCODE, no
// answer) goes to the diagnostic hook as TNSOCK_DIAG_DNS_RESULT.
int TnDnsResolve(const char* name, std::uint32_t* address);
// How the latest ended lookup of `name` ended (a TNSOCK_DNS_... outcome), or 0 when none of the
// last few lookups to end was for this name. `*serial` (when given) gets that lookup's number,
// which grows with every lookup that ends: a caller polling TnDnsResolve notes the serial when it
// starts and stops at a failure with a different serial, which ended after it asked.
int TnDnsLastOutcome(const char* name, std::uint32_t* serial);

TARNET_API_END
