// SMTP library sessions: the dialogue against a scripted server (every state, its refusals and
// time-outs, what QUIT meets after delivery), reply assembly, AUTH LOGIN, name lookup, abort and
// the interface's refusals.
#include "smtp_fixture.h"

namespace tarnet::test {
namespace {

using namespace tcpflag;

TEST_F(SmtpTest, DialogueSendsTheMessageAndCompletes) {
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(static_cast<int>(kDialogue.size()));
    EXPECT_EQ(Kinds(), (std::vector<int>{TNSMTP_EV_BODY_PROGRESS, TNSMTP_EV_NEXT_RECIPIENT,
                                         TNSMTP_EV_COMPLETE}));
    EXPECT_TRUE(finReceived);
    EXPECT_EQ(TnSmtpAbort(g_session), TNSMTP_SESSION_NOT_OPEN) << "the slot is free again";
}

// Every waiting state refuses on 4xx and 5xx with the server's whole reply; a 5xx greeting
// too, at once.
TEST_F(SmtpTest, RefusalInEveryStateEndsWithTheReply) {
    struct Case {
        int before;
        const char* reply;
        const char* step;
    };
    const Case cases[] = {
        {kGreeting, "554 no service\r\n",       "greeting"    },
        {kGreeting, "421 busy\r\n",             "greeting"    },
        {1,         "550 who\r\n",              "EHLO"        },
        {kMail,     "451-try\r\n451 later\r\n", "MAIL FROM"   },
        {3,         "550 no such user\r\n",     "RCPT TO"     },
        {kData,     "554 no data\r\n",          "DATA"        },
        {kEom,      "552 too big\r\n",          "end of data" },
        {kData + 1, "421 shutting down\r\n",    "message text"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        Restart();
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(c.before);
        Say(c.reply);
        EXPECT_EQ(Last().event, TNSMTP_EV_SERVER_ERROR);
        std::string text = c.reply;
        text.erase(text.size() - 2);  // the reply without its final CR LF
        EXPECT_EQ(Last().text, text);
        EXPECT_EQ(Last().step, c.step);
        EXPECT_TRUE(finReceived) << "the connection is closed";
    }
}

TEST_F(SmtpTest, EveryStateTimesOutWithItsText) {
    struct Case {
        int before;
        std::uint64_t waitMs;
        const char* text;
    };
    const Case cases[] = {
        {kGreeting, 3000,  "no welcome"      },
        {1,         3000,  "no reply to helo"},
        {kMail,     3000,  "no reply to mail"},
        {3,         3000,  "no reply to rcpt"},
        {kData,     3000,  "no reply to data"},
        {kEom,      60000, "no reply to eom" }, // the server may take long over a message
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Restart();
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(c.before);
        g_events.clear();
        Wait(c.waitMs - 1);
        EXPECT_TRUE(g_events.empty());
        Wait(1);
        EXPECT_EQ(Last().event, TNSMTP_EV_TIMEOUT);
        EXPECT_EQ(Last().text, c.text);
    }
}

TEST_F(SmtpTest, TimeoutSetterAppliesToLaterSessions) {
    EXPECT_EQ(TnSmtpSetTimeout(700000, 0), TNSMTP_INVALID_PARAMETERS);
    EXPECT_EQ(TnSmtpSetTimeout(0, 100), TNSMTP_INVALID_PARAMETERS) << "below the reply time-out";
    EXPECT_EQ(TnSmtpSetTimeout(90000, 0), TNSMTP_OK) << "the end-of-data wait grows along";
    ASSERT_EQ(TnSmtpSetTimeout(500, 2000), TNSMTP_OK);
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    Wait(500);
    EXPECT_EQ(Last().text, "no welcome");
    Restart();
    ASSERT_EQ(TnSmtpSetTimeout(500, 2000), TNSMTP_OK);
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kEom);
    Wait(1999);
    EXPECT_EQ(Last().event, TNSMTP_EV_BODY_PROGRESS);
    Wait(1);
    EXPECT_EQ(Last().text, "no reply to eom");
}

// The pause before the end of data: a second by default, as set for later sessions; with none
// the end of data follows the text in the same pass, behind it.
TEST_F(SmtpTest, EndOfBodyPauseSetter) {
    EXPECT_EQ(TnSmtpSetEndOfBodyPause(600001), TNSMTP_INVALID_PARAMETERS);
    for (const std::uint32_t pause : {0u, 250u}) {
        SCOPED_TRACE(pause);
        Restart();
        ASSERT_EQ(TnSmtpSetEndOfBodyPause(pause), TNSMTP_OK);
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(kData);
        const std::string text = Say("354 go\r\n");
        if (pause == 0) {
            EXPECT_EQ(text, kHeader + "\r\nHello\r\n.\r\n");
            continue;
        }
        EXPECT_EQ(text + Wait(pause - 1), kHeader + "\r\nHello\r\n");
        EXPECT_EQ(Wait(1), ".\r\n");
    }
    EXPECT_EQ(TnSmtpDeinit(), TNSMTP_OK);
    EXPECT_EQ(TnSmtpSetEndOfBodyPause(0), TNSMTP_NOT_INITIALISED);
    ASSERT_EQ(TnSmtpInit(&smtpConfig), TNSMTP_OK);
}

// Once the server accepted the message, nothing QUIT meets turns the mail into a failure.
TEST_F(SmtpTest, QuitOutcomeAfterDeliveryIsComplete) {
    const std::vector<std::string> endings{"421 closing\r\n", "554 what\r\n", "timeout", "close"};
    for (const std::string& ending : endings) {
        SCOPED_TRACE(ending);
        Restart();
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(kQuit);
        if (ending == "timeout") {
            Wait(3000);
        } else if (ending == "close") {
            PeerSends({}, kFin);
            Take();
        } else {
            Say(ending);
        }
        EXPECT_EQ(Last().event, TNSMTP_EV_COMPLETE);
    }
}

TEST_F(SmtpTest, ConnectionLossBeforeAcceptanceIsReported) {
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kEom);
    PeerSends({}, kFin);
    Take();
    EXPECT_EQ(Last().event, TNSMTP_EV_DISCONNECTED);
    // A refused connection is a failed connect, not a lost one.
    Restart();
    const TnSmtpMail m = Mail();
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    const TcpSegment syn = Out();
    peerSeq              = 0;
    peerAck              = syn.seq + 1;
    ourPort              = syn.srcPort;
    InjectTcp(Peer(kRst | kAck));
    Take();
    EXPECT_EQ(Last().event, TNSMTP_EV_CONNECT_FAILED);
}

// RFC 5321 4.2.1: a reply is complete at its last line, however the lines arrive.
TEST_F(SmtpTest, RepliesAreAssembledAcrossSegments) {
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(1);
    const std::string ehlo =
        "250-mx.test\r\n250-PIPELINING\r\n250-SIZE 10240000\r\n250-8BITMIME\r\n"
        "250-AUTH LOGIN PLAIN\r\n250 SMTPUTF8\r\n";
    for (std::size_t at = 0; at < ehlo.size(); at += 7) {
        const std::string sent = Say(ehlo.substr(at, 7));
        EXPECT_EQ(sent, at + 7 < ehlo.size() ? "" : "MAIL FROM:<a@x.test>\r\n") << "at " << at;
    }
    EXPECT_EQ(Say("250 ok\r\nnot a reply\r\n"), "RCPT TO:<b@y.test>\r\n");
    EXPECT_EQ(Say(std::string(1100, '2')), "");
    EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
    EXPECT_EQ(Last().text, "reply line too long");
}

// Any 334 asks for the next line (servers word their prompts differently); 535 refuses.
TEST_F(SmtpTest, AuthLoginFollowsAnyPrompt) {
    // A user name whose base64 passes 76 characters still goes as one line.
    const std::string user(70, 'u');
    TnSmtpMail m             = Mail();
    m.authenticate           = 1;
    m.userName               = user.c_str();
    const char* prompts[][2] = {
        {"334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n"},
        {"334 User Name\r\n",    "334 Password\r\n"    },
    };
    for (const auto& p : prompts) {
        Restart();
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(1);
        EXPECT_EQ(Say("250 ok\r\n"), "AUTH LOGIN\r\n");
        EXPECT_EQ(Say(p[0]), Base64Of(user) + "\r\n");
        EXPECT_EQ(Say(p[1]), Base64Of("secret") + "\r\n");
        EXPECT_EQ(Say("235 ok\r\n"), "MAIL FROM:<a@x.test>\r\n");
    }
    // Refusals and time-outs of the three steps.
    const std::vector<std::string> ends{"504 no\r\n", "354 what\r\n", "", "535 bad\r\n", ""};
    const std::vector<std::string> texts{"504 no", "354 what", "no reply to auth username",
                                         "535 bad", "no reply to auth password"};
    for (std::size_t i = 0; i < ends.size(); ++i) {
        Restart();
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(1);
        Say("250 ok\r\n");
        if (i >= 2) {
            Say("334 x\r\n");
        }
        if (i >= 3) {
            Say("334 y\r\n");
        }
        ends[i].empty() ? Wait(3000) : Say(ends[i]);
        EXPECT_EQ(Last().event, ends[i].empty() ? TNSMTP_EV_TIMEOUT : TNSMTP_EV_SERVER_ERROR);
        EXPECT_EQ(Last().text, texts[i]);
    }
}

// Header fields, commands and command parameters cannot be injected through any field of the
// mail: an address is one mailbox or nothing.
TEST_F(SmtpTest, FieldsThatWouldInjectAreRefused) {
    g_files.contents["/tmp/a\nb"] = Text("x");
    const std::vector<void (*)(TnSmtpMail&)> edits{
        [](TnSmtpMail& m) { m.from = "a@x\r\nRCPT TO:<c@z>"; },
        [](TnSmtpMail& m) { m.from = "a@x.test> SIZE=1"; },
        [](TnSmtpMail& m) { m.to = "<b@y.test>"; },
        [](TnSmtpMail& m) { m.to = "b y@z.test"; },
        [](TnSmtpMail& m) { m.to = "b@y.test\x01"; },
        [](TnSmtpMail& m) { m.to = "nobody"; },
        [](TnSmtpMail& m) { m.from = "@x.test"; },
        [](TnSmtpMail& m) { m.cc = "c@"; },
        [](TnSmtpMail& m) { m.cc = "c\xC3\xA9@z.test"; },
        [](TnSmtpMail& m) { m.to = "b@y\n"; },
        [](TnSmtpMail& m) { m.cc = "c@z\rBcc: d"; },
        [](TnSmtpMail& m) { m.subject = "Hi\r\nBcc: d@z"; },
        [](TnSmtpMail& m) { m.authenticate = 1, m.userName = "u\r\nQUIT"; },
        [](TnSmtpMail& m) { m.attach = 1, m.attachmentPath = "/tmp/a\nb"; },
        [](TnSmtpMail& m) {
            m.from =
                "ffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffffff1";
        },
    };
    for (const auto& edit : edits) {
        TnSmtpMail m = Mail();
        edit(m);
        EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_INVALID_PARAMETERS);
    }
    EXPECT_TRUE(host().sent.empty()) << "no connection was opened";
    EXPECT_EQ(g_files.open, 0);
    TnSmtpMail m = Mail();
    m.to         = "b+tag@[192.0.2.9]";
    EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK) << "a domain literal is one mailbox";
}

