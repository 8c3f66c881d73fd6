// Shared pieces of the `tarnet` command-line program: global options, exit codes, argument
// helpers, and the session that opens the adapter, starts the stack and runs the event loop.
//
// Each command group lives in its own file (cmd_<group>.cpp) and is listed in the command
// table of main.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "adapter.h"
#include "event_loop.h"
#include "fault_injector.h"
#include "host.h"
#include "stack_session.h"
#include "tarnet/tndhcp.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

inline constexpr int kExitOk     = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage  = 2;

struct GlobalOptions {
    std::string iface;              // -i/--iface, or TARNET_IFACE
    std::string tap;                // --tap NAME: a TAP device instead of a capture adapter
    std::string mac;                // --mac; empty: derived from the interface
    std::optional<std::string> ip;  // --ip: static addressing; absent: DHCP
    bool dhcp = false;              // --dhcp given (the default anyway)
    std::string gateway;
    std::string mask;
    std::string dns;
    bool verbose = false;
    std::optional<std::uint32_t> timeoutSeconds;  // --timeout: bound on the whole command
    platform::FaultConfig faults;                 // --impair, or TARNET_IMPAIR
    // --window, --send-buffer: TCP's receive window and send ring (0: the stack's 4096 each).
    std::uint32_t tcpWindow     = 0;
    std::uint32_t tcpSendBuffer = 0;
    // tcp --isn N (a diagnostic): the seed of TCP initial sequence numbers is chosen so that the
    // next one drawn is about N; without it the seed comes from the kernel's random source.
    std::optional<std::uint32_t> isnNear;
};

// The command's own arguments: everything after the command name that is not a global option.
using Args = std::vector<std::string>;

// Print "tarnet: <message>" on stderr and return the exit code.
int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int UsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Unsigned decimal in [min, max].
bool ParseNumber(const std::string& text, std::uint64_t min, std::uint64_t max, std::uint64_t& out);
// Dotted-quad text to a host-order address: exactly four decimal parts of 0 to 255, without
// leading zeros.
bool ParseAddress(const std::string& text, std::uint32_t& out);
// Digits and dots only: meant as an address, never as a host name.
bool LooksLikeAddress(const std::string& text);
// A subnet mask: a dotted quad whose ones are contiguous from the top (not 0.0.0.0).
bool ParseMask(const std::string& text, std::uint32_t& out);
// Why `text` cannot be the stack's MAC address (six hexadecimal pairs joined by ':' or '-', a
// unicast address, not all zeros), or null when it can.
const char* MacProblem(const std::string& text);
// Why `name` cannot be a host name (labels of 1 to 63 characters, at most 253 in all; a final
// dot is allowed), or null when it can.
const char* HostNameProblem(const std::string& name);
std::string AddressText(std::uint32_t address);

// A small reader for a command's arguments: options with a value ("-c 3", "--seconds=5") and
// flags, in any order among the positional arguments; "--" ends the options.
class ArgReader {
  public:
    explicit ArgReader(const Args& args) : args_(args) {}

    // Declares an option taking a value; `longName` may be null.
    void Value(const char* shortName, const char* longName, std::string* out);
    void Flag(const char* shortName, const char* longName, bool* out);
    // Sorts the arguments; false (after printing why) on an unknown option or a missing value.
    bool Read(std::vector<std::string>& positional);

  private:
    struct Declared {
        const char* shortName;
        const char* longName;
        std::string* value;
        bool* flag;
    };
    const Args& args_;
    std::vector<Declared> declared_;
};

// The capture adapter of a command: libpcap through hosts/platform, attached to the host when
// open, its goodbye passes run on the command's event loop.
class CliPort : public platform::AdapterPort {
  public:
    explicit CliPort(const platform::FaultConfig& faults) : faults_(faults) {}
    ~CliPort() override { Close(); }
    bool List(std::vector<platform::AdapterEntry>& out, std::string& error) override;
    bool Open(const std::string& name, std::string& error) override;
    void Close() override;
    bool IsOpen() const override { return adapter_.IsOpen(); }
    void Finish(DoneFn done, void* context, std::uint64_t deadlineMs) override;
    platform::Adapter& Adapter() { return adapter_; }
    const platform::Adapter& Adapter() const { return adapter_; }
    void SetLoop(platform::EventLoop* loop) { loop_ = loop; }
    // Open() opens a TAP device of that name rather than a capture adapter.
    void UseTap(bool on) { tap_ = on; }

  private:
    const platform::FaultConfig& faults_;
    platform::Adapter adapter_;
    platform::EventLoop* loop_ = nullptr;
    bool tap_                  = false;
};

// One run of the stack on one adapter: the options in, exit codes and stderr lines out, over the
// platform's stack session. Start() opens the adapter, initialises the stack and, with DHCP,
// waits for the lease; the destructor runs the session's shut-down order.
class Session : private platform::StackListener {
  public:
    explicit Session(const GlobalOptions& options);
    ~Session();
    Session(const Session&)            = delete;
    Session& operator=(const Session&) = delete;

