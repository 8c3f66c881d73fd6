// Firmware for the MPS2 AN385 board: brings up the Ethernet controller, starts the stack with an
// address from DHCP, answers ping, and echoes UDP and TCP on port 7; the full image then fetches
// a file by FTP and mails a report (fetch.h). The console shows each step.
//
// One loop, no interrupts but the millisecond tick: take the frames that wait in the controller,
// tell the stack the batch ended, run the timers that are due, send what the echo holds back.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "board.h"
#include "echo.h"
#include "entropy.h"
#if TARNET_FIRMWARE_FETCH
#include "fetch.h"
#endif
#include "lan9118.h"
#include "startup.h"
#include "syscalls.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"

namespace tarnet::firmware {
namespace {

// Frames taken from the controller per pass before the stack is told the batch ended.
constexpr int kFramesPerPass = 32;
// Used when the controller loaded no valid address (no EEPROM): locally administered.
constexpr std::uint8_t kFallbackMac[6] = {0x02, 0x54, 0x4E, 0x00, 0x03, 0x85};

Lan9118 g_eth{EthernetBus()};
Entropy g_entropy;
std::uint8_t g_rxFrame[Lan9118::kMaxFrame + 2] __attribute__((aligned(4)));
bool g_addressed = false;

// Powered-up RAM contents, read once to seed the random source.
__attribute__((section(".noinit"))) std::uint32_t g_noise[64];

void Print(const char* format, ...) __attribute__((format(printf, 1, 2)));

void Print(const char* format, ...) {
    char line[160];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n <= 0) {
        return;
    }
    std::uint32_t length = static_cast<std::uint32_t>(n) < sizeof line - 2
                               ? static_cast<std::uint32_t>(n)
                               : static_cast<std::uint32_t>(sizeof line - 2);
    line[length++]       = '\n';
    ConsoleWrite(line, length);
}

const char* Addr(std::uint32_t address, char* buffer) {
    TnSockFormatAddr(address, buffer);
    return buffer;
}

// ---- The stack's callbacks ---------------------------------------------------------------

int SendFrame(const std::uint8_t* frame, std::uint32_t length) {
    return g_eth.Send(frame, length) == Lan9118Result::kOk ? 1 : 0;
}

std::uint32_t TickCount() {
    return ClockMs();
}

int Random() {
    return static_cast<int>(g_entropy.Next(ClockSubTick()) & 0x7FFFFFFFu);
}

// The stack's diagnostic lines are left off the console: at one per segment they would cost
// more time on the UART than the segments themselves.
int LogText(const char*) {
    return 1;
}

void ReportMemory(const char* when) {
    Print("memory %s: heap high-water %lu of %lu bytes, stack high-water %lu of %lu bytes", when,
          static_cast<unsigned long>(HeapHighWater()), static_cast<unsigned long>(HeapSize()),
          static_cast<unsigned long>(StackHighWater()), static_cast<unsigned long>(StackSize()));
}

std::uintptr_t StatusEvent(std::uintptr_t, int event, void* data, std::uint32_t a, std::uint32_t,
                           std::uint32_t) {
    char ip[16];
    char router[16];
    char dns[16];
    if (event == TNSOCK_EVENT_ADDRESS && data != nullptr) {
        const auto* lease = static_cast<const TnDhcpLease*>(data);
        Print("dhcp: address %s, router %s, dns %s, lease %lu s", Addr(lease->address, ip),
              Addr(lease->router, router), Addr(lease->dnsServer, dns),
              static_cast<unsigned long>(lease->leaseTime));
        if (!g_addressed) {
            g_addressed = true;
            if (EchoStart(Print) == 0) {
                Print("echo: udp and tcp port 7 open");
            }
            ReportMemory("after start");
#if TARNET_FIRMWARE_FETCH
            FetchStart(Print, lease->address);
#endif
        }
    } else if (event == TNSOCK_EVENT_ADDRESS_LOST) {
        Print("dhcp: address %s lost, asking again", Addr(a, ip));
    }
    return 0;
}

// ---- Bring-up ------------------------------------------------------------------------------

bool UsableMac(const std::uint8_t* mac) {
    static constexpr std::uint8_t kZero[6] = {};
    // Not all zero, not a group address.
    return std::memcmp(mac, kZero, sizeof kZero) != 0 && (mac[0] & 1u) == 0;
}

bool StartEthernet() {
    const Lan9118Result r = g_eth.Init();
    if (r != Lan9118Result::kOk) {
        Print("lan9118: bring-up failed (%d)", static_cast<int>(r));
        return false;
    }
    if (!UsableMac(g_eth.Mac()) && g_eth.SetMac(kFallbackMac) != Lan9118Result::kOk) {
        Print("lan9118: cannot set the MAC address");
        return false;
    }
    const std::uint8_t* m = g_eth.Mac();
    Print("lan9118: id %08lx, mac %02x:%02x:%02x:%02x:%02x:%02x",
          static_cast<unsigned long>(g_eth.Id()), m[0], m[1], m[2], m[3], m[4], m[5]);
    const std::uint32_t since = ClockMs();
    while (!g_eth.LinkUp()) {
        if (ClockMs() - since > 5000) {
            Print("lan9118: no link after 5 s");
            return false;
        }
    }
    Print("lan9118: link up");
    return true;
}

void SeedRandom() {
    g_entropy.Mix(g_noise, sizeof g_noise);
    g_entropy.Mix(g_eth.Mac(), 6);
    g_entropy.Mix(g_eth.FreeRunningCount());
    g_entropy.Mix(ClockSubTick());
}

bool StartStack() {
    TnSockConfig config{};
    config.macAddress   = g_eth.Mac();
    config.useDhcp      = 1;
    config.localIp      = "0.0.0.0";
    config.dnsServer    = "0.0.0.0";
    config.statusEvent  = StatusEvent;
    config.timerStart   = TimerStart;
    config.timerStop    = TimerStop;
    config.sendFrame    = SendFrame;
    config.getTickCount = TickCount;
    config.random       = Random;
    config.logText      = LogText;
    config.isnSeed      = g_entropy.Next(ClockSubTick());
    const int r         = TnSockInit(&config);
    if (r != TNSOCK_SUCCESS) {
        Print("stack: start failed: %s", TnSockResultName(r));
        ReportMemory("at the failure");
        return false;
    }
    Print("stack: started, asking for an address by DHCP");
    return true;
}

void RunLoop() {
    for (;;) {
        int frames = 0;
        while (frames < kFramesPerPass) {
            const std::uint32_t length = g_eth.Receive(g_rxFrame, sizeof g_rxFrame);
            if (length == 0) {
                break;
            }
            TnSockEthernetInput(g_rxFrame, length);
            ++frames;
        }
        if (frames > 0) {
            TnSockEndOfInput();
        }
        RunTimers();
        EchoPoll();
#if TARNET_FIRMWARE_FETCH
        FetchPoll();
#endif
    }
}

}  // namespace
}  // namespace tarnet::firmware

int main() {
    using namespace tarnet::firmware;
    ConsoleInit();
    ClockInit();
    Print("tarnet firmware, mps2-an385 (Cortex-M3)");
    if (!StartEthernet()) {
        return 1;
    }
    SeedRandom();
    if (!StartStack()) {
        return 1;
    }
    RunLoop();
}
