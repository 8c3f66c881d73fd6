// The stack's start and stop for the desktop programs, without any window: the adapter list
// behind the selector, the initialisation command (MAC text, addressing, TnSockInit, opening
// the chosen adapter) with its log lines, and the shut-down. The programs' logic classes own
// one; the windows only hand it the fields' texts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tarnet/tnsock.h"

namespace tarnet::desktop {

struct AdapterEntry {
    std::string name;
    std::string description;  // empty when the capture library has none
};

// The capture adapter as the programs see it. The real one (PcapPort) opens libpcap and hands
// the descriptor to the Qt event loop; tests put a scripted one in its place.
class AdapterPort {
  public:
    virtual ~AdapterPort()                                                = default;
    virtual bool List(std::vector<AdapterEntry>& out, std::string& error) = 0;
    virtual bool Open(const std::string& name, std::string& error)        = 0;
    virtual void Close()                                                  = 0;
    virtual bool IsOpen() const                                           = 0;
};

// What the adapter area holds when the user asks to initialise.
struct InitRequest {
    int adapter = -1;  // index into the list, -1 when nothing is selected
    std::string localIp;
    std::string mac;
    bool useDhcp = true;
};

class DesktopStack {
  public:
    static constexpr std::size_t kAddressChars = 15;
    static constexpr std::size_t kMacChars     = 17;

    using FillFn = std::function<void(TnSockConfig&)>;
    using LogFn  = std::function<void(const std::string&)>;

    // `fill` puts the host callbacks into the configuration (timers, frames, clock, random,
    // log, status); `log` receives this class's lines.
    DesktopStack(AdapterPort& port, FillFn fill, LogFn log);
    ~DesktopStack();
    DesktopStack(const DesktopStack&)            = delete;
    DesktopStack& operator=(const DesktopStack&) = delete;

    // Reads the adapter list and returns the selector's lines, "[n] description" (the name
    // where there is no description). A failure is logged and leaves the list empty.
    std::vector<std::string> LoadAdapters();
    const std::vector<AdapterEntry>& Adapters() const { return adapters_; }

    // The initialisation command. True when the stack is up and the adapter open.
    bool Initialise(const InitRequest& request);
    // Stops the stack (releasing every endpoint without events) and closes the adapter.
    void Shutdown();

    bool Up() const { return up_; }
    // The local address text the stack was started with ("0.0.0.0" with DHCP until a lease).
    const std::string& LocalIpText() const { return localIp_; }
    void SetLocalIpText(const std::string& text) { localIp_ = text; }

  private:
    AdapterPort& port_;
    FillFn fill_;
    LogFn log_;
    std::vector<AdapterEntry> adapters_;
    std::array<std::uint8_t, 6> mac_{};
    std::string localIp_ = "0.0.0.0";
    bool up_             = false;
};

}  // namespace tarnet::desktop