// RFC 5321 4.2.1: the lines of a reply carry one code. A reply whose lines disagree is a
// protocol error in every state, never an acceptance; one that agrees is taken whole.
TEST_F(SmtpTest, ReplyLinesWithDifferentCodesAreNeverAcceptance) {
    struct Case {
        int before;
        const char* reply;
        int event;
    };
    const Case cases[] = {
        {kEom,  "550-rejected\r\n250 Ok\r\n",        TNSMTP_EV_FAILED        },
        {kEom,  "250-queued\r\n550 no\r\n",          TNSMTP_EV_FAILED        },
        {1,     "250-mx\r\n220 hi\r\n",              TNSMTP_EV_FAILED        },
        {kMail, "250-ok\r\n25 x\r\n",                TNSMTP_EV_FAILED        },
        {kEom,  "250-queued\r\n250 as 1\r\n",        TNSMTP_EV_NEXT_RECIPIENT},
        {kEom,  "250-a\r\nnot a reply\r\n250 b\r\n", TNSMTP_EV_NEXT_RECIPIENT},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.reply);
        Restart();
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(c.before);
        Say(c.reply);
        const std::vector<int> kinds = Kinds();
        EXPECT_EQ(std::count(kinds.begin(), kinds.end(), TNSMTP_EV_NEXT_RECIPIENT),
                  c.event == TNSMTP_EV_NEXT_RECIPIENT ? 1 : 0);
        if (c.event == TNSMTP_EV_FAILED) {
            EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
            EXPECT_EQ(Last().text, "reply lines carry different codes");
            EXPECT_TRUE(finReceived);
        }
    }
}

