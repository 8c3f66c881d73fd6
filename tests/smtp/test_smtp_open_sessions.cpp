// The library's answer to "are sessions open?", which decides whether a host keeps running its
// periodic work: yes from the start of a mail until its end, however the session ended.
#include "smtp_fixture.h"

namespace tarnet::test {
namespace {

TEST_F(SmtpTest, OpenSessionsAreReportedUntilTheyEndEvenWithoutEvents) {
    EXPECT_EQ(TnSmtpHasOpenSessions(), 0);
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    EXPECT_NE(TnSmtpHasOpenSessions(), 0);
    RunTo(static_cast<int>(kDialogue.size()));
    EXPECT_EQ(Last().event, TNSMTP_EV_COMPLETE);
    EXPECT_EQ(TnSmtpHasOpenSessions(), 0) << "ended with its event";

    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    const std::size_t events = g_events.size();
    EXPECT_EQ(TnSmtpDeinit(), TNSMTP_OK);
    EXPECT_EQ(g_events.size(), events) << "a shut-down ends sessions without events";
    EXPECT_EQ(TnSmtpHasOpenSessions(), 0);
    ASSERT_EQ(TnSmtpInit(&smtpConfig), TNSMTP_OK);  // for the fixture's own shut-down
}

}  // namespace
}  // namespace tarnet::test
