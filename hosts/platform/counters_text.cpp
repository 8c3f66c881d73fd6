// The stack's counters as text.
#include "counters_text.h"

#include <cstdint>

namespace tarnet::platform {

namespace {

struct Field {
    const char* name;
    std::uint32_t TnSockCounters::*member;
};

struct Line {
    const char* title;
    std::vector<Field> fields;
};

const std::vector<Line>& Lines() {
    using C = TnSockCounters;
    static const std::vector<Line> lines{
        {"frames",  {{"in", &C::framesIn}, {"out", &C::framesOut}}            },
        {"arp",     {{"in", &C::arpIn}, {"out", &C::arpOut}}                  },
        {"ip",      {{"in", &C::ipIn}, {"out", &C::ipOut}}                    },
        {"icmp",    {{"in", &C::icmpIn}, {"out", &C::icmpOut}}                },
        {"udp",     {{"in", &C::udpIn}, {"out", &C::udpOut}}                  },
        {"tcp",
         {{"in", &C::tcpIn},
          {"out", &C::tcpOut},
          {"retransmissions", &C::tcpRetransmissions},
          {"fast retransmits", &C::tcpFastRetransmits},
          {"timeouts", &C::tcpTimeouts},
          {"resets sent", &C::tcpResetsSent},
          {"resets received", &C::tcpResetsReceived},
          {"challenge acks", &C::tcpChallengeAcks}}                           },
        {"dropped",
         {{"checksum", &C::dropChecksum},
          {"not for us", &C::dropNotForUs},
          {"malformed", &C::dropMalformed},
          {"unknown protocol", &C::dropUnknownProtocol},
          {"no listener", &C::dropNoListener},
          {"out of window", &C::dropOutOfWindow},
          {"no memory", &C::dropNoMemory},
          {"reassembly timeout", &C::dropReassemblyTimeout},
          {"reassembly overflow", &C::dropReassemblyOverflow},
          {"arp queue full", &C::dropArpQueueFull}}                           },
        {"dns",     {{"queries", &C::dnsQueries}, {"answers", &C::dnsAnswers}}},
        {"dhcp",    {{"sent", &C::dhcpSent}, {"received", &C::dhcpReceived}}  },
    };
    return lines;
}

}  // namespace

// "counters tcp: in 12, out 10, retransmissions 0, ..."
std::vector<std::string> CountersText(const TnSockCounters& counters) {
    std::vector<std::string> text;
    for (const Line& line : Lines()) {
        std::string s         = std::string("counters ") + line.title + ":";
        const char* separator = " ";
        for (const Field& field : line.fields) {
            s += separator;
            s += field.name;
            s += ' ';
            s += std::to_string(counters.*field.member);
            separator = ", ";
        }
        text.push_back(s);
    }
    return text;
}

std::vector<std::string> CurrentCountersText() {
    TnSockCounters counters{};
    TnSockGetCounters(&counters);
    return CountersText(counters);
}

}  // namespace tarnet::platform
