// tarnet ftp HOST [--port N] [--user U] [--password P] [--reply-timeout MS] OP ...
//
// One FTP session (passive mode, binary transfers) over the stack's TCP: log in, run one
// operation, close. The FTP library drives the protocol; this file gives it the host services
// (hosts/platform/ftp_files), feeds its periodic work from the loop, waits for the event that
// ends each step and turns it into output, progress and an exit status. A failure ends in one
// line naming the step that failed and the server's reply (or the library's text).
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "cli.h"
#include "ftp_files.h"
#include "host.h"
#include "tarnet/tnftp.h"

namespace tarnet::cli {

namespace {

using platform::EventLoop;

constexpr std::uint64_t kDefaultReplyTimeoutMs = 15'000;
constexpr std::uint64_t kMaxReplyTimeoutMs     = 3'600'000;
// How long an abort may take to be answered, and the connections to finish closing.
constexpr std::uint64_t kAbortWaitMs      = 3'000;
constexpr std::uint64_t kCloseWaitMs      = 1'000;
constexpr std::uint64_t kProgressPeriodMs = 200;
constexpr int kBarWidth                   = 30;
constexpr double kMiB                     = 1024.0 * 1024.0;
// Reply text shown in messages is cut here; a hostile server's line cannot flood the terminal.
constexpr std::size_t kMaxShownText = 300;

enum class Op { kLs, kGet, kPut, kRm, kMkdir, kRmdir, kMv, kPwd, kNoop, kGetDir, kPutDir, kRmDir };

struct OpInfo {
    const char* name;
    Op op;
    std::size_t minArgs;
    std::size_t maxArgs;
    const char* usage;
};

constexpr OpInfo kOps[] = {
    {"ls",      Op::kLs,     0, 1, "ls [DIR]"                 },
    {"get",     Op::kGet,    1, 2, "get REMOTE [LOCAL]"       },
    {"put",     Op::kPut,    1, 2, "put LOCAL [REMOTE]"       },
    {"rm",      Op::kRm,     1, 1, "rm NAME"                  },
    {"mkdir",   Op::kMkdir,  1, 1, "mkdir NAME"               },
    {"rmdir",   Op::kRmdir,  1, 1, "rmdir NAME"               },
    {"mv",      Op::kMv,     2, 2, "mv FROM TO"               },
    {"pwd",     Op::kPwd,    0, 0, "pwd"                      },
    {"noop",    Op::kNoop,   0, 0, "noop"                     },
    {"get-dir", Op::kGetDir, 1, 1, "get-dir DIR [--overwrite]"},
    {"put-dir", Op::kPutDir, 1, 1, "put-dir DIR"              },
    {"rm-dir",  Op::kRmDir,  1, 1, "rm-dir DIR"               },
};

// The step named by an operation code of the library's error events.
constexpr const char* kStepNames[] = {"greeting",
                                      "CWD",
                                      "LIST",
                                      "PASV",
                                      "USER",
                                      "PASS",
                                      "LIST data connection",
                                      "TYPE",
                                      "RETR data connection",
                                      "STOR data connection",
                                      "STOR",
                                      "RETR",
                                      "STOR data",
                                      "ABOR",
                                      "MKD",
                                      "RMD",
                                      "DELE",
                                      "NOOP",
                                      "PWD",
                                      "RNFR",
                                      "RNTO",
                                      "LIST data",
                                      "idle"};
static_assert(sizeof kStepNames / sizeof kStepNames[0] == TNFTP_OP_IDLE + 1);

// Walker result codes as words, for the failure line of the folder operations.
static_assert(TNTREE_MAX_DEPTH == 64 && TNFTP_MAX_LISTING_ENTRIES == 65536,
              "the texts below name these limits");
const char* TreeResultText(std::uintptr_t code) {
    switch (code) {
        case TNTREE_NO_MEMORY:
            return "out of memory";
        case TNTREE_CWD_FAILED:
            return "changing the remote folder failed";
        case TNTREE_LIST_FAILED:
            return "listing a remote folder failed";
        case TNTREE_FILE_FAILED:
            return "a file transfer or deletion failed";
        case TNTREE_RMD_FAILED:
            return "removing a remote folder failed";
        case TNTREE_LOCAL_DIR_FAILED:
            return "the local folder could not be entered";
        case TNTREE_MKD_FAILED:
            return "creating a remote folder failed";
        case TNTREE_PUT_FAILED:
            return "an upload could not be started";
        case TNTREE_NAME_TOO_LONG:
            return "a local folder name is too long";
        case TNTREE_QUEUE_FULL:
            return "the walker's event queue overflowed";
        case TNTREE_TOO_DEEP:
            return "a folder lies more than 64 levels deep (a folder shown inside itself?)";
        case TNTREE_LIST_TOO_LARGE:
            return "a remote folder lists more than 65536 entries";
        default:
            return "failed";
    }
}

bool EndsSession(int event) {
    switch (event) {
        case TNFTP_EV_CLOSED:
        case TNFTP_EV_CONNECT_ERROR:
        case TNFTP_EV_SERVER_ERROR:
        case TNFTP_EV_UNEXPECTED_REPLY:
        case TNFTP_EV_UNKNOWN_REPLY:
        case TNFTP_EV_NO_FREE_CONTEXT:
        case TNFTP_EV_TIMEOUT:
        case TNFTP_EV_NO_MEMORY:
            return true;
        default:
            return false;
    }
}

// Server text is hostile: control bytes (terminal escapes among them) are shown as '?'.
std::string Printable(const char* text, std::size_t length) {
    std::string out;
    for (std::size_t i = 0; i < length && i < kMaxShownText && text[i] != '\0'; ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        out.push_back(c < 0x20 || c == 0x7F ? '?' : static_cast<char>(c));
    }
    return out;
}

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
    std::uint64_t bytes     = 0;
    std::uint64_t total     = 0;  // expected bytes of a single transfer (0: unknown)
    bool sending            = false;
    bool progress           = false;  // stderr is a terminal
    bool progressShown      = false;
    std::uint64_t startMs   = 0;
    std::uint64_t shownAtMs = 0;
    // TCP connections of the session, from the stack's reports.
    int connectionsOpen = 0;
    bool everConnected  = false;
    bool connectRefused = false;  // an attempt ended before it was established
};

Run gRun;

double Seconds() {
    return static_cast<double>(platform::MonotonicMs() - gRun.startMs) / 1000.0;
}

double Rate(std::uint64_t bytes, double seconds) {
    return seconds > 0 ? static_cast<double>(bytes) / seconds / 1e6 : 0.0;
}

void ShowProgress() {
    const std::uint64_t now = platform::MonotonicMs();
    if (!gRun.progress || now < gRun.shownAtMs + kProgressPeriodMs || gRun.bytes == 0) {
        return;
    }
    gRun.shownAtMs     = now;
    const double mib   = static_cast<double>(gRun.bytes) / kMiB;
    const double speed = Rate(gRun.bytes, Seconds());
    if (gRun.total > 0) {
        const std::uint64_t shown = gRun.bytes < gRun.total ? gRun.bytes : gRun.total;
        const int filled          = static_cast<int>(shown * kBarWidth / gRun.total);
        std::fprintf(stderr, "\r[%.*s%*s] %3d%% %.1f of %.1f MiB  %.2f MB/s   ", filled,
                     "##############################", kBarWidth - filled, "",
                     static_cast<int>(shown * 100 / gRun.total), mib,
                     static_cast<double>(gRun.total) / kMiB, speed);
    } else {
        std::fprintf(stderr, "\r%s%s%.1f MiB  %.2f MB/s   ", gRun.item.c_str(),
                     gRun.item.empty() ? "" : "  ", mib, speed);
    }
    gRun.progressShown = true;
}

void EndProgress() {
    if (gRun.progressShown) {
        std::fputs("\r\033[K", stderr);
        gRun.progressShown = false;
    }
}

void Summary(const char* prefix) {
    EndProgress();
    const double seconds = Seconds();
    std::fprintf(stderr, "tarnet: %s%s %llu bytes in %.2f s (%.2f MB/s)\n", prefix,
                 gRun.sending ? "sent" : "received", static_cast<unsigned long long>(gRun.bytes),
                 seconds, Rate(gRun.bytes, seconds));
}

void OnFtpEvent(std::uintptr_t, int event, const char* text, int textLength, std::uintptr_t extra) {
    if (event == TNFTP_EV_BYTES_SENT || event == TNFTP_EV_BYTES_RECEIVED) {
        gRun.bytes += extra;
        ShowProgress();
    } else {
        gRun.stepDone = true;
        gRun.event    = event;
        gRun.extra    = extra;
        gRun.text.clear();
        if (event == TNFTP_EV_LISTING) {
            if (!gRun.treeMode) {
                TnListFreeAll(&gRun.entries);
                gRun.parsed = TnFtpParseListingSkips(
                    text, textLength > 0 ? static_cast<std::uint32_t>(textLength) : 0,
                    &gRun.entries, &gRun.listingSkips);
            }
        } else if (text != nullptr) {
            gRun.text = Printable(text, kMaxShownText);
            // Reply lines carry their length; the library's own messages do not.
            if (textLength > 0) {
                gRun.lastReply = gRun.text;
            }
        }
        if (event == TNFTP_EV_PWD_DONE && text != nullptr) {
            gRun.pwd = text;
        }
        platform::HostLog("ftp event %d: %s", event, gRun.text.c_str());
    }
    if (gRun.treeMode) {
        TnFtpTreeOnEvent(gRun.session, event, text, textLength, extra);
    }
    if (EndsSession(event)) {
        gRun.session = nullptr;  // the library frees it when this callback returns
    }
}

const char* SkipText(std::uintptr_t why) {
    switch (why) {
        case TNTREE_SKIP_LINK:
            // A link is not followed: the walk stays inside the folder it was given.
            return "a symbolic link";
        case TNTREE_SKIP_UNSAFE_NAME:
            return "not a plain name in this folder";
        case TNTREE_SKIP_LINE_TOO_LONG:
            return "line too long";
        case TNTREE_SKIP_UNREADABLE:
            return "not in a listing layout tarnet reads";
        default:
            return "not handled";
    }
}

void OnTreeReport(TnFtpSession*, int kind, std::uintptr_t a, std::uintptr_t b) {
    switch (kind) {
        case TNTREE_REP_DELETE_ITEM:
        case TNTREE_REP_DOWNLOAD_ITEM:
        case TNTREE_REP_UPLOAD_ITEM:
            if (b == 1 && a != 0) {
                gRun.item = Printable(reinterpret_cast<const char*>(a), kMaxShownText);
                ++gRun.files;
                platform::HostLog("%s", gRun.item.c_str());
            }
            break;
        case TNTREE_REP_PERCENT:
            ShowProgress();
            break;
        case TNTREE_REP_ENTRY_SKIPPED: {
            if (b == TNTREE_SKIP_PRESENT) {
                ++gRun.present;  // counted in the summary, not a line each
                break;
            }
            EndProgress();
            const std::string name =
                a != 0 ? "'" + Printable(reinterpret_cast<const char*>(a), kMaxShownText) + "'"
                       : std::string("a listing line");
            std::fprintf(stderr, "tarnet: skipped %s: %s\n", name.c_str(), SkipText(b));
            break;
        }
        default:
            gRun.treeDone = true;
            gRun.treeKind = kind;
            gRun.treeA    = a;
            gRun.treeB    = b;
            break;
    }
}

void OnTcpReport(void*, const TnSockDiagnostic& report) {
    if (report.kind == TNSOCK_DIAG_TCP_ESTABLISHED) {
        ++gRun.connectionsOpen;
        gRun.everConnected = true;
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && report.reason == TNSOCK_TCP_END_REFUSED) {
        gRun.connectRefused = true;
    } else if (report.kind == TNSOCK_DIAG_TCP_ENDED && gRun.connectionsOpen > 0) {
        --gRun.connectionsOpen;
    }
}

// The library's periodic work runs on every pass of the loop (and a 1 ms periodic slot keeps
// the passes coming while nothing arrives).
void Service() {
    TnFtpTimerTick();
    TnFtpTreeDispatch();
    ShowProgress();
}

bool StepDone(void*) {
    Service();
    return gRun.stepDone;
}

bool TreeDone(void*) {
    Service();
    return gRun.treeDone || (gRun.session == nullptr && !gRun.treeMode);
}

// What went wrong, from the event that ended a step: the step and the server's reply, or the
// library's text.
std::string Describe(int event, const std::string& text, std::uintptr_t extra) {
    const std::string step = extra <= TNFTP_OP_IDLE ? kStepNames[extra] : "?";
    switch (event) {
        case TNFTP_EV_SERVER_ERROR:
        case TNFTP_EV_UNEXPECTED_REPLY:
        case TNFTP_EV_UNKNOWN_REPLY:
            return step + " failed: " + text;
        case TNFTP_EV_TIMEOUT:
            return "timed out: " + text;
        case TNFTP_EV_CLOSED:
            if (!text.empty()) {
                return text + " (" + step + ")";  // such as a reset data connection
            }
            return extra == 0 ? "the server closed the control connection"
                              : "the server closed the data connection (" + step + ")";
        case TNFTP_EV_CONNECT_ERROR:
            return "cannot connect: " + text;
        case TNFTP_EV_NO_FREE_CONTEXT:
            return "no free session record for the data connection";
        case TNFTP_EV_NO_MEMORY:
            return step + " failed: out of memory (a listing too large?)";
        case TNFTP_EV_TYPE_FAILED:
            return "TYPE failed: " + text;
        case TNFTP_EV_CWD_FAILED:
            return "CWD failed: " + text;
        case TNFTP_EV_MKD_FAILED:
            return "MKD failed: " + text;
        case TNFTP_EV_RMD_FAILED:
            return "RMD failed: " + text;
        case TNFTP_EV_DELE_FAILED:
            return "DELE failed: " + text;
        case TNFTP_EV_PWD_FAILED:
            return "PWD failed: " + text;
        case TNFTP_EV_RENAME_FAILED:
            return "rename failed: " + text;
        case TNFTP_EV_ABORT_DONE:
            return "aborted: " + text;
        case TNFTP_EV_SEND_FAILED: {
            std::string why = "STOR failed";
            if (!text.empty()) {
                why += ": " + text;
            } else if (!platform::FtpLastFileError().empty()) {
                why += ": " + platform::FtpLastFileError();
            }
            return why;
        }
        case TNFTP_EV_RECEIVE_FAILED: {
            std::string why = "RETR failed: ";
            if (!text.empty()) {
                return why + text +
                       (gRun.lastReply.empty() ? "" : " (server: " + gRun.lastReply + ")");
            }
            if (!platform::FtpLastFileError().empty()) {
                return why + platform::FtpLastFileError();
            }
            return why + "the download ended incomplete" +
                   (gRun.lastReply.empty() ? "" : " (server: " + gRun.lastReply + ")");
        }
        default:
            return "unexpected event " + std::to_string(event) + (text.empty() ? "" : ": " + text);
    }
}

class FtpCommand {
  public:
    FtpCommand(Session& session, std::string host, std::string server)
        : session_(session), host_(std::move(host)), server_(std::move(server)) {}

