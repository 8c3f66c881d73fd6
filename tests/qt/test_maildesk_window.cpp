// maildesk's window under QTest: every control with its label, default and limit, the boxes
// that enable fields, the status line's colours, a completed send with an attachment against
// the scripted server, and the settings written when the window goes. Screenshots go to
// build/screenshots/ for review.
#include <QDir>
#include <QLabel>
#include <QTest>
#include <fstream>
#include <iterator>
#include <memory>

#include "../maildesk/mail_server_test.h"
#include "maildesk_window.h"

namespace tarnet::test {
namespace {

using namespace maildesk;

class OnePort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string&) override {
        out = {
            {"tn-veth0", ""}
        };
        return true;
    }
    bool Open(const std::string&, std::string&) override { return open = true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    bool open = false;
};

class MailDeskWindowTest : public MailServerTest {
  protected:
    void SetUp() override {
        MailServerTest::SetUp();
        settingsPath = ::testing::TempDir() + "maildesk-window.rec";
        std::remove(settingsPath.c_str());
        Open();
    }
    void TearDown() override {
        window.reset();
        std::remove(settingsPath.c_str());
        MailServerTest::TearDown();
    }
    void Open() {
        window = std::make_unique<MailDeskWindow>(
            port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); }, VirtualSmtpHost,
            settingsPath);
        window->show();
    }

    static void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
    static void Type(QLineEdit* field, const QString& text) {
        field->clear();
        field->insert(text);
    }
    QLabel* LabelWith(const char* text) const {
        for (QLabel* label : window->dialog->findChildren<QLabel*>()) {
            if (label->text() == QString::fromUtf8(text)) {
                return label;
            }
        }
        return nullptr;
    }
    void Screenshot(const char* name) {
        QDir().mkpath(QStringLiteral(TARNET_SCREENSHOT_DIR));
        const QString path = QStringLiteral(TARNET_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
        EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
    }
    QColor StatusColour() const { return window->status->palette().color(QPalette::WindowText); }

    OnePort port;
    std::string settingsPath;
    std::unique_ptr<MailDeskWindow> window;
};

TEST_F(MailDeskWindowTest, StartsWithEveryControlLabelAndDefault) {
    EXPECT_EQ(window->windowTitle().toStdString(), "Tarnet C Source Library: SMTP Demo");
    EXPECT_EQ(window->size(), QSize(625, 566));
    const desktop::AdapterArea& a = *window->adapterArea;
    struct Text {
        QString actual;
        const char* expected;
    };
    const Text texts[] = {
        {a.selector->currentText(),      "[1] tn-veth0"                          },
        {a.localIp->text(),              "192.168.1.51"                          },
        {a.mac->text(),                  "00:1e:68:a4:fb:15"                     },
        {a.gateway->text(),              "192.168.1.254"                         },
        {a.mask->text(),                 "255.255.255.0"                         },
        {a.dns->text(),                  "192.168.1.51"                          },
        {a.dhcp->text(),                 "Get IP address using DHCP"             },
        {window->from->text(),           kPlaceholderFrom                        },
        {window->to->text(),             kPlaceholderTo                          },
        {window->cc->text(),             ""                                      },
        {window->subject->text(),        "TN SMTP C Library Test"                },
        {window->charset->currentText(), "Default"                               },
        {window->charset->itemText(1),   "KOI8-R"                                },
        {window->attachButton->text(),   "Attach File"                           },
        {window->message->toPlainText(), "<Type Your Message Here ...>"          },
        {window->server->text(),         kDefaultServer                          },
        {window->port->text(),           "25"                                    },
        {window->authenticate->text(),   "My SMTP Server Requires Authentication"},
        {window->sendButton->text(),     "Send"                                  },
        {window->abortButton->text(),    "Abort"                                 },
    };
    for (const Text& t : texts) {
        EXPECT_EQ(t.actual.toStdString(), t.expected);
    }
    for (const char* label :
         {"Select Local IF", "Local IP address", "Local ethernet MAC addr", "Gateway IP address",
          "Network mask", "DNS Server IP", "FROM :", "TO :", "CC :", "SUBJECT :",
          "Subject Charset:", "MESSAGE :", "SMTP Server Name or IP address", "SMTP Port",
          "Username:", "Password:", "PROGRESS", "STATUS"}) {
        EXPECT_NE(LabelWith(label), nullptr) << label;
    }
    EXPECT_TRUE(window->description->text().startsWith(
        QStringLiteral("This is a demo application for Tarnet embedded protocol stack.")));
    EXPECT_TRUE(a.dhcp->isChecked());
    EXPECT_FALSE(a.localIp->isEnabled());
    EXPECT_EQ(window->password->echoMode(), QLineEdit::Password);
    const struct {
        QLineEdit* field;
        int limit;
    } limits[] = {
        {window->from,       79 },
        {window->to,         79 },
        {window->cc,         79 },
        {window->subject,    79 },
        {window->server,     79 },
        {window->port,       4  },
        {window->user,       99 },
        {window->password,   99 },
        {window->attachment, 259},
    };
    for (const auto& l : limits) {
        EXPECT_EQ(l.field->maxLength(), l.limit);
    }
    EXPECT_EQ(window->progress->minimum(), 0);
    EXPECT_EQ(window->progress->maximum(), 100);
    Screenshot("maildesk-start.png");
}

