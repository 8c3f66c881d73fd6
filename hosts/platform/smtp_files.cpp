#include "smtp_files.h"

#include <cstring>
#include <ctime>
#include <type_traits>

#include "host.h"
#include "local_files.h"

namespace tarnet::platform {

static_assert(std::is_same_v<TnSmtpFile, LocalFile>, "SMTP file handles are local file handles");

namespace {

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
    config.fileOpen   = LocalFileOpen;
    config.fileClose  = LocalFileClose;
    config.fileWrite  = LocalFileWrite;
    config.fileRead   = LocalFileRead;
    config.fileSize   = LocalFileSize;
    config.localDate  = SmtpLocalDate;
    std::strncpy(config.ehloDomain, ehloDomain, sizeof config.ehloDomain - 1);
    config.ehloDomain[sizeof config.ehloDomain - 1] = '\0';
}

}  // namespace tarnet::platform
