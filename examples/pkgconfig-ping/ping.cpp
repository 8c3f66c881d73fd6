// A pinger on the Linux binding, built with a plain Makefile and pkg-config: it opens a capture
// adapter, starts the stack with a static address and pings one host.
//
//   ping-tarnet IFACE LOCAL-ADDRESS TARGET [COUNT]    (needs root or CAP_NET_RAW)
#include <cstdio>
#include <cstdlib>
#include <string>

#include <tarnet/linux/event_loop.h>
#include <tarnet/linux/host.h>
#include <tarnet/tnsock.h>

using namespace tarnet::platform;

namespace {

bool g_done              = false;
std::uint32_t g_received = 0;

void OnPing(int event, std::uint32_t value, std::uint32_t received) {
    if (event == TNSOCK_PING_REPLY) {
        std::printf("reply %u\n", value);
    } else if (event == TNSOCK_PING_TIMEOUT) {
        std::printf("timeout %u\n", value);
    } else if (event == TNSOCK_PING_DONE) {
        std::printf("%u sent, %u received\n", value, received);
        g_received = received;
        g_done     = true;
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4) {
        std::fprintf(stderr, "usage: ping-tarnet IFACE LOCAL-ADDRESS TARGET [COUNT]\n");
        return 2;
    }
    const std::uint32_t count = argc > 4 ? static_cast<std::uint32_t>(std::atoi(argv[4])) : 3;
    std::uint32_t target      = 0;
    if (TnSockParseAddr(argv[3], &target) != 1) {
        std::fprintf(stderr, "ping-tarnet: %s is not an address\n", argv[3]);
        return 2;
    }
    Adapter adapter;
    std::string error;
    if (!adapter.Open(argv[1], error)) {
        std::fprintf(stderr, "ping-tarnet: %s\n", error.c_str());
        return 1;
    }
    HostAttachAdapter(&adapter);
    HostSetPingHandler(OnPing);

    MacAddress own{};
    const bool hasMac    = InterfaceMac(argv[1], own);
    const MacAddress mac = DefaultStackMac(hasMac ? &own : nullptr);
    TnSockConfig config{};
    config.macAddress = mac.data();
    config.localIp    = argv[2];
    config.subnetMask = "255.255.255.0";
    config.dnsServer  = "0.0.0.0";
    HostFillCallbacks(config);  // timers, frames, clock, random bytes, log, status and ping
    if (TnSockInit(&config) != TNSOCK_SUCCESS ||
        TnSockPingStart(target, 1000, count, 56) != TNSOCK_PING_STARTED) {
        std::fprintf(stderr, "ping-tarnet: the stack did not start\n");
        return 1;
    }
    EventLoop loop(&adapter);
    loop.Run([](void*) { return g_done; }, nullptr, MonotonicMs() + count * 1100 + 2000);
    TnSockDeinit();
    adapter.Close();
    return g_received > 0 ? 0 : 1;
}
