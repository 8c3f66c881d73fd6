// FTP control connection and command engine: library state, the session pool, command lines,
// reply scanning (RFC 959 section 4.2), the reply timer, login and the single-reply commands.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "ftp_internal.h"

FtpLibrary g_ftp{};

namespace {

using tarnet::netclient::Flush;
using tarnet::netclient::Lookup;
using tarnet::netclient::ReplyRules;
using tarnet::netclient::Scan;

// ---- Small helpers ---------------------------------------------------------------------------

std::uint32_t Now() {
    return g_ftp.services.getTickCount();
}

bool HasElapsed(std::uint32_t start, std::uint32_t timeout) {
    const auto elapsed = static_cast<std::int32_t>(Now() - start);
    return elapsed >= 0 && static_cast<std::uint32_t>(elapsed) >= timeout;
}

// Strict dotted quad: four decimal numbers of 0 to 255. Such a server is used as it is.
bool ParseDottedQuad(const char* text, std::uint32_t* address) {
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.') {
            return false;
        }
        std::uint32_t number = 0;
        int digits           = 0;
        for (; *text >= '0' && *text <= '9' && digits < 4; ++text, ++digits) {
            number = number * 10 + static_cast<std::uint32_t>(*text - '0');
        }
        if (digits == 0 || digits > 3 || number > 255) {
            return false;
        }
        value = (value << 8) | number;
    }
    if (*text != '\0') {
        return false;
    }
    *address = value;
    return true;
}

// ---- Steps -----------------------------------------------------------------------------------

void StepIdle(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t);
void StepAbort(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t);

void SendLogin(TnFtpSession& s, const char* command, FtpStepFn next) {
    s.step = next;
    if (FtpSendCommand(s, command, command[0] == 'U' ? s.userName : s.password) != TNFTP_OK) {
        FtpEnd(s, TNFTP_EV_CONNECT_ERROR, "Error sending login", 0, 0);
        return;
    }
    FtpTimerStart(s);
}

}  // namespace

bool FtpReplyArrived(TnFtpSession& s, FtpStep event, const char* timeoutMessage, bool abortable) {
    if (event == FtpStep::Timeout) {
        FtpEndTimeout(s, timeoutMessage);
        return false;
    }
    if (event == FtpStep::Abort && abortable) {
        FtpAbortStep(s);
        return false;
    }
    return event == FtpStep::Reply;
}

namespace {

void StepPass(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no response to PASS", false) || cls == 3) {
        return;  // a 3xx to PASS (ACCT wanted) is not answered: the timer runs on
    }
    FtpTimerStop(s);
    if (cls == 2) {
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_LOGGED_IN, s.replyLine, s.replyLength, 0);
        return;
    }
    FtpEndByClass(s, cls, TNFTP_OP_PASS);
}

void StepUser(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no response to USER", false)) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 2) {
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_LOGGED_IN, s.replyLine, s.replyLength, 0);
    } else if (cls == 3) {
        SendLogin(s, "PASS", StepPass);
    } else {
        FtpEndByClass(s, cls, TNFTP_OP_USER);
    }
}

void StepGreeting(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no welcome", false)) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 2) {
        SendLogin(s, "USER", StepUser);
    } else {
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, TNFTP_OP_WELCOME);
    }
}

// One row of the single-reply command table: what each reply class leads to.
enum class Outcome { Unexpected, ServerError, Unknown, Done, Failed };

struct SingleReply {
    const char* timeoutMessage;
    int op;
    int doneEvent;
    int failedEvent;
    Outcome class1;
    Outcome class3;
    Outcome other;  // classes 0 and 6 to 9
};

void SingleReplyOutcome(TnFtpSession& s, const SingleReply& row, Outcome outcome) {
    switch (outcome) {
        case Outcome::Done:
            FtpGoIdle(s);
            FtpReport(s, row.doneEvent, s.replyLine, s.replyLength, 0);
            break;
        case Outcome::Failed:
            FtpGoIdle(s);
            FtpReport(s, row.failedEvent, s.replyLine, s.replyLength, 0);
            break;
        case Outcome::Unexpected:
            FtpEndWithReply(s, TNFTP_EV_UNEXPECTED_REPLY, row.op);
            break;
        case Outcome::ServerError:
            FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, row.op);
            break;
        case Outcome::Unknown:
            FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, row.op);
            break;
    }
}

