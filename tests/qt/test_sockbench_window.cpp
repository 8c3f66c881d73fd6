// sockbench's window under QTest: clicks drive the commands, the DHCP box governs the address
// field, the fields' limits hold, and the log and session list show what the logic reports.
// Screenshots of the window go to build/screenshots/ for review.
#include <QDir>
#include <QHeaderView>
#include <QTest>
#include <memory>

#include "../tcp/tcp_peer.h"
#include "sockbench_window.h"

// Failures show texts, not code units.
inline void PrintTo(const QString& text, std::ostream* out) {
    *out << '"' << text.toStdString() << '"';
}

namespace tarnet::test {
namespace {

using namespace sockbench;
using namespace tcpflag;

class OnePort : public desktop::AdapterPort {
  public:
    bool List(std::vector<desktop::AdapterEntry>& out, std::string&) override {
        out = {
            {"tn-veth0", ""           },
            {"eth1",     "Second link"}
        };
        return true;
    }
    bool Open(const std::string&, std::string&) override { return open = true; }
    void Close() override { open = false; }
    bool IsOpen() const override { return open; }
    bool open = false;
};

class SockBenchWindowTest : public TcpPeerTest {
  protected:
    void SetUp() override {
        TcpPeerTest::SetUp();
        TnSockSetPredictableIsn(1);
        window = std::make_unique<SockBenchWindow>(
            port, [](TnSockConfig& c) { c = VirtualHost::Get().Config(); });
        window->show();
    }
    void TearDown() override {
        window.reset();
        TcpPeerTest::TearDown();
    }

    static void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }
    // Types `text` key by key; text beyond ASCII (which QTest cannot type) is pasted.
    static void Type(QLineEdit* field, const QString& text) {
        field->clear();
        bool ascii = true;
        for (QChar c : text) {
            ascii = ascii && c.unicode() < 0x80;
        }
        ascii ? QTest::keyClicks(field, text) : field->insert(text);
    }

    void Initialise() {
        Click(window->adapterArea->dhcp);
        Type(window->adapterArea->localIp, QStringLiteral("192.0.2.10"));
        Type(window->adapterArea->mac, QStringLiteral("02:54:4e:00:00:01"));
        Click(window->adapterArea->initialise);
        LearnPeer();
    }

    QString LastLog() const {
        const int n = window->eventLog->count();
        return n == 0 ? QString() : window->eventLog->item(n - 1)->text();
    }
    QString Cell(int row, int column) const {
        const QTableWidgetItem* item = window->sessions->item(row, column);
        return item != nullptr ? item->text() : QString();
    }

    void Screenshot(const char* name) {
        QDir().mkpath(QStringLiteral(TARNET_SCREENSHOT_DIR));
        const QString path = QStringLiteral(TARNET_SCREENSHOT_DIR "/") + QString::fromLatin1(name);
        EXPECT_TRUE(window->grab().save(path)) << path.toStdString();
    }

