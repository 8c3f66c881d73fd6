#include "sockbench_logic.h"

#include "counters_text.h"

#include "tarnet/tndhcp.h"
#include "text.h"

namespace tarnet::sockbench {

SockBench* SockBench::instance_ = nullptr;

namespace {

std::string AddressText(std::uint32_t address) {
    char text[16];
    TnSockFormatAddr(address, text);
    return text;
}

std::string Endpoint(const std::string& address, std::uint16_t port) {
    return address + ":" + std::to_string(port);
}

}  // namespace

SockBench::SockBench(View& view, desktop::AdapterPort& port, desktop::DesktopStack::FillFn fill)
    : view_(view),
      stack_(
          port,
          [fill = std::move(fill)](TnSockConfig& config) {
              fill(config);
              config.logText = LogText;
          },
          [this](const std::string& line) { Log(line); }) {
    instance_ = this;
    stack_.Session().AddListener(this);  // a lease shows in the address field
}

SockBench::~SockBench() {
    Shutdown();
    stack_.Session().RemoveListener(this);
    instance_ = nullptr;
}

bool SockBench::Initialise(const desktop::InitRequest& request) {
    return stack_.Initialise(request);
}

void SockBench::Shutdown() {
    stack_.Shutdown();  // releases every endpoint without events
    for (Session& s : sessions_) {
        s = Session{};
    }
    listener_ = nullptr;
}

// ---- Log ---------------------------------------------------------------------------------------

void SockBench::Log(const std::string& text) {
    const desktop::LogRows::Change change = log_.Append(text);
    view_.LogAppended(log_.Last());
    if (change == desktop::LogRows::Change::kOldestDropped) {
        view_.LogFirstRemoved();
    }
}

void SockBench::LogCounters() {
    constexpr std::size_t kRow = 79;  // what a log row holds
    for (const std::string& line : platform::CurrentCountersText()) {
        std::string row;
        std::size_t at = 0;
        while (at < line.size()) {
            std::size_t next        = line.find(", ", at);
            next                    = next == std::string::npos ? line.size() : next + 2;
            const std::string field = line.substr(at, next - at);
            if (!row.empty() && row.size() + field.size() > kRow) {
                Log(row);
                row = "  ";
            }
            row += field;
            at = next;
        }
        Log(row);
    }
}

// ---- Records -----------------------------------------------------------------------------------

int SockBench::TakeRecord() {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        if (!sessions_[i].inUse) {
            sessions_[i]       = Session{};
            sessions_[i].inUse = true;
            return static_cast<int>(i);
        }
    }
    return -1;
}

void SockBench::FreeRecord(int record) {
    Rec(record) = Session{};
}

int SockBench::RecordOf(std::uintptr_t context) const {
    for (std::size_t i = 0; i < sessions_.size(); ++i) {
        if (reinterpret_cast<std::uintptr_t>(&sessions_[i]) == context) {
            return sessions_[i].inUse ? static_cast<int>(i) : -1;
        }
    }
    return -1;
}

std::size_t SockBench::SessionsInUse() const {
    std::size_t n = 0;
    for (const Session& s : sessions_) {
        n += s.inUse ? 1 : 0;
    }
    return n;
}

SessionRow SockBench::RowOf(int record) const {
    const Session& s = At(record);
    return SessionRow{Endpoint(stack_.LocalIpText(), s.localPort),
                      Endpoint(s.remoteText, s.remotePort), kProtocolNames[s.protocolIndex],
                      kStatusNames[s.statusIndex]};
}

// ---- Commands ----------------------------------------------------------------------------------

void SockBench::Connect(const SessionFields& fields) {
    const int record = TakeRecord();
    if (record < 0) {
        Log("Cannot add new session, max number of sessions reached.");
        return;
    }
    if (fields.protocolIndex < 0 || fields.protocolIndex > 1 || fields.typeIndex < 0 ||
        fields.typeIndex > 1) {
        FreeRecord(record);
        return;
    }
    Session& s      = Rec(record);
    s.remoteText    = std::string(desktop::CutChars(fields.remoteHost, kRemoteHostChars));
    s.localPort     = fields.localPort;
    s.remotePort    = fields.remotePort;
    s.protocolIndex = fields.protocolIndex;
    s.typeIndex     = fields.typeIndex;
    s.statusIndex   = fields.protocolIndex == kProtocolUdp ? kUp : kTrying;
    if (TnSockParseAddr(s.remoteText.c_str(), &s.remoteAddress) != 1) {
        FreeRecord(record);
        Log("Cannot add new session, invalid remote ip address.");
        return;
    }
    if (s.protocolIndex == kProtocolUdp) {
        OpenUdp(record, fields);
        return;
    }
    const int rc = TnSockTcpConnect(ContextOf(record), TcpEvent, s.remoteText.c_str(), s.remotePort,
                                    &s.endpoint);
    if (rc != TNSOCK_SUCCESS) {
        Log(std::string("TnSockTcpConnect failed rc=") + TnSockResultName(rc));
        FreeRecord(record);
        return;
    }
    view_.SessionAdded(record);
    Log("TnSockTcpConnect initiated OK.");
}

bool SockBench::OpenUdp(int record, const SessionFields& fields) {
    Session& s   = Rec(record);
    const int rc = TnSockUdpOpen(ContextOf(record), UdpEvent, fields.localPort, &s.endpoint);
    if (rc != TNSOCK_SUCCESS) {
        Log(std::string("TnSockUdpOpen failed rc=") + TnSockResultName(rc));
        FreeRecord(record);
        return false;
    }
    view_.SessionAdded(record);
    Log("TnSockUdpOpen OK.");
    return true;
}

