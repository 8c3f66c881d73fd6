// FTP client library against a scripted server on the harness: login, single-reply commands,
// reply scanning, time-outs, PASV, LIST, RETR, STOR and ABOR.
#include <functional>

#include "ftp_internal.h"
#include "ftp_server.h"

namespace tarnet::test {
namespace {

using Commands = std::vector<std::string>;

TEST_F(FtpTest, ResultTextsCoverEveryCodeAndNothingElse) {
    for (int code = TNFTP_OK; code <= TNFTP_SOCKET_SEND_FAILED; ++code) {
        EXPECT_NE(TnFtpResultText(code), nullptr) << code;
    }
    EXPECT_STREQ(TnFtpResultText(TNFTP_INVALID_CMD_FOR_STATE), "Invalid Cmd for this state");
    EXPECT_EQ(TnFtpResultText(14), nullptr);
    EXPECT_EQ(TnFtpResultText(-1), nullptr);
}

// Greetings and login replies as the server sends them, in separate TCP segments.
TEST_F(FtpTest, LoginFollowsRepliesWhateverTheirSegmentation) {
    struct Case {
        const char* name;
        std::vector<std::string> greeting;
        std::string userReply;
        std::string passReply;
        Commands sent;
        int event;
        std::uintptr_t extra;
    };
    const Case cases[] = {
        {"split after the first digit",
         {"2", "20 ready\r\n"},
         "331 pw\r\n",                                        "230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"split inside the code",
         {"22", "0 ready\r\n"},
         "331 pw\r\n",                                        "230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"split inside CR LF",
         {"220 ready\r", "\n"},
         "331 pw\r\n",                                        "230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"multi-line in two blocks",
         {"220-welcome\r\n", "220 ready\r\n"},
         "331 pw\r\n",                                        "230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"multi-line with text lines",
         {"220-a\r\n 230 not a reply\r\n220 b\r\n"},
         "331 pw\r\n",                                        "230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"multi-line PASS reply",
         {"220 ready\r\n"},
         "331 pw\r\n",                                        "230-motd\r\n230 in\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"230 to USER",
         {"220 ready\r\n"},
         "230 no password needed\r\n",                        "",
         {"USER user"},
         TNFTP_EV_LOGGED_IN,                                                                                         0               },
        {"wrong password",
         {"220 ready\r\n"},
         "331 pw\r\n",                                        "530 Login incorrect.\r\n",
         {"USER user", "PASS secret"},
         TNFTP_EV_SERVER_ERROR,                                                                                      TNFTP_OP_PASS   },
        {"refused greeting",            {"421 busy\r\n"}, "", "",                         {}, TNFTP_EV_SERVER_ERROR, TNFTP_OP_WELCOME},
        {"150 to USER",
         {"220 ready\r\n"},
         "150 what\r\n",                                      "",
         {"USER user"},
         TNFTP_EV_UNEXPECTED_REPLY,                                                                                  TNFTP_OP_USER   },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        greeting        = "";
        replies["USER"] = c.userReply;
        replies["PASS"] = c.passReply;
        commands.clear();
        Events().clear();
        TnFtpSession* s = Connect();
        for (const std::string& block : c.greeting) {
            ServerSend(Control(), block);
        }
        EXPECT_EQ(commands, c.sent);
        ASSERT_EQ(Events().size(), 1u);
        EXPECT_EQ(Events()[0].event, c.event);
        EXPECT_EQ(Events()[0].extra, c.extra);
        TnFtpClose(s);
        Settle();
    }
}

TEST_F(FtpTest, WrongPasswordReportsTheServersLine) {
    replies["PASS"] = "530 Login incorrect.\r\n";
    TnFtpSession* s = Connect();
    ASSERT_EQ(LastEvent(), TNFTP_EV_SERVER_ERROR);
    EXPECT_EQ(Events().back().text, "530 Login incorrect.");
    EXPECT_EQ(Events().back().textLength, 21);
    EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED) << "the session was released";
    EXPECT_TRUE(Control().finFromUs) << "the control connection was closed";
}

// Each command's replies: which event, which operation code, and whether the session lives on.
TEST_F(FtpTest, SingleReplyCommandsMapEachReplyClass) {
    using Call      = std::function<int(TnFtpSession*)>;
    const Call cwd  = [](TnFtpSession* s) { return TnFtpCwd(s, "pub"); };
    const Call mkd  = [](TnFtpSession* s) { return TnFtpMkd(s, "new"); };
    const Call rmd  = [](TnFtpSession* s) { return TnFtpRmd(s, "old"); };
    const Call dele = [](TnFtpSession* s) { return TnFtpDele(s, "f"); };
    const Call noop = [](TnFtpSession* s) { return TnFtpNoop(s); };
    const Call pwd  = [](TnFtpSession* s) { return TnFtpPwd(s); };
    const Call mv   = [](TnFtpSession* s) { return TnFtpRename(s, "a b", "c d"); };
    struct Case {
        const char* verb;
        std::string reply;
        Call call;
        int event;
        std::uintptr_t extra;
        bool alive;
    };
    const Case cases[] = {
        {"CWD",  "250 ok\r\n",          cwd,  TNFTP_EV_CWD_DONE,         0,             true },
        {"CWD",  "550 no such dir\r\n", cwd,  TNFTP_EV_CWD_FAILED,       0,             true },
        {"CWD",  "350 what\r\n",        cwd,  TNFTP_EV_UNEXPECTED_REPLY, TNFTP_OP_CWD,  false},
        {"MKD",  "257 made\r\n",        mkd,  TNFTP_EV_MKD_DONE,         0,             true },
        {"MKD",  "550 exists\r\n",      mkd,  TNFTP_EV_MKD_FAILED,       0,             true },
        {"RMD",  "250 gone\r\n",        rmd,  TNFTP_EV_RMD_DONE,         0,             true },
        {"RMD",  "450 busy\r\n",        rmd,  TNFTP_EV_RMD_FAILED,       0,             true },
        {"RMD",  "650 odd\r\n",         rmd,  TNFTP_EV_UNEXPECTED_REPLY, TNFTP_OP_RMD,  false},
        {"DELE", "250 deleted\r\n",     dele, TNFTP_EV_DELE_DONE,        0,             true },
        {"DELE", "550 denied\r\n",      dele, TNFTP_EV_DELE_FAILED,      0,             true },
        {"NOOP", "200 ok\r\n",          noop, TNFTP_EV_NOOP_DONE,        0,             true },
        {"NOOP", "500 no\r\n",          noop, TNFTP_EV_SERVER_ERROR,     TNFTP_OP_NOOP, false},
        {"NOOP", "700 odd\r\n",         noop, TNFTP_EV_UNKNOWN_REPLY,    TNFTP_OP_NOOP, false},
        {"PWD",  "550 no\r\n",          pwd,  TNFTP_EV_PWD_FAILED,       0,             true },
        {"RNFR", "550 missing\r\n",     mv,   TNFTP_EV_RENAME_FAILED,    0,             true },
        {"RNFR", "250 odd\r\n",         mv,   TNFTP_EV_SERVER_ERROR,     TNFTP_OP_RNFR, false},
        {"RNTO", "553 bad name\r\n",    mv,   TNFTP_EV_RENAME_FAILED,    0,             true },
        {"RNTO", "250 renamed\r\n",     mv,   TNFTP_EV_RENAME_DONE,      0,             true },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.verb) + " " + c.reply);
        const std::string saved = replies[c.verb];
        replies[c.verb]         = c.reply;
        TnFtpSession* s         = LoggedIn();
        ASSERT_EQ(c.call(s), TNFTP_OK);
        Pump();
        ASSERT_EQ(Events().size(), 1u);
        EXPECT_EQ(Events()[0].event, c.event);
        EXPECT_EQ(Events()[0].extra, c.extra);
        EXPECT_EQ(TnFtpNoop(s) == TNFTP_OK, c.alive);
        Pump();
        TnFtpClose(s);
        Settle();
        replies[c.verb] = saved;
    }
}

