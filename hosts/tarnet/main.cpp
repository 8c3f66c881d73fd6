// tarnet: the command-line front end of the stack. Options before the command are global; the
// first argument that is not an option names the command, and everything after it belongs to
// the command (so "ping HOST -i 0.2" is ping's own option, as with the system's ping).
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
    const char* usage;  // what `tarnet COMMAND --help` prints
};

constexpr Command kCommands[] = {
    {"adapters", RunAdapters,
     "usage: tarnet adapters\n"
     "list the capture adapters, one line each: \"[n] name  description\"\n"       },
    {"ping",     RunPing,
     "usage: tarnet [options] ping HOST [-c N] [-s SIZE] [-W MS] [-i SECONDS] [-q]\n"
     "  -c N        echo requests to send (default 4)\n"
     "  -s SIZE     data bytes in each (default 56)\n"
     "  -W MS       how long to wait for each reply (default 1000)\n"
     "  -i SECONDS  from one request to the next, at least 0.01 (default: 50 ms after each\n"
     "              reply); one request is out at a time, so a lost reply delays the next\n"
     "              until -W has passed\n"
     "  -q          quiet: print only the first line and the summary\n"            },
    {"resolve",  RunResolve,
     "usage: tarnet [options] resolve NAME\n"
     "print NAME's IPv4 address, asked of the DNS server (--dns, or the lease's)\n"},
    {"udp",      RunUdp,
     "usage: tarnet [options] udp send HOST PORT TEXT\n"
     "       tarnet [options] udp listen PORT [-n COUNT] [--senders]\n"
     "  send: TEXT as one datagram; listen: each datagram's payload to stdout, ending after\n"
     "  COUNT datagrams\n"
     "  --senders  also a line on stderr for each datagram: ADDRESS:PORT N bytes\n"},
    {"tcp",      RunTcp,
     "usage: tarnet [options] tcp connect HOST PORT [--keep-reading SECONDS] [--isn N]\n"
     "       tarnet [options] tcp listen PORT [--echo] [-n N] [--isn N]\n"
     "  connect: stdin over the connection, what arrives to stdout; at the end of stdin close\n"
     "           and wait until the close has finished; with --keep-reading, go on receiving\n"
     "           after the end of stdin until the peer closes or SECONDS pass in silence\n"
     "  listen:  accept connections; what arrives to stdout (or back, with --echo); end after N\n"
     "           established connections have closed\n"
     "  --isn N: the next initial sequence number is about N (for tests: it makes them\n"
     "           predictable)\n"                                                   },
    {"mail",     RunMail,
     "usage: tarnet [options] mail --server HOST [--port N] --from A --to B [--to C ...]\n"
     "           [--cc D] [--subject S] [--koi8r] [--qp] [--attach FILE]\n"
     "           [--user U [--password P]] [--body TEXT] [--reply-timeout MS]\n"
     "send one mail through the SMTP server HOST (default port 25); the body is TEXT, or stdin\n"
     "  --to B       recipient; each further --to gets the same message in its own transaction\n"
     "               on the same connection, with To naming it\n"
     "  --cc D       a copy recipient, named in a CC line (sent with the first --to only)\n"
     "  --subject S  printable ASCII; with --koi8r also Cyrillic, sent as KOI8-R encoded words\n"
     "  --qp         send the body quoted-printable; a body that is not ASCII is UTF-8, is sent\n"
     "               as ISO-8859-1 quoted-printable anyway, and a character outside\n"
     "               ISO-8859-1 is refused; so are lines over 998 characters without it\n"
     "               (they go quoted-printable)\n"
     "  --attach F   attach the file F (a regular file) as base64; progress on stderr when it\n"
     "               is a terminal\n"
     "  --user U     log in with AUTH LOGIN; the password is P or TARNET_SMTP_PASSWORD\n"
     "  --reply-timeout MS\n"
     "               how long to wait for each reply (default 3000); the reply to the end of\n"
     "               the message is awaited at least 60000 ms\n"
     "exit status: 0 every recipient's message was accepted and the session completed; 1 with\n"
     "one line naming the failed step and the server's reply (or what timed out); 2 usage\n"
     "error, including text that cannot be sent as given\n"                        },
    {"serve",    RunServe,
     "usage: tarnet [options] serve [--seconds N]\n"
     "answer ARP and ping until N seconds have passed, or until SIGINT or SIGTERM; print each\n"
     "DHCP lease, and the stack's counters on SIGUSR1\n"                           },
    {"ftp",      RunFtp,
     "usage: tarnet [options] ftp HOST [--port N] [--user U] [--password P]\n"
     "                          [--reply-timeout MS] OP ...\n"
     "one FTP session (passive mode, binary transfers): log in, run OP, close\n"
     "  ls [DIR]                 the entries of DIR (default: the login folder), one per line:\n"
     "                           type (d folder, - file, l link), size, name\n"
     "  get REMOTE [LOCAL]       download REMOTE (into LOCAL, or a folder LOCAL, default its\n"
     "                           own name here); a failed download leaves no partial file\n"
     "  put LOCAL [REMOTE]       upload LOCAL (as REMOTE, default its own name)\n"
     "  rm NAME | mkdir NAME | rmdir NAME | mv FROM TO | pwd | noop\n"
     "  get-dir DIR [--overwrite]\n"
     "                           download the folder DIR with everything in it into a local\n"
     "                           folder of the same name; files already here with the same\n"
     "                           size are skipped unless --overwrite\n"
     "  put-dir DIR              upload the local folder DIR into a new remote folder\n"
     "  rm-dir DIR               delete the remote folder DIR with everything in it\n"
     "  --port N                 control connection port (default 21)\n"
     "  --user U                 user name (default anonymous)\n"
     "  --password P             password (or TARNET_FTP_PASSWORD, which ps does not show)\n"
     "  --reply-timeout MS       how long to wait for each reply (default 15000)\n"
     "HOST is a dotted quad or a host name (asked of the DNS server). Transfers show progress\n"
     "on stderr when it is a terminal and end with a summary line (bytes, seconds, MB/s).\n"
     "SIGINT or SIGTERM during a transfer aborts it (ABOR) and ends with 1.\n"     },
};

