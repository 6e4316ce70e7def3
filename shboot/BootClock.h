#pragma once
// The millisecond tick that the writer's time limits read. Tests may replace it to
// reach a limit without waiting for it.
#include <cstdint>

namespace kx::shboot {

using TickSource = std::uint32_t (*)();

// The current tick: the system's counter unless a source was set.
std::uint32_t BootTick();

// Replaces the source; nullptr restores the system's counter.
void SetTickSource(TickSource source);

}  // namespace kx::shboot
