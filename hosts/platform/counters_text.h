// The stack's counters (TnSockGetCounters) as a few lines of text, one per layer, for the
// programs that show them: `tarnet -v` at exit, `tarnet serve` on SIGUSR1, sockbench's log.
#pragma once

#include <string>
#include <vector>

#include "tarnet/tnsock.h"

namespace tarnet::platform {

std::vector<std::string> CountersText(const TnSockCounters& counters);

// The stack's counters as they stand now.
std::vector<std::string> CurrentCountersText();

}  // namespace tarnet::platform
