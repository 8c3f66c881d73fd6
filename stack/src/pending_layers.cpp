// TRANSITIONAL: weak fallbacks so the stack links while the TCP, DHCP and DNS modules are being
// written. Each real definition overrides its fallback; this file goes away once they all exist.
#include "socket.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tndns.h"
#include "tcp.h"

#define TN_WEAK __attribute__((weak))

TN_WEAK int  TnTcpInit(const TnTcpConfig*) { return TNTCP_SUCCESS; }
TN_WEAK void TnTcpDeinit() {}
TN_WEAK void TnTcpSetLocalAddress(const std::uint32_t*) {}
TN_WEAK void TnTcpInput(std::uint8_t*, std::uint16_t) {}
TN_WEAK int  TnDhcpInit(const TnDhcpConfig*) { return 0; }
TN_WEAK void TnDhcpDeinit() {}
TN_WEAK int  TnDhcpStart() { return 0; }
TN_WEAK int  TnDhcpStop() { return 0; }
TN_WEAK int  TnDnsInit(const TnDnsConfig*) { return TNDNS_RESOLVED; }
TN_WEAK void TnDnsSetServer(const std::uint32_t*) {}
TN_WEAK void TnDnsDeinit() {}
TN_WEAK int  TnDnsResolve(const char*, std::uint32_t*) { return TNDNS_FAILED; }
namespace tarnet {
TN_WEAK void SockTcpDetach(TnSockEndpoint*) {}
}  // namespace tarnet
