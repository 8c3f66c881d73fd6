// sockbench: opens TCP client, TCP server and UDP sessions on the stack from a window and shows
// every event. Capture needs root or CAP_NET_RAW (see README).
#include <QApplication>

#include "host.h"
#include "qt_loop.h"
#include "sockbench_window.h"
#include "stop_signals.h"

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarnet::desktop::QtLoop loop;
    tarnet::desktop::PcapPort port(loop);
    tarnet::sockbench::SockBenchWindow window(
        port, [](TnSockConfig& config) { tarnet::platform::HostFillCallbacks(config); });
    loop.SetFailureHandler(
        [&window](const std::string& why) { window.Logic().Log("Adapter failed: " + why); });
    // SIGINT and SIGTERM close the window as its own close button does: the stack shuts down
    // in order on the way out.
    tarnet::desktop::StopSignals stops(&window);
    window.show();
    return QApplication::exec();
}
