// The stack's counters.
#include "counters.h"

namespace tarnet {

TnSockCounters g_counters{};

void CountersReset() {
    g_counters = TnSockCounters{};
}

}  // namespace tarnet

void TnSockGetCounters(TnSockCounters* out) {
    if (out != nullptr) {
        *out = tarnet::g_counters;
    }
}
