// The stack and the client libraries built with the microcontroller profile
// (TARNET_PROFILE_SMALL): their smaller tables answer as full ones do, and what still fits goes
// out whole. This file is built into its own program, tarnet_small_tests, with the stack and the
// clients compiled for that profile.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_host.h"
#include "socket.h"
#include "tarnet/tnftp.h"
#include "tarnet/tnsmtp.h"
#include "tarnet/tnsock.h"
#include "tcp_internal.h"

namespace {

using tarnet::fakehost::FakeHost;

static_assert(TARNET_SOCKET_ENDPOINTS == 4 && TARNET_MAX_DATAGRAM == 1528,
              "this program tests the small profile");

std::uintptr_t Ignore(std::uintptr_t, int, void*, std::uint32_t, std::uint32_t, std::uint32_t) {
    return 0;
}

class SmallProfile : public ::testing::Test {
  protected:
    void SetUp() override {
        FakeHost::Get().Reset();
        FakeHost::Get().SetFrameSink(
            [](void* self, const std::uint8_t* frame, std::uint32_t length) {
                static_cast<SmallProfile*>(self)->frames.emplace_back(frame, frame + length);
            },
            this);
        static const std::uint8_t mac[6] = {2, 0x54, 0x4E, 0, 0, 1};
        TnSockConfig c                   = FakeHost::Config();
        c.macAddress                     = mac;
        c.localIp                        = "192.0.2.2";
        c.subnetMask                     = "255.255.255.0";
        c.dnsServer                      = "0.0.0.0";
        ASSERT_EQ(TnSockInit(&c), TNSOCK_SUCCESS);
    }
    void TearDown() override { TnSockDeinit(); }

