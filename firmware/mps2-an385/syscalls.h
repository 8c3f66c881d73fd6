// The C library's system hooks on the bare board: a bounded heap and console output.
#pragma once

#include <cstdint>

namespace tarnet::firmware {

// The highest the heap has grown since reset, and its fixed size, in bytes.
std::uint32_t HeapHighWater();
std::uint32_t HeapSize();

}  // namespace tarnet::firmware
