#include "settings_store.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace tarnet::desktop {

namespace {

constexpr mode_t kOwnerOnly = 0600;

struct Fd {
    int fd = -1;
    ~Fd() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* at = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = write(fd, at, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        at += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

std::string Reason(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

std::string SettingsStore::DefaultPath(const std::string& name) {
    std::string folder;
    if (const char* config = std::getenv("XDG_CONFIG_HOME"); config != nullptr && *config != 0) {
        folder = config;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != 0) {
        folder = std::string(home) + "/.config";
        mkdir(folder.c_str(), 0700);
    } else {
        return {};
    }
    folder += "/tarnet";
    mkdir(folder.c_str(), 0700);
    return folder + "/" + name;
}

SettingsStore::Loaded SettingsStore::Load(void* record, std::size_t size, CheckFn check) const {
    Fd file{open(path_.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK)};
    if (file.fd < 0) {
        return errno == ENOENT ? Loaded::kMissing : Loaded::kDamaged;
    }
    struct stat info {};
    if (fstat(file.fd, &info) != 0 || !S_ISREG(info.st_mode) ||
        static_cast<std::size_t>(info.st_size) > size) {
        return Loaded::kDamaged;
    }
    // Read into a copy holding the defaults, so a refused record leaves the caller's untouched.
    std::vector<char> copy(static_cast<const char*>(record),
                           static_cast<const char*>(record) + size);
    std::size_t have = 0;
    while (have < size) {
        const ssize_t n = read(file.fd, copy.data() + have, size - have);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Loaded::kDamaged;
        }
        if (n == 0) {
            break;
        }
        have += static_cast<std::size_t>(n);
    }
    if (check != nullptr && !check(copy.data(), size)) {
        return Loaded::kDamaged;
    }
    std::memcpy(record, copy.data(), size);
    return have == size ? Loaded::kWhole : Loaded::kShort;
}

bool SettingsStore::Save(const void* record, std::size_t size, std::string& error) const {
    mode_t mode = kOwnerOnly;
    struct stat existing {};
    if (lstat(path_.c_str(), &existing) == 0) {
        if (!S_ISREG(existing.st_mode)) {
            error = "not a regular file: " + path_;
            return false;
        }
        mode = existing.st_mode & 07777 & ~static_cast<mode_t>(S_ISUID | S_ISGID);
    }
    std::string temp = path_ + ".XXXXXX";
    Fd file{mkostemp(temp.data(), O_CLOEXEC)};  // created 0600
    if (file.fd < 0) {
        error = Reason("cannot create a file beside", path_);
        return false;
    }
    const bool written =
        fchmod(file.fd, mode) == 0 && WriteAll(file.fd, record, size) && fsync(file.fd) == 0;
    if (!written) {
        error = Reason("cannot write", temp);
    } else if (rename(temp.c_str(), path_.c_str()) != 0) {
        error = Reason("cannot replace", path_);
    } else {
        return true;
    }
    unlink(temp.c_str());
    return false;
}

}  // namespace tarnet::desktop
