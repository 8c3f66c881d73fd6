// Scripted FTP server for the FTP library's tests: a TCP peer on the harness (control and data
// connections over the stack's TCP, virtual clock), an in-memory file store behind the
// library's host services, and a record of the library's events.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "harness.h"
#include "tarnet/tndns.h"
#include "tarnet/tnftp.h"

namespace tarnet::test {

inline constexpr std::uint16_t kFtpPort = 21;

struct FtpEventRecord {
    int event;
    std::string text;
    int textLength;
    std::uintptr_t extra;
    std::string word;  // TNFTP_EV_PWD_DONE: the directory word
};

// The local files the library reads and writes through its services.
struct MemoryFiles {
    std::map<std::string, Bytes> files;
    struct Open {
        std::string name;  // where the bytes go: a download's side file "NAME~partial"
        std::size_t offset;
        std::string target;  // a download: the file the side file replaces on completion
    };
    std::vector<std::pair<std::string, int>> finished;  // (file, completed) of each download
    std::map<TnFtpFile, Open> open;
    TnFtpFile next  = 1;
    bool failWrites = false;
    bool failFinish = false;  // the end of a received file fails (its last write, say)
    bool failReads  = false;
    std::string cwd;  // the walker tests' local current directory; names are relative to it

    static MemoryFiles& Get() {
        static MemoryFiles m;
        return m;
    }
    std::string Key(const std::string& name) const { return cwd.empty() ? name : cwd + "/" + name; }
    static TnFtpFile OpenFile(const char* name, int mode, int create) {
        MemoryFiles& m        = Get();
        const std::string key = m.Key(name);
        if (!m.files.contains(key) && !create) {
            return 0;
        }
        if (mode == 1) {
            m.files[key + "~partial"].clear();
            m.open[m.next] = Open{key + "~partial", 0, key};
            return m.next++;
        }
        m.open[m.next] = Open{key, 0, {}};
        return m.next++;
    }
    static int Finish(TnFtpFile f, int completed) {
        MemoryFiles& m = Get();
        const Open o   = m.open[f];
        m.open.erase(f);
        m.finished.emplace_back(o.target, completed);
        if (completed != 0 && m.failFinish) {
            m.files.erase(o.name);
            return 0;
        }
        if (completed != 0) {
            m.files[o.target] = m.files[o.name];
        }
        m.files.erase(o.name);
        return 1;
    }
    static void CloseFile(TnFtpFile f) { Get().open.erase(f); }
    static int Write(TnFtpFile f, const std::uint8_t* b, std::uint32_t n, std::uint32_t* w) {
        MemoryFiles& m = Get();
        if (m.failWrites || !m.open.contains(f)) {
            return 0;
        }
        Bytes& file = m.files[m.open[f].name];
        file.insert(file.end(), b, b + n);
        *w = n;
        return 1;
    }
    static int Read(TnFtpFile f, std::uint8_t* b, std::uint32_t cap, std::uint32_t* r) {
        MemoryFiles& m = Get();
        if (m.failReads || !m.open.contains(f)) {
            return 0;
        }
        Open& o             = m.open[f];
        const Bytes& file   = m.files[o.name];
        const std::size_t n = std::min<std::size_t>(cap, file.size() - o.offset);
        if (n > 0) {
            std::memcpy(b, file.data() + o.offset, n);
        }
        o.offset += n;
        *r = static_cast<std::uint32_t>(n);
        return 1;
    }
};

class FtpTest : public StackTest {
  protected:
    // One TCP connection as the server sees it.
    struct Conn {
        std::uint16_t ourPort;     // the stack's port
        std::uint16_t serverPort;  // 21 or a data port
        std::uint32_t seq = 0;     // server's next sequence number
        std::uint32_t ack = 0;     // next byte expected from the stack
        Bytes rx;                  // bytes received from the stack
        bool established = false;
        bool finFromUs   = false;  // the stack closed
        bool finFromPeer = false;  // the server closed
        bool reset       = false;
    };