// A server that took DATA and then takes none of the text (window 0, its probes answered) ends
// the session after 3 minutes without progress, with the time-out event.
TEST_F(SmtpTest, StalledMessageTextTimesOut) {
    body = std::string(20000, 'x');
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kData);
    peerWindow = 0;
    Say("354 go\r\n");
    acking = false;
    // Every probe gets the same answer: nothing more acknowledged, the window still shut.
    const auto stall = [this](std::uint64_t ms) {
        for (std::uint64_t t = 0; t < ms; t += 500) {
            Advance(500);
            TnSmtpProcess();
            bool probed = false;
            while (!host().sent.empty()) {
                probed = NextSent().tcp.has_value() || probed;
            }
            if (probed) {
                PeerAcks(peerAck);
            }
        }
    };
    stall(TNSMTP_DATA_BLOCK_TIMEOUT_MS - 1000);
    const std::vector<int> kinds = Kinds();
    EXPECT_EQ(std::count(kinds.begin(), kinds.end(), TNSMTP_EV_TIMEOUT), 0);
    EXPECT_EQ(TnSmtpSessionStep(g_session), std::string("message text"));
    stall(2000);
    EXPECT_EQ(Last().event, TNSMTP_EV_TIMEOUT);
    EXPECT_EQ(Last().text, "the server took no text for 3 minutes");
    EXPECT_EQ(Last().step, "message text");
}

