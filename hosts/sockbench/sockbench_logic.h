// sockbench's logic without any widget: the ten session records, the commands (initialise,
// connect, listen, send, close), the stack's event handlers and every log text. The window
// (sockbench_window.h) is a thin View over it; tests drive it on the harness's virtual clock.
//
// The stack is one instance per process and so is this class: its handlers reach the instance
// through a static pointer.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "desktop_stack.h"
#include "log_rows.h"
#include "tarnet/tnsock.h"

namespace tarnet::sockbench {

inline constexpr std::size_t kSessions         = 10;
inline constexpr std::size_t kLogRows          = 1000;
inline constexpr std::size_t kLogChars         = 79;
inline constexpr std::size_t kDataChars        = 511;
inline constexpr std::size_t kRemoteHostChars  = 15;
inline constexpr std::uint32_t kUdpShowBelow   = 2048;  // longer datagrams are only logged
inline constexpr std::uint32_t kTcpShowBelow   = 4096;  // longer TCP blocks are only logged
inline constexpr int kProtocolTcp              = 0;
inline constexpr int kProtocolUdp              = 1;
inline constexpr const char* kProtocolNames[2] = {"TCP", "UDP"};
inline constexpr const char* kTypeNames[2]     = {"Client", "Server"};

enum Status : int { kClosed = 0, kTrying = 1, kListen = 2, kUp = 3 };
inline constexpr const char* kStatusNames[4] = {"Closed", "Trying", "Listen", "Up"};

struct Session {
    bool inUse               = false;
    TnSockEndpoint* endpoint = nullptr;
    std::string remoteText;  // as typed, or formatted for an accepted connection
    std::uint32_t remoteAddress = 0;
    std::uint16_t remotePort    = 0;
    std::uint16_t localPort     = 0;  // accepted connections: the listener's port
    int protocolIndex           = kProtocolTcp;
    int statusIndex             = kClosed;
    int typeIndex               = 0;
};

// The session properties group as the user left it.
struct SessionFields {
    int protocolIndex = kProtocolTcp;  // -1: nothing selected
    int typeIndex     = 0;             // -1: nothing selected
    std::string remoteHost;
    std::uint16_t localPort  = 0;
    std::uint16_t remotePort = 0;
};

// What the window shows; the logic tells it every change.
class View {
  public:
    virtual ~View()                                        = default;
    virtual void LogAppended(const std::string& row)       = 0;
    virtual void LogFirstRemoved()                         = 0;
    virtual void SessionAdded(int record)                  = 0;
    virtual void SessionChanged(int record)                = 0;
    virtual void SessionRemoved(int record)                = 0;
    virtual void ShowData(const std::string& utf8)         = 0;
    virtual void ShowLocalAddress(const std::string& text) = 0;
};

struct SessionRow {
    std::string src;
    std::string dst;
    std::string prot;
    std::string stat;
};

class SockBench : private platform::StackListener {
  public:
    SockBench(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill);
    ~SockBench();
    SockBench(const SockBench&)            = delete;
    SockBench& operator=(const SockBench&) = delete;

    std::vector<std::string> LoadAdapters() { return stack_.LoadAdapters(); }
    bool Initialise(const desktop::InitRequest& request);
    // Stops the stack and forgets every session (the window goes away with it).
    void Shutdown();

    void Connect(const SessionFields& fields);
    void Listen(const SessionFields& fields);
    // `record` is the selected row's record, -1 when none is selected.
    void SendData(int record, const std::string& utf8);
    void CloseSession(int record);

    // Appends a row to the event log: valid UTF-8, cut to 79 characters, the oldest row dropped
    // beyond 1000.
    void Log(const std::string& text);
    // Appends the stack's counters to the event log, a layer at a time, each line wrapped
    // between its fields to fit a row.
    void LogCounters();

    // The stack's status event: a leased address goes into the address field, and rows opened
    // from then on show it as their source.
    void OnStatus(int event, const void* data);

    SessionRow RowOf(int record) const;
    const Session& At(int record) const { return sessions_[static_cast<std::size_t>(record)]; }
    std::size_t SessionsInUse() const;
    const std::deque<std::string>& LogRows() const { return log_.Rows(); }
    TnSockEndpoint* Listener() const { return listener_; }
    const desktop::DesktopStack& Stack() const { return stack_; }

  private:
    static std::uintptr_t UdpEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                                   std::uint32_t b, std::uint32_t c);
    static std::uintptr_t TcpEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                                   std::uint32_t b, std::uint32_t c);
    void OnLease(const TnDhcpLease& lease) override { OnStatus(TNSOCK_EVENT_ADDRESS, &lease); }
    static int LogText(const char* text);

    int TakeRecord();
    void FreeRecord(int record);
    // The record whose address `context` is, -1 for any other value.
    int RecordOf(std::uintptr_t context) const;
    std::uintptr_t ContextOf(int record) { return reinterpret_cast<std::uintptr_t>(&Rec(record)); }
    Session& Rec(int record) { return sessions_[static_cast<std::size_t>(record)]; }
    bool OpenUdp(int record, const SessionFields& fields);
    void ShowReceived(const void* data, std::uint32_t length, std::uint32_t limit);
    std::uintptr_t Incoming(std::uintptr_t listenerPort, TnSockEndpoint* endpoint,
                            std::uint32_t remotePort, std::uint32_t remoteAddress);

    static SockBench* instance_;

    View& view_;
    desktop::DesktopStack stack_;
    std::array<Session, kSessions> sessions_{};
    desktop::LogRows log_{desktop::LogRows::Policy::kDropOldest, kLogRows, kLogChars};
    TnSockEndpoint* listener_ = nullptr;
};

}  // namespace tarnet::sockbench
