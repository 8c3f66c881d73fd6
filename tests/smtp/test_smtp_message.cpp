// SMTP library message text: byte for byte (line endings, dot stuffing, quoted-printable, the
// Date zone, KOI8-R encoded words), body and attachment progress, the attachment streamed intact
// or abandoned, nothing lost behind a full send ring, further recipients.
#include "needs_size.h"
#include "smtp_fixture.h"

namespace tarnet::test {
namespace {

std::string Repeat(const std::string& text, int times) {
    std::string out;
    for (int i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

// Message text byte for byte: every line ending goes as CR LF, every line starting with "."
// is stuffed (also after a bare LF), quoted-printable follows RFC 2045 6.7 and carries its
// MIME head; the Date carries the zone.
TEST_F(SmtpTest, MessageTextByteForByte) {
    struct Case {
        std::string body;
        bool qp;
        TnSmtpDate date;
        std::string text;  // what follows the From, To and Subject lines
    };
    const TnSmtpDate winter{2026, 1, 31, 6, 23, 59, 60, -330};
    const std::string plain = "Date: Mon, 7 Dec 2026 09:05:03 +0100\r\n\r\n";
    const std::string qpHead =
        "Date: Mon, 7 Dec 2026 09:05:03 +0100\r\nMIME-Version: 1.0\r\nContent-Type: text/plain;\r\n"
        "\tcharset=\"iso-8859-1\"\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n";
    // Cells built from several strings trip clang-format's table alignment.
    // clang-format off
    const std::vector<Case> cases{
        {"Hello\r\n.hidden\r\nEnd", false, kDate, plain + "Hello\r\n..hidden\r\nEnd\r\n"},
        {"a\n.b\rc\r\r\n.", false, kDate, plain + "a\r\n..b\r\nc\r\n\r\n..\r\n"},
        {"x", false, winter, "Date: Sat, 31 Jan 2026 23:59:60 -0530\r\n\r\nx\r\n"},
        {"=41 caf\xE9 \t\r\n\x7F.", true, kDate, qpHead + "=3D41 caf=E9 =09\r\n=7F.\r\n"},
        {std::string(80, 'a'), true, kDate,
         qpHead + std::string(75, 'a') + "=\r\n" + std::string(5, 'a') + "\r\n"},
        {std::string(74, 'a') + "\xFF", true, kDate, qpHead + std::string(74, 'a') + "=\r\n=FF\r\n"},
        {std::string(73, 'a') + "\xFF", true, kDate, qpHead + std::string(73, 'a') + "=FF\r\n"},
        {std::string(75, 'a') + ".x", true, kDate,
         qpHead + std::string(75, 'a') + "=\r\n..x\r\n"},
        {std::string(26, '\xFF'), true, kDate, qpHead + Repeat("=FF", 25) + "=\r\n=FF\r\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        Restart();
        body              = c.body;
        g_date            = c.date;  // SetUp puts it back
        TnSmtpMail m      = Mail();
        m.quotedPrintable = c.qp ? 1 : 0;
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(kData);
        EXPECT_EQ(Message(),
                  "From: <a@x.test>\r\nTo: <b@y.test>\r\nSubject: Hi\r\n" + c.text + ".\r\n");
    }
}

// The library reads no clock itself: the Date line comes from the configuration's clock, a clock
// set later replaces it, and a host without a calendar clock sends its mail without a Date line.
TEST_F(SmtpTest, DateLineComesFromTheHostsClock) {
    struct Case {
        const char* name;
        TnSmtpDateFn configured;
        TnSmtpDateFn replacement;
        std::string dateLine;
    };
    static const auto otherDate = [](TnSmtpDate* out) -> int {
        *out = {1999, 2, 3, 3, 4, 5, 6, 0};
        return 1;
    };
    static const auto brokenDate = [](TnSmtpDate*) -> int { return 0; };
    const std::vector<Case> cases{
        {"configured clock",       FixedDate,  nullptr,   "Date: Mon, 7 Dec 2026 09:05:03 +0100\r\n"},
        {"replaced clock",         FixedDate,  otherDate, "Date: Wed, 3 Feb 1999 04:05:06 +0000\r\n"},
        {"no clock",               nullptr,    nullptr,   ""                                        },
        {"clock that cannot tell", brokenDate, nullptr,   ""                                        },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Restart();
        ASSERT_EQ(TnSmtpDeinit(), TNSMTP_OK);
        smtpConfig.localDate = c.configured;
        ASSERT_EQ(TnSmtpInit(&smtpConfig), TNSMTP_OK);
        ASSERT_EQ(TnSmtpSetDateSource(c.replacement), TNSMTP_OK);
        ASSERT_EQ(Send(Mail()), TNSMTP_OK);
        RunTo(kData);
        EXPECT_EQ(Message(), "From: <a@x.test>\r\nTo: <b@y.test>\r\nSubject: Hi\r\n" + c.dateLine +
                                 "\r\nHello\r\n.\r\n");
    }
}

TEST_F(SmtpTest, BodyProgressPerLine) {
    body = "Hello\r\n.hidden\r\nEnd";
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kData);
    Say("354 go\r\n");
    std::vector<std::uint32_t> percents;
    for (const SmtpEvent& e : g_events) {
        percents.push_back(e.value);
    }
    EXPECT_EQ(percents, (std::vector<std::uint32_t>{36, 84, 100}));
}

// The KOI8-R subject as encoded words of at most 75 characters on lines of at most 76.
TEST_F(SmtpTest, Koi8rSubjectIsFoldedIntoEncodedWords) {
    struct Case {
        std::string subject;
        std::string header;
    };
    const std::string a80(80, '\xC0');  // "А" in Windows-1251, 0xE1 in KOI8-R
    // Cells built from several strings trip clang-format's table alignment.
    // clang-format off
    const std::vector<Case> cases{
        {"\xC0", "Subject: =?koi8-r?B?4Q==?=\r\n"},
        {"\xE0\xA8\xB8\xA0z", "Subject: =?koi8-r?B?" + Base64Of("\xC1\xB3\xA3\x9Az") + "?=\r\n"},
        {a80, "Subject: =?koi8-r?B?" + Base64Of(std::string(39, '\xE1')) + "?=\r\n =?koi8-r?B?" +
                  Base64Of(std::string(41, '\xE1')) + "?=\r\n"},
    };
    // clang-format on
    for (const Case& c : cases) {
        Restart();
        subject          = c.subject;
        TnSmtpMail m     = Mail();
        m.subjectCharset = TNSMTP_CHARSET_KOI8R;
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(kData);
        const std::string text = Say("354 go\r\n");
        const std::size_t at   = text.find("Subject: ");
        ASSERT_NE(at, std::string::npos);
        EXPECT_EQ(text.substr(at, c.header.size()), c.header);
        for (std::size_t line = at, end; (end = text.find("\r\n", line)) < at + c.header.size();
             line             = end + 2) {
            EXPECT_LE(end - line, 76u);
        }
    }
}

// The attachment: the part head with the file name quoted, base64 in 76-character lines
// across the 3072-byte chunks (also when the host's reads come short), decoding to the file.
TEST_F(SmtpTest, AttachmentIsStreamedIntact) {
    TARNET_NEEDS_SIZE(TARNET_SMTP_ATTACH_CHUNK, 3072);  // progress falls on 3072-byte reads
    struct Case {
        std::size_t size;
        std::uint32_t readLimit;
        std::vector<std::uint32_t> progress;
    };
    const std::vector<Case> cases{
        {0,     0xFFFFFFFF, {}       },
        {1,     0xFFFFFFFF, {100}    },
        {3072,  0xFFFFFFFF, {100}    },
        {3073,  0xFFFFFFFF, {99, 100}},
        {10000, 1000,       {}       }, // short reads
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.size);
        Restart();
        g_files.readLimit                        = c.readLimit;
        const Bytes file                         = Pattern(c.size, 9);
        g_files.contents["/home/u/my \"q\\.bin"] = file;
        TnSmtpMail m                             = Mail();
        m.attach                                 = 1;
        m.attachmentPath                         = "/home/u/my \"q\\.bin";
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(kData);
        g_events.clear();
        const std::string text = Message();
        const std::string head =
            "Hello\r\n\r\n------=_NextPart_000_0001_01C80074.E5884AE0\r\n"
            "Content-Type: application/octet-stream;\r\n\tname=\"my \\\"q\\\\.bin\"\r\n"
            "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment;\r\n"
            "\tfilename=\"my \\\"q\\\\.bin\"\r\n\r\n";
        const std::string tail = "\r\n------=_NextPart_000_0001_01C80074.E5884AE0--\r\n.\r\n";
        const std::size_t at   = text.find(head);
        ASSERT_NE(at, std::string::npos);
        ASSERT_GE(text.size(), at + head.size() + tail.size());
        EXPECT_EQ(text.substr(text.size() - tail.size()), tail);
        std::string b64 =
            text.substr(at + head.size(), text.size() - tail.size() - at - head.size());
        std::string joined;
        for (std::size_t line = 0, end; line < b64.size(); line = end + 2) {
            end = std::min(b64.find("\r\n", line), b64.size());
            EXPECT_TRUE(end - line == 76 || end == b64.size()) << "line at " << line;
            joined += b64.substr(line, end - line);
        }
        EXPECT_EQ(joined, Base64Of(std::string(file.begin(), file.end())));
        std::vector<std::uint32_t> progress;
        for (const SmtpEvent& e : g_events) {
            if (e.event == TNSMTP_EV_ATTACH_PROGRESS) {
                progress.push_back(e.value);
            }
        }
        if (c.readLimit == 0xFFFFFFFF) {
            EXPECT_EQ(progress, c.progress);
        }
    }
}

// RFC 2046 5.1.1: the boundary occurs nowhere in the text. A body that quotes the usual one
// (even as a forged closing delimiter) gets the next free serial; the parts stay whole.
TEST_F(SmtpTest, BoundaryNeverOccursInTheText) {
    const std::string usual = "----=_NextPart_000_0001_01C80074.E5884AE0";
    const std::string next  = "----=_NextPart_000_0002_01C80074.E5884AE0";
    struct Case {
        std::string body;
        std::string boundary;
    };
    const std::vector<Case> cases{
        {"Hello\r\n",                                       usual},
        {"x\r\n--" + usual + "--\r\nforged\r\n",            next },
        {next + " " + usual + "0 ----=_NextPart_000_1\r\n",
         "----=_NextPart_000_0003_01C80074.E5884AE0"             },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.body);
        Restart();
        body                  = c.body;
        g_files.contents["f"] = Pattern(100, 4);
        TnSmtpMail m          = Mail();
        m.attach              = 1;
        m.attachmentPath      = "f";
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(kData);
        const std::string text = Message();
        EXPECT_NE(text.find("\tboundary=\"" + c.boundary + "\"\r\n"), std::string::npos);
        EXPECT_NE(text.find("\r\n\r\n--" + c.boundary + "\r\n"), std::string::npos);
        EXPECT_NE(text.find(c.body + "\r\n--" + c.boundary + "\r\nContent-Type: application"),
                  std::string::npos);
        const std::string closing = "\r\n--" + c.boundary + "--\r\n.\r\n";
        EXPECT_EQ(text.substr(text.size() - closing.size()), closing);
    }
}

// An ASCII name goes as a quoted string; any other as an RFC 2231 extended value, so the
// message stays 7-bit.
TEST_F(SmtpTest, AttachmentNamesStaySevenBit) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"plain.txt",                "=\"plain.txt\""                   },
        {"R\xC3\xA9sum\xC3\xA9.txt", "*=utf-8''R%C3%A9sum%C3%A9.txt"    },
        {"a b%'\xE2\x82\xAC.bin",    "*=utf-8''a%20b%25%27%E2%82%AC.bin"},
    };
    for (const auto& [name, value] : cases) {
        SCOPED_TRACE(name);
        Restart();
        g_files.contents[name] = Pattern(10, 1);
        TnSmtpMail m           = Mail();
        m.attach               = 1;
        m.attachmentPath       = name.c_str();
        ASSERT_EQ(Send(m), TNSMTP_OK);
        RunTo(kData);
        const std::string text = Message();
        EXPECT_NE(text.find("\tname" + value + "\r\n"), std::string::npos);
        EXPECT_NE(text.find("\tfilename" + value + "\r\n"), std::string::npos);
        EXPECT_TRUE(std::all_of(text.begin(), text.end(),
                                [](char ch) { return static_cast<unsigned char>(ch) < 0x80; }));
    }
}

