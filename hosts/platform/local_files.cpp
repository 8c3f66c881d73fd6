// Local files for the libraries' host services: POSIX descriptors with one read-ahead buffer,
// one gathering buffer for writes and side files for received files.
#include "local_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace tarnet::platform {

namespace {

struct FilesState {
    std::string lastError;
    bool writeFailed = false;  // gathered bytes failed after the library counted them
    int openFiles    = 0;
};

FilesState gFiles;

int Descriptor(LocalFile file) {
    return static_cast<int>(file) - 1;
}

LocalFile Handle(int fd) {
    return static_cast<LocalFile>(fd) + 1;
}

bool WriteAll(LocalFile file, const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(Descriptor(file), bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            LocalNoteError("cannot write", "the file");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Bytes accepted for one file and not yet written (one file receives at a time).
struct WriteBuffer {
    LocalFile owner  = 0;
    std::size_t used = 0;
    std::uint8_t bytes[64 * 1024];
};

WriteBuffer gWrite;

bool Flush() {
    const bool ok = gWrite.used == 0 || WriteAll(gWrite.owner, gWrite.bytes, gWrite.used);
    gWrite.used   = 0;
    gWrite.owner  = 0;
    return ok;
}

// A file being received: its bytes go to a side file in the target's folder, which replaces
// the target only when the transfer completed. The target keeps its old contents until then.
struct SideFile {
    LocalFile file = 0;
    std::string side;
    std::string target;
};

SideFile gSideFiles[4];

SideFile* SideFileOf(LocalFile file) {
    for (SideFile& s : gSideFiles) {
        if (s.file != 0 && s.file == file) {
            return &s;
        }
    }
    return nullptr;
}

// Bytes read ahead from one file and not yet handed out.
struct ReadBuffer {
    LocalFile owner = 0;
    std::size_t pos = 0;
    std::size_t len = 0;
    std::uint8_t bytes[64 * 1024];
};

ReadBuffer gRead;

// The next piece of the file into the read-ahead buffer: its size, 0 at the end, -1 on error.
ssize_t ReadSome(LocalFile file) {
    ssize_t n = 0;
    do {
        n = ::read(Descriptor(file), gRead.bytes, sizeof gRead.bytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        LocalNoteError("cannot read", "the file");
    }
    gRead.pos = 0;
    gRead.len = n > 0 ? static_cast<std::size_t>(n) : 0;
    return n;
}

// Another file is read now: the bytes read ahead go back to their file, so that reading it
// later goes on where its reader stopped.
void GiveBackReadAhead() {
    if (gRead.owner != 0 && gRead.pos < gRead.len) {
        ::lseek(Descriptor(gRead.owner), -static_cast<off_t>(gRead.len - gRead.pos), SEEK_CUR);
    }
    gRead = {};
}

// The buffers forget a file that is being closed; its gathered bytes are written first.
bool Detach(LocalFile file) {
    const bool ok = gWrite.owner != file || Flush();
    if (gRead.owner == file) {
        gRead = {};
    }
    return ok;
}

// Closes the descriptor; a failure (a file system that reports lost writes only now) is noted
// unless an earlier step of the same close already failed and named the cause.
bool CloseDescriptor(LocalFile file, bool okSoFar) {
    --gFiles.openFiles;
    if (::close(Descriptor(file)) == 0) {
        return okSoFar;
    }
    if (okSoFar) {
        LocalNoteError("cannot close", "the file");
    }
    return false;
}

// Opening never blocks the loop: a FIFO would wait for its other end, so the descriptor is
// opened non-blocking and only regular files (and, for writing, character devices such as
// /dev/null) are kept.
LocalFile OpenChecked(const char* path, int flags, bool forWriting) {
    const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
    if (fd < 0) {
        LocalNoteError(forWriting ? "cannot create" : "cannot open", path);
        return 0;
    }
    struct stat st {};
    const bool usable =
        ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (forWriting && S_ISCHR(st.st_mode)));
    if (!usable) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        LocalNoteError("not a regular file:", path);
        ::close(fd);
        return 0;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ++gFiles.openFiles;
    return Handle(fd);
}

// A file to receive as `path` (a regular file or none yet): a side file
// "folder/.tarnet-partial-XXXXXX" created afresh (never an existing file or link), with the
// permissions a new file would get.
LocalFile OpenSideFile(const char* path) {
    SideFile* slot = nullptr;
    for (SideFile& s : gSideFiles) {
        slot = slot == nullptr && s.file == 0 ? &s : slot;
    }
    if (slot == nullptr) {
        errno = EMFILE;
        LocalNoteError("cannot create", path);
        return 0;
    }
    const char* slash = std::strrchr(path, '/');
    std::string side =
        (slash != nullptr ? std::string(path, static_cast<std::size_t>(slash - path) + 1) : "") +
        ".tarnet-partial-XXXXXX";
    const int fd = ::mkostemp(side.data(), O_CLOEXEC);
    if (fd < 0) {
        LocalNoteError("cannot create", side.c_str());
        return 0;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ++gFiles.openFiles;
    slot->file   = Handle(fd);
    slot->side   = side;
    slot->target = path;
    return slot->file;
}

// The descriptor `path` names when it is one of the process's own (/proc/self/fd/1, /dev/fd/1,
// or /dev/stdout, a link to /proc/self/fd/1), -1 otherwise.
int OwnDescriptor(const char* path) {
    char own[PATH_MAX];
    char link[PATH_MAX];
    if (::realpath("/proc/self/fd", own) == nullptr) {
        return -1;
    }
    const ssize_t n           = ::readlink(path, link, sizeof link - 1);
    const std::string names[] = {path, n > 0 ? std::string(link, static_cast<std::size_t>(n)) : ""};
    for (const std::string& name : names) {
        const std::size_t slash = name.rfind('/');
        char folder[PATH_MAX];
        if (slash == std::string::npos || slash == 0 ||
            ::realpath(name.substr(0, slash).c_str(), folder) == nullptr ||
            std::strcmp(folder, own) != 0) {
            continue;
        }
        char* end     = nullptr;
        const long fd = std::strtol(name.c_str() + slash + 1, &end, 10);
        if (end != name.c_str() + slash + 1 && *end == '\0' && fd >= 0 && fd <= INT_MAX) {
            return static_cast<int>(fd);
        }
    }
    return -1;
}

// A copy of one of the process's own descriptors, open for writing on a regular file or a
// device. Written through the copy, the file keeps its offset and append mode (a shell's `>>`);
// a side file would instead replace the name itself, and /dev/stdout is a name in /dev.
LocalFile OpenOwnDescriptor(int own, const char* path) {
    const int fd = ::fcntl(own, F_DUPFD_CLOEXEC, 0);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || (::fcntl(fd, F_GETFL) & O_ACCMODE) == O_RDONLY ||
        !(S_ISREG(st.st_mode) || S_ISCHR(st.st_mode))) {
        errno = fd < 0 ? errno : EINVAL;
        LocalNoteError("cannot write to", path);
        if (fd >= 0) {
            ::close(fd);
        }
        return 0;
    }
    ++gFiles.openFiles;
    return Handle(fd);
}

LocalFile OpenForWriting(const char* path, int create) {
    if (const int own = OwnDescriptor(path); own >= 0) {
        return OpenOwnDescriptor(own, path);
    }
    struct stat st {};
    const bool exists = ::stat(path, &st) == 0;
    if (!exists && create == 0) {
        LocalNoteError("cannot open", path);
        return 0;
    }
    // A device (such as /dev/null) is written directly; a folder or FIFO is refused there.
    if (exists && !S_ISREG(st.st_mode)) {
        return OpenChecked(path, O_WRONLY | O_TRUNC, true);
    }
    return OpenSideFile(path);
}

// Closes a side file and, when the transfer completed and every byte reached it, puts it in
// the target's place; otherwise removes it.
int FinishSideFile(SideFile& slot, bool completed, bool ok) {
    const SideFile done = slot;
    slot                = SideFile{};
    if (completed && ok && ::rename(done.side.c_str(), done.target.c_str()) == 0) {
        return 1;
    }
    if (completed && ok) {
        LocalNoteError("cannot replace", done.target.c_str());
    }
    ::unlink(done.side.c_str());
    return completed ? 0 : 1;
}

}  // namespace

LocalFile LocalFileOpen(const char* path, int mode, int create) {
    if (path == nullptr || path[0] == '\0') {
        return 0;
    }
    if (mode == kLocalRead) {
        return OpenChecked(path, O_RDONLY, false);
    }
    return mode == kLocalWrite ? OpenForWriting(path, create) : 0;
}

int LocalFileFinish(LocalFile file, int completed) {
    if (file == 0) {
        return 0;
    }
    const bool ok  = CloseDescriptor(file, Detach(file));
    SideFile* side = SideFileOf(file);
    if (side == nullptr) {
        return ok || completed == 0 ? 1 : 0;
    }
    return FinishSideFile(*side, completed != 0, ok);
}

void LocalFileClose(LocalFile file) {
    if (file == 0) {
        return;
    }
    // Closing a received file without saying how the transfer ended keeps what arrived; bytes
    // the library counted as written and that never reached the file are a late failure.
    if (LocalFileFinish(file, 1) == 0) {
        gFiles.writeFailed = true;
    }
}

// A download arrives one TCP segment at a time; a system call per segment would cost about as
// much as the segment's whole trip through the stack, so the bytes are gathered first.
int LocalFileWrite(LocalFile file, const std::uint8_t* bytes, std::uint32_t count,
                   std::uint32_t* written) {
    if (written != nullptr) {
        *written = 0;
    }
    if (gWrite.owner != file && !Flush()) {
        gFiles.writeFailed = true;
    }
    if (gWrite.used + count > sizeof gWrite.bytes && !Flush()) {
        return 0;
    }
    gWrite.owner = file;
    if (count >= sizeof gWrite.bytes) {
        if (!WriteAll(file, bytes, count)) {
            return 0;
        }
    } else {
        std::memcpy(gWrite.bytes + gWrite.used, bytes, count);
        gWrite.used += count;
    }
    if (written != nullptr) {
        *written = count;
    }
    return 1;
}

// An upload asks for 2048 bytes at a time and an attachment for a few kilobytes; the file is
// read ahead in larger pieces so that a system call does not come with every chunk.
int LocalFileRead(LocalFile file, std::uint8_t* buffer, std::uint32_t capacity,
                  std::uint32_t* read) {
    if (gWrite.owner == file && !Flush()) {
        gFiles.writeFailed = true;
    }
    if (gRead.owner != file) {
        GiveBackReadAhead();
        gRead.owner = file;
    }
    std::uint32_t done = 0;
    bool ok            = true;
    while (done < capacity) {
        if (gRead.pos == gRead.len) {
            const ssize_t n = ReadSome(file);
            if (n <= 0) {
                ok = n == 0;
                break;
            }
        }
        const std::size_t take = std::min<std::size_t>(capacity - done, gRead.len - gRead.pos);
        std::memcpy(buffer + done, gRead.bytes + gRead.pos, take);
        gRead.pos += take;
        done += static_cast<std::uint32_t>(take);
    }
    if (read != nullptr) {
        *read = done;
    }
    return ok ? 1 : 0;
}

int LocalFileSize(LocalFile file, std::uint64_t* size) {
    struct stat st {};
    if (file == 0 || size == nullptr || ::fstat(Descriptor(file), &st) != 0 || st.st_size < 0) {
        return 0;
    }
    const std::size_t gathered = gWrite.owner == file ? gWrite.used : 0;
    *size                      = static_cast<std::uint64_t>(st.st_size) + gathered;
    return 1;
}

const std::string& LocalFileError() {
    return gFiles.lastError;
}

void LocalNoteError(const char* what, const char* name) {
    gFiles.lastError = std::string(what) + " " + name + ": " + std::strerror(errno);
}

bool LocalWriteFailed() {
    return gFiles.writeFailed;
}

void LocalClearFileError() {
    gFiles.lastError.clear();
    gFiles.writeFailed = false;
}

int LocalOpenFileCount() {
    return gFiles.openFiles;
}

}  // namespace tarnet::platform