TEST_F(FtpTest, RenameSendsBothNamesAndPwdReportsTheQuotedDirectory) {
    replies["PWD"]  = "257 \"/home/my \"\"docs\"\"\" is current\r\n";
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpRename(s, "old name", "new name"), TNFTP_OK);
    Pump();
    ASSERT_EQ(TnFtpPwd(s), TNFTP_OK);
    Pump();
    EXPECT_EQ(commands, (Commands{"RNFR old name", "RNTO new name", "PWD"}));
    ASSERT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_RENAME_DONE, TNFTP_EV_PWD_DONE}));
    EXPECT_EQ(Events()[1].word, "\"/home/my \"\"docs\"\"\"");
}

TEST_F(FtpTest, SessionStepIsNamedThroughItsLife) {
    EXPECT_STREQ(TnFtpSessionStep(nullptr), "free");
    TnFtpSession* s = LoggedIn();
    EXPECT_STREQ(TnFtpSessionStep(s), "idle");
    ASSERT_EQ(TnFtpCwd(s, "pub"), TNFTP_OK);
    EXPECT_STREQ(TnFtpSessionStep(s), "CWD");
    Pump();
    EXPECT_STREQ(TnFtpSessionStep(s), "idle");
    ASSERT_EQ(TnFtpGetFile(s, "f", 0, 0), TNFTP_OK);
    EXPECT_STREQ(TnFtpSessionStep(s), "TYPE");
    TnFtpClose(s);
    EXPECT_STREQ(TnFtpSessionStep(s), "free");
}

