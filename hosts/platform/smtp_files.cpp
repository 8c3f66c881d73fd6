#include "smtp_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "host.h"

namespace tarnet::platform {

namespace {

int Descriptor(TnSmtpFile file) {
    return file == 0 ? -1 : static_cast<int>(file - 1);
}

TnSmtpFile Handle(int fd) {
    return static_cast<TnSmtpFile>(fd) + 1;
}

// The Date header's clock: the process's local time and zone.
int SmtpLocalDate(TnSmtpDate* out) {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    if (now == static_cast<std::time_t>(-1) || localtime_r(&now, &local) == nullptr) {
        return 0;
    }
    *out = {local.tm_year + 1900, local.tm_mon + 1,
            local.tm_mday,        local.tm_wday,
            local.tm_hour,        local.tm_min,
            local.tm_sec,         static_cast<int>(local.tm_gmtoff / 60)};
    return 1;
}

}  // namespace

void SmtpFillCallbacks(TnSmtpConfig& config, const char* ehloDomain) {
    // The stack's own timer and clock callbacks: one pool, one clock, one thread.
    TnSockConfig stack{};
    HostFillCallbacks(stack);
    config.timerStart = stack.timerStart;
    config.timerStop  = stack.timerStop;
    config.tickCount  = stack.getTickCount;
    config.fileOpen   = SmtpFileOpen;
    config.fileClose  = SmtpFileClose;
    config.fileWrite  = SmtpFileWrite;
    config.fileRead   = SmtpFileRead;
    config.fileSize   = SmtpFileSize;
    config.localDate  = SmtpLocalDate;
    std::strncpy(config.ehloDomain, ehloDomain, sizeof config.ehloDomain - 1);
    config.ehloDomain[sizeof config.ehloDomain - 1] = '\0';
}

TnSmtpFile SmtpFileOpen(const char* path, int mode, int create) {
    if (path == nullptr || (mode != 0 && mode != 1)) {
        return 0;
    }
    if (mode == 1) {
        const int flags = O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOCTTY | (create != 0 ? O_CREAT : 0);
        const int fd    = open(path, flags, 0666);
        return fd < 0 ? 0 : Handle(fd);
    }
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the check below refuses it anyway.
    const int fd = open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return 0;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fd);
        return 0;
    }
    return Handle(fd);
}

void SmtpFileClose(TnSmtpFile file) {
    if (file != 0) {
        close(Descriptor(file));
    }
}

int SmtpFileWrite(TnSmtpFile file, const std::uint8_t* bytes, std::uint32_t count,
                  std::uint32_t* written) {
    std::uint32_t done = 0;
    while (done < count) {
        const ssize_t n = write(Descriptor(file), bytes + done, count - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (written != nullptr) {
        *written = done;
    }
    return done == count ? 1 : 0;
}

int SmtpFileRead(TnSmtpFile file, std::uint8_t* buffer, std::uint32_t capacity,
                 std::uint32_t* read) {
    std::uint32_t done = 0;
    while (done < capacity) {
        const ssize_t n = ::read(Descriptor(file), buffer + done, capacity - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return 0;
        }
        if (n == 0) {
            break;
        }
        done += static_cast<std::uint32_t>(n);
    }
    if (read != nullptr) {
        *read = done;
    }
    return 1;
}

int SmtpFileSize(TnSmtpFile file, std::uint64_t* size) {
    struct stat info {};
    if (size == nullptr || fstat(Descriptor(file), &info) != 0 || info.st_size < 0) {
        return 0;
    }
    *size = static_cast<std::uint64_t>(info.st_size);
    return 1;
}

}  // namespace tarnet::platform
