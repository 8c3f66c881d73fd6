// What the start-up code measures for the firmware's report.
#pragma once

#include <cstdint>

namespace tarnet::firmware {

// Deepest stack use since reset, in bytes (the painted words that were overwritten).
std::uint32_t StackHighWater();
// The stack the linker script reserves, in bytes.
std::uint32_t StackSize();

}  // namespace tarnet::firmware