TEST_F(FtpTest, PwdWaitsForThe257) {
    replies["PWD"]  = "250 not it\r\n";
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpPwd(s), TNFTP_OK);
    Pump();
    EXPECT_TRUE(Events().empty());
    ServerSend(Control(), "257 \"/\"\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_PWD_DONE);
    EXPECT_EQ(Events().back().word, "\"/\"");
}

TEST_F(FtpTest, ArgumentsAreCheckedBeforeAnythingIsSent) {
    TnFtpSession* s = LoggedIn();
    struct Case {
        std::string argument;
        int result;
    };
    const std::string name512(512, 'p');
    const std::string name253(253, 'p');  // "CWD " + 253 + CR LF = 259 bytes
    const Case cases[] = {
        {"a\r\nDELE x", TNFTP_INVALID_PARAMETERS},
        {"a\nb",        TNFTP_INVALID_PARAMETERS},
        {"a\rb",        TNFTP_INVALID_PARAMETERS},
        {"",            TNFTP_INVALID_PARAMETERS},
        {name512,       TNFTP_INVALID_PARAMETERS},
        {name253,       TNFTP_CMD_PARAM_TOO_LONG},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TnFtpCwd(s, c.argument.c_str()), c.result) << c.argument.size();
        if (c.result == TNFTP_INVALID_PARAMETERS) {
            EXPECT_EQ(TnFtpRename(s, "x", c.argument.c_str()), c.result);
            EXPECT_EQ(TnFtpGetFile(s, c.argument.c_str(), 0, 0), c.result);
            EXPECT_EQ(TnFtpDele(s, c.argument.c_str()), c.result);
        }
    }
    EXPECT_EQ(TnFtpRename(s, "a\r\nDELE x", "b"), TNFTP_INVALID_PARAMETERS);
    TnFtpConnectParams injected{"192.0.2.1", kFtpPort, "u", "pw\r\nDELE x", OnEvent, 1};
    TnFtpSession* other = nullptr;
    EXPECT_EQ(TnFtpConnect(&injected, &other), TNFTP_INVALID_PARAMETERS);
    Pump();
    EXPECT_TRUE(commands.empty());
    EXPECT_EQ(TnFtpCwd(s, std::string(249, 'p').c_str()), TNFTP_OK) << "255 bytes fit";
    EXPECT_EQ(TnFtpCwd(s, "x"), TNFTP_INVALID_CMD_FOR_STATE);
    Pump();
    EXPECT_EQ(commands.size(), 1u);
    TnFtpClose(s);
    EXPECT_EQ(TnFtpCwd(s, "x"), TNFTP_SESSION_NOT_ALLOCATED);
    EXPECT_EQ(TnFtpClose(s), TNFTP_SESSION_NOT_ALLOCATED);
    EXPECT_EQ(TnFtpClose(nullptr), TNFTP_INVALID_PARAMETERS);
}

// A send ring smaller than one command line: each line goes out in pieces as TCP frees room,
// whole and in order, and the replies keep step with the commands.
TEST_F(FtpTest, CommandLinesLargerThanTheSendRingGoOutWholeAndInOrder) {
    TnSockDeinit();
    ASSERT_EQ(TnSockSetTcpBuffers(0, 8), TNSOCK_SUCCESS);
    ASSERT_EQ(Start(), TNSOCK_SUCCESS);
    LearnPeer();
    std::uint64_t before[2] = {};
    TnFtpGetCounters(before);
    TnFtpSession* s = Connect();
    Run(50);
    ASSERT_EQ(LastEvent(), TNFTP_EV_LOGGED_IN);
    EXPECT_EQ(commands, (Commands{"USER user", "PASS secret"}));
    commands.clear();
    Events().clear();
    const std::string folder(200, 'f');
    ASSERT_EQ(TnFtpCwd(s, folder.c_str()), TNFTP_OK);
    Run(100);
    ASSERT_EQ(TnFtpMkd(s, "new"), TNFTP_OK);
    Run(20);
    EXPECT_EQ(commands, (Commands{"CWD " + folder, "MKD new"}));
    EXPECT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_CWD_DONE, TNFTP_EV_MKD_DONE}));
    std::uint64_t after[2] = {};
    TnFtpGetCounters(after);
    EXPECT_EQ(after[0] - before[0], 11u + 13u + (4u + 200u + 2u) + 9u) << "every byte counted once";
    TnFtpClose(s);
    Settle();
    TnSockSetTcpBuffers(0, 0);  // the sizes outlive the stack: back to the defaults
}

