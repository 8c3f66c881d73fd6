// The Linux side of the FTP library's host services: timers and the clock from the platform
// binding, local files from local_files.h (a download goes to a side file that only a
// completed transfer turns into the file), and the folder walker's operations on the process's
// current directory. Shared by every program that uses the FTP library.
//
// The library names a local file by the remote name (one name for both sides). A program that
// wants another local path for one transfer arms a name mapping for it (FtpMapNextOpen).
#pragma once

#include <string>

#include "tarnet/tnftp.h"

namespace tarnet::platform {

// The services record for TnFtpInit: timers and tick count of the platform binding, and the
// local files (with the name mapping below applied on open).
TnFtpServices FtpHostServices();

// The walker's local file-system operations, on the current directory of the process.
const TnFtpTreeLocalFs& FtpHostLocalFs();

// The next fileOpen of `libraryName` opens `hostPath` instead; the mapping is used once.
void FtpMapNextOpen(const std::string& libraryName, const std::string& hostPath);
void FtpClearMapping();

// The last local file error (the operation and errno's text), empty when none; cleared by
// FtpClearFileError. Shared with every user of the local files (local_files.h).
const std::string& FtpLastFileError();
void FtpClearFileError();
// Writes are gathered and reach the file when the buffer fills or the file is closed; true when
// such a late write failed (the library had already counted the bytes as written), so a
// transfer the library reports complete is not. Cleared by FtpClearFileError.
bool FtpWriteFailed();

// Local files opened and not yet closed (for checks that nothing leaks).
int FtpOpenFileCount();

}  // namespace tarnet::platform
