#include "fake_host.h"

namespace tarnet::fakehost {

// The callbacks the stack calls. They have C names with one prefix so that a profiler can leave
// the host out of what it counts (bench/tcp_instructions does).
extern "C" {

TnTimerHandle tarnet_fakehost_timer_start(std::uint32_t delayMs, std::uintptr_t context,
                                          TnTimerHandlerFn handler) {
    FakeHost& host = FakeHost::Get();
    return host.timers.Start(host.Now(), delayMs, context, handler);
}

void tarnet_fakehost_timer_stop(TnTimerHandle handle) {
    FakeHost::Get().timers.Stop(handle);
}

int tarnet_fakehost_send_frame(const std::uint8_t* frame, std::uint32_t length) {
    return FakeHost::Get().SendFrame(frame, length);
}

std::uint32_t tarnet_fakehost_ticks() {
    return static_cast<std::uint32_t>(FakeHost::Get().Now());
}

int tarnet_fakehost_random() {
    return FakeHost::Get().Random();
}

int tarnet_fakehost_log(const char* text) {
    return FakeHost::Get().Log(text);
}

std::uintptr_t tarnet_fakehost_status(std::uintptr_t, int event, void* data, std::uint32_t,
                                      std::uint32_t, std::uint32_t) {
    FakeHost::Get().Status(event, data);
    return 0;
}

void tarnet_fakehost_ping(int event, std::uint32_t value, std::uint32_t received) {
    FakeHost::Get().Ping(event, value, received);
}

}  // extern "C"

FakeHost& FakeHost::Get() {
    static FakeHost host;
    return host;
}

void FakeHost::Reset(std::uint64_t start) {
    timers.Clear();
    now_    = start;
    frames_ = {};
    log_    = {};
    status_ = {};
    ping_   = {};
    random_ = {};
    UseLcgRandom(1);
}

bool FakeHost::Advance(std::uint64_t ms, int maxRounds) {
    const std::uint64_t target = now_ + ms;
    for (int round = 0; round < maxRounds; ++round) {
        const auto next = timers.NextDeadline();
        if (!next || *next > target) {
            now_ = target;
            return true;
        }
        if (*next > now_) {
            now_ = *next;
        }
        timers.RunExpired(now_);
    }
    now_ = target;
    return false;
}

TnSockConfig FakeHost::Config() {
    TnSockConfig c{};
    c.statusEvent  = tarnet_fakehost_status;
    c.timerStart   = tarnet_fakehost_timer_start;
    c.timerStop    = tarnet_fakehost_timer_stop;
    c.sendFrame    = tarnet_fakehost_send_frame;
    c.getTickCount = tarnet_fakehost_ticks;
    c.random       = tarnet_fakehost_random;
    c.logText      = tarnet_fakehost_log;
    c.pingEvent    = tarnet_fakehost_ping;
    return c;
}

void FakeHost::SetFrameSink(FrameSink sink, void* context) {
    frames_ = {sink, context};
}

void FakeHost::SetLogSink(LogSink sink, void* context) {
    log_ = {sink, context};
}

void FakeHost::SetStatusSink(StatusSink sink, void* context) {
    status_ = {sink, context};
}

void FakeHost::SetPingSink(PingSink sink, void* context) {
    ping_ = {sink, context};
}

void FakeHost::SetRandomSource(RandomSource source, void* context) {
    random_ = {source, context};
}

void FakeHost::UseConstantRandom(int value) {
    lcg_   = false;
    state_ = static_cast<std::uint32_t>(value);
}

void FakeHost::UseLcgRandom(std::uint32_t seed) {
    lcg_   = true;
    state_ = seed;
}

int FakeHost::SendFrame(const std::uint8_t* frame, std::uint32_t length) {
    if (frames_.fn != nullptr) {
        frames_.fn(frames_.context, frame, length);
    }
    return 0;
}

int FakeHost::Random() {
    if (random_.fn != nullptr) {
        return random_.fn(random_.context);
    }
    if (!lcg_) {
        return static_cast<int>(state_);
    }
    // A fixed sequence: the same run must take the same path.
    state_ = state_ * 1103515245U + 12345U;
    return static_cast<int>(state_ >> 1);
}

int FakeHost::Log(const char* text) {
    if (log_.fn != nullptr) {
        log_.fn(log_.context, text != nullptr ? text : "");
    }
    return 0;
}

void FakeHost::Status(int event, void* data) {
    if (status_.fn != nullptr) {
        status_.fn(status_.context, event, data);
    }
}

void FakeHost::Ping(int event, std::uint32_t value, std::uint32_t received) {
    if (ping_.fn != nullptr) {
        ping_.fn(ping_.context, event, value, received);
    }
}

}  // namespace tarnet::fakehost
