// Each fault the simulator injects, seen from the host as the writer would see it.
#include <gtest/gtest.h>

#include <thread>

#include <QFileInfo>
#include <QTemporaryDir>
#include <atomic>

#include "sim/Receiver.h"
#include "tests/sim/Dialogue.h"

using namespace kxtest;
using kx::sim::Board;
using kx::sim::BootMode;
using kx::sim::Options;
using kx::sim::Receiver;

namespace {

constexpr std::uint32_t kRate = 19200;

class SimFault : public ::testing::Test {
 protected:
  void Start(const char *faults) {
    Options o;
    o.pace = false;
    o.eraseSeconds = 0.05;
    o.boot = BootMode::MainBoard;
    auto parsed = kx::sim::ParseFaults(faults);
    ASSERT_TRUE(parsed.has_value()) << faults;
    o.faults = *parsed;
    o.portDir = dir_.filePath("ports").toStdString();
    rx_ = std::make_unique<Receiver>(o);
    host_ = std::make_unique<ScriptedHost>(rx_->start());
  }
  void Erased() {
    ASSERT_TRUE(Adjust(*host_, kRate));
    host_->sendByte(0x55);
    ASSERT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  }

  QTemporaryDir dir_;
  std::unique_ptr<Receiver> rx_;
  std::unique_ptr<ScriptedHost> host_;
  const Bytes program_ = BootProgram(40);
  const Bytes image_ = FirmwareImage("403AB");
  const std::vector<std::uint32_t> blocks_ = NonBlankBlocks(image_);
};

TEST_F(SimFault, NoAdjustNeverAnswersTheAdjustment) {
  Start("no-adjust");
  EXPECT_FALSE(Adjust(*host_, kRate, 3));
  EXPECT_EQ(rx_->counters().bytesReceived, 3u);
}

TEST_F(SimFault, EraseErrorAnswersFf) {
  Start("erase-error");
  ASSERT_TRUE(Adjust(*host_, kRate));
  host_->sendByte(0x55);
  EXPECT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xFF));
  EXPECT_TRUE(host_->read(1, 200ms).empty());
}

TEST_F(SimFault, EraseTimeoutNeverAnswers) {
  Start("erase-timeout");
  ASSERT_TRUE(Adjust(*host_, kRate));
  host_->sendByte(0x55);
  EXPECT_TRUE(host_->read(1, 500ms).empty());
}

TEST_F(SimFault, BadEchoAltersExactlyTheKthEcho) {
  Start("bad-echo@5");
  ASSERT_NO_FATAL_FAILURE(Erased());
  const Bytes sent = LengthAndProgram(program_);
  host_->send(sent);
  const Bytes echo = host_->read(sent.size(), 2000ms);
  ASSERT_EQ(echo.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    if (i == 4) {
      EXPECT_NE(echo[i], sent[i]);
    } else {
      EXPECT_EQ(echo[i], sent[i]) << i;
    }
  }
  // The chip itself took the byte as sent: the program starts.
  EXPECT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  EXPECT_EQ(rx_->bootProgram(Board::MainBoard), program_);
}

TEST_F(SimFault, NoStartEchoesButNeverStarts) {
  Start("no-start");
  ASSERT_NO_FATAL_FAILURE(Erased());
  const Bytes sent = LengthAndProgram(program_);
  host_->send(sent);
  EXPECT_EQ(host_->read(sent.size(), 2000ms), sent);
  EXPECT_TRUE(host_->read(1, 300ms).empty());
}

TEST_F(SimFault, NoReadyNeverAnswersAb) {
  Start("no-ready");
  ASSERT_NO_FATAL_FAILURE(Erased());
  const Bytes sent = LengthAndProgram(program_);
  host_->send(sent);
  ASSERT_EQ(host_->read(sent.size() + 1, 2000ms).back(), 0xAA);
  host_->setRate(115200);
  host_->sendByte(0xAB);
  EXPECT_TRUE(host_->read(1, 300ms).empty());
}

struct FrameFaultCase {
  const char *name;
  const char *fault;
  std::optional<std::uint8_t> reply;  // to the second frame
};

class SimFrameFault : public SimFault, public ::testing::WithParamInterface<FrameFaultCase> {};

TEST_P(SimFrameFault, SecondFrameFailsAndTheVersionStaysOld) {
  Start(GetParam().fault);
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(*host_, kRate, program_));
  host_->send(Frame(blocks_[0], image_.data() + blocks_[0]));
  ASSERT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  host_->send(Frame(blocks_[1], image_.data() + blocks_[1]));
  EXPECT_EQ(host_->readByte(500ms), GetParam().reply);
  const Bytes flash = rx_->flash(Board::MainBoard);
  EXPECT_EQ(flash[blocks_[1]], 0xFF) << "the failed frame is not programmed";
  // Even with the marker written afterwards the board does not count as complete.
  const std::uint32_t last = blocks_.back();
  host_->send(Frame(last, image_.data() + last));
  EXPECT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  EXPECT_FALSE(rx_->programmed(Board::MainBoard));
  EXPECT_EQ(rx_->version(Board::MainBoard), "402A");
}

