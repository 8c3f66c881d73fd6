#include "qt_loop.h"

#include <algorithm>

#include "event_loop.h"
#include "host.h"

namespace tarnet::desktop {

namespace {

void OnTimerStarted(void* context) {
    static_cast<QtLoop*>(context)->Rearm();
}

}  // namespace

QtLoop::QtLoop(QObject* parent) : QObject(parent) {
    deadline_.setSingleShot(true);
    deadline_.setTimerType(Qt::PreciseTimer);
    connect(&deadline_, &QTimer::timeout, this, [this] { Pass(false); });
    work_.setTimerType(Qt::PreciseTimer);
    work_.setInterval(kLibraryWorkMs);
    connect(&work_, &QTimer::timeout, this, [this] { Pass(false); });
    platform::HostSetTimerStartHook(OnTimerStarted, this);
}

QtLoop::~QtLoop() {
    platform::HostSetTimerStartHook(nullptr, nullptr);
    Attach(nullptr);
}

void QtLoop::Attach(platform::Adapter* adapter) {
    notifier_.reset();
    adapter_ = adapter;
    link_.Attach(adapter);
    platform::HostAttachAdapter(adapter);
    if (adapter == nullptr || adapter->Fd() < 0) {
        return;
    }
    notifier_ = std::make_unique<QSocketNotifier>(adapter->Fd(), QSocketNotifier::Read);
    connect(notifier_.get(), &QSocketNotifier::activated, this, [this] { Pass(true); });
}

void QtLoop::SetFailureHandler(std::function<void(const std::string&)> handler) {
    failed_ = std::move(handler);
}

bool QtLoop::AddLibrary(platform::LoopPass::HasWorkFn hasWork, platform::LoopPass::WorkFn work,
                        void* context) {
    return pass_.AddLibrary(hasWork, work, context);
}

void QtLoop::Pass(bool drain) {
    const platform::LoopPass::Result result =
        pass_.Run(link_, drain && adapter_ != nullptr && adapter_->IsOpen());
    if (result.taken < 0) {
        std::string why = adapter_->LastError();
        notifier_.reset();  // a failed descriptor would stay readable and spin the loop
        if (failed_) {
            failed_(why.empty() ? "the interface went down or disappeared" : why);
        }
        return;
    }
    if (result.taken == kFramesPerPass) {
        // More may wait inside libpcap's buffer, where the descriptor does not show them:
        // continue once the window's own events have had their turn.
        QTimer::singleShot(0, this, [this] { Pass(true); });
    }
    // Asked after every pass: sessions may have ended inside it, or without any event at all.
    if (pass_.LibraryHasWork()) {
        if (!work_.isActive()) {
            work_.start();
        }
    } else {
        work_.stop();
    }
    Rearm();
}

void QtLoop::Finish(platform::AdapterPort::DoneFn done, void* context, std::uint64_t deadlineMs) {
    const bool watched = notifier_ != nullptr;
    notifier_.reset();  // the wait below reads the adapter itself
    {
        platform::EventLoop loop(adapter_);
        loop.Finish(done, context, deadlineMs);
    }
    if (adapter_ != nullptr) {
        adapter_->SetBatching(false);
        if (watched && adapter_->Fd() >= 0) {
            Attach(adapter_);
        }
    }
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
