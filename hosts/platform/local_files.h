// Local files for the libraries' host services on Linux, as POSIX descriptors: the one set of
// open, read, write, finish, close and size behind the FTP library's file services
// (ftp_files.h) and the SMTP library's (smtp_files.h). Both libraries use the same shapes
// (a handle that is 0 for none, mode 0 read and 1 write, a read shorter than asked meaning the
// end of the file), so the functions here plug into either record as they are.
//
// What every open guarantees, whoever asks:
// - nothing blocks the loop's only thread: a FIFO is never waited on, only regular files are
//   read, and only regular files or character devices (such as /dev/null) are written;
// - descriptors are not inherited by programs the host starts (O_CLOEXEC) and never become a
//   controlling terminal (O_NOCTTY);
// - a file written in full (mode 1 on a regular file or a new one) is received into a side file
//   in the same folder, which replaces the file only when the transfer completed: an existing
//   file keeps its contents after a failed transfer, and a symbolic link in its place is
//   replaced, never followed.
#pragma once

#include <cstdint>
#include <string>

namespace tarnet::platform {

// Descriptor + 1, so that 0 stays "none" and reports a failed open.
using LocalFile = std::uintptr_t;

inline constexpr int kLocalRead  = 0;
inline constexpr int kLocalWrite = 1;

// mode kLocalRead: a regular file that must exist (a link to one is followed). mode kLocalWrite:
// `create` nonzero allows a missing file; the bytes go to a side file that LocalFileFinish
// turns into the file, and an existing character device is written directly. Any other mode,
// a null or empty path fails.
LocalFile LocalFileOpen(const char* path, int mode, int create);
// Ends a file opened for writing: `completed` nonzero when the transfer is whole. Nonzero when
// the file is complete on disk (its last gathered bytes written, the replacement done); a file
// not completed is removed and the old one kept. For a file opened for reading it closes it.
int LocalFileFinish(LocalFile file, int completed);
// Closes a file; a file being written is finished as completed (it keeps what was received).
void LocalFileClose(LocalFile file);
// Takes `count` bytes, which reach the file when the gathering buffer fills, another file is
// written or the file is finished; a failure then is kept for LocalWriteFailed.
int LocalFileWrite(LocalFile file, const std::uint8_t* bytes, std::uint32_t count,
                   std::uint32_t* written);
// Fills the buffer unless the file ends first, so that a read shorter than asked is always the
// end: the FTP library ends an upload there, and the SMTP library base64-encodes each read on
// its own (a short read in the middle would put padding in the middle of an attachment).
int LocalFileRead(LocalFile file, std::uint8_t* buffer, std::uint32_t capacity,
                  std::uint32_t* read);
// The size of the open file, bytes still gathered for it included.
int LocalFileSize(LocalFile file, std::uint64_t* size);

// The last local file error (the operation, the path and errno's text), empty when none.
const std::string& LocalFileError();
// Records errno's text for `what` on `name` as the last error (also for folder operations).
void LocalNoteError(const char* what, const char* name);
// True when gathered bytes that had been reported written failed to reach their file later,
// so a transfer the library reports complete is not.
bool LocalWriteFailed();
// Clears the last error and the late write failure.
void LocalClearFileError();
// Files opened here and not yet closed (for checks that nothing leaks).
int LocalOpenFileCount();

}  // namespace tarnet::platform
