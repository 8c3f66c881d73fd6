#include "desktop_stack.h"

#include <cstdio>

#include "host.h"
#include "text.h"

namespace tarnet::desktop {

DesktopStack::DesktopStack(AdapterPort& port, FillFn fill, LogFn log)
    : port_(port), fill_(std::move(fill)), log_(std::move(log)) {}

DesktopStack::~DesktopStack() {
    Shutdown();
}

std::vector<std::string> DesktopStack::LoadAdapters() {
    adapters_.clear();
    std::string error;
    if (!port_.List(adapters_, error)) {
        adapters_.clear();
        log_("Error in pcap_findalldevs: " + error);
        return {};
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < adapters_.size(); ++i) {
        const AdapterEntry& a = adapters_[i];
        lines.push_back("[" + std::to_string(i + 1) + "] " +
                        (a.description.empty() ? a.name : a.description));
    }
    return lines;
}

bool DesktopStack::Initialise(const InitRequest& request) {
    // Repeating the command reopens the adapter; the stack keeps its first configuration.
    if (port_.IsOpen()) {
        port_.Close();
    }
    if (request.adapter < 0 || static_cast<std::size_t>(request.adapter) >= adapters_.size()) {
        log_("Local adapter not selected from list");
        return false;
    }
    const std::string ip(CutChars(request.localIp, kAddressChars));
    const std::string macText(CutChars(request.mac, kMacChars));
    platform::MacAddress mac{};
    std::string error;
    if (!platform::ParseMac(macText, mac, error)) {
        // A MAC text of another length would leave the address undefined: refuse it.
        log_("Local ethernet address must be 17 characters, e.g. 00:1E:68:A4:FB:15");
        return false;
    }
    char line[64];
    std::snprintf(line, sizeof line,
                  "Initializing with eth addr: %02x:%02x:%02x:%02x:%02x:%02x:", mac[0], mac[1],
                  mac[2], mac[3], mac[4], mac[5]);
    log_(line);

    if (!up_) {
        mac_     = mac;
        localIp_ = request.useDhcp ? "0.0.0.0" : ip;
    }
    TnSockConfig config{};
    fill_(config);
    config.macAddress = mac_.data();
    config.useDhcp    = request.useDhcp ? 1 : 0;
    config.localIp    = request.useDhcp ? "0.0.0.0" : ip.c_str();
    config.gateway    = "0.0.0.0";
    config.subnetMask = "255.255.255.0";
    config.dnsServer  = "0.0.0.0";
    config.reserved   = 0;
    config.pingEvent  = nullptr;
    const int rc      = TnSockInit(&config);
    if (rc != TNSOCK_SUCCESS) {
        log_(std::string("TnSockInit failed, rc=") + TnSockResultName(rc));
        return false;
    }
    up_ = true;
    if (!port_.Open(adapters_[static_cast<std::size_t>(request.adapter)].name, error)) {
        log_("Unable to open the adapter : " + error);
        return false;
    }
    log_("TnSock initialized OK");
    return true;
}

void DesktopStack::Shutdown() {
    if (up_) {
        TnSockDeinit();
        up_ = false;
    }
    if (port_.IsOpen()) {
        port_.Close();
    }
}

}  // namespace tarnet::desktop
