// Drives ftpdesk's window with QTest against a real FTP server, for test_ftpdesk.py. Run in
// the local folder to work in, which holds "up.bin", a folder "tree" and an empty folder "dl";
// the server holds "down.bin". Initialises the stack by DHCP on the named adapter, connects,
// uploads up.bin, downloads down.bin, creates "made", renames it "made2", deletes down.bin,
// uploads the folder tree, downloads it into dl, deletes it on the server, removes made2 and
// disconnects; the password comes from TARNET_FTP_PASSWORD. Prints each step ("step: ...: ok"
// or "FAILED"), the lease's four fields ("lease: ..."), and at the end every log row
// ("log: ..."); closes the window as Exit does. Exits 0 when every step saw what it waited for.
// With TARNET_SCREENSHOTS set to a folder, the window is saved there after some steps
// (scripts/demo ftpdesk). With TARNET_IDLE_SECONDS=N it stays logged in and idle N seconds
// after the login (printing "idle"), so its CPU use can be measured.
//
//   ftpdesk_drive IFACE MAC SERVER PORT USER
#include <QApplication>
#include <QDir>
#include <QEventLoop>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <functional>

#include "confirm_dialog.h"
#include "ftp_files.h"
#include "ftpdesk_window.h"
#include "host.h"
#include "qt_loop.h"

namespace {

using tarnet::desktop::ConfirmDialog;
using tarnet::ftpdesk::FtpDeskWindow;

constexpr int kWaitMs = 20000;

class Driver {
  public:
    explicit Driver(FtpDeskWindow& w) : w_(w) {}

    bool Run(char** argv) {
        return Initialise(argv[1], argv[2]) && Connect(argv[3], argv[4], argv[5]) && Idle() &&
               Files() && Folders() && Disconnect();
    }

    void Report() const {
        for (int i = 0; i < w_.operationLog->count(); ++i) {
            std::printf("log: %s\n", w_.operationLog->item(i)->text().toUtf8().constData());
        }
        std::fflush(stdout);
    }

  private:
    bool Initialise(const char* iface, const char* mac) {
        const auto& adapters = w_.Logic().Stack().Adapters();
        int index            = -1;
        for (std::size_t i = 0; i < adapters.size(); ++i) {
            index = adapters[i].name == iface ? static_cast<int>(i) : index;
        }
        if (!Step("adapter listed", index >= 0)) {
            return false;
        }
        auto& area = *w_.adapterArea;
        area.selector->setCurrentIndex(index);
        area.mac->setText(QString::fromLatin1(mac));
        Click(area.initialise);
        const QString none = QStringLiteral("0.0.0.0");
        const bool leased  = QTest::qWaitFor(
            [&] {
                return area.localIp->text() != none && area.dns->text() != none &&
                       area.gateway->text() != none && area.mask->text() != none;
            },
            kWaitMs);
        std::printf("lease: %s|%s|%s|%s\n", qPrintable(area.localIp->text()),
                    qPrintable(area.gateway->text()), qPrintable(area.mask->text()),
                    qPrintable(area.dns->text()));
        return Step("lease in the four fields", leased);
    }

    bool Connect(const char* server, const char* port, const char* user) {
        w_.server->setText(QString::fromLatin1(server));
        w_.port->setText(QString::fromLatin1(port));
        w_.user->setText(QString::fromLatin1(user));
        w_.password->setText(qEnvironmentVariable("TARNET_FTP_PASSWORD"));
        Click(Button("Connect"));
        return WaitLog("logged in", "Connected to Server.") &&
               WaitRow("listed", w_.remoteFiles, "down.bin");
    }

    // With TARNET_IDLE_SECONDS=N: "idle", then N seconds logged in with nothing to do, in the
    // program's own event loop, so its idle CPU use can be measured from outside.
    bool Idle() {
        const int seconds = qEnvironmentVariableIntValue("TARNET_IDLE_SECONDS");
        if (seconds > 0) {
            std::printf("idle\n");
            std::fflush(stdout);
            // Qt's own loop, not QTest::qWait, which polls every 10 ms itself.
            QEventLoop idle;
            QTimer::singleShot(seconds * 1000, &idle, &QEventLoop::quit);
            idle.exec();
        }
        return true;
    }

    bool Files() {
        if (!Select(w_.localFiles, "up.bin")) {
            return false;
        }
        Click(Button("Send File"));
        if (!WaitLog("uploaded", "File sending complete") ||
            !WaitRow("relisted", w_.remoteFiles, "up.bin") || !Select(w_.remoteFiles, "down.bin")) {
            return false;
        }
        Shot("ftpdesk-1-uploaded.png");
        Click(Button("Get File"));
        if (!WaitLog("downloaded", "File receive complete")) {
            return false;
        }
        Answer("made");
        Click(Button("MkDir"));
        if (!WaitLog("made", "Created Directory:") ||
            !WaitRow("made listed", w_.remoteFiles, "made") || !Select(w_.remoteFiles, "made")) {
            return false;
        }
        Answer("made2");
        Click(Button("Rename"));
        if (!WaitLog("renamed", "File or folder renamed: Success") ||
            !WaitRow("made2 listed", w_.remoteFiles, "made2") ||
            !Select(w_.remoteFiles, "down.bin")) {
            return false;
        }
        Answer(nullptr);
        Click(Button("Delete File"));
        // The relisting that follows must end before the next command: the library runs one
        // at a time and refuses the next meanwhile.
        return WaitLog("deleted", "Deleted File:") && WaitGone("down.bin gone", "down.bin");
    }

