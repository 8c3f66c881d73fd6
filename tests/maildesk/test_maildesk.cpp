// maildesk's logic against a scripted SMTP server on the harness: the commands' status lines
// and colours, progress, Abort, the text conversions, and the settings record byte for byte.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>

#include "mail_server_test.h"
#include "maildesk_logic.h"
#include "maildesk_settings.h"

namespace tarnet::test {
namespace {

using namespace maildesk;
using namespace tcpflag;

class OnePort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string&) override {
        out = {
            {"veth0", "Test link"}
        };
        return true;
    }
    bool Open(const std::string&, std::string&) override { return open = true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    bool open = false;
};

class RecordingView : public View {
  public:
    void ShowStatus(const std::string& text, Colour c) override { lines.push_back({text, c}); }
    void ShowProgress(int percent) override { progress.push_back(percent); }
    void ShowLease(const TnDhcpLease&) override {}
    void ShowMessageBox(const std::string& text) override { boxes.push_back(text); }

    struct Line {
        std::string text;
        Colour colour;
    };
    std::vector<Line> lines;
    std::vector<int> progress;
    std::vector<std::string> boxes;
};

class MailDeskTest : public MailServerTest {
  protected:
    void SetUp() override {
        MailServerTest::SetUp();
        view = RecordingView{};
        desk = std::make_unique<MailDesk>(
            view, port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); }, VirtualSmtpHost);
    }
    void TearDown() override {
        desk.reset();
        MailServerTest::TearDown();
    }
    void Restart() {
        TearDown();
        SetUp();
    }

    void Up() {
        desk->LoadAdapters();
        desktop::InitRequest r{0, "192.0.2.10", "02:54:4E:00:00:01", false};
        r.dns = "192.0.2.1";
        ASSERT_TRUE(desk->Initialise(r));
        ASSERT_TRUE(TnSmtpSetEndOfBodyPause(0) == TNSMTP_OK);
        LearnPeer();
    }

    static MailFields Fields() {
        MailFields f;
        f.server   = "192.0.2.1";
        f.portText = std::to_string(kPeerPort);
        f.from     = "a@x.test";
        f.to       = "b@y.test";
        f.subject  = "Hi";
        f.message  = "Hello";
        return f;
    }

    const RecordingView::Line& Last() const { return view.lines.back(); }

    OnePort port;
    RecordingView view;
    std::unique_ptr<MailDesk> desk;
};

TEST_F(MailDeskTest, InitialiseAndShutdownShowTheirLines) {
    EXPECT_FALSE(desk->Send(Fields()));  // before initialisation
    EXPECT_EQ(Last().text, "ERROR: TN SMTP ERROR (2)");
    EXPECT_EQ(Last().colour, Colour::kRed);
    Up();
    EXPECT_EQ(Last().text, "Tarnet Initialized");
    EXPECT_TRUE(port.IsOpen());
    // A second initialisation keeps the running library instead of reporting a failure.
    desktop::InitRequest r{0, "192.0.2.10", "02:54:4E:00:00:01", false};
    EXPECT_TRUE(desk->Initialise(r));
    EXPECT_TRUE(view.boxes.empty());
    desk->Shutdown();
    EXPECT_EQ(Last().text, "Tarnet De-Initialized");
    EXPECT_FALSE(port.IsOpen());
    desk->Initialise(desktop::InitRequest{-1, "192.0.2.10", "02:54:4E:00:00:01", false});
    EXPECT_EQ(Last().text, "Local adapter not selected from list");
    EXPECT_EQ(Last().colour, Colour::kRed);
}

TEST_F(MailDeskTest, MissingSenderOrRecipientShowsCode5) {
    Up();
    for (int which = 0; which < 2; ++which) {
        MailFields f = Fields();
        (which == 0 ? f.from : f.to).clear();
        EXPECT_FALSE(desk->Send(f));
        EXPECT_EQ(Last().text, "ERROR: TN SMTP ERROR (5)") << which;
        EXPECT_EQ(Last().colour, Colour::kRed);
        EXPECT_TRUE(host().sent.empty());
    }
}

