// The library's answer to "are sessions open?", which decides whether a host keeps running its
// periodic work: yes while a session lives, no once it is released, however that happened.
#include "ftp_server.h"

namespace tarnet::test {
namespace {

TEST_F(FtpTest, OpenSessionsAreReportedUntilTheyEndEvenWithoutEvents) {
    EXPECT_EQ(TnFtpHasOpenSessions(), 0);
    TnFtpSession* s = LoggedIn();
    ASSERT_NE(s, nullptr);
    EXPECT_NE(TnFtpHasOpenSessions(), 0);
    EXPECT_EQ(TnFtpDeinit(), TNFTP_OK);  // ends the session without an event
    EXPECT_EQ(TnFtpHasOpenSessions(), 0);
}

// A host that ticks only while the library asks for it still sees every reply and time-out, and
// an idle logged-in session asks for nothing.
TEST_F(FtpTest, TicksAreAskedForOnlyWhileSomethingIsOutstanding) {
    auto lazyRun = [this](std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; t += 100) {
            Advance(100);
            if (TnFtpNeedsTick() != 0) {
                TnFtpTimerTick();
            }
            Pump();
        }
    };
    std::uint32_t timeout = 3000;
    TnFtpSetTimeout(&timeout);
    TnFtpSession* s = LoggedIn();
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(TnFtpNeedsTick(), 0);

    ASSERT_EQ(TnFtpPwd(s), TNFTP_OK);
    Pump();  // the reply arrives at once
    ASSERT_FALSE(Events().empty());
    EXPECT_EQ(TnFtpNeedsTick(), 0);
    Events().clear();

    replies["CWD"] = "";  // a server that never answers
    ASSERT_EQ(TnFtpCwd(s, "x"), TNFTP_OK);
    EXPECT_NE(TnFtpNeedsTick(), 0);
    lazyRun(3200);
    ASSERT_EQ(Events().size(), 1u);
    EXPECT_EQ(Events()[0].event, TNFTP_EV_TIMEOUT);
    EXPECT_EQ(TnFtpNeedsTick(), 0);
}

}  // namespace
}  // namespace tarnet::test
