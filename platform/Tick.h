#pragma once
#include <cstdint>

namespace kx {

// The system's millisecond tick, a 32-bit counter that wraps: elapsed time is always
// computed as an unsigned difference.
std::uint32_t GetTickCount();

// Blocks the calling thread.
void Sleep(std::uint32_t ms);

}  // namespace kx
