// Tarnet FTP client library: the client side of RFC 959 in passive mode over the stack's TCP
// endpoints, with binary transfers, listings, a listing parser and a recursive folder walker.
//
// Everything runs on the stack's thread, inside calls the host makes: the API below, the socket
// layer's event callbacks, the host timers the library starts, and TnFtpTimerTick. The library
// never touches files or directories itself: the host supplies them as callbacks
// (TnFtpServices, and the walker's TnFtpTreeLocalFs).
#pragma once

#include <cstddef>
#include <cstdint>

#include "tarnet/tnexport.h"
#include "tarnet/tnlist.h"
#include "tarnet/tnsock.h"

TARNET_API_BEGIN

// ---- Result codes (API answers; TnFtpResultText maps them) -----------------------------------

inline constexpr int TNFTP_OK                    = 0;
inline constexpr int TNFTP_INVALID_PARAMETERS    = 1;
inline constexpr int TNFTP_NO_FREE_CONTEXTS      = 2;
inline constexpr int TNFTP_NOT_INITIALISED       = 3;
inline constexpr int TNFTP_ALREADY_INITIALISED   = 4;
inline constexpr int TNFTP_TCP_CONNECT_FAILED    = 5;
inline constexpr int TNFTP_SOCKET_INIT_FAILED    = 6;
inline constexpr int TNFTP_INVALID_CMD_FOR_STATE = 7;
inline constexpr int TNFTP_SESSION_NOT_ALLOCATED = 8;
inline constexpr int TNFTP_TIMER_START_FAILED    = 9;
inline constexpr int TNFTP_FILE_OPEN_ERROR       = 10;
inline constexpr int TNFTP_EVENT_QUEUE_EMPTY     = 11;
inline constexpr int TNFTP_CMD_PARAM_TOO_LONG    = 12;
inline constexpr int TNFTP_SOCKET_SEND_FAILED    = 13;

// ---- Host events (the `event` of TnFtpEventFn) -----------------------------------------------

inline constexpr int TNFTP_EV_LOGGED_IN        = 0;  // reply line; session idle
inline constexpr int TNFTP_EV_CLOSED           = 1;  // extra = operation (0: server closed)
inline constexpr int TNFTP_EV_CONNECT_ERROR    = 2;  // library message
inline constexpr int TNFTP_EV_SERVER_ERROR     = 3;  // reply line, extra = operation
inline constexpr int TNFTP_EV_UNEXPECTED_REPLY = 4;  // reply line, extra = operation
inline constexpr int TNFTP_EV_UNKNOWN_REPLY    = 5;  // reply line or message, extra = operation
inline constexpr int TNFTP_EV_NO_FREE_CONTEXT  = 6;  // no record for the data connection
inline constexpr int TNFTP_EV_TIMEOUT          = 7;  // message naming the missing reply
inline constexpr int TNFTP_EV_NO_MEMORY        = 8;  // extra = operation
inline constexpr int TNFTP_EV_LISTING          = 9;  // listing bytes (or null), textLength
inline constexpr int TNFTP_EV_CWD_FAILED       = 10;
inline constexpr int TNFTP_EV_CWD_DONE         = 11;
inline constexpr int TNFTP_EV_RECEIVE_COMPLETE = 12;  // extra = bytes received
inline constexpr int TNFTP_EV_SEND_COMPLETE    = 13;
inline constexpr int TNFTP_EV_RECEIVE_FAILED   = 14;
inline constexpr int TNFTP_EV_TYPE_FAILED      = 15;
inline constexpr int TNFTP_EV_SEND_FAILED      = 16;
inline constexpr int TNFTP_EV_ABORT_DONE       = 17;
inline constexpr int TNFTP_EV_MKD_FAILED       = 18;
inline constexpr int TNFTP_EV_MKD_DONE         = 19;
inline constexpr int TNFTP_EV_RMD_FAILED       = 20;
inline constexpr int TNFTP_EV_RMD_DONE         = 21;
inline constexpr int TNFTP_EV_DELE_FAILED      = 22;
inline constexpr int TNFTP_EV_DELE_DONE        = 23;
inline constexpr int TNFTP_EV_NOOP_DONE        = 24;
inline constexpr int TNFTP_EV_PWD_DONE         = 25;  // extra = const char* directory word
inline constexpr int TNFTP_EV_PWD_FAILED       = 26;
inline constexpr int TNFTP_EV_RENAME_DONE      = 27;
inline constexpr int TNFTP_EV_RENAME_FAILED    = 28;
inline constexpr int TNFTP_EV_BYTES_SENT       = 29;  // extra = bytes just sent
inline constexpr int TNFTP_EV_BYTES_RECEIVED   = 30;  // extra = bytes just written

