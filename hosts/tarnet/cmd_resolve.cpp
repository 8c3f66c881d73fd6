// tarnet resolve NAME: the IPv4 address of NAME from the stack's own DNS resolver, asking the
// DNS server of the lease (or --dns).
#include <cstdio>

#include "cli.h"

namespace tarnet::cli {

int RunResolve(const GlobalOptions& options, const Args& args) {
    ArgReader reader(args);
    std::vector<std::string> positional;
    if (!reader.Read(positional)) {
        return kExitUsage;
    }
    if (positional.size() != 1 || positional[0].empty()) {
        return UsageError("usage: tarnet [options] resolve NAME");
    }
    Session session(options);
    if (const int rc = session.Start(); rc != kExitOk) {
        return rc;
    }
    std::uint32_t address = 0;
    if (const int rc = session.ResolveHost(positional[0], address); rc != kExitOk) {
        return rc;
    }
    std::printf("%s\n", AddressText(address).c_str());
    return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write to stdout");
}

}  // namespace tarnet::cli
