// The stack's counters (TnSockGetCounters): each layer adds one to its own members where a
// frame passes its gate, leaves, or is dropped, so that every drop leaves a trace a user can read.
#pragma once

#include "tarnet/tnsock.h"

namespace tarnet {

// Written by the layers as `++g_counters.member`: one add, no call, on every path.
extern TnSockCounters g_counters;

// Zeroes every count (TnSockInit).
void CountersReset();

}  // namespace tarnet
