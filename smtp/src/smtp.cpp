// The SMTP session: opening (name lookup, connection), the dialogue as state handlers, reply
// assembly, the output queue and the streaming of the message text composed by smtp_compose.
#include <algorithm>
#include <array>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include <strings.h>

#include "smtp_session.h"

using namespace tarnet::smtp;
using tarnet::netclient::Flush;
using tarnet::netclient::Lookup;
using tarnet::netclient::Percent;
using tarnet::netclient::ReplyRules;
using tarnet::netclient::Scan;

namespace {

constexpr std::uint32_t kMaxTimeoutMs = 600000;
static_assert(TNSMTP_MAX_REPLY_TEXT == tarnet::netclient::kReplyTextSize);
static_assert(TNSMTP_MAX_REPLY_LINE < tarnet::netclient::kReplyLineSize);
// Pieces of message text (body lines, attachment chunks) one TnSmtpProcess call hands to TCP at
// most: enough to keep a fast link busy, few enough to leave the loop to the stack.
constexpr int kPiecesPerCall = 8;

// All zero until TnSmtpInit sets it up, so the sessions (the bulk of the library's memory) take
// no initialised data.
struct Library {
    bool initialised;
    TnSmtpConfig config;
    std::uint32_t replyTimeout;
    std::uint32_t eomTimeout;
    std::uint32_t endOfBodyPause;
    TnSmtpDateFn dateSource;
    std::array<TnSmtpSession, TNSMTP_MAX_SESSIONS> sessions;
};

Library g{};

using Session = TnSmtpSession;

// ---- Slots, contexts, ending ----------------------------------------------------------------

// Socket and timer contexts carry the slot and its generation, so a report about a released
// session's connection or timer never reaches the slot's next user.
std::uintptr_t ContextOf(const Session& s) {
    return (std::uintptr_t{s.generation} << 8) | s.index;
}

Session* FromContext(std::uintptr_t context) {
    const std::size_t index = context & 0xFF;
    if (!g.initialised || index >= g.sessions.size()) {
        return nullptr;
    }
    Session& s = g.sessions[index];
    return s.inUse && ContextOf(s) == context ? &s : nullptr;
}

bool IsSlot(const TnSmtpSession* session) {
    for (const Session& s : g.sessions) {
        if (&s == session) {
            return true;
        }
    }
    return false;
}

std::uint32_t Tick() {
    return g.config.tickCount();
}

// Frees what the session owns and clears the slot; no event.
void Release(Session& s) {
    if (s.connection != nullptr) {
        TnSockClose(s.connection);
    }
    if (s.resolveTimer != nullptr) {
        g.config.timerStop(s.resolveTimer);
    }
    if (s.file != 0) {
        g.config.fileClose(s.file);
    }
    std::free(s.body);
    std::free(s.path);
    const std::uint8_t index       = s.index;
    const std::uint32_t generation = s.generation + 1;
    s                              = TnSmtpSession{};
    s.index                        = index;
    s.generation                   = generation;
}

// True while `s` is still the session it was when `generation` was read: the host may abort,
// end or reuse a session from inside any event, or shut the library down.
bool Alive(const Session& s, std::uint32_t generation) {
    return g.initialised && s.inUse && !s.ending && s.generation == generation;
}

bool Report(Session& s, int event, void* data, std::uint32_t value) {
    const std::uint32_t generation = s.generation;
    s.eventFn(s.userValue, event, data, value);
    return Alive(s, generation);
}

// Reports the event that ends the session, then closes its connection and frees the slot.
void End(Session& s, int event, void* data, std::uint32_t value) {
    s.ending       = true;
    s.sending      = false;
    s.reply.active = s.endOfBody.active = false;
    const std::uint32_t generation      = s.generation;
    s.eventFn(s.userValue, event, data, value);
    if (g.initialised && s.inUse && s.generation == generation) {
        Release(s);
    }
}

void EndWithText(Session& s, int event, const char* text) {
    End(s, event, const_cast<char*>(text), static_cast<std::uint32_t>(std::strlen(text)));
}

void ServerError(Session& s) {
    const std::string_view text = s.replies.Text();
    End(s, TNSMTP_EV_SERVER_ERROR, const_cast<char*>(text.data()),
        static_cast<std::uint32_t>(text.size()));
}

// ---- Output queue -----------------------------------------------------------------------------
//
// Every text (commands, the header block, part heads, body lines, base64, the end of data) goes
// out through this queue: what TCP does not take now stays, in order, for the next call.

bool OutEmpty(const Session& s) {
    return s.out.Empty();
}

bool Queue(Session& s, const void* data, std::size_t length) {
    return s.out.Add(data, length);
}

bool QueueConst(Session& s, std::string_view text) {
    return Queue(s, text.data(), text.size());
}

// Copies the texts one after the other, and CR LF, into the session's text buffer and queues them
// as one line.
bool QueueText(Session& s, std::initializer_list<std::string_view> parts) {
    TextOut out(s.text + s.textLength, kTextSize - s.textLength);
    for (const std::string_view part : parts) {
        out.Put(part);
    }
    out.Put("\r\n");
    if (out.Overflow()) {
        return false;
    }
    const bool queued = Queue(s, s.text + s.textLength, out.Length());
    s.textLength += out.Length() + 1;  // past the terminator TextOut wrote
    return queued;
}

void StartReplyTimer(Session& s, std::uint32_t timeout) {
    s.reply = {Tick(), timeout, true};
}

// True while the message text streams and the end of data has not gone: the reply timer then
// guards the progress of the text, not a reply.
bool SendingText(const Session& s);

Flush FlushOut(Session& s) {
    std::uint32_t taken = 0;
    const Flush result  = s.out.Send(s.connection, &taken);
    if (result == Flush::kDone) {
        s.textLength = 0;
    }
    // RFC 5321 4.5.3.2.5: the server has 3 minutes to take each block of the text.
    if (taken > 0 && SendingText(s)) {
        StartReplyTimer(s, TNSMTP_DATA_BLOCK_TIMEOUT_MS);
    }
    return result;
}

void ConnectionLost(Session& s);

// Hands queued text to TCP; once it has all gone, reports the progress it completes. False when
// the session ended meanwhile.
bool Transmit(Session& s) {
    switch (FlushOut(s)) {
        case Flush::kLost:
            ConnectionLost(s);
            return false;
        case Flush::kBlocked:
            return true;
        case Flush::kDone:
            break;
    }
    if (s.progress < 0) {
        return true;
    }
    const auto percent = static_cast<std::uint32_t>(s.progress);
    s.progress         = -1;
    return Report(s, s.progressEvent, nullptr, percent);
}

// ---- Dialogue -----------------------------------------------------------------------------

// Sends one command line and waits for its reply in `next`.
void Command(Session& s, std::initializer_list<std::string_view> parts, StateFn next) {
    if (!QueueText(s, parts)) {
        EndWithText(s, TNSMTP_EV_FAILED, "output queue full");
        return;
    }
    s.state = next;
    StartReplyTimer(s, s.replyTimeout);
    Transmit(s);
}

void Failed(Session& s, const char* text) {
    EndWithText(s, TNSMTP_EV_FAILED, text);
}

bool IsClass(Input input, int replyClass, int wanted) {
    return input == Input::kReply && replyClass == wanted;
}

bool IsRefusal(Input input, int replyClass) {
    return input == Input::kReply && (replyClass == 4 || replyClass == 5);
}

void WaitEhlo(Session& s, Input input, int replyClass);
void WaitAuth(Session& s, Input input, int replyClass);
void WaitAuthUser(Session& s, Input input, int replyClass);
void WaitAuthPass(Session& s, Input input, int replyClass);
void WaitMail(Session& s, Input input, int replyClass);
void WaitRcpt(Session& s, Input input, int replyClass);
void WaitData(Session& s, Input input, int replyClass);
void WaitEom(Session& s, Input input, int replyClass);
void WaitQuit(Session& s, Input input, int replyClass);

bool SendingText(const Session& s) {
    return s.state == WaitEom && !s.endSent;
}

void MailFrom(Session& s) {
    // RFC 5321 4.1.2: the path is in angle brackets, right after the colon.
    Command(s, {"MAIL FROM:<", s.from, ">"}, WaitMail);
}

void Quit(Session& s) {
    s.sending = false;
    Command(s, {"QUIT"}, WaitQuit);
}

// One AUTH LOGIN line: the text in base64 on a line of its own, unbroken (RFC 4954 4).
void AuthLine(Session& s, const char* text, StateFn next) {
    char encoded[Base64Size(TNSMTP_MAX_CREDENTIAL, false) + 1];
    int column               = 0;
    const std::size_t length = Base64(reinterpret_cast<const std::uint8_t*>(text),
                                      std::strlen(text), encoded, column, false);
    Command(s, {std::string_view(encoded, length)}, next);
}

// Time-out texts, one per waiting state.
void TimedOut(Session& s, const char* text) {
    EndWithText(s, TNSMTP_EV_TIMEOUT, text);
}

void Resolving(Session&, Input, int) {}

void WaitGreeting(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no welcome");
    } else if (IsClass(input, replyClass, 2)) {
        if (g.config.ehloDomain[0] == '\0') {
            Command(s, {"EHLO"}, WaitEhlo);
        } else {
            Command(s, {"EHLO ", g.config.ehloDomain}, WaitEhlo);
        }
    } else if (IsRefusal(input, replyClass)) {
        // 554 (RFC 5321 3.1) refuses the session as plainly as 421 does.
        ServerError(s);
    }
}

