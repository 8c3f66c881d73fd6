// maildesk: sends one mail at a time through the SMTP library from a window, over the stack on a
// chosen adapter. Capture needs root or CAP_NET_RAW (see README).
#include <QApplication>

#include "host.h"
#include "maildesk_window.h"
#include "qt_loop.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("tarnet"));
    QApplication::setApplicationName(QStringLiteral("maildesk"));
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    tarnet::maildesk::MailDeskWindow window(
        port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); }, nullptr,
        tarnet::maildesk::MailDeskWindow::DefaultSettingsPath(), &loop);
    loop.SetFailureHandler([&window](const std::string& why) {
        window.Logic().Show("Adapter failed: " + why, tarnet::maildesk::Colour::kRed);
    });
    // SIGINT and SIGTERM close the window as its own close button does: the library and the
    // stack shut down in order and the settings are written.
    tarnet::desktop::StopSignals stops(&window);
    window.show();
    return QApplication::exec();
}