#ifndef TARNET_VERSION
#define TARNET_VERSION "0.1"
#endif

constexpr const char* kUsage =
    "usage: tarnet [options] COMMAND [ARGS]\n"
    "\n"
    "commands:\n"
    "  adapters                          list capture adapters: \"[n] name  description\"\n"
    "  ping HOST [-c N] [-s SIZE] [-W MS] [-i SECONDS] [-q]\n"
    "                                    send N echo requests (default 4) of SIZE data bytes\n"
    "                                    (default 56), waiting MS for each reply (default 1000)\n"
    "                                    -i: one every SECONDS; -q: only the summary\n"
    "  resolve NAME                      print NAME's IPv4 address, asking the DNS server\n"
    "  udp send HOST PORT TEXT           send TEXT as one datagram\n"
    "  udp listen PORT [-n COUNT] [--senders]\n"
    "                                    write each datagram's payload to stdout; stop after\n"
    "                                    COUNT datagrams (--senders: each one's sender and\n"
    "                                    length on stderr)\n"
    "  tcp connect HOST PORT [--keep-reading SECONDS] [--isn N]\n"
    "                                    send stdin over a TCP connection, write what arrives\n"
    "                                    to stdout; at the end of stdin (or, with\n"
    "                                    --keep-reading, once the peer has been silent that\n"
    "                                    long) close and wait until the close has finished\n"
    "  tcp listen PORT [--echo] [-n N] [--isn N]\n"
    "                                    accept connections; write what arrives to stdout (or\n"
    "                                    send it back with --echo); stop after N connections\n"
    "                                    have closed (--isn: the next initial sequence number\n"
    "                                    is about N, for tests)\n"
    "  mail --server HOST --from A --to B [--to C ...] [--cc D] [--subject S] [--koi8r] [--qp]\n"
    "       [--attach FILE] [--user U --password P] [--body TEXT] [--reply-timeout MS]\n"
    "                                    send one mail through SMTP (body from stdin without\n"
    "                                    --body); 'tarnet mail --help' for the details\n"
    "  serve [--seconds N]               answer ARP and ping until N seconds have passed,\n"
    "                                    or until SIGINT or SIGTERM; print each DHCP lease\n"
    "  ftp HOST [--port N] [--user U] [--password P] [--reply-timeout MS] OP ...\n"
    "                                    one FTP session; OP: ls [DIR], get REMOTE [LOCAL],\n"
    "                                    put LOCAL [REMOTE], rm NAME, mkdir NAME, rmdir NAME,\n"
    "                                    mv FROM TO, pwd, noop, get-dir DIR [--overwrite],\n"
    "                                    put-dir DIR, rm-dir DIR\n"
    "\n"
    "HOST may be a dotted quad or a host name (asked of the DNS server).\n"
    "\n"
    "options:\n"
    "  -i, --iface NAME      capture adapter (or TARNET_IFACE); a number picks a line of\n"
    "                        'tarnet adapters'\n"
    "  --tap NAME            a TAP device instead of a capture adapter (created if missing);\n"
    "                        give its kernel end an address on the stack's subnet\n"
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
    "  --window BYTES        TCP receive window offered to peers, 2048 to 32768\n"
    "                        (default 4096; more is faster on a long path)\n"
    "  --send-buffer BYTES   TCP send buffer per connection, 1 to 65535 (default 4096)\n"
    "  -v, --verbose         show the stack's log lines and progress on stderr\n"
    "  -h, --help            show this text ('tarnet COMMAND --help': the command's own)\n"
    "  --version             show the version\n"
    "\n"
    "Options go before the command; what follows the command belongs to it.\n"
    "Capturing frames needs root or the CAP_NET_RAW capability.\n"
    "exit status: 0 done, 1 the operation failed, 2 usage error. SIGINT and SIGTERM end a\n"
    "command that runs until stopped (serve; udp and tcp listen without a count) with 0, ping\n"
    "with its summary (0 when a reply came), and any other command with 1 (\"stopped by\").\n";

