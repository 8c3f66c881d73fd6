// Local files and folders for the FTP library on Linux.
#include "ftp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "host.h"

namespace tarnet::platform {

namespace {

struct FilesState {
    std::string mapFrom;  // the library's name of the next open to redirect
    std::string mapTo;
    bool mapped = false;
    std::string lastError;
    bool writeFailed = false;  // a buffered write failed after the library counted it
    int openFiles    = 0;
};

FilesState gFiles;

void NoteError(const char* what, const char* name) {
    gFiles.lastError = std::string(what) + " " + name + ": " + std::strerror(errno);
}

int Descriptor(TnFtpFile file) {
    return static_cast<int>(file) - 1;
}

bool WriteAll(TnFtpFile file, const std::uint8_t* bytes, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::write(Descriptor(file), bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            NoteError("cannot write", "the file");
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Bytes accepted for one file and not yet written (one file receives at a time).
struct WriteBuffer {
    TnFtpFile owner  = 0;
    std::size_t used = 0;
    std::uint8_t bytes[64 * 1024];
};

WriteBuffer gWrite;

// A download in progress: its bytes go to a side file in the target's folder, which replaces
// the target only when the download completed. The target keeps its old contents until then.
struct Download {
    TnFtpFile file = 0;
    std::string side;
    std::string target;
};

Download gDownloads[4];

Download* DownloadOf(TnFtpFile file) {
    for (Download& d : gDownloads) {
        if (d.file != 0 && d.file == file) {
            return &d;
        }
    }
    return nullptr;
}

// Bytes read ahead from one file and not yet handed out.
struct ReadBuffer {
    TnFtpFile owner = 0;
    std::size_t pos = 0;
    std::size_t len = 0;
    std::uint8_t bytes[64 * 1024];
};

ReadBuffer gRead;

// The next piece of the file into the read-ahead buffer: its size, 0 at the end, -1 on error.
ssize_t ReadSome(TnFtpFile file) {
    ssize_t n = 0;
    do {
        n = ::read(Descriptor(file), gRead.bytes, sizeof gRead.bytes);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        NoteError("cannot read", "the file");
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

bool Flush() {
    const bool ok = gWrite.used == 0 || WriteAll(gWrite.owner, gWrite.bytes, gWrite.used);
    gWrite.used   = 0;
    gWrite.owner  = 0;
    return ok;
}

// Opening never blocks the loop: a FIFO would wait for its other end, so the descriptor is
// opened non-blocking and only regular files (and, for writing, character devices such as
// /dev/null) are kept.
TnFtpFile OpenChecked(const char* path, int flags, bool forWriting) {
    const int fd = ::open(path, flags | O_NONBLOCK | O_CLOEXEC, 0644);
    if (fd < 0) {
        NoteError(forWriting ? "cannot create" : "cannot open", path);
        return 0;
    }
    struct stat st {};
    const bool usable =
        ::fstat(fd, &st) == 0 && (S_ISREG(st.st_mode) || (forWriting && S_ISCHR(st.st_mode)));
    if (!usable) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        NoteError("not a regular file:", path);
        ::close(fd);
        return 0;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    ++gFiles.openFiles;
    return static_cast<TnFtpFile>(fd) + 1;
}

// A download of `path` (a regular file or none yet): a side file "folder/.tarnet-partial-XXXXXX"
// created afresh (never an existing file or link), with the permissions a new file would get.
TnFtpFile OpenDownload(const char* path) {
    Download* slot = nullptr;
    for (Download& d : gDownloads) {
        slot = slot == nullptr && d.file == 0 ? &d : slot;
    }
    if (slot == nullptr) {
        errno = EMFILE;
        NoteError("cannot create", path);
        return 0;
    }
    const char* slash = std::strrchr(path, '/');
    std::string side =
        (slash != nullptr ? std::string(path, static_cast<std::size_t>(slash - path) + 1) : "") +
        ".tarnet-partial-XXXXXX";
    const int fd = ::mkostemp(side.data(), O_CLOEXEC);
    if (fd < 0) {
        NoteError("cannot create", side.c_str());
        return 0;
    }
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fd, 0666 & ~mask);
    ++gFiles.openFiles;
    slot->file   = static_cast<TnFtpFile>(fd) + 1;
    slot->side   = side;
    slot->target = path;
    return slot->file;
}

// ---- walker operations ------------------------------------------------------------------------

// A folder one step below the current one whose full path would not fit PATH_MAX. Such a
// folder can be made and entered step by step, but no path names it afterwards (nor can the
// walk name its start folder from there): the walk stops instead. Sets errno when true.
bool PathTooLong(const char* name) {
    if (name[0] == '/' || std::strcmp(name, "..") == 0) {
        return false;
    }
    char cwd[PATH_MAX];
    if (::getcwd(cwd, sizeof cwd) != nullptr &&
        std::strlen(cwd) + 1 + std::strlen(name) < sizeof cwd) {
        return false;
    }
    errno = ENAMETOOLONG;
    return true;
}

// Folders the walker creates or enters are never symbolic links: a listing could otherwise name
// a local link and lead the walk, and the files it writes, out of the folder it was given.
int MakeDirectory(const char* name) {
    if (PathTooLong(name)) {
        NoteError("cannot create folder", name);
        return 0;
    }
    if (::mkdir(name, 0755) == 0) {
        return 1;
    }
    struct stat st {};
    if (errno == EEXIST && ::lstat(name, &st) == 0 && S_ISDIR(st.st_mode)) {
        return 1;
    }
    if (errno == EEXIST && S_ISLNK(st.st_mode)) {
        errno = ELOOP;
    }
    NoteError("cannot create folder", name);
    return 0;
}

int ChangeDirectory(const char* name) {
    if (PathTooLong(name)) {
        NoteError("cannot enter folder", name);
        return 0;
    }
    if (std::strcmp(name, "..") == 0) {
        if (::chdir(name) == 0) {
            return 1;
        }
        NoteError("cannot enter folder", name);
        return 0;
    }
    const int fd       = ::open(name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    const bool entered = fd >= 0 && ::fchdir(fd) == 0;
    const int error    = errno;
    if (fd >= 0) {
        ::close(fd);
    }
    if (entered) {
        return 1;
    }
    errno = error;
    NoteError(error == ELOOP ? "a symbolic link, not entered:" : "cannot enter folder", name);
    return 0;
}

int CurrentDirectory(char* buffer, std::uint32_t capacity) {
    return ::getcwd(buffer, capacity) != nullptr ? 1 : 0;
}

// Regular files and folders only. A symbolic link to a file is sent as that file; one to a
// folder is left out, so that a link back up the tree cannot make the walk endless.
int Enumerate(void* walkerContext, TnFtpTreeAddEntryFn add) {
    DIR* dir = ::opendir(".");
    if (dir == nullptr) {
        NoteError("cannot read folder", ".");
        return 0;
    }
    while (const dirent* entry = ::readdir(dir)) {
        const char* name = entry->d_name;
        if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
            continue;
        }
        struct stat link {};
        struct stat target {};
        if (::lstat(name, &link) != 0 || ::stat(name, &target) != 0) {
            continue;
        }
        if (S_ISREG(target.st_mode)) {
            add(walkerContext, name, static_cast<std::uint64_t>(target.st_size), 0);
        } else if (S_ISDIR(target.st_mode) && !S_ISLNK(link.st_mode)) {
            add(walkerContext, name, 0, 1);
        }
    }
    ::closedir(dir);
    return 1;
}

int FileSize(const char* name, std::uint64_t* size) {
    struct stat st {};
    if (::stat(name, &st) != 0 || !S_ISREG(st.st_mode)) {
        return 0;
    }
    *size = static_cast<std::uint64_t>(st.st_size);
    return 1;
}

constexpr TnFtpTreeLocalFs kLocalFs = {MakeDirectory, ChangeDirectory, CurrentDirectory, Enumerate,
                                       FileSize};

}  // namespace

TnFtpFile FtpFileOpen(const char* name, int mode, int create) {
    if (name == nullptr || name[0] == '\0') {
        return 0;
    }
    const char* path = name;
    if (gFiles.mapped && gFiles.mapFrom == name) {
        path          = gFiles.mapTo.c_str();
        gFiles.mapped = false;
    }
    if (mode == 0) {
        return OpenChecked(path, O_RDONLY, false);
    }
    struct stat st {};
    const bool exists = ::stat(path, &st) == 0;
    if (!exists && create == 0) {
        NoteError("cannot open", path);
        return 0;
    }
    // A device (such as /dev/null) is written directly; a folder or FIFO is refused there.
    if (exists && !S_ISREG(st.st_mode)) {
        return OpenChecked(path, O_WRONLY | O_TRUNC, true);
    }
    return OpenDownload(path);
}

int FtpFileFinish(TnFtpFile file, int completed) {
    if (file == 0) {
        return 0;
    }
    bool ok = gWrite.owner != file || Flush();
    if (gRead.owner == file) {
        gRead = {};
    }
    if (::close(Descriptor(file)) != 0 && ok) {
        NoteError("cannot close", "the file");
        ok = false;
    }
    --gFiles.openFiles;
    Download* d = DownloadOf(file);
    if (d == nullptr) {
        return ok || completed == 0 ? 1 : 0;
    }
    const Download done = *d;
    *d                  = Download{};
    if (completed != 0 && ok && ::rename(done.side.c_str(), done.target.c_str()) == 0) {
        return 1;
    }
    if (completed != 0 && ok) {
        NoteError("cannot replace", done.target.c_str());
        ok = false;
    }
    ::unlink(done.side.c_str());
    return completed == 0 ? 1 : 0;
}

void FtpFileClose(TnFtpFile file) {
    if (file == 0) {
        return;
    }
    // Closing a download without saying how it ended keeps what was received.
    if (DownloadOf(file) != nullptr) {
        if (FtpFileFinish(file, 1) == 0) {
            gFiles.writeFailed = true;
        }
        return;
    }
    if (gWrite.owner == file && !Flush()) {
        gFiles.writeFailed = true;  // bytes the library counted as written are lost
    }
    if (gRead.owner == file) {
        gRead.owner = 0;
        gRead.pos = gRead.len = 0;
    }
    if (::close(Descriptor(file)) != 0 && gFiles.lastError.empty()) {
        NoteError("cannot close", "the file");
        gFiles.writeFailed = true;
    }
    --gFiles.openFiles;
}

// A download arrives one TCP segment at a time; a system call per segment would cost about as
// much as the segment's whole trip through the stack, so the bytes are gathered first.
int FtpFileWrite(TnFtpFile file, const std::uint8_t* bytes, std::uint32_t count,
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

// Fills the buffer unless the file ends first: the library takes a short read as the end.
// An upload asks for 2048 bytes at a time; the file is read ahead in larger pieces so that a
// system call does not come with every chunk.
int FtpFileRead(TnFtpFile file, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t* read) {
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

TnFtpServices FtpHostServices() {
    // The timers and the clock are the ones the stack gets.
    TnSockConfig config{};
    HostFillCallbacks(config);
    TnFtpServices services{};
    services.timerStart   = config.timerStart;
    services.timerStop    = config.timerStop;
    services.fileOpen     = FtpFileOpen;
    services.fileClose    = FtpFileClose;
    services.fileWrite    = FtpFileWrite;
    services.fileRead     = FtpFileRead;
    services.getTickCount = config.getTickCount;
    services.fileFinish   = FtpFileFinish;
    return services;
}

const TnFtpTreeLocalFs& FtpHostLocalFs() {
    return kLocalFs;
}

void FtpMapNextOpen(const std::string& libraryName, const std::string& hostPath) {
    gFiles.mapFrom = libraryName;
    gFiles.mapTo   = hostPath;
    gFiles.mapped  = true;
}

void FtpClearMapping() {
    gFiles.mapped = false;
}

const std::string& FtpLastFileError() {
    return gFiles.lastError;
}

void FtpClearFileError() {
    gFiles.lastError.clear();
    gFiles.writeFailed = false;
}

bool FtpWriteFailed() {
    return gFiles.writeFailed;
}

int FtpOpenFileCount() {
    return gFiles.openFiles;
}

}  // namespace tarnet::platform
