// The Linux side of the FTP library's host services: timers and the clock from the platform
// binding, local files as POSIX descriptors, and the folder walker's operations on the
// process's current directory. Shared by every program that uses the FTP library.
//
// The library names a local file by the remote name (one name for both sides). A program that
// wants another local path for one transfer arms a name mapping for it (FtpMapNextOpen).
#pragma once

#include <cstdint>
#include <string>

#include "tarnet/tnftp.h"

namespace tarnet::platform {

// The services record for TnFtpInit: timers and tick count of the platform binding, and the
// file operations below.
TnFtpServices FtpHostServices();

// The walker's local file-system operations, on the current directory of the process.
const TnFtpTreeLocalFs& FtpHostLocalFs();

// The next fileOpen of `libraryName` opens `hostPath` instead; the mapping is used once.
void FtpMapNextOpen(const std::string& libraryName, const std::string& hostPath);
void FtpClearMapping();

// The last local file error (the operation and errno's text), empty when none; cleared by
// FtpClearFileError.
const std::string& FtpLastFileError();
void FtpClearFileError();
// Writes are gathered and reach the file when the buffer fills or the file is closed; true when
// such a late write failed (the library had already counted the bytes as written), so a
// transfer the library reports complete is not. Cleared by FtpClearFileError.
bool FtpWriteFailed();

// Files opened through the services and not yet closed (for checks that nothing leaks).
int FtpOpenFileCount();

// The file operations, exposed for tests. Handles are descriptor + 1, so 0 means failure.
// mode 0: read (a regular file that must exist); mode 1: write a download to a side file in the
// same folder, which FtpFileFinish turns into the file (completed) or removes (failed); an
// existing device is written directly. FtpFileClose on a download completes it.
TnFtpFile FtpFileOpen(const char* name, int mode, int create);
int FtpFileFinish(TnFtpFile file, int completed);
void FtpFileClose(TnFtpFile file);
int FtpFileWrite(TnFtpFile file, const std::uint8_t* bytes, std::uint32_t count,
                 std::uint32_t* written);
int FtpFileRead(TnFtpFile file, std::uint8_t* buffer, std::uint32_t capacity, std::uint32_t* read);

}  // namespace tarnet::platform
