// Messages, number and address parsing, and the command-argument reader.
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "cli.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

namespace {

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

bool ParseAddress(const std::string& text, std::uint32_t& out) {
    return !text.empty() && TnSockParseAddr(text.c_str(), &out) == 1;
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
