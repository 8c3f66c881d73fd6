// The readers `tarnet` applies to frames passing between the stack and the wire: the UDP and
// TCP views of a whole frame and the DNS response verdict. The input is a frame; its UDP
// payload (when it has one) and the raw input both go to the message readers.
//
// The readers live in the command-line program, which the fuzz build does not make; their
// source files are compiled in here.
#include "../hosts/tarnet/frames.cpp"
#include "../hosts/tarnet/tcp_flows.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnet::cli;
    const std::span<const std::uint8_t> input(data, size);
    ReadDnsResponse(input);
    DnsQueryId(input);
    ReadTcpFrame(input);
    if (const auto udp = ReadUdpFrame(input)) {
        // The view must lie inside the frame.
        if (udp->payload.data() < data || udp->payload.data() + udp->payload.size() > data + size) {
            __builtin_trap();
        }
        ReadDnsResponse(udp->payload);
    }
    return 0;
}