// ---- Operation codes (the `extra` of error events: which step was running) -------------------

inline constexpr int TNFTP_OP_WELCOME        = 0;
inline constexpr int TNFTP_OP_CWD            = 1;
inline constexpr int TNFTP_OP_LIST           = 2;
inline constexpr int TNFTP_OP_PASV           = 3;
inline constexpr int TNFTP_OP_USER           = 4;
inline constexpr int TNFTP_OP_PASS           = 5;
inline constexpr int TNFTP_OP_LIST_DATA_OPEN = 6;
inline constexpr int TNFTP_OP_TYPE           = 7;
inline constexpr int TNFTP_OP_RETR_DATA_OPEN = 8;
inline constexpr int TNFTP_OP_STOR_DATA_OPEN = 9;
inline constexpr int TNFTP_OP_STOR           = 10;
inline constexpr int TNFTP_OP_RETR           = 11;
inline constexpr int TNFTP_OP_STOR_DATA      = 12;
inline constexpr int TNFTP_OP_ABOR           = 13;
inline constexpr int TNFTP_OP_MKD            = 14;
inline constexpr int TNFTP_OP_RMD            = 15;
inline constexpr int TNFTP_OP_DELE           = 16;
inline constexpr int TNFTP_OP_NOOP           = 17;
inline constexpr int TNFTP_OP_PWD            = 18;
inline constexpr int TNFTP_OP_RNFR           = 19;
inline constexpr int TNFTP_OP_RNTO           = 20;
inline constexpr int TNFTP_OP_LIST_DATA      = 21;
inline constexpr int TNFTP_OP_IDLE           = 22;

// ---- Limits ----------------------------------------------------------------------------------

inline constexpr std::size_t TNFTP_MAX_SERVER_NAME = 80;   // characters, without the zero
inline constexpr std::size_t TNFTP_MAX_CREDENTIAL  = 99;   // user name and password
inline constexpr std::size_t TNFTP_ARGUMENT_SIZE   = 512;  // names: fewer characters than this
// A reply line (up to its CR LF) longer than this ends the session with TNFTP_EV_UNKNOWN_REPLY
// and the message "reply line too long".
inline constexpr std::size_t TNFTP_MAX_REPLY_LINE = TARNET_CLIENT_REPLY_LINE;
// A listing larger than this ends the session with TNFTP_EV_NO_MEMORY.
inline constexpr std::uint32_t TNFTP_MAX_LISTING = 16u * 1024u * 1024u;
// Listing lines longer than this are dropped whole by the parser (room for 255-byte names).
inline constexpr std::size_t TNFTP_MAX_LISTING_LINE = 1024;
// The parser keeps at most this many entries of one listing and counts the lines beyond. An
// entry costs a list node, a child list and three copies (about 180 bytes beside its name, ten
// times a short line): with the cap, a full listing's bytes, the copy a host may keep and its
// parsed entries stay within three times TNFTP_MAX_LISTING.
inline constexpr std::uint32_t TNFTP_MAX_LISTING_ENTRIES = 65536;

// ---- Host services ---------------------------------------------------------------------------

// Opaque local file handle; 0 means failure / none.
using TnFtpFile = std::uintptr_t;

// Opens a local file. mode 0: read; mode 1: write from the start, truncating an existing file
// (a download must never leave stale bytes of an older, longer file). create 1: create the
// file when missing; 0: it must exist. The library uses (name, 1, 1) to receive and (name, 0, 0)
// to send.
using TnFtpFileOpenFn  = TnFtpFile (*)(const char* name, int mode, int create);
using TnFtpFileCloseFn = void (*)(TnFtpFile file);
// Writes count bytes; *written receives the bytes written. Nonzero on success.
using TnFtpFileWriteFn = int (*)(TnFtpFile file, const std::uint8_t* bytes, std::uint32_t count,
                                 std::uint32_t* written);
