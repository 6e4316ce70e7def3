#include "shboot/BootClock.h"

#include "platform/Tick.h"

namespace kx::shboot {

namespace {
TickSource g_source = nullptr;
}

std::uint32_t BootTick() { return g_source ? g_source() : kx::GetTickCount(); }

void SetTickSource(TickSource source) { g_source = source; }

}  // namespace kx::shboot
