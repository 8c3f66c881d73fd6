// One pass of the platform loop, in the one order every program uses: take up to
// kFramesPerPass waiting frames (and the impaired frames that are due), tell the stack the batch
// has ended (TnSockEndOfInput), run the expired timers, run the libraries' periodic work while a
// library says it has some, and send what the rest of the pass queued in one flush (the adapter
// link sends the answers to each frame before it reads the next). The loops around it
// (poll for tarnet, Qt's event loop for the desktop programs) only decide when a pass runs.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "adapter.h"

namespace tarnet::platform {

class LoopPass {
  public:
    static constexpr int kFramesPerPass        = 64;  // bound per pass, so timers are not starved
    static constexpr std::size_t kLibrarySlots = 4;

    using WorkFn    = void (*)(void* context);
    using HasWorkFn = bool (*)(void* context);

    // Where frames come from and go to. AdapterLink is the real one; tests record the calls.
    class Link {
      public:
        virtual ~Link() = default;
        // Hands up to `maxFrames` waiting frames to the stack; the count, or -1 on failure.
        virtual int Receive(int maxFrames) = 0;
        // Sends the frames queued since the last flush.
        virtual void Flush() = 0;
    };

    // A library's periodic work (FTP tick, SMTP process): runs in every pass while
    // hasWork(context) is true, so work stops when the last session ends, however it ended.
    bool AddLibrary(HasWorkFn hasWork, WorkFn work, void* context);
    bool LibraryHasWork() const;

    struct Result {
        int taken             = 0;  // frames taken; -1: the link failed and the pass stopped
        std::size_t timersRun = 0;
        bool libraryWorked    = false;
    };
    // One pass. `drain`: the link has frames waiting. `extra` (optional) runs beside the
    // libraries' work: the caller's own periodic work.
    Result Run(Link& link, bool drain, WorkFn extra = nullptr, void* extraContext = nullptr);

  private:
    struct Library {
        HasWorkFn hasWork = nullptr;
        WorkFn work       = nullptr;
        void* context     = nullptr;
    };
    std::array<Library, kLibrarySlots> libraries_{};
};

// The link over a platform adapter (null or closed: no frames); frames go to the host's
// attached adapter.
class AdapterLink : public LoopPass::Link {
  public:
    explicit AdapterLink(Adapter* adapter = nullptr) : adapter_(adapter) {}
    void Attach(Adapter* adapter) { adapter_ = adapter; }
    Adapter* Attached() const { return adapter_; }
    int Receive(int maxFrames) override;
    void Flush() override;

  private:
    Adapter* adapter_;
};

}  // namespace tarnet::platform