void SingleReplyStep(TnFtpSession& s, const SingleReply& row, FtpStep event, int cls) {
    if (!FtpReplyArrived(s, event, row.timeoutMessage, true)) {
        return;
    }
    FtpTimerStop(s);
    Outcome outcome = row.other;
    if (cls == 1) {
        outcome = row.class1;
    } else if (cls == 2) {
        outcome = Outcome::Done;
    } else if (cls == 3) {
        outcome = row.class3;
    } else if (cls == 4 || cls == 5) {
        outcome = Outcome::Failed;
    }
    SingleReplyOutcome(s, row, outcome);
}

// RMD treats classes 0 and 6 to 9 as unexpected, like CWD, MKD and DELE.
constexpr SingleReply kCwd{"no CWD completion reply", TNFTP_OP_CWD,        TNFTP_EV_CWD_DONE,
                           TNFTP_EV_CWD_FAILED,       Outcome::Unexpected, Outcome::Unexpected,
                           Outcome::Unexpected};
constexpr SingleReply kMkd{"no MKD completion reply", TNFTP_OP_MKD,        TNFTP_EV_MKD_DONE,
                           TNFTP_EV_MKD_FAILED,       Outcome::Unexpected, Outcome::Unexpected,
                           Outcome::Unexpected};
constexpr SingleReply kRmd{"no RMD completion reply", TNFTP_OP_RMD,        TNFTP_EV_RMD_DONE,
                           TNFTP_EV_RMD_FAILED,       Outcome::Unexpected, Outcome::Unexpected,
                           Outcome::Unexpected};
constexpr SingleReply kDele{"no DELE completion reply", TNFTP_OP_DELE,       TNFTP_EV_DELE_DONE,
                            TNFTP_EV_DELE_FAILED,       Outcome::Unexpected, Outcome::Unexpected,
                            Outcome::Unexpected};
constexpr SingleReply kNoop{"no response to NOOP", TNFTP_OP_NOOP,        TNFTP_EV_NOOP_DONE,
                            TNFTP_EV_NOOP_DONE,    Outcome::ServerError, Outcome::ServerError,
                            Outcome::Unknown};
constexpr SingleReply kRnto{"no response to RNTO",  TNFTP_OP_RNTO,        TNFTP_EV_RENAME_DONE,
                            TNFTP_EV_RENAME_FAILED, Outcome::ServerError, Outcome::ServerError,
                            Outcome::Unknown};

void StepCwd(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    SingleReplyStep(s, kCwd, e, c);
}
void StepMkd(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    SingleReplyStep(s, kMkd, e, c);
}
void StepRmd(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    SingleReplyStep(s, kRmd, e, c);
}
void StepDele(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    SingleReplyStep(s, kDele, e, c);
}
void StepRnto(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    SingleReplyStep(s, kRnto, e, c);
}

void StepNoop(TnFtpSession& s, FtpStep e, int c, const std::uint8_t*, std::uint32_t) {
    // Every NOOP reply but class 2 ends the session (4 and 5 included).
    if (e == FtpStep::Reply && (c == 4 || c == 5)) {
        FtpTimerStop(s);
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, TNFTP_OP_NOOP);
        return;
    }
    SingleReplyStep(s, kNoop, e, c);
}

// The directory of a 257 reply: RFC 959 quotes it, with "" standing for one quote, so it may
// hold spaces. Unquoted replies give their first word.
void PwdWord(const char* line, char* word, std::size_t capacity) {
    const char* p = line + 3;
    while (*p == ' ') {
        ++p;
    }
    std::size_t n = 0;
    if (*p == '"') {
        word[n++] = *p++;
        while (*p != '\0' && n + 2 < capacity) {
            if (*p == '"' && p[1] != '"') {
                word[n++] = *p;
                break;
            }
            if (*p == '"') {
                word[n++] = *p++;
            }
            word[n++] = *p++;
        }
    } else {
        while (*p != '\0' && *p != ' ' && n + 1 < capacity) {
            word[n++] = *p++;
        }
    }
    word[n] = '\0';
}

void StepPwd(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no response to PWD", true)) {
        return;
    }
    if (cls == 2) {
        if (!FtpReplyIs(s, "257")) {
            return;  // another 2xx: keep waiting for the 257
        }
        FtpTimerStop(s);
        char word[301];
        PwdWord(s.replyLine, word, sizeof word);
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_PWD_DONE, s.replyLine, s.replyLength,
                  reinterpret_cast<std::uintptr_t>(word));
        return;
    }
    FtpTimerStop(s);
    if (cls == 4 || cls == 5) {
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_PWD_FAILED, s.replyLine, s.replyLength, 0);
    } else if (cls == 1 || cls == 3) {
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, TNFTP_OP_PWD);
    } else {
        FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, TNFTP_OP_PWD);
    }
}

