// The stack-wide diagnostic hook.
#include "diag.h"

namespace tarnet {

namespace {

// Kept across TnSockInit and TnSockDeinit: a host sets it once, before or after starting.
TnSockDiagnosticFn g_hook = nullptr;
std::uintptr_t g_context  = 0;

}  // namespace

TnSockDiagnostic DiagRecord(int kind) {
    TnSockDiagnostic d{};
    d.kind = kind;
    return d;
}

bool DiagWanted() {
    return g_hook != nullptr;
}

void DiagEmit(const TnSockDiagnostic& diagnostic) {
    if (g_hook != nullptr) {
        g_hook(g_context, &diagnostic);
    }
}

}  // namespace tarnet

void TnSockSetDiagnostics(TnSockDiagnosticFn hook, std::uintptr_t context) {
    tarnet::g_hook    = hook;
    tarnet::g_context = context;
}
