// Texts of the FTP library's result codes.
#include <array>

#include "tarnet/tnftp.h"

namespace {

struct ResultText {
    int code;
    const char* text;
};

constexpr std::array<ResultText, 14> kResultTexts{
    {
     {TNFTP_OK, "OK"},
     {TNFTP_INVALID_PARAMETERS, "Invalid Parameters"},
     {TNFTP_NO_FREE_CONTEXTS, "No Free Contexts"},
     {TNFTP_NOT_INITIALISED, "Not Initialised"},
     {TNFTP_ALREADY_INITIALISED, "Already Initialised"},
     {TNFTP_TCP_CONNECT_FAILED, "TCP Connect Failed"},
     {TNFTP_SOCKET_INIT_FAILED, "Socket Init Failed"},
     {TNFTP_INVALID_CMD_FOR_STATE, "Invalid Cmd for this state"},
     {TNFTP_SESSION_NOT_ALLOCATED, "Session not allocated"},
     {TNFTP_TIMER_START_FAILED, "Timer start failed"},
     {TNFTP_FILE_OPEN_ERROR, "File open error"},
     {TNFTP_EVENT_QUEUE_EMPTY, "Event queue empty"},
     {TNFTP_CMD_PARAM_TOO_LONG, "Cmd param too long"},
     {TNFTP_SOCKET_SEND_FAILED, "Socket send failed"},
     }
};

}  // namespace

const char* TnFtpResultText(int code) {
    for (const ResultText& entry : kResultTexts) {
        if (entry.code == code) {
            return entry.text;
        }
    }
    return nullptr;
}