// Reads up to capacity bytes; *read receives the count, fewer than asked means end of file.
// Nonzero on success.
using TnFtpFileReadFn = int (*)(TnFtpFile file, std::uint8_t* buffer, std::uint32_t capacity,
                                std::uint32_t* read);

// Ends a file opened to receive, in place of fileClose: completed 1 when the download is whole
// (the server's completion reply, the data connection's orderly end and the expected size all
// agree), 0 when it was refused, failed or interrupted. A host that writes to a side file
// replaces the real one only on completion and removes the side file otherwise, so that an
// existing local file is never lost to a failed download. Answers nonzero when the file is
// complete on disk (its last buffered bytes written, the replacement done); with 0 the library
// reports the download failed.
using TnFtpFileFinishFn = int (*)(TnFtpFile file, int completed);
struct TnFtpServices {
    TnTimerStartFn timerStart;
    TnTimerStopFn timerStop;
    TnFtpFileOpenFn fileOpen;
    TnFtpFileCloseFn fileClose;
    TnFtpFileWriteFn fileWrite;
    TnFtpFileReadFn fileRead;
    TnGetTickCountFn getTickCount;
    // Optional (null: received files end with fileClose, as any other).
    TnFtpFileFinishFn fileFinish;
};

// ---- Sessions --------------------------------------------------------------------------------

// One record of the library's pool of two; its address is the session handle.
struct TnFtpSession;

// The one host callback: (userContext, event, text, textLength, extra). text is a reply line
// (zero-terminated where its CR stood, textLength = characters + 1, valid during the call), a
// library message, the listing bytes (TNFTP_EV_LISTING, textLength = byte count) or null.
using TnFtpEventFn = void (*)(std::uintptr_t userContext, int event, const char* text,
                              int textLength, std::uintptr_t extra);

struct TnFtpConnectParams {
    const char* serverName;  // host name or dotted quad, at most 80 characters
    std::uint16_t serverPort;
    const char* userName;        // required, fewer than 100 characters
    const char* password;        // required, fewer than 100 characters
    TnFtpEventFn eventFn;        // required
    std::uintptr_t userContext;  // required (nonzero), handed back with every event
};

int TnFtpInit(const TnFtpServices* services);
int TnFtpDeinit();
// The periodic service: reply timers, name-lookup polling and the upload pump. Call it whenever
// the loop wakes and at least every 2 ms while a transfer runs.
int TnFtpTimerTick();
// Nonzero while a control or data session is open: the loop runs TnFtpTimerTick meanwhile.
int TnFtpHasOpenSessions();
// Nonzero while TnFtpTimerTick has something to do: a command line waiting for room in TCP, an
// upload being pumped or a reply being waited for. A logged-in session with nothing outstanding
// needs no ticks, so a host may sleep until the next frame, timer or user action.
int TnFtpNeedsTick();
// 0 is replaced by 15000 and written back. Applies to every later reply wait.
void TnFtpSetTimeout(std::uint32_t* milliseconds);
// counters[0] = total bytes sent, counters[1] = total bytes received, since TnFtpInit.
void TnFtpGetCounters(std::uint64_t* counters);
const char* TnFtpResultText(int code);

int TnFtpConnect(const TnFtpConnectParams* params, TnFtpSession** session);
int TnFtpClose(TnFtpSession* session);

// Arguments must not contain CR or LF (TNFTP_INVALID_PARAMETERS): they would end the command
// line early and inject another command.
int TnFtpCwd(TnFtpSession* session, const char* path);
int TnFtpMkd(TnFtpSession* session, const char* name);
int TnFtpRmd(TnFtpSession* session, const char* name);
int TnFtpDele(TnFtpSession* session, const char* name);
int TnFtpNoop(TnFtpSession* session);
int TnFtpPwd(TnFtpSession* session);
int TnFtpRename(TnFtpSession* session, const char* from, const char* to);
// Stops the running transfer: its data connection is reset at once (so that a server busy
// sending or receiving notices), then ABOR is sent and its replies are read as they come.
int TnFtpAbort(TnFtpSession* session);

