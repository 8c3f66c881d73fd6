// Internals of the FTP client library shared by the control engine (ftp.cpp), the data
// transfers (ftp_data.cpp) and the parsers' fuzz targets and tests.
#pragma once

#include <cstddef>
#include <cstdint>

#include "name_lookup.h"
#include "out_queue.h"
#include "reply_scanner.h"
#include "tarnet/tnftp.h"
#include "tarnet/tnsock.h"
#include "text_out.h"

// Engine events handed to a session's step.
enum class FtpStep : int {
    Timeout    = 0,  // reply timer expired (in the send step: the pump tick)
    Reply      = 1,  // a complete reply; cls = its first digit
    Abort      = 2,
    DataOpen   = 3,
    DataClosed = 4,
    Data       = 5,  // data = bytes, length = count
};

inline constexpr int kFtpKindControl = 1;
inline constexpr int kFtpKindData    = 2;

inline constexpr int kFtpDirectionSend    = 1;
inline constexpr int kFtpDirectionReceive = 2;

inline constexpr std::size_t kFtpCommandLine      = 256;  // a command line must fit, CR LF included
inline constexpr std::uint32_t kFtpSendChunk      = 2048;  // upload read size
inline constexpr std::uint32_t kFtpDefaultTimeout = 15000;
inline constexpr std::uint32_t kFtpLookupRetryMs  = 500;
static_assert(TNFTP_MAX_REPLY_LINE < tarnet::netclient::kReplyLineSize,
              "a reply line and its terminator fit the scanner's line");

// A block of gathered listing bytes; the bytes follow the record in the same allocation.
struct ListingChunk {
    ListingChunk* next;
    std::uint8_t* bytes;
    std::uint32_t count;
    std::uint32_t capacity;
};
// Listing bytes are gathered in blocks of this size: however small the segments they arrive in,
// the memory held is the bytes plus one partly filled block.
inline constexpr std::uint32_t kFtpListingBlock = 64u * 1024u;

// Every step of the control engine has this shape; a session keeps its current one.
using FtpStepFn = void (*)(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
                           std::uint32_t length);

// A step and its name, for the diagnostics (TnFtpSessionStep). Each file names its own steps.
struct FtpStepName {
    FtpStepFn step;
    const char* name;
};
// The name of `step` in the table, or null when it is not there.
const char* FtpFindStepName(const FtpStepName* table, std::size_t count, FtpStepFn step);

struct TnFtpSession {
    int kind;
    char serverName[TNFTP_MAX_SERVER_NAME + 1];
    std::uint16_t serverPort;
    std::uint32_t serverAddress;  // resolved; data connections go here too
    char userName[100];
    char password[100];
    // Current reply line as handed to the event callback.
    const char* replyLine;
    int replyLength;
    TnFtpEventFn eventFn;
    std::uintptr_t userContext;
    TnSockEndpoint* endpoint;
    int inUse;
    FtpStepFn step;
    // Reply timer.
    std::uint32_t timerStart;
    std::uint32_t timerTimeout;
    int timerActive;
    // Data connection (control record) / parent control session (data record).
    TnFtpSession* data;
    TnFtpSession* parent;
    int dataOpen;
    void (*pasvContinuation)(TnFtpSession& s);
    char pasvAddress[16];
    std::uint16_t pasvPort;
    ListingChunk* listHead;
    ListingChunk* listTail;
    std::uint32_t listBytes;
    char argument[TNFTP_ARGUMENT_SIZE];
    std::uint64_t expectedSize;
    std::uint64_t transferred;
    std::uint8_t* chunk;
    std::uint32_t chunkCursor;
    std::uint32_t chunkRemaining;
    int lastChunk;
    int completionEvent;
    int pasvAttempts;
    TnFtpFile file;
    int direction;
    int lookupPending;
    TnTimerHandle lookupTimer;
    tarnet::netclient::NameLookup lookup;
    // Bumped on every release, so code that called out can tell the record was given up.
    std::uint32_t generation;
    // Reply assembly under the multi-line rules of RFC 959 section 4.2, kept across blocks.
    tarnet::netclient::ReplyScanner replies;
    int dataCompleted;             // RETR: the server's completion reply has arrived
    int dataClosedSeen;            // RETR: the data connection has closed
    std::uint32_t sendStallStart;  // STOR: tick of the last byte the socket layer took
    int dataReset;  // the data connection ended by a reset or time-out, not the server's FIN
    // A failed transfer waiting for the server's final reply: the text to report with it.
    char failText[64];
    int failHasText;
    // ABOR: replies seen so far, and the one that ended the aborted transfer.
    int abortReplies;
    char abortTransferReply[TNFTP_MAX_REPLY_LINE + 1];
    // Command lines the socket layer has not taken yet, in order; the queue points into
    // `outLines`, one line per piece, filled from the first since the queue was last empty.
    tarnet::netclient::OutQueue out;
    char outLines[tarnet::netclient::OutQueue::kPieces][kFtpCommandLine];
    int outLineCount;
};