TEST_F(FtpTest, PoolHoldsTwoSessions) {
    TnFtpSession* a = LoggedIn();
    TnFtpSession* b = LoggedIn();
    TnFtpConnectParams p{"192.0.2.1", kFtpPort, "u", "p", OnEvent, 1};
    TnFtpSession* c = nullptr;
    EXPECT_EQ(TnFtpConnect(&p, &c), TNFTP_NO_FREE_CONTEXTS);
    p.userContext = 0;
    EXPECT_EQ(TnFtpConnect(&p, &c), TNFTP_INVALID_PARAMETERS);
    TnFtpClose(a);
    TnFtpClose(b);
}

TEST_F(FtpTest, NameWithoutResolverFailsAtOnce) {
    TnFtpConnectParams p{"ftp.example", kFtpPort, "u", "p", OnEvent, 1};
    TnFtpSession* s = nullptr;
    EXPECT_EQ(TnFtpConnect(&p, &s), TNFTP_TCP_CONNECT_FAILED);
    EXPECT_TRUE(synTargets.empty());
}

// The answer to a DNS query: the query's header and question, one A record.
Bytes DnsAnswer(const Bytes& query, std::uint32_t address) {
    Bytes r = query;
    r[2]    = 0x81;
    r[3]    = 0x80;
    r[7]    = 1;  // one answer
    const Bytes answer{0xC0,
                       0x0C,
                       0,
                       1,
                       0,
                       1,
                       0,
                       0,
                       0,
                       60,
                       0,
                       4,
                       static_cast<std::uint8_t>(address >> 24),
                       static_cast<std::uint8_t>(address >> 16),
                       static_cast<std::uint8_t>(address >> 8),
                       static_cast<std::uint8_t>(address)};
    r.insert(r.end(), answer.begin(), answer.end());
    return r;
}

// A lookup that takes longer than 500 ms is asked again until it is answered, within one reply
// timeout; one that is never answered fails with the resolver's message.
TEST_F(FtpTest, NameLookupIsAskedAgainWhileItIsPending) {
    const std::uint32_t server = kPeerIp;
    TnDnsSetServer(&server);
    TnFtpConnectParams p{"ftp.example", kFtpPort, "user", "secret", OnEvent, 1};
    TnFtpSession* s = nullptr;
    ASSERT_EQ(TnFtpConnect(&p, &s), TNFTP_OK);
    Run(1200, 100);
    EXPECT_TRUE(Events().empty());
    ASSERT_FALSE(udpSent.empty());
    const UdpDatagram query = udpSent.front();
    InjectUdp(53, query.srcPort, DnsAnswer(query.payload, kPeerIp));
    Run(400, 100);
    ASSERT_EQ(LastEvent(), TNFTP_EV_LOGGED_IN);
    TnFtpClose(s);

    Events().clear();
    std::uint32_t timeout = 3000;
    TnFtpSetTimeout(&timeout);
    TnFtpConnectParams q{"other.example", kFtpPort, "user", "secret", OnEvent, 1};
    ASSERT_EQ(TnFtpConnect(&q, &s), TNFTP_OK);
    Run(2900, 100);
    EXPECT_TRUE(Events().empty());
    Run(700, 100);
    ASSERT_EQ(LastEvent(), TNFTP_EV_CONNECT_ERROR);
    EXPECT_EQ(Events().back().text, "Error resolving server ip");
    Settle();

    // The server says the name does not exist: the connect fails at the next retry, not after
    // the whole reply timeout.
    Events().clear();
    udpSent.clear();
    timeout = 15000;
    TnFtpSetTimeout(&timeout);
    TnFtpConnectParams r{"gone.example", kFtpPort, "user", "secret", OnEvent, 1};
    ASSERT_EQ(TnFtpConnect(&r, &s), TNFTP_OK);
    Run(100, 100);
    ASSERT_FALSE(udpSent.empty());
    Bytes nxdomain = udpSent.front().payload;
    nxdomain[2]    = 0x81;
    nxdomain[3]    = 0x83;  // response, recursion available, NXDOMAIN
    InjectUdp(53, udpSent.front().srcPort, nxdomain);
    Run(500, 100);
    ASSERT_EQ(LastEvent(), TNFTP_EV_CONNECT_ERROR);
    EXPECT_EQ(Events().back().text, "Error resolving server ip");
    Settle();
}

