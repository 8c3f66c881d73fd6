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
    window.RunOn(loop);
    loop.SetFailureHandler(
        [&window](const std::string& why) { window.Logic().Log("Adapter failed: " + why); });
    // SIGINT and SIGTERM close the window as Exit does: settings saved, stack shut down.
    tarnet::desktop::StopSignals stops(&window);
    window.show();
    return QApplication::exec();
}
