// The platform binding driven from Qt's event loop, on the one GUI thread. It only decides when
// a LoopPass (loop_pass.h) runs: when the adapter's descriptor is readable (QSocketNotifier),
// when the timer pool's next deadline comes (a single-shot QTimer), and every 2 ms while a
// library says it has work (its sessions are open: reply time-outs must run without events).
// With no frame, no due timer and no library work the program sleeps in Qt's event loop and
// uses no CPU.
#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <functional>
#include <memory>
#include <string>

#include "adapter.h"
#include "desktop_stack.h"
#include "loop_pass.h"

namespace tarnet::desktop {

class QtLoop : public QObject {
  public:
    static constexpr int kFramesPerPass = platform::LoopPass::kFramesPerPass;
    static constexpr int kLibraryWorkMs = 2;

    explicit QtLoop(QObject* parent = nullptr);
    ~QtLoop() override;

    // Feeds the frames of `adapter` (open) to the stack from now on; null stops.
    void Attach(platform::Adapter* adapter);
    // Called with the library's words when the adapter fails (the interface went away).
    void SetFailureHandler(std::function<void(const std::string&)> handler);

    // A library's periodic work (FTP tick, SMTP process), run every 2 ms while
    // hasWork(context) says the library has open sessions. The loop asks after every pass, so
    // sessions that end without any event (a library shut down) stop the work as well.
    bool AddLibrary(platform::LoopPass::HasWorkFn hasWork, platform::LoopPass::WorkFn work,
                    void* context);
    // Called after the program started library work (a connection, a mail): runs a pass.
    void Kick() { Pass(false); }
    bool LibraryWorkRunning() const { return work_.isActive(); }
    // Runs passes until done(context) or `deadlineMs` (monotonic), waiting on the adapter:
    // for the goodbye of a stack session, when Qt's own loop cannot be left to run.
    void Finish(platform::AdapterPort::DoneFn done, void* context, std::uint64_t deadlineMs);

    // Arms the deadline timer for the pool's next deadline (stops it when nothing is due).
    void Rearm();
    bool DeadlineArmed() const { return deadline_.isActive(); }

  private:
    void Pass(bool drain);

    platform::Adapter* adapter_ = nullptr;
    platform::AdapterLink link_;
    platform::LoopPass pass_;
    std::unique_ptr<QSocketNotifier> notifier_;
    QTimer deadline_;
    QTimer work_;
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
    void Finish(DoneFn done, void* context, std::uint64_t deadlineMs) override {
        loop_.Finish(done, context, deadlineMs);
    }

  private:
    QtLoop& loop_;
    platform::Adapter adapter_;
};

}  // namespace tarnet::desktop