// A silent server: each wait ends after one reply timeout, not before, with the step's message.
TEST_F(FtpTest, SilentServerTimesOutWithTheStepsMessage) {
    using Call = std::function<int(TnFtpSession*)>;
    struct Case {
        const char* verb;
        Call call;
        const char* message;
    };
    const Case cases[] = {
        {"CWD",  [](TnFtpSession* s) { return TnFtpCwd(s, "x"); },           "no CWD completion reply" },
        {"DELE", [](TnFtpSession* s) { return TnFtpDele(s, "x"); },          "no DELE completion reply"},
        {"PWD",  [](TnFtpSession* s) { return TnFtpPwd(s); },                "no response to PWD"      },
        {"TYPE", [](TnFtpSession* s) { return TnFtpGetFile(s, "f", 0, 0); },
         "no TYPE completion reply"                                                                    },
        {"PASV", [](TnFtpSession* s) { return TnFtpList(s); },               "no response to PASV"     },
    };
    std::uint32_t timeout = 3000;
    TnFtpSetTimeout(&timeout);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.verb);
        TnFtpSession* s = LoggedIn();
        replies[c.verb] = "";
        if (c.verb == std::string("PASV")) {
            pasvReply = "200 not the answer to PASV\r\n";  // the wait goes on
        }
        ASSERT_EQ(c.call(s), TNFTP_OK);
        Run(2900, 100);
        EXPECT_TRUE(Events().empty());
        Run(200, 100);
        ASSERT_EQ(Events().size(), 1u);
        EXPECT_EQ(Events()[0].event, TNFTP_EV_TIMEOUT);
        EXPECT_EQ(Events()[0].text, c.message);
        EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED);
        replies[c.verb] = "200 ok\r\n";
        pasvReply       = "";
        Settle();
    }
}

TEST_F(FtpTest, SilentGreetingTimesOut) {
    greeting = "";
    Connect();
    Run(15000, 500);
    ASSERT_EQ(LastEvent(), TNFTP_EV_TIMEOUT);
    EXPECT_EQ(Events().back().text, "no welcome");
}

TEST_F(FtpTest, OverlongReplyLineEndsTheSessionWithoutOverrun) {
    TnFtpSession* s = LoggedIn();
    ServerSend(Control(), "250-" + std::string(TNFTP_MAX_REPLY_LINE + 100, 'x'));
    ASSERT_EQ(LastEvent(), TNFTP_EV_UNKNOWN_REPLY);
    EXPECT_EQ(Events().back().text, "reply line too long");
    EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED);
}

TEST_F(FtpTest, UnsolicitedServiceClosingEndsTheSession) {
    TnFtpSession* s = LoggedIn();
    ServerSend(Control(), "421 shutting down\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_SERVER_ERROR);
    EXPECT_EQ(Events().back().extra, static_cast<std::uintptr_t>(TNFTP_OP_IDLE));
    EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED);
}

TEST_F(FtpTest, ServerClosingTheControlConnectionReportsClosed) {
    TnFtpSession* s = LoggedIn();
    ServerClose(Control());
    ASSERT_EQ(LastEvent(), TNFTP_EV_CLOSED);
    EXPECT_EQ(Events().back().extra, 0u);
    EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED);
}

