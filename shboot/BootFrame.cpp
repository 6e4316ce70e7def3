#include "shboot/BootFrame.h"

#include <algorithm>

namespace kx::shboot {

bool IsBlankBlock(std::span<const std::uint8_t, kBlockSize> data) {
  return std::all_of(data.begin(), data.end(), [](std::uint8_t b) { return b == 0xFF; });
}

bool BuildBlockFrame(std::uint32_t address, std::span<const std::uint8_t, kBlockSize> data, BlockFrame &frame) {
  frame[0] = static_cast<std::uint8_t>(address >> 16);
  frame[1] = static_cast<std::uint8_t>(address >> 8);
  frame[2] = static_cast<std::uint8_t>(address);
  std::uint32_t sum = frame[0] + frame[1] + frame[2];
  bool used = false;
  for (int i = 0; i < kBlockSize; ++i) {
    const std::uint8_t b = data[i];
    frame[3 + i] = b;
    sum += b;
    used = used || b != 0xFF;
  }
  const std::uint16_t check = FrameChecksum(sum);
  frame[kFrameSize - 2] = static_cast<std::uint8_t>(check >> 8);
  frame[kFrameSize - 1] = static_cast<std::uint8_t>(check);
  return used;
}

}  // namespace kx::shboot
