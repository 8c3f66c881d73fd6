#include "qt_loop.h"

#include <algorithm>

#include "host.h"

namespace tarnet::desktop {

namespace {

void TakeFrame(void*, const std::uint8_t* frame, std::uint32_t length) {
    platform::HostFrameReceived(frame, length);
}

void OnTimerStarted(void* context) {
    static_cast<QtLoop*>(context)->Rearm();
}

}  // namespace

QtLoop::QtLoop(QObject* parent) : QObject(parent) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, [this] { Service(); });
    work_.setTimerType(Qt::PreciseTimer);
    work_.setInterval(kLibraryWorkMs);
    connect(&work_, &QTimer::timeout, this, [this] {
        if (libraryWork_) {
            libraryWork_();
        }
        Service();
    });
    platform::HostSetTimerStartHook(OnTimerStarted, this);
}

QtLoop::~QtLoop() {
    platform::HostSetTimerStartHook(nullptr, nullptr);
    Attach(nullptr);
}

void QtLoop::Attach(platform::Adapter* adapter) {
    notifier_.reset();
    adapter_ = adapter;
    platform::HostAttachAdapter(adapter);
    if (adapter == nullptr || adapter->Fd() < 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(adapter->Fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Drain(); });
}

void QtLoop::SetFailureHandler(std::function<void(const std::string&)> handler) {
    failed_ = std::move(handler);
}

void QtLoop::SetLibraryWork(std::function<void()> work) {
    libraryWork_ = std::move(work);
}

void QtLoop::SessionStarted() {
    if (sessions_++ == 0) {
        work_.start();
    }
}

void QtLoop::SessionEnded() {
    if (sessions_ > 0 && --sessions_ == 0) {
        work_.stop();
    }
}

void QtLoop::Drain() {
    if (adapter_ == nullptr || !adapter_->IsOpen()) {
        return;
    }
    const int taken = adapter_->Receive(kFramesPerPass, TakeFrame, nullptr);
    TnSockEndOfInput();  // the frames waiting now are in: acknowledgments may go out
    if (taken < 0) {
        std::string why = adapter_->LastError();
        notifier_.reset();  // a failed descriptor would stay readable and spin the loop
        if (failed_) {
            failed_(why.empty() ? "the interface went down or disappeared" : why);
        }
        return;
    }
    if (taken == kFramesPerPass) {
        // More may wait inside libpcap's buffer, where the descriptor does not show them:
        // continue once the window's own events have had their turn.
        QTimer::singleShot(0, this, [this] { Drain(); });
    }
    Service();
}

void QtLoop::Service() {
    const std::uint64_t now = platform::MonotonicMs();
    platform::HostFaults().Service(now);
    platform::HostTimers().RunExpired(now);
    Rearm();
}

void QtLoop::Rearm() {
    std::optional<std::uint64_t> next       = platform::HostTimers().NextDeadline();
    const std::optional<std::uint64_t> held = platform::HostFaults().NextDue();
    if (held && (!next || *held < *next)) {
        next = held;
    }
    if (!next) {
        deadline_.stop();
        return;
    }
    const std::uint64_t now  = platform::MonotonicMs();
    const std::uint64_t wait = *next > now ? *next - now : 0;
    deadline_.start(static_cast<int>(std::min<std::uint64_t>(wait, 24 * 3600 * 1000)));
}

bool PcapPort::List(std::vector<AdapterEntry>& out, std::string& error) {
    std::vector<platform::AdapterInfo> found;
    if (!platform::ListAdapters(found, error)) {
        return false;
    }
    out.clear();
    for (const platform::AdapterInfo& a : found) {
        out.push_back(AdapterEntry{a.name, a.description});
    }
    return true;
}

bool PcapPort::Open(const std::string& name, std::string& error) {
    Close();
    if (!adapter_.Open(name, error)) {
        return false;
    }
    loop_.Attach(&adapter_);
    return true;
}

void PcapPort::Close() {
    if (adapter_.IsOpen()) {
        loop_.Attach(nullptr);
        adapter_.Close();
    }
}

}  // namespace tarnet::desktop
