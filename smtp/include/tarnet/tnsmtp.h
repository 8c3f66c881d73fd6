// Tarnet SMTP client library: sends one mail per session over a TCP connection of the stack
// (RFC 5321 client side: EHLO, optional AUTH LOGIN, MAIL FROM, RCPT TO, DATA, QUIT), composing
// the message itself (RFC 5322 header block, an optional RFC 2045/2046 multipart body with one
// base64 attachment, a quoted-printable text part, RFC 2047 encoded words for a KOI8-R subject).
//
// Everything runs on the stack's thread. The library reacts to socket events and host timers and
// must be driven by TnSmtpProcess, which streams the message text and checks the reply time-outs;
// the host calls it on every pass of its loop. The library never touches files or clocks itself:
// the host's callbacks in TnSmtpConfig do that.
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnet/tnexport.h"
#include "tarnet/tnsock.h"

TARNET_API_BEGIN

// ---- Result codes (return values; TnSmtpErrorText) --------------------------------------------

inline constexpr int TNSMTP_OK                  = 0;
inline constexpr int TNSMTP_ALREADY_INITIALISED = 1;
inline constexpr int TNSMTP_NOT_INITIALISED     = 2;
inline constexpr int TNSMTP_SOCKET_INIT_FAILED  = 3;  // in the text table; returned by nothing
inline constexpr int TNSMTP_CANNOT_RESOLVE      = 4;  // in the text table; returned by nothing
inline constexpr int TNSMTP_INVALID_PARAMETERS  = 5;
inline constexpr int TNSMTP_RESOLVE_FAILED      = 6;
inline constexpr int TNSMTP_NO_MEMORY           = 7;  // all session slots are taken
inline constexpr int TNSMTP_CONNECT_FAILED      = 8;
inline constexpr int TNSMTP_SESSION_NOT_OPEN    = 9;
inline constexpr int TNSMTP_FILE_OPEN_ERROR     = 10;
inline constexpr int TNSMTP_BODY_BUFFER         = 11;  // the body buffer could not be allocated

// Each text of TnSmtpErrorText fits a buffer of this size (terminator included).
inline constexpr std::size_t TNSMTP_ERROR_TEXT_SIZE = 128;

// ---- Events of TnSmtpEventFn ------------------------------------------------------------------
//
// (userValue, event, data, value). Every event that ends a session is reported once, after which
// the slot is free again; a handle the host still holds then refers to a free slot.

// The session ended well: QUIT was answered with 2xx, or, once the server had accepted at least
// one message (2xx to the end of data), QUIT was answered otherwise, not at all, or the server
// closed the connection. data null, value 0.
inline constexpr int TNSMTP_EV_COMPLETE = 1;
// The server closed the TCP connection (or it became unusable) before the session completed.
// data null, value 0.
inline constexpr int TNSMTP_EV_DISCONNECTED = 2;
// The name lookup failed (after TnSmtpSendMail returned), or the TCP connection was refused or
// never established. data null, value 0.
inline constexpr int TNSMTP_EV_CONNECT_FAILED = 3;
// The server refused a step: data = the reply text (every line of the reply, joined with CR LF,
// without the final CR LF, cut to TNSMTP_MAX_REPLY_TEXT bytes), value = its length. The text
// is valid only during the call and is not NUL-terminated. TnSmtpSessionStep names the step.
inline constexpr int TNSMTP_EV_SERVER_ERROR = 4;
// No reply in time, or the server took none of the message text for
// TNSMTP_DATA_BLOCK_TIMEOUT_MS: data = the state's time-out text (NUL-terminated), value = its
// length.
inline constexpr int TNSMTP_EV_TIMEOUT = 5;
// After each body line handed to TCP: value = percent of the body sent.
inline constexpr int TNSMTP_EV_BODY_PROGRESS = 6;
// After each attachment chunk read: value = percent of the file read (none for an empty file).
inline constexpr int TNSMTP_EV_ATTACH_PROGRESS = 7;
// The server accepted the message: data = a TnSmtpMail record of the session's own. The host
// may point its `to` member at another address (valid until the callback returns) and return
// nonzero to send the same message again to that address (a new MAIL FROM / RCPT TO / DATA with
// the header To changed, the whole attachment again; CC is not sent again). Returning 0 ends
// the session with QUIT. An unusable address (not one mailbox of at most TNSMTP_MAX_ADDRESS
// characters, see TnSmtpMail) ends it with TNSMTP_EV_FAILED after QUIT.
inline constexpr int TNSMTP_EV_NEXT_RECIPIENT = 8;
// The session failed on this side, not by the server's word: a reply line longer than
// TNSMTP_MAX_REPLY_LINE, a reply whose lines carry different codes (RFC 5321 4.2.1; never taken
// for acceptance), the attachment could not be read (the message is abandoned: the
// connection closes without the end of data, so the server discards it), an unusable further
// recipient, TnSmtpAbort. data = a NUL-terminated text, value = its length.
inline constexpr int TNSMTP_EV_FAILED = 9;

