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

}  // namespace
}  // namespace tarnet::test
