// The smallest complete host of the Tarnet stack: one Linux TAP device, one loop, and the
// configuration record's callbacks, nothing else. It answers ping and echoes UDP and TCP on
// port 7 (RFC 862).
//
//   ip tuntap add tnt0 mode tap && ip addr add 192.0.2.1/24 dev tnt0 && ip link set tnt0 up
//   minimal-host tnt0 192.0.2.2        (or: minimal-host tnt0 dhcp)
//   ping 192.0.2.2
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>

#include <tarnet/tndhcp.h>
#include <tarnet/tnsock.h>

namespace {

int g_tap                         = -1;
volatile std::sig_atomic_t g_stop = 0;

// ---- Frames: the TAP device carries whole Ethernet frames, one per read or write -----------
int SendFrame(const std::uint8_t* frame, std::uint32_t length) {
    return write(g_tap, frame, length) == static_cast<ssize_t>(length) ? 1 : 0;
}

bool OpenTap(const char* name) {
    g_tap = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    ifreq request{};
    request.ifr_flags = IFF_TAP | IFF_NO_PI;  // frames without the packet-information prefix
    std::strncpy(request.ifr_name, name, IFNAMSIZ - 1);
    return g_tap >= 0 && ioctl(g_tap, TUNSETIFF, &request) == 0;
}

// ---- Clock, random bytes, log ------------------------------------------------------------
std::uint32_t NowMs() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::uint32_t>(t.tv_sec * 1000 + t.tv_nsec / 1000000);
}
int Random() {
    static std::uint32_t state = NowMs() | 1;  // xorshift: good enough for ports and XIDs
    state ^= state << 13, state ^= state >> 17, state ^= state << 5;
    return static_cast<int>(state & 0x7FFFFFFF);
}
int Log(const char* text) {
    return std::fprintf(stderr, "%s\n", text);
}

// ---- One-shot timers: a fixed table; the loop runs the expired ones ----------------------
struct Timer {
    bool armed;
    std::uint32_t due;
    std::uintptr_t context;
    TnTimerHandlerFn handler;
};
Timer g_timers[128];

TnTimerHandle StartTimer(std::uint32_t delayMs, std::uintptr_t context, TnTimerHandlerFn fn) {
    for (Timer& t : g_timers) {
        if (!t.armed) {
            t = {true, NowMs() + delayMs, context, fn};
            return &t;
        }
    }
    return nullptr;  // the stack treats a refused timer as "no resources"
}
void StopTimer(TnTimerHandle handle) {
    static_cast<Timer*>(handle)->armed = false;
}

// Runs due timers; returns the milliseconds until the next one (at most 100).
int RunTimers() {
    int wait = 100;
    for (Timer& t : g_timers) {
        const auto left = static_cast<std::int32_t>(t.due - NowMs());
        if (t.armed && left <= 0) {
            t.armed = false;  // the handle is invalid once its handler runs
            t.handler(t.context);
        } else if (t.armed && left < wait) {
            wait = left;
        }
    }
    return wait;
}

// ---- Echo: what arrives goes back; a connection whose backlog grows is paused ------------
struct Echo {
    TnSockEndpoint* endpoint;
    std::uint8_t backlog[16384];
    std::uint32_t length;
    bool paused;
};
Echo g_echo[4];

void Drain(Echo& e) {
    std::uint32_t taken = 0;
    if (e.length > 0 && TnSockTcpSend(e.endpoint, e.backlog, e.length, &taken) == TNSOCK_SUCCESS) {
        std::memmove(e.backlog, e.backlog + taken, e.length - taken);
        e.length -= taken;
    }
    const bool pause = e.length > 4096 || (e.paused && e.length > 1024);
    if (pause != e.paused) {
        e.paused = pause;
        TnSockTcpPauseReceive(e.endpoint, pause ? 1 : 0);  // resuming may deliver data here
    }
}

