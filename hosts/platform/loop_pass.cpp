#include "loop_pass.h"

#include "host.h"

namespace tarnet::platform {

namespace {

// The answers to a frame (an acknowledgment, an echo reply, the segments an acknowledgment let
// go) leave before the next frame is read, not at the end of the pass: a peer that sends as its
// window opens (a kernel sender behind a window of three segments) answers within our send call,
// and its next segments are taken in this same pass instead of waiting for the batch to end.
// What one frame produces still leaves together.
void TakeFrame(void*, const std::uint8_t* frame, std::uint32_t length) {
    HostFrameReceived(frame, length);
    HostFlushTx();
}

}  // namespace

bool LoopPass::AddLibrary(HasWorkFn hasWork, WorkFn work, void* context) {
    if (hasWork == nullptr || work == nullptr) {
        return false;
    }
    for (Library& slot : libraries_) {
        if (slot.work == nullptr) {
            slot = Library{hasWork, work, context};
            return true;
        }
    }
    return false;
}

bool LoopPass::LibraryHasWork() const {
    for (const Library& slot : libraries_) {
        if (slot.work != nullptr && slot.hasWork(slot.context)) {
            return true;
        }
    }
    return false;
}

LoopPass::Result LoopPass::Run(Link& link, bool drain, WorkFn extra, void* extraContext) {
    Result result;
    if (drain) {
        result.taken = link.Receive(kFramesPerPass);
        if (result.taken < 0) {
            return result;
        }
    }
    const std::uint64_t now = MonotonicMs();
    HostFaults().Service(now);  // impaired frames that are due count as this pass's input
    TnSockEndOfInput();         // the batch is in: acknowledgments may go out
    result.timersRun = HostTimers().RunExpired(now);
    for (const Library& slot : libraries_) {
        if (slot.work != nullptr && slot.hasWork(slot.context)) {
            slot.work(slot.context);
            result.libraryWorked = true;
        }
    }
    if (extra != nullptr) {
        extra(extraContext);
    }
    link.Flush();
    return result;
}

int AdapterLink::Receive(int maxFrames) {
    if (adapter_ == nullptr || !adapter_->IsOpen()) {
        return 0;
    }
    return adapter_->Receive(maxFrames, TakeFrame, nullptr);
}

void AdapterLink::Flush() {
    HostFlushTx();
}

}  // namespace tarnet::platform
