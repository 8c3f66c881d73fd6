// The capture adapter: one Ethernet interface opened through libpcap, read without blocking from
// the event loop and written with pcap_sendpacket.
//
// The adapter is opened promiscuous (the stack has its own MAC address, which the interface does
// not know), in immediate mode (otherwise libpcap holds frames back to fill a buffer and every
// round trip grows by a fraction of a millisecond), with a 32 MiB kernel buffer (a burst must not
// overflow it between two passes of the loop) and for inbound frames only, so that the stack
// never sees the frames it sent itself.
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
};

// Lists the capture adapters. False with the library's error text in `error`.
bool ListAdapters(std::vector<AdapterInfo>& out, std::string& error);

// Reads the interface's own hardware address. False when the interface does not exist or has
// no Ethernet address.
bool InterfaceMac(const std::string& name, MacAddress& mac);

class Adapter {
  public:
    static constexpr int kSnapLength    = 65536;
    static constexpr int kBufferBytes   = 32 * 1024 * 1024;
    static constexpr int kReadTimeoutMs = 1;

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
    void Close();

    bool IsOpen() const { return handle_ != nullptr; }
    const std::string& Name() const { return name_; }
    // Descriptor that becomes readable when frames wait; -1 when closed.
    int Fd() const { return fd_; }

    // Takes at most `maxFrames` waiting frames without blocking and hands each to `sink`.
    // Returns the number taken, or -1 when the adapter failed (the interface went away, for
    // instance); LastError() then says why.
    int Receive(int maxFrames, FrameSink sink, void* context);

    // Transmits one frame. False when the library refused it; LastError() says why.
    bool Send(const std::uint8_t* frame, std::uint32_t length);

    // The library's text for the last failure on this adapter.
    std::string LastError() const;

  private:
    pcap_t* handle_ = nullptr;
    int fd_         = -1;
    std::string name_;
};

}  // namespace tarnet::platform
