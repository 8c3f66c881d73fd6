// The fake host every in-process driver of the stack shares (unit-test harness, fuzz targets,
// the TCP cost benchmark): a virtual millisecond clock over the host's timer pool and the
// TnSockConfig callbacks, each handing what the stack reports to a sink its user sets. The
// callbacks neither allocate nor block, so a fuzzer that restarts the stack for every input
// stays fast; what to keep (vectors, fixed arrays, nothing) is the sink's business.
//
// The stack is a single instance per process, so is its host (Get()).
#pragma once

#include <cstdint>

#include "tarnet/tnsock.h"
#include "timer_pool.h"

namespace tarnet::fakehost {

// Called for every frame the stack hands to sendFrame.
using FrameSink = void (*)(void* context, const std::uint8_t* frame, std::uint32_t length);
// Called for every text the stack logs (never null).
using LogSink = void (*)(void* context, const char* text);
// Called for every status event with its event code and data pointer.
using StatusSink = void (*)(void* context, int event, void* data);
// Called for every echo client event.
using PingSink = void (*)(void* context, int event, std::uint32_t value, std::uint32_t received);
// Returns the next value of the `random` callback.
using RandomSource = int (*)(void* context);

class FakeHost {
  public:
    static FakeHost& Get();

    // Stops every timer without running it, sets the clock to `start`, removes every sink and
    // random source and puts the generator back to its start (the LCG seeded with 1).
    void Reset(std::uint64_t start = 1'000'000);

    std::uint64_t Now() const { return now_; }
    // Moves the clock forward by `ms`, running each timer at its own deadline, in order. After
    // `maxRounds` rounds of expiries without reaching the target (a layer that re-arms
    // zero-delay timers forever) the clock jumps to the target and the call returns false.
    bool Advance(std::uint64_t ms, int maxRounds);
    // Runs the timers due at the current time.
    void RunDue() { timers.RunExpired(now_); }

    // A configuration with every host callback set (timers, frames, ticks, random, log, status,
    // ping); the caller fills in the addressing and the ISN seed.
    static TnSockConfig Config();

    void SetFrameSink(FrameSink sink, void* context);
    void SetLogSink(LogSink sink, void* context);
    void SetStatusSink(StatusSink sink, void* context);
    void SetPingSink(PingSink sink, void* context);
    // Values of the `random` callback come from `source` while one is set, else from the
    // generator: a constant, or the classic LCG (x * 1103515245 + 12345, returning x >> 1).
    void SetRandomSource(RandomSource source, void* context);
    void UseConstantRandom(int value);
    void UseLcgRandom(std::uint32_t seed);

    platform::TimerPool timers;

    // The callbacks' work, called by the extern "C" functions that Config() installs.
    int SendFrame(const std::uint8_t* frame, std::uint32_t length);
    int Random();
    int Log(const char* text);
    void Status(int event, void* data);
    void Ping(int event, std::uint32_t value, std::uint32_t received);

  private:
    template <typename Fn>
    struct Sink {
        Fn fn         = nullptr;
        void* context = nullptr;
    };

    std::uint64_t now_ = 1'000'000;
    Sink<FrameSink> frames_;
    Sink<LogSink> log_;
    Sink<StatusSink> status_;
    Sink<PingSink> ping_;
    Sink<RandomSource> random_;
    bool lcg_            = true;
    std::uint32_t state_ = 1;  // the LCG's state, or the constant
};

}  // namespace tarnet::fakehost