void WaitEhlo(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no reply to helo");
    } else if (IsClass(input, replyClass, 2)) {
        if (s.authenticate) {
            Command(s, {"AUTH LOGIN"}, WaitAuth);
        } else {
            MailFrom(s);
        }
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

// A 334 asks for the next AUTH LOGIN line, whatever its text says (RFC 4954 4: the challenge
// text is the server's to choose).
void AuthStep(Session& s, Input input, int replyClass, const char* timeoutText, const char* value,
              StateFn next) {
    if (input == Input::kTimeout) {
        TimedOut(s, timeoutText);
    } else if (IsClass(input, replyClass, 3) && s.replies.Code() == 334) {
        AuthLine(s, value, next);
    } else if (IsClass(input, replyClass, 3) || IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

void WaitAuth(Session& s, Input input, int replyClass) {
    AuthStep(s, input, replyClass, "no reply to auth request", s.userName, WaitAuthUser);
}

void WaitAuthUser(Session& s, Input input, int replyClass) {
    AuthStep(s, input, replyClass, "no reply to auth username", s.password, WaitAuthPass);
}

void WaitAuthPass(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no reply to auth password");
    } else if (IsClass(input, replyClass, 2)) {
        MailFrom(s);
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

void WaitMail(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no reply to mail");
    } else if (IsClass(input, replyClass, 2)) {
        Command(s, {"RCPT TO:<", s.to, ">"}, WaitRcpt);
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

void WaitRcpt(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no reply to rcpt");
    } else if (IsClass(input, replyClass, 2)) {
        if (s.cc[0] != '\0' && !s.ccSent) {
            s.ccSent = true;
            Command(s, {"RCPT TO:<", s.cc, ">"}, WaitRcpt);
        } else {
            Command(s, {"DATA"}, WaitData);
        }
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

// DATA was answered with 354: the header block goes out and the message text streams.
void StartMessage(Session& s) {
    // The library reads no clock of its own: the date comes from the host, or there is none.
    const TnSmtpDateFn source = g.dateSource != nullptr ? g.dateSource : g.config.localDate;
    TnSmtpDate date{};
    const bool dated = source != nullptr && source(&date) != 0;
    TextOut out(s.text + s.textLength, kTextSize - s.textLength);
    ComposeHeader({s.from, s.to, s.cc, s.subject, dated ? &date : nullptr, s.attach,
                   s.quotedPrintable, s.boundary},
                  out);
    if (out.Overflow() || !Queue(s, s.text + s.textLength, out.Length())) {
        Failed(s, "output queue full");
        return;
    }
    s.textLength += out.Length() + 1;
    s.state        = WaitEom;
    s.bodyPosition = 0;
    s.phase        = Phase::kBody;
    s.sending      = true;
    s.endSent      = false;
    s.column       = 0;
    s.carry        = 0;
    s.endOfFile    = false;
    // No reply is due while the text streams: the timer guards its progress instead (FlushOut
    // starts it again whenever TCP takes some of it).
    StartReplyTimer(s, TNSMTP_DATA_BLOCK_TIMEOUT_MS);
    Transmit(s);
}

void WaitData(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout) {
        TimedOut(s, "no reply to data");
    } else if (IsClass(input, replyClass, 3)) {
        StartMessage(s);
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    }
}

bool UsableAddress(const char* text) {
    return text != nullptr && std::strlen(text) <= TNSMTP_MAX_ADDRESS && IsMailbox(text);
}

// Opens the attachment (again, for a further recipient, so that it gets the whole file).
int OpenAttachment(Session& s) {
    if (s.file != 0) {
        g.config.fileClose(s.file);
    }
    s.file = g.config.fileOpen(s.path, 0, 0);
    if (s.file == 0) {
        return TNSMTP_FILE_OPEN_ERROR;
    }
    std::uint64_t size = 0;
    if (g.config.fileSize(s.file, &size) == 0) {
        return TNSMTP_FILE_OPEN_ERROR;
    }
    s.fileSize = s.notRead = size;
    return TNSMTP_OK;
}

// The server accepted the message: ask the host for a further recipient.
void Accepted(Session& s) {
    ++s.delivered;
    if (s.aborted) {
        Quit(s);
        return;
    }
    s.nextMail                     = TnSmtpMail{};
    s.nextMail.to                  = s.to;
    s.nextMail.from                = s.from;
    s.nextMail.cc                  = s.cc;
    s.nextMail.userValue           = s.userValue;
    s.nextMail.eventFn             = s.eventFn;
    const std::uint32_t generation = s.generation;
    const int again = s.eventFn(s.userValue, TNSMTP_EV_NEXT_RECIPIENT, &s.nextMail, 0);
    if (!Alive(s, generation)) {
        return;
    }
    if (again == 0 || s.aborted) {
        Quit(s);
        return;
    }
    if (!UsableAddress(s.nextMail.to)) {
        s.quitFailure = "unusable further recipient address";
        Quit(s);
        return;
    }
    std::memmove(s.to, s.nextMail.to, std::strlen(s.nextMail.to) + 1);
    if (s.attach && OpenAttachment(s) != TNSMTP_OK) {
        s.quitFailure = "cannot open the attachment again";
        Quit(s);
        return;
    }
    MailFrom(s);
}

void WaitEom(Session& s, Input input, int replyClass) {
    if (input == Input::kEndOfBody) {
        if (!QueueConst(s, kEndOfData)) {
            Failed(s, "output queue full");
            return;
        }
        s.endSent = true;
        StartReplyTimer(s, s.eomTimeout);
        Transmit(s);
    } else if (input == Input::kTimeout) {
        TimedOut(s, s.endSent ? "no reply to eom" : "the server took no text for 3 minutes");
    } else if (IsRefusal(input, replyClass)) {
        ServerError(s);
    } else if (IsClass(input, replyClass, 2) && s.endSent) {
        // Only the reply to the end of data means the message was accepted.
        Accepted(s);
    }
}

// How a session that sent QUIT ends: once a message was accepted, the mail is delivered
// whatever becomes of QUIT.
void Finish(Session& s, Input input, int replyClass) {
    if (s.quitFailure != nullptr) {
        Failed(s, s.quitFailure);
    } else if (s.delivered > 0) {
        End(s, TNSMTP_EV_COMPLETE, nullptr, 0);
    } else if (s.aborted) {
        Failed(s, "aborted");
    } else if (input == Input::kTimeout) {
        TimedOut(s, "no reply to quit");
    } else if (replyClass == 2) {
        End(s, TNSMTP_EV_COMPLETE, nullptr, 0);
    } else {
        ServerError(s);
    }
}

void WaitQuit(Session& s, Input input, int replyClass) {
    if (input == Input::kTimeout ||
        (input == Input::kReply && replyClass >= 2 && replyClass <= 5)) {
        Finish(s, input, replyClass);
    }
}

// The connection went away under the session (closed by the server, or unusable).
void ConnectionLost(Session& s) {
    if (s.state == WaitQuit) {
        Finish(s, Input::kTimeout, 0);
    } else if (!s.connected) {
        End(s, TNSMTP_EV_CONNECT_FAILED, nullptr, 0);
    } else {
        End(s, TNSMTP_EV_DISCONNECTED, nullptr, 0);
    }
}

struct StepInfo {
    StateFn state;
    const char* name;
};

constexpr std::array<StepInfo, 11> kSteps{
    {
     {Resolving, "name lookup"},
     {WaitGreeting, "greeting"},
     {WaitEhlo, "EHLO"},
     {WaitAuth, "AUTH LOGIN"},
     {WaitAuthUser, "AUTH user name"},
     {WaitAuthPass, "AUTH password"},
     {WaitMail, "MAIL FROM"},
     {WaitRcpt, "RCPT TO"},
     {WaitData, "DATA"},
     {WaitEom, "end of data"},
     {WaitQuit, "QUIT"},
     }
};

// ---- Connection events ------------------------------------------------------------------------

void RetryResolve(Session& s);

void SocketEvent(std::uintptr_t context, int event, void* data, std::uint32_t a) {
    Session* s = FromContext(context);
    if (s == nullptr || s->ending) {
        return;
    }
    switch (event) {
        case TNSOCK_EVENT_DATA:
            if (data != nullptr && a > 0) {
                Receive(*s, static_cast<const std::uint8_t*>(data), a);
            }
            break;
        case TNSOCK_EVENT_CONNECTED:
            s->connected = true;
            break;
        case TNSOCK_EVENT_CLOSED:
            s->connection = nullptr;  // the socket layer releases the endpoint itself
            ConnectionLost(*s);
            break;
        default:
            break;
    }
}

std::uintptr_t OnSocket(std::uintptr_t context, int event, void* data, std::uint32_t a,
                        std::uint32_t, std::uint32_t) {
    SocketEvent(context, event, data, a);
    return 0;
}

// ---- Opening ----------------------------------------------------------------------------------

// Opens the connection; the greeting is awaited from now on.
bool Connect(Session& s) {
    s.resolving = false;
    s.replies.Start(ReplyRules::kSmtp, TNSMTP_MAX_REPLY_LINE - 1);
    if (TnSockTcpConnect(ContextOf(s), OnSocket, s.address, s.port, &s.connection) !=
        TNSOCK_SUCCESS) {
        s.connection = nullptr;
        return false;
    }
    s.state = WaitGreeting;
    StartReplyTimer(s, s.replyTimeout);
    return true;
}

void ConnectNow(Session& s) {
    if (!Connect(s)) {
        End(s, TNSMTP_EV_CONNECT_FAILED, nullptr, 0);
    }
}

void OnResolveTimer(std::uintptr_t context) {
    Session* s = FromContext(context);
    if (s == nullptr || !s->resolving) {
        return;
    }
    s->resolveTimer = nullptr;  // spent
    RetryResolve(*s);
}

// Asks the resolver again while the lookup is pending, every 500 ms, up to the limit.
void RetryResolve(Session& s) {
    std::uint32_t address = 0;
    const Lookup answer =
        LookupPoll(s.lookup, s.hostName, Tick(), TNSMTP_RESOLVE_LIMIT_MS, &address);
    if (answer == Lookup::kResolved) {
        TnSockFormatAddr(address, s.address);
        ConnectNow(s);
        return;
    }
    if (answer == Lookup::kPending) {
        s.resolveTimer = g.config.timerStart(TNSMTP_RESOLVE_RETRY_MS, ContextOf(s), OnResolveTimer);
        if (s.resolveTimer != nullptr) {
            return;
        }
    }
    End(s, TNSMTP_EV_CONNECT_FAILED, nullptr, 0);
}

// Copies a text of at most `limit` characters without line breaks; null copies as empty.
bool CopyText(char* out, const char* text, std::size_t limit) {
    out[0] = '\0';
    if (text == nullptr) {
        return true;
    }
    const std::string_view view(text);
    if (view.size() > limit || HasLineBreak(view)) {
        return false;
    }
    std::memcpy(out, text, view.size() + 1);
    return true;
}

bool IsDottedQuad(const char* text) {
    if (text == nullptr || text[0] == '\0' || std::strlen(text) > TNSMTP_MAX_ADDRESS_TEXT) {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c != '.' && !std::isdigit(static_cast<unsigned char>(*c))) {
            return false;
        }
    }
    return TnSockParseAddr(text, nullptr) == 1;
}

int CopyServer(Session& s, const TnSmtpMail& m) {
    if (!CopyText(s.hostName, m.serverHostName, TNSMTP_MAX_HOST_NAME) ||
        !CopyText(s.address, m.serverAddress, TNSMTP_MAX_ADDRESS_TEXT)) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    if (s.address[0] == '\0' && IsDottedQuad(s.hostName)) {
        std::memcpy(s.address, s.hostName, std::strlen(s.hostName) + 1);  // no lookup needed
    }
    if (s.address[0] == '\0' && s.hostName[0] == '\0') {
        return TNSMTP_INVALID_PARAMETERS;
    }
    if (s.address[0] != '\0' && TnSockParseAddr(s.address, nullptr) != 1) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    s.port = m.serverPort;
    return TNSMTP_OK;
}

int CopyMail(Session& s, const TnSmtpMail& m) {
    // Each address goes between the angle brackets of a command and into a header: anything
    // but one mailbox there would add parameters, recipients or headers of its own.
    if (!CopyText(s.from, m.from, TNSMTP_MAX_ADDRESS) ||
        !CopyText(s.to, m.to, TNSMTP_MAX_ADDRESS) || !CopyText(s.cc, m.cc, TNSMTP_MAX_ADDRESS) ||
        !IsMailbox(s.from) || !IsMailbox(s.to) || (s.cc[0] != '\0' && !IsMailbox(s.cc))) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    if (m.subject != nullptr &&
        (std::strlen(m.subject) > TNSMTP_MAX_SUBJECT || HasLineBreak(m.subject) ||
         !EncodeSubject(m.subject, m.subjectCharset, s.subject))) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    s.quotedPrintable      = m.quotedPrintable != 0;
    const std::size_t size = BodySize(m.body, m.bodyLength, s.quotedPrintable);
    if (size > UINT32_MAX) {
        return TNSMTP_BODY_BUFFER;
    }
    s.body = static_cast<std::uint8_t*>(std::malloc(size));
    if (s.body == nullptr) {
        return TNSMTP_BODY_BUFFER;
    }
    s.bodyLength =
        static_cast<std::uint32_t>(EncodeBody(m.body, m.bodyLength, s.quotedPrintable, s.body));
    return TNSMTP_OK;
}

int CopyCredentials(Session& s, const TnSmtpMail& m) {
    s.authenticate = m.authenticate != 0;
    if (!s.authenticate) {
        return TNSMTP_OK;
    }
    if (m.userName == nullptr || m.password == nullptr ||
        !CopyText(s.userName, m.userName, TNSMTP_MAX_CREDENTIAL) ||
        std::strlen(m.password) > TNSMTP_MAX_CREDENTIAL) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    std::memcpy(s.password, m.password, std::strlen(m.password) + 1);  // goes out as base64
    return TNSMTP_OK;
}

int CopyAttachment(Session& s, const TnSmtpMail& m) {
    s.attach = m.attach != 0;
    if (!s.attach) {
        return TNSMTP_OK;
    }
    if (m.attachmentPath == nullptr || m.attachmentPath[0] == '\0') {
        return TNSMTP_INVALID_PARAMETERS;
    }
    const std::string_view name = FileNameOf(m.attachmentPath);
    if (name.empty() || name.size() > TNSMTP_MAX_FILE_NAME || HasLineBreak(name)) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    const std::size_t length = std::strlen(m.attachmentPath);
    s.path                   = static_cast<char*>(std::malloc(length + 1));
    if (s.path == nullptr) {
        return TNSMTP_BODY_BUFFER;
    }
    std::memcpy(s.path, m.attachmentPath, length + 1);
    if (!ChooseBoundary(s.body, s.bodyLength, name, s.boundary)) {
        return TNSMTP_BODY_BUFFER;
    }
    return OpenAttachment(s);
}

// Looks the server's name up (unless its address is known) and connects.
int Open(Session& s) {
    if (s.address[0] == '\0') {
        std::uint32_t address = 0;
        const Lookup answer   = LookupBegin(s.lookup, s.hostName, Tick(), &address);
        if (answer == Lookup::kPending) {
            s.resolving = true;
            s.state     = Resolving;
            s.resolveTimer =
                g.config.timerStart(TNSMTP_RESOLVE_RETRY_MS, ContextOf(s), OnResolveTimer);
            return s.resolveTimer != nullptr ? TNSMTP_OK : TNSMTP_RESOLVE_FAILED;
        }
        if (answer != Lookup::kResolved) {
            return TNSMTP_RESOLVE_FAILED;
        }
        TnSockFormatAddr(address, s.address);
    }
    return Connect(s) ? TNSMTP_OK : TNSMTP_CONNECT_FAILED;
}

// ---- Streaming the message text ---------------------------------------------------------------

void BodyPiece(Session& s) {
    const std::uint8_t* start = s.body + s.bodyPosition;
    const std::uint32_t left  = s.bodyLength - s.bodyPosition;
    const void* lf            = std::memchr(start, '\n', left);
    const std::uint32_t length =
        lf != nullptr ? static_cast<std::uint32_t>(static_cast<const std::uint8_t*>(lf) - start) + 1
                      : left;
    // RFC 5321 4.5.2: a line that starts with "." gets one more in front.
    if (start[0] == '.') {
        QueueConst(s, ".");
    }
    Queue(s, start, length);
    // A last line without an ending: the end of data needs one; a part delimiter brings its own.
    if (lf == nullptr && !s.attach) {
        QueueConst(s, "\r\n");
    }
    s.bodyPosition += length;
    s.progress      = static_cast<int>(Percent(s.bodyPosition, s.bodyLength));
    s.progressEvent = TNSMTP_EV_BODY_PROGRESS;
}

// The whole text is with TCP: the end of data follows after the session's pause (at once with
// none: it queues behind the text, so it still goes last).
void TextDone(Session& s) {
    s.sending   = false;
    s.phase     = Phase::kNone;
    s.endOfBody = {Tick(), s.endOfBodyPause, true};
}

// Reads and encodes the next chunk of the attachment. False when the session ended.
bool AttachmentPiece(Session& s) {
    std::uint32_t got = 0;
    if (g.config.fileRead(s.file, s.readBuffer + s.carry, TNSMTP_ATTACH_CHUNK - s.carry, &got) ==
            0 ||
        got > TNSMTP_ATTACH_CHUNK - s.carry) {
        // Sending what was read as if it were the whole file would deliver a cut attachment:
        // close without the end of data, so the server discards the message.
        Failed(s, "cannot read the attachment");
        return false;
    }
    if (got == 0) {
        int column               = s.column;
        const std::size_t length = Base64(s.readBuffer, s.carry, s.base64, column, true);
        s.column                 = column;
        s.carry                  = 0;
        s.endOfFile              = true;
        Queue(s, s.base64, length);
        return true;
    }
    // Only whole groups of three are encoded before the end, so no padding lands mid-stream.
    const std::uint32_t total  = s.carry + got;
    const std::uint32_t groups = total / 3 * 3;
    const std::size_t length   = Base64(s.readBuffer, groups, s.base64, s.column, true);
    s.carry                    = total - groups;
    std::memmove(s.readBuffer, s.readBuffer + groups, s.carry);
    Queue(s, s.base64, length);
    s.notRead -= got < s.notRead ? got : s.notRead;
    if (s.fileSize == 0) {
        return true;
    }
    return Report(s, TNSMTP_EV_ATTACH_PROGRESS, nullptr,
                  Percent(s.fileSize - s.notRead, s.fileSize));
}

// Queues the next piece of message text. False when the session ended.
bool NextPiece(Session& s) {
    switch (s.phase) {
        case Phase::kBody:
            if (s.bodyPosition < s.bodyLength) {
                BodyPiece(s);
            } else if (s.attach) {
                TextOut out(s.text, kTextSize);
                ComposeAttachmentHead(FileNameOf(s.path), s.boundary, out);
                Queue(s, s.text, out.Length());
                s.textLength = out.Length() + 1;
                s.phase      = Phase::kAttachment;
            } else {
                TextDone(s);
            }
            return true;
        case Phase::kAttachment:
            if (!s.endOfFile) {
                return AttachmentPiece(s);
            }
            {
                TextOut out(s.text, kTextSize);
                ComposeClosingDelimiter(s.boundary, out);
                Queue(s, s.text, out.Length());
                s.textLength = out.Length() + 1;
            }
            s.phase = Phase::kClosing;
            return true;
        case Phase::kClosing:
        case Phase::kNone:
            TextDone(s);
            return true;
    }
    return true;
}

// One call's share of streaming: pieces until TCP takes no more or the share is used.
void Stream(Session& s) {
    const std::uint32_t generation = s.generation;
    for (int i = 0; i < kPiecesPerCall && s.sending && OutEmpty(s); ++i) {
        if (!NextPiece(s) || !Alive(s, generation) || !Transmit(s)) {
            return;
        }
    }
}

void CheckTimers(Session& s) {
    const std::uint32_t now = Tick();
    if (s.reply.active && now - s.reply.start >= s.reply.timeout) {
        s.reply.active = false;
        s.state(s, Input::kTimeout, 0);
        return;
    }
    if (s.endOfBody.active && now - s.endOfBody.start >= s.endOfBody.timeout) {
        s.endOfBody.active = false;
        s.state(s, Input::kEndOfBody, 0);
    }
}

void ProcessSession(Session& s) {
    const std::uint32_t generation = s.generation;
    if (s.resolving && s.dnsOutcome != 0) {
        const int outcome = s.dnsOutcome;
        s.dnsOutcome      = 0;
        if (outcome != TNSOCK_DNS_ANSWER) {
            End(s, TNSMTP_EV_CONNECT_FAILED, nullptr, 0);
            return;
        }
        if (s.resolveTimer != nullptr) {
            g.config.timerStop(s.resolveTimer);
            s.resolveTimer = nullptr;
        }
        RetryResolve(s);
        if (!Alive(s, generation)) {
            return;
        }
    }
    if (s.connection != nullptr && !OutEmpty(s) && !Transmit(s)) {
        return;
    }
    if (!Alive(s, generation)) {
        return;
    }
    if (s.sending) {
        Stream(s);
        if (!Alive(s, generation)) {
            return;
        }
    }
    CheckTimers(s);
}

bool ConfigUsable(const TnSmtpConfig& c) {
    if (c.timerStart == nullptr || c.timerStop == nullptr || c.fileOpen == nullptr ||
        c.fileClose == nullptr || c.fileWrite == nullptr || c.fileRead == nullptr ||
        c.fileSize == nullptr || c.tickCount == nullptr) {
        return false;
    }
    const void* end = std::memchr(c.ehloDomain, '\0', sizeof c.ehloDomain);
    if (end == nullptr) {
        return false;
    }
    // The domain becomes the argument of one command line.
    const std::string_view domain(c.ehloDomain);
    return domain.find_first_of(" \t\r\n") == std::string_view::npos;
}

}  // namespace

// ---- Internals for tests and the fuzz target --------------------------------------------------

namespace tarnet::smtp {

const char* StepName(StateFn state) {
    for (const StepInfo& step : kSteps) {
        if (step.state == state) {
            return step.name;
        }
    }
    return "free";
}

void Receive(TnSmtpSession& s, const std::uint8_t* data, std::size_t length) {
    const std::uint32_t generation = s.generation;
    for (std::size_t i = 0; i < length; ++i) {
        switch (s.replies.Push(data[i])) {
            case Scan::kMore:
                break;
            case Scan::kReply:
                s.state(s, Input::kReply, s.replies.Class());
                if (!Alive(s, generation)) {
                    return;
                }
                break;
            case Scan::kMixedCodes:
                // RFC 5321 4.2.1: the lines of one reply carry one code. A reply that says two
                // things is neither, whatever its last line says.
                Failed(s, "reply lines carry different codes");
                return;
            case Scan::kLineTooLong:
                // RFC 5321 4.5.3.1.5 allows reply lines of 512 octets; twice that is past any
                // server's.
                Failed(s, "reply line too long");
                return;
        }
    }
}

}  // namespace tarnet::smtp

// ---- Interface --------------------------------------------------------------------------------

int TnSmtpInit(const TnSmtpConfig* config) {
    if (g.initialised) {
        return TNSMTP_ALREADY_INITIALISED;
    }
    if (config == nullptr || !ConfigUsable(*config)) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    g = Library{};
    for (std::size_t i = 0; i < g.sessions.size(); ++i) {
        g.sessions[i].index = static_cast<std::uint8_t>(i);
    }
    g.replyTimeout   = TNSMTP_DEFAULT_REPLY_TIMEOUT_MS;
    g.eomTimeout     = TNSMTP_DEFAULT_EOM_TIMEOUT_MS;
    g.endOfBodyPause = TNSMTP_DEFAULT_END_OF_BODY_PAUSE_MS;
    g.config         = *config;
    g.initialised    = true;
    return TNSMTP_OK;
}

int TnSmtpHasOpenSessions() {
    return g.initialised && std::any_of(std::begin(g.sessions), std::end(g.sessions),
                                        [](const Session& s) { return s.inUse; });
}

int TnSmtpDeinit() {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    for (Session& s : g.sessions) {
        if (s.inUse) {
            Release(s);
        }
    }
    g.initialised = false;
    return TNSMTP_OK;
}

int TnSmtpSendMail(const TnSmtpMail* mail, TnSmtpSession** session) {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    if (mail == nullptr || session == nullptr ||
        (mail->serverHostName == nullptr && mail->serverAddress == nullptr) ||
        mail->from == nullptr || mail->from[0] == '\0' || mail->to == nullptr ||
        mail->to[0] == '\0' || mail->body == nullptr || mail->bodyLength == 0 ||
        mail->eventFn == nullptr) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    Session* s = nullptr;
    for (Session& slot : g.sessions) {
        if (!slot.inUse) {
            s = &slot;
            break;
        }
    }
    if (s == nullptr) {
        return TNSMTP_NO_MEMORY;
    }
    s->inUse          = true;
    s->state          = Resolving;
    s->eventFn        = mail->eventFn;
    s->userValue      = mail->userValue;
    s->replyTimeout   = g.replyTimeout;
    s->eomTimeout     = g.eomTimeout;
    s->endOfBodyPause = g.endOfBodyPause;
    s->progress       = -1;
    int rc            = CopyServer(*s, *mail);
    if (rc == TNSMTP_OK) {
        rc = CopyMail(*s, *mail);
    }
    if (rc == TNSMTP_OK) {
        rc = CopyCredentials(*s, *mail);
    }
    if (rc == TNSMTP_OK) {
        rc = CopyAttachment(*s, *mail);
    }
    if (rc == TNSMTP_OK) {
        rc = Open(*s);
    }
    if (rc != TNSMTP_OK) {
        Release(*s);
        return rc;
    }
    *session = s;
    return TNSMTP_OK;
}

int TnSmtpProcess() {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    for (Session& s : g.sessions) {
        if (g.initialised && s.inUse && !s.ending) {
            ProcessSession(s);
        }
    }
    return TNSMTP_OK;
}

int TnSmtpAbort(TnSmtpSession* session) {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    if (session == nullptr) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    if (!IsSlot(session) || !session->inUse || session->ending) {
        return TNSMTP_SESSION_NOT_OPEN;
    }
    Session& s = *session;
    if (s.state == Resolving || !s.connected) {
        Failed(s, "aborted");
    } else if (SendingText(s)) {
        // QUIT now would only become part of the message; closing without the end of data
        // makes the server discard it (RFC 5321 4.1.1.4). Messages it accepted before stay
        // delivered, as when QUIT ends the session.
        if (s.delivered > 0) {
            End(s, TNSMTP_EV_COMPLETE, nullptr, 0);
        } else {
            Failed(s, "aborted");
        }
    } else if (s.state == WaitEom || s.state == WaitQuit) {
        s.aborted = true;  // QUIT follows the reply to the end of data, or is out already
    } else {
        s.aborted = true;
        Quit(s);
    }
    return TNSMTP_OK;
}

int TnSmtpSetTimeout(std::uint32_t replyMs, std::uint32_t eomMs) {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    const std::uint32_t reply = replyMs != 0 ? replyMs : g.replyTimeout;
    std::uint32_t eom         = eomMs != 0 ? eomMs : g.eomTimeout;
    if (eomMs == 0 && eom < reply) {
        eom = reply;  // never shorter than the wait for any other reply
    }
    if (reply > kMaxTimeoutMs || eom > kMaxTimeoutMs || eom < reply) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    g.replyTimeout = reply;
    g.eomTimeout   = eom;
    return TNSMTP_OK;
}

int TnSmtpSetEndOfBodyPause(std::uint32_t ms) {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    if (ms > kMaxTimeoutMs) {
        return TNSMTP_INVALID_PARAMETERS;
    }
    g.endOfBodyPause = ms;
    return TNSMTP_OK;
}

int TnSmtpSetDateSource(TnSmtpDateFn source) {
    if (!g.initialised) {
        return TNSMTP_NOT_INITIALISED;
    }
    g.dateSource = source;
    return TNSMTP_OK;
}

void TnSmtpDnsResult(const char* name, int dnsOutcome) {
    if (!g.initialised || name == nullptr) {
        return;
    }
    for (Session& s : g.sessions) {
        if (s.inUse && s.resolving && strcasecmp(s.hostName, name) == 0) {
            s.dnsOutcome = dnsOutcome;  // acted on in TnSmtpProcess, outside the stack
        }
    }
}

const char* TnSmtpSessionStep(const TnSmtpSession* session) {
    if (!g.initialised || session == nullptr || !IsSlot(session) || !session->inUse) {
        return "free";
    }
    if (session->state == WaitEom && !session->endSent) {
        return "message text";
    }
    return StepName(session->state);
}
