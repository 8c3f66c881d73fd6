// The stack-wide diagnostic hook: layers report connection, lookup and lease events here, and
// the hook (if the host set one) passes them on. Nothing in the stack depends on whether a hook
// is set.
#pragma once

#include "tarnet/tnsock.h"

namespace tarnet {

// A record with only `kind` set; the reporter fills in what its kind carries.
TnSockDiagnostic DiagRecord(int kind);
void DiagEmit(const TnSockDiagnostic& diagnostic);
// A hook is set: reporters on a hot path build their record only then.
bool DiagWanted();

}  // namespace tarnet