TEST(FtpPasv, ParserTakesSixNumbersInParentheses) {
    struct Case {
        const char* line;
        bool ok;
        std::uint16_t port;
        const char* address;
    };
    const Case cases[] = {
        {"227 Entering Passive Mode (192,168,0,10,19,137)", true,  5001,  "192.168.0.10"},
        {"227 =(10,0,0,1,0,21).",                           true,  21,    "10.0.0.1"    },
        {"227 (1,2,3,4,255,255)",                           true,  65535, "1.2.3.4"     },
        {"227 (1,2,3,4,256,1)",                             false, 0,     ""            },
        {"227 (1,2,3,4,1,256)",                             false, 0,     ""            },
        {"227 (1,2,3,4,0,0)",                               false, 0,     ""            },
        {"227 (1000,2,3,4,5,6)",                            false, 0,     ""            },
        {"227 (1,2,3,4,5,6",                                false, 0,     ""            },
        {"227 1,2,3,4,5,6",                                 false, 0,     ""            },
        {"227 (1,2,3,4,5)",                                 false, 0,     ""            },
        {"227 (1,2,,3,4,5,6)",                              false, 0,     ""            },
        {"227 (1,2,3,4,5,)",                                false, 0,     ""            },
        {"227 (1,2,3,4,5,6,7)",                             false, 0,     ""            },
        {"227 ( 1,2,3,4,5,6)",                              false, 0,     ""            },
    };
    for (const Case& c : cases) {
        char address[16]   = {};
        std::uint16_t port = 0;
        EXPECT_EQ(FtpParsePasv(c.line, std::strlen(c.line), address, &port), c.ok) << c.line;
        if (c.ok) {
            EXPECT_EQ(port, c.port) << c.line;
            EXPECT_STREQ(address, c.address) << c.line;
        }
    }
}

TEST_F(FtpTest, ListDeliversTheBytesAndConnectsOnlyToTheControlServer) {
    listing =
        Text("-rw-r--r-- 1 u g 5 Aug 25 09:15 a b\r\ndrwxr-xr-x 2 u g 4096 Aug 25 09:15 d\r\n");
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    EXPECT_EQ(commands, (Commands{"PASV", "LIST"}));
    ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
    EXPECT_EQ(Events().back().text, std::string(listing.begin(), listing.end()));
    for (std::uint32_t target : synTargets) {
        EXPECT_EQ(target, kPeerIp) << "the 227 announced 10.9.9.9; only its port is used";
    }
    EXPECT_EQ(synTargets.size(), 2u);
    listing.clear();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
    EXPECT_EQ(Events().back().textLength, 0);
}

TEST_F(FtpTest, ListingCompletesWhenDataCloseFollowsTheReply) {
    autoTransfer    = false;
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(Control(), "150 here\r\n");
    ServerSend(*data, "first\r\n");
    ServerSend(Control(), "226 done\r\n");
    EXPECT_TRUE(Events().empty());
    ServerSend(*data, "second\r\n");
    ServerClose(*data);
    ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
    EXPECT_EQ(Events().back().text, "first\r\nsecond\r\n");
}

TEST_F(FtpTest, ListingUpToTheCapIsDeliveredAndBeyondItEndsWithNoMemory) {
    g_ftpListingLimit = 4000;
    for (const std::size_t size : {4000u, 4001u}) {
        SCOPED_TRACE(size);
        Events().clear();
        listing         = Bytes(size, 'x');
        TnFtpSession* s = LoggedIn();
        ASSERT_EQ(TnFtpList(s), TNFTP_OK);
        Pump();
        if (size == 4000) {
            ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
            EXPECT_EQ(Events().back().textLength, 4000);
            TnFtpClose(s);
            Settle();
            continue;
        }
        ASSERT_EQ(LastEvent(), TNFTP_EV_NO_MEMORY);
        EXPECT_EQ(Events().back().extra, static_cast<std::uintptr_t>(TNFTP_OP_LIST));
        EXPECT_EQ(TnFtpNoop(s), TNFTP_SESSION_NOT_ALLOCATED);
    }
    g_ftpListingLimit = TNFTP_MAX_LISTING;
}

// A listing sent one byte per segment is gathered in one block, not one allocation per segment.
TEST_F(FtpTest, ListingInOneByteSegmentsIsGatheredInBlocks) {
    autoTransfer    = false;
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Pump();
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(Control(), "150 here\r\n");
    std::string sent;
    for (int i = 0; i < 3000; ++i) {
        sent.push_back(static_cast<char>('a' + i % 26));
        ServerSend(*data, sent.substr(sent.size() - 1));
    }
    int blocks = 0;
    for (const ListingChunk* c = s->listHead; c != nullptr; c = c->next) {
        ++blocks;
    }
    EXPECT_EQ(blocks, 1);
    EXPECT_EQ(s->listBytes, 3000u);
    ServerClose(*data);
    ServerSend(Control(), "226 done\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_LISTING);
    EXPECT_EQ(Events().back().text, sent);
}

TEST_F(FtpTest, DataConnectionThatNeverOpensTriesThreePasvRounds) {
    std::uint32_t timeout = 1000;
    TnFtpSetTimeout(&timeout);
    pasvReply       = "227 (192,0,2,1,0,9)\r\n";  // nobody listens on port 9
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpList(s), TNFTP_OK);
    Run(3100, 50);
    EXPECT_EQ(commands, (Commands{"PASV", "PASV", "PASV"}));
    ASSERT_EQ(LastEvent(), TNFTP_EV_TIMEOUT);
    EXPECT_EQ(Events().back().text, "no data connection");
}

