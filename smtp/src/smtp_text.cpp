// The texts of the library's result codes.
#include <array>
#include <cstring>

#include "tarnet/tnsmtp.h"

namespace {

// Indexed by result code; each fits TNSMTP_ERROR_TEXT_SIZE with its terminator.
constexpr std::array<const char*, 12> kErrorTexts{
    "success",
    "already initialised",
    "not initialised",
    "socket layer init failed",
    "cannot resolve hostname",
    "invalid papameters",
    "can't resolve hostname",
    "no memory",
    "failed to connect to server",
    "Session is not open",
    "file open error",
    "",
};

}  // namespace

void TnSmtpErrorText(int code, char* buffer) {
    if (buffer == nullptr) {
        return;
    }
    const char* text = "unknown";
    if (code >= 0 && static_cast<std::size_t>(code) < kErrorTexts.size()) {
        text = kErrorTexts[static_cast<std::size_t>(code)];
    }
    std::memcpy(buffer, text, std::strlen(text) + 1);  // every text fits the buffer
}
