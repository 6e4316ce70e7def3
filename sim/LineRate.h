#pragma once
#include <cstdint>

namespace kx::sim {

// The bit rate currently set on the terminal behind `fd`. On a pseudo-terminal's master this
// is the rate the program on the slave side applied (both sides share one set of settings).
// Non-standard rates are read too. Returns 0 when the settings cannot be read.
std::uint32_t LineRate(int fd);

}  // namespace kx::sim
