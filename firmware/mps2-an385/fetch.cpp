#include "fetch.h"

#include <cstdio>
#include <cstring>

#include "board.h"
#include "sha256.h"
#include "startup.h"
#include "syscalls.h"
#include "tarnet/tndns.h"
#include "tarnet/tnftp.h"
#include "tarnet/tnsmtp.h"
#include "tarnet/tnsock.h"

namespace tarnet::firmware {
namespace {

constexpr const char* kFtpName          = "ftp.tarnet.test";
constexpr const char* kMailName         = "mail.tarnet.test";
constexpr const char* kFileName         = "board.bin";
constexpr std::uint16_t kFtpPort        = 21;
constexpr std::uint16_t kMailPort       = 2525;  // the sandbox's open mail server
constexpr std::uint32_t kResolveLimitMs = 15000;
// The largest file the board keeps; a larger download fails instead of being cut short.
constexpr std::uint32_t kFileCapacity = 256 * 1024;

enum class Step { kIdle, kResolveFtp, kFtp, kResolveMail, kMail, kDone };

struct State {
    PrintFn print        = nullptr;
    Step step            = Step::kIdle;
    std::uint32_t self   = 0;
    std::uint32_t since  = 0;  // when the current lookup started
    TnFtpSession* ftp    = nullptr;
    bool ftpReady        = false;  // FTP library initialised
    bool smtpReady       = false;  // SMTP library initialised
    bool downloaded      = false;
    bool overflow        = false;  // the file did not fit kFileCapacity
    bool closeFtp        = false;  // the FTP session is to be closed on the next pass
    std::uint32_t length = 0;
    char sha[2 * Sha256::kDigestSize + 1] = {};
    char outcome[96]                      = {};
    char body[512]                        = {};
};

State g;
std::uint8_t g_file[kFileCapacity];

// ---- The download's file: a buffer in RAM ---------------------------------------------------

TnFtpFile FileOpen(const char*, int mode, int) {
    if (mode != 1) {
        return 0;  // the board has nothing to upload
    }
    g.length   = 0;
    g.overflow = false;
    return 1;
}

void FileClose(TnFtpFile) {}

int FileWrite(TnFtpFile, const std::uint8_t* bytes, std::uint32_t count, std::uint32_t* written) {
    if (count > kFileCapacity - g.length) {
        g.overflow = true;
        *written   = 0;
        return 0;
    }
    std::memcpy(g_file + g.length, bytes, count);
    g.length += count;
    *written = count;
    return 1;
}

int FileRead(TnFtpFile, std::uint8_t*, std::uint32_t, std::uint32_t* read) {
    *read = 0;
    return 0;
}

int FileFinish(TnFtpFile, int completed) {
    g.downloaded = completed != 0 && !g.overflow;
    return g.downloaded ? 1 : 0;
}

// The mail carries no attachment: the library never needs a file.
TnSmtpFile MailFileOpen(const char*, int, int) {
    return 0;
}
void MailFileClose(TnSmtpFile) {}
int MailFileWrite(TnSmtpFile, const std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
int MailFileRead(TnSmtpFile, std::uint8_t*, std::uint32_t, std::uint32_t*) {
    return 0;
}
int MailFileSize(TnSmtpFile, std::uint64_t*) {
    return 0;
}

// ---- Steps -----------------------------------------------------------------------------------

// Asks the resolver again; true once the lookup ended (address set, or 0 for a failure).
bool Resolve(const char* name, std::uint32_t* address) {
    const int r = TnDnsResolve(name, address);
    if (r == TNDNS_RESOLVED) {
        char text[16];
        TnSockFormatAddr(*address, text);
        g.print("dns: %s is %s", name, text);
        return true;
    }
    if (r == TNDNS_PENDING && ClockMs() - g.since < kResolveLimitMs) {
        return false;
    }
    g.print("dns: %s could not be resolved (%d)", name, r);
    *address = 0;
    return true;
}

// The FTP part is over (done or failed): the mail server is next.
void FtpOver() {
    if (g.step == Step::kFtp) {
        g.print("ftp: closed (%s)", g.outcome);
        g.step  = Step::kResolveMail;
        g.since = ClockMs();
    }
}

// Closing releases the session at once, so it waits for the loop, outside the library's own
// callback (which goes on using the session after the event returns).
void CloseFtp() {
    g.closeFtp = true;
}

void FtpEvent(std::uintptr_t, int event, const char* text, int, std::uintptr_t extra) {
    if (event == TNFTP_EV_LOGGED_IN) {
        g.print("ftp: logged in, fetching %s", kFileName);
        const int r = TnFtpGetFile(g.ftp, kFileName, 0, 0);
        if (r != TNFTP_OK) {
            std::snprintf(g.outcome, sizeof g.outcome, "download refused: %s", TnFtpResultText(r));
            CloseFtp();
        }
        return;
    }
    if (event == TNFTP_EV_RECEIVE_COMPLETE && g.downloaded) {
        Sha256 hash;
        hash.Update(g_file, g.length);
        hash.FinishHex(g.sha);
        g.print("ftp: %s, %lu bytes, sha256 %s", kFileName, static_cast<unsigned long>(g.length),
                g.sha);
        std::snprintf(g.outcome, sizeof g.outcome, "downloaded %lu bytes",
                      static_cast<unsigned long>(g.length));
        CloseFtp();
        return;
    }
    if (event == TNFTP_EV_CLOSED) {
        g.ftp = nullptr;
        if (g.outcome[0] == '\0') {
            std::snprintf(g.outcome, sizeof g.outcome, "session closed early (step %u)",
                          static_cast<unsigned>(extra));
        }
        FtpOver();
        return;
    }
    if (event != TNFTP_EV_BYTES_RECEIVED && event != TNFTP_EV_RECEIVE_COMPLETE) {
        // Every other event ends the attempt: say why, then close.
        std::snprintf(g.outcome, sizeof g.outcome, "event %d: %.60s", event,
                      text != nullptr ? text : "");
        g.print("ftp: %s", g.outcome);
        CloseFtp();
    }
}

void StartFtp(std::uint32_t server) {
    static const TnFtpServices services = {TimerStart, TimerStop, FileOpen, FileClose,
                                           FileWrite,  FileRead,  ClockMs,  FileFinish};
    char address[16];
    TnSockFormatAddr(server, address);
    g.ftpReady = TnFtpInit(&services) == TNFTP_OK;
    TnFtpConnectParams params{};
    params.serverName  = address;
    params.serverPort  = kFtpPort;
    params.userName    = "anonymous";
    params.password    = "board@tarnet.test";
    params.eventFn     = FtpEvent;
    params.userContext = 1;
    const int r        = g.ftpReady ? TnFtpConnect(&params, &g.ftp) : TNFTP_NOT_INITIALISED;
    if (r != TNFTP_OK) {
        std::snprintf(g.outcome, sizeof g.outcome, "connect refused: %s", TnFtpResultText(r));
        g.print("ftp: %s", g.outcome);
        g.step  = Step::kResolveMail;
        g.since = ClockMs();
        return;
    }
    g.print("ftp: connecting to %s port %u", address, static_cast<unsigned>(kFtpPort));
    g.step = Step::kFtp;
}

int MailEvent(std::uintptr_t, int event, void*, std::uint32_t) {
    if (event == TNSMTP_EV_BODY_PROGRESS || event == TNSMTP_EV_ATTACH_PROGRESS ||
        event == TNSMTP_EV_NEXT_RECIPIENT || g.step != Step::kMail) {
        return 0;
    }
    if (event == TNSMTP_EV_COMPLETE) {
        g.print("smtp: report sent");
    } else {
        g.print("smtp: failed (event %d)", event);
    }
    g.step = Step::kDone;
    g.print("memory after the report: heap high-water %lu bytes, stack high-water %lu bytes",
            static_cast<unsigned long>(HeapHighWater()),
            static_cast<unsigned long>(StackHighWater()));
    return 0;
}

void SendReport(std::uint32_t server) {
    char self[16];
    char address[16];
    TnSockFormatAddr(g.self, self);
    TnSockFormatAddr(server, address);
    std::snprintf(g.body, sizeof g.body,
                  "Board: mps2-an385 (Cortex-M3), address %s\r\n"
                  "File: %s from %s: %s\r\n"
                  "SHA-256: %s\r\n"
                  "Heap high-water: %lu bytes\r\n"
                  "Stack high-water: %lu bytes\r\n",
                  self, kFileName, kFtpName, g.outcome, g.downloaded ? g.sha : "none",
                  static_cast<unsigned long>(HeapHighWater()),
                  static_cast<unsigned long>(StackHighWater()));
    TnSmtpConfig config{};
    std::strcpy(config.ehloDomain, "board.tarnet.test");
    config.timerStart = TimerStart;
    config.timerStop  = TimerStop;
    config.fileOpen   = MailFileOpen;
    config.fileClose  = MailFileClose;
    config.fileWrite  = MailFileWrite;
    config.fileRead   = MailFileRead;
    config.fileSize   = MailFileSize;
    config.tickCount  = ClockMs;
    g.smtpReady       = TnSmtpInit(&config) == TNSMTP_OK;
    TnSmtpMail mail{};
    mail.serverAddress     = address;
    mail.serverPort        = kMailPort;
    mail.from              = "board@tarnet.test";
    mail.to                = "ops@tarnet.test";
    mail.subject           = "mps2-an385 report";
    mail.body              = reinterpret_cast<const std::uint8_t*>(g.body);
    mail.bodyLength        = static_cast<std::uint32_t>(std::strlen(g.body));
    mail.eventFn           = MailEvent;
    TnSmtpSession* session = nullptr;
    const int r            = g.smtpReady ? TnSmtpSendMail(&mail, &session) : TNSMTP_NOT_INITIALISED;
    if (r != TNSMTP_OK) {
        g.print("smtp: cannot send the report (%d)", r);
        g.step = Step::kDone;
        return;
    }
    g.print("smtp: sending the report to %s port %u", address, static_cast<unsigned>(kMailPort));
    g.step = Step::kMail;
}

}  // namespace

void FetchStart(PrintFn print, std::uint32_t address) {
    if (g.step != Step::kIdle) {
        return;
    }
    g.print = print;
    g.self  = address;
    g.step  = Step::kResolveFtp;
    g.since = ClockMs();
}

void FetchPoll() {
    std::uint32_t server = 0;
    if (g.closeFtp) {
        g.closeFtp = false;
        if (g.ftp != nullptr) {
            TnFtpClose(g.ftp);
            g.ftp = nullptr;
        }
        FtpOver();
    }
    switch (g.step) {
        case Step::kResolveFtp:
            if (Resolve(kFtpName, &server)) {
                if (server != 0) {
                    StartFtp(server);
                } else {
                    std::snprintf(g.outcome, sizeof g.outcome, "%s not resolved", kFtpName);
                    g.step  = Step::kResolveMail;
                    g.since = ClockMs();
                }
            }
            break;
        case Step::kResolveMail:
            if (Resolve(kMailName, &server)) {
                if (server != 0) {
                    SendReport(server);
                } else {
                    g.step = Step::kDone;
                }
            }
            break;
        default:
            break;
    }
    if (g.ftpReady) {
        TnFtpTimerTick();
    }
    if (g.smtpReady) {
        TnSmtpProcess();
    }
}

}  // namespace tarnet::firmware