TEST_F(SmtpTest, InterfaceRefusals) {
    TnSmtpMail m             = Mail();
    const std::string from80 = std::string(73, 'f') + "@x.test";
    m.from                   = from80.c_str();
    std::vector<TnSmtpSession*> open;
    for (int i = 0; i < TNSMTP_MAX_SESSIONS; ++i) {
        EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
        open.push_back(g_session);
    }
    EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_NO_MEMORY);
    m.attach         = 1;
    m.attachmentPath = "/nowhere";
    EXPECT_EQ(TnSmtpAbort(open[0]), TNSMTP_OK);
    EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_FILE_OPEN_ERROR);
    EXPECT_EQ(TnSmtpAbort(nullptr), TNSMTP_INVALID_PARAMETERS);
    EXPECT_EQ(TnSmtpAbort(open[0]), TNSMTP_SESSION_NOT_OPEN);
    g_files.contents["f"] = Text("x");
    m.attachmentPath      = "f";
    EXPECT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    TnSmtpConfig c{};
    EXPECT_EQ(TnSmtpInit(&c), TNSMTP_ALREADY_INITIALISED);
    // Shutting down ends the open sessions quietly and frees what they hold.
    const std::size_t reported = g_events.size();
    EXPECT_EQ(TnSmtpDeinit(), TNSMTP_OK);
    EXPECT_EQ(g_events.size(), reported);
    EXPECT_EQ(g_files.open, 0);
    EXPECT_EQ(TnSmtpInit(&c), TNSMTP_INVALID_PARAMETERS);
    EXPECT_EQ(TnSmtpProcess(), TNSMTP_NOT_INITIALISED);
    char text[TNSMTP_ERROR_TEXT_SIZE];
    TnSmtpErrorText(5, text);
    EXPECT_STREQ(text, "invalid papameters");
    TnSmtpErrorText(12, text);
    EXPECT_STREQ(text, "unknown");
    EXPECT_EQ(TnSmtpInit(&smtpConfig), TNSMTP_OK);
}

