#include "fuzz_support.h"

#include <cstring>
#include <vector>

#include "fake_host.h"

namespace tarnet::fuzz {

namespace {

constexpr std::uint64_t kClockStart = 1'000'000;

// What the fuzz targets look at: counts and the last few frames, in fixed memory.
struct Recorder {
    std::size_t sent   = 0;
    std::size_t pings  = 0;
    std::size_t logged = 0;  // bytes of log text seen
    bool running       = false;
    SentFrame kept[kKeptFrames];
};

Recorder& Host() {
    static Recorder host;
    return host;
}

void KeepFrame(void* context, const std::uint8_t* frame, std::uint32_t length) {
    auto& host = *static_cast<Recorder*>(context);
    if (frame == nullptr) {
        __builtin_trap();  // the stack never hands over a null frame
    }
    SentFrame& slot = host.kept[host.sent % kKeptFrames];
    slot.length     = length;
    std::memcpy(slot.bytes, frame, length < kKeptBytes ? length : kKeptBytes);
    ++host.sent;
}

void ReadLog(void* context, const char* text) {
    // Touch the whole text so that a missing terminator shows up under ASan.
    static_cast<Recorder*>(context)->logged += std::strlen(text);
}

void CountPing(void* context, int, std::uint32_t, std::uint32_t) {
    ++static_cast<Recorder*>(context)->pings;
}

std::uint32_t Sum(std::span<const std::uint8_t> data, std::uint32_t sum) {
    std::size_t i = 0;
    for (; i + 1 < data.size(); i += 2) {
        sum += (std::uint32_t{data[i]} << 8) | data[i + 1];
    }
    if (i < data.size()) {
        sum += std::uint32_t{data[i]} << 8;
    }
    return sum;
}

// Builds Ethernet + IPv4 header + the transport bytes; `fix` may patch the transport bytes
// once the header is in place.
std::vector<std::uint8_t> Ipv4Frame(const Ipv4Fields& f, std::span<const std::uint8_t> payload) {
    std::vector<std::uint8_t> frame(14 + 20 + payload.size());
    std::memcpy(frame.data(), kOurMac, 6);
    std::memcpy(frame.data() + 6, kPeerMac, 6);
    Put16(frame.data() + 12, 0x0800);
    std::uint8_t* ip = frame.data() + 14;
    ip[0]            = 0x45;
    ip[1]            = 0;
    Put16(ip + 2, static_cast<std::uint32_t>((20 + payload.size()) & 0xFFFF));
    Put16(ip + 4, f.id);
    Put16(ip + 6, f.flagsOffset);
    ip[8] = f.ttl;
    ip[9] = f.protocol;
    Put32(ip + 12, f.src);
    Put32(ip + 16, f.dst);
    Put16(ip + 10, Checksum({ip, 20}));
    if (!payload.empty()) {
        std::memcpy(ip + 20, payload.data(), payload.size());
    }
    return frame;
}

}  // namespace

void StartStack(const StackOptions& options) {
    if (Host().running) {
        StopStack();
    }
    Recorder& host = Host();
    host.sent      = 0;
    host.pings     = 0;
    host.logged    = 0;
    // The clock set back, the timers cleared, the random sequence restarted: the same input
    // must take the same path.
    fakehost::FakeHost& fake = fakehost::FakeHost::Get();
    fake.Reset(kClockStart);
    fake.SetFrameSink(KeepFrame, &host);
    fake.SetLogSink(ReadLog, &host);
    fake.SetPingSink(CountPing, &host);

    TnSockConfig config = fakehost::FakeHost::Config();
    config.macAddress   = kOurMac;
    config.useDhcp      = options.useDhcp ? 1 : 0;
    config.localIp      = options.useDhcp ? "0.0.0.0" : "192.0.2.10";
    config.gateway      = "192.0.2.254";
    config.subnetMask   = "255.255.255.0";
    config.dnsServer    = "192.0.2.53";
    config.isnSeed      = options.isnSeed;
    config.reserved     = 0;
    if (!options.pingClient) {
        config.pingEvent = nullptr;
    }
    TnSockSetPredictableIsn(1);  // runs must replay the same way
    if (TnSockInit(&config) != TNSOCK_SUCCESS) {
        __builtin_trap();
    }
    host.running = true;
}

void StopStack() {
    Recorder& host = Host();
    if (!host.running) {
        return;
    }
    TnSockDeinit();
    host.running = false;
    if (fakehost::FakeHost::Get().timers.ActiveCount() != 0) {
        __builtin_trap();  // a layer left a timer running after shutdown
    }
}

std::uint64_t Now() {
    return fakehost::FakeHost::Get().Now();
}

void Advance(std::uint64_t ms) {
    // Bounded: a layer that re-arms zero-delay timers forever would otherwise hang the fuzzer.
    if (!fakehost::FakeHost::Get().Advance(ms, 100'000)) {
        __builtin_trap();  // timers keep firing without time advancing
    }
}

void InjectFrame(std::span<const std::uint8_t> frame) {
    if (frame.size() > kMaxFrame) {
        frame = frame.first(kMaxFrame);
    }
    // An exactly sized heap copy: ASan reports any read or write past the frame.
    std::vector<std::uint8_t> copy(frame.begin(), frame.end());
    TnSockEthernetInput(copy.empty() ? nullptr : copy.data(),
                        static_cast<std::uint32_t>(copy.size()));
    TnSockEndOfInput();
}

void InjectIpv4(const Ipv4Fields& fields, std::span<const std::uint8_t> payload) {
    if (payload.size() > kMaxFrame - 34) {
        payload = payload.first(kMaxFrame - 34);
    }
    const auto frame = Ipv4Frame(fields, payload);
    InjectFrame(frame);
}

void InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, std::span<const std::uint8_t> payload,
               bool checksum, std::uint32_t src) {
    if (payload.size() > 65535 - 28) {
        payload = payload.first(65535 - 28);
    }
    std::vector<std::uint8_t> udp(8 + payload.size());
    Put16(udp.data(), srcPort);
    Put16(udp.data() + 2, dstPort);
    Put16(udp.data() + 4, static_cast<std::uint32_t>(udp.size()));
    if (!payload.empty()) {
        std::memcpy(udp.data() + 8, payload.data(), payload.size());
    }
    if (checksum) {
        std::uint16_t sum =
            Checksum(udp, PseudoHeaderSum(src, kOurIp, 17, static_cast<std::uint32_t>(udp.size())));
        Put16(udp.data() + 6, sum == 0 ? 0xFFFF : sum);
    }
    Ipv4Fields fields;
    fields.src      = src;
    fields.protocol = 17;
    InjectIpv4(fields, udp);
}

void InjectTcp(std::span<const std::uint8_t> segment, std::uint32_t src) {
    if (segment.size() < 20 || segment.size() > 65535 - 20) {
        return;
    }
    std::vector<std::uint8_t> tcp(segment.begin(), segment.end());
    tcp[16] = 0;
    tcp[17] = 0;
    Put16(tcp.data() + 16,
          Checksum(tcp, PseudoHeaderSum(src, kOurIp, 6, static_cast<std::uint32_t>(tcp.size()))));
    Ipv4Fields fields;
    fields.src      = src;
    fields.protocol = 6;
    InjectIpv4(fields, tcp);
}

std::uint16_t Checksum(std::span<const std::uint8_t> data, std::uint32_t initial) {
    std::uint32_t sum = Sum(data, initial);
    while ((sum >> 16) != 0) {
        sum = (sum & 0xFFFF) + (sum >> 16);
    }
    return static_cast<std::uint16_t>(~sum & 0xFFFF);
}

std::uint32_t PseudoHeaderSum(std::uint32_t src, std::uint32_t dst, std::uint8_t protocol,
                              std::uint32_t length) {
    return (src >> 16) + (src & 0xFFFF) + (dst >> 16) + (dst & 0xFFFF) + protocol + length;
}

std::size_t SentCount() {
    return Host().sent;
}

const SentFrame* LastSent(std::size_t back) {
    const Recorder& host = Host();
    if (back >= kKeptFrames || back >= host.sent) {
        return nullptr;
    }
    return &host.kept[(host.sent - 1 - back) % kKeptFrames];
}

std::size_t PingEvents() {
    return Host().pings;
}

std::uint8_t Input::U8() {
    return at_ < size_ ? data_[at_++] : 0;
}

std::uint16_t Input::U16() {
    const std::uint16_t hi = U8();
    return static_cast<std::uint16_t>((hi << 8) | U8());
}

std::uint32_t Input::U32() {
    const std::uint32_t hi = U16();
    return (hi << 16) | U16();
}

std::span<const std::uint8_t> Input::Bytes(std::size_t n) {
    const std::size_t take = n < Remaining() ? n : Remaining();
    const std::span<const std::uint8_t> out(data_ + at_, take);
    at_ += take;
    return out;
}

}  // namespace tarnet::fuzz