    OnePort port;
    std::unique_ptr<SockBenchWindow> window;
};

TEST_F(SockBenchWindowTest, StartsWithEveryControlAndDefault) {
    EXPECT_EQ(window->windowTitle(), QStringLiteral("Tarnet test application"));
    const desktop::AdapterArea& area = *window->adapterArea;
    EXPECT_EQ(area.selector->count(), 2);
    EXPECT_EQ(area.selector->currentText(), QStringLiteral("[1] tn-veth0"));
    EXPECT_EQ(area.selector->itemText(1), QStringLiteral("[2] Second link"));
    EXPECT_TRUE(area.dhcp->isChecked());
    EXPECT_FALSE(area.localIp->isEnabled());
    struct Text {
        QString actual;
        const char* expected;
    };
    const Text texts[] = {
        {area.dhcp->text(),               "Use DHCP to get IP address"},
        {area.localIp->text(),            "10.1.10.211"               },
        {area.mac->text(),                "00:1E:68:A4:FB:15"         },
        {area.initialise->text(),         "Initialize Tarnet"         },
        {area.shutdown->text(),           "Shutdown Tarnet"           },
        {window->protocol->currentText(), "TCP"                       },
        {window->protocol->itemText(1),   "UDP"                       },
        {window->type->currentText(),     "Client"                    },
        {window->type->itemText(1),       "Server"                    },
        {window->remoteHost->text(),      "10.1.10.210"               },
        {window->localPort->text(),       "2000"                      },
        {window->remotePort->text(),      "2001"                      },
        {window->connectButton->text(),   "Connect"                   },
        {window->listenButton->text(),    "Listen"                    },
        {window->closeButton->text(),     "Close session"             },
        {window->data->text(),            "test buffer"               },
        {window->sendButton->text(),      "Send Data"                 },
    };
    for (const Text& t : texts) {
        EXPECT_EQ(t.actual.toStdString(), t.expected);
    }
    const char* columns[4] = {"Src", "Dst", "Prot", "Stat"};
    const int widths[4]    = {120, 120, 40, 60};
    for (int c = 0; c < 4; ++c) {
        EXPECT_EQ(window->sessions->horizontalHeaderItem(c)->text().toStdString(), columns[c]);
        EXPECT_EQ(window->sessions->columnWidth(c), widths[c]);
    }
    Screenshot("sockbench-start.png");
}

TEST_F(SockBenchWindowTest, DhcpBoxEnablesTheAddressFieldWhileClear) {
    for (bool enabled : {true, false, true}) {
        Click(window->adapterArea->dhcp);
        EXPECT_EQ(window->adapterArea->localIp->isEnabled(), enabled);
    }
}

TEST_F(SockBenchWindowTest, FieldsKeepTheirLimits) {
    struct Case {
        QLineEdit* field;
        QString typed;
        QString kept;
    };
    const QString euros600(600, QChar(0x20AC));
    const QString euros511(511, QChar(0x20AC));
    const Case cases[] = {
        {window->remoteHost,       QStringLiteral("a-very-long-host-name"),
         QStringLiteral("a-very-long-hos")                                                         },
        {window->localPort,        QStringLiteral("655359"),                QStringLiteral("65535")},
        {window->remotePort,       QStringLiteral("7x0"),                   QStringLiteral("70")   },
        {window->adapterArea->mac, QStringLiteral("00:11:22:33:44:55:66"),
         QStringLiteral("00:11:22:33:44:55")                                                       },
        {window->data,             euros600,                                euros511               },
    };
    for (const Case& c : cases) {
        Type(c.field, c.typed);
        EXPECT_EQ(c.field->text().toStdString(), c.kept.toStdString());
    }
    Click(window->adapterArea->dhcp);
    const Case addresses[] = {
        {window->adapterArea->localIp, QStringLiteral("192.168.1.1"),
         QStringLiteral("192.168.1.1")                                                          },
        {window->adapterArea->localIp, QStringLiteral("300.1.2.3"),   QStringLiteral("30.1.2.3")},
        {window->adapterArea->localIp, QStringLiteral("1a.2.3.4"),    QStringLiteral("1.2.3.4") },
    };
    for (const Case& c : addresses) {
        Type(c.field, c.typed);
        EXPECT_EQ(c.field->text().toStdString(), c.kept.toStdString());
    }
}

TEST_F(SockBenchWindowTest, ClicksOpenUseAndCloseSessions) {
    Click(window->sendButton);
    EXPECT_EQ(LastLog(), QStringLiteral("No session is selected, cannot send"));
    Initialise();
    EXPECT_EQ(LastLog(), QStringLiteral("TnSock initialized OK"));

    window->protocol->setCurrentIndex(kProtocolUdp);
    Type(window->remoteHost, QStringLiteral("192.0.2.1"));
    Click(window->connectButton);
    EXPECT_EQ(LastLog(), QStringLiteral("TnSockUdpOpen OK."));
    ASSERT_EQ(window->sessions->rowCount(), 1);
    EXPECT_EQ(Cell(0, 0) + " " + Cell(0, 1) + " " + Cell(0, 2) + " " + Cell(0, 3),
              QStringLiteral("192.0.2.10:2000 192.0.2.1:2001 UDP Up"));
    window->sessions->selectRow(0);
    Click(window->sendButton);
    EXPECT_EQ(LastLog(), QStringLiteral("TnSockUdpSendto rc=") + TnSockResultName(TNSOCK_SUCCESS));
    EXPECT_EQ(NextSent().udp->payload, Text("test buffer"));

    window->protocol->setCurrentIndex(kProtocolTcp);
    Type(window->localPort, QStringLiteral("0"));
    Type(window->remotePort, QStringLiteral("4000"));
    Click(window->connectButton);
    const TcpSegment syn = Out();
    ourPort              = syn.srcPort;
    peerSeq              = 0x9000;
    peerAck              = syn.seq + 1;
    EXPECT_EQ(Cell(1, 3), QStringLiteral("Trying"));
    InjectTcp(Peer(kSyn | kAck));
    peerSeq = 0x9001;
    Out();
    EXPECT_EQ(Cell(1, 3), QStringLiteral("Up"));
    PeerSends(Text("gr\xC3\xBC\xC3\x9F dich"));
    EXPECT_EQ(window->data->text(), QString::fromUtf8("gr\xC3\xBC\xC3\x9F dich"));
    EXPECT_EQ(LastLog(), QStringLiteral("TCP Socket data received len=11"));
    Screenshot("sockbench-sessions.png");

    window->sessions->selectRow(0);
    Click(window->closeButton);
    EXPECT_EQ(LastLog(), QStringLiteral("Session closed by user"));
    ASSERT_EQ(window->sessions->rowCount(), 1);
    EXPECT_EQ(Cell(0, 2), QStringLiteral("TCP"));
}

TEST_F(SockBenchWindowTest, ShutdownStopsTheStackAndClosesTheWindow) {
    Initialise();
    ASSERT_TRUE(port.IsOpen());
    window->protocol->setCurrentIndex(kProtocolUdp);
    Type(window->remoteHost, QStringLiteral("192.0.2.1"));
    Click(window->connectButton);
    Click(window->adapterArea->shutdown);
    EXPECT_FALSE(window->isVisible());
    EXPECT_FALSE(window->Logic().Stack().Up());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(window->Logic().SessionsInUse(), 0u);
}

TEST_F(SockBenchWindowTest, EventLogShowsTheNewestThousandRows) {
    for (int i = 0; i <= 1000; ++i) {
        window->Logic().Log("row " + std::to_string(i));
    }
    QListWidget* log = window->eventLog;
    ASSERT_EQ(log->count(), 1000);
    EXPECT_EQ(log->item(0)->text(), QStringLiteral("row 1"));
    const QRect last = log->visualItemRect(log->item(999));
    EXPECT_TRUE(log->viewport()->rect().intersects(last)) << "the newest row is in view";
}

}  // namespace
}  // namespace tarnet::test