    static std::vector<FtpEventRecord>& Events() {
        static std::vector<FtpEventRecord> events;
        return events;
    }
    static std::function<void(const FtpEventRecord&)>& EventHook() {
        static std::function<void(const FtpEventRecord&)> hook;
        return hook;
    }
    static void OnEvent(std::uintptr_t, int event, const char* text, int length,
                        std::uintptr_t extra) {
        FtpEventRecord r{event, {}, length, extra, {}};
        if (text != nullptr) {
            r.text = event == TNFTP_EV_LISTING ? std::string(text, static_cast<std::size_t>(length))
                                               : std::string(text);
        }
        if (event == TNFTP_EV_PWD_DONE) {
            r.word = reinterpret_cast<const char*>(extra);
        }
        Events().push_back(r);
        if (EventHook()) {
            EventHook()(Events().back());
        }
    }

    void SetUp() override {
        StackTest::SetUp();
        Events().clear();
        EventHook()        = nullptr;
        MemoryFiles::Get() = MemoryFiles{};
        // Distinct ephemeral ports for every connection of a test.
        for (int i = 1; i <= 4000; ++i) {
            host().randomValues.push_back(i * 7919);
        }
        ASSERT_EQ(Start(), TNSOCK_SUCCESS);
        LearnPeer();
        TnFtpServices services{config.timerStart,      config.timerStop,   MemoryFiles::OpenFile,
                               MemoryFiles::CloseFile, MemoryFiles::Write, MemoryFiles::Read,
                               config.getTickCount,    MemoryFiles::Finish};
        const int init = TnFtpInit(&services);
        ASSERT_TRUE(init == TNFTP_OK || init == TNFTP_ALREADY_INITIALISED);
        std::uint32_t timeout = 15000;
        TnFtpSetTimeout(&timeout);
    }

    void TearDown() override {
        TnFtpDeinit();
        EventHook() = nullptr;
        StackTest::TearDown();
    }

    // ---- TCP side -----------------------------------------------------------------------

    Conn* Find(std::uint16_t ourPort, std::uint16_t serverPort) {
        for (auto it = conns.rbegin(); it != conns.rend(); ++it) {
            if (it->ourPort == ourPort && it->serverPort == serverPort) {
                return &*it;
            }
        }
        return nullptr;
    }

    void Segment(Conn& c, std::uint8_t flags, const Bytes& payload = {}) {
        TcpSegment s;
        s.srcPort = c.serverPort;
        s.dstPort = c.ourPort;
        s.seq     = c.seq;
        s.ack     = c.ack;
        s.flags   = flags;
        s.window  = 65535;
        s.payload = payload;
        InjectTcp(s);
        c.seq += static_cast<std::uint32_t>(payload.size()) + ((flags & tcpflag::kFin) ? 1 : 0) +
                 ((flags & tcpflag::kSyn) ? 1 : 0);
    }

    // Handles every frame the stack sent, until it sends no more.
    void Pump() {
        while (!host().sent.empty()) {
            const Decoded d = NextSent();
            if (d.tcp && d.tcp->Has(tcpflag::kSyn)) {
                synTargets.push_back(d.ip->dst);
            }
            if (d.tcp) {
                OnSegment(*d.tcp);
            } else if (d.udp) {
                udpSent.push_back(*d.udp);
            }
        }
    }

    void OnSegment(const TcpSegment& s) {
        if (s.Has(tcpflag::kSyn)) {
            if (s.dstPort != kFtpPort && !listening.contains(s.dstPort)) {
                return;  // nobody listens: the stack retries until it gives up
            }
            Conn c{};
            c.ourPort    = s.srcPort;
            c.serverPort = s.dstPort;
            c.seq        = 0x10000000u + static_cast<std::uint32_t>(conns.size()) * 0x1000000u;
            c.ack        = s.seq + 1;
            conns.push_back(c);
            Conn& added = conns.back();
            Segment(added, tcpflag::kSyn | tcpflag::kAck);
            return;
        }
        Conn* c = Find(s.srcPort, s.dstPort);
        if (c == nullptr) {
            return;
        }
        if (s.Has(tcpflag::kRst)) {
            c->reset = true;
            return;
        }
        if (!c->established && s.Has(tcpflag::kAck)) {
            c->established = true;
            OnEstablished(*c);
        }
        bool acknowledge = false;
        if (!s.payload.empty() && s.seq == c->ack) {
            c->rx.insert(c->rx.end(), s.payload.begin(), s.payload.end());
            c->ack += static_cast<std::uint32_t>(s.payload.size());
            acknowledge = true;
        }
        if (s.Has(tcpflag::kFin) && s.seq + s.payload.size() == c->ack && !c->finFromUs) {
            c->ack += 1;
            c->finFromUs = true;
            acknowledge  = true;
        }
        if (acknowledge) {
            Segment(*c, tcpflag::kAck);
        }
        if (!s.payload.empty()) {
            OnData(*c);
        }
        if (c->finFromUs && !c->finFromPeer) {
            OnStackClosed(*c);
            if (!c->finFromPeer) {
                ServerClose(*c);
            }
        }
    }