void StepRnfr(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no response to RNFR", true)) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 3) {
        s.step = StepRnto;
        if (FtpSendCommand(s, "RNTO", s.argument) != TNFTP_OK) {
            static constexpr char kMessage[] = "Failed to send CMD with new name";
            FtpGoIdle(s);
            FtpReport(s, TNFTP_EV_RENAME_FAILED, kMessage, sizeof kMessage - 1, 0);
            return;
        }
        FtpTimerStart(s);
    } else if (cls == 4 || cls == 5) {
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_RENAME_FAILED, s.replyLine, s.replyLength, 0);
    } else if (cls == 1 || cls == 2) {
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, TNFTP_OP_RNFR);
    } else {
        FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, TNFTP_OP_RNFR);
    }
}

void AbortDone(TnFtpSession& s, const char* text, int length) {
    FtpGoIdle(s);
    FtpFreeListing(s);
    FtpFreeChunk(s);
    FtpCloseAndReleaseData(s);
    FtpCloseFile(s);
    FtpReport(s, TNFTP_EV_ABORT_DONE, text, length, TNFTP_OP_ABOR);
}

// How long a lone 2xx after ABOR is given for a second reply: it may be the transfer's own
// completion (the ABOR's answer then follows) or the ABOR's answer to a transfer that had
// already ended (RFC 959 section 4.1.3, nothing follows).
constexpr std::uint32_t kAbortFollowUpMs = 1000;

// ABOR's replies as they come: a transfer still running ends with its own reply (426, or 226
// when it had just finished) and then the ABOR's (225 or 226); with no transfer, only the ABOR's.
void StepAbort(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (event == FtpStep::Timeout) {
        if (s.abortReplies > 0 && s.abortTransferReply[0] == '2') {
            // The lone 2xx was the ABOR's own answer.
            char text[sizeof s.abortTransferReply];
            std::memcpy(text, s.abortTransferReply, sizeof text);
            s.abortTransferReply[0] = '\0';
            AbortDone(s, text, static_cast<int>(std::strlen(text)) + 1);
        } else {
            AbortDone(s, nullptr, 0);
        }
    } else if (event == FtpStep::Reply && cls != 1) {
        FtpTimerStop(s);
        if (s.abortReplies++ == 0 && !FtpReplyIs(s, "225")) {
            const std::size_t n = s.replyLength > 0 ? static_cast<std::size_t>(s.replyLength) : 1;
            std::memcpy(s.abortTransferReply, s.replyLine, n - 1);
            s.abortTransferReply[n - 1] = '\0';
            if (cls == 2) {
                FtpTimerStartMs(s, kAbortFollowUpMs < g_ftp.replyTimeout ? kAbortFollowUpMs
                                                                         : g_ftp.replyTimeout);
            } else {
                FtpTimerStart(s);
            }
            return;
        }
        AbortDone(s, s.replyLine, s.replyLength);
    } else if (event == FtpStep::DataClosed) {
        FtpCloseAndReleaseData(s);
    }
}

void StepIdle(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    // An unsolicited 4xx or 5xx (such as 421, service closing) ends the session.
    if (event == FtpStep::Reply && (cls == 4 || cls == 5)) {
        FtpCloseAndReleaseData(s);
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, TNFTP_OP_IDLE);
    }
}

// The names of this file's steps; the data transfers name theirs (FtpDataStepName).
constexpr FtpStepName kSteps[] = {
    {StepIdle,     "idle"    },
    {StepGreeting, "greeting"},
    {StepUser,     "USER"    },
    {StepPass,     "PASS"    },
    {StepCwd,      "CWD"     },
    {StepMkd,      "MKD"     },
    {StepRmd,      "RMD"     },
    {StepDele,     "DELE"    },
    {StepNoop,     "NOOP"    },
    {StepPwd,      "PWD"     },
    {StepRnfr,     "RNFR"    },
    {StepRnto,     "RNTO"    },
    {StepAbort,    "ABOR"    },
};

// ---- Connecting ------------------------------------------------------------------------------

