// The host services of the SMTP library on Linux: timers and the millisecond clock shared with
// the stack (the host's timer pool), and the local files of local_files.h (an attachment is
// read only from a regular file, in reads that fill the buffer until the file ends). Used by
// every program that sends mail (tarnet mail, the desktop mail program).
#pragma once

#include "tarnet/tnsmtp.h"

namespace tarnet::platform {

// Fills the nine callbacks of `config` (the Date clock is the process's local time) and copies
// `ehloDomain` (cut to fit) into it.
void SmtpFillCallbacks(TnSmtpConfig& config, const char* ehloDomain);

}  // namespace tarnet::platform