int TnFtpList(TnFtpSession* session);
// Downloads `name` into the local file of the same name. The local file is opened only once the
// server has accepted RETR (its 1xx reply, or the first data), so a refused download leaves it
// untouched; a file that cannot be opened then fails the download (TNFTP_EV_RECEIVE_FAILED,
// after the server's final reply). The download completes when the server has closed the data
// connection in order (a reset is a failure whatever the reply) and sent its completion reply.
// A known expected size (low and high 32-bit halves, nonzero) must then match the bytes
// received: otherwise TNFTP_EV_RECEIVE_FAILED with the text "received N of M bytes".
// Names too long for the command line are refused with TNFTP_CMD_PARAM_TOO_LONG before anything
// is sent (as they are by TnFtpPutFile and TnFtpRename).
int TnFtpGetFile(TnFtpSession* session, const char* name, std::uint32_t expectedSizeLow,
                 std::uint32_t expectedSizeHigh);
// Uploads the local file `name` under the same remote name. A failed upload (a local read error,
// a stall, the server's 4xx/5xx while sending) ends the data connection with a reset, so that the
// server does not keep a truncated file as a complete one, and waits for the server's final
// reply before reporting TNFTP_EV_SEND_FAILED.
int TnFtpPutFile(TnFtpSession* session, const char* name);
// After TNFTP_EV_ABORT_DONE: the reply that ended the aborted transfer (such as "426 ..."), which
// came before the ABOR's own reply; an empty string when there was none. Read-only.
const char* TnFtpAbortedTransferReply(const TnFtpSession* session);
// The step the session is in, by name ("idle", "greeting", "CWD", "RETR", "STOR data", ...):
// "free" for a handle that is no session in use, "data connection" for a data record.
// Read-only, for diagnostics.
const char* TnFtpSessionStep(const TnFtpSession* session);

// ---- Listing parser --------------------------------------------------------------------------

// Parses LIST text (Unix long-listing or DOS layout) and appends one node per entry to
// `entries`: payload = name, extra1 = size text, extra2 = type text ("d" for a directory).
// An empty listing gives the single entry "..". A line that cannot be read is passed over and
// the lines after it are still read; every line left out is counted in *droppedLines (may be
// null). Returns the number of entries appended, or -1 when a node could not be allocated.
int TnFtpParseListing(const char* bytes, std::uint32_t count, TnList* entries,
                      std::uint32_t* droppedLines);

// The lines a parse left out, by cause.
struct TnFtpListingSkips {
    std::uint32_t overlong;    // longer than TNFTP_MAX_LISTING_LINE
    std::uint32_t unreadable;  // in neither layout: too few fields, or a size field too long
    std::uint32_t overCap;     // readable, beyond TNFTP_MAX_LISTING_ENTRIES entries
};

// TnFtpParseListing with the left-out lines counted by cause (skips may be null).
int TnFtpParseListingSkips(const char* bytes, std::uint32_t count, TnList* entries,
                           TnFtpListingSkips* skips);

// ---- Folder walker ---------------------------------------------------------------------------

// Report kinds of TnFtpTreeReportFn(session, kind, a, b).
inline constexpr int TNTREE_REP_DELETE_FAILED   = 0;  // a = walker result, b = library event
inline constexpr int TNTREE_REP_DOWNLOAD_FAILED = 1;
inline constexpr int TNTREE_REP_UPLOAD_FAILED   = 2;
inline constexpr int TNTREE_REP_DELETE_DONE     = 3;
inline constexpr int TNTREE_REP_DOWNLOAD_DONE   = 4;
inline constexpr int TNTREE_REP_UPLOAD_DONE     = 5;
inline constexpr int TNTREE_REP_DELETE_ITEM     = 6;  // a = name (b = 1) or 0 (b = 2)
inline constexpr int TNTREE_REP_DOWNLOAD_ITEM   = 7;
inline constexpr int TNTREE_REP_UPLOAD_ITEM     = 8;
inline constexpr int TNTREE_REP_PERCENT         = 9;  // a = percent of the current file
// A listed entry was skipped: a = the name (const char*, or 0 for a dropped over-long line),
// b = TNTREE_SKIP_... Nothing is written, fetched or deleted for it.
inline constexpr int TNTREE_REP_ENTRY_SKIPPED = 10;

