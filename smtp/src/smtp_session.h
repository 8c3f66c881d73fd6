// The session record of the SMTP library and the few internals the tests and the fuzz target
// reach. Hosts use tarnet/tnsmtp.h only.
#pragma once

#include <cstddef>
#include <cstdint>

#include "name_lookup.h"
#include "out_queue.h"
#include "reply_scanner.h"
#include "smtp_compose.h"
#include "tarnet/tnsmtp.h"

namespace tarnet::smtp {

// What a state handler is given.
enum class Input : std::uint8_t {
    kReply,      // a complete reply; its class (first digit) comes along
    kTimeout,    // the reply timer ran out
    kEndOfBody,  // the end-of-body timer ran out: the message text has been handed to TCP
};

using StateFn = void (*)(TnSmtpSession& session, Input input, int replyClass);

struct Timer {
    std::uint32_t start   = 0;
    std::uint32_t timeout = 0;
    bool active           = false;
};

// Commands, the header block and the part heads are composed here before they are sent.
inline constexpr std::size_t kTextSize = 3072;

// Message text streaming phase.
enum class Phase : std::uint8_t { kNone, kBody, kAttachment, kClosing };

}  // namespace tarnet::smtp

struct TnSmtpSession {
    bool inUse;
    bool ending;  // the event that ends it is being reported
    std::uint8_t index;
    std::uint32_t generation;  // bumped on every release; stale timers and sockets compare it
    tarnet::smtp::StateFn state;
    tarnet::smtp::Timer reply;
    tarnet::smtp::Timer endOfBody;
    std::uint32_t replyTimeout;
    std::uint32_t eomTimeout;
    std::uint32_t endOfBodyPause;

    char hostName[TNSMTP_MAX_HOST_NAME + 1];
    char address[TNSMTP_MAX_ADDRESS_TEXT + 1];
    std::uint16_t port;
    char from[TNSMTP_MAX_ADDRESS + 1];
    char to[TNSMTP_MAX_ADDRESS + 1];
    char cc[TNSMTP_MAX_ADDRESS + 1];
    char subject[tarnet::smtp::kSubjectHeaderSize];
    bool ccSent;
    bool authenticate;
    char userName[TNSMTP_MAX_CREDENTIAL + 1];
    char password[TNSMTP_MAX_CREDENTIAL + 1];
    bool quotedPrintable;
    char boundary[tarnet::smtp::kBoundarySize];  // the multipart boundary, NUL-terminated

    // The body as it goes on the wire (before dot stuffing), owned.
    std::uint8_t* body;
    std::uint32_t bodyLength;
    std::uint32_t bodyPosition;
    bool sending;
    tarnet::smtp::Phase phase;
    int progress;  // percent to report once the piece in the out queue has gone; -1 none
    int progressEvent;

    // Attachment: the path is owned; the buffers are the slot's own.
    bool attach;
    char* path;
    TnSmtpFile file;
    std::uint64_t fileSize;
    std::uint64_t notRead;
    int column;           // base64 line position, carried across chunks
    std::uint32_t carry;  // bytes read but not yet encoded (a read that was not a multiple of 3)
    bool endOfFile;
    std::uint8_t readBuffer[TNSMTP_ATTACH_CHUNK];
    char base64[tarnet::smtp::kBase64ChunkSize];

    // Text waiting for TCP: pieces of `text`, the body, `base64` or constant texts.
    tarnet::netclient::OutQueue out;
    char text[tarnet::smtp::kTextSize];
    std::size_t textLength;

    // Reply assembly under the rules of RFC 5321 4.2.1.
    tarnet::netclient::ReplyScanner replies;

    TnSockEndpoint* connection;
    bool connected;
    TnSmtpEventFn eventFn;
    std::uintptr_t userValue;
    TnSmtpMail nextMail;  // the record handed to TNSMTP_EV_NEXT_RECIPIENT

    bool resolving;
    TnTimerHandle resolveTimer;
    tarnet::netclient::NameLookup lookup;
    int dnsOutcome;  // from TnSmtpDnsResult while resolving; 0 none

    std::uint32_t delivered;  // messages the server accepted
    bool endSent;             // the end of data went out for the current message
    bool aborted;
    const char* quitFailure;  // reported with TNSMTP_EV_FAILED once QUIT is answered
};

namespace tarnet::smtp {

// The step name of a state (TnSmtpSessionStep).
const char* StepName(StateFn state);
// Received bytes of a session's connection, as the socket layer delivers them.
void Receive(TnSmtpSession& session, const std::uint8_t* data, std::size_t length);

}  // namespace tarnet::smtp