std::uintptr_t ControlEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                            std::uint32_t, std::uint32_t) {
    auto* s = reinterpret_cast<TnFtpSession*>(context);
    if (!g_ftp.initialised || !FtpIsPoolRecord(s) || !s->inUse || s->kind != kFtpKindControl) {
        return 0;
    }
    if (event == TNSOCK_EVENT_DATA && data != nullptr && a > 0) {
        g_ftp.bytesReceived += a;
        FtpScanBlock(*s, static_cast<const std::uint8_t*>(data), a);
    } else if (event == TNSOCK_EVENT_CLOSED) {
        s->endpoint = nullptr;  // the socket layer has released it
        FtpCloseAndReleaseData(*s);
        FtpEnd(*s, TNFTP_EV_CLOSED, nullptr, 0, 0);
    }
    return 0;
}

// Opens the control connection to the resolved address. False when the socket layer refused.
bool OpenControl(TnFtpSession& s) {
    char address[16];
    TnSockFormatAddr(s.serverAddress, address);
    if (TnSockTcpConnect(reinterpret_cast<std::uintptr_t>(&s), ControlEvent, address, s.serverPort,
                         &s.endpoint) != TNSOCK_SUCCESS) {
        s.endpoint = nullptr;
        return false;
    }
    FtpTimerStart(s);
    return true;
}

void LookupRetry(std::uintptr_t context);

bool StartLookupTimer(TnFtpSession& s) {
    s.lookupTimer = g_ftp.services.timerStart(kFtpLookupRetryMs,
                                              reinterpret_cast<std::uintptr_t>(&s), LookupRetry);
    return s.lookupTimer != nullptr;
}

// Asks the resolver again every 500 ms while the lookup is pending, up to one reply timeout.
void LookupRetry(std::uintptr_t context) {
    auto* s = reinterpret_cast<TnFtpSession*>(context);
    if (!g_ftp.initialised || !FtpIsPoolRecord(s) || !s->inUse) {
        return;
    }
    s->lookupTimer = nullptr;
    if (!s->lookupPending) {
        return;
    }
    const Lookup answer =
        LookupPoll(s->lookup, s->serverName, Now(), g_ftp.replyTimeout, &s->serverAddress);
    if (answer == Lookup::kPending && StartLookupTimer(*s)) {
        return;
    }
    s->lookupPending = 0;
    if (answer != Lookup::kResolved) {
        FtpEnd(*s, TNFTP_EV_CONNECT_ERROR, "Error resolving server ip", 0, 0);
    } else if (!OpenControl(*s)) {
        FtpEnd(*s, TNFTP_EV_CONNECT_ERROR, "Error connecting TCP socket", 0, 0);
    }
}

bool CopyBounded(char* to, std::size_t capacity, const char* from) {
    const std::size_t length = std::strlen(from);
    if (length >= capacity) {
        return false;
    }
    std::memcpy(to, from, length + 1);
    return true;
}

// Common checks of the commands that take one argument.
int CheckCommand(TnFtpSession* s, const char* argument) {
    return FtpCheckCommand(s, argument != nullptr && FtpArgumentValid(argument, false));
}

int CheckBare(TnFtpSession* s) {
    return FtpCheckCommand(s, true);
}

// Sets the step, sends the command and starts the reply timer; a send failure goes back to idle.
int Issue(TnFtpSession& s, FtpStepFn step, const char* command, const char* argument) {
    s.step           = step;
    const int result = FtpSendCommand(s, command, argument);
    if (result != TNFTP_OK) {
        FtpGoIdle(s);
        return result;
    }
    FtpTimerStart(s);
    return TNFTP_OK;
}

int OneArgument(TnFtpSession* s, const char* argument, FtpStepFn step, const char* command) {
    const int check = CheckCommand(s, argument);
    return check != TNFTP_OK ? check : Issue(*s, step, command, argument);
}

// Hands a complete reply to the step: its closing line, zero-terminated, stands for it (the
// line of a one-line reply; "xyz text" after the "xyz-" lines of a multi-line one).
void DeliverReply(TnFtpSession& s) {
    s.replyLine   = s.replies.LastLine();
    s.replyLength = static_cast<int>(s.replies.LastLineLength()) + 1;
    if (s.step != nullptr) {
        s.step(s, FtpStep::Reply, s.replies.Class(), nullptr, 0);
    }
}

}  // namespace

// ---- Diagnostics -----------------------------------------------------------------------------

const char* FtpFindStepName(const FtpStepName* table, std::size_t count, FtpStepFn step) {
    for (std::size_t i = 0; i < count; ++i) {
        if (table[i].step == step) {
            return table[i].name;
        }
    }
    return nullptr;
}

