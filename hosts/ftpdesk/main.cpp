// ftpdesk: an FTP client over the stack, with the local and remote folders side by side and
// every operation of the FTP library as a button or menu item. Capture needs root or
// CAP_NET_RAW (see README). "ftpapp.cfg" is read from and written to the folder it starts in.
#include <QApplication>
#include <QDir>

#include "ftp_files.h"
#include "ftpdesk_window.h"
#include "host.h"
#include "qt_loop.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    tarnet::ftpdesk::FtpDeskWindow window(
        port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); },
        tarnet::platform::FtpHostServices(), tarnet::platform::FtpHostLocalFs(),
        QDir::currentPath().toStdString());
    // The library's tick, the walker's queue and the byte counters run while a session or a
    // walk is open; an action that starts one runs a pass at once.
    loop.AddLibrary(tarnet::ftpdesk::FtpDesk::HasWork, tarnet::ftpdesk::FtpDesk::Work,
                    &window.Logic());
    for (const auto& [label, button] : window.buttons) {
        QObject::connect(button, &QPushButton::clicked, &loop, [&loop] { loop.Kick(); });
    }
    loop.SetFailureHandler(
        [&window](const std::string& why) { window.Logic().Log("Adapter failed: " + why); });
    // SIGINT and SIGTERM close the window as Exit does: settings saved, stack shut down.
    tarnet::desktop::StopSignals stops(&window);
    window.show();
    return QApplication::exec();
}
