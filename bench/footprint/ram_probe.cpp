// The heap the stack takes at TnSockInit and per TCP connection, for scripts/footprint. Every
// allocation goes through the counting wrappers below (linked with --wrap); the stack runs on a
// host that sends its frames nowhere, so connecting only takes a control block and sends a SYN
// towards ARP.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tarnet/tnsock.h"

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* p, std::size_t size);
void __real_free(void* p);
}

namespace {

constexpr std::size_t kHeader = 16;  // keeps the caller's alignment
std::size_t g_live            = 0;

void* Track(void* block, std::size_t size) {
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    g_live += size;
    return static_cast<char*>(block) + kHeader;
}

std::size_t SizeOf(void* p) {
    std::size_t size = 0;
    std::memcpy(&size, static_cast<char*>(p) - kHeader, sizeof size);
    return size;
}

TnTimerHandle StartTimer(std::uint32_t, std::uintptr_t, TnTimerHandlerFn) {
    static int slot;
    return &slot;  // never runs: the probe looks only at what is allocated
}
void StopTimer(TnTimerHandle) {}
int SendFrame(const std::uint8_t*, std::uint32_t) {
    return 1;
}
std::uint32_t Tick() {
    return 0;
}
int Random() {
    return 4;
}
int Log(const char*) {
    return 0;
}
std::uintptr_t OnEvent(std::uintptr_t, int, void*, std::uint32_t, std::uint32_t, std::uint32_t) {
    return 0;
}

}  // namespace

extern "C" {
void* __wrap_malloc(std::size_t size) {
    return Track(__real_malloc(size + kHeader), size);
}
void* __wrap_calloc(std::size_t count, std::size_t size) {
    return Track(__real_calloc(1, count * size + kHeader), count * size);
}
void __wrap_free(void* p) {
    if (p != nullptr) {
        g_live -= SizeOf(p);
        __real_free(static_cast<char*>(p) - kHeader);
    }
}
void* __wrap_realloc(void* p, std::size_t size) {
    void* fresh = __wrap_malloc(size);
    if (p != nullptr && fresh != nullptr) {
        const std::size_t old = SizeOf(p);
        std::memcpy(fresh, p, old < size ? old : size);
        __wrap_free(p);
    }
    return fresh;
}
}

int main() {
    static const std::uint8_t mac[6] = {2, 0, 0, 0, 0, 1};
    TnSockConfig c{};
    c.macAddress   = mac;
    c.localIp      = "192.0.2.2";
    c.subnetMask   = "255.255.255.0";
    c.dnsServer    = "0.0.0.0";
    c.statusEvent  = OnEvent;
    c.timerStart   = StartTimer;
    c.timerStop    = StopTimer;
    c.sendFrame    = SendFrame;
    c.getTickCount = Tick;
    c.random       = Random;
    c.logText      = Log;
    if (TnSockInit(&c) != TNSOCK_SUCCESS) {
        return 1;
    }
    const std::size_t atInit = g_live;
    // Connections until the stack answers "no resources": each takes one control block.
    int connections = 0;
    for (; connections < 64; ++connections) {
        TnSockEndpoint* e = nullptr;
        if (TnSockTcpConnect(1, OnEvent, "192.0.2.1",
                             static_cast<std::uint16_t>(7000 + connections),
                             &e) != TNSOCK_SUCCESS) {
            break;
        }
    }
    const std::size_t connected = g_live;
    // TnSockInit allocates one control block per possible connection (send ring, reorder buffer,
    // retransmission slots); a connection's share is the init heap over their number.
    // Anything a connection allocates beyond its block is added to its share.
    const std::size_t perConnection =
        connections > 0 ? (connected - atInit) / static_cast<std::size_t>(connections) +
                              atInit / static_cast<std::size_t>(connections)
                        : 0;
    std::printf("heap_at_init %zu\nconnections %d\nheap_per_connection %zu\n", atInit, connections,
                perConnection);
    TnSockDeinit();
    return 0;
}