TEST_F(MailDeskWindowTest, AuthenticationBoxEnablesItsFields) {
    for (bool on : {false, true, false}) {
        window->authenticate->setChecked(on);
        for (QWidget* w :
             {static_cast<QWidget*>(window->user), static_cast<QWidget*>(window->password),
              static_cast<QWidget*>(window->userLabel),
              static_cast<QWidget*>(window->passwordLabel)}) {
            EXPECT_EQ(w->isEnabled(), on);
        }
    }
}

TEST_F(MailDeskWindowTest, MessageHoldsAtMost1023Characters) {
    window->message->setPlainText(QString(1100, QChar(0x00FC)));
    EXPECT_EQ(window->message->toPlainText(), QString(1023, QChar(0x00FC)));
    EXPECT_EQ(window->Fields().message.size(), 2046u);  // UTF-8 bytes, converted on Send
}

TEST_F(MailDeskWindowTest, StatusLineTakesTheColourOfTheOutcome) {
    Click(window->sendButton);
    EXPECT_EQ(window->status->text().toStdString(), "ERROR: TN SMTP ERROR (2)");
    EXPECT_EQ(StatusColour(), QColor(0xFF, 0x33, 0));
}

TEST_F(MailDeskWindowTest, CompletedSendWithAttachment) {
    char path[]  = "/tmp/maildesk-window-XXXXXX";
    const int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    const std::string content(20000, 'Q');
    ASSERT_EQ(write(fd, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    close(fd);

    desktop::AdapterArea& a = *window->adapterArea;
    Click(a.dhcp);
    Type(a.localIp, QStringLiteral("192.0.2.10"));
    Type(a.mac, QStringLiteral("02:54:4e:00:00:01"));
    Type(a.dns, QStringLiteral("192.0.2.1"));
    Click(a.initialise);
    EXPECT_EQ(window->status->text().toStdString(), "Tarnet Initialized");
    ASSERT_EQ(TnSmtpSetEndOfBodyPause(0), TNSMTP_OK);
    LearnPeer();
    Type(window->server, QStringLiteral("192.0.2.1"));
    Type(window->port, QString::number(kPeerPort));
    Type(window->from, QStringLiteral("me@tarnet.test"));
    Type(window->to, QStringLiteral("you@tarnet.test"));
    Type(window->attachment, QString::fromUtf8(path));
    window->message->setPlainText(QStringLiteral("Grüße aus dem Testfenster"));
    Click(window->sendButton);
    EXPECT_EQ(window->status->text().toStdString(), "INITIATING MAIL SESSION");
    EXPECT_EQ(StatusColour(), QColor(0, 0, 0));
    Handshake();
    const std::string text = Deliver();
    std::remove(path);
    EXPECT_NE(text.find("Gr=FC=DFe aus dem Testfenster"), std::string::npos) << text;
    EXPECT_EQ(window->status->text().toStdString(), "MAIL TRANSFER COMPLETE");
    EXPECT_EQ(StatusColour(), QColor(0, 0x66, 0));
    EXPECT_EQ(window->progress->value(), 100);
    Screenshot("maildesk-sent.png");
}

TEST_F(MailDeskWindowTest, SettingsAreWrittenWhenTheWindowGoes) {
    Type(window->server, QStringLiteral("mx.tarnet.test"));
    Type(window->port, QString());
    Type(window->to, QStringLiteral("you@tarnet.test"));
    window.reset();
    std::ifstream in(settingsPath, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    ASSERT_EQ(bytes.size(), kRecordSize);
    // An empty port field stores 25; the address no control shows is written back unchanged.
    EXPECT_EQ(std::vector<std::uint8_t>(bytes.begin(), bytes.begin() + 8),
              (std::vector<std::uint8_t>{25, 0, 0, 0, 1, 1, 168, 192}));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 8), "mx.tarnet.test");
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()) + 168), "you@tarnet.test");
    Open();  // the next start shows them again
    EXPECT_EQ(window->server->text().toStdString(), "mx.tarnet.test");
    EXPECT_EQ(window->port->text().toStdString(), "25");
    EXPECT_EQ(window->to->text().toStdString(), "you@tarnet.test");
}

}  // namespace
}  // namespace tarnet::test