// ---- Limits -----------------------------------------------------------------------------------

inline constexpr int TNSMTP_MAX_SESSIONS             = TARNET_SMTP_SESSIONS;
inline constexpr std::size_t TNSMTP_EHLO_DOMAIN_SIZE = 68;  // terminator included
inline constexpr std::size_t TNSMTP_MAX_HOST_NAME    = 80;  // characters
inline constexpr std::size_t TNSMTP_MAX_ADDRESS_TEXT = 15;  // dotted quad
inline constexpr std::size_t TNSMTP_MAX_ADDRESS      = 80;  // From, To, CC
inline constexpr std::size_t TNSMTP_MAX_SUBJECT      = 80;
inline constexpr std::size_t TNSMTP_MAX_CREDENTIAL   = 99;   // user name, password
inline constexpr std::size_t TNSMTP_MAX_FILE_NAME    = 255;  // the attachment's name in the mail
inline constexpr std::uint32_t TNSMTP_ATTACH_CHUNK =
    TARNET_SMTP_ATTACH_CHUNK;  // file bytes per read
inline constexpr std::size_t TNSMTP_MAX_REPLY_LINE = TARNET_CLIENT_REPLY_LINE;  // CR LF included
inline constexpr std::size_t TNSMTP_MAX_REPLY_TEXT = TARNET_CLIENT_REPLY_LINE;
inline constexpr std::uint32_t TNSMTP_RESOLVE_RETRY_MS = 500;
// A name still unresolved this long after TnSmtpSendMail fails with TNSMTP_EV_CONNECT_FAILED
// (the resolver gives up on one query after 3 s).
inline constexpr std::uint32_t TNSMTP_RESOLVE_LIMIT_MS = 6000;

// Default reply time-outs (TnSmtpSetTimeout).
inline constexpr std::uint32_t TNSMTP_DEFAULT_REPLY_TIMEOUT_MS = 3000;
// The server may take its time over a whole message (RFC 5321 4.5.3.2 allows 10 minutes).
inline constexpr std::uint32_t TNSMTP_DEFAULT_EOM_TIMEOUT_MS = 60000;
// While the message text streams, the server must take some of it within this time, or the
// session ends with TNSMTP_EV_TIMEOUT (RFC 5321 4.5.3.2.5: 3 minutes per data block).
inline constexpr std::uint32_t TNSMTP_DATA_BLOCK_TIMEOUT_MS = 180000;
// The pause between the last of the message text going to TCP and the end of data
// (TnSmtpSetEndOfBodyPause).
inline constexpr std::uint32_t TNSMTP_DEFAULT_END_OF_BODY_PAUSE_MS = 1000;

// Subject charsets.
inline constexpr int TNSMTP_CHARSET_NONE  = 0;  // the subject goes out unchanged
inline constexpr int TNSMTP_CHARSET_KOI8R = 1;  // Windows-1251 text, sent as KOI8-R encoded words

