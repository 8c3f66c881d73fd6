#include "desktop_stack.h"

#include "host.h"
#include "text.h"

namespace tarnet::desktop {

DesktopStack::DesktopStack(AdapterPort& port, FillFn fill, LogFn log)
    : port_(port),
      log_(std::move(log)),
      session_(port, std::move(fill), [this](const std::string& line) { log_(line); }) {}

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
    if (port_.IsOpen()) {
        port_.Close();
    }
    if (request.adapter < 0 || static_cast<std::size_t>(request.adapter) >= adapters_.size()) {
        log_("Local adapter not selected from list");
        return false;
    }
    platform::StackSettings settings;
    settings.adapter = adapters_[static_cast<std::size_t>(request.adapter)].name;
    std::string error;
    if (!platform::ParseMac(CutChars(request.mac, kMacChars), settings.mac, error)) {
        // A MAC text of another length would leave the address undefined: refuse it.
        log_("Local ethernet address must be 17 characters, e.g. 00:1E:68:A4:FB:15");
        return false;
    }
    settings.useDhcp = request.useDhcp;
    settings.localIp =
        request.useDhcp ? "0.0.0.0" : std::string(CutChars(request.localIp, kAddressChars));
    settings.gateway    = CutChars(request.gateway, kAddressChars);
    settings.subnetMask = CutChars(request.mask, kAddressChars);
    settings.dnsServer  = CutChars(request.dns, kAddressChars);
    settings.order      = request.order;
    if (!session_.StackUp()) {
        localIp_ = settings.localIp;
    }
    return session_.Begin(settings) == platform::StackSession::Start::kUp;
}

void DesktopStack::Shutdown() {
    session_.Shutdown();
}

}  // namespace tarnet::desktop
