// The stack's start and stop for the desktop programs, without any window: the adapter list
// behind the selector and the initialisation command's checks of the fields' texts, over the
// one stack session of hosts/platform (start order and its log lines, lease, diagnostics,
// shut-down order). The programs' logic classes own one; the windows only hand it the texts.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "stack_session.h"
#include "tarnet/tnsock.h"

namespace tarnet::desktop {

using AdapterEntry = platform::AdapterEntry;
using AdapterPort  = platform::AdapterPort;

// What the adapter area holds when the user asks to initialise.
struct InitRequest {
    int adapter = -1;  // index into the list, -1 when nothing is selected
    std::string localIp;
    std::string mac;
    bool useDhcp = true;
    // The FTP and mail programs' further address fields, and their order (adapter first).
    std::string gateway        = "0.0.0.0";
    std::string mask           = "255.255.255.0";
    std::string dns            = "0.0.0.0";
    platform::StartOrder order = platform::StartOrder::kStackFirst;
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
    // The shut-down order of the stack session: open TCP connections ended while the leased
    // address is still ours, the lease given back, the stack stopped (releasing every endpoint
    // without events), the adapter closed.
    void Shutdown();

    bool Up() const { return session_.StackUp(); }
    platform::StackSession& Session() { return session_; }
    // The local address text the stack was started with ("0.0.0.0" with DHCP until a lease).
    const std::string& LocalIpText() const { return localIp_; }
    void SetLocalIpText(const std::string& text) { localIp_ = text; }

  private:
    AdapterPort& port_;
    LogFn log_;
    platform::StackSession session_;
    std::vector<AdapterEntry> adapters_;
    std::string localIp_ = "0.0.0.0";
};

}  // namespace tarnet::desktop
