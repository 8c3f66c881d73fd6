// The Qt binding: the deadline timer follows the timer pool, and the libraries' periodic work
// runs only while a session does.
#include <gtest/gtest.h>

#include <QTest>

#include "host.h"
#include "qt_loop.h"

namespace tarnet::desktop {
namespace {

int g_ran = 0;
void CountRun(std::uintptr_t) {
    ++g_ran;
}

class QtLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        platform::HostReset();
        platform::HostFillCallbacks(config);
        g_ran = 0;
    }
    void TearDown() override { platform::HostReset(); }

    TnSockConfig config{};
};

TEST_F(QtLoopTest, LibraryWorkRunsOnlyWhileASessionRuns) {
    QtLoop loop;
    int work = 0;
    loop.SetLibraryWork([&work] { ++work; });
    struct Step {
        bool start;
        bool running;
    };
    const Step steps[] = {
        {true,  true },
        {true,  true },
        {false, true },
        {false, false},
        {false, false}  /* one end too many changes nothing */,
        {true,  true }
    };
    for (const Step& s : steps) {
        s.start ? loop.SessionStarted() : loop.SessionEnded();
        EXPECT_EQ(loop.LibraryWorkRunning(), s.running);
    }
    EXPECT_TRUE(QTest::qWaitFor([&work] { return work >= 3; }, 2000)) << "runs every 2 ms";
    loop.SessionEnded();
    EXPECT_FALSE(loop.LibraryWorkRunning());
}

TEST_F(QtLoopTest, DeadlineTimerFollowsTheStackTimers) {
    QtLoop loop;
    EXPECT_FALSE(loop.DeadlineArmed()) << "nothing due: the program sleeps";
    TnTimerHandle later = config.timerStart(60000, 0, CountRun);
    EXPECT_TRUE(loop.DeadlineArmed()) << "a started timer wakes the loop";
    config.timerStop(later);
    loop.Rearm();
    EXPECT_FALSE(loop.DeadlineArmed());

    config.timerStart(0, 0, CountRun);
    EXPECT_TRUE(QTest::qWaitFor([] { return g_ran == 1; }, 2000));
    EXPECT_FALSE(loop.DeadlineArmed()) << "after the last timer ran";
}

}  // namespace
}  // namespace tarnet::desktop
