// Once the board has an address: resolve the sandbox's FTP server by name, download a file from
// it into RAM, print the file's SHA-256, and mail a short report through the mail server. Each
// step is printed on the console; a failed step is reported and the report is still mailed.
#pragma once

#include <cstdint>

#include "echo.h"

namespace tarnet::firmware {

// Starts the sequence; address is the board's own, for the report.
void FetchStart(PrintFn print, std::uint32_t address);
// Advances it; the loop calls this on every pass (it also runs the FTP and SMTP libraries'
// periodic work).
void FetchPoll();

}  // namespace tarnet::firmware
