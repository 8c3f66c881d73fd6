// The heap the stack takes at TnSockInit and with two TCP connections open, and what one
// connection's control block is made of, for scripts/footprint. Every allocation goes through
// the counting wrappers below (linked with --wrap); the stack runs on a host that sends its
// frames nowhere, so connecting only takes a control block and sends a SYN towards ARP.
//
// Built for x86-64 and run there, and built for the Cortex-M3 with the MPS2 AN385 firmware's
// start-up code and run in QEMU: there the lines go out through semihosting, and the allocator's
// own bookkeeping (newlib's chunk headers and rounding) is measured as well.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "socket.h"
#include "tarnet/tnsock.h"
#include "tcp_internal.h"

#if defined(__arm__)
#include <malloc.h>
#endif

extern "C" {
void* __real_malloc(std::size_t size);
void* __real_calloc(std::size_t count, std::size_t size);
void* __real_realloc(void* p, std::size_t size);
void __real_free(void* p);
}

namespace {

constexpr std::size_t kHeader = 16;  // keeps the caller's alignment
std::size_t g_live            = 0;   // bytes the stack asked for and holds
std::size_t g_chunks          = 0;   // allocations it holds

void* Track(void* block, std::size_t size) {
    if (block == nullptr) {
        return nullptr;
    }
    std::memcpy(block, &size, sizeof size);
    g_live += size;
    ++g_chunks;
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

#if defined(__arm__)
// ARM semihosting (QEMU's -semihosting): operation in r0, its argument in r1.
int Semihost(int operation, const void* argument) {
    register int r0 asm("r0")         = operation;
    register const void* r1 asm("r1") = argument;
    asm volatile("bkpt 0xab" : "+r"(r0) : "r"(r1) : "memory");
    return r0;
}
// The heap the allocator has handed out, its chunk headers and rounding included, less the
// probe's own headers.
std::size_t AllocatorInUse() {
    return static_cast<std::size_t>(mallinfo().uordblks) - g_chunks * kHeader;
}
#else
std::size_t AllocatorInUse() {
    return g_live;
}
#endif

void Line(const char* name, std::size_t value) {
    char text[64];
    std::snprintf(text, sizeof text, "%s %lu\n", name, static_cast<unsigned long>(value));
#if defined(__arm__)
    Semihost(0x04, text);  // SYS_WRITE0
#else
    std::fputs(text, stdout);
#endif
}

TnSockEndpoint* Connect(std::uint16_t port) {
    TnSockEndpoint* e = nullptr;
    return TnSockTcpConnect(1, OnEvent, "192.0.2.1", port, &e) == TNSOCK_SUCCESS ? e : nullptr;
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
        --g_chunks;
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
#if defined(__arm__)
// The firmware's start-up code and C library hooks expect these from the board.
void SysTick_Handler() {}
#endif
}

#if defined(__arm__)
namespace tarnet::firmware {
void ConsoleWrite(const char*, std::uint32_t) {}
}  // namespace tarnet::firmware
#endif

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
    const std::size_t atInit      = g_live;
    const std::size_t atInitInUse = AllocatorInUse();
    TnSockEndpoint* first         = Connect(7000);
    TnSockEndpoint* second        = Connect(7001);
    if (first == nullptr || second == nullptr) {
        return 1;
    }
    const std::size_t two      = g_live;
    const std::size_t twoInUse = AllocatorInUse();
    // More connections until the stack answers "no resources".
    int connections = 2;
    while (connections < 64 && Connect(static_cast<std::uint16_t>(7000 + connections))) {
        ++connections;
    }
    const TcpControlBlock& b = *first->connection;
    Line("heap_at_init", atInit);
    Line("heap_two_connections", two);
    Line("allocator_at_init", atInitInUse);
    Line("allocator_two_connections", twoInUse);
    Line("connections", static_cast<std::size_t>(connections));
    Line("tcp_block", sizeof(TcpControlBlock));
    Line("tcp_send_ring", static_cast<std::size_t>(b.sendRing.capacity));
    Line("tcp_reorder", b.reorder.capacity);
    Line("tcp_rtx_slots", static_cast<std::size_t>(b.rtxCapacity));
    Line("tcp_rtx_slot_bytes", sizeof(TcpRetransmitSlot) + kTcpSlotBytes);
    Line("tcp_buffers_on_open", TARNET_TCP_BUFFERS_ON_OPEN);
    TnSockDeinit();
    Line("heap_after_deinit", g_live);
#if defined(__arm__)
    // SYS_EXIT with ADP_Stopped_ApplicationExit: QEMU ends.
    Semihost(0x18, reinterpret_cast<const void*>(0x20026));
#endif
    return 0;
}
