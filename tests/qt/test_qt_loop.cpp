// The Qt binding: the deadline timer follows the timer pool, and the libraries' periodic work
// runs only while a library has open sessions.
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

struct Library {
    bool open  = false;
    int worked = 0;
};

// The loop asks the library after every pass: sessions that end without any event stop the
// work, and an open session keeps it running (its reply time-outs) with no event at all.
TEST_F(QtLoopTest, LibraryWorkRunsWhileTheLibrarySaysItHasSessions) {
    QtLoop loop;
    Library library;
    ASSERT_TRUE(loop.AddLibrary([](void* c) { return static_cast<Library*>(c)->open; },
                                [](void* c) { ++static_cast<Library*>(c)->worked; }, &library));
    loop.Kick();
    EXPECT_FALSE(loop.LibraryWorkRunning()) << "no session: the program sleeps";

    library.open = true;
    loop.Kick();
    EXPECT_TRUE(loop.LibraryWorkRunning());
    EXPECT_TRUE(QTest::qWaitFor([&library] { return library.worked >= 5; }, 2000))
        << "runs every 2 ms without any frame or timer";
    EXPECT_TRUE(loop.LibraryWorkRunning());

    library.open = false;  // ended inside the library, no event and no call to the loop
    EXPECT_TRUE(QTest::qWaitFor([&loop] { return !loop.LibraryWorkRunning(); }, 2000));
    const int worked = library.worked;
    QTest::qWait(20);
    EXPECT_EQ(library.worked, worked) << "stopped for good";
}

// A stack session's goodbye runs passes on the spot, without Qt's loop: the stack's timers run
// until the condition holds.
TEST_F(QtLoopTest, FinishRunsPassesUntilDone) {
    QtLoop loop;
    config.timerStart(5, 0, CountRun);
    loop.Finish([](void*) { return g_ran == 1; }, nullptr, platform::MonotonicMs() + 2000);
    EXPECT_EQ(g_ran, 1);
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
