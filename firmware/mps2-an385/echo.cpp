#include "echo.h"

#include <cstdint>
#include <cstring>

#include "startup.h"
#include "syscalls.h"
#include "tarnet/tnsock.h"

namespace tarnet::firmware {
namespace {

constexpr std::uint16_t kEchoPort = 7;
constexpr int kConnections        = 4;
// Received bytes the send ring could not take yet. While any wait, the connection's receiving
// is paused, so at most one receive window (4096 bytes by default) arrives on top of them.
constexpr std::uint32_t kBacklog = 8192;

struct Connection {
    TnSockEndpoint* endpoint = nullptr;
    std::uint32_t remote     = 0;
    std::uint16_t port       = 0;
    bool paused              = false;
    std::uint32_t held       = 0;
    std::uint32_t echoed     = 0;
    std::uint8_t backlog[kBacklog];
};

PrintFn g_print            = nullptr;
TnSockEndpoint* g_udp      = nullptr;
TnSockEndpoint* g_listener = nullptr;
Connection g_connections[kConnections];

std::uintptr_t OnUdp(std::uintptr_t, int event, void* data, std::uint32_t length,
                     std::uint32_t port, std::uint32_t address) {
    if (event == TNSOCK_EVENT_DATA && g_udp != nullptr) {
        TnSockUdpSendto(g_udp, address, static_cast<std::uint16_t>(port),
                        static_cast<const std::uint8_t*>(data), length);
    }
    return 0;
}

// Hands the held bytes to the stack as far as its send ring takes them.
void Flush(Connection& c) {
    while (c.held > 0 && c.endpoint != nullptr) {
        std::uint32_t taken = 0;
        if (TnSockTcpSend(c.endpoint, c.backlog, c.held, &taken) != TNSOCK_SUCCESS || taken == 0) {
            return;
        }
        std::memmove(c.backlog, c.backlog + taken, c.held - taken);
        c.held -= taken;
        c.echoed += taken;
    }
}

void Report(const Connection& c, const char* how) {
    char ip[16];
    TnSockFormatAddr(c.remote, ip);
    // The console's printf (newlib-nano) has no 64-bit conversions: counts go as 32 bits.
    g_print("echo: tcp %s:%u %s, %lu bytes echoed; heap high-water %lu, stack high-water %lu", ip,
            static_cast<unsigned>(c.port), how, static_cast<unsigned long>(c.echoed),
            static_cast<unsigned long>(HeapHighWater()),
            static_cast<unsigned long>(StackHighWater()));
}

void OnData(Connection& c, const void* data, std::uint32_t length) {
    if (length > kBacklog - c.held) {
        // Cannot happen while receiving pauses with bytes held; if it does, cutting the stream
        // is honest where dropping bytes would not be.
        Report(c, "reset: backlog full");
        TnSockTcpReset(c.endpoint);
        c.endpoint = nullptr;
        return;
    }
    std::memcpy(c.backlog + c.held, data, length);
    c.held += length;
    Flush(c);
    if (c.held > 0 && !c.paused && c.endpoint != nullptr) {
        c.paused = TnSockTcpPauseReceive(c.endpoint, 1) == TNSOCK_SUCCESS;
    }
}

std::uintptr_t Accept(TnSockEndpoint* endpoint, std::uint32_t port, std::uint32_t address) {
    for (int i = 0; i < kConnections; ++i) {
        Connection& c = g_connections[i];
        if (c.endpoint == nullptr) {
            c.endpoint = endpoint;
            c.remote   = address;
            c.port     = static_cast<std::uint16_t>(port);
            c.paused   = false;
            c.held     = 0;
            c.echoed   = 0;
            return static_cast<std::uintptr_t>(i + 1);
        }
    }
    return 0;  // refused: every slot is busy
}

std::uintptr_t OnTcp(std::uintptr_t context, int event, void* data, std::uint32_t a,
                     std::uint32_t b, std::uint32_t) {
    if (event == TNSOCK_EVENT_INCOMING) {
        return Accept(static_cast<TnSockEndpoint*>(data), a, b);
    }
    if (context == 0 || context > kConnections) {
        return 0;
    }
    Connection& c = g_connections[context - 1];
    if (event == TNSOCK_EVENT_DATA && c.endpoint != nullptr) {
        OnData(c, data, a);
    } else if (event == TNSOCK_EVENT_CLOSED) {
        // The stack releases the endpoint after this event.
        c.endpoint = nullptr;
        Report(c, "closed");
    }
    return 0;
}

}  // namespace

int EchoStart(PrintFn print) {
    g_print = print;
    if (TnSockUdpOpen(0, OnUdp, kEchoPort, &g_udp) != TNSOCK_SUCCESS) {
        g_print("echo: cannot open udp port %u", static_cast<unsigned>(kEchoPort));
        return -1;
    }
    if (TnSockTcpListen(kEchoPort, 0, OnTcp, &g_listener) != TNSOCK_SUCCESS) {
        g_print("echo: cannot listen on tcp port %u", static_cast<unsigned>(kEchoPort));
        return -1;
    }
    return 0;
}

void EchoPoll() {
    for (Connection& c : g_connections) {
        if (c.endpoint == nullptr) {
            continue;
        }
        Flush(c);
        if (c.held == 0 && c.paused) {
            // Resuming delivers what the stack kept from inside the call (through OnData, which
            // pauses again if the send ring fills).
            c.paused = false;
            if (TnSockTcpPauseReceive(c.endpoint, 0) != TNSOCK_SUCCESS) {
                c.paused = c.endpoint != nullptr;
            }
        }
    }
}

}  // namespace tarnet::firmware
