// The FTP and SMTP libraries built with the microcontroller profile (TARNET_PROFILE_SMALL): a
// mail beyond the one session is refused with the usual "no resources" answer, and the folder
// walker the profile leaves out never starts. Built into tarnet_small_tests with the stack.
#include <gtest/gtest.h>

#include <cstdint>

#include "fake_host.h"
#include "tarnet/tnftp.h"
#include "tarnet/tnsmtp.h"
#include "tarnet/tnsock.h"

namespace {

using tarnet::fakehost::FakeHost;

static_assert(TNSMTP_MAX_SESSIONS == 1 && TARNET_FTP_TREE == 0 && TNSMTP_MAX_REPLY_LINE == 512,
              "this program tests the small profile");

TnSmtpFile NoFile(const char*, int, int) {
    return 0;
}
void CloseFile(TnSmtpFile) {}
int NoWrite(TnSmtpFile, const std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
int NoRead(TnSmtpFile, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
int NoSize(TnSmtpFile, std::uint64_t*) {
    return 0;
}
int Ignore(std::uintptr_t, int, void*, std::uint32_t) {
    return 0;
}

class SmallProfileClients : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeHost::Get().Reset();
        static const std::uint8_t mac[6] = {2, 0x54, 0x4E, 0, 0, 1};
        TnSockConfig c                   = FakeHost::Config();
        c.macAddress                     = mac;
        c.localIp                        = "192.0.2.2";
        c.subnetMask                     = "255.255.255.0";
        c.dnsServer                      = "0.0.0.0";
        ASSERT_EQ(TnSockInit(&c), TNSOCK_SUCCESS);
        TnSmtpConfig smtp{};
        smtp.timerStart = c.timerStart;
        smtp.timerStop  = c.timerStop;
        smtp.fileOpen   = NoFile;
        smtp.fileClose  = CloseFile;
        smtp.fileWrite  = NoWrite;
        smtp.fileRead   = NoRead;
        smtp.fileSize   = NoSize;
        smtp.tickCount  = c.getTickCount;
        ASSERT_EQ(TnSmtpInit(&smtp), TNSMTP_OK);
    }
    void TearDown() override {
        TnSmtpDeinit();
        TnSockDeinit();
    }
};

TEST_F(SmallProfileClients, MailBeyondTheOneSessionIsRefusedWithNoMemory) {
    static const std::uint8_t body[] = "Hello\r\n";
    TnSmtpMail mail{};
    mail.serverAddress    = "192.0.2.9";
    mail.serverPort       = 25;
    mail.from             = "a@example.org";
    mail.to               = "b@example.org";
    mail.body             = body;
    mail.bodyLength       = sizeof body - 1;
    mail.eventFn          = Ignore;
    TnSmtpSession* first  = nullptr;
    TnSmtpSession* second = nullptr;
    ASSERT_EQ(TnSmtpSendMail(&mail, &first), TNSMTP_OK);
    EXPECT_EQ(TnSmtpSendMail(&mail, &second), TNSMTP_NO_MEMORY);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(TnSmtpAbort(first), TNSMTP_OK);
    EXPECT_EQ(TnSmtpSendMail(&mail, &second), TNSMTP_OK) << "the slot is free again";
}

TEST_F(SmallProfileClients, FolderWalkerLeftOutNeverStarts) {
    static const TnFtpTreeLocalFs fs{};
    TnFtpTreeInit([](TnFtpSession*, int, std::uintptr_t, std::uintptr_t) {}, &fs);
    int handle    = 0;
    auto* session = reinterpret_cast<TnFtpSession*>(&handle);
    EXPECT_EQ(TnFtpTreeDelete(session, "pub"), TNTREE_NOT_INITIALISED);
    EXPECT_EQ(TnFtpTreeDownload(session, "pub", 0), TNTREE_NOT_INITIALISED);
    EXPECT_EQ(TnFtpTreeUpload(session, "pub"), TNTREE_NOT_INITIALISED);
    EXPECT_STREQ(TnFtpTreeStep(), "uninitialised");
}

}  // namespace
