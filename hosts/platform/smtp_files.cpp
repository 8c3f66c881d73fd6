#include "smtp_files.h"

#include <cstring>
#include <type_traits>

#include "host.h"
#include "local_files.h"

namespace tarnet::platform {

static_assert(std::is_same_v<TnSmtpFile, LocalFile>, "SMTP file handles are local file handles");

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
    std::strncpy(config.ehloDomain, ehloDomain, sizeof config.ehloDomain - 1);
    config.ehloDomain[sizeof config.ehloDomain - 1] = '\0';
}

}  // namespace tarnet::platform
