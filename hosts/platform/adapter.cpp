#include "adapter.h"

#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace tarnet::platform {

namespace {

// Text for a failed pcap_activate: the library's own text, with the usual cause spelled out.
std::string ActivateError(pcap_t* handle, int rc) {
    if (rc == PCAP_ERROR_PERM_DENIED || rc == PCAP_ERROR_PROMISC_PERM_DENIED) {
        return "permission denied; run as root or give the binary CAP_NET_RAW";
    }
    std::string text   = pcap_statustostr(rc);
    const char* detail = pcap_geterr(handle);
    if (detail != nullptr && detail[0] != '\0') {
        text += ": ";
        text += detail;
    }
    if (rc == PCAP_ERROR_IFACE_NOT_UP) {
        text += " (bring the interface up first: ip link set IFACE up)";
    }
    return text;
}

}  // namespace

bool ListAdapters(std::vector<AdapterInfo>& out, std::string& error) {
    out.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if* all                  = nullptr;
    if (pcap_findalldevs(&all, errbuf) != 0) {
        error = errbuf;
        return false;
    }
    for (const pcap_if* dev = all; dev != nullptr; dev = dev->next) {
        out.push_back({dev->name, dev->description != nullptr ? dev->description : ""});
    }
    pcap_freealldevs(all);
    return true;
}

bool InterfaceMac(const std::string& name, MacAddress& mac) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return false;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return false;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    const bool ok =
        ioctl(sock, SIOCGIFHWADDR, &request) == 0 && request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    close(sock);
    if (ok) {
        std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    }
    return ok;
}

Adapter::~Adapter() {
    Close();
}

bool Adapter::Open(const std::string& name, std::string& error) {
    Close();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    handle_                       = pcap_create(name.c_str(), errbuf);
    if (handle_ == nullptr) {
        error = errbuf;
        return false;
    }
    // Options must be set before activation; each can only fail on an already active handle.
    pcap_set_snaplen(handle_, kSnapLength);
    pcap_set_promisc(handle_, 1);
    pcap_set_immediate_mode(handle_, 1);
    pcap_set_buffer_size(handle_, kBufferBytes);
    pcap_set_timeout(handle_, kReadTimeoutMs);

    const int rc = pcap_activate(handle_);
    if (rc < 0) {
        error = ActivateError(handle_, rc);
        Close();
        return false;
    }
    // A positive result is a warning (promiscuous mode not supported, for instance): the
    // adapter still works for frames addressed to the interface itself.
    if (pcap_datalink(handle_) != DLT_EN10MB) {
        error = "not an Ethernet interface (link type " +
                std::string(pcap_datalink_val_to_name(pcap_datalink(handle_)) != nullptr
                                ? pcap_datalink_val_to_name(pcap_datalink(handle_))
                                : "unknown") +
                ")";
        Close();
        return false;
    }
    if (pcap_setdirection(handle_, PCAP_D_IN) != 0) {
        error = std::string("cannot restrict capture to inbound frames: ") + pcap_geterr(handle_);
        Close();
        return false;
    }
    if (pcap_setnonblock(handle_, 1, errbuf) != 0) {
        error = std::string("cannot switch to non-blocking reads: ") + errbuf;
        Close();
        return false;
    }
    fd_ = pcap_get_selectable_fd(handle_);
    if (fd_ < 0) {
        error = "the adapter offers no descriptor to wait on";
        Close();
        return false;
    }
    name_ = name;
    return true;
}

void Adapter::Close() {
    if (handle_ != nullptr) {
        pcap_close(handle_);
        handle_ = nullptr;
    }
    fd_ = -1;
    name_.clear();
}

int Adapter::Receive(int maxFrames, FrameSink sink, void* context) {
    if (handle_ == nullptr) {
        return 0;
    }
    int taken = 0;
    while (taken < maxFrames) {
        pcap_pkthdr* header      = nullptr;
        const std::uint8_t* data = nullptr;
        const int rc             = pcap_next_ex(handle_, &header, &data);
        if (rc == 0) {
            break;  // nothing more waiting
        }
        if (rc < 0) {
            return -1;
        }
        ++taken;
        sink(context, data, header->caplen);
    }
    return taken;
}

bool Adapter::Send(const std::uint8_t* frame, std::uint32_t length) {
    if (handle_ == nullptr) {
        return false;
    }
    return pcap_sendpacket(handle_, frame, static_cast<int>(length)) == 0;
}

std::string Adapter::LastError() const {
    return handle_ != nullptr ? pcap_geterr(handle_) : "adapter not open";
}

}  // namespace tarnet::platform