inline constexpr int TNTREE_SKIP_UNSAFE_NAME   = 1;  // "/" or "\\" in it, empty, control bytes
inline constexpr int TNTREE_SKIP_LINE_TOO_LONG = 2;
inline constexpr int TNTREE_SKIP_LINK          = 3;  // a symbolic link ("name -> target")
inline constexpr int TNTREE_SKIP_UNREADABLE    = 4;  // a listing line in no layout (a = 0)
// A download kept the local file of that name: it has the remote file's size.
inline constexpr int TNTREE_SKIP_PRESENT = 5;

// Walker result codes (API answers and the `a` of the failure reports).
inline constexpr int TNTREE_STARTED          = 1;
inline constexpr int TNTREE_BUSY             = 2;
inline constexpr int TNTREE_NOT_INITIALISED  = 3;
inline constexpr int TNTREE_BAD_PARAMETER    = 4;
inline constexpr int TNTREE_NO_MEMORY        = 5;
inline constexpr int TNTREE_CWD_FAILED       = 6;
inline constexpr int TNTREE_LIST_FAILED      = 7;
inline constexpr int TNTREE_FILE_FAILED      = 8;
inline constexpr int TNTREE_RMD_FAILED       = 9;
inline constexpr int TNTREE_LOCAL_DIR_FAILED = 10;
inline constexpr int TNTREE_MKD_FAILED       = 12;
inline constexpr int TNTREE_PUT_FAILED       = 13;
inline constexpr int TNTREE_NAME_TOO_LONG    = 14;
// More library events arrived than the walker's queue holds before TnFtpTreeDispatch ran.
inline constexpr int TNTREE_QUEUE_FULL = 15;
// A folder lies more than TNTREE_MAX_DEPTH levels below the walk's folder (a server that shows
// a folder inside itself would otherwise lead the walk down for ever).
inline constexpr int TNTREE_TOO_DEEP = 16;
// The walk went through, but listed entries were skipped (unreadable lines, unsafe names):
// b = how many, instead of a library event.
inline constexpr int TNTREE_ENTRIES_SKIPPED = 17;
// A listing had more than TNFTP_MAX_LISTING_ENTRIES entries.
inline constexpr int TNTREE_LIST_TOO_LARGE = 18;

inline constexpr int TNTREE_MAX_DEPTH = 64;

using TnFtpTreeReportFn = void (*)(TnFtpSession* session, int kind, std::uintptr_t a,
                                   std::uintptr_t b);

// Called by TnFtpTreeLocalFs::enumerate once per entry of the current local directory.
using TnFtpTreeAddEntryFn = void (*)(void* walkerContext, const char* name, std::uint64_t size,
                                     int isDirectory);

// The walker's local file-system operations, all on the host's current local directory. Each
// answers nonzero on success.
struct TnFtpTreeLocalFs {
    int (*makeDirectory)(const char* name);    // an existing directory counts as success
    int (*changeDirectory)(const char* name);  // ".." goes up
    int (*currentDirectory)(char* buffer, std::uint32_t capacity);
    // Lists the current directory ("." and ".." may be given; they are ignored).
    int (*enumerate)(void* walkerContext, TnFtpTreeAddEntryFn add);
    // Size of an existing regular file; 0 when it does not exist or cannot be read.
    int (*fileSize)(const char* name, std::uint64_t* size);
};

// Starts the walker with its report callback and local file-system operations (both required;
// with either null the walker stays uninitialised). A build with TARNET_FTP_TREE 0 (tnsizes.h)
// leaves the walker out: it stays uninitialised and every start answers TNTREE_NOT_INITIALISED.
void TnFtpTreeInit(TnFtpTreeReportFn report, const TnFtpTreeLocalFs* localFs);
void TnFtpTreeDeinit();
int TnFtpTreeDelete(TnFtpSession* session, const char* folder);
int TnFtpTreeDownload(TnFtpSession* session, const char* folder, int overwrite);
int TnFtpTreeUpload(TnFtpSession* session, const char* folder);
// The host forwards every FTP library event of the session here while a walker operation runs.
void TnFtpTreeOnEvent(TnFtpSession* session, int event, const char* text, int textLength,
                      std::uintptr_t extra);
// Hands the queued events to the walker; call it on every pass of the loop.
void TnFtpTreeDispatch();
// The walker's current step by name ("idle", "download: listing", "upload: file", ...);
// "uninitialised" before TnFtpTreeInit. Read-only, for diagnostics.
const char* TnFtpTreeStep();

TARNET_API_END