// The global options that take a number: --timeout SECONDS, --window BYTES, --send-buffer BYTES.
int ParseNumberOption(std::string_view name, const std::string& text, GlobalOptions& options) {
    struct NumberOption {
        std::string_view name;
        std::uint64_t low;
        std::uint64_t high;
        const char* unit;
    };
    static constexpr NumberOption kOptions[] = {
        {"--timeout",     1,                     86400,                 "a number of seconds"},
        {"--window",      TNSOCK_TCP_WINDOW_MIN, TNSOCK_TCP_WINDOW_MAX, "a number of bytes"  },
        {"--send-buffer", 1,                     TNSOCK_TCP_RING_MAX,   "a number of bytes"  },
    };
    for (const NumberOption& o : kOptions) {
        if (o.name != name) {
            continue;
        }
        std::uint64_t value = 0;
        if (!ParseNumber(text, o.low, o.high, value)) {
            return UsageError("%s: '%s' is not %s (%llu to %llu)", std::string(name).c_str(),
                              text.c_str(), o.unit, static_cast<unsigned long long>(o.low),
                              static_cast<unsigned long long>(o.high));
        }
        const auto v = static_cast<std::uint32_t>(value);
        if (name == "--timeout") {
            options.timeoutSeconds = v;
        } else if (name == "--window") {
            options.tcpWindow = v;
        } else {
            options.tcpSendBuffer = v;
        }
    }
    return kExitOk;
}

// Reads the global options in front of the command; `rest` gets the command and its arguments.
int ParseGlobal(int argc, char** argv, GlobalOptions& options, Args& rest, bool& help,
                bool& version) {
    if (const char* iface = std::getenv("TARNET_IFACE"); iface != nullptr) {
        options.iface = iface;
    }
    std::string impair;
    if (const char* env = std::getenv("TARNET_IMPAIR"); env != nullptr && env[0] != '\0') {
        impair = env;
    }
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--" || arg.size() < 2 || arg[0] != '-') {
            // The command: it and everything after it are the command's.
            for (int j = arg == "--" ? i + 1 : i; j < argc; ++j) {
                rest.emplace_back(argv[j]);
            }
            break;
        }
        const std::size_t equals    = arg.find('=');
        const std::string_view name = arg.substr(0, equals);
        std::string* target         = nullptr;
        if (name == "-i" || name == "--iface") {
            target = &options.iface;
        } else if (name == "--tap") {
            target = &options.tap;
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
        } else if (name == "--timeout" || name == "--window" || name == "--send-buffer") {
            std::string text;
            if (equals != std::string_view::npos) {
                text = std::string(arg.substr(equals + 1));
            } else if (i + 1 < argc) {
                text = argv[++i];
            } else {
                return UsageError("option '%s' needs a value", std::string(name).c_str());
            }
            const int rc = ParseNumberOption(name, text, options);
            if (rc != kExitOk) {
                return rc;
            }
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
        } else if (arg == "--version") {
            version = true;
            continue;
        } else {
            return UsageError("unknown option '%s' (tarnet --help lists the options)",
                              std::string(arg).c_str());
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

// "-h" or "--help" among the command's options (not after its "--").
bool AsksForHelp(const Args& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            return false;
        }
        if (arg == "-h" || arg == "--help") {
            return true;
        }
    }
    return false;
}

int Main(int argc, char** argv) {
    GlobalOptions options;
    Args rest;
    bool help    = false;
    bool version = false;
    if (const int rc = ParseGlobal(argc, argv, options, rest, help, version); rc != kExitOk) {
        return rc;
    }
    if (version) {
        std::puts("tarnet " TARNET_VERSION);
        return kExitOk;
    }
    if (help && rest.empty()) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (rest.empty()) {
        std::fputs(kUsage, stderr);
        return kExitUsage;
    }
    const std::string name = rest.front();
    rest.erase(rest.begin());
    for (const Command& command : kCommands) {
        if (name == command.name) {
            if (help || AsksForHelp(rest)) {
                std::fputs(command.usage, stdout);
                return kExitOk;
            }
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