const char* TnFtpSessionStep(const TnFtpSession* s) {
    if (!g_ftp.initialised || !FtpIsPoolRecord(s) || !s->inUse) {
        return "free";
    }
    if (s->kind != kFtpKindControl) {
        return "data connection";
    }
    const char* name = FtpFindStepName(kSteps, std::size(kSteps), s->step);
    return name != nullptr ? name : FtpDataStepName(s->step);
}

// ---- Pool ------------------------------------------------------------------------------------

bool FtpIsPoolRecord(const TnFtpSession* s) {
    for (const TnFtpSession& record : g_ftp.pool) {
        if (&record == s) {
            return true;
        }
    }
    return false;
}

TnFtpSession* FtpAllocate(int kind) {
    for (TnFtpSession& s : g_ftp.pool) {
        if (!s.inUse) {
            const std::uint32_t generation = s.generation;
            s                              = TnFtpSession{};
            s.generation                   = generation;
            s.kind                         = kind;
            s.step                         = kind == kFtpKindControl ? StepGreeting : nullptr;
            s.inUse                        = 1;
            s.replies.Start(ReplyRules::kFtp, TNFTP_MAX_REPLY_LINE);
            return &s;
        }
    }
    return nullptr;
}

void FtpRelease(TnFtpSession& s) {
    FtpCloseFile(s);
    if (s.lookupTimer != nullptr) {
        g_ftp.services.timerStop(s.lookupTimer);
        s.lookupTimer = nullptr;
    }
    FtpFreeListing(s);
    FtpFreeChunk(s);
    s.inUse = 0;
    s.step  = nullptr;
    ++s.generation;
}

// ---- Events ----------------------------------------------------------------------------------

void FtpReport(TnFtpSession& s, int event, const char* text, int textLength, std::uintptr_t extra) {
    if (s.eventFn != nullptr) {
        s.eventFn(s.userContext, event, text, textLength, extra);
    }
}

void FtpEnd(TnFtpSession& s, int event, const char* text, int textLength, std::uintptr_t extra) {
    const std::uint32_t generation = s.generation;
    s.step                         = nullptr;
    FtpTimerStop(s);
    FtpReport(s, event, text, textLength, extra);
    if (!s.inUse || s.generation != generation) {
        return;  // the host closed the session inside the callback
    }
    FtpCloseAndReleaseData(s);
    if (s.endpoint != nullptr) {
        TnSockClose(s.endpoint);
        s.endpoint = nullptr;
    }
    FtpRelease(s);
}

void FtpEndByClass(TnFtpSession& s, int cls, int op) {
    if (cls == 1 || cls == 3) {
        FtpEndWithReply(s, TNFTP_EV_UNEXPECTED_REPLY, op);
    } else if (cls == 4 || cls == 5) {
        FtpEndWithReply(s, TNFTP_EV_SERVER_ERROR, op);
    } else {
        FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, op);
    }
}

void FtpEndWithReply(TnFtpSession& s, int event, int op) {
    FtpEnd(s, event, s.replyLine, s.replyLength, static_cast<std::uintptr_t>(op));
}

void FtpEndTimeout(TnFtpSession& s, const char* message) {
    FtpCloseAndReleaseData(s);
    FtpEnd(s, TNFTP_EV_TIMEOUT, message, 0, 0);
}

void FtpGoIdle(TnFtpSession& s) {
    FtpTimerStop(s);
    s.step = StepIdle;
}

bool FtpIsIdle(const TnFtpSession& s) {
    return s.step == StepIdle;
}

// ---- Reply timer -----------------------------------------------------------------------------

void FtpTimerStartMs(TnFtpSession& s, std::uint32_t ms) {
    s.timerStart   = Now();
    s.timerTimeout = ms;
    s.timerActive  = 1;
}

void FtpTimerStart(TnFtpSession& s) {
    FtpTimerStartMs(s, g_ftp.replyTimeout);
}

void FtpTimerStop(TnFtpSession& s) {
    s.timerActive = 0;
}

// ---- Commands --------------------------------------------------------------------------------

bool FtpArgumentValid(const char* argument, bool allowEmpty) {
    const std::size_t length = std::strlen(argument);
    if ((length == 0 && !allowEmpty) || length >= TNFTP_ARGUMENT_SIZE) {
        return false;
    }
    // CR or LF would end the line early and inject a command of the server's choosing.
    return !tarnet::netclient::HasLineBreak(argument);
}

