// SIGINT and SIGTERM (a desktop session that logs out sends SIGTERM) close a program's window
// through the same path as its Exit action, so its settings are saved and the stack is shut down
// in order. The handler only writes the signal number to a pipe; a QSocketNotifier on the
// pipe's other end closes the window from Qt's event loop, on the one thread.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QWidget>
#include <memory>

namespace tarnet::desktop {

class StopSignals : public QObject {
  public:
    // Closes `window` on SIGINT or SIGTERM from now on; one instance per process.
    explicit StopSignals(QWidget* window);
    ~StopSignals() override;
    int Received() const { return received_; }  // the last signal, 0 before one

  private:
    QWidget* window_;
    std::unique_ptr<QSocketNotifier> notifier_;
    int received_ = 0;
};

}  // namespace tarnet::desktop
