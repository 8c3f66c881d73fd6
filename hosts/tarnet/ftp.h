// The pieces of `tarnet ftp` (cmd_ftp.cpp: the session and its single operations; ftp_args.cpp:
// the command line; ftp_events.cpp: the library's events, the walker's and the stack's reports,
// progress and failure texts; ftp_walk.cpp: the folder operations of the walker), and what
// they share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "cli.h"
#include "progress_line.h"
#include "tarnet/tnftp.h"

namespace tarnet::cli::ftp {

inline constexpr std::uint64_t kDefaultReplyTimeoutMs = 15'000;
inline constexpr std::uint64_t kMaxReplyTimeoutMs     = 3'600'000;
// How long an abort may take to be answered, and the connections to finish closing.
inline constexpr std::uint64_t kAbortWaitMs = 3'000;
inline constexpr std::uint64_t kCloseWaitMs = 1'000;
// Reply text shown in messages is cut here; a hostile server's line cannot flood the terminal.
inline constexpr std::size_t kMaxShownText = 300;

enum class Op { kLs, kGet, kPut, kRm, kMkdir, kRmdir, kMv, kPwd, kNoop, kGetDir, kPutDir, kRmDir };

struct OpInfo {
    const char* name;
    Op op;
    std::size_t minArgs;
    std::size_t maxArgs;
    const char* usage;
};

struct Request {
    std::string host;
    std::uint16_t port = 21;
    std::string user   = "anonymous";
    std::string password;
    std::uint32_t replyTimeoutMs = kDefaultReplyTimeoutMs;
    const OpInfo* op             = nullptr;
    std::vector<std::string> operands;
    bool overwrite = false;
    // Derived: local paths and the remote folder to enter first.
    std::string local;
    std::string remote;
    std::string remoteDir;  // get-dir, rm-dir: the folder's parent
    std::string localDir;   // put-dir: the folder's parent
    std::string folder;     // the folder's own name
};

struct Run {
    TnFtpSession* session = nullptr;  // null once the library has freed it
    bool treeMode         = false;    // library events go to the walker too
    // The event that ended the step being waited for.
    bool stepDone = false;
    int event     = -1;
    std::string text;  // its reply line or message (printable)
    std::uintptr_t extra = 0;
    std::string pwd;  // TNFTP_EV_PWD_DONE: the directory
    // TNFTP_EV_LISTING outside the walker: the entries, parsed while the library holds the
    // bytes (no second copy of a listing of up to 16 MiB), and the lines left out.
    TnList entries{};
    TnFtpListingSkips listingSkips{};
    int parsed = 0;         // entries, or -1: out of memory
    std::string lastReply;  // the latest line from the server
    // Walker outcome.
    bool treeDone         = false;
    int treeKind          = -1;
    std::uintptr_t treeA  = 0;
    std::uintptr_t treeB  = 0;
    std::uint64_t files   = 0;
    std::uint64_t present = 0;  // get-dir: files kept because they are here with that size
    std::string item;           // the file being transferred
    // Transfer figures.
    std::uint64_t bytes = 0;
    std::uint64_t total = 0;  // expected bytes of a single transfer (0: unknown)
    bool sending        = false;
    ProgressLine progress;  // enabled when stderr is a terminal
    std::uint64_t startMs = 0;
    // TCP connections of the session, from the stack's reports.
    int connectionsOpen = 0;
    bool everConnected  = false;
    bool connectRefused = false;  // an attempt ended before it was established
};

extern Run gRun;

// ---- ftp_args.cpp: the command line, checked before the stack starts -------------------------

int ReadRequest(const Args& args, Request& r);

// ---- ftp_events.cpp: what the library, the walker and the stack report -----------------------

// Server text is hostile: control bytes (terminal escapes among them) are shown as '?'.
std::string Printable(const char* text, std::size_t length);
// What went wrong, from the event that ended a step: the step and the server's reply, or the
// library's text.
std::string Describe(int event, const std::string& text, std::uintptr_t extra);
// Walker result codes as words, for the failure line of the folder operations.
const char* TreeResultText(std::uintptr_t code);
void ShowProgress();
void EndProgress();
void Summary(const char* prefix);
void OnFtpEvent(std::uintptr_t, int event, const char* text, int textLength, std::uintptr_t extra);
void OnTreeReport(TnFtpSession*, int kind, std::uintptr_t a, std::uintptr_t b);
void OnTcpReport(void*, const TnSockDiagnostic& report);
// The library's periodic work, run by the loop while the library has open sessions.
bool LibraryHasWork(void*);
void LibraryWork(void*);
// Done checks of the loop: the step's event arrived; the walk ended (or the session did).
bool StepDone(void*);
bool TreeDone(void*);

// ---- cmd_ftp.cpp and ftp_walk.cpp: the operations on one session ----------------------------

class FtpCommand {
  public:
    FtpCommand(Session& session, std::string host, std::string server);

    // Waits for the event that ends the step (or a stop, or the command's time limit). A
    // stopped wait aborts a transfer that is running, so the server stops sending.
    int Await(int wanted, const char* what);
    // A library call's answer; anything but TNFTP_OK ends the command.
    int Started(int rc, const char* what);
    // Runs a library call and waits for its outcome event.
    template <typename Call>
    int Step(Call call, int wanted, const char* what) {
        gRun.stepDone = false;
        if (const int rc = Started(call(), what); rc != kExitOk) {
            return rc;
        }
        return Await(wanted, what);
    }
    int Interrupted(platform::EventLoop::Outcome outcome, const char* what);

    int Login(std::uint16_t port, const std::string& user, const std::string& password);
    // Ends the session: the control connection is closed, and the loop runs until the stack
    // has finished closing both connections (or a second passes).
    void Close();

    int Cwd(const std::string& dir);
    int Ls(const std::string& dir);
    int Get(const std::string& remote, const std::string& local);
    int Put(const std::string& local, const std::string& remote);
    int Pwd();
    int Noop();

    // ftp_walk.cpp: a folder operation of the walker on `folder` in the current remote (and
    // local) folder.
    int Tree(const std::function<int()>& call, int doneKind, const char* what, bool transfers);

  private:
    // Lines of the last listing that were left out: each cause on one line, and a failure (the
    // folder holds more than was shown).
    static int ListingGaps(const char* what);
    int ListedSize(const std::string& name, std::uint64_t& size);
    static void TreeSummary(const char* what, bool transfers);
    // RFC 959 §7 (the 257 reply): the path is quoted, a quote inside it doubled.
    static std::string QuotedPath(const std::string& reply);

    Session& session_;
    std::string host_;
    std::string server_;  // its address
    std::uint16_t port_ = 0;
    std::string user_;
    std::string password_;
};

// ftp_walk.cpp: get-dir, put-dir and rm-dir.
int RunTreeOp(FtpCommand& ftp, const Request& r, const std::string& what);

}  // namespace tarnet::cli::ftp