TEST_F(MailDeskTest, EachOutcomeHasItsStatusLineAndColour) {
    const std::string longLine = "554 " + std::string(400, 'x');
    struct Case {
        const char* name;
        std::function<void()> server;
        std::string status;
        Colour colour;
    };
    const Case cases[] = {
        {"complete",   [this] { Deliver(); },           "MAIL TRANSFER COMPLETE",                             Colour::kGreen  },
        {"refused",
         [this] {
             Say("220 mx\r\n");
             Say("250 mx\r\n");
             Say("250 ok\r\n");
             Say("550 No such user here\r\n");
         },                                             "ERROR: Server Returns Error: 550 No such user here", Colour::kRed    },
        {"long reply", [&] { Say(longLine + "\r\n"); },
         "ERROR: Server Returns Error: " + longLine.substr(0,                                                 kServerErrorMax), Colour::kRed},
        {"closed",
         [this] {
             Say("220 mx\r\n");
             PeerSends({}, kFin);
             Say("");
         },                                    "ERROR: TCP SESSION DISCONNECTED",                                                                                                   Colour::kRed                                              },
        {"silent",
         [this] {
             Advance(TNSMTP_DEFAULT_REPLY_TIMEOUT_MS + 10);
             Say("");
         },                                    "ERROR: TIMEOUT WAITING FOR SERVER REPONSE: (no welcome)",                                                                                                   Colour::kRed                      },
        {"line too long",            [this] { Say(std::string(1100, 'y') + "\r\n"); },
         "ERROR: MAIL SESSION FAILED: (reply line too long)",                      Colour::kRed                                                                  },
    };
    for (const Case& c : cases) {
        Restart();
        Up();
        ASSERT_TRUE(desk->Send(Fields())) << c.name;
        EXPECT_EQ(Last().text, "INITIATING MAIL SESSION");
        EXPECT_EQ(Last().colour, Colour::kBlack);
        EXPECT_EQ(view.progress, std::vector<int>{0});
        Handshake();
        c.server();
        EXPECT_EQ(Last().text, c.status) << c.name;
        EXPECT_EQ(Last().colour, c.colour) << c.name;
        EXPECT_EQ(desk->Current(), nullptr) << c.name;
    }
}

TEST_F(MailDeskTest, RefusedConnectionShowsConnectFailed) {
    Up();
    ASSERT_TRUE(desk->Send(Fields()));
    const TcpSegment syn = Out();
    ASSERT_TRUE(syn.Has(kSyn));
    ourPort = syn.srcPort;
    peerSeq = 0;
    peerAck = syn.seq + 1;
    InjectTcp(Peer(kRst | kAck));
    Say("");
    EXPECT_EQ(Last().text, "ERROR: TCP CONNECTION REQUEST FAILED");
    EXPECT_EQ(Last().colour, Colour::kRed);
}

TEST_F(MailDeskTest, ServerNameGoesThroughDnsAndDottedQuadDoesNot) {
    Up();
    MailFields f = Fields();
    f.server     = "mail.tarnet.test";
    ASSERT_TRUE(desk->Send(f));
    const Decoded query = NextSent();
    ASSERT_TRUE(query.udp.has_value());
    EXPECT_EQ(query.udp->dstPort, 53);
    // The server answers NXDOMAIN: the session fails at once, not after the library's limit.
    Bytes reply = query.udp->payload;
    reply[2]    = 0x81;
    reply[3]    = 0x83;
    InjectUdp(53, query.udp->srcPort, reply);
    Say("");
    EXPECT_EQ(Last().text, "ERROR: TCP CONNECTION REQUEST FAILED");
    EXPECT_EQ(desk->Current(), nullptr);
    host().sent.clear();
    ASSERT_TRUE(desk->Send(Fields()));
    const Decoded syn = NextSent();
    ASSERT_TRUE(syn.tcp.has_value());
    EXPECT_TRUE(syn.tcp->Has(kSyn));
}