    void ServerSend(Conn& c, const std::string& text) {
        ServerSend(c, Bytes(text.begin(), text.end()));
    }
    void ServerSend(Conn& c, const Bytes& bytes) {
        for (std::size_t at = 0; at < bytes.size(); at += 1400) {
            const std::size_t n = std::min<std::size_t>(1400, bytes.size() - at);
            Segment(c, tcpflag::kAck | tcpflag::kPsh,
                    Bytes(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                          bytes.begin() + static_cast<std::ptrdiff_t>(at + n)));
        }
        Pump();
    }
    void ServerReset(Conn& c) {
        c.reset = true;
        Segment(c, tcpflag::kRst | tcpflag::kAck);
        Pump();
    }
    void ServerClose(Conn& c) {
        c.finFromPeer = true;
        Segment(c, tcpflag::kAck | tcpflag::kFin);
        Pump();
    }

    Conn& Control() { return *control; }
    Conn* DataConn() {
        for (auto it = conns.rbegin(); it != conns.rend(); ++it) {
            if (it->serverPort != kFtpPort && !it->finFromPeer && !it->finFromUs && !it->reset) {
                return &*it;
            }
        }
        return nullptr;
    }

    // ---- FTP side -----------------------------------------------------------------------

    // Greeting and canned replies; an entry of "" means the test answers by hand.
    std::string greeting = "220 ready\r\n";
    std::map<std::string, std::string> replies{
        {"USER", "331 password please\r\n"       },
        {"PASS", "230 logged in\r\n"             },
        {"CWD",  "250 ok\r\n"                    },
        {"MKD",  "257 \"x\" created\r\n"         },
        {"RMD",  "250 removed\r\n"               },
        {"DELE", "250 deleted\r\n"               },
        {"NOOP", "200 ok\r\n"                    },
        {"PWD",  "257 \"/home/u\" is current\r\n"},
        {"RNFR", "350 ready for RNTO\r\n"        },
        {"RNTO", "250 renamed\r\n"               },
        {"TYPE", "200 binary\r\n"                },
        {"ABOR", "226 aborted\r\n"               },
    };
    // Remote files for RETR, the listing for LIST, files received by STOR.
    std::map<std::string, Bytes> remote;
    Bytes listing;
    bool autoTransfer = true;  // LIST/RETR/STOR run by the server; false: the test drives them
    std::string pasvReply;     // overrides the 227 reply
    std::vector<std::string> commands;  // every command line received, without CR LF
    // Where a RETR or STOR name lives in `remote`, and the listing LIST sends (walker tests).
    std::function<std::string(const std::string&)> remotePath = [](const std::string& n) {
        return n;
    };
    std::function<Bytes()> listingNow;

    virtual void OnEstablished(Conn& c) {
        if (c.serverPort == kFtpPort) {
            control = &c;
            if (!greeting.empty()) {
                ServerSend(c, greeting);
            }
        } else if (pendingTransfer.size() > 0) {
            RunTransfer();
        }
    }

    void OnData(Conn& c) {
        if (c.serverPort != kFtpPort) {
            return;  // STOR data: kept in c.rx
        }
        for (;;) {
            auto end = std::search(c.rx.begin(), c.rx.end(), kCrLf.begin(), kCrLf.end());
            if (end == c.rx.end()) {
                return;
            }
            const std::string line(c.rx.begin(), end);
            c.rx.erase(c.rx.begin(), end + 2);
            commands.push_back(line);
            OnCommand(line);
        }
    }

