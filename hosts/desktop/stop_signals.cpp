#include "stop_signals.h"

#include <fcntl.h>
#include <unistd.h>

#include <csignal>

namespace tarnet::desktop {

namespace {

int gPipe[2] = {-1, -1};

extern "C" void OnStop(int signal) {
    const unsigned char number = static_cast<unsigned char>(signal);
    // Async-signal-safe; a full pipe only loses a repeat of a signal already waiting.
    [[maybe_unused]] const ssize_t n = write(gPipe[1], &number, 1);
}

}  // namespace

StopSignals::StopSignals(QWidget* window) : window_(window) {
    if (gPipe[0] < 0 && pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        gPipe[0] = gPipe[1] = -1;
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(gPipe[0], QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] {
        unsigned char number = 0;
        while (read(gPipe[0], &number, 1) == 1) {
            received_ = number;
        }
        window_->close();  // the Exit path: closeEvent, then the window's destructor
    });
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

StopSignals::~StopSignals() {
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    notifier_.reset();
}

}  // namespace tarnet::desktop
