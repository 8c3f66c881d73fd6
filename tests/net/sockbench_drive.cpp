// Drives sockbench's window with QTest against a real peer, for test_sockbench.py: opens the
// named adapter with a static address, connects over TCP to the peer's listener and exchanges
// a line each way, opens a UDP session and exchanges a datagram, then listens and takes a
// connection from the peer, answering its line. Prints each step ("step: ..."), "listening"
// when the peer may connect, and at the end every log row ("log: ...") and session row
// ("row: ..."). Exits 0 when every step saw what it waited for, 1 otherwise. With
// TARNET_SCREENSHOTS set to a folder, the window is saved there after each step (scripts/demo).
// With TARNET_IDLE_SECONDS=N it then prints "idle" and stays up N seconds with the stack, the
// adapter, the UDP session and the listener open, so its idle CPU use can be measured.
// With TARNET_HOLD_TCP set it only connects over TCP, prints "holding" and runs the program's
// own event loop until a stop signal closes the window (as sockbench does), then "closed".
//
//   sockbench_drive IFACE MAC LOCAL_IP PEER_IP TCP_PORT UDP_PORT LISTEN_PORT
#include <QApplication>
#include <QDir>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "host.h"
#include "qt_loop.h"
#include "sockbench_window.h"
#include "stop_signals.h"

namespace {

using tarnet::sockbench::SockBenchWindow;

constexpr int kWaitMs = 10000;

class Driver {
  public:
    explicit Driver(SockBenchWindow& w) : w_(w) {}

    bool Run(char** argv) {
        return Initialise(argv) && Tcp(argv[5]) && Udp(argv[6]) && Listen(argv[7]);
    }

    // Connects over TCP and leaves the session open.
    bool Hold(char** argv) {
        if (!Initialise(argv)) {
            return false;
        }
        w_.protocol->setCurrentIndex(0);
        Type(w_.localPort, QStringLiteral("0"));
        Type(w_.remotePort, QString::fromLatin1(argv[5]));
        Click(w_.connectButton);
        return WaitLog("tcp connected", "TCP session connected");
    }

    bool Initialise(char** argv) {
        const QString iface  = QString::fromLocal8Bit(argv[1]);
        const auto& adapters = w_.Logic().Stack().Adapters();
        int index            = -1;
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            if (QString::fromStdString(adapters[i].name) == iface) {
                index = static_cast<int>(i);
            }
        }
        if (!Step("adapter listed", index >= 0)) {
            return false;
        }
        w_.adapterArea->selector->setCurrentIndex(index);
        Click(w_.adapterArea->dhcp);
        Type(w_.adapterArea->localIp, QString::fromLocal8Bit(argv[3]));
        Type(w_.adapterArea->mac, QString::fromLocal8Bit(argv[2]));
        Click(w_.adapterArea->initialise);
        if (!Step("initialised", LastLog() == "TnSock initialized OK")) {
            return false;
        }
        Shot("sockbench-1-initialised.png");
        Type(w_.remoteHost, QString::fromLocal8Bit(argv[4]));
        return true;
    }

    void Report() const {
        for (int i = 0; i < w_.eventLog->count(); ++i) {
            std::printf("log: %s\n", w_.eventLog->item(i)->text().toUtf8().constData());
        }
        for (int r = 0; r < w_.sessions->rowCount(); ++r) {
            QStringList cells;
            for (int c = 0; c < 4; ++c) {
                cells << w_.sessions->item(r, c)->text();
            }
            std::printf("row: %s\n", cells.join(QLatin1Char('|')).toUtf8().constData());
        }
        std::fflush(stdout);
    }

  private:
    bool Tcp(const char* port) {
        w_.protocol->setCurrentIndex(0);
        Type(w_.localPort, QStringLiteral("0"));
        Type(w_.remotePort, QString::fromLatin1(port));
        Click(w_.connectButton);
        if (!WaitLog("tcp connected", "TCP session connected")) {
            return false;
        }
        Row("tcp session");
        w_.sessions->selectRow(0);
        Type(w_.data, QString::fromUtf8("hello from sockbench \xE2\x9C\x93"));
        Click(w_.sendButton);
        if (!WaitData("tcp reply", QStringLiteral("hello from the kernel"))) {
            return false;
        }
        Shot("sockbench-2-tcp.png");
        Click(w_.closeButton);
        return Step("tcp closed by user", w_.sessions->rowCount() == 0);
    }