TEST_F(MailDeskTest, AbortShowsAbortingThenTheOutcome) {
    Up();
    desk->Abort();  // no session: nothing to say
    EXPECT_EQ(Last().text, "Tarnet Initialized");
    // Before the connection is up the library ends the session inside the call: its outcome
    // follows the aborting line instead of being hidden by it.
    ASSERT_TRUE(desk->Send(Fields()));
    desk->Abort();
    ASSERT_GE(view.lines.size(), 2u);
    EXPECT_EQ(view.lines[view.lines.size() - 2].text, "ABORTING MAIL SESSION");
    EXPECT_EQ(Last().text, "ERROR: MAIL SESSION FAILED: (aborted)");
    EXPECT_EQ(desk->Current(), nullptr);
    host().sent.clear();

    ASSERT_TRUE(desk->Send(Fields()));
    Handshake();
    Say("220 mx\r\n");
    desk->Abort();
    EXPECT_EQ(Last().text, "ABORTING MAIL SESSION");
    EXPECT_EQ(Last().colour, Colour::kRed);
    EXPECT_EQ(Say("250 mx\r\n"), "QUIT\r\n");
    Say("221 bye\r\n");
    EXPECT_EQ(Last().text, "ERROR: MAIL SESSION FAILED: (aborted)");
    EXPECT_EQ(desk->Current(), nullptr);
}

TEST_F(MailDeskTest, TextGoesInTheDeclaredCharsetsWithProgress) {
    char path[]  = "/tmp/maildesk-attach-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content(10000, 'Z');
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);
    Up();
    MailFields f   = Fields();
    f.subject      = "Привет";
    f.charset      = kCharsetKoi8r;
    f.message      = "Grüße aus Köln";  // 14 characters, 17 bytes of UTF-8
    f.attachment   = path;
    f.authenticate = true;
    f.user         = "user";
    f.password     = "secret";
    ASSERT_TRUE(desk->Send(f));
    Handshake();
    const std::string text = Deliver(true);
    std::remove(path);
    EXPECT_NE(text.find("dXNlcg==\r\n"), std::string::npos);  // the user name
    // "Привет" in KOI8-R is F0 D2 C9 D7 C5 D4.
    EXPECT_NE(text.find("Subject: =?koi8-r?B?8NLJ18XU?="), std::string::npos) << text;
    EXPECT_NE(text.find("Gr=FC=DFe aus K=F6ln"), std::string::npos) << text;
    EXPECT_NE(text.find("WlpaWlpa"), std::string::npos);  // the attachment's base64
    EXPECT_EQ(Last().text, "MAIL TRANSFER COMPLETE");
    ASSERT_GE(view.progress.size(), 3u);
    EXPECT_EQ(view.progress.front(), 0);
    EXPECT_EQ(view.progress.back(), 100);
    // The body's progress reaches 100, then the attachment's.
    EXPECT_EQ(std::count(view.progress.begin(), view.progress.end(), 100), 2);
}

TEST_F(MailDeskTest, TextTheCharsetCannotHoldIsNamed) {
    Up();
    struct Case {
        const char* subject;
        int charset;
        const char* message;
        const char* status;
    };
    const Case cases[] = {
        {"Grüße",        kCharsetDefault, "Hello",
         "ERROR: SUBJECT CANNOT BE SENT: character 3, 'ü', is not ASCII (choose KOI8-R for "
         "Cyrillic)"                                                                                            },
        {"Цена 5 €", kCharsetKoi8r,   "Hello",        "ERROR: SUBJECT CANNOT BE SENT: character 8, U+20AC"},
        {"Hi",             kCharsetDefault, "Preis: 5 €",
         "ERROR: MESSAGE CANNOT BE SENT: character 10, U+20AC"                                                  },
    };
    for (const Case& c : cases) {
        MailFields f = Fields();
        f.subject    = c.subject;
        f.charset    = c.charset;
        f.message    = c.message;
        EXPECT_FALSE(desk->Send(f));
        EXPECT_EQ(Last().text.substr(0, std::strlen(c.status)), c.status);
        EXPECT_EQ(Last().colour, Colour::kRed);
        EXPECT_TRUE(host().sent.empty()) << "nothing goes out";
    }
}