TEST_F(SmtpTest, AbortWhileSendingDropsTheMessage) {
    body = std::string(20000, 'x');
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kData);
    const std::string text = Say("354 go\r\n");
    ASSERT_EQ(TnSmtpAbort(g_session), TNSMTP_OK);
    EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
    EXPECT_EQ(Last().text, "aborted");
    EXPECT_EQ(Take().find("\r\n.\r\n"), std::string::npos);
    EXPECT_TRUE(finReceived);
    // Before the message, QUIT ends the dialogue.
    Restart();
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kMail);
    ASSERT_EQ(TnSmtpAbort(g_session), TNSMTP_OK);
    EXPECT_EQ(Take(), "QUIT\r\n");
    Say("221 bye\r\n");
    EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
    // During a further recipient's text: that message is dropped, the accepted one stays
    // delivered, as the interface says.
    Restart();
    g_nextTo = {"c@z.test"};
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kEom);
    EXPECT_EQ(Say("250 queued\r\n"), "MAIL FROM:<a@x.test>\r\n");
    Say("250 ok\r\n");
    Say("250 ok\r\n");
    Say("354 go\r\n");
    ASSERT_EQ(TnSmtpAbort(g_session), TNSMTP_OK);
    EXPECT_EQ(Last().event, TNSMTP_EV_COMPLETE);
    EXPECT_EQ(Take().find(".\r\n"), std::string::npos);
}

// A DNS answer for the query the stack sent: the question echoed, one A record.
Bytes DnsAnswer(const Bytes& query, std::uint32_t address) {
    Bytes r = query;
    r[2]    = 0x81;
    r[3]    = 0x80;
    r[7]    = 1;
    const Bytes rr{0xC0, 0x0C, 0, 1, 0, 1, 0, 0, 1, 0, 0, 4};
    r.insert(r.end(), rr.begin(), rr.end());
    for (int shift = 24; shift >= 0; shift -= 8) {
        r.push_back(static_cast<std::uint8_t>(address >> shift));
    }
    return r;
}

// The name is asked for again every 500 ms while the lookup is pending; a failed lookup
// reported by the host ends the session at once; a dotted quad needs no lookup.
TEST_F(SmtpTest, NameLookup) {
    TnSmtpMail m     = Mail();
    m.serverAddress  = nullptr;
    m.serverHostName = "mx.test";
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    const Decoded query = NextSent();
    ASSERT_TRUE(query.udp);
    EXPECT_EQ(TnSmtpSessionStep(g_session), std::string("name lookup"));
    Wait(1200);  // asked at 500 and 1000 ms; the resolver sent its query again
    InjectUdp(53, query.udp->srcPort, DnsAnswer(query.udp->payload, kPeerIp));
    EXPECT_TRUE(host().sent.empty()) << "no connect before the next 500 ms tick";
    Advance(300);
    Handshake();
    EXPECT_EQ(Say("220 hi\r\n"), "EHLO client.test\r\n");

    Restart();
    m.serverHostName = "nx.test";
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    TnSmtpDnsResult("NX.test", TNSOCK_DNS_NXDOMAIN);
    Take();
    EXPECT_EQ(Last().event, TNSMTP_EV_CONNECT_FAILED);

    // The resolver's own NXDOMAIN ends the wait at the next 500 ms tick, without the host.
    Restart();
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    const Decoded nxQuery = NextSent();
    ASSERT_TRUE(nxQuery.udp);
    Bytes nxdomain = nxQuery.udp->payload;
    nxdomain[2]    = 0x81;
    nxdomain[3]    = 0x83;  // response, recursion available, NXDOMAIN
    InjectUdp(53, nxQuery.udp->srcPort, nxdomain);
    Wait(500);
    EXPECT_EQ(Last().event, TNSMTP_EV_CONNECT_FAILED);

    Restart();
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    Wait(TNSMTP_RESOLVE_LIMIT_MS);
    EXPECT_EQ(Last().event, TNSMTP_EV_CONNECT_FAILED) << "the lookup never ended";

    Restart();
    m.serverHostName = "192.0.2.1";
    ASSERT_EQ(TnSmtpSendMail(&m, &g_session), TNSMTP_OK);
    EXPECT_TRUE(Out().Has(kSyn)) << "connects at once";
}

}  // namespace
}  // namespace tarnet::test
