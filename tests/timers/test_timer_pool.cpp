// The host's timer pool: a full pool refuses, a handle goes stale once its timer has run or been
// stopped, and a stale handle never touches the timer that reuses its slot.
#include <gtest/gtest.h>

#include <vector>

#include "timer_pool.h"

namespace tarnet::platform {
namespace {

std::vector<std::uintptr_t> gRan;

void Record(std::uintptr_t context) {
    gRan.push_back(context);
}

TEST(TimerPool, The257thStartIsRefusedUntilASlotIsFree) {
    TimerPool pool;
    std::vector<TnTimerHandle> handles;
    for (std::size_t i = 0; i < TimerPool::kSlots; ++i) {
        handles.push_back(pool.Start(0, 10, i, Record));
        ASSERT_NE(handles.back(), nullptr) << i;
    }
    EXPECT_EQ(pool.Start(0, 10, 999, Record), nullptr);
    pool.Stop(handles[17]);
    EXPECT_NE(pool.Start(0, 10, 999, Record), nullptr);
    EXPECT_EQ(pool.ActiveCount(), TimerPool::kSlots);
}

TEST(TimerPool, AStaleHandleLeavesTheSlotsNextTimerAlone) {
    TimerPool pool;
    gRan.clear();
    const TnTimerHandle first = pool.Start(0, 5, 1, Record);
    EXPECT_EQ(pool.RunExpired(5), 1u);  // the first timer ran: its handle is stale now
    const TnTimerHandle second = pool.Start(5, 5, 2, Record);
    ASSERT_NE(second, nullptr);
    pool.Stop(first);  // must not stop the timer that took the slot
    EXPECT_EQ(pool.RunExpired(10), 1u);
    EXPECT_EQ(gRan, (std::vector<std::uintptr_t>{1, 2}));

    const TnTimerHandle third = pool.Start(10, 5, 3, Record);
    pool.Stop(third);
    pool.Stop(third);  // stopping twice is harmless
    EXPECT_EQ(pool.RunExpired(100), 0u);
    EXPECT_EQ(pool.ActiveCount(), 0u);
}

// A slot reused more often than a 32-bit handle can count generations still matches its
// current handle, so the timer on it can be stopped.
TEST(TimerPool, AHandleStaysValidAfterItsSlotWasReusedManyTimes) {
    TimerPool pool;
    gRan.clear();
    for (std::uint32_t i = 0; i < 70000; ++i) {
        pool.Stop(pool.Start(0, 5, i, Record));
    }
    const TnTimerHandle last = pool.Start(0, 5, 1, Record);
    pool.Stop(last);
    EXPECT_EQ(pool.ActiveCount(), 0u);
    EXPECT_EQ(pool.RunExpired(100), 0u);
    EXPECT_TRUE(gRan.empty());
}

// The earliest deadline is kept across starts, stops and runs, so the loop's question costs no
// scan: after each step it names the deadline of the earliest timer still running.
TEST(TimerPool, NextDeadlineFollowsStartsStopsAndRuns) {
    TimerPool pool;
    gRan.clear();
    EXPECT_EQ(pool.NextDeadline(), std::nullopt);
    const TnTimerHandle at30 = pool.Start(0, 30, 30, Record);
    EXPECT_EQ(pool.NextDeadline(), 30u);
    const TnTimerHandle at10 = pool.Start(0, 10, 10, Record);
    pool.Start(0, 20, 20, Record);
    EXPECT_EQ(pool.NextDeadline(), 10u);
    pool.Stop(at10);
    EXPECT_EQ(pool.NextDeadline(), 20u) << "the earliest stopped";
    pool.Stop(at30);
    EXPECT_EQ(pool.NextDeadline(), 20u) << "a later one stopped";
    EXPECT_EQ(pool.RunExpired(19), 0u);
    EXPECT_EQ(pool.RunExpired(20), 1u);
    EXPECT_EQ(pool.NextDeadline(), std::nullopt);
    pool.Start(20, 5, 25, Record);
    EXPECT_EQ(pool.NextDeadline(), 25u);
    pool.Clear();
    EXPECT_EQ(pool.NextDeadline(), std::nullopt);
    EXPECT_EQ(gRan, (std::vector<std::uintptr_t>{20}));
}

}  // namespace
}  // namespace tarnet::platform