// ---- Host services ----------------------------------------------------------------------------

// Opaque local file handle; 0 means failure / none.
using TnSmtpFile = std::uintptr_t;

// Opens a local file; mode 0 read, 1 write; create 1 creates a missing file. The library opens
// with (path, 0, 0).
using TnSmtpFileOpenFn  = TnSmtpFile (*)(const char* path, int mode, int create);
using TnSmtpFileCloseFn = void (*)(TnSmtpFile file);
// Writes count bytes; *written receives the count. Nonzero on success. Not used by the library.
using TnSmtpFileWriteFn = int (*)(TnSmtpFile file, const std::uint8_t* bytes, std::uint32_t count,
                                  std::uint32_t* written);
// Reads up to capacity bytes; *read receives the count, 0 at the end of the file. Nonzero on
// success, 0 on a read error (which abandons the message rather than send it cut short).
using TnSmtpFileReadFn = int (*)(TnSmtpFile file, std::uint8_t* buffer, std::uint32_t capacity,
                                 std::uint32_t* read);
// The file's size in bytes. Nonzero on success.
using TnSmtpFileSizeFn = int (*)(TnSmtpFile file, std::uint64_t* size);

// The local time for the Date header: calendar fields and the zone's offset from UTC.
struct TnSmtpDate {
    int year;         // four digits
    int month;        // 1 to 12
    int day;          // 1 to 31
    int weekday;      // 0 Sunday to 6 Saturday
    int hour;         // 0 to 23
    int minute;       // 0 to 59
    int second;       // 0 to 60
    int zoneMinutes;  // east of UTC: +60 for "+0100", -300 for "-0500"
};
// Fills `out` with the current local time; nonzero on success.
using TnSmtpDateFn = int (*)(TnSmtpDate* out);

struct TnSmtpConfig {
    char ehloDomain[TNSMTP_EHLO_DOMAIN_SIZE];  // EHLO argument, NUL-terminated, no CR/LF/space
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnSmtpFileOpenFn fileOpen;
    TnSmtpFileCloseFn fileClose;
    TnSmtpFileWriteFn fileWrite;
    TnSmtpFileReadFn fileRead;
    TnSmtpFileSizeFn fileSize;
    TnGetTickCountFn tickCount;  // wrapping millisecond clock
    // The calendar clock of the Date header. Null for a host without one: the message then goes
    // without a Date line (a relay or the receiving server adds one, RFC 5321 4.4).
    TnSmtpDateFn localDate;
};

// ---- Sessions ---------------------------------------------------------------------------------

struct TnSmtpSession;  // one of the library's static slots

struct TnSmtpMail;

// (userValue, event, data, value); the result is used only by TNSMTP_EV_NEXT_RECIPIENT.
using TnSmtpEventFn = int (*)(std::uintptr_t userValue, int event, void* data, std::uint32_t value);

// One mail. Texts belong to the caller and are copied by TnSmtpSendMail (body included).
// From, To and CC are each one mailbox (RFC 5321 4.1.2): printable ASCII without spaces or angle
// brackets, with an '@' between a local part and a domain. Subject, the user name and the
// attachment's file name must not hold CR or LF.
struct TnSmtpMail {
    const char* serverHostName;  // up to 80 characters; used only without serverAddress
    const char* serverAddress;   // dotted quad, up to 15 characters; null or empty: resolve
    std::uint16_t serverPort;
    const char* from;            // 1 to 80 characters
    const char* to;              // 1 to 80 characters
    const char* subject;         // null or up to 80 characters
    int subjectCharset;          // TNSMTP_CHARSET_...
    const char* cc;              // null, empty (none) or up to 80 characters
    const std::uint8_t* body;    // required; lines end in CR LF, LF or CR
    std::uint32_t bodyLength;    // nonzero
    int authenticate;            // nonzero: AUTH LOGIN
    const char* userName;        // up to 99 characters
    const char* password;        // up to 99 characters
    TnSmtpEventFn eventFn;       // required
    std::uintptr_t userValue;    // handed back with every event
    int attach;                  // nonzero: send attachmentPath as a base64 part
    const char* attachmentPath;  // the part after the last '/' names the attachment
    int quotedPrintable;         // nonzero: the body goes as ISO-8859-1 quoted-printable
};

