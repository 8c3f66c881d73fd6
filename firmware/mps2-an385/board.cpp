#include "board.h"

#include "timer_pool.h"

namespace tarnet::firmware {

namespace {

// CMSDK APB UART0.
constexpr std::uintptr_t kUart0       = 0x40004000;
constexpr std::uint32_t kUartData     = 0x00;
constexpr std::uint32_t kUartState    = 0x04;
constexpr std::uint32_t kUartCtrl     = 0x08;
constexpr std::uint32_t kUartBaudDiv  = 0x10;
constexpr std::uint32_t kUartTxFull   = 1u << 0;
constexpr std::uint32_t kUartTxEnable = 1u << 0;
constexpr std::uint32_t kConsoleBaud  = 115200;

// SysTick in the system control space.
constexpr std::uintptr_t kSysTickCtrl   = 0xE000E010;
constexpr std::uintptr_t kSysTickReload = 0xE000E014;
constexpr std::uintptr_t kSysTickValue  = 0xE000E018;
// Enable, interrupt on reaching zero, count the processor clock.
constexpr std::uint32_t kSysTickStart = 0x7;

// The Ethernet controller's registers on the static memory bus.
constexpr std::uintptr_t kLan9118 = 0x40200000;

volatile std::uint32_t& Reg(std::uintptr_t address) {
    return *reinterpret_cast<volatile std::uint32_t*>(address);
}

platform::TimerPool g_timers;
volatile std::uint32_t g_ms = 0;
std::uint32_t g_lastMs      = 0;
std::uint64_t g_highMs      = 0;

std::uint32_t BusRead(std::uintptr_t base, std::uint32_t offset) {
    return Reg(base + offset);
}

void BusWrite(std::uintptr_t base, std::uint32_t offset, std::uint32_t value) {
    Reg(base + offset) = value;
}

}  // namespace

void ConsoleInit() {
    Reg(kUart0 + kUartBaudDiv) = kSystemClockHz / kConsoleBaud;
    Reg(kUart0 + kUartCtrl)    = kUartTxEnable;
}

void ConsoleWrite(const char* text, std::uint32_t length) {
    for (std::uint32_t i = 0; i < length; ++i) {
        while ((Reg(kUart0 + kUartState) & kUartTxFull) != 0) {
        }
        Reg(kUart0 + kUartData) = static_cast<std::uint8_t>(text[i]);
    }
}

void ClockInit() {
    Reg(kSysTickReload) = kSystemClockHz / 1000 - 1;
    Reg(kSysTickValue)  = 0;
    Reg(kSysTickCtrl)   = kSysTickStart;
}

std::uint32_t ClockMs() {
    return g_ms;
}

std::uint64_t ClockMs64() {
    const std::uint32_t now = g_ms;
    g_highMs += static_cast<std::uint32_t>(now - g_lastMs);
    g_lastMs = now;
    return g_highMs;
}

std::uint32_t ClockSubTick() {
    return Reg(kSysTickValue);
}

TnTimerHandle TimerStart(std::uint32_t delayMs, std::uintptr_t context, TnTimerHandlerFn handler) {
    return g_timers.Start(ClockMs64(), delayMs, context, handler);
}

void TimerStop(TnTimerHandle handle) {
    g_timers.Stop(handle);
}

void RunTimers() {
    g_timers.RunExpired(ClockMs64());
}

Lan9118Bus EthernetBus() {
    return Lan9118Bus{BusRead, BusWrite, kLan9118};
}

}  // namespace tarnet::firmware

// The only interrupt the firmware takes: one millisecond passed. A single aligned word store is
// atomic on the Cortex-M3, so the main loop reads the count without masking interrupts.
extern "C" void SysTick_Handler() {
    tarnet::firmware::g_ms = tarnet::firmware::g_ms + 1;
}