int FtpCheckCommand(TnFtpSession* s, bool argumentValid) {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    if (s == nullptr || !argumentValid) {
        return TNFTP_INVALID_PARAMETERS;
    }
    if (!FtpIsPoolRecord(s) || !s->inUse || s->kind != kFtpKindControl) {
        return TNFTP_SESSION_NOT_ALLOCATED;
    }
    if (!FtpIsIdle(*s)) {
        return TNFTP_INVALID_CMD_FOR_STATE;
    }
    return TNFTP_OK;
}

bool FtpReplyIs(const TnFtpSession& s, const char* code) {
    return s.replyLength > 3 && std::memcmp(s.replyLine, code, 3) == 0;
}

bool FtpFitsCommandLine(const char* command, const char* argument) {
    return std::strlen(command) + std::strlen(argument) + 3 < kFtpCommandLine;
}

namespace {

// Offers the queued command lines to TCP; what it does not take waits for the next tick.
Flush FlushOut(TnFtpSession& s) {
    if (s.out.Empty()) {
        return Flush::kDone;
    }
    if (s.endpoint == nullptr) {
        return Flush::kLost;
    }
    std::uint32_t taken = 0;
    const Flush result  = s.out.Send(s.endpoint, &taken);
    g_ftp.bytesSent += taken;
    return result;
}

}  // namespace

int FtpSendCommand(TnFtpSession& s, const char* command, const char* argument) {
    const bool hasArgument   = argument != nullptr && argument[0] != '\0';
    const std::size_t needed = std::strlen(command) + (hasArgument ? std::strlen(argument) + 3 : 2);
    if (needed >= kFtpCommandLine) {
        return TNFTP_CMD_PARAM_TOO_LONG;
    }
    if (hasArgument && !FtpArgumentValid(argument, false)) {
        return TNFTP_INVALID_PARAMETERS;
    }
    if (s.endpoint == nullptr) {
        return TNFTP_SOCKET_SEND_FAILED;
    }
    // Each queued line keeps its own buffer until it has gone; the slots fill from the first
    // again once the queue has emptied.
    if (s.out.Empty()) {
        s.outLineCount = 0;
    }
    if (s.outLineCount == tarnet::netclient::OutQueue::kPieces) {
        return TNFTP_SOCKET_SEND_FAILED;
    }
    char* line = s.outLines[s.outLineCount];
    tarnet::netclient::TextOut text(line, kFtpCommandLine);
    text.Put(command);
    if (hasArgument) {
        text.Char(' ');
        text.Put(argument);
    }
    text.Put("\r\n");
    if (!s.out.Add(line, text.Length())) {
        return TNFTP_SOCKET_SEND_FAILED;
    }
    ++s.outLineCount;
    // Earlier lines go first, so lines never interleave; a full send ring keeps the rest queued.
    if (FlushOut(s) == Flush::kLost) {
        s.out.Clear();  // the connection takes nothing more: no line may go out later
        return TNFTP_SOCKET_SEND_FAILED;
    }
    return TNFTP_OK;
}

void FtpSendAbort(TnFtpSession& s) {
    if (s.step == nullptr) {
        return;
    }
    FtpTimerStop(s);
    // A server busy sending or receiving may read the control connection only between blocks:
    // the reset ends the transfer at once, and tells a receiving server that the file is cut.
    FtpResetAndReleaseData(s);
    FtpCloseFile(s);
    s.abortReplies          = 0;
    s.abortTransferReply[0] = '\0';
    s.step                  = StepAbort;
    FtpSendCommand(s, "ABOR", nullptr);
    FtpTimerStart(s);
}

void FtpAbortStep(TnFtpSession& s) {
    FtpSendAbort(s);
}

// ---- Reply scanner ---------------------------------------------------------------------------

void FtpScanBlock(TnFtpSession& s, const std::uint8_t* bytes, std::uint32_t count) {
    const std::uint32_t generation = s.generation;
    for (std::uint32_t i = 0; i < count; ++i) {
        const Scan scan = s.replies.Push(bytes[i]);
        if (scan == Scan::kLineTooLong) {
            static constexpr char kMessage[] = "reply line too long";
            FtpCloseAndReleaseData(s);
            FtpEnd(s, TNFTP_EV_UNKNOWN_REPLY, kMessage, sizeof kMessage - 1,
                   static_cast<std::uintptr_t>(TNFTP_OP_IDLE));
            return;
        }
        if (scan != Scan::kReply) {
            continue;  // RFC 959 rules never mix codes: kMixedCodes does not arise
        }
        DeliverReply(s);
        if (!s.inUse || s.generation != generation) {
            return;  // the session ended in the step or in the host's callback
        }
    }
}