// A download completes when the server has closed the data connection and replied, and the
// bytes match a size the caller knew; the local file is replaced only then.
TEST_F(FtpTest, DownloadCompletesOnlyWithTheExpectedSize) {
    struct Case {
        std::size_t size;
        std::uint32_t expected;
        bool complete;
    };
    const Case cases[] = {
        {0,     0,       true },
        {1,     0,       true },
        {2047,  2047,    true },
        {2048,  100,     false},
        {2049,  1 << 20, false},
        {70000, 0,       true },
    };
    TnFtpSession* s = LoggedIn();
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        remote["f"]                   = Pattern(c.size, static_cast<std::uint32_t>(c.size));
        MemoryFiles::Get().files["f"] = Bytes(100000, 'z');  // an older, longer local file
        Events().clear();
        ASSERT_EQ(TnFtpGetFile(s, "f", c.expected, 0), TNFTP_OK);
        Pump();
        EXPECT_TRUE(MemoryFiles::Get().open.empty()) << "the file is closed";
        if (!c.complete) {
            ASSERT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_RECEIVE_FAILED}));
            EXPECT_EQ(Events().back().text, "received " + std::to_string(c.size) + " of " +
                                                std::to_string(c.expected) + " bytes");
            EXPECT_EQ(MemoryFiles::Get().files["f"], Bytes(100000, 'z'));
            continue;
        }
        ASSERT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_RECEIVE_COMPLETE}));
        EXPECT_EQ(Events().back().extra, c.size);
        EXPECT_EQ(MemoryFiles::Get().files["f"], remote["f"]);
    }
    EXPECT_EQ(commands[0], "TYPE I");
    EXPECT_EQ(commands[2], "RETR f");
    // An expected size beyond 4 GiB is counted and told in full.
    remote["f"] = Pattern(3, 1);
    Events().clear();
    ASSERT_EQ(TnFtpGetFile(s, "f", 1, 1), TNFTP_OK);
    Pump();
    ASSERT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_RECEIVE_FAILED}));
    EXPECT_EQ(Events().back().text, "received 3 of 4294967297 bytes");
}

TEST_F(FtpTest, DownloadWaitsForDataAfterTheCompletionReply) {
    autoTransfer    = false;
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpGetFile(s, "f", 8, 0), TNFTP_OK);
    Pump();
    Conn* data = DataConn();
    ASSERT_NE(data, nullptr);
    ServerSend(Control(), "150 sending\r\n");
    ServerSend(*data, "abcd");
    ServerSend(Control(), "226 done\r\n");
    EXPECT_NE(LastEvent(), TNFTP_EV_RECEIVE_COMPLETE) << "the data connection is still open";
    ServerSend(*data, "efgh");
    ServerClose(*data);
    EXPECT_EQ(LastEvent(), TNFTP_EV_RECEIVE_COMPLETE);
    EXPECT_EQ(MemoryFiles::Get().files["f"], Text("abcdefgh"));
}

TEST_F(FtpTest, DownloadFailuresKeepTheSession) {
    remote["f"]                   = Pattern(5000);
    TnFtpSession* s               = LoggedIn();
    MemoryFiles::Get().failWrites = true;
    ASSERT_EQ(TnFtpGetFile(s, "f", 0, 0), TNFTP_OK);
    Pump();
    EXPECT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_RECEIVE_FAILED}));
    MemoryFiles::Get().failWrites = false;
    Run(10);
    replies["TYPE"] = "504 no binary\r\n";
    ASSERT_EQ(TnFtpGetFile(s, "f", 0, 0), TNFTP_OK);
    Pump();
    EXPECT_EQ(LastEvent(), TNFTP_EV_TYPE_FAILED);
    EXPECT_EQ(TnFtpNoop(s), TNFTP_OK);
}