    // Waits for the event that ends the step (or a stop, or the command's time limit). A
    // stopped wait aborts a transfer that is running, so the server stops sending.
    int Await(int wanted, const char* what) {
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

    // A library call's answer; anything but TNFTP_OK ends the command.
    int Started(int rc, const char* what) {
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

    // Runs a library call and waits for its outcome event.
    template <typename Call>
    int Step(Call call, int wanted, const char* what) {
        gRun.stepDone = false;
        if (const int rc = Started(call(), what); rc != kExitOk) {
            return rc;
        }
        return Await(wanted, what);
    }

    int Interrupted(EventLoop::Outcome outcome, const char* what) {
        EndProgress();
        if (gRun.session != nullptr && (outcome == EventLoop::Outcome::kStopSignal ||
                                        outcome == EventLoop::Outcome::kDeadline)) {
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
            return Fail("%s: %s; aborted (server: %s)%s", what, why.c_str(), reply.c_str(),
                        partial);
        }
        return session_.Stopped(outcome);
    }

    int Login(std::uint16_t port, const std::string& user, const std::string& password) {
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
        if (const int rc = Started(TnFtpConnect(&params, &gRun.session), what.c_str());
            rc != kExitOk) {
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
            return Fail("%s: %s", what.c_str(),
                        Describe(gRun.event, gRun.text, gRun.extra).c_str());
        }
        platform::HostLog("logged in: %s", gRun.text.c_str());
        return kExitOk;
    }

    // Ends the session: the control connection is closed, and the loop runs until the stack has
    // finished closing both connections (or a second passes).
    void Close() {
        if (gRun.session != nullptr) {
            TnFtpClose(gRun.session);
            gRun.session = nullptr;
        }
        session_.Loop().Finish([](void*) { return gRun.connectionsOpen <= 0; }, nullptr,
                               platform::MonotonicMs() + kCloseWaitMs);
    }

    int Cwd(const std::string& dir) {
        return Step([&] { return TnFtpCwd(gRun.session, dir.c_str()); }, TNFTP_EV_CWD_DONE,
                    ("cd " + dir).c_str());
    }

    int Ls(const std::string& dir) {
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
            const char* size =
                node->extra1 != nullptr ? static_cast<const char*>(node->extra1) : "0";
            const char* type =
                node->extra2 != nullptr ? static_cast<const char*>(node->extra2) : " ";
            std::printf("%c %s %s\n", type[0] == ' ' || type[0] == '\0' ? '-' : type[0], size,
                        Printable(name, std::strlen(name)).c_str());
        }
        TnListFreeAll(&gRun.entries);
        if (std::fflush(stdout) != 0) {
            return Fail("cannot write to stdout");
        }
        return ListingGaps("ls");
    }

    // Lines of the last listing that were left out: each cause on one line, and a failure (the
    // folder holds more than was shown).
    static int ListingGaps(const char* what) {
        const TnFtpListingSkips& k = gRun.listingSkips;
        if (k.overlong > 0) {
            std::fprintf(stderr, "tarnet: %s: %u listing lines too long to read were left out\n",
                         what, k.overlong);
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
        return k.overlong + k.unreadable + k.overCap == 0
                   ? kExitOk
                   : Fail("%s: the listing is incomplete", what);
    }

    // The size of `name` in the current remote folder, from a listing (0 when not found). Only
    // a progress bar needs it, so nothing the look-up meets is an error: a server that refuses
    // LIST ends the session (a LIST failure does), and the session is then opened again. Not
    // kExitOk only when the command was stopped or the new login failed.
    int ListedSize(const std::string& name, std::uint64_t& size) {
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
    int Get(const std::string& remote, const std::string& local) {
        if (gRun.progress && remote.find('/') == std::string::npos) {
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

    int Put(const std::string& local, const std::string& remote) {
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

    int Pwd() {
        if (const int rc = Step([] { return TnFtpPwd(gRun.session); }, TNFTP_EV_PWD_DONE, "pwd");
            rc != kExitOk) {
            return rc;
        }
        std::printf("%s\n", QuotedPath(gRun.lastReply).c_str());
        return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write to stdout");
    }

    int Noop() {
        if (const int rc = Step([] { return TnFtpNoop(gRun.session); }, TNFTP_EV_NOOP_DONE, "noop");
            rc != kExitOk) {
            return rc;
        }
        std::printf("%s\n", gRun.text.c_str());
        return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write to stdout");
    }

    // A folder operation of the walker on `folder` in the current remote (and local) folder.
    template <typename Call>
    int Tree(Call call, int doneKind, const char* what, bool transfers) {
        gRun.treeMode = true;
        gRun.treeDone = false;
        gRun.sending  = doneKind == TNTREE_REP_UPLOAD_DONE;
        gRun.startMs  = platform::MonotonicMs();
        const int rc  = call();
        if (rc != TNTREE_STARTED) {
            gRun.treeMode = false;
            return Fail("%s: the walker refused to start (%d)", what, rc);
        }
        const auto outcome = session_.Run(TreeDone, nullptr);
        if (outcome != EventLoop::Outcome::kDone) {
            const int code = Interrupted(outcome, what);
            gRun.treeMode  = false;
            return code;
        }
        gRun.treeMode = false;
        if (!gRun.treeDone) {
            return Fail("%s: the session ended", what);
        }
        if (gRun.treeKind != doneKind && gRun.treeA == TNTREE_ENTRIES_SKIPPED) {
            TreeSummary(what, transfers);
            return Fail("%s: %llu listed entries were skipped", what,
                        static_cast<unsigned long long>(gRun.treeB));
        }
        if (gRun.treeKind != doneKind) {
            EndProgress();
            std::string why = TreeResultText(gRun.treeA);
            const int event = static_cast<int>(gRun.treeB);
            if (event != 0) {
                why += " (" + Describe(event, gRun.text, gRun.extra) + ")";
            } else if (!gRun.lastReply.empty()) {
                why += " (last reply: " + gRun.lastReply + ")";
            }
            if (!platform::FtpLastFileError().empty()) {
                why += "; " + platform::FtpLastFileError();
            }
            return Fail("%s: %s", what, why.c_str());
        }
        if (platform::FtpWriteFailed()) {
            return Fail("%s: %s", what, platform::FtpLastFileError().c_str());
        }
        TreeSummary(what, transfers);
        return kExitOk;
    }

    static void TreeSummary(const char* what, bool transfers) {
        if (!transfers) {
            std::fprintf(stderr, "tarnet: %s: %llu files and folders deleted\n", what,
                         static_cast<unsigned long long>(gRun.files));
            return;
        }
        std::string prefix = std::string(what) + ": " + std::to_string(gRun.files) + " files, ";
        if (gRun.present > 0) {
            prefix += std::to_string(gRun.present) + " already here with the same size (skipped), ";
        }
        Summary(prefix.c_str());
    }

    // RFC 959 §7 (the 257 reply): the path is quoted, a quote inside it doubled.
    static std::string QuotedPath(const std::string& reply) {
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

  private:
    Session& session_;
    std::string host_;
    std::string server_;  // its address
    std::uint16_t port_ = 0;
    std::string user_;
    std::string password_;
};

// ---- arguments ------------------------------------------------------------------------------

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

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "a/b/c" -> parent "a/b" and name "c"; trailing slashes are dropped. A parent of "" means the
// current folder, "/" the root.
void SplitFolder(std::string path, std::string& parent, std::string& name) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        parent.clear();
        name = path;
        return;
    }
    parent = slash == 0 ? "/" : path.substr(0, slash);
    name   = path.substr(slash + 1);
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

int CheckOperands(Request& r) {
    for (const std::string& operand : r.operands) {
        if (operand.empty()) {
            return UsageError("ftp %s: an empty name", r.op->name);
        }
        // A CR or LF would end the command line early and start another command.
        if (HasLineBreak(operand)) {
            return UsageError("ftp %s: a name contains a line break", r.op->name);
        }
    }
    if (r.overwrite && r.op->op != Op::kGetDir) {
        return UsageError("--overwrite belongs to get-dir");
    }
    struct stat st {};
    switch (r.op->op) {
        case Op::kGet: {
            r.remote               = r.operands[0];
            const std::string base = BaseName(r.remote);
            if (base.empty() || base == "." || base == "..") {
                return UsageError("ftp get: '%s' does not name a file", r.remote.c_str());
            }
            r.local = r.operands.size() > 1 ? r.operands[1] : base;
            if (::stat(r.local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                r.local += "/" + base;
            }
            return kExitOk;
        }
        case Op::kPut:
            r.local = r.operands[0];
            if (::stat(r.local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                return Fail("ftp put: %s: not a readable regular file", r.local.c_str());
            }
            r.remote = r.operands.size() > 1 ? r.operands[1] : BaseName(r.local);
            return kExitOk;
        case Op::kGetDir:
        case Op::kRmDir:
        case Op::kPutDir: {
            std::string parent;
            SplitFolder(r.operands[0], parent, r.folder);
            if (r.folder.empty() || r.folder == "/" || r.folder == "." || r.folder == "..") {
                return UsageError("ftp %s: '%s' does not name a folder", r.op->name,
                                  r.operands[0].c_str());
            }
            (r.op->op == Op::kPutDir ? r.localDir : r.remoteDir) = parent;
            if (r.op->op == Op::kPutDir &&
                (::stat(r.operands[0].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
                return Fail("ftp put-dir: %s: not a local folder", r.operands[0].c_str());
            }
            return kExitOk;
        }
        default:
            return kExitOk;
    }
}

int ReadRequest(const Args& args, Request& r) {
    std::string port;
    std::string timeout;
    std::string password;
    bool passwordGiven = false;
    ArgReader reader(args);
    reader.Value(nullptr, "--port", &port);
    reader.Value(nullptr, "--user", &r.user);
    reader.Value(nullptr, "--password", &password);
    reader.Value(nullptr, "--reply-timeout", &timeout);
    reader.Flag(nullptr, "--overwrite", &r.overwrite);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.size() < 2) {
        return UsageError(
            "usage: tarnet [options] ftp HOST [--port N] [--user U] "
            "[--password P] [--reply-timeout MS] OP ... (tarnet ftp --help)");
    }
    r.host = positional[0];
    for (const OpInfo& info : kOps) {
        if (positional[1] == info.name) {
            r.op = &info;
        }
    }
    if (r.op == nullptr) {
        return UsageError("ftp: unknown operation '%s' (tarnet ftp --help lists them)",
                          positional[1].c_str());
    }
    r.operands.assign(positional.begin() + 2, positional.end());
    if (r.operands.size() < r.op->minArgs || r.operands.size() > r.op->maxArgs) {
        return UsageError("usage: tarnet [options] ftp HOST %s", r.op->usage);
    }
    std::uint64_t number = 0;
    if (!port.empty()) {
        if (!ParseNumber(port, 1, 65535, number)) {
            return UsageError("--port: '%s' is not a port from 1 to 65535", port.c_str());
        }
        r.port = static_cast<std::uint16_t>(number);
    }
    if (!timeout.empty()) {
        if (!ParseNumber(timeout, 1, kMaxReplyTimeoutMs, number)) {
            return UsageError("--reply-timeout: '%s' is not a number of milliseconds (1 to %llu)",
                              timeout.c_str(), static_cast<unsigned long long>(kMaxReplyTimeoutMs));
        }
        r.replyTimeoutMs = static_cast<std::uint32_t>(number);
    }
    for (const std::string& arg : args) {
        passwordGiven = passwordGiven || arg == "--password" || arg.rfind("--password=", 0) == 0;
    }
    if (passwordGiven) {
        r.password = password;
    } else if (const char* env = std::getenv("TARNET_FTP_PASSWORD"); env != nullptr) {
        r.password = env;
    } else if (r.user == "anonymous" || r.user == "ftp") {
        r.password = "tarnet@";  // RFC 1635: anonymous users give an identification
    }
    if (r.user.empty() || r.user.size() > TNFTP_MAX_CREDENTIAL ||
        r.password.size() > TNFTP_MAX_CREDENTIAL || HasLineBreak(r.user) ||
        HasLineBreak(r.password)) {
        return UsageError(
            "--user and --password: at most %zu characters, no line breaks "
            "(and a user name is not empty)",
            TNFTP_MAX_CREDENTIAL);
    }
    return CheckOperands(r);
}

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
        case Op::kRmDir: {
            if (!r.remoteDir.empty()) {
                if (const int rc = ftp.Cwd(r.remoteDir); rc != kExitOk) {
                    return rc;
                }
            }
            if (r.op->op == Op::kRmDir) {
                return ftp.Tree([&] { return TnFtpTreeDelete(gRun.session, r.folder.c_str()); },
                                TNTREE_REP_DELETE_DONE, what.c_str(), false);
            }
            return ftp.Tree(
                [&] {
                    return TnFtpTreeDownload(gRun.session, r.folder.c_str(), r.overwrite ? 1 : 0);
                },
                TNTREE_REP_DOWNLOAD_DONE, what.c_str(), true);
        }
        case Op::kPutDir:
            if (!r.localDir.empty() && ::chdir(r.localDir.c_str()) != 0) {
                return Fail("put-dir: cannot enter the local folder %s: %s", r.localDir.c_str(),
                            std::strerror(errno));
            }
            return ftp.Tree([&] { return TnFtpTreeUpload(gRun.session, r.folder.c_str()); },
                            TNTREE_REP_UPLOAD_DONE, what.c_str(), true);
    }
    return kExitFailed;
}

void WakeEveryMs(void*) {}

}  // namespace

int RunFtp(const GlobalOptions& options, const Args& args) {
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
    gRun.progress = isatty(STDERR_FILENO) != 0;

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
    session.Loop().AddPeriodic(1, WakeEveryMs, nullptr);

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