// A read error must not pass for the end of the file: the message is abandoned.
TEST_F(SmtpTest, AttachmentReadErrorAbandonsTheMessage) {
    g_files.contents["f"] = Pattern(7000);
    g_files.failRead      = 1;
    TnSmtpMail m          = Mail();
    m.attach              = 1;
    m.attachmentPath      = "f";
    ASSERT_EQ(Send(m), TNSMTP_OK);
    RunTo(kData);
    const std::string text = Message();
    EXPECT_EQ(text.find(".\r\n", text.size() - 3), std::string::npos) << "no end of data";
    EXPECT_TRUE(finReceived);
    EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
    EXPECT_EQ(Last().text, "cannot read the attachment");
}

// Everything goes through the keep-the-rest path: with the server acknowledging nothing the
// send ring fills, and what arrives once it does is the same text as without the stall.
TEST_F(SmtpTest, FullSendRingLosesNothing) {
    TARNET_NEEDS_SIZE(TARNET_TCP_SEND_RING, 4096);
    body                  = std::string(3000, 'b') + "\r\n" + std::string(2000, 'c');
    g_files.contents["f"] = Pattern(9000, 3);
    TnSmtpMail m          = Mail();
    m.attach              = 1;
    m.attachmentPath      = "f";
    ASSERT_EQ(Send(m), TNSMTP_OK);
    RunTo(kData);
    const std::string smooth = Message();
    Restart();
    g_files.contents["f"] = Pattern(9000, 3);
    body                  = std::string(3000, 'b') + "\r\n" + std::string(2000, 'c');
    m                     = Mail();
    m.attach              = 1;
    m.attachmentPath      = "f";
    ASSERT_EQ(Send(m), TNSMTP_OK);
    RunTo(kData);
    acking              = false;
    std::string stalled = Say("354 go\r\n");
    for (int i = 0; i < 20; ++i) {
        stalled += Wait(100);
    }
    // The peer's window went out, then the send ring filled and held the rest back.
    EXPECT_GT(stalled.size(), 4096u);
    EXPECT_LT(stalled.size(), smooth.size());
    acking = true;
    stalled += Wait(1000);
    for (int i = 0; i < 20 && stalled.size() < smooth.size(); ++i) {
        stalled += Wait(1000);
    }
    EXPECT_EQ(stalled, smooth);
}