    std::vector<std::vector<std::uint8_t>> frames;
};

TEST_F(SmallProfile, FullEndpointTableAnswersNoMemory) {
    std::vector<TnSockEndpoint*> open(TARNET_SOCKET_ENDPOINTS);
    for (std::size_t i = 0; i < open.size(); ++i) {
        ASSERT_EQ(TnSockUdpOpen(1, Ignore, static_cast<std::uint16_t>(5000 + i), &open[i]),
                  TNSOCK_SUCCESS)
            << i;
    }
    TnSockEndpoint* extra = nullptr;
    EXPECT_EQ(TnSockUdpOpen(1, Ignore, 6000, &extra), TNSOCK_NO_MEMORY);
    EXPECT_EQ(TnSockTcpListen(7, 1, Ignore, &extra), TNSOCK_NO_MEMORY);
    EXPECT_EQ(TnSockTcpConnect(1, Ignore, "192.0.2.1", 7, &extra), TNSOCK_NO_MEMORY);
    ASSERT_EQ(TnSockClose(open[0]), TNSOCK_SUCCESS);
    EXPECT_EQ(TnSockUdpOpen(1, Ignore, 6000, &extra), TNSOCK_SUCCESS);  // the slot is free again
}

// The largest UDP payload still leaves, as two fragments that carry all of it.
TEST_F(SmallProfile, LargestUdpPayloadGoesOutInFragments) {
    TnSockEndpoint* e = nullptr;
    ASSERT_EQ(TnSockUdpOpen(1, Ignore, 5000, &e), TNSOCK_SUCCESS);
    const std::vector<std::uint8_t> payload(TNSOCK_UDP_MAX_PAYLOAD, 0xA5);
    frames.clear();
    ASSERT_EQ(TnSockUdpSendto(e, 0xFFFFFFFF, 9, payload.data(),
                              static_cast<std::uint32_t>(payload.size())),
              TNSOCK_SUCCESS);
    std::uint32_t carried = 0;
    for (const auto& f : frames) {
        ASSERT_GE(f.size(), 34u);
        ASSERT_EQ(f[12], 0x08);  // IPv4
        const std::uint32_t total = static_cast<std::uint32_t>(f[16] << 8 | f[17]);
        carried += total - (f[14] & 0x0Fu) * 4;
    }
    EXPECT_EQ(frames.size(), 2u);
    EXPECT_EQ(carried, TNSOCK_UDP_MAX_PAYLOAD + 8);  // the UDP header and every payload byte
}

// The echo client's message buffer holds the profile's largest datagram and no more.
TEST_F(SmallProfile, PingLargerThanTheProfileIsRefused) {
    const std::uint32_t largest = TARNET_MAX_DATAGRAM - 28;
    EXPECT_EQ(TnSockPingStart(0xC0000201, 1000, 1, largest + 1), TNSOCK_PING_BAD_PARAMETER);
    EXPECT_EQ(TnSockPingStart(0xC0000201, 1000, 1, largest), TNSOCK_PING_STARTED);
    TnSockPingStop();
}

// Whether a control block holds its send ring, reorder buffer and retransmission slots.
bool HoldsBuffers(const TcpControlBlock& b) {
    return b.sendRing.buffer != nullptr && b.reorder.buffer != nullptr && b.rtxSlots != nullptr;
}

std::vector<const TcpControlBlock*> FreeBlocks() {
    std::vector<const TcpControlBlock*> blocks;
    for (const TnListNode* n = tarnet::TcpState().freeList.first; n != nullptr; n = n->next) {
        blocks.push_back(static_cast<const TcpControlBlock*>(n->payload));
    }
    return blocks;
}

// A connection takes its buffers when it opens, sized from the profile's ring and window (one
// slot per full segment the ring holds, one for its remainder, one for the FIN), and gives them
// back when it ends: blocks in the pool hold none.
TEST_F(SmallProfile, TcpBuffersFollowTheConnection) {
    ASSERT_EQ(FreeBlocks().size(), static_cast<std::size_t>(TARNET_TCP_CONNECTIONS));
    for (const TcpControlBlock* b : FreeBlocks()) {
        EXPECT_FALSE(HoldsBuffers(*b));
    }
    TnSockEndpoint* first  = nullptr;
    TnSockEndpoint* second = nullptr;
    ASSERT_EQ(TnSockTcpConnect(1, Ignore, "192.0.2.1", 7, &first), TNSOCK_SUCCESS);
    ASSERT_EQ(TnSockTcpConnect(1, Ignore, "192.0.2.1", 9, &second), TNSOCK_SUCCESS);
    const TcpControlBlock* blocks[] = {first->connection, second->connection};
    for (const TcpControlBlock* b : blocks) {
        ASSERT_TRUE(HoldsBuffers(*b));
        EXPECT_EQ(b->sendRing.capacity, TARNET_TCP_SEND_RING);
        EXPECT_EQ(b->reorder.capacity, static_cast<std::uint32_t>(TARNET_TCP_WINDOW));
        EXPECT_EQ(b->rtxCapacity, TARNET_TCP_SEND_RING / kTcpDefaultMss + 2);
        // Each slot's area lies inside the block's one allocation, a full segment apart.
        for (int i = 1; i < b->rtxCapacity; ++i) {
            EXPECT_EQ(b->rtxSlots[i].data - b->rtxSlots[i - 1].data,
                      static_cast<std::ptrdiff_t>(kTcpSlotHeadroom + kTcpDefaultMss));
        }
    }
    EXPECT_EQ(FreeBlocks().size(), static_cast<std::size_t>(TARNET_TCP_CONNECTIONS) - 2);
    ASSERT_EQ(TnSockClose(first), TNSOCK_SUCCESS);  // no answer yet: the block goes back at once
    EXPECT_FALSE(HoldsBuffers(*blocks[0]));
    EXPECT_TRUE(HoldsBuffers(*blocks[1]));
    EXPECT_EQ(FreeBlocks().size(), static_cast<std::size_t>(TARNET_TCP_CONNECTIONS) - 1);
}

// The FTP and SMTP libraries built with the same profile: a mail beyond the one session is
// refused with the usual "no resources" answer, and the folder walker the profile leaves out never
// starts.
static_assert(TNSMTP_MAX_SESSIONS == 1 && TARNET_FTP_TREE == 0 && TNSMTP_MAX_REPLY_LINE == 512,
              "the client tests below need the small profile's client sizes");

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
int IgnoreMail(std::uintptr_t, int, void*, std::uint32_t) {
    return 0;
}

class SmallProfileClients : public SmallProfile {
  protected:
    void SetUp() override {
        SmallProfile::SetUp();
        if (HasFatalFailure()) {
            return;
        }
        TnSmtpConfig smtp{};
        const TnSockConfig c = FakeHost::Config();
        smtp.timerStart      = c.timerStart;
        smtp.timerStop       = c.timerStop;
        smtp.fileOpen        = NoFile;
        smtp.fileClose       = CloseFile;
        smtp.fileWrite       = NoWrite;
        smtp.fileRead        = NoRead;
        smtp.fileSize        = NoSize;
        smtp.tickCount       = c.getTickCount;
        ASSERT_EQ(TnSmtpInit(&smtp), TNSMTP_OK);
    }
    void TearDown() override {
        TnSmtpDeinit();
        SmallProfile::TearDown();
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
    mail.eventFn          = IgnoreMail;
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