// ---- Shared engine (ftp.cpp) -----------------------------------------------------------------

struct FtpLibrary {
    int initialised;
    std::uint32_t replyTimeout;
    TnFtpSession pool[TARNET_FTP_SESSIONS];
    std::uint64_t bytesSent;
    std::uint64_t bytesReceived;
    TnFtpServices services;
};
extern FtpLibrary g_ftp;

// A handle that is one of the pool's records.
bool FtpIsPoolRecord(const TnFtpSession* s);
TnFtpSession* FtpAllocate(int kind);
void FtpRelease(TnFtpSession& s);
// Reports an event to the host.
void FtpReport(TnFtpSession& s, int event, const char* text, int textLength, std::uintptr_t extra);
// Reports an event that ends the session, then closes and releases it (unless the host did).
void FtpEnd(TnFtpSession& s, int event, const char* text, int textLength, std::uintptr_t extra);
// Same with the current reply line as text.
void FtpEndWithReply(TnFtpSession& s, int event, int op);
void FtpEndTimeout(TnFtpSession& s, const char* message);
// A reply that ends the session, by class: 1 and 3 unexpected, 4 and 5 a server error, anything
// else unknown.
void FtpEndByClass(TnFtpSession& s, int cls, int op);
void FtpGoIdle(TnFtpSession& s);
bool FtpIsIdle(const TnFtpSession& s);
void FtpTimerStart(TnFtpSession& s);
void FtpTimerStartMs(TnFtpSession& s, std::uint32_t ms);
void FtpTimerStop(TnFtpSession& s);
// Sends "COMMAND ARG\r\n" (or "COMMAND\r\n" with a null or empty argument).
int FtpSendCommand(TnFtpSession& s, const char* command, const char* argument);
void FtpSendAbort(TnFtpSession& s);
void FtpAbortStep(TnFtpSession& s);
// The common start of a step that waits for a reply: a timeout ends the session with
// `timeoutMessage`, an abort (where the step can be aborted) sends ABOR; true only for a reply.
bool FtpReplyArrived(TnFtpSession& s, FtpStep event, const char* timeoutMessage, bool abortable);
bool FtpArgumentValid(const char* argument, bool allowEmpty);
// The checks every command makes, in order: the library initialised, the handle given and the
// argument valid, the handle a control session in use, no command outstanding.
int FtpCheckCommand(TnFtpSession* s, bool argumentValid);
// True when the current reply line starts with the three digits of `code`.
bool FtpReplyIs(const TnFtpSession& s, const char* code);
// True when "COMMAND ARGUMENT\r\n" fits the command line.
bool FtpFitsCommandLine(const char* command, const char* argument);

// Largest listing kept in memory (TNFTP_MAX_LISTING; tests lower it).
extern std::uint32_t g_ftpListingLimit;
// Most entries the parser keeps of one listing (TNFTP_MAX_LISTING_ENTRIES; tests lower it).
extern std::uint32_t g_ftpListingEntryLimit;

// ---- Data connections (ftp_data.cpp) ---------------------------------------------------------

void FtpCloseData(TnFtpSession& s);
void FtpCloseAndReleaseData(TnFtpSession& s);
void FtpFreeListing(TnFtpSession& s);
void FtpFreeChunk(TnFtpSession& s);
// Closes the transfer's local file; a received one as failed (the host discards it).
void FtpCloseFile(TnFtpSession& s);
// Ends a received file as complete; false when the host could not complete it.
bool FtpFinishReceivedFile(TnFtpSession& s);
// Ends the data connection with a reset (a cut stream, not an end of file) and releases it.
void FtpResetAndReleaseData(TnFtpSession& s);
// True while the session is in the upload's send step (pumped on every tick).
bool FtpIsSending(const TnFtpSession& s);
// The name of a step of the data transfers.
const char* FtpDataStepName(FtpStepFn step);
void FtpPump(TnFtpSession& s);

// Parses the "(h1,h2,h3,h4,p1,p2)" of a 227 reply. Takes only the port: the data connection
// always goes to the control connection's server. On success writes the announced address text
// (16 bytes) and the port and answers true.
bool FtpParsePasv(const char* line, std::size_t length, char* address, std::uint16_t* port);

// ---- Reply scanner (ftp.cpp) -----------------------------------------------------------------

// Scans one received block of the control connection. Stops when the session ends.
void FtpScanBlock(TnFtpSession& s, const std::uint8_t* bytes, std::uint32_t count);