void SockBench::Listen(const SessionFields& fields) {
    if (fields.protocolIndex < 0 || fields.protocolIndex > 1 || fields.typeIndex < 0 ||
        fields.typeIndex > 1) {
        return;
    }
    if (fields.protocolIndex == kProtocolUdp) {
        Connect(fields);
        return;
    }
    // The listener has no session row; its context is its port, which incoming connections
    // take as their local port.
    const int rc = TnSockTcpListen(fields.localPort, fields.localPort, TcpEvent, &listener_);
    if (rc != TNSOCK_SUCCESS) {
        Log(std::string("TnSockTcpListen failed rc=") + TnSockResultName(rc));
        return;
    }
    Log("TnSockTcpListen OK. Listening on local port " + std::to_string(fields.localPort));
}

void SockBench::SendData(int record, const std::string& utf8) {
    if (record < 0 || record >= static_cast<int>(kSessions) || !At(record).inUse) {
        Log("No session is selected, cannot send");
        return;
    }
    // The field's limit counts characters; the stack is given the text's UTF-8 bytes.
    const std::string_view text = desktop::CutChars(utf8, kDataChars);
    const auto* bytes           = reinterpret_cast<const std::uint8_t*>(text.data());
    const auto length           = static_cast<std::uint32_t>(text.size());
    Session& s                  = Rec(record);
    if (s.protocolIndex == kProtocolUdp) {
        const int rc = TnSockUdpSendto(s.endpoint, s.remoteAddress, s.remotePort, bytes, length);
        Log(std::string("TnSockUdpSendto rc=") + TnSockResultName(rc));
        return;
    }
    std::uint32_t count = 0;
    const int rc        = TnSockTcpSend(s.endpoint, bytes, length, &count);
    Log(std::string("TnSockTcpSend rc=") + TnSockResultName(rc));
}

void SockBench::CloseSession(int record) {
    if (record < 0 || record >= static_cast<int>(kSessions) || !At(record).inUse) {
        Log("No session is selected, cannot send");
        return;
    }
    TnSockClose(Rec(record).endpoint);
    Log("Session closed by user");
    view_.SessionRemoved(record);
    FreeRecord(record);
}

// ---- The stack's events ------------------------------------------------------------------------

void SockBench::ShowReceived(const void* data, std::uint32_t length, std::uint32_t limit) {
    if (length < limit && data != nullptr) {
        view_.ShowData(desktop::ValidUtf8(static_cast<const std::uint8_t*>(data), length));
    }
}

std::uintptr_t SockBench::UdpEvent(std::uintptr_t, int event, void* data, std::uint32_t a,
                                   std::uint32_t, std::uint32_t) {
    SockBench* self = instance_;
    if (self == nullptr || event != TNSOCK_EVENT_DATA) {
        return 0;
    }
    self->Log("Socket data received len=" + std::to_string(a));
    self->ShowReceived(data, a, kUdpShowBelow);
    return 0;
}

std::uintptr_t SockBench::TcpEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                                   std::uint32_t b, std::uint32_t) {
    SockBench* self = instance_;
    if (self == nullptr) {
        return 0;
    }
    if (event == TNSOCK_EVENT_INCOMING) {
        return self->Incoming(context, static_cast<TnSockEndpoint*>(data), a, b);
    }
    const int record = self->RecordOf(context);
    if (record < 0) {
        return 0;
    }
    switch (event) {
        case TNSOCK_EVENT_DATA:
            self->Log("TCP Socket data received len=" + std::to_string(a));
            self->ShowReceived(data, a, kTcpShowBelow);
            break;
        case TNSOCK_EVENT_CLOSED:
            self->view_.SessionRemoved(record);
            self->FreeRecord(record);
            self->Log("TCP session closed");
            break;
        case TNSOCK_EVENT_CONNECTED:
            self->Rec(record).statusIndex = kUp;
            self->view_.SessionChanged(record);
            self->Log("TCP session connected");
            break;
        default:
            break;
    }
    return 0;
}

std::uintptr_t SockBench::Incoming(std::uintptr_t listenerPort, TnSockEndpoint* endpoint,
                                   std::uint32_t remotePort, std::uint32_t remoteAddress) {
    const int record = TakeRecord();
    if (record < 0) {
        return 0;  // every record taken: the connection is refused
    }
    Session& s      = Rec(record);
    s.endpoint      = endpoint;
    s.protocolIndex = kProtocolTcp;
    s.statusIndex   = kUp;
    s.typeIndex     = 1;
    s.localPort     = static_cast<std::uint16_t>(listenerPort);
    s.remoteText    = AddressText(remoteAddress);
    s.remoteAddress = remoteAddress;
    s.remotePort    = static_cast<std::uint16_t>(remotePort);
    view_.SessionAdded(record);
    Log("TCP session connected");
    return ContextOf(record);
}

void SockBench::OnStatus(int event, const void* data) {
    if (event != TNSOCK_EVENT_ADDRESS || data == nullptr) {
        return;
    }
    const std::string text = AddressText(static_cast<const TnDhcpLease*>(data)->address);
    stack_.SetLocalIpText(text);
    view_.ShowLocalAddress(text);
}

int SockBench::LogText(const char* text) {
    if (instance_ != nullptr && text != nullptr) {
        instance_->Log(text);
    }
    return 0;
}

}  // namespace tarnet::sockbench
