#include "host.h"

#include <sys/random.h>
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace tarnet::platform {

namespace {

struct HostState {
    Adapter* adapter         = nullptr;
    bool verbose             = false;
    TnSockEventFn status     = nullptr;
    TnPingEventFn ping       = nullptr;
    TxObserver observer      = nullptr;
    void* observerContext    = nullptr;
    RxObserver rxObserver    = nullptr;
    void* rxObserverContext  = nullptr;
    LogObserver logObserver  = nullptr;
    void* logObserverContext = nullptr;
    TimerStartHook timerHook = nullptr;
    void* timerHookContext   = nullptr;
    HostCounters counters{};
};

HostState gHost;
TimerPool gTimers;
FaultInjector gFaults;
// Received frames are copied here before the stack sees them: libpcap's buffer is read-only,
// and the layers rewrite frames in place (ARP turns a request into its reply, UDP writes its
// pseudo-header over the IPv4 header).
std::uint8_t gRxBuffer[Adapter::kSnapLength];

const std::uint64_t gStartMs = MonotonicMs();

std::uint64_t Mix(std::uint64_t& state) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z               = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z               = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

void FillRandom(void* buffer, std::size_t length) {
    auto* out = static_cast<std::uint8_t*>(buffer);
    while (length > 0) {
        const ssize_t got = getrandom(out, length, 0);
        if (got < 0) {
            if (errno == EINTR) {
                continue;
            }
            // getrandom cannot fail on any kernel this runs on (3.17 and later); should it,
            // fall back to the clock rather than to a constant.
            std::uint64_t fallback = MonotonicUs() ^ 0x5A5A5A5A5A5A5A5AULL;
            while (length > 0) {
                const std::uint64_t v = Mix(fallback);
                const std::size_t n   = length < sizeof v ? length : sizeof v;
                std::memcpy(out, &v, n);
                out += n;
                length -= n;
            }
            return;
        }
        out += got;
        length -= static_cast<std::size_t>(got);
    }
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return 0;  // not a hexadecimal digit: counts as 0 for its half
}

void VLine(const char* format, va_list args) {
    const std::uint64_t elapsed = MonotonicMs() - gStartMs;
    char line[1024];
    std::vsnprintf(line, sizeof line, format, args);
    std::fprintf(stderr, "[%5llu.%03llu] %s\n", static_cast<unsigned long long>(elapsed / 1000),
                 static_cast<unsigned long long>(elapsed % 1000), line);
}

// ---- The callbacks in TnSockConfig -------------------------------------------------------------

TnTimerHandle HostTimerStart(std::uint32_t delayMs, std::uintptr_t context,
                             TnTimerHandlerFn handler) {
    TnTimerHandle handle = gTimers.Start(MonotonicMs(), delayMs, context, handler);
    if (handle != nullptr && gHost.timerHook != nullptr) {
        gHost.timerHook(gHost.timerHookContext);
    }
    return handle;
}

void HostTimerStop(TnTimerHandle handle) {
    gTimers.Stop(handle);
}

void Pass(void*, Direction direction, const std::uint8_t* frame, std::uint32_t length);

int HostSendFrame(const std::uint8_t* frame, std::uint32_t length) {
    if (frame == nullptr) {
        return 0;
    }
    ++gHost.counters.framesSent;
    if (gHost.observer != nullptr) {
        gHost.observer(gHost.observerContext, frame, length);
    }
    if (!gFaults.Enabled()) {
        Pass(nullptr, Direction::kTx, frame, length);
        return 0;
    }
    gFaults.Submit(Direction::kTx, frame, length, MonotonicMs());
    return 0;
}

std::uint32_t HostTickCount() {
    return static_cast<std::uint32_t>(MonotonicMs());
}

// Straight from the kernel's generator: the stack's DHCP xids go out on the broadcast link, and
// a seeded generator's state could be recovered from them and then predict ports, DNS query IDs
// and ISN secrets.
int HostRandom() {
    return static_cast<int>(SecureRandom32() >> 1);  // 31 bits: never negative
}

int HostLogText(const char* text) {
    if (text != nullptr && gHost.logObserver != nullptr) {
        gHost.logObserver(gHost.logObserverContext, text);
    }
    if (gHost.verbose && text != nullptr) {
        HostLog("%s", text);
    }
    return 0;
}

std::uintptr_t HostStatusEvent(std::uintptr_t appContext, int event, void* data, std::uint32_t a,
                               std::uint32_t b, std::uint32_t c) {
    if (gHost.status != nullptr) {
        gHost.status(appContext, event, data, a, b, c);
    }
    return 0;
}

void HostPingEvent(int event, std::uint32_t value, std::uint32_t received) {
    if (gHost.ping != nullptr) {
        gHost.ping(event, value, received);
    }
}

// Where the impairment hands frames on: received ones to the stack, sent ones to the adapter.
void Pass(void*, Direction direction, const std::uint8_t* frame, std::uint32_t length) {
    if (direction == Direction::kTx) {
        if (gHost.adapter == nullptr || !gHost.adapter->IsOpen()) {
            return;
        }
        if (!gHost.adapter->Send(frame, length)) {
            ++gHost.counters.sendFailures;
            HostError("Error sending the packet: %s", gHost.adapter->LastError().c_str());
        }
        return;
    }
    if (length > sizeof gRxBuffer) {
        ++gHost.counters.oversized;
        return;
    }
    std::memcpy(gRxBuffer, frame, length);
    ++gHost.counters.framesDelivered;
    if (gHost.rxObserver != nullptr) {
        gHost.rxObserver(gHost.rxObserverContext, gRxBuffer, length);
    }
    TnSockEthernetInput(gRxBuffer, length);
}

struct FaultsInitialiser {
    FaultsInitialiser() { gFaults.Configure(FaultConfig{}, Pass, nullptr); }
};
const FaultsInitialiser gFaultsInitialiser;

}  // namespace

std::uint64_t MonotonicMs() {
    return MonotonicUs() / 1000;
}

std::uint64_t MonotonicUs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1'000'000 +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000;
}