    bool Folders() {
        if (!WaitRow("relisted", w_.localFiles, "tree") || !Select(w_.localFiles, "tree")) {
            return false;
        }
        Answer(nullptr);
        Click(Button("Upload Folder"));
        if (!WaitLog("tree uploaded", "Recursive Folder Upload: Success.") ||
            !WaitRow("tree listed", w_.remoteFiles, "tree")) {
            return false;
        }
        const int dl = Row(w_.localFiles, "dl");
        if (!Step("dl listed", dl >= 0)) {
            return false;
        }
        emit w_.localFiles->cellDoubleClicked(dl, 1);
        if (!Step("into dl", Row(w_.localFiles, "up.bin") < 0) || !Select(w_.remoteFiles, "tree")) {
            return false;
        }
        Answer(nullptr, true);
        Click(Button("Download Folder"));
        if (!WaitLog("tree downloaded", "Recursive Folder Download: Success.")) {
            return false;
        }
        Shot("ftpdesk-2-tree-downloaded.png");
        if (!Select(w_.remoteFiles, "tree")) {
            return false;
        }
        Answer(nullptr);
        Click(Button("Delete Folder"));
        if (!WaitLog("tree deleted", "Recursive Folder Delete: Success.") ||
            !WaitGone("tree gone", "tree") || !Select(w_.remoteFiles, "made2")) {
            return false;
        }
        Answer(nullptr);
        Click(Button("RmDir"));
        return WaitLog("made2 removed", "Deleted Directory:");
    }

    bool Disconnect() {
        Click(Button("Disconnect"));
        Shot("ftpdesk-3-disconnected.png");
        return WaitLog("disconnected", "Disconnected");
    }

    // Answers the next confirmation with OK, typing `edit` first when given (and ticking the
    // overwrite box when asked to).
    void Answer(const char* edit, bool overwrite = false, int tries = 200) {
        QTimer::singleShot(10, [this, edit, overwrite, tries] {
            auto* dialog = dynamic_cast<ConfirmDialog*>(QApplication::activeModalWidget());
            if (dialog == nullptr) {
                if (tries > 0) {
                    Answer(edit, overwrite, tries - 1);
                }
                return;
            }
            if (edit != nullptr && dialog->edit != nullptr) {
                dialog->edit->setText(QString::fromLatin1(edit));
            }
            if (overwrite && dialog->checkBox != nullptr) {
                dialog->checkBox->setChecked(true);
                Shot("ftpdesk-confirm.png", dialog);
            }
            Click(dialog->ok);
        });
    }

    QPushButton* Button(const char* label) const {
        return w_.buttons.at(QString::fromLatin1(label));
    }
    static int Row(const QTableWidget* list, const char* name) {
        for (int r = 0; r < list->rowCount(); ++r) {
            if (list->item(r, 1) != nullptr && list->item(r, 1)->text() == QLatin1String(name)) {
                return r;
            }
        }
        return -1;
    }
    static bool Select(QTableWidget* list, const char* name) {
        const int row = Row(list, name);
        if (row >= 0) {
            list->selectRow(row);
        }
        return Step(name, row >= 0);
    }
    bool WaitRow(const char* what, const QTableWidget* list, const char* name) {
        return Step(what, QTest::qWaitFor([&] { return Row(list, name) >= 0; }, kWaitMs));
    }
    bool WaitGone(const char* what, const char* name) {
        return Step(what, QTest::qWaitFor([&] { return Row(w_.remoteFiles, name) < 0; }, kWaitMs));
    }
    bool WaitLog(const char* what, const char* prefix) {
        const QString wanted = QString::fromLatin1(prefix);
        return Step(what, QTest::qWaitFor(
                              [&] {
                                  for (int i = seen_; i < w_.operationLog->count(); ++i) {
                                      if (w_.operationLog->item(i)->text().startsWith(wanted)) {
                                          seen_ = i + 1;
                                          return true;
                                      }
                                  }
                                  return false;
                              },
                              kWaitMs));
    }
    void Shot(const char* name, QWidget* widget = nullptr) const {
        const QString folder = qEnvironmentVariable("TARNET_SCREENSHOTS");
        if (!folder.isEmpty() && QDir().mkpath(folder)) {
            const QString path = folder + QLatin1Char('/') + QLatin1String(name);
            if ((widget != nullptr ? widget : &w_)->grab().save(path)) {
                std::printf("screenshot: %s\n", path.toUtf8().constData());
            }
        }
    }
    static void Click(QWidget* button) { QTest::mouseClick(button, Qt::LeftButton); }
    static bool Step(const char* what, bool ok) {
        std::printf("step: %s: %s\n", what, ok ? "ok" : "FAILED");
        std::fflush(stdout);
        return ok;
    }

    FtpDeskWindow& w_;
    int seen_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: ftpdesk_drive IFACE MAC SERVER PORT USER\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    FtpDeskWindow window(
        port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); },
        tarnet::platform::FtpHostServices(), tarnet::platform::FtpHostLocalFs(),
        QDir::currentPath().toStdString());
    window.RunOn(loop);
    window.show();
    Driver driver(window);
    const bool ok = driver.Run(argv);
    driver.Report();
    window.close();  // as Exit: ftpapp.cfg written, the stack shut down
    return ok ? 0 : 1;
}
