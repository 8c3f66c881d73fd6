// tarnet mail: the command line and the text, checked and converted before the stack starts, so
// that nothing half-right goes out.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "charsets.h"
#include "host.h"
#include "mail.h"

namespace tarnet::cli::mail {
namespace {

// RFC 5321 4.5.3.1.6: a text line has at most 998 characters before its CR LF. Longer lines go
// quoted-printable, whose soft line breaks keep every encoded line short.
constexpr std::size_t kMaxPlainLine = 998;

// Why `text` cannot be a mail address for the envelope and the header, or null.
const char* AddressProblem(const std::string& text) {
    if (text.empty() || text.size() > TNSMTP_MAX_ADDRESS) {
        return "an address has 1 to 80 characters";
    }
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u <= 0x20 || u >= 0x7F || c == '<' || c == '>') {
            return "an address is printable ASCII without spaces or angle brackets";
        }
    }
    const std::size_t at = text.rfind('@');
    if (at == std::string::npos || at == 0 || at + 1 == text.size()) {
        return "an address is local-part@domain";
    }
    return nullptr;
}

int CheckAddress(const char* option, const std::string& text) {
    if (const char* problem = AddressProblem(text); problem != nullptr) {
        return UsageError(
            "%s '%s': %s", option,
            Printable(text.data(), static_cast<std::uint32_t>(text.size()), false).c_str(),
            problem);
    }
    return kExitOk;
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

}  // namespace

// The subject as the library takes it: ASCII as is; with --koi8r, Windows-1251 text that the
// library turns into KOI8-R encoded words.
int PrepareSubject(const MailOptions& m, std::string& subject) {
    std::string error;
    if (HasLineBreak(m.subject)) {
        return UsageError("--subject: a subject is one line");
    }
    if (m.koi8r) {
        if (!platform::FromUtf8(m.subject, platform::Charset::kWindows1251Koi8r, subject, error)) {
            return UsageError("--subject: %s", error.c_str());
        }
    } else {
        subject = m.subject;
        for (const char c : subject) {
            const auto u = static_cast<unsigned char>(c);
            if (u >= 0x7F || (u < 0x20 && c != '\t')) {
                return UsageError(
                    "--subject: only printable ASCII can go into a header as it is; Cyrillic "
                    "text goes with --koi8r");
            }
        }
    }
    if (subject.size() > TNSMTP_MAX_SUBJECT) {
        return UsageError("--subject: at most %zu characters", TNSMTP_MAX_SUBJECT);
    }
    return kExitOk;
}

