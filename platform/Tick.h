#pragma once
#include <cstdint>

namespace kx {

// The system's millisecond tick, wrapping at 2^32 like the counter the time limits
// were designed around: elapsed time is always computed as an unsigned difference.
std::uint32_t GetTickCount();

// Blocks the calling thread.
void Sleep(std::uint32_t ms);

}  // namespace kx
