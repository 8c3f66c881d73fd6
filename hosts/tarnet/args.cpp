// Messages, number and address parsing, and the command-argument reader.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

// The options ParseGlobal takes in front of the command. After the command they are unknown
// there; the message then says where they belong.
constexpr const char* kGlobalOptionNames[] = {
    "-i",        "--iface",  "--mac",    "--ip",          "--gateway", "--mask", "--dns", "--dhcp",
    "--timeout", "--impair", "--window", "--send-buffer", "--verbose", "-v",     "--tap",
};

bool IsGlobalOption(const std::string& name) {
    for (const char* global : kGlobalOptionNames) {
        if (name == global) {
            return true;
        }
    }
    return false;
}

void Say(const char* format, va_list args) {
    std::fputs("tarnet: ", stderr);
    std::vfprintf(stderr, format, args);
    std::fputc('\n', stderr);
}

}  // namespace

int Fail(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Say(format, args);
    va_end(args);
    return kExitFailed;
}

int UsageError(const char* format, ...) {
    va_list args;
    va_start(args, format);
    Say(format, args);
    va_end(args);
    return kExitUsage;
}

bool ParseNumber(const std::string& text, std::uint64_t min, std::uint64_t max,
                 std::uint64_t& out) {
    if (text.empty() || text.size() > 19) {
        return false;
    }
    std::uint64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
    }
    if (value < min || value > max) {
        return false;
    }
    out = value;
    return true;
}

// Strict dotted quads only: the stack's own parser takes the permissive 4.4BSD forms, where
// "300.1.1.1" becomes 44.1.1.1 and "010.0.0.1" is octal; a user who types those meant
// something else.
bool ParseAddress(const std::string& text, std::uint32_t& out) {
    std::uint32_t value = 0;
    std::size_t at      = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.') {
                return false;
            }
            ++at;
        }
        const std::size_t start = at;
        std::uint32_t number    = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3) {
            number = number * 10 + static_cast<std::uint32_t>(text[at] - '0');
            ++at;
        }
        const std::size_t digits = at - start;
        if (digits == 0 || number > 255 || (digits > 1 && text[start] == '0')) {
            return false;
        }
        value = (value << 8) | number;
    }
    if (at != text.size()) {
        return false;
    }
    out = value;
    return true;
}

bool LooksLikeAddress(const std::string& text) {
    return !text.empty() && text.find_first_not_of("0123456789.") == std::string::npos;
}

bool ParseMask(const std::string& text, std::uint32_t& out) {
    std::uint32_t mask = 0;
    // Contiguous: ones from the top, then zeros (~mask + 1 is then a power of two).
    if (!ParseAddress(text, mask) || mask == 0 || ((~mask + 1) & ~mask) != 0) {
        return false;
    }
    out = mask;
    return true;
}

const char* MacProblem(const std::string& text) {
    if (text.size() != 17) {
        return "expected six hexadecimal pairs like 02:54:4e:00:00:01";
    }
    const char separator = text[2];
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool ok = i % 3 == 2
                            ? (text[i] == separator && (separator == ':' || separator == '-'))
                            : std::isxdigit(static_cast<unsigned char>(text[i])) != 0;
        if (!ok) {
            return "expected six hexadecimal pairs like 02:54:4e:00:00:01";
        }
    }
    // The stack's own address must be one a frame can be sent to alone.
    if ((std::stoi(text.substr(0, 2), nullptr, 16) & 0x01) != 0) {
        return "a multicast or broadcast address; the stack needs a unicast one";
    }
    if (text.find_first_not_of("0:-") == std::string::npos) {
        return "all zeros; the stack needs a unicast address";
    }
    return nullptr;
}

const char* HostNameProblem(const std::string& name) {
    if (name.empty() || name.size() > 253) {
        return "a host name has 1 to 253 characters";
    }
    std::size_t label = 0;
    for (std::size_t i = 0; i <= name.size(); ++i) {
        if (i == name.size() || name[i] == '.') {
            if (label == 0 && !(i == name.size() && i > 0)) {
                return "a host name has no empty labels";
            }
            label = 0;
            continue;
        }
        if (++label > 63) {
            return "a label of a host name has at most 63 characters";
        }
    }
    return nullptr;
}

std::string AddressText(std::uint32_t address) {
    char text[16];
    TnSockFormatAddr(address, text);
    return text;
}

void ArgReader::Value(const char* shortName, const char* longName, std::string* out) {
    declared_.push_back({shortName, longName, out, nullptr});
}

void ArgReader::Flag(const char* shortName, const char* longName, bool* out) {
    declared_.push_back({shortName, longName, nullptr, out});
}

bool ArgReader::Read(std::vector<std::string>& positional) {
    positional.clear();
    bool optionsEnded = false;
    for (std::size_t i = 0; i < args_.size(); ++i) {
        const std::string& arg = args_[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            positional.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }
        const std::size_t equals = arg.find('=');
        const std::string name   = arg.substr(0, equals);
        const Declared* option   = nullptr;
        for (const Declared& s : declared_) {
            if ((s.shortName != nullptr && name == s.shortName) ||
                (s.longName != nullptr && name == s.longName)) {
                option = &s;
                break;
            }
        }
        if (option == nullptr && IsGlobalOption(name)) {
            UsageError(
                "unknown option '%s': global options go before the command "
                "(tarnet [options] COMMAND ...)",
                arg.c_str());
            return false;
        }
        if (option == nullptr) {
            UsageError("unknown option '%s'", arg.c_str());
            return false;
        }
        if (option->flag != nullptr) {
            if (equals != std::string::npos) {
                UsageError("option '%s' takes no value", name.c_str());
                return false;
            }
            *option->flag = true;
            continue;
        }
        if (equals != std::string::npos) {
            *option->value = arg.substr(equals + 1);
        } else if (i + 1 < args_.size()) {
            *option->value = args_[++i];
        } else {
            UsageError("option '%s' needs a value", name.c_str());
            return false;
        }
    }
    return true;
}

}  // namespace tarnet::cli
