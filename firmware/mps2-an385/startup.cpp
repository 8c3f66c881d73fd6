// Reset and exception vectors of the Cortex-M3, and the reset handler that makes C++ run:
// initialised data copied from the image, zeroed data cleared, the stack painted so its
// high-water mark can be measured, static constructors run, then main.
#include <cstdint>

#include "startup.h"

extern "C" {
// Linker script symbols: only their addresses matter.
extern std::uint32_t __data_load;
extern std::uint32_t __data_start;
extern std::uint32_t __data_end;
extern std::uint32_t __bss_start;
extern std::uint32_t __bss_end;
extern std::uint32_t __stack_limit;
extern std::uint32_t __stack_top;

void __libc_init_array();
int main();
void Reset_Handler();
void SysTick_Handler();
}

namespace {

// Painted into the unused stack at reset; the first word that lost it marks the deepest use.
constexpr std::uint32_t kStackPaint = 0x5AC3A55Au;

// A fault or an unexpected exception: nothing sensible can continue, so stop where a debugger
// finds it.
extern "C" void Fault_Handler() {
    for (;;) {
    }
}

using Vector = void (*)();

}  // namespace

// The C library's start-up calls these around the constructor tables; without the crt files
// (-nostartfiles) there is nothing for them to do.
extern "C" void _init() {}
extern "C" void _fini() {}

// The core reads the initial stack pointer and the reset handler's address from the first two
// words; interrupts are not used (the Ethernet controller is polled), so the table stops after
// the system exceptions.
__attribute__((section(".vectors"), used)) const Vector g_vectors[16] = {
    reinterpret_cast<Vector>(&__stack_top),
    Reset_Handler,
    Fault_Handler,  // NMI
    Fault_Handler,  // HardFault
    Fault_Handler,  // MemManage
    Fault_Handler,  // BusFault
    Fault_Handler,  // UsageFault
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    Fault_Handler,  // SVCall
    Fault_Handler,  // DebugMonitor
    nullptr,
    Fault_Handler,  // PendSV
    SysTick_Handler,
};

extern "C" void Reset_Handler() {
    const std::uint32_t* from = &__data_load;
    for (std::uint32_t* to = &__data_start; to < &__data_end;) {
        *to++ = *from++;
    }
    for (std::uint32_t* p = &__bss_start; p < &__bss_end;) {
        *p++ = 0;
    }
    // Paint the stack below this frame, leaving a margin for the frame itself.
    std::uint32_t* sp = nullptr;
    asm volatile("mov %0, sp" : "=r"(sp));
    for (std::uint32_t* p = &__stack_limit; p < sp - 16;) {
        *p++ = kStackPaint;
    }
    __libc_init_array();
    main();
    for (;;) {
    }
}

namespace tarnet::firmware {

std::uint32_t StackHighWater() {
    const std::uint32_t* p = &__stack_limit;
    while (p < &__stack_top && *p == kStackPaint) {
        ++p;
    }
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&__stack_top) -
                                      reinterpret_cast<std::uintptr_t>(p));
}

std::uint32_t StackSize() {
    return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(&__stack_top) -
                                      reinterpret_cast<std::uintptr_t>(&__stack_limit));
}

}  // namespace tarnet::firmware