// 0 done; 1 already initialised; 5 null record, a null callback or an unusable EHLO domain.
// Clears all library state and restores the default time-outs and date source.
int TnSmtpInit(const TnSmtpConfig* config);
// 2 if not initialised; otherwise ends every open session without events (their connections
// are closed, files closed, buffers freed) and returns 0.
int TnSmtpDeinit();
// Opens a session for `mail`: 0 with *session set when it is under way, else a result code and
// no slot taken. The outcome arrives as events.
int TnSmtpSendMail(const TnSmtpMail* mail, TnSmtpSession** session);
// Streams message text and checks time-outs; 2 if not initialised, else 0.
int TnSmtpProcess();
// Nonzero while a session is open: the loop runs TnSmtpProcess meanwhile.
int TnSmtpHasOpenSessions();
// Ends a session at the host's request: in the dialogue it sends QUIT and waits for the reply
// (after the end of data, for the reply to it first); while the message text is being sent, or
// before the connection is up, it closes the connection at once, without the end of data (the
// server discards the message), and reports from inside this call. Either way the session ends
// with TNSMTP_EV_FAILED ("aborted") unless a message was already accepted (then
// TNSMTP_EV_COMPLETE, also when the message being sent to a further recipient is dropped: the
// host counts the TNSMTP_EV_NEXT_RECIPIENT events to know who has theirs). 2 if not
// initialised, 5 for null, 9 for a free slot, else 0.
int TnSmtpAbort(TnSmtpSession* session);
// Copies the text of `code` into buffer (TNSMTP_ERROR_TEXT_SIZE bytes); "unknown" for others.
void TnSmtpErrorText(int code, char* buffer);

// ---- Settings and reports beside the interface above ------------------------------------------

// Reply time-outs for sessions opened afterwards: replyMs for every reply but the one to the end
// of data, eomMs for that one (at least replyMs). 0 keeps a value's current setting, except that
// a kept end-of-data time-out grows to replyMs when it is shorter. 2 if not initialised; 5 when
// a value is over 600000 or eomMs is below replyMs; else 0.
int TnSmtpSetTimeout(std::uint32_t replyMs, std::uint32_t eomMs);
// The pause before the end of data for sessions opened afterwards: the message text has gone to
// TCP this long before the end of data follows (TNSMTP_DEFAULT_END_OF_BODY_PAUSE_MS until set).
// 0 sends the end of data as soon as the text has been handed over; it follows the text on the
// connection in order either way. 2 if not initialised; 5 over 600000; else 0.
int TnSmtpSetEndOfBodyPause(std::uint32_t ms);
// Replaces the configuration's clock of the Date header (null: back to `localDate` of the
// configuration). For tests and for hosts whose clock changes while the library runs. 2 if not
// initialised, else 0.
int TnSmtpSetDateSource(TnSmtpDateFn source);
// A host that watches the stack's diagnostics (TnSockSetDiagnostics) passes each DNS result
// here, so that a session waiting for that name fails at once when the lookup failed instead of
// asking until TNSMTP_RESOLVE_LIMIT_MS.
void TnSmtpDnsResult(const char* name, int dnsOutcome);
// The name of the step a session is in ("greeting", "EHLO", "AUTH LOGIN", "AUTH user name",
// "AUTH password", "MAIL FROM", "RCPT TO", "DATA", "message text", "end of data", "QUIT",
// "name lookup"); "free" for a free slot or null. Inside an event that ends the session it
// names the step that failed.
const char* TnSmtpSessionStep(const TnSmtpSession* session);

TARNET_API_END