namespace {

bool IsAscii(const std::string& text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::size_t LongestLine(const std::string& text) {
    std::size_t longest = 0;
    std::size_t current = 0;
    for (const char c : text) {
        current = c == '\n' || c == '\r' ? 0 : current + 1;
        longest = std::max(longest, current);
    }
    return longest;
}

}  // namespace

// The body as the library takes it. Text that is not ASCII is UTF-8 and goes as ISO-8859-1
// quoted-printable; so do lines too long for a plain text line.
int PrepareBody(const MailOptions& m, std::string& body, bool& qp) {
    qp = m.qp;
    if (IsAscii(m.body)) {
        body = m.body;
    } else {
        std::string error;
        if (!platform::FromUtf8(m.body, platform::Charset::kIso8859_1, body, error)) {
            return UsageError("the body cannot be sent: %s", error.c_str());
        }
        qp = true;
    }
    if (!qp && LongestLine(body) > kMaxPlainLine) {
        platform::HostLog("a body line is longer than %zu characters: sending quoted-printable",
                          kMaxPlainLine);
        qp = true;
    }
    // RFC 2045 2.7: 7bit text holds no NUL; quoted-printable escapes it.
    if (!qp && body.find('\0') != std::string::npos) {
        platform::HostLog("the body holds NUL bytes: sending quoted-printable");
        qp = true;
    }
    if (body.empty()) {
        body = "\r\n";  // the library sends at least one line: an empty one
    }
    return kExitOk;
}

// The attachment must be a regular file we can read now; its name in the mail is the part of
// the path after the last '/'.
int CheckAttachment(const std::string& path) {
    const std::string name = path.substr(path.find_last_of('/') + 1);
    if (name.empty() || name.size() > TNSMTP_MAX_FILE_NAME || HasLineBreak(name)) {
        return UsageError("--attach '%s': the file name must be 1 to %zu characters on one line",
                          path.c_str(), TNSMTP_MAX_FILE_NAME);
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        return Fail("cannot read '%s': %s", path.c_str(), std::strerror(errno));
    }
    struct stat info {};
    const bool regular = fstat(fd, &info) == 0 && S_ISREG(info.st_mode);
    close(fd);
    if (!regular) {
        return Fail("cannot attach '%s': not a regular file", path.c_str());
    }
    return kExitOk;
}

int ReadStdin(std::string& body) {
    char chunk[65536];
    for (;;) {
        const ssize_t n = read(STDIN_FILENO, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return Fail("cannot read the body from stdin: %s", std::strerror(errno));
        }
        if (n == 0) {
            return kExitOk;
        }
        body.append(chunk, static_cast<std::size_t>(n));
        if (body.size() > kMaxBody) {
            return UsageError("the body is larger than %zu MiB", kMaxBody >> 20);
        }
    }
}

int ParseArgs(const Args& args, MailOptions& m) {
    // --to may be given several times: collect every value before the reader sees the rest.
    Args rest;
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (args[i] == "--") {
            rest.insert(rest.end(), args.begin() + static_cast<std::ptrdiff_t>(i), args.end());
            break;
        }
        if (args[i].rfind("--to=", 0) == 0) {
            m.to.push_back(args[i].substr(5));
        } else if (args[i] == "--to") {
            if (i + 1 >= args.size()) {
                return UsageError("option '--to' needs a value");
            }
            m.to.push_back(args[++i]);
        } else {
            rest.push_back(args[i]);
        }
    }
    m.password = kAbsent;
    m.body     = kAbsent;
    ArgReader reader(rest);
    reader.Value(nullptr, "--server", &m.server);
    reader.Value("-p", "--port", &m.port);
    reader.Value(nullptr, "--from", &m.from);
    reader.Value(nullptr, "--cc", &m.cc);
    reader.Value(nullptr, "--subject", &m.subject);
    reader.Flag(nullptr, "--koi8r", &m.koi8r);
    reader.Flag(nullptr, "--qp", &m.qp);
    reader.Value(nullptr, "--attach", &m.attach);
    reader.Value(nullptr, "--user", &m.user);
    reader.Value(nullptr, "--password", &m.password);
    reader.Value(nullptr, "--body", &m.body);
    reader.Value(nullptr, "--reply-timeout", &m.replyTimeout);
    Args positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (!positional.empty()) {
        return UsageError("mail: unexpected argument '%s' (tarnet mail --help)",
                          positional.front().c_str());
    }
    m.passwordOption = m.password != kAbsent;
    m.bodyGiven      = m.body != kAbsent;
    if (!m.passwordOption) {
        const char* env = std::getenv("TARNET_SMTP_PASSWORD");
        m.password      = env != nullptr && !m.user.empty() ? env : kAbsent;
    }
    if (!m.bodyGiven) {
        m.body.clear();
    }
    return kExitOk;
}

int CheckArgs(const MailOptions& m, std::uint16_t& port, std::uint32_t& replyMs) {
    if (m.server.empty()) {
        return UsageError("mail: --server HOST is required");
    }
    if (!LooksLikeAddress(m.server)) {
        if (const char* problem = HostNameProblem(m.server); problem != nullptr) {
            return UsageError("--server '%s': %s", m.server.c_str(), problem);
        }
    }
    std::uint64_t number = 0;
    if (!ParseNumber(m.port, 1, 65535, number)) {
        return UsageError("--port: '%s' is not a port (1 to 65535)", m.port.c_str());
    }
    port = static_cast<std::uint16_t>(number);
    if (m.from.empty() || m.to.empty()) {
        return UsageError("mail: --from and --to are required");
    }
    if (int rc = CheckAddress("--from", m.from); rc != kExitOk) {
        return rc;
    }
    for (const std::string& to : m.to) {
        if (int rc = CheckAddress("--to", to); rc != kExitOk) {
            return rc;
        }
    }
    if (!m.cc.empty()) {
        if (int rc = CheckAddress("--cc", m.cc); rc != kExitOk) {
            return rc;
        }
    }
    if (m.user.empty() && m.passwordOption) {
        return UsageError("--password needs --user");
    }
    if (!m.user.empty() && m.password == kAbsent) {
        return UsageError("--user needs --password or TARNET_SMTP_PASSWORD");
    }
    if (m.user.size() > TNSMTP_MAX_CREDENTIAL || m.password.size() > TNSMTP_MAX_CREDENTIAL ||
        HasLineBreak(m.user) || HasLineBreak(m.password)) {
        return UsageError("--user and --password: at most %zu characters each, on one line",
                          TNSMTP_MAX_CREDENTIAL);
    }
    replyMs = 0;
    if (!m.replyTimeout.empty()) {
        if (!ParseNumber(m.replyTimeout, 1, 600000, number)) {
            return UsageError("--reply-timeout: '%s' is not a number of milliseconds (1 to 600000)",
                              m.replyTimeout.c_str());
        }
        replyMs = static_cast<std::uint32_t>(number);
    }
    return kExitOk;
}

}  // namespace tarnet::cli::mail
