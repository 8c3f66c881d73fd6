// tarnet adapters: the capture adapters, numbered as -i accepts them.
#include <cstdio>
#include <string>

#include "cli.h"

namespace tarnet::cli {

int RunAdapters(const GlobalOptions&, const Args& args) {
    if (!args.empty()) {
        return UsageError("adapters takes no arguments");
    }
    std::vector<platform::AdapterInfo> adapters;
    std::string error;
    if (!platform::ListAdapters(adapters, error)) {
        return Fail("Error in pcap_findalldevs: %s", error.c_str());
    }
    if (adapters.empty()) {
        std::fputs(
            "tarnet: no capture adapters found (listing them may need root or "
            "CAP_NET_RAW)\n",
            stderr);
    }
    // Every adapter keeps its number (-i N counts them all); those without Ethernet frames
    // (pseudo-devices, tunnels, Bluetooth) say that the stack cannot use them.
    int number = 1;
    for (const auto& adapter : adapters) {
        std::string text = adapter.description;
        if (!adapter.ethernet) {
            text += text.empty() ? "" : " ";
            text += "(not Ethernet: the stack cannot use it)";
        }
        if (text.empty()) {
            std::printf("[%d] %s\n", number++, adapter.name.c_str());
        } else {
            std::printf("[%d] %s  %s\n", number++, adapter.name.c_str(), text.c_str());
        }
    }
    return std::fflush(stdout) == 0 ? kExitOk : Fail("cannot write the list to stdout");
}

}  // namespace tarnet::cli