TEST_F(FtpTest, UploadSendsTheWholeFileInOrder) {
    TnFtpSession* s = LoggedIn();
    for (std::size_t size : {0u, 1u, 2048u, 4096u, 4097u, 200000u}) {
        SCOPED_TRACE(size);
        MemoryFiles::Get().files["up"] = Pattern(size, static_cast<std::uint32_t>(size) + 7);
        Events().clear();
        ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
        Pump();
        Run(200);
        ASSERT_EQ(EventKinds(), (std::vector<int>{TNFTP_EV_SEND_COMPLETE}));
        EXPECT_EQ(remote["up"], MemoryFiles::Get().files["up"]);
    }
    EXPECT_EQ(commands[2], "STOR up");
}

// The pump offers chunks on every tick while the socket layer takes them, instead of one 2048-byte
// chunk per 2 ms.
TEST_F(FtpTest, UploadPumpIsNotLimitedToOneChunkPerTick) {
    MemoryFiles::Get().files["up"] = Pattern(60000);
    TnFtpSession* s                = LoggedIn();
    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    Run(5);
    ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_COMPLETE);
    EXPECT_EQ(remote["up"].size(), 60000u);
}

TEST_F(FtpTest, UploadRefusedByTheServerKeepsTheSession) {
    MemoryFiles::Get().files["up"] = Pattern(10);
    autoTransfer                   = false;
    TnFtpSession* s                = LoggedIn();
    EXPECT_EQ(TnFtpPutFile(s, "missing"), TNFTP_FILE_OPEN_ERROR);
    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    ServerSend(Control(), "553 not allowed\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED);
    EXPECT_EQ(Events().back().text, "553 not allowed");
    EXPECT_EQ(Events().back().extra, static_cast<std::uintptr_t>(TNFTP_OP_STOR));
    EXPECT_EQ(TnFtpNoop(s), TNFTP_OK);
}

TEST_F(FtpTest, UploadFailsWhenTheServerReportsAnErrorAfterTheData) {
    MemoryFiles::Get().files["up"] = Pattern(100);
    autoTransfer                   = false;
    TnFtpSession* s                = LoggedIn();
    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    ServerSend(Control(), "150 go\r\n");
    Run(3);
    ServerSend(Control(), "452 disk full\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED) << "never reported as complete";
    EXPECT_EQ(Events().back().text, "452 disk full");
}

TEST_F(FtpTest, UploadCutShortByTheServerIsNeverReportedComplete) {
    MemoryFiles::Get().files["up"] = Pattern(300000);
    autoTransfer                   = false;
    TnFtpSession* s                = LoggedIn();
    ASSERT_EQ(TnFtpPutFile(s, "up"), TNFTP_OK);
    Pump();
    ServerSend(Control(), "150 go\r\n");
    ServerClose(*DataConn());
    ServerSend(Control(), "226 closed early\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_SEND_FAILED);
    EXPECT_TRUE(MemoryFiles::Get().open.empty());
    EXPECT_EQ(TnFtpNoop(s), TNFTP_OK);
}

TEST_F(FtpTest, AbortDuringADownloadSendsAborAndReturnsToIdle) {
    autoTransfer    = false;
    replies["ABOR"] = "";
    TnFtpSession* s = LoggedIn();
    ASSERT_EQ(TnFtpGetFile(s, "f", 0, 0), TNFTP_OK);
    Pump();
    ServerSend(Control(), "150 sending\r\n");
    ServerSend(*DataConn(), "abc");
    ASSERT_EQ(TnFtpAbort(s), TNFTP_OK);
    Pump();
    EXPECT_EQ(commands.back(), "ABOR");
    ServerSend(Control(), "426 aborted\r\n226 abort ok\r\n");
    ASSERT_EQ(LastEvent(), TNFTP_EV_ABORT_DONE);
    EXPECT_EQ(Events().back().text, "226 abort ok");
    EXPECT_TRUE(MemoryFiles::Get().open.empty());
    EXPECT_EQ(TnFtpNoop(s), TNFTP_OK);
}

TEST_F(FtpTest, CountersAddUpBothDirections) {
    remote["f"]     = Pattern(3000);
    TnFtpSession* s = LoggedIn();
    std::uint64_t before[2];
    TnFtpGetCounters(before);
    ASSERT_EQ(TnFtpGetFile(s, "f", 3000, 0), TNFTP_OK);
    Pump();
    std::uint64_t after[2];
    TnFtpGetCounters(after);
    EXPECT_EQ(after[0] - before[0], std::string("TYPE I\r\nPASV\r\nRETR f\r\n").size());
    EXPECT_GE(after[1] - before[1], 3000u);
    std::uint32_t zero = 0;
    TnFtpSetTimeout(&zero);
    EXPECT_EQ(zero, 15000u);
}

}  // namespace
}  // namespace tarnet::test
