// The host side of the stack's configuration record on Linux: the callbacks that go into
// TnSockConfig (timers on the process-wide timer pool, frame transmission through the adapter,
// a monotonic millisecond clock, random numbers from the kernel, log lines to stderr) and the
// path by which received frames reach TnSockEthernetInput.
//
// The stack is one instance per process, and so is its host: the state here is static. Both
// directions of traffic pass the fault injector, which hands frames straight through unless an
// impairment is configured.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "adapter.h"
#include "fault_injector.h"
#include "tarnet/tnsock.h"
#include "timer_pool.h"

namespace tarnet::platform {

// ---- Clock and randomness ----------------------------------------------------------------------

// Milliseconds and microseconds of CLOCK_MONOTONIC.
std::uint64_t MonotonicMs();
std::uint64_t MonotonicUs();
// Random bits from the kernel (getrandom), for seeds that must not be guessable.
std::uint32_t SecureRandom32();
std::uint64_t SecureRandom64();

// ---- MAC address text --------------------------------------------------------------------------

// Reads "aa:bb:cc:dd:ee:ff": exactly 17 characters, two hexadecimal digits (either case) at
// positions 0, 3, 6, 9, 12 and 15; the separators are not examined, and a character that is not
// a hexadecimal digit counts as 0 for its half. Any other length is refused with a reason.
bool ParseMac(std::string_view text, MacAddress& mac, std::string& error);
std::string FormatMac(const MacAddress& mac);
// A locally administered unicast address for the stack: 02:54:4e followed by the low three
// bytes of the interface's own address, or 02:54:4e:00:00:01 without one. It differs from the
// interface's address, so the interface's own kernel never takes the stack's frames for its own.
MacAddress DefaultStackMac(const MacAddress* interfaceMac);

// ---- Host state --------------------------------------------------------------------------------

// Frames the stack sends go to this adapter; null discards them (nothing is open yet).
void HostAttachAdapter(Adapter* adapter);
Adapter* HostAdapter();

// With verbose on, the stack's log lines and the host's own progress lines go to stderr.
void HostSetVerbose(bool verbose);
bool HostVerbose();

// Impairs both directions from now on. A configuration without a seed gets one from the kernel;
// the seed in use is logged so that a run can be repeated.
void HostConfigureFaults(const FaultConfig& config);
FaultInjector& HostFaults();

TimerPool& HostTimers();
// Called after every timer the stack starts, so an event loop that sleeps until the pool's next
// deadline (the Qt binding) can wake earlier for it. Null removes the hook.
using TimerStartHook = void (*)(void* context);
void HostSetTimerStartHook(TimerStartHook hook, void* context);

// Handlers the program installs for the stack's status and echo-client events (optional).
void HostSetStatusHandler(TnSockEventFn handler);
void HostSetPingHandler(TnPingEventFn handler);
// Sees every frame the stack hands to sendFrame, before any impairment.
using TxObserver = void (*)(void* context, const std::uint8_t* frame, std::uint32_t length);
void HostSetTxObserver(TxObserver observer, void* context);
// Sees every frame handed to the stack (after any impairment), just before the stack reads it.
// The frame is the stack's input buffer: the observer only reads it.
using RxObserver = TxObserver;
void HostSetRxObserver(RxObserver observer, void* context);
// Sees every line the stack writes through logText, whether or not verbose is on.
using LogObserver = void (*)(void* context, const char* text);
void HostSetLogObserver(LogObserver observer, void* context);

// Puts the host callbacks into `config`: timers, sendFrame, clock, random, logText,
// statusEvent, pingEvent, and an isnSeed from the kernel's random source (a tick count would
// let anyone who knows the boot time predict our TCP initial sequence numbers).
void HostFillCallbacks(TnSockConfig& config);

// Hands one captured frame to the stack: through the impairment, then copied into a writable
// buffer (the layers rewrite frames in place) and given to TnSockEthernetInput.
void HostFrameReceived(const std::uint8_t* frame, std::uint32_t length);

// Transmits the frames the attached adapter has queued (see Adapter::SetBatching); failures are
// counted and reported as single sends were.
void HostFlushTx();

// ---- Log ---------------------------------------------------------------------------------------

// A progress line, shown with verbose on: "[seconds.millis] text".
void HostLog(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A line shown always.
void HostError(const char* format, ...) __attribute__((format(printf, 1, 2)));

struct HostCounters {
    std::uint64_t framesReceived  = 0;  // captured frames handed in
    std::uint64_t framesDelivered = 0;  // frames given to the stack after impairment
    std::uint64_t framesSent      = 0;  // frames the stack handed to sendFrame
    std::uint64_t sendFailures    = 0;
    std::uint64_t oversized       = 0;  // captured frames too long for the input buffer
};
const HostCounters& HostStats();

// Forgets handlers, observer, impairment, counters and timers (between runs in one process).
void HostReset();

}  // namespace tarnet::platform