    // Called with every lease the DHCP client reports: the first one and each renewal.
    using LeaseFn = void (*)(void* context, const TnDhcpLease& lease);
    // Called when the stack loses its address (the lease ran out, or the server refused it).
    using LossFn = void (*)(void* context);
    void OnLease(LeaseFn fn, void* context);
    void OnLoss(LossFn fn, void* context);
    // Called with every TCP report of the stack's diagnostic hook: a connection established,
    // a connection ended (with its reason and the bytes refused after our close).
    using TcpReportFn = void (*)(void* context, const TnSockDiagnostic& report);
    void OnTcpReport(TcpReportFn fn, void* context);
    // Called with every datagram the stack hands to the link (TNSOCK_DIAG_DATAGRAM_SENT), after
    // any wait for ARP; null stops the calls.
    using SentFn = void (*)(void* context, const TnSockDiagnostic& report);
    void OnDatagramSent(SentFn fn, void* context);

    // Checks the options, opens the adapter and starts the stack; with DHCP, also waits for
    // the lease (within --timeout). Returns kExitOk, or the exit code after one line on
    // stderr.
    int Start();

    // Runs the event loop until done(context) is true, `untilMs` (monotonic) passes, the
    // command's --timeout passes, a stop signal arrives or the adapter fails.
    platform::EventLoop::Outcome Run(platform::EventLoop::DoneFn done, void* context,
                                     std::optional<std::uint64_t> untilMs = std::nullopt);
    // True when the last Run() ended because --timeout passed.
    bool TimedOut() const { return timedOut_; }
    // The line and exit code for a Run() that did not end in kDone (kDeadline counts as
    // a timeout of the command).
    int Stopped(platform::EventLoop::Outcome outcome) const;

    // A HOST argument as an address: dotted quads are used directly, anything else is a name
    // for the stack's DNS resolver.
    int ResolveHost(const std::string& text, std::uint32_t& out);
    // ResolveHost, then a check that the address has a next hop (on the subnet, or a gateway).
    int ResolveReachable(const std::string& text, std::uint32_t& out);
    // A host name through the stack's resolver, asked again until it answers, the server
    // says the name does not exist, or the time is up.
    int ResolveName(const std::string& name, std::uint32_t& out);
    // The neighbour that frames to `destination` go to: the destination on the local subnet,
    // else the gateway (0 when there is none).
    std::uint32_t NextHop(std::uint32_t destination) const;

    bool UsesDhcp() const { return useDhcp_; }
    std::uint32_t LocalAddress() const { return stack_.LocalAddress(); }
    std::uint32_t DnsServer() const { return stack_.DnsServer(); }
    const platform::Adapter& Adapter() const { return port_.Adapter(); }
    platform::EventLoop& Loop() { return loop_; }
    const GlobalOptions& Options() const { return options_; }
    std::string Describe() const;  // "192.0.2.2 on veth0 (02:54:4e:..)"

    using NameWait = platform::StackSession::NameWait;

  private:
    int CheckOptions();
    int PickAdapter(std::string& name);
    int WaitForLease();
    void OnLease(const TnDhcpLease& lease) override;
    void OnAddressLost(std::uint32_t address) override;
    void OnDiagnostic(const TnSockDiagnostic& report) override;

    const GlobalOptions& options_;
    CliPort port_;
    platform::EventLoop loop_;
    platform::StackSession stack_;
    platform::MacAddress mac_{};
    bool useDhcp_              = false;
    std::uint32_t local_       = 0;  // --ip, --mask, --gateway, --dns as read
    std::uint32_t mask_        = 0;
    std::uint32_t gateway_     = 0;
    std::uint32_t dns_         = 0;
    std::uint32_t dnsOverride_ = 0;  // --dns with DHCP: used instead of the lease's server
    LeaseFn leaseFn_           = nullptr;
    void* leaseContext_        = nullptr;
    LossFn lossFn_             = nullptr;
    void* lossContext_         = nullptr;
    std::optional<std::uint64_t> deadline_;
    bool timedOut_           = false;
    TcpReportFn tcpReportFn_ = nullptr;
    void* tcpReportContext_  = nullptr;
    SentFn sentFn_           = nullptr;
    void* sentContext_       = nullptr;
};

// ---- Commands -----------------------------------------------------------------------------------

int RunAdapters(const GlobalOptions& options, const Args& args);
int RunPing(const GlobalOptions& options, const Args& args);
int RunUdp(const GlobalOptions& options, const Args& args);
int RunServe(const GlobalOptions& options, const Args& args);
int RunResolve(const GlobalOptions& options, const Args& args);
int RunTcp(const GlobalOptions& options, const Args& args);
int RunMail(const GlobalOptions& options, const Args& args);
int RunFtp(const GlobalOptions& options, const Args& args);

}  // namespace tarnet::cli