// ---- API -------------------------------------------------------------------------------------

int TnFtpInit(const TnFtpServices* services) {
    if (g_ftp.initialised) {
        return TNFTP_ALREADY_INITIALISED;
    }
    if (services == nullptr || services->timerStart == nullptr || services->timerStop == nullptr ||
        services->fileOpen == nullptr || services->fileClose == nullptr ||
        services->fileWrite == nullptr || services->fileRead == nullptr ||
        services->getTickCount == nullptr) {
        return TNFTP_INVALID_PARAMETERS;
    }
    // Keep the generations, so a handle from before can never match a new session.
    for (TnFtpSession& s : g_ftp.pool) {
        const std::uint32_t generation = s.generation + 1;
        s                              = TnFtpSession{};
        s.generation                   = generation;
    }
    g_ftp.bytesSent     = 0;
    g_ftp.bytesReceived = 0;
    g_ftp.services      = *services;
    g_ftp.replyTimeout  = kFtpDefaultTimeout;
    g_ftp.initialised   = 1;
    return TNFTP_OK;
}

int TnFtpDeinit() {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    for (TnFtpSession& s : g_ftp.pool) {
        if (s.inUse && s.kind == kFtpKindControl) {
            TnFtpClose(&s);
        }
    }
    for (TnFtpSession& s : g_ftp.pool) {
        if (s.inUse) {
            TnFtpClose(&s);
        }
    }
    return TNFTP_OK;
}

int TnFtpHasOpenSessions() {
    return g_ftp.initialised && std::any_of(std::begin(g_ftp.pool), std::end(g_ftp.pool),
                                            [](const TnFtpSession& s) { return s.inUse != 0; });
}

int TnFtpNeedsTick() {
    return g_ftp.initialised &&
           std::any_of(std::begin(g_ftp.pool), std::end(g_ftp.pool), [](const TnFtpSession& s) {
               return s.inUse != 0 && s.kind == kFtpKindControl &&
                      (!s.out.Empty() || FtpIsSending(s) || s.timerActive != 0);
           });
}

int TnFtpTimerTick() {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    for (TnFtpSession& s : g_ftp.pool) {
        if (!s.inUse || s.kind != kFtpKindControl) {
            continue;
        }
        FlushOut(s);
        if (FtpIsSending(s)) {
            FtpPump(s);
            continue;
        }
        if (s.timerActive && HasElapsed(s.timerStart, s.timerTimeout)) {
            s.timerActive = 0;
            if (s.step != nullptr) {
                s.step(s, FtpStep::Timeout, 0, nullptr, 0);
            }
        }
    }
    return TNFTP_OK;
}

void TnFtpSetTimeout(std::uint32_t* milliseconds) {
    if (milliseconds == nullptr) {
        return;
    }
    if (*milliseconds == 0) {
        *milliseconds = kFtpDefaultTimeout;
    }
    g_ftp.replyTimeout = *milliseconds;
}

void TnFtpGetCounters(std::uint64_t* counters) {
    if (counters == nullptr) {
        return;
    }
    counters[0] = g_ftp.bytesSent;
    counters[1] = g_ftp.bytesReceived;
}

int TnFtpConnect(const TnFtpConnectParams* params, TnFtpSession** session) {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    if (params == nullptr || session == nullptr || params->serverName == nullptr ||
        params->userName == nullptr || params->password == nullptr || params->eventFn == nullptr ||
        params->userContext == 0) {
        return TNFTP_INVALID_PARAMETERS;
    }
    // Credentials go on the wire as command arguments: no CR or LF.
    if (tarnet::netclient::HasLineBreak(params->userName) ||
        tarnet::netclient::HasLineBreak(params->password)) {
        return TNFTP_INVALID_PARAMETERS;
    }
    TnFtpSession* s = FtpAllocate(kFtpKindControl);
    if (s == nullptr) {
        return TNFTP_NO_FREE_CONTEXTS;
    }
    if (!CopyBounded(s->serverName, sizeof s->serverName, params->serverName) ||
        !CopyBounded(s->userName, sizeof s->userName, params->userName) ||
        !CopyBounded(s->password, sizeof s->password, params->password)) {
        FtpRelease(*s);
        return TNFTP_INVALID_PARAMETERS;
    }
    s->serverPort  = params->serverPort;
    s->eventFn     = params->eventFn;
    s->userContext = params->userContext;
    *session       = s;

    Lookup answer = Lookup::kResolved;
    if (!ParseDottedQuad(s->serverName, &s->serverAddress)) {
        answer = LookupBegin(s->lookup, s->serverName, Now(), &s->serverAddress);
    }
    if (answer == Lookup::kPending) {
        s->lookupPending = 1;
        if (!StartLookupTimer(*s)) {
            FtpRelease(*s);
            return TNFTP_TIMER_START_FAILED;
        }
        return TNFTP_OK;
    }
    if (answer != Lookup::kResolved || !OpenControl(*s)) {
        FtpRelease(*s);
        return TNFTP_TCP_CONNECT_FAILED;
    }
    return TNFTP_OK;
}

