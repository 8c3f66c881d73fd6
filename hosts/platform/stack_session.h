// One run of the stack on one adapter, for every program: the adapter opened and closed through
// a port, the configuration record filled from plain values, TnSockInit, the DHCP lease and its
// loss, the stack's reports handed to several listeners, the wait for a name, and the one
// shut-down order: TCP connections ended from the leased address, the lease given back,
// TnSockDeinit, the adapter closed. It knows no windows and no command-line options; the
// programs put their own words around it.
//
// The stack is one instance per process, and so is a running session: the stack's status and
// diagnostic hooks reach it through a static pointer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "adapter.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"

namespace tarnet::platform {

struct AdapterEntry {
    std::string name;
    std::string description;  // empty when the capture library has none
};

// The capture adapter as a session sees it. The real ones open libpcap and hand the descriptor
// to the program's loop; tests put a scripted one in its place.
class AdapterPort {
  public:
    using DoneFn                                                          = bool (*)(void* context);
    virtual ~AdapterPort()                                                = default;
    virtual bool List(std::vector<AdapterEntry>& out, std::string& error) = 0;
    virtual bool Open(const std::string& name, std::string& error)        = 0;
    virtual void Close()                                                  = 0;
    virtual bool IsOpen() const                                           = 0;
    // Runs loop passes until done(context) is true or the monotonic clock reaches `deadlineMs`;
    // a stop signal does not cut this short. The session uses it while it says goodbye (ends
    // connections, gives the lease back). A port without a loop of its own does nothing.
    virtual void Finish(DoneFn /*done*/, void* /*context*/, std::uint64_t /*deadlineMs*/) {}
    // The clock `Finish` deadlines are on.
    virtual std::uint64_t NowMs() const;
};

// What a program is told about the stack. Every method has an empty default.
class StackListener {
  public:
    virtual ~StackListener() = default;
    // Every lease the DHCP client reports: the first one and each renewal.
    virtual void OnLease(const TnDhcpLease& /*lease*/) {}
    // The leased address was taken away (the lease ran out, or the server refused it).
    virtual void OnAddressLost(std::uint32_t /*address*/) {}
    // The DHCP client gave up without ever holding an address.
    virtual void OnDhcpGaveUp() {}
    // Every report of the stack's diagnostic hook.
    virtual void OnDiagnostic(const TnSockDiagnostic& /*report*/) {}
};

// The order of adapter and stack at start. sockbench starts the stack and then opens the
// adapter; the FTP and mail programs (and tarnet) open the adapter first, so that nothing the
// stack sends at start is lost.
enum class StartOrder { kStackFirst, kAdapterFirst };

struct StackSettings {
    std::string adapter;  // the adapter's name
    MacAddress mac{};
    bool useDhcp = true;
    // Address texts as the stack reads them; with DHCP the local address is "0.0.0.0".
    std::string localIp    = "0.0.0.0";
    std::string gateway    = "0.0.0.0";
    std::string subnetMask = "255.255.255.0";
    std::string dnsServer  = "0.0.0.0";
    // With DHCP: a DNS server used instead of the lease's (0: the lease's).
    std::uint32_t dnsOverride = 0;
    StartOrder order          = StartOrder::kStackFirst;
};

class StackSession {
  public:
    enum class Start { kUp, kAdapterFailed, kInitFailed };

    using FillFn = std::function<void(TnSockConfig&)>;
    using LogFn  = std::function<void(const std::string&)>;

    // `fill` puts the host callbacks into the configuration (timers, frames, clock, random, log;
    // the session installs its own status handler); `log` receives the session's lines.
    StackSession(AdapterPort& port, FillFn fill, LogFn log);
    ~StackSession();
    StackSession(const StackSession&)            = delete;
    StackSession& operator=(const StackSession&) = delete;

    // Up to kListeners at a time; a listener removes itself before it goes away.
    static constexpr std::size_t kListeners = 4;
    bool AddListener(StackListener* listener);
    void RemoveListener(StackListener* listener);

    // Opens the adapter and starts the stack in the order the settings name, with the lines
    // of that order. A stack already up keeps its first configuration; the adapter is reopened.
    Start Begin(const StackSettings& settings);
    // The one shut-down order. Safe to call twice.
    void Shutdown();

    // The outcome of a lookup, as the resolver reports it to the diagnostic hook.
    struct NameWait {
        std::string name;
        bool ended            = false;
        int outcome           = 0;  // TNSOCK_DNS_...
        std::uint32_t address = 0;
    };
    // The lookup being waited for (null: none): the resolver's report for its name (any case)
    // fills it in.
    void WaitForName(NameWait* wait) { nameWait_ = wait; }

    // Runs the port's loop until the lease arrives, the client gives up or `deadlineMs` passes;
    // true when a lease is held.
    bool WaitForLease(std::uint64_t deadlineMs);

    bool StackUp() const { return stackUp_; }
    bool Leased() const { return leased_; }
    bool GaveUp() const { return gaveUp_; }
    std::uint32_t Leases() const { return leases_; }
    // The stack's addresses: as configured, or from the lease (0 while none is held).
    std::uint32_t LocalAddress() const { return local_; }
    std::uint32_t Mask() const { return mask_; }
    std::uint32_t Gateway() const { return gateway_; }
    std::uint32_t DnsServer() const { return dns_; }
    const std::string& Error() const { return error_; }  // the last failure's own words
    std::size_t OpenConnections() const { return live_.size(); }

    // The stack's status hook (also reachable for hosts that dispatch status events themselves).
    static std::uintptr_t OnStatus(std::uintptr_t, int event, void* data, std::uint32_t a,
                                   std::uint32_t, std::uint32_t);

  private:
    struct Connection {
        std::uint16_t localPort                  = 0;
        std::uint16_t remotePort                 = 0;
        std::uint32_t remoteAddr                 = 0;
        bool operator==(const Connection&) const = default;
    };

    bool OpenAdapter(const StackSettings& settings);
    bool StartStack(const StackSettings& settings);
    static void OnDiagnostic(std::uintptr_t context, const TnSockDiagnostic* report);
    void TakeLease(const TnDhcpLease& lease);
    void LoseAddress(std::uint32_t address);
    void Track(const TnSockDiagnostic& report);
    void EndConnections();
    void ReleaseLease();
    void Log(const char* format, ...) __attribute__((format(printf, 2, 3)));

    AdapterPort& port_;
    FillFn fill_;
    LogFn log_;
    std::array<StackListener*, kListeners> listeners_{};
    MacAddress mac_{};
    bool useDhcp_              = false;
    std::uint32_t local_       = 0;
    std::uint32_t mask_        = 0;
    std::uint32_t gateway_     = 0;
    std::uint32_t dns_         = 0;
    std::uint32_t dnsOverride_ = 0;
    bool stackUp_              = false;
    bool leased_               = false;
    bool gaveUp_               = false;
    bool releasing_            = false;
    bool releaseSent_          = false;
    std::uint32_t leases_      = 0;
    std::uint64_t startMs_     = 0;
    std::vector<Connection> live_;  // established, not yet ended
    NameWait* nameWait_ = nullptr;
    std::string error_;
};

}  // namespace tarnet::platform
