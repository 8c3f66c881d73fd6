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

test::Bytes Copy(std::span<const std::uint8_t> bytes) {
    return test::Bytes(bytes.begin(), bytes.end());
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

    TnSockConfig config = test::VirtualHost::Config();
    config.useDhcp      = options.useDhcp ? 1 : 0;
    config.localIp      = options.useDhcp ? "0.0.0.0" : "192.0.2.10";
    config.dnsServer    = "192.0.2.53";
    config.isnSeed      = options.isnSeed;
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

void InjectIpv4(test::Ipv4Packet packet) {
    const std::size_t room = kMaxFrame - 14 - 20 - packet.options.size();
    if (packet.payload.size() > room) {
        packet.payload.resize(room);
    }
    InjectFrame(test::Ipv4Frame(kOurMac, kPeerMac, packet));
}

void InjectUdp(std::uint16_t srcPort, std::uint16_t dstPort, std::span<const std::uint8_t> payload,
               bool checksum, std::uint32_t src) {
    if (payload.size() > 65535 - 28) {
        payload = payload.first(65535 - 28);
    }
    test::UdpDatagram udp;
    udp.srcPort = srcPort;
    udp.dstPort = dstPort;
    udp.payload = Copy(payload);
    udp.checksum =
        checksum ? test::UdpDatagram::Checksum::kCorrect : test::UdpDatagram::Checksum::kNone;
    InjectIpv4(test::MakeIpv4(17, udp.Build(src, kOurIp), src, kOurIp, 1));
}

void InjectTcp(const test::TcpSegment& segment) {
    InjectIpv4(test::MakeIpv4(6, segment.Build(kPeerIp, kOurIp), kPeerIp, kOurIp, 1));
}

void InjectRawTcp(std::span<const std::uint8_t> segment) {
    if (segment.size() < 20 || segment.size() > 65535 - 20) {
        return;
    }
    test::Bytes tcp = Copy(segment);
    test::SealTcp(tcp, kPeerIp, kOurIp);
    InjectIpv4(test::MakeIpv4(6, tcp, kPeerIp, kOurIp, 1));
}

void Introduce(const Mac& mac, std::uint32_t ip) {
    const test::ArpPacket request{1, mac, ip, Mac{}, kOurIp};
    InjectFrame(test::ArpFrame(test::kBroadcast, mac, request));
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

std::optional<test::Decoded> DecodeSent(std::size_t back) {
    const SentFrame* f = LastSent(back);
    if (f == nullptr || f->length > kKeptBytes) {
        return std::nullopt;
    }
    return test::Decode(test::Bytes(f->bytes, f->bytes + f->length));
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
