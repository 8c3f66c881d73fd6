// The 227 reply parser on arbitrary lines: it must never read past the line or write past the
// 16-byte address text, and a port it accepts is never 0.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "ftp_internal.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // An exact-size copy, so a read past the line is caught.
    std::vector<char> line(data, data + size);
    char address[16];
    std::uint16_t port = 0;
    if (FtpParsePasv(line.data(), line.size(), address, &port)) {
        if (port == 0 || std::memchr(address, '\0', sizeof address) == nullptr) {
            __builtin_trap();
        }
    }
    return 0;
}
