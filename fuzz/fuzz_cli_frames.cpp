// The readers `tarnet` applies to frames passing between the stack and the wire: the IPv4 and
// UDP views of a whole frame.
//
// The readers live in the command-line program, which the fuzz build does not make; their
// source file is compiled in here.
#include "../hosts/tarnet/frames.cpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace tarnet::cli;
    const std::span<const std::uint8_t> input(data, size);
    if (const auto udp = ReadUdpFrame(input)) {
        // The view must lie inside the frame.
        if (udp->payload.data() < data || udp->payload.data() + udp->payload.size() > data + size) {
            __builtin_trap();
        }
    }
    if (const auto ip = ReadIpv4Frame(input, 1)) {
        if (ip->payload.data() < data || ip->payload.data() + ip->payload.size() > data + size) {
            __builtin_trap();
        }
    }
    return 0;
}
