#include "adapter.h"

#include <fcntl.h>
#include <linux/ethtool.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <pcap/pcap.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "host.h"

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

// The kernel's hardware type of interface `name` (ARPHRD_...), or -1 when no interface has
// that name.
int HardwareType(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return -1;
    }
    const int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return -1;
    }
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    const int type = ioctl(sock, SIOCGIFHWADDR, &request) == 0 ? request.ifr_hwaddr.sa_family : -1;
    close(sock);
    return type;
}

bool IsPseudoDevice(const std::string& name) {
    constexpr const char* kExact[]    = {"any", "nflog", "nfqueue", "bluetooth-monitor"};
    constexpr const char* kPrefixes[] = {"dbus-", "usbmon"};
    for (const char* exact : kExact) {
        if (name == exact) {
            return true;
        }
    }
    for (const char* prefix : kPrefixes) {
        if (name.starts_with(prefix)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CarriesEthernet(const std::string& name, unsigned flags, int hardwareType) {
    if (IsPseudoDevice(name)) {
        return false;
    }
    return (flags & PCAP_IF_LOOPBACK) != 0 || hardwareType == ARPHRD_ETHER;
}

bool ListAdapters(std::vector<AdapterInfo>& out, std::string& error) {
    out.clear();
    char errbuf[PCAP_ERRBUF_SIZE] = {};
    pcap_if* all                  = nullptr;
    if (pcap_findalldevs(&all, errbuf) != 0) {
        error = errbuf;
        return false;
    }
    for (const pcap_if* dev = all; dev != nullptr; dev = dev->next) {
        const std::string name = dev->name;
        out.push_back({name, dev->description != nullptr ? dev->description : "",
                       CarriesEthernet(name, dev->flags, HardwareType(name))});
    }
    pcap_freealldevs(all);
    return true;
}

namespace {

// A socket to put interface questions to, and a request that names the interface; -1 when the
// name does not fit a request or no socket could be had.
int InterfaceQuery(const std::string& name, ifreq& request) {
    if (name.empty() || name.size() >= IFNAMSIZ) {
        return -1;
    }
    request = ifreq{};
    std::memcpy(request.ifr_name, name.c_str(), name.size() + 1);
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
}

}  // namespace

bool InterfaceMac(const std::string& name, MacAddress& mac) {
    ifreq request{};
    const int sock = InterfaceQuery(name, request);
    if (sock < 0) {
        return false;
    }
    const bool ok =
        ioctl(sock, SIOCGIFHWADDR, &request) == 0 && request.ifr_hwaddr.sa_family == ARPHRD_ETHER;
    close(sock);
    if (ok) {
        std::memcpy(mac.data(), request.ifr_hwaddr.sa_data, mac.size());
    }
    return ok;
}

namespace {

// One ethtool value of the interface `request` names; 0 when the driver does not support the
// question. False when it could not be asked.
bool EthtoolValue(int sock, ifreq request, std::uint32_t command, std::uint32_t& out) {
    ethtool_value value{};
    value.cmd        = command;
    request.ifr_data = reinterpret_cast<char*>(&value);
    if (ioctl(sock, SIOCETHTOOL, &request) != 0) {
        out = 0;
        return errno == EOPNOTSUPP || errno == EINVAL;
    }
    out = value.data;
    return true;
}

}  // namespace

bool InterfaceRingShape(const std::string& name, int& mtu, bool& offloads) {
    ifreq request{};
    const int sock = InterfaceQuery(name, request);
    if (sock < 0) {
        return false;
    }
    const ifreq named = request;  // the ethtool questions below each take a copy
    bool ok           = ioctl(sock, SIOCGIFMTU, &request) == 0;
    mtu               = request.ifr_mtu;
    // The offloads libpcap itself asks about before it sizes its slots: segmentation (TCP and
    // generic), generic receive, and large receive among the flags.
    constexpr std::uint32_t kQuestions[] = {ETHTOOL_GTSO, ETHTOOL_GGSO, ETHTOOL_GGRO,
                                            ETHTOOL_GFLAGS};
    offloads                             = false;
    for (const std::uint32_t command : kQuestions) {
        std::uint32_t value = 0;
        ok                  = EthtoolValue(sock, named, command, value) && ok;
        const std::uint32_t on =
            command == ETHTOOL_GFLAGS ? static_cast<std::uint32_t>(ETH_FLAG_LRO) : ~0U;
        offloads = offloads || (value & on) != 0;
    }
    close(sock);
    return ok;
}

int Adapter::RingBytes(int mtu, bool offloads) {
    if (offloads) {
        return kRingBytesMax;  // 64 KiB slots: as many as fit
    }
    constexpr int kEthernetMtu  = 1500;
    constexpr int kSlotOverhead = 18 + 128;  // Ethernet header and CRC; the slot's own header
    const int frame             = (mtu > 0 ? mtu : kEthernetMtu) + kSlotOverhead;
    int slot                    = 2048;  // two Ethernet frames to a page
    while (slot < frame && slot * kRingFrames < kRingBytesMax) {
        slot *= 2;
    }
    return std::min(slot * kRingFrames, kRingBytesMax);
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
    int mtu       = 0;
    bool offloads = true;
    if (!InterfaceRingShape(name, mtu, offloads)) {
        offloads = true;  // unknown: the largest ring, as for the largest slots
    }
    const int ringBytes = RingBytes(mtu, offloads);
    pcap_set_buffer_size(handle_, ringBytes);
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
    HostLog("%s: capture ring of %d KiB (MTU %d, offloads %s)", name.c_str(), ringBytes / 1024, mtu,
            offloads ? "on or unknown" : "off");
    if (IgnoreOutgoing()) {
        OpenTx(name);  // without it, frames go out one by one through the library
    } else {
        // The kernel hands a packet socket's own transmissions to every other packet socket on
        // the interface but never back to itself: sending through the capture's socket keeps
        // them out of its ring.
        HostLog(
            "%s: the kernel cannot keep sent frames out of the capture; sending through "
            "the capture's own socket",
            name.c_str());
        UseTxSocket(pcap_fileno(handle_), false);
    }
    return true;
}

bool Adapter::OpenTap(const std::string& name, std::string& error) {
    Close();
    ifreq request{};
    if (name.empty() || name.size() >= sizeof request.ifr_name) {
        error = "'" + name + "' is not a usable device name";
        return false;
    }
    const int fd = open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = std::string("/dev/net/tun: ") + std::strerror(errno);
        return false;
    }
    request.ifr_flags = IFF_TAP | IFF_NO_PI;  // whole Ethernet frames, no packet-information prefix
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    if (ioctl(fd, TUNSETIFF, &request) != 0) {
        error = name + ": " + std::strerror(errno) +
                (errno == EPERM ? " (a TAP device needs root or CAP_NET_ADMIN)" : "");
        close(fd);
        return false;
    }
    tapFd_ = fd;
    fd_    = fd;
    name_  = name;
    return true;
}

// The direction filter (PCAP_D_IN) drops the frames the interface sends only after the kernel
// has copied each one into the capture ring and woken the loop for it: every frame sent would
// cost a wake-up and a ring walk for nothing. Asking the kernel not to deliver outgoing frames
// to this socket at all (Linux 4.20 and later) keeps them out of the ring.
bool Adapter::IgnoreOutgoing() {
#ifdef PACKET_IGNORE_OUTGOING
    const int on = 1;
    return setsockopt(pcap_fileno(handle_), SOL_PACKET, PACKET_IGNORE_OUTGOING, &on, sizeof on) ==
           0;
#else
    return false;
#endif
}

// A raw packet socket bound to the interface, for transmission only: protocol 0 receives
// nothing. Its frames are outgoing, which the capture socket has asked the kernel not to give it.
bool Adapter::OpenTx(const std::string& name) {
    const unsigned index = if_nametoindex(name.c_str());
    if (index == 0) {
        return false;
    }
    const int sock = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        return false;
    }
    sockaddr_ll address{};
    address.sll_family  = AF_PACKET;
    address.sll_ifindex = static_cast<int>(index);
    if (bind(sock, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(sock);
        return false;
    }
    UseTxSocket(sock, true);
    return true;
}

void Adapter::UseTxSocket(int fd, bool owned) {
    txFd_    = fd;
    txOwned_ = owned;
    txBytes_.assign(kTxBatch * kTxFrameMax, 0);
    txCount_ = 0;
}

void Adapter::Close() {
    Flush();
    if (txFd_ >= 0 && txOwned_) {
        close(txFd_);
    }
    txFd_    = -1;
    txOwned_ = false;
    if (handle_ != nullptr) {
        pcap_close(handle_);
        handle_ = nullptr;
    }
    if (tapFd_ >= 0) {
        close(tapFd_);
        tapFd_ = -1;
    }
    fd_ = -1;
    name_.clear();
}

namespace {

struct DispatchContext {
    Adapter::FrameSink sink;
    void* context;
};

void Dispatch(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
    const auto* d = reinterpret_cast<const DispatchContext*>(user);
    d->sink(d->context, bytes, header->caplen);
}

}  // namespace

// A TAP device hands over one frame per read; frames longer than the buffer are cut by the
// kernel, and the stack drops them as malformed.
int Adapter::ReceiveTap(int maxFrames, FrameSink sink, void* context) {
    std::uint8_t frame[kTxFrameMax];
    int taken = 0;
    while (taken < maxFrames) {
        const ssize_t n = read(tapFd_, frame, sizeof frame);
        if (n > 0) {
            sink(context, frame, static_cast<std::uint32_t>(n));
            ++taken;
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN) {
            lastError_ = std::strerror(errno);
            return -1;
        } else {
            break;
        }
    }
    if (taken == 0) {
        ++emptyReads_;
    }
    return taken;
}

int Adapter::Receive(int maxFrames, FrameSink sink, void* context) {
    if (tapFd_ >= 0 && maxFrames > 0) {
        return ReceiveTap(maxFrames, sink, context);
    }
    if (handle_ == nullptr || maxFrames <= 0) {
        return 0;
    }
    // One call takes what is waiting, up to the bound; reading on until the ring is empty would
    // cost one more (empty) poll inside the library on every pass.
    DispatchContext d{sink, context};
    const int rc = pcap_dispatch(handle_, maxFrames, Dispatch, reinterpret_cast<u_char*>(&d));
    if (rc < 0) {
        lastError_ = pcap_geterr(handle_);
        return -1;
    }
    if (rc == 0) {
        ++emptyReads_;
    }
    return rc;
}

void Adapter::SetBatching(bool on) {
    if (!on) {
        Flush();
    }
    batching_ = on;
}

bool Adapter::SendNow(const std::uint8_t* frame, std::uint32_t length) {
    ++sendCalls_;
    if (tapFd_ >= 0) {
        if (write(tapFd_, frame, length) != static_cast<ssize_t>(length)) {
            lastError_ = std::strerror(errno);
            return false;
        }
        ++framesSent_;
        return true;
    }
    if (pcap_sendpacket(handle_, frame, static_cast<int>(length)) != 0) {
        lastError_ = pcap_geterr(handle_);
        return false;
    }
    ++framesSent_;
    return true;
}

bool Adapter::Send(const std::uint8_t* frame, std::uint32_t length) {
    if (!IsOpen()) {
        return false;
    }
    if (!batching_ || txFd_ < 0 || length > kTxFrameMax) {
        const bool flushed = Flush() == 0;
        return SendNow(frame, length) && flushed;
    }
    const bool flushed = txCount_ < kTxBatch || Flush() == 0;
    std::memcpy(txBytes_.data() + txCount_ * kTxFrameMax, frame, length);
    txLength_[txCount_++] = length;
    return flushed;
}

int Adapter::Flush() {
    if (txCount_ == 0) {
        return 0;
    }
    iovec iov[kTxBatch];
    mmsghdr messages[kTxBatch];
    for (std::size_t i = 0; i < txCount_; ++i) {
        iov[i]                         = {txBytes_.data() + i * kTxFrameMax, txLength_[i]};
        messages[i]                    = {};
        messages[i].msg_hdr.msg_iov    = &iov[i];
        messages[i].msg_hdr.msg_iovlen = 1;
    }
    int failed       = 0;
    std::size_t done = 0;
    while (done < txCount_) {
        ++sendCalls_;
        const int rc = sendmmsg(txFd_, messages + done, static_cast<unsigned>(txCount_ - done), 0);
        if (rc > 0) {
            done += static_cast<std::size_t>(rc);
            framesSent_ += static_cast<std::uint64_t>(rc);
        } else if (rc < 0 && errno == EINTR) {
            continue;
        } else {
            // The frame at `done` was refused (a full device queue, for instance): it is lost,
            // as on a real link, and TCP's retransmission covers it; the rest still go.
            lastError_ = rc < 0 ? std::strerror(errno) : "no frame sent";
            ++failed;
            ++done;
        }
    }
    txCount_ = 0;
    return failed;
}

std::string Adapter::LastError() const {
    if (!IsOpen()) {
        return "adapter not open";
    }
    return lastError_;
}

}  // namespace tarnet::platform