std::uintptr_t OnTcp(std::uintptr_t context, int event, void* data, std::uint32_t a, std::uint32_t,
                     std::uint32_t) {
    Echo* e = reinterpret_cast<Echo*>(context);
    if (event == TNSOCK_EVENT_INCOMING) {
        for (Echo& slot : g_echo) {
            if (slot.endpoint == nullptr) {
                slot          = {};
                slot.endpoint = static_cast<TnSockEndpoint*>(data);
                return reinterpret_cast<std::uintptr_t>(&slot);
            }
        }
        return 0;  // all slots busy: refused
    } else if (event == TNSOCK_EVENT_DATA && e != nullptr) {
        if (a > sizeof e->backlog - e->length) {
            TnSockTcpReset(e->endpoint);  // cannot happen while pausing works; never overrun
            e->endpoint = nullptr;
            return 0;
        }
        std::memcpy(e->backlog + e->length, data, a);
        e->length += a;
        Drain(*e);
    } else if (event == TNSOCK_EVENT_CLOSED && e != nullptr) {
        e->endpoint = nullptr;  // the stack has released the endpoint; its FIN follows our data
    }
    return 0;
}

TnSockEndpoint* g_udp = nullptr;

std::uintptr_t OnUdp(std::uintptr_t, int event, void* data, std::uint32_t length,
                     std::uint32_t port, std::uint32_t address) {
    if (event == TNSOCK_EVENT_DATA) {
        TnSockUdpSendto(g_udp, address, static_cast<std::uint16_t>(port),
                        static_cast<const std::uint8_t*>(data), length);
    }
    return 0;
}

std::uintptr_t OnStatus(std::uintptr_t, int event, void* data, std::uint32_t, std::uint32_t,
                        std::uint32_t) {
    if (event == TNSOCK_EVENT_ADDRESS) {
        char text[16];
        TnSockFormatAddr(static_cast<const TnDhcpLease*>(data)->address, text);
        std::printf("leased %s\n", text);
        std::fflush(stdout);
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: minimal-host TAP-DEVICE ADDRESS|dhcp\n");
        return 2;
    }
    if (!OpenTap(argv[1])) {
        std::perror("minimal-host: /dev/net/tun");
        return 1;
    }
    std::signal(SIGINT, [](int) { g_stop = 1; });
    std::signal(SIGTERM, [](int) { g_stop = 1; });

    static const std::uint8_t mac[6] = {0x02, 0x54, 0x4E,
                                        0x00, 0x00, 0x07};  // locally administered
    const bool dhcp                  = std::strcmp(argv[2], "dhcp") == 0;
    TnSockConfig config{};
    config.macAddress        = mac;
    config.useDhcp           = dhcp ? 1 : 0;
    config.localIp           = dhcp ? "0.0.0.0" : argv[2];
    config.subnetMask        = "255.255.255.0";
    config.dnsServer         = "0.0.0.0";
    config.statusEvent       = OnStatus;
    config.timerStart        = StartTimer;
    config.timerStop         = StopTimer;
    config.sendFrame         = SendFrame;
    config.getTickCount      = NowMs;
    config.random            = Random;
    config.logText           = Log;
    config.isnSeed           = static_cast<std::uint32_t>(Random());
    TnSockEndpoint* listener = nullptr;
    if (TnSockInit(&config) != TNSOCK_SUCCESS ||
        TnSockUdpOpen(0, OnUdp, 7, &g_udp) != TNSOCK_SUCCESS ||
        TnSockTcpListen(7, 0, OnTcp, &listener) != TNSOCK_SUCCESS) {
        std::fprintf(stderr, "minimal-host: the stack did not start\n");
        return 1;
    }
    std::printf("up on %s\n", argv[1]);
    std::fflush(stdout);

    // The loop: wait for a frame or the next timer, hand in every waiting frame, tell the
    // stack the batch ended, run due timers, push echo backlogs.
    static std::uint8_t frame[1518];
    while (!g_stop) {
        bool backlog = false;
        for (const Echo& e : g_echo) {
            backlog = backlog || (e.endpoint != nullptr && e.length > 0);
        }
        pollfd p{g_tap, POLLIN, 0};
        poll(&p, 1, backlog ? 1 : RunTimers());
        for (int i = 0; i < 64; ++i) {
            const ssize_t n = read(g_tap, frame, sizeof frame);
            if (n <= 0) {
                break;
            }
            TnSockEthernetInput(frame, static_cast<std::uint32_t>(n));
        }
        TnSockEndOfInput();
        RunTimers();
        for (Echo& e : g_echo) {
            if (e.endpoint != nullptr) {
                Drain(e);
            }
        }
    }
    TnSockDeinit();
    close(g_tap);
    return 0;
}
