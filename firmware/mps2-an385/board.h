// The MPS2 AN385 board as the firmware sees it: the console UART, the SysTick millisecond clock
// and the Ethernet controller's register bus. QEMU's mps2-an385 machine models the same map.
#pragma once

#include <cstdint>

#include "lan9118.h"
#include "tarnet/tnsock.h"

namespace tarnet::firmware {

// Processor and peripheral clock of the board.
inline constexpr std::uint32_t kSystemClockHz = 25000000;

// Enables UART0's transmitter (115200 baud on the board; QEMU sends it to its serial port).
void ConsoleInit();
// Writes bytes to UART0, waiting while its transmit buffer is full.
void ConsoleWrite(const char* text, std::uint32_t length);

// Starts SysTick at one interrupt per millisecond.
void ClockInit();
// Milliseconds since ClockInit, 32 bits (wraps after 49 days).
std::uint32_t ClockMs();
// Milliseconds since ClockInit without wrapping; call at least once per 49 days.
std::uint64_t ClockMs64();
// SysTick's current count (25 MHz down-counter), timing jitter for the random source.
std::uint32_t ClockSubTick();

// The stack's one-shot timers on the millisecond clock (the host timer pool), and the call that
// runs those that are due, from the main loop.
TnTimerHandle TimerStart(std::uint32_t delayMs, std::uintptr_t context, TnTimerHandlerFn handler);
void TimerStop(TnTimerHandle handle);
void RunTimers();

// The memory-mapped registers of the board's LAN9118.
Lan9118Bus EthernetBus();

}  // namespace tarnet::firmware