// ---- Settings ----------------------------------------------------------------------------------

std::string TempPath() {
    return ::testing::TempDir() + "maildesk-" +
           ::testing::UnitTest::GetInstance()->current_test_info()->name();
}

std::vector<std::uint8_t> FileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

TEST(MailDeskSettings, RecordByteForByte) {
    Settings s{587, 0x0A000102, "smtp.tarnet.test", "a@tarnet.test", std::string(90, 'b')};
    const Record r = Encode(s);
    std::vector<std::uint8_t> expected(kRecordSize, 0);
    const std::uint8_t head[8] = {0x4B, 0x02, 0, 0, 0x02, 0x01, 0x00, 0x0A};
    std::copy(head, head + 8, expected.begin());
    std::copy(s.server.begin(), s.server.end(), expected.begin() + 8);
    std::copy(s.from.begin(), s.from.end(), expected.begin() + 88);
    std::fill(expected.begin() + 168, expected.begin() + 168 + 79, 'b');  // 79 bytes and a NUL
    EXPECT_EQ(std::vector<std::uint8_t>(r.begin(), r.end()), expected);
    const Settings back = maildesk::Decode(r);
    EXPECT_EQ(back.port, 587);
    EXPECT_EQ(back.address, 0x0A000102u);
    EXPECT_EQ(back.server, s.server);
    EXPECT_EQ(back.to, std::string(79, 'b'));

    const Record d = DefaultRecord();
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin(), d.begin() + 8),
              (std::vector<std::uint8_t>{25, 0, 0, 0, 1, 1, 168, 192}));
    EXPECT_EQ(maildesk::Decode(d).server, kDefaultServer);
    EXPECT_EQ(maildesk::Decode(d).from, "");
}

TEST(MailDeskSettings, MissingFileIsCreatedWithTheDefaults) {
    const std::string path = TempPath();
    std::remove(path.c_str());
    std::string note;
    const Settings s = LoadSettings(path, note);
    EXPECT_EQ(note, "");
    EXPECT_EQ(s.from, kPlaceholderFrom);  // the working values keep their placeholders
    EXPECT_EQ(s.to, kPlaceholderTo);
    const Record d = DefaultRecord();
    EXPECT_EQ(FileBytes(path), std::vector<std::uint8_t>(d.begin(), d.end()));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    std::remove(path.c_str());
}

TEST(MailDeskSettings, ShortFileIsReadAsFarAsItGoes) {
    const std::string path = TempPath();
    // Port 2525, the address 10.0.0.1, a server name of 80 bytes without a terminating zero and
    // 12 bytes of From: the record ends there.
    std::string bytes("\xDD\x09\0\0\x01\0\0\x0A", 8);
    bytes += std::string(80, 's') + "a@tarnet.tes";
    std::ofstream(path, std::ios::binary) << bytes;
    std::string note;
    const Settings s = LoadSettings(path, note);
    EXPECT_EQ(s.port, 2525);
    EXPECT_EQ(s.address, 0x0A000001u);
    EXPECT_EQ(s.server, std::string(80, 's'));
    EXPECT_EQ(s.from, "a@tarnet.tes");
    EXPECT_EQ(s.to, "");
    std::remove(path.c_str());
}

TEST(MailDeskSettings, PortFieldThatIsNotANumberStores25) {
    const struct {
        const char* text;
        std::uint16_t port;
    } ports[] = {
        {"587",   587},
        {"",      25 },
        {"abc",   25 },
        {"99999", 25 },
        {"0",     0  }
    };
    for (const auto& p : ports) {
        EXPECT_EQ(PortOfText(p.text), p.port) << p.text;
    }
}

}  // namespace
}  // namespace tarnet::test
