// The platform binding driven from Qt's event loop, on the one GUI thread: a QSocketNotifier on
// the adapter's descriptor drains the waiting frames into the stack, a single-shot QTimer is
// armed for the timer pool's next deadline, and the libraries' periodic work (FTP tick, SMTP
// process) runs every 2 ms, but only while the program has a library session running. With no
// frame, no due timer and no session the program sleeps in Qt's event loop and uses no CPU.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "adapter.h"
#include "desktop_stack.h"

namespace tarnet::desktop {

class QtLoop : public QObject {
  public:
    static constexpr int kFramesPerPass = 64;  // bound per pass, so the window stays responsive
    static constexpr int kLibraryWorkMs = 2;

    explicit QtLoop(QObject* parent = nullptr);
    ~QtLoop() override;

    // Feeds the frames of `adapter` (open) to the stack from now on; null stops.
    void Attach(platform::Adapter* adapter);
    // Called with the library's words when the adapter fails (the interface went away).
    void SetFailureHandler(std::function<void(const std::string&)> handler);

    // The libraries' periodic work; runs only between SessionStarted() and the matching
    // SessionEnded() (counted, so sessions may overlap).
    void SetLibraryWork(std::function<void()> work);
    void SessionStarted();
    void SessionEnded();
    bool LibraryWorkRunning() const { return work_.isActive(); }

    // Arms the deadline timer for the pool's next deadline (stops it when nothing is due).
    void Rearm();
    bool DeadlineArmed() const { return deadline_.isActive(); }

  private:
    void Drain();
    void Service();

    platform::Adapter* adapter_ = nullptr;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer deadline_;
    QTimer work_;
    int sessions_ = 0;
    std::function<void()> libraryWork_;
    std::function<void(const std::string&)> failed_;
};

// The real adapter for the programs: libpcap through hosts/platform, watched by a QtLoop.
class PcapPort : public AdapterPort {
  public:
    explicit PcapPort(QtLoop& loop) : loop_(loop) {}
    ~PcapPort() override { Close(); }
    bool List(std::vector<AdapterEntry>& out, std::string& error) override;
    bool Open(const std::string& name, std::string& error) override;
    void Close() override;
    bool IsOpen() const override { return adapter_.IsOpen(); }

  private:
    QtLoop& loop_;
    platform::Adapter adapter_;
};

}  // namespace tarnet::desktop
