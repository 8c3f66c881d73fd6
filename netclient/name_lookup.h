// Name look-up for the clients that connect to a server by name: the stack's resolver is asked
// once, then polled by the client's own timer until it answers, a look-up of the name ends in
// failure, or the client's limit passes.
//
// The resolver keeps the outcome of each name's last ended look-up with a serial
// (TnDnsLastOutcome). The serial seen at the start tells a failure that ended after we asked
// from one that ended before: only the later one ends the wait, and asking again after it would
// only start another query.
#pragma once

#include <cstdint>

namespace tarnet::netclient {

enum class Lookup : std::uint8_t { kResolved, kPending, kFailed };

struct NameLookup {
    std::uint32_t start  = 0;  // the client's clock when it first asked
    std::uint32_t serial = 0;  // the serial of the name's last ended look-up at the start
};

// Asks for `name` the first time. kResolved sets *address.
Lookup LookupBegin(NameLookup& lookup, const char* name, std::uint32_t now, std::uint32_t* address);
// Asks again: kFailed when a look-up of the name ended in failure since LookupBegin, when the
// resolver refuses the name, or when it is still pending `limitMs` after the start.
Lookup LookupPoll(const NameLookup& lookup, const char* name, std::uint32_t now,
                  std::uint32_t limitMs, std::uint32_t* address);

}  // namespace tarnet::netclient
