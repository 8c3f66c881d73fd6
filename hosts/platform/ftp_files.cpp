// The FTP library's host services on Linux: the local files of local_files.h under the
// library's callback shapes, and the folder walker's operations.
#include "ftp_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <type_traits>

#include "host.h"
#include "local_files.h"

namespace tarnet::platform {

static_assert(std::is_same_v<TnFtpFile, LocalFile>, "FTP file handles are local file handles");

namespace {

// The library's name of the next open to redirect, and where it goes.
struct Mapping {
    std::string from;
    std::string to;
    bool armed = false;
};

Mapping gMapping;

TnFtpFile OpenMapped(const char* name, int mode, int create) {
    const char* path = name;
    if (gMapping.armed && name != nullptr && gMapping.from == name) {
        path           = gMapping.to.c_str();
        gMapping.armed = false;
    }
    return LocalFileOpen(path, mode, create);
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
        LocalNoteError("cannot create folder", name);
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
    LocalNoteError("cannot create folder", name);
    return 0;
}

int ChangeDirectory(const char* name) {
    if (PathTooLong(name)) {
        LocalNoteError("cannot enter folder", name);
        return 0;
    }
    if (std::strcmp(name, "..") == 0) {
        if (::chdir(name) == 0) {
            return 1;
        }
        LocalNoteError("cannot enter folder", name);
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
    LocalNoteError(error == ELOOP ? "a symbolic link, not entered:" : "cannot enter folder", name);
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
        LocalNoteError("cannot read folder", ".");
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

TnFtpServices FtpHostServices() {
    // The timers and the clock are the ones the stack gets.
    TnSockConfig config{};
    HostFillCallbacks(config);
    TnFtpServices services{};
    services.timerStart   = config.timerStart;
    services.timerStop    = config.timerStop;
    services.fileOpen     = OpenMapped;
    services.fileClose    = LocalFileClose;
    services.fileWrite    = LocalFileWrite;
    services.fileRead     = LocalFileRead;
    services.getTickCount = config.getTickCount;
    services.fileFinish   = LocalFileFinish;
    return services;
}

const TnFtpTreeLocalFs& FtpHostLocalFs() {
    return kLocalFs;
}

void FtpMapNextOpen(const std::string& libraryName, const std::string& hostPath) {
    gMapping = Mapping{libraryName, hostPath, true};
}

void FtpClearMapping() {
    gMapping.armed = false;
}

const std::string& FtpLastFileError() {
    return LocalFileError();
}

void FtpClearFileError() {
    LocalClearFileError();
}

bool FtpWriteFailed() {
    return LocalWriteFailed();
}

int FtpOpenFileCount() {
    return LocalOpenFileCount();
}

}  // namespace tarnet::platform
