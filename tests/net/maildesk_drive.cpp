// Drives maildesk's window with QTest against the sandbox's mail server, for test_maildesk.py:
// initialises by DHCP on the named adapter and waits for the lease to fill the four address
// fields, then sends one mail with a KOI8-R subject, a German body, an attachment and
// authentication, and waits for the status line's outcome. Prints each step ("step: ..."), the
// fields the lease filled ("lease: IP DNS GATEWAY MASK"), the final status line and progress.
// With TARNET_SCREENSHOTS set to a folder, the window is saved there after each step. With
// TARNET_HOLD set it then prints "holding" and runs the program's own event loop until a stop
// signal closes the window (as maildesk does, settings written), then "closed by signal N".
// The settings file is the program's own (QStandardPaths::AppConfigLocation).
//
//   maildesk_drive IFACE MAC SERVER PORT FROM TO USER PASSWORD ATTACHMENT
#include <QApplication>
#include <QDir>
#include <QTest>
#include <cstdio>

#include "host.h"
#include "maildesk_window.h"
#include "qt_loop.h"
#include "stop_signals.h"

namespace {

using tarnet::maildesk::MailDeskWindow;

constexpr int kWaitMs = 30000;
// "Привет из maildesk" and a German body, as a user types them.
const char* const kSubject =
    "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82 \xD0\xB8\xD0\xB7 maildesk";
const char* const kBody =
    "Gr\xC3\xBC\xC3\x9F"
    "e aus K\xC3\xB6ln!\n\xC3\x84pfel, \xC3\x96l und \xC3\x9C"
    "berma\xC3\x9F.\n";

class Driver {
  public:
    explicit Driver(MailDeskWindow& w) : w_(w) {}

    bool Run(char** argv) { return Initialise(argv) && Send(argv); }

  private:
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
        tarnet::desktop::AdapterArea& a = *w_.adapterArea;
        a.selector->setCurrentIndex(index);
        if (!a.dhcp->isChecked()) {
            Click(a.dhcp);
        }
        Type(a.mac, QString::fromLocal8Bit(argv[2]));
        const QString before = a.localIp->text();
        Click(a.initialise);
        if (!Step("initialised", Status() == "Tarnet Initialized")) {
            return false;
        }
        const bool leased =
            Step("lease", QTest::qWaitFor([&] { return a.localIp->text() != before; }, kWaitMs));
        std::printf("lease: %s %s %s %s\n", qPrintable(a.localIp->text()),
                    qPrintable(a.dns->text()), qPrintable(a.gateway->text()),
                    qPrintable(a.mask->text()));
        Shot("maildesk-1-leased.png");
        return leased;
    }

    bool Send(char** argv) {
        Type(w_.server, QString::fromLocal8Bit(argv[3]));
        Type(w_.port, QString::fromLocal8Bit(argv[4]));
        Type(w_.from, QString::fromLocal8Bit(argv[5]));
        Type(w_.to, QString::fromLocal8Bit(argv[6]));
        Type(w_.subject, QString::fromUtf8(kSubject));
        w_.charset->setCurrentIndex(tarnet::maildesk::kCharsetKoi8r);
        w_.message->setPlainText(QString::fromUtf8(kBody));
        Click(w_.authenticate);
        Type(w_.user, QString::fromLocal8Bit(argv[7]));
        Type(w_.password, QString::fromLocal8Bit(argv[8]));
        Type(w_.attachment, QString::fromLocal8Bit(argv[9]));
        Click(w_.sendButton);
        const bool ended = QTest::qWaitFor(
            [&] { return Status() == "MAIL TRANSFER COMPLETE" || Status().startsWith("ERROR"); },
            kWaitMs);
        std::printf("status: %s\nprogress: %d\n", qPrintable(w_.status->text()),
                    w_.progress->value());
        Shot("maildesk-2-sent.png");
        return Step("sent", ended && Status() == "MAIL TRANSFER COMPLETE");
    }

    QString Status() const { return w_.status->text(); }
    void Shot(const char* name) const {
        const QString folder = qEnvironmentVariable("TARNET_SCREENSHOTS");
        if (!folder.isEmpty() && QDir().mkpath(folder)) {
            const QString path = folder + QLatin1Char('/') + QLatin1String(name);
            if (w_.grab().save(path)) {
                std::printf("screenshot: %s\n", path.toUtf8().constData());
            }
        }
    }
    static void Click(QWidget* w) { QTest::mouseClick(w, Qt::LeftButton); }
    static void Type(QLineEdit* field, const QString& text) {
        field->clear();
        field->insert(text);
    }
    static bool Step(const char* what, bool ok) {
        std::printf("step: %s: %s\n", what, ok ? "ok" : "FAILED");
        std::fflush(stdout);
        return ok;
    }

    MailDeskWindow& w_;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 10) {
        std::fprintf(stderr,
                     "usage: maildesk_drive IFACE MAC SERVER PORT FROM TO USER PASSWORD "
                     "ATTACHMENT\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("tarnet"));
    QApplication::setApplicationName(QStringLiteral("maildesk"));
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    bool ok = false;
    {
        MailDeskWindow window(
            port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); },
            nullptr, MailDeskWindow::DefaultSettingsPath(), &loop);
        window.show();
        ok = Driver(window).Run(argv);
        if (ok && qEnvironmentVariableIsSet("TARNET_HOLD")) {
            tarnet::desktop::StopSignals stops(&window);
            std::printf("holding\n");
            std::fflush(stdout);
            QApplication::exec();  // until a stop signal closes the window
            std::printf("closed by signal %d\n", stops.Received());
        }
    }  // the window goes: the library and the stack shut down, the settings are written
    std::printf("settings written\n");
    std::fflush(stdout);
    return ok ? 0 : 1;
}
