// tarnet ftp HOST [--port N] [--user U] [--password P] [--reply-timeout MS] OP ...
//
// One FTP session (passive mode, binary transfers) over the stack's TCP: log in, run one
// operation, close. The FTP library drives the protocol; this file gives it the host services
// (hosts/platform/ftp_files), has the loop run its periodic work while it has sessions open,
// runs the single operations (waiting for the event that ends each step) and turns them into
// output and an exit status. A failure ends in one line naming the step that failed and the
// server's reply (or the library's text). The other pieces are listed in ftp.h.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "ftp.h"
#include "ftp_files.h"
#include "host.h"
#include "tarnet/tnftp.h"

namespace tarnet::cli {
namespace ftp {

using platform::EventLoop;

FtpCommand::FtpCommand(Session& session, std::string host, std::string server)
    : session_(session), host_(std::move(host)), server_(std::move(server)) {}

int FtpCommand::Await(int wanted, const char* what) {
    const auto outcome = session_.Run(StepDone, nullptr);
    if (outcome != EventLoop::Outcome::kDone) {
        return Interrupted(outcome, what);
    }
    if (gRun.event != wanted) {
        EndProgress();
        return Fail("%s: %s", what, Describe(gRun.event, gRun.text, gRun.extra).c_str());
    }
    return kExitOk;
}

int FtpCommand::Started(int rc, const char* what) {
    gRun.stepDone = false;
    if (rc == TNFTP_OK) {
        return kExitOk;
    }
    gRun.stepDone          = true;
    const char* resultText = TnFtpResultText(rc);
    std::string why        = resultText != nullptr ? resultText : "refused";
    if (rc == TNFTP_FILE_OPEN_ERROR && !platform::FtpLastFileError().empty()) {
        why += ": " + platform::FtpLastFileError();
    }
    return Fail("%s: %s", what, why.c_str());
}

int FtpCommand::Interrupted(EventLoop::Outcome outcome, const char* what) {
    EndProgress();
    if (gRun.session != nullptr &&
        (outcome == EventLoop::Outcome::kStopSignal || outcome == EventLoop::Outcome::kDeadline)) {
        gRun.stepDone = false;
        gRun.treeDone = false;
        TnFtpAbort(gRun.session);
        session_.Loop().Finish(gRun.treeMode ? TreeDone : StepDone, nullptr,
                               platform::MonotonicMs() + kAbortWaitMs);
        // The server's words as they came: the transfer's end (426 ...), then the ABOR's.
        std::string reply = gRun.event == TNFTP_EV_ABORT_DONE && !gRun.text.empty()
                                ? gRun.text
                                : "no reply to ABOR";
        const char* transfer =
            gRun.session != nullptr ? TnFtpAbortedTransferReply(gRun.session) : "";
        if (transfer[0] != '\0') {
            reply = Printable(transfer, std::strlen(transfer)) + ", then " + reply;
        }
        const std::string why =
            outcome == EventLoop::Outcome::kStopSignal
                ? std::string("stopped by ") + strsignal(EventLoop::StopSignal())
                : "timed out";
        // The upload was cut with a reset, but what the server kept is its own affair.
        const char* partial =
            gRun.sending && gRun.bytes > 0 ? "; the remote file may be partial" : "";
        return Fail("%s: %s; aborted (server: %s)%s", what, why.c_str(), reply.c_str(), partial);
    }
    return session_.Stopped(outcome);
}

int FtpCommand::Login(std::uint16_t port, const std::string& user, const std::string& password) {
    port_     = port;
    user_     = user;
    password_ = password;
    TnFtpConnectParams params{};
    params.serverName      = server_.c_str();
    params.serverPort      = port;
    params.userName        = user.c_str();
    params.password        = password.c_str();
    params.eventFn         = OnFtpEvent;
    params.userContext     = 1;  // one session per process: the context only has to be nonzero
    gRun.stepDone          = false;
    const std::string what = "login to " + host_ + ":" + std::to_string(port);
    if (const int rc = Started(TnFtpConnect(&params, &gRun.session), what.c_str()); rc != kExitOk) {
        gRun.session = nullptr;
        return rc;
    }
    platform::HostLog("connecting to %s port %u as %s", host_.c_str(), port, user.c_str());
    const auto outcome = session_.Run(StepDone, nullptr);
    if (outcome != EventLoop::Outcome::kDone) {
        return Interrupted(outcome, what.c_str());
    }
    if (gRun.event != TNFTP_EV_LOGGED_IN) {
        // The library sees a refused or unanswered connection as a closed or silent one;
        // the stack's reports tell which it was.
        if (!gRun.everConnected && gRun.connectRefused) {
            return Fail("%s: the connection was refused or not answered", what.c_str());
        }
        if (!gRun.everConnected && gRun.event == TNFTP_EV_TIMEOUT) {
            return Fail("%s: no connection (nobody answered)", what.c_str());
        }
        return Fail("%s: %s", what.c_str(), Describe(gRun.event, gRun.text, gRun.extra).c_str());
    }
    platform::HostLog("logged in: %s", gRun.text.c_str());
    return kExitOk;
}

void FtpCommand::Close() {
    if (gRun.session != nullptr) {
        TnFtpClose(gRun.session);
        gRun.session = nullptr;
    }
    session_.Loop().Finish([](void*) { return gRun.connectionsOpen <= 0; }, nullptr,
                           platform::MonotonicMs() + kCloseWaitMs);
}

int FtpCommand::Cwd(const std::string& dir) {
    return Step([&] { return TnFtpCwd(gRun.session, dir.c_str()); }, TNFTP_EV_CWD_DONE,
                ("cd " + dir).c_str());
}

int FtpCommand::Ls(const std::string& dir) {
    if (!dir.empty()) {
        if (const int rc = Cwd(dir); rc != kExitOk) {
            return rc;
        }
    }
    if (const int rc = Step([] { return TnFtpList(gRun.session); }, TNFTP_EV_LISTING, "ls");
        rc != kExitOk) {
        return rc;
    }
    if (gRun.parsed < 0) {
        TnListFreeAll(&gRun.entries);
        return Fail("ls: out of memory while parsing the listing");
    }
    for (const TnListNode* node = gRun.entries.first; node != nullptr; node = node->next) {
        const char* name = static_cast<const char*>(node->payload);
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        const char* size = node->extra1 != nullptr ? static_cast<const char*>(node->extra1) : "0";
        const char* type = node->extra2 != nullptr ? static_cast<const char*>(node->extra2) : " ";
        std::printf("%c %s %s\n", type[0] == ' ' || type[0] == '\0' ? '-' : type[0], size,
                    Printable(name, std::strlen(name)).c_str());
    }
    TnListFreeAll(&gRun.entries);
    if (std::fflush(stdout) != 0) {
        return Fail("cannot write to stdout");
    }
    return ListingGaps("ls");
}

int FtpCommand::ListingGaps(const char* what) {
    const TnFtpListingSkips& k = gRun.listingSkips;
    if (k.overlong > 0) {
        std::fprintf(stderr, "tarnet: %s: %u listing lines too long to read were left out\n", what,
                     k.overlong);
    }
    if (k.unreadable > 0) {
        std::fprintf(stderr,
                     "tarnet: %s: %u listing lines in a layout tarnet does not read were "
                     "left out\n",
                     what, k.unreadable);
    }
    if (k.overCap > 0) {
        std::fprintf(stderr, "tarnet: %s: %u entries beyond the first %u were left out\n", what,
                     k.overCap, TNFTP_MAX_LISTING_ENTRIES);
    }
    return k.overlong + k.unreadable + k.overCap == 0 ? kExitOk
                                                      : Fail("%s: the listing is incomplete", what);
}

// The size of `name` in the current remote folder, from a listing (0 when not found). Only
// a progress bar needs it, so nothing the look-up meets is an error: a server that refuses
// LIST ends the session (a LIST failure does), and the session is then opened again. Not
// kExitOk only when the command was stopped or the new login failed.
int FtpCommand::ListedSize(const std::string& name, std::uint64_t& size) {
    size          = 0;
    gRun.stepDone = false;
    if (TnFtpList(gRun.session) != TNFTP_OK) {
        return kExitOk;
    }
    if (const auto outcome = session_.Run(StepDone, nullptr);
        outcome != EventLoop::Outcome::kDone) {
        return Interrupted(outcome, "get");
    }
    if (gRun.event == TNFTP_EV_LISTING && gRun.parsed > 0) {
        for (const TnListNode* node = gRun.entries.first; node != nullptr; node = node->next) {
            if (name == static_cast<const char*>(node->payload) && node->extra1 != nullptr) {
                size = std::strtoull(static_cast<const char*>(node->extra1), nullptr, 10);
            }
        }
    }
    TnListFreeAll(&gRun.entries);
    if (gRun.session == nullptr) {
        platform::HostLog("size look-up failed (%s); logging in again",
                          Describe(gRun.event, gRun.text, gRun.extra).c_str());
        return Login(port_, user_, password_);
    }
    return kExitOk;
}

// A failed or interrupted download neither leaves a partial file that looks whole nor
// destroys the file LOCAL was before (the file service's side file). The listed size only
// feeds the progress bar: it is known on a terminal only, and a check that ran there alone
// would make the outcome depend on where stderr goes.
int FtpCommand::Get(const std::string& remote, const std::string& local) {
    if (gRun.progress.Enabled() && remote.find('/') == std::string::npos) {
        if (const int rc = ListedSize(remote, gRun.total); rc != kExitOk) {
            return rc;
        }
    }
    // The file service writes a side file next to LOCAL and replaces LOCAL only when the
    // download completed (a device such as /dev/null is written directly).
    const std::string what = "get " + remote;
    platform::FtpMapNextOpen(remote, local);
    gRun.sending  = false;
    gRun.startMs  = platform::MonotonicMs();
    gRun.stepDone = false;
    int rc        = Started(TnFtpGetFile(gRun.session, remote.c_str(), 0, 0), what.c_str());
    if (rc == kExitOk) {
        rc = Await(TNFTP_EV_RECEIVE_COMPLETE, what.c_str());
    }
    platform::FtpClearMapping();  // the file is opened only once RETR is accepted
    if (rc == kExitOk && platform::FtpWriteFailed()) {
        rc = Fail("%s: %s", what.c_str(), platform::FtpLastFileError().c_str());
    }
    if (rc == kExitOk) {
        Summary("");
    }
    return rc;
}

int FtpCommand::Put(const std::string& local, const std::string& remote) {
    struct stat st {};
    if (::stat(local.c_str(), &st) == 0) {
        gRun.total = static_cast<std::uint64_t>(st.st_size);
    }
    platform::FtpMapNextOpen(remote, local);
    gRun.sending = true;
    gRun.startMs = platform::MonotonicMs();
    const int rc = Step([&] { return TnFtpPutFile(gRun.session, remote.c_str()); },
                        TNFTP_EV_SEND_COMPLETE, ("put " + local).c_str());
    platform::FtpClearMapping();
    if (rc != kExitOk) {
        return rc;
    }
    Summary("");
    return kExitOk;
}

int FtpCommand::Pwd() {
    if (const int rc = Step([] { return TnFtpPwd(gRun.session); }, TNFTP_EV_PWD_DONE, "pwd");
        rc != kExitOk) {
        return rc;
    }
    std::printf("%s\n", QuotedPath(gRun.lastReply).c_str());
    return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write to stdout");
}

int FtpCommand::Noop() {
    if (const int rc = Step([] { return TnFtpNoop(gRun.session); }, TNFTP_EV_NOOP_DONE, "noop");
        rc != kExitOk) {
        return rc;
    }
    std::printf("%s\n", gRun.text.c_str());
    return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write to stdout");
}

std::string FtpCommand::QuotedPath(const std::string& reply) {
    const std::size_t open = reply.find('"');
    if (open == std::string::npos) {
        const std::size_t space = reply.find(' ');
        return space == std::string::npos ? reply : reply.substr(space + 1);
    }
    std::string path;
    for (std::size_t i = open + 1; i < reply.size(); ++i) {
        if (reply[i] == '"') {
            if (i + 1 < reply.size() && reply[i + 1] == '"') {
                path.push_back('"');
                ++i;
                continue;
            }
            break;
        }
        path.push_back(reply[i]);
    }
    return path;
}

namespace {

// The server's address: a name is looked up by the session's resolver, so that a failed lookup
// is told in the same words as by `tarnet resolve`.
int CheckHost(Session& session, const std::string& host, std::string& server) {
    std::uint32_t address = 0;
    if (!ParseAddress(host, address) && session.DnsServer() == 0) {
        return Fail("cannot resolve '%s': no DNS server (give --dns ADDR)", host.c_str());
    }
    if (const int rc = session.ResolveReachable(host, address); rc != kExitOk) {
        return rc;
    }
    server = AddressText(address);
    return kExitOk;
}

int RunOp(FtpCommand& ftp, const Request& r) {
    const std::string what =
        std::string(r.op->name) + " " + (r.operands.empty() ? std::string() : r.operands[0]);
    switch (r.op->op) {
        case Op::kLs:
            return ftp.Ls(r.operands.empty() ? std::string() : r.operands[0]);
        case Op::kGet:
            return ftp.Get(r.remote, r.local);
        case Op::kPut:
            return ftp.Put(r.local, r.remote);
        case Op::kRm:
            return ftp.Step([&] { return TnFtpDele(gRun.session, r.operands[0].c_str()); },
                            TNFTP_EV_DELE_DONE, what.c_str());
        case Op::kMkdir:
            return ftp.Step([&] { return TnFtpMkd(gRun.session, r.operands[0].c_str()); },
                            TNFTP_EV_MKD_DONE, what.c_str());
        case Op::kRmdir:
            return ftp.Step([&] { return TnFtpRmd(gRun.session, r.operands[0].c_str()); },
                            TNFTP_EV_RMD_DONE, what.c_str());
        case Op::kMv:
            return ftp.Step(
                [&] {
                    return TnFtpRename(gRun.session, r.operands[0].c_str(), r.operands[1].c_str());
                },
                TNFTP_EV_RENAME_DONE, what.c_str());
        case Op::kPwd:
            return ftp.Pwd();
        case Op::kNoop:
            return ftp.Noop();
        case Op::kGetDir:
        case Op::kRmDir:
        case Op::kPutDir:
            return RunTreeOp(ftp, r, what);
    }
    return kExitFailed;
}

}  // namespace
}  // namespace ftp

int RunFtp(const GlobalOptions& options, const Args& args) {
    using namespace ftp;
    Request request;
    if (const int rc = ReadRequest(args, request); rc != kExitOk) {
        return rc;
    }
    std::uint32_t address = 0;
    if (!ParseAddress(request.host, address)) {
        if (LooksLikeAddress(request.host)) {
            return UsageError("'%s' is not an IPv4 address (four numbers of 0 to 255)",
                              request.host.c_str());
        }
        if (const char* problem = HostNameProblem(request.host);
            problem != nullptr || request.host.size() > TNFTP_MAX_SERVER_NAME) {
            return UsageError("'%s' is not a host name: %s", request.host.c_str(),
                              problem != nullptr ? problem : "longer than 80 characters");
        }
    }
    gRun          = Run{};
    gRun.progress = ProgressLine(isatty(STDERR_FILENO) != 0);

    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    std::string server;
    if (const int rc = CheckHost(session, request.host, server); rc != kExitOk) {
        return rc;
    }
    // The library lives as long as the process; a second command in one process reuses it.
    static bool initialised = false;
    if (!initialised) {
        const TnFtpServices services = platform::FtpHostServices();
        if (const int rc = TnFtpInit(&services); rc != TNFTP_OK) {
            return Fail("TnFtpInit failed: %s", TnFtpResultText(rc));
        }
        initialised = true;
    }
    TnFtpSetTimeout(&request.replyTimeoutMs);
    TnFtpTreeInit(OnTreeReport, &platform::FtpHostLocalFs());
    platform::FtpClearFileError();
    session.OnTcpReport(OnTcpReport, nullptr);
    // The library's work runs while it has sessions open; an idle loop sleeps.
    session.Loop().AddLibrary(LibraryHasWork, LibraryWork, nullptr);

    FtpCommand ftp(session, request.host, server);
    int rc = ftp.Login(request.port, request.user, request.password);
    if (rc == kExitOk) {
        rc = RunOp(ftp, request);
    }
    ftp.Close();
    TnFtpTreeDeinit();
    return rc;
}

}  // namespace tarnet::cli