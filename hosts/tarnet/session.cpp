// The session every stack command runs in: options checked, adapter opened, stack started, loop
// run, and everything shut down again in the right order.
#include <csignal>
#include <cstring>

#include "cli.h"
#include "host.h"
#include "tarnet/tnsock.h"

namespace tarnet::cli {

using platform::EventLoop;

Session::Session(const GlobalOptions& options) : options_(options), loop_(&adapter_) {}

Session::~Session() {
    if (stackUp_) {
        // The stack may still send while it shuts down (resets of open TCP connections), so the
        // adapter stays attached until it is done.
        TnSockDeinit();
        stackUp_ = false;
        // Frames the impairment still holds for the wire go out now rather than never.
        platform::HostFaults().Service(UINT64_MAX);
        platform::HostLog("stack stopped");
    }
    platform::HostAttachAdapter(nullptr);
    adapter_.Close();
}

int Session::CheckOptions() {
    if (options_.ip.empty()) {
        return UsageError("no local address: give --ip ADDR (DHCP is not available yet)");
    }
    if (!ParseAddress(options_.ip, local_) || local_ == 0) {
        return UsageError("--ip: '%s' is not a usable IPv4 address", options_.ip.c_str());
    }
    mask_ = 0xFFFFFF00U;
    if (!options_.mask.empty() && !ParseAddress(options_.mask, mask_)) {
        return UsageError("--mask: '%s' is not an IPv4 address mask", options_.mask.c_str());
    }
    if (!options_.gateway.empty() && !ParseAddress(options_.gateway, gateway_)) {
        return UsageError("--gateway: '%s' is not an IPv4 address", options_.gateway.c_str());
    }
    std::uint32_t dns = 0;
    if (!options_.dns.empty() && !ParseAddress(options_.dns, dns)) {
        return UsageError("--dns: '%s' is not an IPv4 address", options_.dns.c_str());
    }
    if (!options_.mac.empty()) {
        std::string error;
        if (!platform::ParseMac(options_.mac, mac_, error)) {
            return UsageError("--mac: %s", error.c_str());
        }
    }
    return kExitOk;
}

int Session::PickAdapter(std::string& name) {
    if (options_.iface.empty()) {
        return UsageError(
            "Local adapter not selected from list: give -i IFACE or set TARNET_IFACE "
            "('tarnet adapters' lists them)");
    }
    std::vector<platform::AdapterInfo> adapters;
    std::string error;
    if (!platform::ListAdapters(adapters, error)) {
        return Fail("Error in pcap_findalldevs: %s", error.c_str());
    }
    for (const auto& adapter : adapters) {
        if (adapter.name == options_.iface) {
            name = adapter.name;
            return kExitOk;
        }
    }
    // "-i 2" picks the second line of 'tarnet adapters'.
    std::uint64_t index = 0;
    if (ParseNumber(options_.iface, 1, adapters.size(), index)) {
        name = adapters[index - 1].name;
        return kExitOk;
    }
    return Fail(
        "Local adapter not selected from list: no adapter named '%s' "
        "('tarnet adapters' lists them)",
        options_.iface.c_str());
}

int Session::Start() {
    if (options_.timeoutSeconds) {
        deadline_ = platform::MonotonicMs() + std::uint64_t{*options_.timeoutSeconds} * 1000;
    }
    if (const int rc = CheckOptions(); rc != kExitOk) {
        return rc;
    }
    std::string name;
    if (const int rc = PickAdapter(name); rc != kExitOk) {
        return rc;
    }
    if (options_.mac.empty()) {
        platform::MacAddress ifaceMac{};
        const bool known = platform::InterfaceMac(name, ifaceMac);
        mac_             = platform::DefaultStackMac(known ? &ifaceMac : nullptr);
    }

    platform::HostLog("Initializing with eth addr: %02x:%02x:%02x:%02x:%02x:%02x:", mac_[0],
                      mac_[1], mac_[2], mac_[3], mac_[4], mac_[5]);
    // The adapter opens before the stack starts, so that nothing the stack sends at start is
    // lost and a missing privilege is reported before anything else happens.
    std::string error;
    if (!adapter_.Open(name, error)) {
        return Fail("Unable to open the adapter : not supported by WinPcap (%s: %s)", name.c_str(),
                    error.c_str());
    }
    platform::HostAttachAdapter(&adapter_);
    platform::HostConfigureFaults(options_.faults);

    const std::string gateway = options_.gateway.empty() ? "0.0.0.0" : options_.gateway;
    const std::string mask    = options_.mask.empty() ? "255.255.255.0" : options_.mask;
    const std::string dns     = options_.dns.empty() ? "0.0.0.0" : options_.dns;
    TnSockConfig config{};
    config.macAddress = mac_.data();
    config.useDhcp    = 0;
    config.localIp    = options_.ip.c_str();
    config.gateway    = gateway.c_str();
    config.subnetMask = mask.c_str();
    config.dnsServer  = dns.c_str();
    platform::HostFillCallbacks(config);

    const int rc = TnSockInit(&config);
    if (rc != TNSOCK_SUCCESS) {
        return Fail("TnSockInit failed, rc=%s", TnSockResultName(rc));
    }
    stackUp_ = true;
    platform::HostLog("TnSock initialized OK");
    platform::HostLog("stack up: %s", Describe().c_str());
    return kExitOk;
}

std::string Session::Describe() const {
    return AddressText(local_) + " on " + adapter_.Name() + " (" + platform::FormatMac(mac_) + ")";
}

EventLoop::Outcome Session::Run(EventLoop::DoneFn done, void* context,
                                std::optional<std::uint64_t> untilMs) {
    std::optional<std::uint64_t> until = untilMs;
    if (deadline_ && (!until || *deadline_ < *until)) {
        until = deadline_;
    }
    const EventLoop::Outcome outcome = loop_.Run(done, context, until);
    timedOut_                        = outcome == EventLoop::Outcome::kDeadline && deadline_ &&
                platform::MonotonicMs() >= *deadline_;
    return outcome;
}

int Session::Stopped(EventLoop::Outcome outcome) const {
    switch (outcome) {
        case EventLoop::Outcome::kDone:
            return kExitOk;
        case EventLoop::Outcome::kDeadline:
            return Fail("timed out after %u s", options_.timeoutSeconds.value_or(0));
        case EventLoop::Outcome::kStopSignal:
            return Fail("stopped by %s", strsignal(EventLoop::StopSignal()));
        case EventLoop::Outcome::kAdapterFailed:
            return Fail("%s", loop_.Error().c_str());
    }
    return kExitFailed;
}

int Session::ResolveHost(const std::string& text, std::uint32_t& out) {
    if (ParseAddress(text, out)) {
        if (out == 0) {
            return UsageError("HOST 0.0.0.0 cannot be addressed");
        }
        return kExitOk;
    }
    return UsageError("'%s' is not an IPv4 address (host names are not resolved yet)",
                      text.c_str());
}

std::uint32_t Session::NextHop(std::uint32_t destination) const {
    if (destination == 0xFFFFFFFFU || (destination & mask_) == (local_ & mask_)) {
        return destination;
    }
    return gateway_;
}

}  // namespace tarnet::cli