int TnFtpClose(TnFtpSession* session) {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    if (session == nullptr) {
        return TNFTP_INVALID_PARAMETERS;
    }
    if (!FtpIsPoolRecord(session) || !session->inUse) {
        return TNFTP_SESSION_NOT_ALLOCATED;
    }
    TnFtpSession& s = *session;
    if (s.kind == kFtpKindControl) {
        FtpCloseAndReleaseData(s);
    } else if (s.parent != nullptr) {
        s.parent->data = nullptr;
        if (s.parent->dataOpen && s.endpoint != nullptr) {
            TnSockClose(s.endpoint);
        }
        s.parent->dataOpen = 0;
        s.endpoint         = nullptr;
    }
    if (s.endpoint != nullptr) {
        TnSockClose(s.endpoint);
        s.endpoint = nullptr;
    }
    FtpRelease(s);
    return TNFTP_OK;
}

int TnFtpCwd(TnFtpSession* s, const char* path) {
    return OneArgument(s, path, StepCwd, "CWD");
}
int TnFtpMkd(TnFtpSession* s, const char* name) {
    return OneArgument(s, name, StepMkd, "MKD");
}
int TnFtpRmd(TnFtpSession* s, const char* name) {
    return OneArgument(s, name, StepRmd, "RMD");
}
int TnFtpDele(TnFtpSession* s, const char* name) {
    return OneArgument(s, name, StepDele, "DELE");
}

int TnFtpNoop(TnFtpSession* s) {
    const int check = CheckBare(s);
    return check != TNFTP_OK ? check : Issue(*s, StepNoop, "NOOP", nullptr);
}

int TnFtpPwd(TnFtpSession* s) {
    const int check = CheckBare(s);
    return check != TNFTP_OK ? check : Issue(*s, StepPwd, "PWD", nullptr);
}

int TnFtpRename(TnFtpSession* s, const char* from, const char* to) {
    const bool valid = from != nullptr && to != nullptr && FtpArgumentValid(to, false);
    // RNTO goes out only after RNFR's reply: a name too long for it is refused now.
    if (g_ftp.initialised && valid && !FtpFitsCommandLine("RNTO", to)) {
        return TNFTP_CMD_PARAM_TOO_LONG;
    }
    const int check = FtpCheckCommand(s, valid && FtpArgumentValid(from, false));
    if (check != TNFTP_OK) {
        return check;
    }
    std::memset(s->argument, 0, sizeof s->argument);
    std::memcpy(s->argument, to, std::strlen(to));
    return Issue(*s, StepRnfr, "RNFR", from);
}

int TnFtpAbort(TnFtpSession* s) {
    if (!g_ftp.initialised) {
        return TNFTP_NOT_INITIALISED;
    }
    if (s == nullptr) {
        return TNFTP_INVALID_PARAMETERS;
    }
    if (!FtpIsPoolRecord(s) || !s->inUse || s->kind != kFtpKindControl) {
        return TNFTP_SESSION_NOT_ALLOCATED;
    }
    // The login, idle and ABOR steps ignore it; every other waiting step sends ABOR.
    if (s->step != nullptr) {
        s->step(*s, FtpStep::Abort, 0, nullptr, 0);
    }
    return TNFTP_OK;
}

const char* TnFtpAbortedTransferReply(const TnFtpSession* s) {
    if (!g_ftp.initialised || s == nullptr || !FtpIsPoolRecord(s) || !s->inUse) {
        return "";
    }
    return s->abortTransferReply;
}