    virtual void OnCommand(const std::string& line) {
        const std::string verb = line.substr(0, line.find(' '));
        const std::string arg =
            line.find(' ') == std::string::npos ? "" : line.substr(line.find(' ') + 1);
        if (verb == "PASV") {
            const std::uint16_t port = nextDataPort++;
            listening.insert(port);
            ServerSend(Control(), pasvReply.empty() ? "227 Entering Passive Mode (10,9,9,9," +
                                                          std::to_string(port / 256) + "," +
                                                          std::to_string(port % 256) + ")\r\n"
                                                    : pasvReply);
            return;
        }
        if ((verb == "LIST" || verb == "RETR" || verb == "STOR") && autoTransfer) {
            pendingTransfer = verb;
            pendingArg      = arg;
            if (DataConn() != nullptr && DataConn()->established) {
                RunTransfer();
            }
            return;
        }
        const auto it = replies.find(verb);
        if (it != replies.end() && !it->second.empty()) {
            ServerSend(Control(), it->second);
        }
    }

    void RunTransfer() {
        const std::string verb = pendingTransfer;
        pendingTransfer.clear();
        Conn* data = DataConn();
        if (verb == "STOR") {
            storName = remotePath(pendingArg);
            ServerSend(Control(), "150 opening data connection\r\n");
            return;  // finished in OnStackClosed
        }
        ServerSend(Control(), "150 opening data connection\r\n");
        ServerSend(*data, verb == "LIST" ? (listingNow ? listingNow() : listing)
                                         : remote[remotePath(pendingArg)]);
        ServerClose(*data);
        ServerSend(Control(), "226 transfer complete\r\n");
    }

    void OnStackClosed(Conn& c) {
        if (c.serverPort != kFtpPort && !storName.empty()) {
            remote[storName] = c.rx;
            storName.clear();
            ServerClose(c);
            ServerSend(Control(), "226 stored\r\n");
        }
    }

    // ---- Driving ------------------------------------------------------------------------

    // Moves the virtual clock in steps of `step` ms, ticking the library and the server.
    void Run(std::uint64_t ms, std::uint64_t step = 1) {
        for (std::uint64_t t = 0; t < ms; t += step) {
            Advance(step);
            TnFtpTimerTick();
            Pump();
        }
    }

    TnFtpSession* Connect(const char* server = "192.0.2.1") {
        TnFtpConnectParams p{server, kFtpPort, "user", "secret", OnEvent, 1};
        TnFtpSession* s = nullptr;
        EXPECT_EQ(TnFtpConnect(&p, &s), TNFTP_OK);
        Pump();
        return s;
    }

    TnFtpSession* LoggedIn() {
        TnFtpSession* s = Connect();
        EXPECT_FALSE(Events().empty());
        EXPECT_EQ(Events().empty() ? -1 : Events().back().event, TNFTP_EV_LOGGED_IN);
        Events().clear();
        commands.clear();
        return s;
    }

    // Lets connections the stack closed first leave TIME_WAIT, so tables of cases do not run
    // out of TCP control blocks.
    void Settle() { Run(6000, 1000); }

    int LastEvent() const { return Events().empty() ? -1 : Events().back().event; }

    std::vector<int> EventKinds(bool withProgress = false) const {
        std::vector<int> kinds;
        for (const FtpEventRecord& r : Events()) {
            if (withProgress ||
                (r.event != TNFTP_EV_BYTES_SENT && r.event != TNFTP_EV_BYTES_RECEIVED)) {
                kinds.push_back(r.event);
            }
        }
        return kinds;
    }

    static inline const std::string kCrLf = "\r\n";
    std::deque<Conn> conns;  // stable references
    Conn* control = nullptr;
    std::set<std::uint16_t> listening;
    std::vector<std::uint32_t> synTargets;
    std::vector<UdpDatagram> udpSent;  // DNS queries  // destination of every SYN the stack sent
    std::uint16_t nextDataPort = 40000;
    std::string pendingTransfer;
    std::string pendingArg;
    std::string storName;
};

}  // namespace tarnet::test
