// Transfers against a server that misbehaves: refused, reset, short and failing downloads leave
// the local file as it was and the replies in step; failing uploads end with a reset; ABOR's
// replies are read as they come; names too long for the command line are refused at the call.
#include "ftp_internal.h"
#include "ftp_server.h"

namespace tarnet::test {
namespace {

using Commands = std::vector<std::string>;

class FtpFaultTest : public FtpTest {
  protected:
    // Starts a download of "f" driven by hand; answers the data connection.
    Conn* StartDownload(TnFtpSession* s, std::uint32_t expected) {
        autoTransfer = false;
        EXPECT_EQ(TnFtpGetFile(s, "f", expected, 0), TNFTP_OK);
        Pump();
        return DataConn();
    }
};

// Every way a download can end: the old local file is replaced only by a complete one, and the
// session stays in step (the next command gets its own reply).
TEST_F(FtpFaultTest, DownloadEndsReplaceTheLocalFileOnlyWhenComplete) {
    enum class End { kRefused, kResetThen226, kShortThen226, kWriteFails, kFinishFails, kWhole };
    struct Case {
        const char* name;
        End end;
        int event;
        const char* text;
    };
    const Case cases[] = {
        {"refused",          End::kRefused,      TNFTP_EV_SERVER_ERROR,     "550 no such file"           },
        {"reset",            End::kResetThen226, TNFTP_EV_RECEIVE_FAILED,
         "data connection reset after 3000 bytes"                                                        },
        {"short",            End::kShortThen226, TNFTP_EV_RECEIVE_FAILED,   "received 3000 of 5000 bytes"},
        {"write fails",      End::kWriteFails,   TNFTP_EV_RECEIVE_FAILED,   ""                           },
        {"last write fails", End::kFinishFails,  TNFTP_EV_RECEIVE_FAILED,   ""                           },
        {"whole",            End::kWhole,        TNFTP_EV_RECEIVE_COMPLETE, ""                           },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles::Get()            = MemoryFiles{};
        MemoryFiles::Get().files["f"] = Text("the old contents");
        TnFtpSession* s               = LoggedIn();
        Conn* data                    = StartDownload(s, 5000);
        ASSERT_NE(data, nullptr);
        if (c.end == End::kRefused) {
            ServerSend(Control(), "550 no such file\r\n");
            EXPECT_TRUE(MemoryFiles::Get().finished.empty()) << "never opened";
        } else {
            ServerSend(Control(), "150 sending\r\n");
            MemoryFiles::Get().failWrites = c.end == End::kWriteFails;
            MemoryFiles::Get().failFinish = c.end == End::kFinishFails;
            const bool full               = c.end == End::kWhole || c.end == End::kFinishFails;
            ServerSend(*data, Pattern(full ? 5000 : 3000));
            if (c.end == End::kResetThen226) {
                ServerReset(*data);
            } else if (c.end == End::kWriteFails) {
                EXPECT_TRUE(data->reset) << "the stream is cut, not ended";
                EXPECT_NE(LastEvent(), TNFTP_EV_RECEIVE_FAILED) << "waits for the final reply";
            } else {
                ServerClose(*data);
            }
            ServerSend(Control(), c.end == End::kWriteFails ? "426 connection closed\r\n"
                                                            : "226 transfer complete\r\n");
        }
        ASSERT_EQ(LastEvent(), c.event);
        EXPECT_EQ(Events().back().text, c.text);
        const bool whole = c.end == End::kWhole;
        EXPECT_EQ(MemoryFiles::Get().files["f"], whole ? Pattern(5000) : Text("the old contents"));
        EXPECT_TRUE(MemoryFiles::Get().open.empty());
        EXPECT_EQ(MemoryFiles::Get().files.count("f~partial"), 0u);
        if (c.end != End::kRefused) {
            ASSERT_EQ(TnFtpNoop(s), TNFTP_OK);
            Pump();
            EXPECT_EQ(LastEvent(), TNFTP_EV_NOOP_DONE) << "the reply after the failure is NOOP's";
        }
        TnFtpClose(s);
        Pump();
        Settle();
    }
}

// A listing whose data connection is reset is not a listing, whatever the reply says.
TEST_F(FtpFaultTest, ResetListingIsNeverDelivered) {
    autoTransfer    = false;
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(Control(), "150 here\r\n");
    ServerSend(*data, "-rw-r--r-- 1 u g 5 Aug 25 09:15 a\r\n");
    ServerReset(*data);
    ServerSend(Control(), "226 done\r\n");
    EXPECT_EQ(LastEvent(), TNFTP_EV_CLOSED);
    for (const FtpEventRecord& e : Events()) {
        EXPECT_NE(e.event, TNFTP_EV_LISTING);
    }
}

// Listing data is progress: a slow listing that keeps coming outlives the reply timeout.
TEST_F(FtpFaultTest, ListingDataRestartsTheReplyTimer) {
    std::uint32_t timeout = 1000;
    TnFtpSetTimeout(&timeout);
    autoTransfer    = false;
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(Control(), "150 here\r\n");
    for (int i = 0; i < 6; ++i) {
        Run(600, 50);
        ServerSend(*data, "line\r\n");
    }
    ServerClose(*data);
    ServerSend(Control(), "226 done\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
    EXPECT_EQ(Events().back().textLength, 36);
}

// An upload that fails while sending ends its data connection with a reset (the server must not
// keep the cut file as whole) and reports at once when the server's reply ended it.
TEST_F(FtpFaultTest, FailedUploadsResetTheDataConnection) {
    struct Case {
        const char* name;
        bool serverError;  // else a local read error
        const char* reply;
        const char* text;
    };
    const Case cases[] = {
        {"disk full",  true,  "452 disk full\r\n",        "452 disk full"       },
        {"read error", false, "426 connection reset\r\n", "426 connection reset"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        MemoryFiles::Get()             = MemoryFiles{};
        MemoryFiles::Get().files["up"] = Pattern(300000);
        autoTransfer                   = false;
        TnFtpSession* s                = LoggedIn();
        ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
        Pump();
        Conn* data = DataConn();
        ASSERT_NE(data, nullptr);
        ServerSend(Control(), "150 go\r\n");
        Run(3);
        if (c.serverError) {
            ServerSend(Control(), c.reply);
            ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED) << "at once, not a timeout later";
            EXPECT_TRUE(data->reset);
        } else {
            MemoryFiles::Get().failReads = true;
            Run(20);
            EXPECT_TRUE(data->reset);
            EXPECT_FALSE(data->finFromUs) << "no end of file for a cut upload";
            EXPECT_NE(LastEvent(), TNFTP_EV_SEND_FAILED) << "waits for the final reply";
            ServerSend(Control(), c.reply);
        }
        ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED);
        EXPECT_EQ(Events().back().text, c.text);
        EXPECT_TRUE(MemoryFiles::Get().open.empty());
        ASSERT_EQ(TnFtpNoop(s), TNFTP_OK);
        Pump();
        EXPECT_EQ(LastEvent(), TNFTP_EV_NOOP_DONE);
        TnFtpClose(s);
        Pump();
        Settle();
    }
}

// ABOR resets the data connection and reads the replies as they come: the transfer's own end
// (426, or 226 when it had just finished) and the ABOR's answer.
TEST_F(FtpFaultTest, AbortReadsTheTransfersReplyAndTheAborsOwn) {
    struct Case {
        const char* replies;
        std::uint64_t waitMs;  // a lone 226 is given time for a second reply
        const char* last;
        const char* transfer;
    };
    const Case cases[] = {
        {"426 aborted\r\n225 no transfer to ABOR\r\n",   0,    "225 no transfer to ABOR", "426 aborted"},
        {"426 aborted\r\n226 abort ok\r\n",              0,    "226 abort ok",            "426 aborted"},
        {"225 nothing to abort\r\n",                     0,    "225 nothing to abort",    ""           },
        {"226 transfer complete\r\n225 no transfer\r\n", 0,    "225 no transfer",
         "226 transfer complete"                                                                       },
        {"226 abort ok\r\n",                             1100, "226 abort ok",            ""           },
    };
    replies["ABOR"] = "";
    for (const Case& c : cases) {
        SCOPED_TRACE(c.replies);
        MemoryFiles::Get()            = MemoryFiles{};
        MemoryFiles::Get().files["f"] = Text("old");
        TnFtpSession* s               = LoggedIn();
        Conn* data                    = StartDownload(s, 0);
        ASSERT_NE(data, nullptr);
        ServerSend(Control(), "150 sending\r\n");
        ServerSend(*data, "abc");
        ASSERT_EQ(TnFtpAbort(s), TNFTP_OK);
        Pump();
        EXPECT_EQ(commands.back(), "ABOR");
        EXPECT_TRUE(data->reset) << "the server stops sending at once";
        ServerSend(Control(), c.replies);
        Run(c.waitMs, 50);
        ASSERT_EQ(LastEvent(), TNFTP_EV_ABORT_DONE);
        EXPECT_EQ(Events().back().text, c.last);
        EXPECT_STREQ(TnFtpAbortedTransferReply(s), c.transfer);
        EXPECT_EQ(MemoryFiles::Get().files["f"], Text("old"));
        ASSERT_EQ(TnFtpNoop(s), TNFTP_OK);
        Pump();
        EXPECT_EQ(LastEvent(), TNFTP_EV_NOOP_DONE);
        TnFtpClose(s);
        Pump();
        Settle();
    }
}

// A name that would overflow the command line is refused at the call, before anything is sent.
TEST_F(FtpFaultTest, NamesTooLongForTheCommandLineAreRefusedAtTheCall) {
    MemoryFiles::Get().files[std::string(248, 'a')] = Pattern(10);
    MemoryFiles::Get().files[std::string(249, 'a')] = Pattern(10);
    TnFtpSession* s                                 = LoggedIn();
    struct Case {
        std::size_t length;
        int (*call)(TnFtpSession*, const char*);
        int result;
    };
    const Case cases[] = {
        {249, [](TnFtpSession* x, const char* n) { return TnFtpGetFile(x, n, 0, 0); },
         TNFTP_CMD_PARAM_TOO_LONG                                                              },
        {249, [](TnFtpSession* x, const char* n) { return TnFtpPutFile(x, n); },
         TNFTP_CMD_PARAM_TOO_LONG                                                              },
        {300, [](TnFtpSession* x, const char* n) { return TnFtpRename(x, "a", n); },
         TNFTP_CMD_PARAM_TOO_LONG                                                              },
        {248, [](TnFtpSession* x, const char* n) { return TnFtpGetFile(x, n, 0, 0); }, TNFTP_OK},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.length);
        commands.clear();
        EXPECT_EQ(c.call(s, std::string(c.length, 'a').c_str()), c.result);
        Pump();
        EXPECT_EQ(commands.empty(), c.result != TNFTP_OK);
    }
}

// STOR's own reply is read before an upload that failed early goes idle; a server that never
// answers after the data ends the session, as its late reply would answer the next command.
TEST_F(FtpFaultTest, UploadsReadStorsReplyBeforeGoingIdle) {
    std::uint32_t timeout = 1000;
    TnFtpSetTimeout(&timeout);
    MemoryFiles::Get().files["up"] = Pattern(100);
    autoTransfer                   = false;
    TnFtpSession* s                = LoggedIn();
    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    ServerClose(*DataConn());
    EXPECT_NE(LastEvent(), TNFTP_EV_SEND_FAILED) << "STOR's reply is still to come";
    ServerSend(Control(), "425 no data connection\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED);
    EXPECT_EQ(Events().back().text, "425 no data connection");
    ASSERT_EQ(TnFtpNoop(s), TNFTP_OK);
    Pump();
    EXPECT_EQ(LastEvent(), TNFTP_EV_NOOP_DONE);

    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    ServerSend(Control(), "150 go\r\n");
    Run(1500, 50);
    ASSERT_EQ(LastEvent(), TNFTP_EV_TIMEOUT);
    EXPECT_EQ(Events().back().text, "no STOR completion reply");
}

}  // namespace
}  // namespace tarnet::test