INSTANTIATE_TEST_SUITE_P(Sim, SimFrameFault,
                         ::testing::Values(FrameFaultCase{"WriteError", "write-error@2", 0xFF},
                                           FrameFaultCase{"WriteTimeout", "write-timeout@2", std::nullopt}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(SimFault, HangupClosesTheLineAfterTheKthFrame) {
  Start("hangup@2");
  std::atomic<bool> called{false};
  rx_->onHangup([&] { called = true; });
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(*host_, kRate, program_));
  ASSERT_FALSE(rx_->linkPath().empty());
  for (int k = 0; k < 2; ++k) {
    host_->send(Frame(blocks_[static_cast<std::size_t>(k)], image_.data() + blocks_[static_cast<std::size_t>(k)]));
    ASSERT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xAA)) << k;
  }
  // The receiver closes half a second after the last answer; a loaded machine may take longer.
  EXPECT_TRUE(host_->read(1, 5000ms).empty());
  EXPECT_TRUE(host_->lineClosed());
  const auto end = std::chrono::steady_clock::now() + 5000ms;
  while ((!rx_->hungUp() || rx_->running()) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(10ms);
  EXPECT_TRUE(rx_->hungUp());
  EXPECT_FALSE(rx_->running());
  EXPECT_TRUE(called);
  EXPECT_TRUE(rx_->linkPath().empty());
  EXPECT_FALSE(QFileInfo(dir_.filePath("ports/COM9")).isSymLink());
}

TEST_F(SimFault, NoiseComesBeforeAnswersButNotInsideTheEcho) {
  Start("noise");
  host_->setRate(kRate);
  host_->sendByte(0x00);
  const Bytes adjust = host_->read(3, 1000ms);
  ASSERT_EQ(adjust.size(), 3u);
  EXPECT_EQ(adjust.back(), 0x00);
  for (std::size_t i = 0; i + 1 < adjust.size(); ++i) {
    EXPECT_NE(adjust[i], 0x00);
    EXPECT_NE(adjust[i], 0xAA);
    EXPECT_NE(adjust[i], 0xFF);
  }
  host_->sendByte(0x55);
  EXPECT_EQ(host_->read(3, 1000ms).back(), 0xAA);
  const Bytes sent = LengthAndProgram(program_);
  host_->send(sent);
  EXPECT_EQ(host_->read(sent.size(), 2000ms), sent);
  EXPECT_EQ(host_->read(3, 1000ms).back(), 0xAA);
}

TEST_F(SimFault, NoiseLeavesTheVersionLinesRecognisable) {
  Options o;
  o.pace = false;
  o.faults = *kx::sim::ParseFaults("noise");
  Receiver rx(o);
  ScriptedHost host(rx.start());
  auto [c, p] = AskVersions(host);
  EXPECT_NE(c, "VER-C KX7391D_Main_402A D3N4A ");
  EXPECT_TRUE(c.ends_with("VER-C KX7391D_Main_402A D3N4A ")) << c;
  EXPECT_TRUE(p.ends_with("VER-P: 510A")) << p;
}

TEST_F(SimFault, CutAnswerBreaksOffTheCountedVersionAnswerOnly) {
  Options o;
  o.pace = false;
  o.faults = *kx::sim::ParseFaults("cut-answer@1");
  Receiver rx(o);
  ScriptedHost host(rx.start());
  host.setRate(115200);
  host.send(std::string_view("\r\nVR\r\nVRP\r\n"));
  const Bytes half = host.read(40, 500ms);
  EXPECT_EQ(std::string(half.begin(), half.end()), "VER-C KX7391D_Main_4");
  // The next request is answered whole.
  auto [c, p] = AskVersions(host);
  EXPECT_EQ(c, "VER-C KX7391D_Main_402A D3N4A ");
  EXPECT_EQ(p, "VER-P: 510A");
  EXPECT_EQ(rx.counters().versionRequests, 2u);
}

TEST_F(SimFault, FaultsCanBeLiftedWhileRunning) {
  Start("erase-error");
  ASSERT_TRUE(Adjust(*host_, kRate));
  host_->sendByte(0x55);
  ASSERT_EQ(host_->readByte(1000ms), std::optional<std::uint8_t>(0xFF));
  rx_->setFaults({});
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(*host_, kRate, program_));
  ASSERT_NO_FATAL_FAILURE(WriteImage(*host_, image_));
  EXPECT_EQ(rx_->version(Board::MainBoard), "403AB");
}

TEST(SimFaultText, ParsesEveryKindAndRefusesNonsense) {
  auto all = kx::sim::ParseFaults(
      "no-adjust,erase-error,erase-timeout,bad-echo@3,no-start,no-ready,write-error@1,write-timeout@7,hangup@2,noise,"
      "cut-answer@4");
  ASSERT_TRUE(all.has_value());
  ASSERT_EQ(all->size(), 11u);
  std::string back;
  for (const auto &f : *all) back += (back.empty() ? "" : ",") + kx::sim::FaultText(f);
  EXPECT_EQ(back,
            "no-adjust,erase-error,erase-timeout,bad-echo@3,no-start,no-ready,write-error@1,write-timeout@7,hangup@2,"
            "noise,cut-answer@4");
  for (const char *bad : {"", "bad-echo", "bad-echo@0", "bad-echo@x", "noise@2", "hangup@3,", "nothing"}) {
    EXPECT_FALSE(kx::sim::ParseFaults(bad).has_value()) << bad;
  }
}

}  // namespace
