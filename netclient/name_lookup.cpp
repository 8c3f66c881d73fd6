// Name look-up polling (see name_lookup.h).
#include "name_lookup.h"

#include "tarnet/tndns.h"
#include "tarnet/tnsock.h"

namespace tarnet::netclient {
namespace {

Lookup FromResolver(int rc) {
    switch (rc) {
        case TNDNS_RESOLVED:
            return Lookup::kResolved;
        case TNDNS_PENDING:
            return Lookup::kPending;
        default:
            return Lookup::kFailed;
    }
}

}  // namespace

Lookup LookupBegin(NameLookup& lookup, const char* name, std::uint32_t now,
                   std::uint32_t* address) {
    lookup.start = now;
    TnDnsLastOutcome(name, &lookup.serial);
    return FromResolver(TnDnsResolve(name, address));
}

Lookup LookupPoll(const NameLookup& lookup, const char* name, std::uint32_t now,
                  std::uint32_t limitMs, std::uint32_t* address) {
    std::uint32_t serial = 0;
    const int ended      = TnDnsLastOutcome(name, &serial);
    if (ended != 0 && ended != TNSOCK_DNS_ANSWER && serial != lookup.serial) {
        return Lookup::kFailed;
    }
    const Lookup answer = FromResolver(TnDnsResolve(name, address));
    if (answer == Lookup::kPending && now - lookup.start >= limitMs) {
        return Lookup::kFailed;
    }
    return answer;
}

}  // namespace tarnet::netclient
