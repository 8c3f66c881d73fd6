// Folder walker: recursive delete, download and upload as chains of single FTP commands. It
// keeps one entry list per visited directory, moves the remote and the local current directory
// along with the walk, and runs its steps from TnFtpTreeDispatch, outside the library's
// callbacks, when the session is idle again.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "ftp_internal.h"

#if TARNET_FTP_TREE

namespace {

// What a walker step is handed: the start of an operation, or a library event translated.
enum class TreeEvent : std::uint8_t {
    kStartDelete,
    kStartDownload,
    kStartUpload,
    kCwdDone,
    kCwdFailed,
    kDeleDone,
    kDeleFailed,
    kListing,
    kRmdDone,
    kMkdDone,
    kRmdFailed,
    kMkdFailed,
    kFailure,
    kBytesReceived,
    kBytesSent,
    kSendComplete,
    kReceiveComplete,
    kNone,  // a library event the walker does not take
};
using enum TreeEvent;

enum class Operation { Delete = 0, Download = 1, Upload = 2 };

constexpr std::size_t kQueueSize   = 10;
constexpr std::size_t kLocalName   = 260;
constexpr std::size_t kSavedDirMax = TARNET_FTP_LOCAL_DIR;

// Every walker step has this shape; the current one is kept in the walker's state.
using TreeStep = void (*)(TnFtpSession* s, TreeEvent event, const void* data, std::uint32_t length,
                          int libraryEvent);

struct QueueEntry {
    TreeEvent event;
    int libraryEvent;
    TnFtpSession* session;
    char* data;
    std::uint32_t length;
};

struct Walker {
    bool initialised;
    TreeStep step;
    TnFtpTreeReportFn report;
    TnFtpTreeLocalFs fs;
    TnList root;
    TnList* current;
    char savedDir[kSavedDirMax];
    bool savedDirKnown;  // false: the start folder could not be read, there is none to go back to
    char folder[kLocalName];
    int overwrite;
    int depth;              // levels below the walk's folder
    std::uint32_t skipped;  // listed entries passed over that the walk should have handled
    std::uint64_t bytesDone;
    std::uint64_t fileSize;
    Operation operation;
    TnFtpSession* session;
    QueueEntry queue[kQueueSize];
    std::size_t readIndex;
    std::size_t count;
    int pendingFailure;  // a queue overflow or a listing copy that could not be kept
    int pendingFailureEvent;
};

Walker g_walker{};

void StepIdle(TnFtpSession*, TreeEvent, const void*, std::uint32_t, int) {}

// ---- Tree --------------------------------------------------------------------------------

void FreeTree() {
    TnListFreeAll(&g_walker.root);
    TnListInit(&g_walker.root);
    g_walker.current = nullptr;
}

void Report(int kind, std::uintptr_t a, std::uintptr_t b) {
    g_walker.report(g_walker.session, kind, a, b);
}

const char* NameOf(const TnListNode* node) {
    return static_cast<const char*>(node->payload);
}
const char* SizeOf(const TnListNode* node) {
    return static_cast<const char*>(node->extra1);
}
bool IsDirectory(const TnListNode* node) {
    return node->extra2 != nullptr && static_cast<const char*>(node->extra2)[0] == 'd';
}

std::uint64_t ToSize(const char* text) {
    std::uint64_t value = 0;
    for (; text != nullptr && *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + static_cast<std::uint64_t>(*text - '0');
    }
    return value;
}

void Fail(int code, int libraryEvent) {
    FreeTree();
    g_walker.step = StepIdle;
    if (g_walker.operation != Operation::Delete && g_walker.savedDirKnown) {
        g_walker.fs.changeDirectory(g_walker.savedDir);
    }
    Report(static_cast<int>(g_walker.operation), static_cast<std::uintptr_t>(code),
           static_cast<std::uintptr_t>(libraryEvent));
}

// The end of a walk that went through: done, or failed with the count when it passed over
// entries it could not handle (the folder is not complete).
void Finish(int kind) {
    if (g_walker.skipped > 0) {
        Fail(TNTREE_ENTRIES_SKIPPED, static_cast<int>(g_walker.skipped));
        return;
    }
    FreeTree();
    g_walker.step = StepIdle;
    Report(kind, 0, 0);
}

// Root list with one entry (the folder) whose child list becomes the current list.
bool CommonStart(const char* folder) {
    FreeTree();
    TnListNode* node =
        TnListAppendCopy(&g_walker.root, folder, static_cast<int>(std::strlen(folder)));
    if (node == nullptr || node->children == nullptr) {
        return false;
    }
    node->children->parent = &g_walker.root;
    g_walker.root.cursor   = nullptr;
    g_walker.current       = node->children;
    return true;
}

// Makes a directory entry's child list current (its cursor at the start). 0, or the walker
// result that ends the walk.
int Descend(TnListNode* node) {
    if (g_walker.depth >= TNTREE_MAX_DEPTH) {
        return TNTREE_TOO_DEEP;
    }
    if (node->children == nullptr) {
        return TNTREE_NO_MEMORY;
    }
    node->children->parent = g_walker.current;
    node->children->cursor = nullptr;
    g_walker.current       = node->children;
    ++g_walker.depth;
    return 0;
}

void Skip(const char* name, int why) {
    if (why != TNTREE_SKIP_LINK && why != TNTREE_SKIP_PRESENT) {
        ++g_walker.skipped;
    }
    Report(TNTREE_REP_ENTRY_SKIPPED, reinterpret_cast<std::uintptr_t>(name),
           static_cast<std::uintptr_t>(why));
}

// A listed link ("name -> target") is deleted as itself: its name is cut before the arrow.
void CutLinkTarget(TnListNode* node) {
    auto* name              = static_cast<char*>(node->payload);
    const std::size_t arrow = tarnet::netclient::FindText(name, " -> ");
    if (arrow != std::string_view::npos) {
        name[arrow] = '\0';
    }
}

// A listed name that is safe to use as one path component, here and on the server: no
// separators, no "." or "..", no control bytes (CR or LF would also end the command line).
bool SafeName(const char* name) {
    if (name[0] == '\0' || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return false;
    }
    for (const char* p = name; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// The next entry of the current list to work on, or null when none is left. "." and ".." are
// passed over; unsafe names and links are passed over with a report.
TnListNode* NextEntry() {
    TnList* list = g_walker.current;
    while (list->cursor != nullptr) {
        TnListNode* node = list->cursor;
        const char* name = NameOf(node);
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            list->cursor = node->next;
            continue;
        }
        if (g_walker.operation != Operation::Upload) {
            const char* type = static_cast<const char*>(node->extra2);
            if (type != nullptr && type[0] == 'l') {
                if (g_walker.operation == Operation::Download) {
                    // A link is not followed: the walk stays inside the folder it was given.
                    list->cursor = node->next;
                    Skip(name, TNTREE_SKIP_LINK);
                    continue;
                }
                CutLinkTarget(node);
            }
            if (!SafeName(name)) {
                list->cursor = node->next;
                Skip(name, TNTREE_SKIP_UNSAFE_NAME);
                continue;
            }
        }
        return node;
    }
    return nullptr;
}

// Goes up one level at the end of a list: step `notRoot` or `atRoot` and CWD "..".
void GoUp(TreeStep notRoot, TreeStep atRoot) {
    g_walker.current = g_walker.current->parent;
    --g_walker.depth;
    if (g_walker.operation != Operation::Delete && g_walker.fs.changeDirectory("..") == 0) {
        Fail(TNTREE_LOCAL_DIR_FAILED, 0);
        return;
    }
    g_walker.step = g_walker.current != &g_walker.root ? notRoot : atRoot;
    if (TnFtpCwd(g_walker.session, "..") != TNFTP_OK) {
        Fail(TNTREE_CWD_FAILED, 0);
    }
}

void ReportPercent() {
    if (g_walker.fileSize != 0) {
        Report(TNTREE_REP_PERCENT,
               tarnet::netclient::Percent(g_walker.bytesDone, g_walker.fileSize), 0);
    }
}

bool IsFailure(TreeEvent event) {
    return event == kFailure;
}

// Parses a delivered listing into the current list, reporting the lines it left out. 0, or the
// walker result that ends the walk.
int TakeListing(const void* data, std::uint32_t length) {
    TnFtpListingSkips skips{};
    if (TnFtpParseListingSkips(static_cast<const char*>(data), length, g_walker.current, &skips) <
        0) {
        return TNTREE_NO_MEMORY;
    }
    if (skips.overCap > 0) {
        return TNTREE_LIST_TOO_LARGE;
    }
    for (std::uint32_t i = 0; i < skips.overlong; ++i) {
        Skip(nullptr, TNTREE_SKIP_LINE_TOO_LONG);
    }
    for (std::uint32_t i = 0; i < skips.unreadable; ++i) {
        Skip(nullptr, TNTREE_SKIP_UNREADABLE);
    }
    g_walker.current->cursor = g_walker.current->first;
    return 0;
}

// ---- Recursive delete --------------------------------------------------------------------

void DelEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void DelListing(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib);
void DelDeleted(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void DelGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void DelRemoved(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);

void DelNext() {
    TnListNode* node = NextEntry();
    if (node == nullptr) {
        GoUp(DelGoneUp, DelGoneUp);
        return;
    }
    g_walker.current->cursor = node->next;
    if (!IsDirectory(node)) {
        Report(TNTREE_REP_DELETE_ITEM, reinterpret_cast<std::uintptr_t>(NameOf(node)), 1);
        g_walker.step = DelDeleted;
        if (TnFtpDele(g_walker.session, NameOf(node)) != TNFTP_OK) {
            Fail(TNTREE_FILE_FAILED, 0);
        }
        return;
    }
    if (const int failure = Descend(node); failure != 0) {
        Fail(failure, 0);
        return;
    }
    g_walker.step = DelEntered;
    if (TnFtpCwd(g_walker.session, NameOf(node)) != TNFTP_OK) {
        Fail(TNTREE_CWD_FAILED, 0);
    }
}

void DelEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        g_walker.step = DelListing;
        if (TnFtpList(g_walker.session) != TNFTP_OK) {
            Fail(TNTREE_CWD_FAILED, 0);
        }
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void DelListing(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib) {
    if (event == kListing) {
        if (const int failure = TakeListing(data, length); failure != 0) {
            Fail(failure, 0);
            return;
        }
        DelNext();
    } else if (IsFailure(event)) {
        Fail(TNTREE_LIST_FAILED, lib);
    }
}

void DelDeleted(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kDeleDone) {
        Report(TNTREE_REP_DELETE_ITEM, 0, 2);
        DelNext();
    } else if (event == kDeleFailed || IsFailure(event)) {
        Fail(TNTREE_FILE_FAILED, libraryEvent);
    }
}

void DelGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        const TnList* list        = g_walker.current;
        const TnListNode* emptied = list->cursor != nullptr ? list->cursor->prev : list->last;
        if (emptied == nullptr) {
            Fail(TNTREE_RMD_FAILED, 0);
            return;
        }
        Report(TNTREE_REP_DELETE_ITEM, reinterpret_cast<std::uintptr_t>(NameOf(emptied)), 1);
        g_walker.step = DelRemoved;
        if (TnFtpRmd(g_walker.session, NameOf(emptied)) != TNFTP_OK) {
            Fail(TNTREE_RMD_FAILED, 0);
        }
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void DelRemoved(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kRmdDone) {
        Report(TNTREE_REP_DELETE_ITEM, 0, 2);
        if (g_walker.current == &g_walker.root) {
            Finish(TNTREE_REP_DELETE_DONE);
        } else {
            DelNext();
        }
    } else if (event == kRmdFailed || IsFailure(event)) {
        Fail(TNTREE_RMD_FAILED, libraryEvent);
    }
}

void DelStart() {
    if (!CommonStart(g_walker.folder)) {
        Fail(TNTREE_NO_MEMORY, 0);
        return;
    }
    g_walker.step = DelEntered;
    if (TnFtpCwd(g_walker.session, g_walker.folder) != TNFTP_OK) {
        Fail(TNTREE_CWD_FAILED, 0);
    }
}

// ---- Recursive download ------------------------------------------------------------------

void GetEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void GetListing(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib);
void GetFile(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib);
void GetGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void GetFinished(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);

void GetNext() {
    for (;;) {
        TnListNode* node = NextEntry();
        if (node == nullptr) {
            GoUp(GetGoneUp, GetFinished);
            return;
        }
        g_walker.current->cursor = node->next;
        const char* name         = NameOf(node);
        if (IsDirectory(node)) {
            // A local folder that cannot be entered would leave the files in its parent and
            // the later ".." above the target: stop instead.
            if (const int failure = Descend(node); failure != 0) {
                Fail(failure, 0);
                return;
            }
            g_walker.fs.makeDirectory(name);
            if (g_walker.fs.changeDirectory(name) == 0) {
                Fail(TNTREE_LOCAL_DIR_FAILED, 0);
                return;
            }
            g_walker.step = GetEntered;
            if (TnFtpCwd(g_walker.session, name) != TNFTP_OK) {
                Fail(TNTREE_CWD_FAILED, 0);
            }
            return;
        }
        g_walker.fileSize       = ToSize(SizeOf(node));
        std::uint64_t localSize = 0;
        if (g_walker.overwrite == 0 && g_walker.fs.fileSize(name, &localSize) != 0 &&
            localSize == g_walker.fileSize) {
            Skip(name, TNTREE_SKIP_PRESENT);  // already here with the same size
            continue;
        }
        Report(TNTREE_REP_DOWNLOAD_ITEM, reinterpret_cast<std::uintptr_t>(name), 1);
        g_walker.step = GetFile;
        Report(TNTREE_REP_PERCENT, 0, 0);
        g_walker.bytesDone = 0;
        if (TnFtpGetFile(g_walker.session, name, static_cast<std::uint32_t>(g_walker.fileSize),
                         static_cast<std::uint32_t>(g_walker.fileSize >> 32)) != TNFTP_OK) {
            Fail(TNTREE_FILE_FAILED, 0);
        }
        return;
    }
}

void GetEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        g_walker.step = GetListing;
        if (TnFtpList(g_walker.session) != TNFTP_OK) {
            Fail(TNTREE_LIST_FAILED, 0);
        }
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void GetListing(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib) {
    if (event == kListing) {
        if (const int failure = TakeListing(data, length); failure != 0) {
            Fail(failure, 0);
            return;
        }
        GetNext();
    } else if (IsFailure(event)) {
        Fail(TNTREE_LIST_FAILED, lib);
    }
}

void GetFile(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t, int lib) {
    if (event == kBytesReceived) {
        g_walker.bytesDone += reinterpret_cast<std::uintptr_t>(data);
        ReportPercent();
    } else if (event == kReceiveComplete) {
        Report(TNTREE_REP_PERCENT, 100, 0);
        Report(TNTREE_REP_DOWNLOAD_ITEM, 0, 2);
        GetNext();
    } else if (IsFailure(event)) {
        Fail(TNTREE_FILE_FAILED, lib);
    }
}

void GetGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        GetNext();
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void GetFinished(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        Finish(TNTREE_REP_DOWNLOAD_DONE);
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void GetStart() {
    g_walker.fs.makeDirectory(g_walker.folder);
    if (g_walker.fs.changeDirectory(g_walker.folder) == 0) {
        Fail(TNTREE_LOCAL_DIR_FAILED, 0);
        return;
    }
    if (!CommonStart(g_walker.folder)) {
        Fail(TNTREE_NO_MEMORY, 0);
        return;
    }
    g_walker.step = GetEntered;
    if (TnFtpCwd(g_walker.session, g_walker.folder) != TNFTP_OK) {
        Fail(TNTREE_CWD_FAILED, 0);
    }
}

// ---- Recursive upload --------------------------------------------------------------------

void PutMade(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void PutEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void PutFile(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t length, int lib);
void PutGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);
void PutFinished(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent);

bool g_enumerateFailed = false;

void AddLocalEntry(void*, const char* name, std::uint64_t size, int isDirectory) {
    if (g_enumerateFailed || std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
        return;
    }
    TnListNode* node =
        TnListAppendCopy(g_walker.current, name, static_cast<int>(std::strlen(name)));
    if (node == nullptr) {
        g_enumerateFailed = true;
        return;
    }
    char sizeText[24];
    tarnet::netclient::TextOut text(sizeText, sizeof sizeText);
    text.Number(size);
    TnListSetExtra1(node, sizeText, static_cast<int>(text.Length()));
    TnListSetExtra2(node, isDirectory ? "d" : " ", 1);
    g_enumerateFailed = node->extra1 == nullptr || node->extra2 == nullptr;
}

void PutNext() {
    TnListNode* node = NextEntry();
    if (node == nullptr) {
        GoUp(PutGoneUp, PutFinished);
        return;
    }
    g_walker.current->cursor = node->next;
    const char* name         = NameOf(node);
    if (!IsDirectory(node)) {
        g_walker.bytesDone = 0;
        g_walker.fileSize  = ToSize(SizeOf(node));
        Report(TNTREE_REP_UPLOAD_ITEM, reinterpret_cast<std::uintptr_t>(name), 1);
        g_walker.step = PutFile;
        Report(TNTREE_REP_PERCENT, 0, 0);
        if (TnFtpPutFile(g_walker.session, name) != TNFTP_OK) {
            Fail(TNTREE_PUT_FAILED, 0);
        }
        return;
    }
    if (const int failure = Descend(node); failure != 0) {
        Fail(failure, 0);
        return;
    }
    if (std::strlen(name) >= kLocalName) {
        Fail(TNTREE_NAME_TOO_LONG, 0);
        return;
    }
    if (g_walker.fs.changeDirectory(name) == 0) {
        Fail(TNTREE_LOCAL_DIR_FAILED, 0);
        return;
    }
    std::memcpy(g_walker.folder, name, std::strlen(name) + 1);
    g_walker.step = PutMade;
    if (TnFtpMkd(g_walker.session, name) != TNFTP_OK) {
        Fail(TNTREE_MKD_FAILED, 0);
    }
}

void PutMade(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kMkdDone) {
        g_walker.step = PutEntered;
        if (TnFtpCwd(g_walker.session, g_walker.folder) != TNFTP_OK) {
            Fail(TNTREE_MKD_FAILED, 0);
        }
    } else if (event == kMkdFailed || IsFailure(event)) {
        Fail(TNTREE_MKD_FAILED, libraryEvent);
    }
}

void PutEntered(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        g_enumerateFailed = false;
        if (g_walker.fs.enumerate(nullptr, AddLocalEntry) == 0 || g_enumerateFailed) {
            Fail(g_enumerateFailed ? TNTREE_NO_MEMORY : TNTREE_LOCAL_DIR_FAILED, 0);
            return;
        }
        g_walker.current->cursor = g_walker.current->first;
        PutNext();
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void PutFile(TnFtpSession*, TreeEvent event, const void* data, std::uint32_t, int lib) {
    if (event == kBytesSent) {
        g_walker.bytesDone += reinterpret_cast<std::uintptr_t>(data);
        ReportPercent();
    } else if (event == kSendComplete) {
        Report(TNTREE_REP_PERCENT, 100, 0);
        Report(TNTREE_REP_UPLOAD_ITEM, 0, 2);
        PutNext();
    } else if (IsFailure(event)) {
        Fail(TNTREE_FILE_FAILED, lib);
    }
}

void PutGoneUp(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        PutNext();
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void PutFinished(TnFtpSession*, TreeEvent event, const void*, std::uint32_t, int libraryEvent) {
    if (event == kCwdDone) {
        Finish(TNTREE_REP_UPLOAD_DONE);
    } else if (event == kCwdFailed || IsFailure(event)) {
        Fail(TNTREE_CWD_FAILED, libraryEvent);
    }
}

void PutStart() {
    if (!CommonStart(g_walker.folder)) {
        Fail(TNTREE_NO_MEMORY, 0);
        return;
    }
    g_walker.step = PutMade;
    if (TnFtpMkd(g_walker.session, g_walker.folder) != TNFTP_OK) {
        Fail(TNTREE_CWD_FAILED, 0);
    }
}

// ---- Step names (TnFtpTreeStep) ----------------------------------------------------------

struct TreeStepName {
    TreeStep step;
    const char* name;
};

constexpr TreeStepName kTreeSteps[] = {
    {StepIdle,    "idle"              },
    {DelEntered,  "delete: entered"   },
    {DelListing,  "delete: listing"   },
    {DelDeleted,  "delete: file"      },
    {DelGoneUp,   "delete: gone up"   },
    {DelRemoved,  "delete: removed"   },
    {GetEntered,  "download: entered" },
    {GetListing,  "download: listing" },
    {GetFile,     "download: file"    },
    {GetGoneUp,   "download: gone up" },
    {GetFinished, "download: finished"},
    {PutMade,     "upload: made"      },
    {PutEntered,  "upload: entered"   },
    {PutFile,     "upload: file"      },
    {PutGoneUp,   "upload: gone up"   },
    {PutFinished, "upload: finished"  },
};

// ---- Queue -------------------------------------------------------------------------------

// The walker event of each library event (TNFTP_EV_LOGGED_IN to TNFTP_EV_BYTES_RECEIVED).
constexpr TreeEvent kTreeEventOf[] = {
    kNone,
    kFailure,
    kNone,
    kFailure,
    kFailure,
    kFailure,
    kFailure,
    kFailure,
    kFailure,
    kListing,
    kCwdFailed,
    kCwdDone,
    kReceiveComplete,
    kSendComplete,
    kFailure,
    kFailure,
    kFailure,
    kFailure,
    kMkdFailed,
    kMkdDone,
    kRmdFailed,
    kRmdDone,
    kDeleFailed,
    kDeleDone,
    kNone,
    kNone,
    kNone,
    kNone,
    kNone,
    kBytesSent,
    kBytesReceived,
};
static_assert(std::size(kTreeEventOf) == TNFTP_EV_BYTES_RECEIVED + 1);

TreeEvent Translate(int event) {
    return event >= 0 && event < static_cast<int>(std::size(kTreeEventOf)) ? kTreeEventOf[event]
                                                                           : kNone;
}

void ClearQueue() {
    while (g_walker.count > 0) {
        std::free(g_walker.queue[g_walker.readIndex].data);
        g_walker.readIndex = (g_walker.readIndex + 1) % kQueueSize;
        --g_walker.count;
    }
    g_walker.readIndex = 0;
}

void SetPendingFailure(int code, int libraryEvent) {
    if (g_walker.pendingFailure == 0) {
        g_walker.pendingFailure      = code;
        g_walker.pendingFailureEvent = libraryEvent;
    }
}

int StartChecks(TnFtpSession* session, const char* folder) {
    if (!g_walker.initialised) {
        return TNTREE_NOT_INITIALISED;
    }
    if (session == nullptr || folder == nullptr || folder[0] == '\0' ||
        std::strlen(folder) >= kLocalName) {
        return TNTREE_BAD_PARAMETER;
    }
    if (g_walker.step != StepIdle) {
        return TNTREE_BUSY;
    }
    return TNTREE_STARTED;
}

void BeginOperation(TnFtpSession* session, const char* folder, Operation operation) {
    ClearQueue();
    g_walker.pendingFailure = 0;
    g_walker.session        = session;
    g_walker.operation      = operation;
    g_walker.depth          = 0;
    g_walker.skipped        = 0;
    std::memcpy(g_walker.folder, folder, std::strlen(folder) + 1);
}

bool SaveLocalDirectory() {
    g_walker.savedDirKnown =
        g_walker.fs.currentDirectory(g_walker.savedDir, sizeof g_walker.savedDir) != 0;
    return g_walker.savedDirKnown;
}

}  // namespace

void TnFtpTreeInit(TnFtpTreeReportFn report, const TnFtpTreeLocalFs* localFs) {
    if (report == nullptr || localFs == nullptr || localFs->makeDirectory == nullptr ||
        localFs->changeDirectory == nullptr || localFs->currentDirectory == nullptr ||
        localFs->enumerate == nullptr || localFs->fileSize == nullptr) {
        return;
    }
    if (g_walker.initialised) {
        TnFtpTreeDeinit();
    }
    g_walker             = Walker{};
    g_walker.report      = report;
    g_walker.fs          = *localFs;
    g_walker.step        = StepIdle;
    g_walker.initialised = true;
    TnListInit(&g_walker.root);
}

void TnFtpTreeDeinit() {
    if (!g_walker.initialised) {
        return;
    }
    FreeTree();
    ClearQueue();
    g_walker.step        = StepIdle;
    g_walker.initialised = false;
}

int TnFtpTreeDelete(TnFtpSession* session, const char* folder) {
    const int check = StartChecks(session, folder);
    if (check != TNTREE_STARTED) {
        return check;
    }
    BeginOperation(session, folder, Operation::Delete);
    DelStart();
    return TNTREE_STARTED;
}

int TnFtpTreeDownload(TnFtpSession* session, const char* folder, int overwrite) {
    const int check = StartChecks(session, folder);
    if (check != TNTREE_STARTED) {
        return check;
    }
    BeginOperation(session, folder, Operation::Download);
    g_walker.overwrite = overwrite;
    if (!SaveLocalDirectory()) {
        Fail(TNTREE_LOCAL_DIR_FAILED, 0);
        return TNTREE_STARTED;
    }
    GetStart();
    return TNTREE_STARTED;
}

int TnFtpTreeUpload(TnFtpSession* session, const char* folder) {
    const int check = StartChecks(session, folder);
    if (check != TNTREE_STARTED) {
        return check;
    }
    if (!SaveLocalDirectory() || g_walker.fs.changeDirectory(folder) == 0) {
        return TNTREE_LOCAL_DIR_FAILED;
    }
    BeginOperation(session, folder, Operation::Upload);
    PutStart();
    return TNTREE_STARTED;
}

void TnFtpTreeOnEvent(TnFtpSession* session, int event, const char* text, int textLength,
                      std::uintptr_t extra) {
    if (!g_walker.initialised || g_walker.step == StepIdle || session != g_walker.session) {
        return;
    }
    const TreeEvent walkerEvent = Translate(event);
    if (walkerEvent == kBytesSent || walkerEvent == kBytesReceived) {
        g_walker.step(session, walkerEvent, reinterpret_cast<const void*>(extra), 0, event);
        return;
    }
    if (walkerEvent == kNone) {
        return;
    }
    if (g_walker.count == kQueueSize) {
        SetPendingFailure(TNTREE_QUEUE_FULL, event);
        return;
    }
    QueueEntry entry{walkerEvent, event, session, nullptr, 0};
    if (event == TNFTP_EV_LISTING && text != nullptr && textLength > 0) {
        entry.data = static_cast<char*>(std::malloc(static_cast<std::size_t>(textLength)));
        if (entry.data == nullptr) {
            SetPendingFailure(TNTREE_NO_MEMORY, event);
            return;
        }
        std::memcpy(entry.data, text, static_cast<std::size_t>(textLength));
        entry.length = static_cast<std::uint32_t>(textLength);
    }
    g_walker.queue[(g_walker.readIndex + g_walker.count) % kQueueSize] = entry;
    ++g_walker.count;
}

void TnFtpTreeDispatch() {
    if (!g_walker.initialised) {
        return;
    }
    if (g_walker.pendingFailure != 0) {
        const int code          = g_walker.pendingFailure;
        const int event         = g_walker.pendingFailureEvent;
        g_walker.pendingFailure = 0;
        ClearQueue();
        if (g_walker.step != StepIdle) {
            Fail(code, event);
        }
        return;
    }
    while (g_walker.count > 0) {
        QueueEntry entry   = g_walker.queue[g_walker.readIndex];
        g_walker.readIndex = (g_walker.readIndex + 1) % kQueueSize;
        --g_walker.count;
        g_walker.step(entry.session, entry.event, entry.data, entry.length, entry.libraryEvent);
        std::free(entry.data);
    }
}

const char* TnFtpTreeStep() {
    if (!g_walker.initialised) {
        return "uninitialised";
    }
    for (const TreeStepName& entry : kTreeSteps) {
        if (entry.step == g_walker.step) {
            return entry.name;
        }
    }
    return "?";
}

#else  // the walker is left out of this build (TARNET_FTP_TREE 0): it never starts

void TnFtpTreeInit(TnFtpTreeReportFn, const TnFtpTreeLocalFs*) {}
void TnFtpTreeDeinit() {}
int TnFtpTreeDelete(TnFtpSession*, const char*) {
    return TNTREE_NOT_INITIALISED;
}
int TnFtpTreeDownload(TnFtpSession*, const char*, int) {
    return TNTREE_NOT_INITIALISED;
}
int TnFtpTreeUpload(TnFtpSession*, const char*) {
    return TNTREE_NOT_INITIALISED;
}
void TnFtpTreeOnEvent(TnFtpSession*, int, const char*, int, std::uintptr_t) {}
void TnFtpTreeDispatch() {}
const char* TnFtpTreeStep() {
    return "uninitialised";
}

#endif
