#pragma once
// The writer's side of the boot-mode and write dialogues, step by step, for the tests.
#include <gtest/gtest.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/Model.h"
#include "tests/sim/ScriptedHost.h"

namespace kxtest {

inline constexpr std::size_t kImageSize = 0x40000;
inline constexpr std::size_t kBlock = 128;

// A boot program of n bytes with every byte value in it, zeros included.
inline Bytes BootProgram(std::size_t n, unsigned seed = 1) {
  Bytes p(n);
  std::uint32_t x = seed * 2654435761u + 1;
  for (auto &b : p) {
    x = x * 1103515245u + 12345u;
    b = static_cast<std::uint8_t>(x >> 16);
  }
  return p;
}

// A firmware image as the S-record loader leaves it: blank (0xFF) except some blocks, one of
// them carrying the version marker near the top of the flash.
inline Bytes FirmwareImage(const std::string &version) {
  Bytes image(kImageSize, 0xFF);
  const Bytes code = BootProgram(3 * kBlock + 17, 7);
  std::copy(code.begin(), code.end(), image.begin());                      // blocks 0..3
  std::fill(image.begin() + 0x12380, image.begin() + 0x12380 + kBlock, 0);  // all zero
  image[0x20005] = 0x5A;                                                   // one byte in a block
  const std::string tag = "KX7391-FW-VER=" + version;
  std::copy(tag.begin(), tag.end(), image.begin() + 0x3FF10);
  image[0x3FF10 + tag.size()] = 0x00;
  return image;
}

inline std::vector<std::uint32_t> NonBlankBlocks(const Bytes &image) {
  std::vector<std::uint32_t> blocks;
  for (std::uint32_t a = 0; a < image.size(); a += kBlock) {
    for (std::size_t i = 0; i < kBlock; ++i) {
      if (image[a + i] != 0xFF) {
        blocks.push_back(a);
        break;
      }
    }
  }
  return blocks;
}

// The 133-byte frame for the block at `address`.
inline Bytes Frame(std::uint32_t address, const std::uint8_t *data) {
  Bytes f(133);
  f[0] = static_cast<std::uint8_t>(address >> 16);
  f[1] = static_cast<std::uint8_t>(address >> 8);
  f[2] = static_cast<std::uint8_t>(address);
  std::copy(data, data + kBlock, f.begin() + 3);
  const std::uint16_t sum = kx::sim::FrameChecksum(f.data(), 131);
  f[131] = static_cast<std::uint8_t>(sum >> 8);
  f[132] = static_cast<std::uint8_t>(sum);
  return f;
}

inline Bytes LengthAndProgram(const Bytes &program) {
  Bytes b(program.size() + 2);
  b[0] = static_cast<std::uint8_t>(program.size() >> 8);
  b[1] = static_cast<std::uint8_t>(program.size());
  std::copy(program.begin(), program.end(), b.begin() + 2);
  return b;
}

// Bit-rate adjustment: 0x00 at the boot timing rate until 0x00 comes back.
inline bool Adjust(ScriptedHost &host, std::uint32_t rate, int tries = 3) {
  host.setRate(rate);
  for (int i = 0; i < tries; ++i) {
    host.sendByte(0x00);
    if (auto b = host.readByte(300ms); b && *b == 0x00) return true;
  }
  return false;
}

// Adjustment, erase, boot program with its echo, start: true when all answered as expected.
inline void BootProgramRuns(ScriptedHost &host, std::uint32_t rate, const Bytes &program) {
  ASSERT_TRUE(Adjust(host, rate));
  host.sendByte(0x55);
  ASSERT_EQ(host.readByte(2000ms), std::optional<std::uint8_t>(0xAA)) << "erase";
  const Bytes sent = LengthAndProgram(program);
  host.send(sent);
  ASSERT_EQ(host.read(sent.size(), 5000ms), sent) << "echo";
  ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA)) << "start";
  host.setRate(115200);
  host.sendByte(0xAB);
  ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xCD)) << "ready";
}

// Sends every non-blank block and checks that each is answered 0xAA.
inline void WriteImage(ScriptedHost &host, const Bytes &image) {
  for (std::uint32_t a : NonBlankBlocks(image)) {
    host.send(Frame(a, image.data() + a));
    ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA)) << "block " << std::hex << a;
  }
}

// One version request as the updater sends it; returns the two answer lines.
inline std::pair<std::string, std::string> AskVersions(ScriptedHost &host) {
  host.setRate(115200);
  host.send(std::string_view("\r\nVR\r\nVRP\r\n"));
  auto c = host.readLine(1000ms);
  auto p = host.readLine(1000ms);
  return {c.value_or("<none>"), p.value_or("<none>")};
}

}  // namespace kxtest
