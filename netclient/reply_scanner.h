// The reply scanner of the command-and-reply clients (FTP, SMTP): turns the bytes of a control
// connection into complete replies, line by line, under the multi-line rules of each protocol.
//
// RFC 959 4.2 (FTP): "xyz-" opens a multi-line reply; the lines after it are text of any form
// (they may even start with digits) until a line that starts with the same "xyz" followed by a
// space (or nothing) closes it. A line that starts with a digit and does not open a multi-line
// reply is a reply of one line.
//
// RFC 5321 4.2.1 (SMTP): every line of a reply carries the reply's code; "xyz-" continues the
// reply, "xyz " or "xyz" alone ends it. A line whose code differs from the first line's is a
// protocol error: the reply is neither of the codes, and is never taken for its last line.
//
// In both, a line ends at LF and a CR before it is dropped; outside a reply, lines that do not
// start with a digit are not replies and are skipped. Fixed memory; bytes from the wire are
// taken one at a time, so a reply may arrive split anywhere.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "tarnet/tnsizes.h"

namespace tarnet::netclient {

enum class ReplyRules : std::uint8_t { kFtp, kSmtp };

enum class Scan : std::uint8_t {
    kMore,         // the byte was taken; no reply is complete yet
    kReply,        // a reply is complete: Code(), Class(), Text(), LastLine()
    kMixedCodes,   // (SMTP) a line's code differs from the first line's; the reply is dropped
    kLineTooLong,  // a line passed the limit; the scanner stops until Start
};

// Buffer sizes: the longest line either protocol accepts and its terminator; the joined text of
// one reply, cut beyond this.
inline constexpr std::size_t kReplyLineSize = TARNET_CLIENT_REPLY_LINE + 1;
inline constexpr std::size_t kReplyTextSize = TARNET_CLIENT_REPLY_LINE;

class ReplyScanner {
  public:
    // Forgets any partial line or reply. `lineLimit` is the most bytes a line may hold before
    // its LF, CR included (at most kReplyLineSize - 1).
    void Start(ReplyRules rules, std::size_t lineLimit);
    // One byte from the connection.
    Scan Push(std::uint8_t byte);

    // The three digits of the reply's first line as a number, -1 when they are not digits.
    int Code() const { return code_; }
    // The first digit of the reply's closing line (0 to 9).
    int Class() const { return class_; }
    // Every line of the reply joined with CR LF, without the last CR LF; cut to kReplyTextSize.
    std::string_view Text() const { return {text_, textLength_}; }
    // The closing line without its CR LF, NUL-terminated; valid until the next Push.
    const char* LastLine() const { return line_; }
    std::size_t LastLineLength() const { return lastLength_; }
    // True while a multi-line reply has begun and not ended.
    bool InReply() const { return open_; }

  private:
    Scan Line(std::size_t length);
    Scan FtpLine(std::string_view line);
    Scan SmtpLine(std::string_view line);
    void Begin(std::string_view line);
    void Append(std::string_view line);
    Scan Close(std::string_view line);

    // All zero until Start (a scanner never started takes no bytes), so that the records that
    // hold one need no initialised data.
    ReplyRules rules_       = ReplyRules::kFtp;
    std::size_t lineLimit_  = 0;
    bool running_           = false;
    bool open_              = false;
    char opening_[3]        = {};  // the first three bytes of the reply's first line
    int code_               = 0;
    int class_              = 0;
    std::size_t lineLength_ = 0;
    std::size_t lastLength_ = 0;
    std::size_t textLength_ = 0;
    char line_[kReplyLineSize]{};
    char text_[kReplyTextSize]{};
};

}  // namespace tarnet::netclient
