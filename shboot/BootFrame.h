#pragma once
// The block frame of the flash write dialogue and the time rules of the writer's
// waiting states: plain logic, no widgets.
#include <array>
#include <cstdint>
#include <span>

namespace kx::shboot {

constexpr int kBlockSize = 128;
// Three address bytes, the block, two checksum bytes.
constexpr int kFrameSize = 3 + kBlockSize + 2;
// The programmed range: 2048 blocks from address 0.
constexpr std::uint32_t kFlashSize = 0x40000;

using BlockFrame = std::array<std::uint8_t, kFrameSize>;

// The 16-bit value that brings `sum` to 0 modulo 0x10000.
constexpr std::uint16_t FrameChecksum(std::uint32_t sum) {
  return static_cast<std::uint16_t>((0x10000u - (sum & 0xFFFFu)) & 0xFFFFu);
}

// True when every byte is 0xFF: the erased state, which the writer does not send.
bool IsBlankBlock(std::span<const std::uint8_t, kBlockSize> data);

// Fills `frame` with the block at `address` (its low 24 bits, high byte first), the
// 128 data bytes and the checksum, high byte first. Returns true when the block is
// not blank, that is when it must be sent.
bool BuildBlockFrame(std::uint32_t address, std::span<const std::uint8_t, kBlockSize> data, BlockFrame &frame);

// Elapsed milliseconds between two readings of the wrapping 32-bit tick counter.
constexpr std::uint32_t Elapsed(std::uint32_t now, std::uint32_t stamp) { return now - stamp; }

// A limit has passed only when the elapsed time is strictly greater than it.
constexpr bool LimitPassed(std::uint32_t now, std::uint32_t stamp, std::uint32_t limitMs) {
  return Elapsed(now, stamp) > limitMs;
}

}  // namespace kx::shboot
