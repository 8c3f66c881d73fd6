// tarnet ftp: the command line (HOST, options, the operation and its operands), checked before
// the stack starts.
#include <sys/stat.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "ftp.h"

namespace tarnet::cli::ftp {
namespace {

constexpr OpInfo kOps[] = {
    {"ls",      Op::kLs,     0, 1, "ls [DIR]"                 },
    {"get",     Op::kGet,    1, 2, "get REMOTE [LOCAL]"       },
    {"put",     Op::kPut,    1, 2, "put LOCAL [REMOTE]"       },
    {"rm",      Op::kRm,     1, 1, "rm NAME"                  },
    {"mkdir",   Op::kMkdir,  1, 1, "mkdir NAME"               },
    {"rmdir",   Op::kRmdir,  1, 1, "rmdir NAME"               },
    {"mv",      Op::kMv,     2, 2, "mv FROM TO"               },
    {"pwd",     Op::kPwd,    0, 0, "pwd"                      },
    {"noop",    Op::kNoop,   0, 0, "noop"                     },
    {"get-dir", Op::kGetDir, 1, 1, "get-dir DIR [--overwrite]"},
    {"put-dir", Op::kPutDir, 1, 1, "put-dir DIR"              },
    {"rm-dir",  Op::kRmDir,  1, 1, "rm-dir DIR"               },
};

std::string BaseName(const std::string& path) {
    const std::size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// "a/b/c" -> parent "a/b" and name "c"; trailing slashes are dropped. A parent of "" means the
// current folder, "/" the root.
void SplitFolder(std::string path, std::string& parent, std::string& name) {
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) {
        parent.clear();
        name = path;
        return;
    }
    parent = slash == 0 ? "/" : path.substr(0, slash);
    name   = path.substr(slash + 1);
}

bool HasLineBreak(const std::string& text) {
    return text.find_first_of("\r\n") != std::string::npos;
}

int CheckOperands(Request& r) {
    for (const std::string& operand : r.operands) {
        if (operand.empty()) {
            return UsageError("ftp %s: an empty name", r.op->name);
        }
        // A CR or LF would end the command line early and start another command.
        if (HasLineBreak(operand)) {
            return UsageError("ftp %s: a name contains a line break", r.op->name);
        }
    }
    if (r.overwrite && r.op->op != Op::kGetDir) {
        return UsageError("--overwrite belongs to get-dir");
    }
    struct stat st {};
    switch (r.op->op) {
        case Op::kGet: {
            r.remote               = r.operands[0];
            const std::string base = BaseName(r.remote);
            if (base.empty() || base == "." || base == "..") {
                return UsageError("ftp get: '%s' does not name a file", r.remote.c_str());
            }
            r.local = r.operands.size() > 1 ? r.operands[1] : base;
            if (::stat(r.local.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
                r.local += "/" + base;
            }
            return kExitOk;
        }
        case Op::kPut:
            r.local = r.operands[0];
            if (::stat(r.local.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
                return Fail("ftp put: %s: not a readable regular file", r.local.c_str());
            }
            r.remote = r.operands.size() > 1 ? r.operands[1] : BaseName(r.local);
            return kExitOk;
        case Op::kGetDir:
        case Op::kRmDir:
        case Op::kPutDir: {
            std::string parent;
            SplitFolder(r.operands[0], parent, r.folder);
            if (r.folder.empty() || r.folder == "/" || r.folder == "." || r.folder == "..") {
                return UsageError("ftp %s: '%s' does not name a folder", r.op->name,
                                  r.operands[0].c_str());
            }
            (r.op->op == Op::kPutDir ? r.localDir : r.remoteDir) = parent;
            if (r.op->op == Op::kPutDir &&
                (::stat(r.operands[0].c_str(), &st) != 0 || !S_ISDIR(st.st_mode))) {
                return Fail("ftp put-dir: %s: not a local folder", r.operands[0].c_str());
            }
            return kExitOk;
        }
        default:
            return kExitOk;
    }
}

}  // namespace

int ReadRequest(const Args& args, Request& r) {
    std::string port;
    std::string timeout;
    std::string password;
    bool passwordGiven = false;
    ArgReader reader(args);
    reader.Value(nullptr, "--port", &port);
    reader.Value(nullptr, "--user", &r.user);
    reader.Value(nullptr, "--password", &password);
    reader.Value(nullptr, "--reply-timeout", &timeout);
    reader.Flag(nullptr, "--overwrite", &r.overwrite);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.size() < 2) {
        return UsageError(
            "usage: tarnet [options] ftp HOST [--port N] [--user U] "
            "[--password P] [--reply-timeout MS] OP ... (tarnet ftp --help)");
    }
    r.host = positional[0];
    for (const OpInfo& info : kOps) {
        if (positional[1] == info.name) {
            r.op = &info;
        }
    }
    if (r.op == nullptr) {
        return UsageError("ftp: unknown operation '%s' (tarnet ftp --help lists them)",
                          positional[1].c_str());
    }
    r.operands.assign(positional.begin() + 2, positional.end());
    if (r.operands.size() < r.op->minArgs || r.operands.size() > r.op->maxArgs) {
        return UsageError("usage: tarnet [options] ftp HOST %s", r.op->usage);
    }
    std::uint64_t number = 0;
    if (!port.empty()) {
        if (!ParseNumber(port, 1, 65535, number)) {
            return UsageError("--port: '%s' is not a port from 1 to 65535", port.c_str());
        }
        r.port = static_cast<std::uint16_t>(number);
    }
    if (!timeout.empty()) {
        if (!ParseNumber(timeout, 1, kMaxReplyTimeoutMs, number)) {
            return UsageError("--reply-timeout: '%s' is not a number of milliseconds (1 to %llu)",
                              timeout.c_str(), static_cast<unsigned long long>(kMaxReplyTimeoutMs));
        }
        r.replyTimeoutMs = static_cast<std::uint32_t>(number);
    }
    for (const std::string& arg : args) {
        passwordGiven = passwordGiven || arg == "--password" || arg.rfind("--password=", 0) == 0;
    }
    if (passwordGiven) {
        r.password = password;
    } else if (const char* env = std::getenv("TARNET_FTP_PASSWORD"); env != nullptr) {
        r.password = env;
    } else if (r.user == "anonymous" || r.user == "ftp") {
        r.password = "tarnet@";  // RFC 1635: anonymous users give an identification
    }
    if (r.user.empty() || r.user.size() > TNFTP_MAX_CREDENTIAL ||
        r.password.size() > TNFTP_MAX_CREDENTIAL || HasLineBreak(r.user) ||
        HasLineBreak(r.password)) {
        return UsageError(
            "--user and --password: at most %zu characters, no line breaks "
            "(and a user name is not empty)",
            TNFTP_MAX_CREDENTIAL);
    }
    return CheckOperands(r);
}

// The server's address: a name is looked up by the session's resolver, so that a failed lookup

}  // namespace tarnet::cli::ftp
