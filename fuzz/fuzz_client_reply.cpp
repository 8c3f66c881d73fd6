// Arbitrary control-connection bytes into the client core's reply scanner, under the rules of
// FTP and of SMTP. The first byte picks the rules and the line limit; the rest is the stream.
// Besides memory safety, what the clients rely on must hold for every reply: the text within
// its size, the closing line terminated and of the length reported, the class one digit, and
// under the SMTP rules every line of a reply carrying the first line's code.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "reply_scanner.h"

namespace {

using tarnet::netclient::kReplyLineSize;
using tarnet::netclient::kReplyTextSize;
using tarnet::netclient::ReplyRules;
using tarnet::netclient::ReplyScanner;
using tarnet::netclient::Scan;

void Check(bool holds) {
    if (!holds) {
        std::abort();
    }
}

void CheckReply(const ReplyScanner& scanner, ReplyRules rules) {
    Check(scanner.Text().size() <= kReplyTextSize);
    Check(scanner.Class() >= 0 && scanner.Class() <= 9);
    Check(std::strlen(scanner.LastLine()) <= scanner.LastLineLength());
    Check(scanner.LastLineLength() < kReplyLineSize);
    Check(scanner.Code() >= -1 && scanner.Code() <= 999);
    Check(!scanner.InReply());
    if (rules == ReplyRules::kSmtp && scanner.Code() >= 0) {
        // The closing line starts with the code of the first.
        const int code   = scanner.Code();
        const char* last = scanner.LastLine();
        Check(last[0] - '0' == code / 100 && last[1] - '0' == code / 10 % 10 &&
              last[2] - '0' == code % 10);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    const ReplyRules rules = (data[0] & 1) != 0 ? ReplyRules::kFtp : ReplyRules::kSmtp;
    // Short limits reach the too-long path with short inputs.
    const std::size_t limit = (data[0] & 2) != 0 ? 16 + (data[0] >> 2) : kReplyLineSize - 1;
    static ReplyScanner scanner;
    scanner.Start(rules, limit);
    for (std::size_t i = 1; i < size; ++i) {
        const Scan result = scanner.Push(data[i]);
        if (result == Scan::kReply) {
            CheckReply(scanner, rules);
        } else if (result == Scan::kLineTooLong) {
            Check(scanner.Push('\n') == Scan::kLineTooLong);  // stays stopped
            break;
        }
    }
    return 0;
}
