// tarnet: the command-line front end of the stack. Global options may stand anywhere before
// "--"; the first other argument names the command, the rest belong to it.
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "cli.h"
#include "host.h"

namespace tarnet::cli {

namespace {

struct Command {
    const char* name;
    int (*run)(const GlobalOptions& options, const Args& args);
};

constexpr Command kCommands[] = {
    {"adapters", RunAdapters},
    {"ping",     RunPing    },
    {"resolve",  RunResolve },
    {"udp",      RunUdp     },
    {"tcp",      RunTcp     },
    {"serve",    RunServe   },
};

constexpr const char* kUsage =
    "usage: tarnet [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  adapters                          list capture adapters: \"[n] name  description\"\n"
    "  ping HOST [-c N] [-s SIZE] [-W MS]\n"
    "                                    send N echo requests (default 4) of SIZE data bytes\n"
    "                                    (default 56), waiting MS for each reply (default 1000)\n"
    "  resolve NAME                      print NAME's IPv4 address, asking the DNS server\n"
    "  udp send HOST PORT TEXT           send TEXT as one datagram\n"
    "  udp listen PORT [-n COUNT]        write each datagram's payload to stdout; stop after\n"
    "                                    COUNT datagrams\n"
    "  tcp connect HOST PORT [--isn N]   send stdin over a TCP connection, write what arrives\n"
    "                                    to stdout; at the end of stdin close and wait until\n"
    "                                    the connection has finished closing\n"
    "  tcp listen PORT [--echo] [-n N] [--isn N]\n"
    "                                    accept connections; write what arrives to stdout (or\n"
    "                                    send it back with --echo); stop after N connections\n"
    "                                    have closed (--isn: the next initial sequence number\n"
    "                                    is about N, for tests)\n"
    "  serve [--seconds N]               answer ARP and ping until N seconds have passed,\n"
    "                                    or until SIGINT or SIGTERM; print each DHCP lease\n"
    "\n"
    "HOST may be a dotted quad or a host name (asked of the DNS server).\n"
    "\n"
    "options:\n"
    "  -i, --iface NAME      capture adapter (or TARNET_IFACE); a number picks a line of\n"
    "                        'tarnet adapters'\n"
    "  --mac MAC             the stack's MAC address (default 02:54:4e and the low three bytes\n"
    "                        of the adapter's own address)\n"
    "  --dhcp                get address, mask, router and DNS server from a DHCP server\n"
    "                        (the default); every command waits for the lease first and\n"
    "                        gives it back when it ends\n"
    "  --ip ADDR             a static IPv4 address instead of DHCP\n"
    "  --gateway ADDR        default gateway with --ip (default none)\n"
    "  --mask ADDR           subnet mask with --ip (default 255.255.255.0)\n"
    "  --dns ADDR            DNS server (with DHCP: instead of the lease's; default none)\n"
    "  --timeout SECONDS     give up on the whole command after SECONDS (without it a\n"
    "                        DHCP client gives up after about two minutes)\n"
    "  --impair FAULTS       impair the link in both directions, e.g.\n"
    "                        loss=2,dup=1,reorder=5,delay=20,seed=7 (or TARNET_IMPAIR)\n"
    "  -v, --verbose         show the stack's log lines and progress on stderr\n"
    "  -h, --help            show this text\n"
    "\n"
    "Capturing frames needs root or the CAP_NET_RAW capability.\n"
    "exit status: 0 done, 1 the operation failed, 2 usage error\n";

// Takes the global options out of argv; what remains is the command and its arguments.
int ParseGlobal(int argc, char** argv, GlobalOptions& options, Args& rest, bool& help) {
    if (const char* iface = std::getenv("TARNET_IFACE"); iface != nullptr) {
        options.iface = iface;
    }
    std::string impair;
    if (const char* env = std::getenv("TARNET_IMPAIR"); env != nullptr && env[0] != '\0') {
        impair = env;
    }
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (optionsEnded) {
            rest.emplace_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            rest.emplace_back(arg);  // the command's reader sees it too
            continue;
        }
        const std::size_t equals    = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        std::string* target         = nullptr;
        if (name == "-i" || name == "--iface") {
            target = &options.iface;
        } else if (name == "--mac") {
            target = &options.mac;
        } else if (name == "--ip") {
            options.ip.emplace();
            target = &*options.ip;
        } else if (name == "--gateway") {
            target = &options.gateway;
        } else if (name == "--mask") {
            target = &options.mask;
        } else if (name == "--dns") {
            target = &options.dns;
        } else if (name == "--impair") {
            target = &impair;
        } else if (name == "--timeout") {
            std::string text;
            std::uint64_t seconds = 0;
            if (equals != std::string_view::npos) {
                text = std::string(arg.substr(equals + 1));
            } else if (i + 1 < argc) {
                text = argv[++i];
            } else {
                return UsageError("option '--timeout' needs a value");
            }
            if (!ParseNumber(text, 1, 86400, seconds)) {
                return UsageError("--timeout: '%s' is not a number of seconds (1 to 86400)",
                                  text.c_str());
            }
            options.timeoutSeconds = static_cast<std::uint32_t>(seconds);
            continue;
        } else if (arg == "--dhcp") {
            options.dhcp = true;
            continue;
        } else if (arg == "-v" || arg == "--verbose") {
            options.verbose = true;
            continue;
        } else if (arg == "-h" || arg == "--help") {
            help = true;
            continue;
        } else {
            rest.emplace_back(arg);
            continue;
        }
        if (equals != std::string_view::npos) {
            *target = std::string(arg.substr(equals + 1));
        } else if (i + 1 < argc) {
            *target = argv[++i];
        } else {
            return UsageError("option '%s' needs a value", std::string(name).c_str());
        }
    }
    if (!impair.empty()) {
        const std::string error = platform::ParseFaultConfig(impair, options.faults);
        if (!error.empty()) {
            return UsageError("--impair: %s", error.c_str());
        }
    }
    return kExitOk;
}

int Main(int argc, char** argv) {
    GlobalOptions options;
    Args rest;
    bool help = false;
    if (const int rc = ParseGlobal(argc, argv, options, rest, help); rc != kExitOk) {
        return rc;
    }
    if (help) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    // The command name is the first argument that is not "--".
    std::size_t at = 0;
    while (at < rest.size() && rest[at] == "--") {
        ++at;
    }
    if (at == rest.size()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string name = rest[at];
    rest.erase(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(at) + 1);
    for (const Command& command : kCommands) {
        if (name == command.name) {
            platform::HostSetVerbose(options.verbose);
            // A closed stdout must end in a message, not in a silent death by SIGPIPE.
            std::signal(SIGPIPE, SIG_IGN);
            platform::EventLoop::InstallStopSignals();
            return command.run(options, rest);
        }
    }
    return UsageError("unknown command '%s' (tarnet --help lists them)", name.c_str());
}

}  // namespace

}  // namespace tarnet::cli

int main(int argc, char** argv) {
    return tarnet::cli::Main(argc, argv);
}
