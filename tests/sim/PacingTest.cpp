// Line timing: every byte takes 10 bit times at the rate in force, in both directions.
#include <gtest/gtest.h>

#include <thread>

#include "sim/Receiver.h"
#include "tests/sim/Dialogue.h"

using namespace kxtest;
using kx::sim::BootMode;
using kx::sim::Options;
using kx::sim::Receiver;
using Seconds = std::chrono::duration<double>;

namespace {

Options Paced(BootMode boot) {
  Options o;
  o.pace = true;
  o.eraseSeconds = 0;
  o.boot = boot;
  return o;
}

// 10 KB of boot transfer at 9600 bit/s: the receiver takes each byte in its line time and
// echoes it; the last echo ends one byte time after the last byte sent.
TEST(SimPacing, TenKilobytesAt9600TakeTheirLineTime) {
  Receiver rx(Paced(BootMode::Decoder));
  ScriptedHost host(rx.start());
  ASSERT_TRUE(Adjust(host, 9600));
  host.sendByte(0x55);
  ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));

  const Bytes sent = LengthAndProgram(BootProgram(10 * 1024));
  const double byteTime = 10.0 / 9600;
  const double expected = static_cast<double>(sent.size() + 1) * byteTime;
  const auto before = rx.counters().bytesReceived;
  const auto t0 = std::chrono::steady_clock::now();

  // Half-way, the receiver must have taken about half of the bytes: it does not swallow
  // what is waiting in the pseudo-terminal faster than the line would bring it.
  std::uint64_t atHalf = 0;
  std::thread sampler([&] {
    std::this_thread::sleep_until(t0 + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                           Seconds(expected / 2)));
    atHalf = rx.counters().bytesReceived - before;
  });
  host.send(sent);
  const Bytes echo = host.read(sent.size(), 20000ms);
  const double took = Seconds(std::chrono::steady_clock::now() - t0).count();
  sampler.join();

  ASSERT_EQ(echo, sent);
  EXPECT_NEAR(took, expected, expected * 0.05);
  const double halfCount = static_cast<double>(sent.size()) / 2;
  EXPECT_NEAR(static_cast<double>(atHalf), halfCount, halfCount * 0.05);
  RecordProperty("seconds", std::to_string(took));
}

// Answers that outrun the requests: 300 version lines at 115200 bit/s come out one byte time
// after another, however fast they were asked for.
TEST(SimPacing, AnswersGoOutAtTheLineRate) {
  Receiver rx(Paced(BootMode::Auto));
  ScriptedHost host(rx.start());
  const std::string line = "VER-C KX7391D_Main_402A D3N4A \r\n";
  std::string requests;
  for (int i = 0; i < 300; ++i) requests += "VR\r";
  const double byteTime = 10.0 / 115200;
  const double expected = static_cast<double>(3 + 300 * line.size()) * byteTime;

  const auto t0 = std::chrono::steady_clock::now();
  host.send(requests);
  const Bytes answers = host.read(300 * line.size(), 5000ms);
  const double took = Seconds(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(answers.size(), 300 * line.size());
  EXPECT_EQ(std::string(answers.begin(), answers.begin() + static_cast<std::ptrdiff_t>(line.size())), line);
  EXPECT_NEAR(took, expected, expected * 0.05);
}

}  // namespace
