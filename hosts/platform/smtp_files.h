// The host services of the SMTP library on Linux: timers and the millisecond clock shared with
// the stack (the host's timer pool), and files through POSIX descriptors. Used by every program
// that sends mail (tarnet mail, the desktop mail program).
#pragma once

#include <cstdint>

#include "tarnet/tnsmtp.h"

namespace tarnet::platform {

// Fills the nine callbacks of `config` (the Date clock is the process's local time) and copies
// `ehloDomain` (cut to fit) into it.
void SmtpFillCallbacks(TnSmtpConfig& config, const char* ehloDomain);

// The file services, as the library calls them. A file handle is the descriptor plus one, so
// that 0 stays "none".
//
// Mode 0 opens for reading and only a regular file: a pipe or terminal would block the stack's
// only thread, and its size is unknown. Mode 1 opens for writing from the start (truncating);
// `create` nonzero creates a missing file.
TnSmtpFile SmtpFileOpen(const char* path, int mode, int create);
void SmtpFileClose(TnSmtpFile file);
int SmtpFileWrite(TnSmtpFile file, const std::uint8_t* bytes, std::uint32_t count,
                  std::uint32_t* written);
// Fills the buffer unless the file ends first: the library base64-encodes each read on its own,
// so a short read in the middle of a file (a signal, a slow file system) would put padding in
// the middle of the attachment.
int SmtpFileRead(TnSmtpFile file, std::uint8_t* buffer, std::uint32_t capacity,
                 std::uint32_t* read);
int SmtpFileSize(TnSmtpFile file, std::uint64_t* size);

}  // namespace tarnet::platform