std::uint32_t SecureRandom32() {
    std::uint32_t value = 0;
    FillRandom(&value, sizeof value);
    return value;
}

std::uint64_t SecureRandom64() {
    std::uint64_t value = 0;
    FillRandom(&value, sizeof value);
    return value;
}

bool ParseMac(std::string_view text, MacAddress& mac, std::string& error) {
    constexpr std::size_t kTextLength = 17;
    if (text.size() != kTextLength) {
        error = "'" + std::string(text) +
                "' is not a MAC address: expected 17 characters like 02:54:4e:00:00:01";
        return false;
    }
    for (std::size_t i = 0; i < mac.size(); ++i) {
        const std::size_t at = i * 3;
        mac[i] = static_cast<std::uint8_t>((HexDigit(text[at]) << 4) | HexDigit(text[at + 1]));
    }
    return true;
}

std::string FormatMac(const MacAddress& mac) {
    char text[18];
    std::snprintf(text, sizeof text, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2],
                  mac[3], mac[4], mac[5]);
    return text;
}

MacAddress DefaultStackMac(const MacAddress* interfaceMac) {
    MacAddress mac{0x02, 0x54, 0x4E, 0x00, 0x00, 0x01};
    if (interfaceMac != nullptr) {
        mac[3] = (*interfaceMac)[3];
        mac[4] = (*interfaceMac)[4];
        mac[5] = (*interfaceMac)[5];
        if (mac == *interfaceMac) {
            mac[5] ^= 0x01;  // the interface itself already uses this address
        }
    }
    return mac;
}

void HostAttachAdapter(Adapter* adapter) {
    gHost.adapter = adapter;
}
Adapter* HostAdapter() {
    return gHost.adapter;
}

void HostSetVerbose(bool verbose) {
    gHost.verbose = verbose;
}
bool HostVerbose() {
    return gHost.verbose;
}

void HostConfigureFaults(const FaultConfig& config) {
    FaultConfig effective = config;
    if (!effective.seedGiven) {
        effective.seed      = SecureRandom64() >> 1;
        effective.seedGiven = true;
    }
    gFaults.Configure(effective, Pass, nullptr);
    if (effective.Enabled()) {
        HostLog("impairing the link: %s", FormatFaultConfig(effective).c_str());
    }
}

FaultInjector& HostFaults() {
    return gFaults;
}
TimerPool& HostTimers() {
    return gTimers;
}

void HostSetTimerStartHook(TimerStartHook hook, void* context) {
    gHost.timerHook        = hook;
    gHost.timerHookContext = context;
}

void HostSetStatusHandler(TnSockEventFn handler) {
    gHost.status = handler;
}
void HostSetPingHandler(TnPingEventFn handler) {
    gHost.ping = handler;
}

void HostSetTxObserver(TxObserver observer, void* context) {
    gHost.observer        = observer;
    gHost.observerContext = context;
}

void HostSetRxObserver(RxObserver observer, void* context) {
    gHost.rxObserver        = observer;
    gHost.rxObserverContext = context;
}

void HostSetLogObserver(LogObserver observer, void* context) {
    gHost.logObserver        = observer;
    gHost.logObserverContext = context;
}

void HostFillCallbacks(TnSockConfig& config) {
    config.statusEvent  = HostStatusEvent;
    config.timerStart   = HostTimerStart;
    config.timerStop    = HostTimerStop;
    config.sendFrame    = HostSendFrame;
    config.getTickCount = HostTickCount;
    config.random       = HostRandom;
    config.logText      = HostLogText;
    config.isnSeed      = SecureRandom32();
    config.reserved     = 0;
    config.pingEvent    = HostPingEvent;
}

void HostFrameReceived(const std::uint8_t* frame, std::uint32_t length) {
    if (frame == nullptr) {
        return;
    }
    ++gHost.counters.framesReceived;
    if (!gFaults.Enabled()) {
        Pass(nullptr, Direction::kRx, frame, length);  // no impairment: no clock read, no queue
        return;
    }
    gFaults.Submit(Direction::kRx, frame, length, MonotonicMs());
}

void HostFlushTx() {
    if (gHost.adapter == nullptr || !gHost.adapter->IsOpen()) {
        return;
    }
    const int failed = gHost.adapter->Flush();
    if (failed > 0) {
        gHost.counters.sendFailures += static_cast<std::uint64_t>(failed);
        HostError("Error sending the packet: %s", gHost.adapter->LastError().c_str());
    }
}

void HostLog(const char* format, ...) {
    if (!gHost.verbose) {
        return;
    }
    va_list args;
    va_start(args, format);
    VLine(format, args);
    va_end(args);
}

void HostError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    VLine(format, args);
    va_end(args);
}

const HostCounters& HostStats() {
    return gHost.counters;
}

void HostReset() {
    gHost.adapter         = nullptr;
    gHost.status          = nullptr;
    gHost.ping            = nullptr;
    gHost.observer        = nullptr;
    gHost.observerContext = nullptr;
    gHost.rxObserver      = nullptr;
    gHost.logObserver     = nullptr;
    gHost.timerHook       = nullptr;
    gHost.counters        = {};
    gTimers.Clear();
    gFaults.Configure(FaultConfig{}, Pass, nullptr);
}

}  // namespace tarnet::platform