    bool Udp(const char* port) {
        w_.protocol->setCurrentIndex(1);
        Type(w_.localPort, QStringLiteral("2002"));
        Type(w_.remotePort, QString::fromLatin1(port));
        Click(w_.connectButton);
        if (!Step("udp opened", LastLog() == "TnSockUdpOpen OK.")) {
            return false;
        }
        Row("udp session");
        w_.sessions->selectRow(0);
        Type(w_.data, QStringLiteral("datagram"));
        Click(w_.sendButton);
        const bool echoed = WaitData("udp echo", QStringLiteral("DATAGRAM"));
        Shot("sockbench-3-udp.png");
        return echoed;
    }

    bool Listen(const char* port) {
        w_.protocol->setCurrentIndex(0);
        Type(w_.localPort, QString::fromLatin1(port));
        Click(w_.listenButton);
        if (!Step("listening", LastLog().startsWith("TnSockTcpListen OK."))) {
            return false;
        }
        std::printf("listening\n");
        std::fflush(stdout);
        if (!WaitData("peer's line", QStringLiteral("kernel calling"))) {
            return false;
        }
        Row("accepted session");
        Shot("sockbench-4-accepted.png");
        w_.sessions->selectRow(w_.sessions->rowCount() - 1);
        Type(w_.data, QStringLiteral("answer"));
        Click(w_.sendButton);
        return WaitLog("peer closed", "TCP session closed");
    }

    void Shot(const char* name) const {
        const QString folder = qEnvironmentVariable("TARNET_SCREENSHOTS");
        if (!folder.isEmpty() && QDir().mkpath(folder)) {
            const QString path = folder + QLatin1Char('/') + QLatin1String(name);
            if (w_.grab().save(path)) {
                std::printf("screenshot: %s\n", path.toUtf8().constData());
            }
        }
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
    QString LastLog() const {
        const int n = w_.eventLog->count();
        return n == 0 ? QString() : w_.eventLog->item(n - 1)->text();
    }
    void Row(const char* what) const {
        const int r = w_.sessions->rowCount() - 1;
        QStringList cells;
        for (int c = 0; r >= 0 && c < 4; ++c) {
            cells << w_.sessions->item(r, c)->text();
        }
        std::printf("step: %s: %s\n", what, cells.join(QLatin1Char('|')).toUtf8().constData());
        std::fflush(stdout);
    }
    static bool Step(const char* what, bool ok) {
        std::printf("step: %s: %s\n", what, ok ? "ok" : "FAILED");
        std::fflush(stdout);
        return ok;
    }
    bool WaitLog(const char* what, const char* text) {
        const QString wanted = QString::fromLatin1(text);
        return Step(what, QTest::qWaitFor(
                              [&] {
                                  for (int i = 0; i < w_.eventLog->count(); ++i) {
                                      if (w_.eventLog->item(i)->text() == wanted && i >= seen_) {
                                          seen_ = i + 1;
                                          return true;
                                      }
                                  }
                                  return false;
                              },
                              kWaitMs));
    }
    bool WaitData(const char* what, const QString& text) {
        return Step(what, QTest::qWaitFor([&] { return w_.data->text() == text; }, kWaitMs));
    }

    SockBenchWindow& w_;
    int seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 8) {
        std::fprintf(stderr,
                     "usage: sockbench_drive IFACE MAC LOCAL_IP PEER_IP TCP_PORT UDP_PORT "
                     "LISTEN_PORT\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    SockBenchWindow window(
        port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); });
    window.show();
    Driver driver(window);
    if (qEnvironmentVariableIsSet("TARNET_HOLD_TCP")) {
        const bool held = driver.Hold(argv);
        if (held) {
            tarnet::desktop::StopSignals stops(&window);
            std::printf("holding\n");
            std::fflush(stdout);
            QApplication::exec();  // until a stop signal closes the window
            std::printf("closed by signal %d\n", stops.Received());
        }
        return held ? 0 : 1;
    }
    const bool ok = driver.Run(argv);
    driver.Report();
    const int idle = qEnvironmentVariableIntValue("TARNET_IDLE_SECONDS");
    if (ok && idle > 0) {
        std::printf("idle\n");
        std::fflush(stdout);
        // The program's own event loop, as sockbench runs it: nothing but what Qt wakes for.
        QTimer::singleShot(idle * 1000, &app, &QCoreApplication::quit);
        QApplication::exec();
    }
    return ok ? 0 : 1;
}
