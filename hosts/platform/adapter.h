// The capture adapter: one Ethernet interface opened through libpcap, read without blocking from
// the event loop, and written through a packet socket of its own: the frames the stack sends in
// answer to one received frame (or in the rest of a pass of the loop) are queued and go out
// together in one sendmmsg(2) call when the loop flushes them, instead of one system call per
// frame. Where no packet
// socket can be had, each frame goes out at once with pcap_sendpacket.
//
// The adapter is opened promiscuous (the stack has its own MAC address, which the interface does
// not know), in immediate mode (otherwise libpcap holds frames back to fill a buffer and every
// round trip grows by a fraction of a millisecond), with a kernel ring of kRingFrames frames (a
// burst must not overflow it between two passes of the loop; see RingBytes) and for inbound
// frames only, so that the stack never sees the frames it sent itself. The kernel is asked not
// to put outgoing frames into the capture ring at all; where it cannot be, frames go out through
// the capture's own socket, which the kernel never loops them back to.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

using pcap_t = struct pcap;

namespace tarnet::platform {

using MacAddress = std::array<std::uint8_t, 6>;

struct AdapterInfo {
    std::string name;
    std::string description;  // empty when the library has none
    bool ethernet = true;     // frames on it are Ethernet II: the stack can open it
};

// Whether an adapter carries Ethernet frames, from what listing it costs nothing: its name (the
// capture library's pseudo-devices: any, nflog, nfqueue, dbus-*, bluetooth-monitor, usbmon*),
// its capture flags (a loopback interface is captured Ethernet-framed) and the kernel's
// hardware type of the interface of that name (ARPHRD_..., -1 when there is none).
bool CarriesEthernet(const std::string& name, unsigned flags, int hardwareType);

// Lists the capture adapters. False with the library's error text in `error`.
bool ListAdapters(std::vector<AdapterInfo>& out, std::string& error);

// Reads the interface's own hardware address. False when the interface does not exist or has
// no Ethernet address.
bool InterfaceMac(const std::string& name, MacAddress& mac);

// What sizes the capture ring's slots: the interface's MTU, and whether the driver may hand over
// frames larger than it (segmentation or receive offloads on). False when the interface cannot
// be asked.
bool InterfaceRingShape(const std::string& name, int& mtu, bool& offloads);

class Adapter {
  public:
    static constexpr int kSnapLength    = 65536;
    static constexpr int kReadTimeoutMs = 1;
    // Frames the capture ring holds, and its largest size in bytes.
    static constexpr int kRingFrames   = 2048;
    static constexpr int kRingBytesMax = 32 * 1024 * 1024;

    // The capture buffer to ask libpcap for. In immediate mode libpcap gives every frame a slot
    // sized for the largest frame the interface can deliver: MTU + 18 bytes, or 64 KiB with
    // offloads on, and two slots of an Ethernet frame share one 4 KiB page. The kernel writes
    // the slots in turn, round the whole ring: a ring far larger than it needs to be is written
    // into memory that has long left the caches, and every frame costs misses on both sides. So
    // the ring holds kRingFrames frames of the interface's own size (4 MiB at MTU 1500: 2048
    // full-size frames waiting, far beyond the windows the stack offers), and only where slots
    // are large (offloads, jumbo frames) as many bytes as kRingBytesMax allows.
    static int RingBytes(int mtu, bool offloads);

    // Receives one captured frame. The bytes belong to libpcap and are valid only during the
    // call; they must not be written.
    using FrameSink = void (*)(void* context, const std::uint8_t* frame, std::uint32_t length);

    Adapter() = default;
    ~Adapter();
    Adapter(const Adapter&)            = delete;
    Adapter& operator=(const Adapter&) = delete;

    // Opens the named interface. On failure `error` says why, in plain words; a missing
    // privilege is named as such.
    bool Open(const std::string& name, std::string& error);
    // Opens the TAP device `name` (created if missing, which needs CAP_NET_ADMIN) instead of a
    // capture: the kernel's end of the device is a peer on its own link, so the stack can sit
    // beside the host's own TCP/IP without promiscuous mode or a second namespace. One read or
    // write is one whole frame.
    bool OpenTap(const std::string& name, std::string& error);
    void Close();

    bool IsOpen() const { return handle_ != nullptr || tapFd_ >= 0; }
    const std::string& Name() const { return name_; }
    // Descriptor that becomes readable when frames wait; -1 when closed.
    int Fd() const { return fd_; }

    // Takes at most `maxFrames` waiting frames without blocking (one pcap_dispatch) and hands
    // each to `sink`. Returns the number taken, or -1 when the adapter failed (the interface went
    // away, for instance); LastError() then says why.
    int Receive(int maxFrames, FrameSink sink, void* context);

    // With batching on (the event loop turns it on for its adapter; off by default), Send()
    // queues the frame and the owner must call Flush() before it waits for anything, or the
    // frames sit in the queue. Turning it off flushes.
    void SetBatching(bool on);

    // Transmits one frame: queued while batching is on and a packet socket is open (a full queue
    // is flushed first), otherwise at once. False when a transmission failed; LastError() says
    // why.
    bool Send(const std::uint8_t* frame, std::uint32_t length);
    // Transmits the queued frames. Returns the number that could not be sent (LastError()
    // says why). Closing the adapter flushes too.
    int Flush();

    // System calls made to transmit, and frames transmitted.
    std::uint64_t SendCalls() const { return sendCalls_; }
    std::uint64_t FramesSent() const { return framesSent_; }
    // Reads that found no frame for the stack: the descriptor was readable, but everything in
    // the ring was filtered out (the interface's own outgoing frames, when they reach it).
    std::uint64_t EmptyReads() const { return emptyReads_; }

    // The library's text for the last failure on this adapter.
    std::string LastError() const;

    static constexpr std::size_t kTxBatch    = 64;
    static constexpr std::size_t kTxFrameMax = 1518;

  private:
    bool IgnoreOutgoing();
    bool OpenTx(const std::string& name);
    void UseTxSocket(int fd, bool owned);
    bool SendNow(const std::uint8_t* frame, std::uint32_t length);
    int ReceiveTap(int maxFrames, FrameSink sink, void* context);

    pcap_t* handle_ = nullptr;
    int fd_         = -1;
    int tapFd_      = -1;     // the TAP device's descriptor; -1: a capture adapter
    int txFd_       = -1;     // packet socket bound to the interface; -1: pcap_sendpacket
    bool txOwned_   = false;  // txFd_ is ours to close (not the capture's own socket)
    std::vector<std::uint8_t> txBytes_;      // kTxBatch slots of kTxFrameMax bytes
    std::uint32_t txLength_[kTxBatch] = {};  // length of each queued frame
    std::size_t txCount_              = 0;
    bool batching_                    = false;
    std::uint64_t sendCalls_          = 0;
    std::uint64_t framesSent_         = 0;
    std::uint64_t emptyReads_         = 0;
    std::string lastError_;
    std::string name_;
};

}  // namespace tarnet::platform
