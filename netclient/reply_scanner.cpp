// The reply scanner (see reply_scanner.h).
#include "reply_scanner.h"

#include <cstring>

namespace tarnet::netclient {
namespace {

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

bool HasCode(std::string_view line) {
    return line.size() >= 3 && IsDigit(line[0]) && IsDigit(line[1]) && IsDigit(line[2]);
}

bool SameOpening(std::string_view line, const char (&opening)[3]) {
    return line.size() >= 3 && std::memcmp(line.data(), opening, 3) == 0;
}

}  // namespace

void ReplyScanner::Start(ReplyRules rules, std::size_t lineLimit) {
    *this      = ReplyScanner{};
    rules_     = rules;
    lineLimit_ = lineLimit < kReplyLineSize ? lineLimit : kReplyLineSize - 1;
    running_   = true;
}

Scan ReplyScanner::Push(std::uint8_t byte) {
    if (!running_) {
        return Scan::kLineTooLong;
    }
    if (byte != '\n') {
        if (lineLength_ >= lineLimit_) {
            running_ = false;
            return Scan::kLineTooLong;
        }
        line_[lineLength_++] = static_cast<char>(byte);
        return Scan::kMore;
    }
    std::size_t length = lineLength_;
    if (length > 0 && line_[length - 1] == '\r') {
        --length;
    }
    line_[length] = '\0';
    lineLength_   = 0;
    return Line(length);
}

Scan ReplyScanner::Line(std::size_t length) {
    const std::string_view line(line_, length);
    return rules_ == ReplyRules::kFtp ? FtpLine(line) : SmtpLine(line);
}

Scan ReplyScanner::FtpLine(std::string_view line) {
    if (open_) {
        // Only the opening code followed by a space (or nothing) closes; the rest is text.
        if (SameOpening(line, opening_) && (line.size() == 3 || line[3] == ' ')) {
            Append(line);
            return Close(line);
        }
        Append(line);
        return Scan::kMore;
    }
    if (line.empty() || !IsDigit(line[0])) {
        return Scan::kMore;
    }
    Begin(line);
    if (HasCode(line) && line.size() > 3 && line[3] == '-') {
        open_ = true;
        return Scan::kMore;
    }
    return Close(line);
}

Scan ReplyScanner::SmtpLine(std::string_view line) {
    if (line.empty() || !IsDigit(line[0])) {
        return Scan::kMore;
    }
    if (!open_) {
        Begin(line);
    } else if (!SameOpening(line, opening_)) {
        open_ = false;
        return Scan::kMixedCodes;
    } else {
        Append(line);
    }
    if (line.size() >= 4 && line[3] == '-') {
        open_ = true;
        return Scan::kMore;
    }
    return Close(line);
}

void ReplyScanner::Begin(std::string_view line) {
    textLength_ = 0;
    std::memset(opening_, 0, sizeof opening_);
    std::memcpy(opening_, line.data(), line.size() < 3 ? line.size() : 3);
    code_ = HasCode(line) ? (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0') : -1;
    Append(line);
}

// Adds a line to the reply's text, after CR LF unless it is the first.
void ReplyScanner::Append(std::string_view line) {
    const std::string_view separator = textLength_ > 0 ? "\r\n" : "";
    for (const std::string_view part : {separator, line}) {
        const std::size_t room = kReplyTextSize - textLength_;
        const std::size_t take = part.size() < room ? part.size() : room;
        std::memcpy(text_ + textLength_, part.data(), take);
        textLength_ += take;
    }
}

Scan ReplyScanner::Close(std::string_view line) {
    open_       = false;
    class_      = line[0] - '0';
    lastLength_ = line.size();
    return Scan::kReply;
}

}  // namespace tarnet::netclient