// Each further recipient gets the whole message with its To, attachment included; CC once.
TEST_F(SmtpTest, FurtherRecipientsGetTheWholeMessage) {
    g_files.contents["f"] = Pattern(4000, 5);
    TnSmtpMail m          = Mail();
    m.attach              = 1;
    m.attachmentPath      = "f";
    m.cc                  = "c@z.test";
    g_nextTo              = {"d@w.test", "e@v.test"};
    ASSERT_EQ(Send(m), TNSMTP_OK);
    RunTo(3);
    EXPECT_EQ(Say("250 ok\r\n"), "RCPT TO:<c@z.test>\r\n");
    EXPECT_EQ(Say("250 ok\r\n"), "DATA\r\n");
    const std::string first = Message();
    for (const char* to : {"d@w.test", "e@v.test"}) {
        EXPECT_EQ(Say("250 queued\r\n"), std::string("MAIL FROM:<a@x.test>\r\n"));
        EXPECT_EQ(Say("250 ok\r\n"), std::string("RCPT TO:<") + to + ">\r\n");
        EXPECT_EQ(Say("250 ok\r\n"), "DATA\r\n");
        std::string again    = Message();
        const std::size_t at = again.find(std::string("To: <") + to + ">");
        ASSERT_NE(at, std::string::npos);
        again.replace(at, 5 + std::strlen(to) + 1, "To: <b@y.test>");
        EXPECT_EQ(again, first);
    }
    EXPECT_EQ(Say("250 queued\r\n"), "QUIT\r\n");
    Say("221 bye\r\n");
    EXPECT_EQ(Last().event, TNSMTP_EV_COMPLETE);
    EXPECT_EQ(g_files.opened, 3);
    // An unusable further address is not cut or sent: the session ends with a failure.
    Restart();
    g_nextTo = {"x@y\r\nDATA"};
    ASSERT_EQ(Send(Mail()), TNSMTP_OK);
    RunTo(kQuit);
    Say("221 bye\r\n");
    EXPECT_EQ(Last().event, TNSMTP_EV_FAILED);
}

}  // namespace
}  // namespace tarnet::test
