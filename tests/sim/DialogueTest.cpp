// The simulator against a scripted host that follows the wire tables: version dialogue,
// boot mode, write dialogue, and a whole update session on one running receiver.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <thread>

#include "sim/Receiver.h"
#include "tests/sim/Dialogue.h"
#include "tests/support/TestSupport.h"

using namespace kxtest;
using kx::sim::Board;
using kx::sim::BootMode;
using kx::sim::Options;
using kx::sim::Receiver;

namespace {

Options Fast(BootMode boot = BootMode::Auto) {
  Options o;
  o.pace = false;
  o.eraseSeconds = 0.05;
  o.boot = boot;
  return o;
}

struct VersionCase {
  std::string model;
  std::array<std::string, 3> versions;
  std::string verC, verP;
};

class VersionDialogue : public ::testing::TestWithParam<VersionCase> {};

TEST_P(VersionDialogue, AnswersVrAndVrpWithConfiguredVersions) {
  Options o = Fast();
  o.model = GetParam().model;
  o.versions = GetParam().versions;
  Receiver rx(o);
  ScriptedHost host(rx.start());
  EXPECT_EQ(AskVersions(host), std::make_pair(GetParam().verC, GetParam().verP));
  // The updater repeats its request: each one is answered again.
  EXPECT_EQ(AskVersions(host), std::make_pair(GetParam().verC, GetParam().verP));
  EXPECT_EQ(rx.counters().versionRequests, 2u);
  EXPECT_EQ(rx.counters().panelRequests, 2u);
}

INSTANTIATE_TEST_SUITE_P(
    Sim, VersionDialogue,
    ::testing::Values(VersionCase{"KX7391D", {"402A", "3N4A", "510A"}, "VER-C KX7391D_Main_402A D3N4A ", "VER-P: 510A"},
                      VersionCase{"KX5000", {"403AB", "3N5A", "511A"}, "VER-C KX5000_Main_403AB D3N5A ", "VER-P: 511A"}));

TEST(SimFirmware, LoneCrAndLfEndLinesAndOtherLinesGetNoAnswer) {
  Receiver rx(Fast());
  ScriptedHost host(rx.start());
  host.send(std::string_view("HELLO\rVRP\n"));
  EXPECT_EQ(host.readLine(1000ms), std::optional<std::string>("VER-P: 510A"));
  EXPECT_TRUE(host.read(1, 200ms).empty());
}

// The write benchmark's figure: a host that waits before its next request shows that wait.
TEST(SimFirmware, TurnaroundRunsFromTheAnswerToTheHostsNextBytes) {
  Receiver rx(Fast());
  ScriptedHost host(rx.start());
  host.send(std::string_view("VRP\r\n"));
  ASSERT_EQ(host.readLine(1000ms), std::optional<std::string>("VER-P: 510A"));
  std::this_thread::sleep_for(150ms);
  host.send(std::string_view("VRP\r\n"));
  ASSERT_EQ(host.readLine(1000ms), std::optional<std::string>("VER-P: 510A"));
  const std::vector<double> us = rx.turnaroundsMicros();
  ASSERT_EQ(us.size(), 1u);  // the second answer has no next bytes yet
  EXPECT_GE(us[0], 150e3);
  EXPECT_LT(us[0], 1e6);
}

TEST(SimFirmware, NotReadyAnswersCanNotFindUntilItsTimeIsOver) {
  Options o = Fast();
  o.notReadySeconds = 0.6;
  Receiver rx(o);
  ScriptedHost host(rx.start());
  auto [c, p] = AskVersions(host);
  EXPECT_NE(c.find("Can not FIND"), std::string::npos) << c;
  EXPECT_EQ(c.find("VER-C"), std::string::npos) << c;
  EXPECT_EQ(p, "VER-P: 510A");
  std::this_thread::sleep_for(700ms);
  EXPECT_EQ(AskVersions(host).first, "VER-C KX7391D_Main_402A D3N4A ");
}

TEST(SimFirmware, RequestAtAnotherBitRateIsGarbled) {
  QTemporaryDir dir;
  Options o = Fast();
  o.tracePath = dir.filePath("trace.txt").toStdString();
  Receiver rx(o);
  ScriptedHost host(rx.start(), 38400);
  host.send(std::string_view("\r\nVR\r\nVRP\r\n"));
  EXPECT_TRUE(host.read(1, 300ms).empty());
  EXPECT_EQ(rx.counters().garbledBytes, 11u);
  EXPECT_EQ(rx.counters().versionRequests, 0u);
  rx.stop();
  EXPECT_TRUE(ReadAll(dir.filePath("trace.txt")).contains(" H>R 56 38400 garbled\n"));
}

struct BoardCase {
  const char *name;
  BootMode boot;
  Board board;
  std::uint32_t rate;
  std::size_t bootLength;
};

class WriteDialogue : public ::testing::TestWithParam<BoardCase> {};

TEST_P(WriteDialogue, ProgramsTheBoardAndReportsTheNewVersion) {
  const BoardCase &c = GetParam();
  Receiver rx(Fast(c.boot));
  ScriptedHost host(rx.start());
  const Bytes program = BootProgram(c.bootLength);
  const Bytes image = FirmwareImage("403AB");

  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, c.rate, program));
  EXPECT_EQ(rx.bootProgram(c.board), program);
  EXPECT_EQ(rx.flash(c.board), Bytes(kImageSize, 0xFF)) << "erased";
  ASSERT_NO_FATAL_FAILURE(WriteImage(host, image));

  EXPECT_EQ(rx.flash(c.board), image);
  EXPECT_EQ(rx.counters().framesReceived, NonBlankBlocks(image).size());
  EXPECT_TRUE(rx.programmed(c.board));
  EXPECT_EQ(rx.version(c.board), "403AB");
  for (Board other : {Board::MainBoard, Board::Decoder, Board::Panel}) {
    if (other == c.board) continue;
    EXPECT_FALSE(rx.programmed(other));
    EXPECT_TRUE(rx.bootProgram(other).empty());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Sim, WriteDialogue,
    ::testing::Values(BoardCase{"AutoMainBoard", BootMode::Auto, Board::MainBoard, 19200, 2804},
                      BoardCase{"AutoDecoder", BootMode::Auto, Board::Decoder, 9600, 2804},
                      BoardCase{"AutoPanel", BootMode::Auto, Board::Panel, 9600, 2828},
                      BoardCase{"FixedMainBoard", BootMode::MainBoard, Board::MainBoard, 19200, 2804},
                      BoardCase{"FixedDecoder", BootMode::Decoder, Board::Decoder, 9600, 2828},
                      BoardCase{"FixedPanel", BootMode::Panel, Board::Panel, 9600, 2804}),
    [](const auto &info) { return std::string(info.param.name); });

TEST(SimBootMode, AdjustmentOnlyAtTheBoardsBootTimingRate) {
  Receiver rx(Fast(BootMode::MainBoard));
  ScriptedHost host(rx.start());
  for (std::uint32_t wrong : {9600u, 115200u}) {
    host.setRate(wrong);
    host.sendByte(0x00);
    EXPECT_TRUE(host.read(1, 200ms).empty()) << wrong;
  }
  EXPECT_EQ(rx.counters().garbledBytes, 2u);
  EXPECT_TRUE(Adjust(host, 19200, 1));
  // A receiver held in boot mode runs no firmware: no version answer.
  host.setRate(115200);
  host.send(std::string_view("\r\nVR\r\n"));
  EXPECT_FALSE(host.readLine(200ms).has_value());
}

TEST(SimBootMode, OtherBytesDuringAdjustmentAndEraseWaitAreIgnored) {
  Receiver rx(Fast(BootMode::Decoder));
  ScriptedHost host(rx.start(), 9600);
  host.send(Bytes{0x80, 0x55, 0x12});
  EXPECT_TRUE(host.read(1, 200ms).empty());
  ASSERT_TRUE(Adjust(host, 9600, 1));
  host.send(Bytes{0x80, 0x12});
  EXPECT_TRUE(host.read(1, 200ms).empty());
  EXPECT_EQ(rx.flash(Board::Decoder)[0], 'K') << "not erased yet";
  host.sendByte(0x55);
  EXPECT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
}

TEST(SimBootMode, EraseTakesItsTime) {
  Options o = Fast(BootMode::MainBoard);
  o.eraseSeconds = 0.4;
  Receiver rx(o);
  ScriptedHost host(rx.start());
  ASSERT_TRUE(Adjust(host, 19200));
  const auto t0 = std::chrono::steady_clock::now();
  host.sendByte(0x55);
  EXPECT_EQ(host.readByte(2000ms), std::optional<std::uint8_t>(0xAA));
  const auto took = std::chrono::steady_clock::now() - t0;
  EXPECT_GE(took, 390ms);
  EXPECT_LT(took, 700ms);
}

TEST(SimBootMode, BootProgramTooLargeForTheBootRamIsEchoedButNotStarted) {
  Receiver rx(Fast(BootMode::Panel));
  ScriptedHost host(rx.start());
  ASSERT_TRUE(Adjust(host, 9600));
  host.sendByte(0x55);
  ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  const Bytes sent = LengthAndProgram(BootProgram(6145));
  host.send(sent);
  EXPECT_EQ(host.read(sent.size(), 5000ms), sent);
  EXPECT_TRUE(host.read(1, 300ms).empty());
}

struct BadFrameCase {
  const char *name;
  std::uint32_t address;
  int corrupt;  // index of a byte to alter after the checksum was made, or -1
};

class BadFrame : public ::testing::TestWithParam<BadFrameCase> {};

TEST_P(BadFrame, IsAnsweredFfAndNotProgrammed) {
  Receiver rx(Fast(BootMode::Decoder));
  ScriptedHost host(rx.start());
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, 9600, BootProgram(100)));
  const Bytes image = FirmwareImage("3N5A");
  ASSERT_NO_FATAL_FAILURE(WriteImage(host, image));
  ASSERT_EQ(rx.version(Board::Decoder), "3N5A");

  const Bytes zeros(kBlock, 0x00);
  Bytes frame = Frame(GetParam().address, zeros.data());
  if (GetParam().corrupt >= 0) frame[static_cast<std::size_t>(GetParam().corrupt)] ^= 0x01;
  host.send(frame);
  EXPECT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xFF));
  const Bytes flash = rx.flash(Board::Decoder);
  if (GetParam().address < kImageSize) {
    EXPECT_TRUE(std::equal(flash.begin() + GetParam().address, flash.begin() + GetParam().address + 3,
                           image.begin() + GetParam().address));
  }
  // A failed frame since the erase: the firmware is not complete, the old version stays.
  EXPECT_FALSE(rx.programmed(Board::Decoder));
  EXPECT_EQ(rx.version(Board::Decoder), "3N4A");
  // The next frame is taken again.
  host.send(Frame(0x1000, zeros.data()));
  EXPECT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
}

INSTANTIATE_TEST_SUITE_P(Sim, BadFrame,
                         ::testing::Values(BadFrameCase{"Checksum", 0x12380, 132},
                                           BadFrameCase{"DataByte", 0x12380, 50},
                                           BadFrameCase{"AddressNotBlock", 0x12381, -1},
                                           BadFrameCase{"AddressBeyondFlash", 0x40000, -1}),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(SimWrite, ProgrammingOnlyClearsBits) {
  Receiver rx(Fast(BootMode::MainBoard));
  ScriptedHost host(rx.start());
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, 19200, BootProgram(64)));
  for (std::uint8_t value : {0x0F, 0xF3}) {
    const Bytes data(kBlock, value);
    host.send(Frame(0x3FF80, data.data()));
    ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  }
  const Bytes flash = rx.flash(Board::MainBoard);
  EXPECT_EQ(Bytes(flash.begin() + 0x3FF80, flash.end()), Bytes(kBlock, 0x03));
}

TEST(SimWrite, ChecksumExampleOfTheWireTable) {
  const Bytes zeros(kBlock, 0x00);
  const Bytes f = Frame(0x12380, zeros.data());
  ASSERT_EQ(f.size(), 133u);
  EXPECT_EQ(f[131], 0xFF);
  EXPECT_EQ(f[132], 0x5C);
}

// The whole road of an update on one receiver that is never restarted: version check, the
// three SH boards one after another, and a version check that shows the new versions.
TEST(SimAuto, WholeUpdateSessionWithoutRestart) {
  QTemporaryDir dir;
  Options o = Fast();
  o.flashDir = dir.filePath("flash").toStdString();
  o.tracePath = dir.filePath("trace.txt").toStdString();
  Receiver rx(o);
  ScriptedHost host(rx.start());
  EXPECT_EQ(AskVersions(host), std::make_pair(std::string("VER-C KX7391D_Main_402A D3N4A "),
                                               std::string("VER-P: 510A")));

  struct Step {
    Board board;
    std::uint32_t rate;
    std::size_t bootLength;
    std::string version;
  };
  const Step steps[] = {{Board::MainBoard, 19200, 2804, "403AB"},
                        {Board::Decoder, 9600, 2804, "3N5A"},
                        {Board::Panel, 9600, 2828, "511A"}};
  for (const Step &s : steps) {
    const Bytes program = BootProgram(s.bootLength, static_cast<unsigned>(s.board) + 3);
    ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, s.rate, program)) << kx::sim::BoardName(s.board);
    ASSERT_NO_FATAL_FAILURE(WriteImage(host, FirmwareImage(s.version)));
    EXPECT_EQ(rx.bootProgram(s.board), program);
  }
  EXPECT_EQ(AskVersions(host), std::make_pair(std::string("VER-C KX7391D_Main_403AB D3N5A "),
                                               std::string("VER-P: 511A")));
  EXPECT_EQ(rx.state(), kx::sim::Model::State::Firmware);

  // The flash files are kept current, and the boot programs are kept beside them.
  for (Board b : {Board::MainBoard, Board::Decoder, Board::Panel}) {
    const QString stem = QString::fromLatin1(kx::sim::BoardFileStem(b));
    const QByteArray file = ReadAll(dir.filePath("flash/" + stem + ".bin"));
    const Bytes flash = rx.flash(b);
    EXPECT_EQ(Bytes(file.begin(), file.end()), flash) << stem.toStdString();
    const QByteArray boot = ReadAll(dir.filePath("flash/" + stem + "-boot.bin"));
    EXPECT_EQ(Bytes(boot.begin(), boot.end()), rx.bootProgram(b));
  }
  rx.stop();
  const QByteArray trace = ReadAll(dir.filePath("trace.txt"));
  EXPECT_TRUE(trace.contains(" H>R 55 19200\n"));
  EXPECT_TRUE(trace.contains(" R>H AA 19200\n"));
  EXPECT_TRUE(trace.contains(" H>R AB 115200\n"));
  EXPECT_TRUE(trace.contains(" R>H CD 115200\n"));
  EXPECT_TRUE(trace.contains(" H>R 55 9600\n"));
}

// A write run that stopped half-way leaves the receiver ready for the next adjustment.
TEST(SimAuto, NewAdjustmentAfterAnAbandonedRunStartsAgain) {
  Receiver rx(Fast());
  ScriptedHost host(rx.start());
  ASSERT_TRUE(Adjust(host, 19200));
  host.sendByte(0x55);
  ASSERT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  host.send(Bytes{0x0A, 0xF4, 0x01, 0x02});  // the run is abandoned during the transfer
  ASSERT_EQ(host.read(4, 1000ms).size(), 4u);
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, 9600, BootProgram(2828)));
  EXPECT_EQ(rx.bootProgram(Board::Panel).size(), 2828u);
  EXPECT_EQ(AskVersions(host).second, "VER-P: 510A");
}

TEST(SimReceiver, PublishesItsPortOnlyWhileRunning) {
  QTemporaryDir dir;
  Options o = Fast();
  o.portDir = dir.filePath("ports").toStdString();
  o.comNumber = 12;
  Receiver rx(o);
  const std::string device = rx.start();
  const std::string link = o.portDir + "/COM12";
  EXPECT_EQ(rx.linkPath(), link);
  EXPECT_EQ(QFile::symLinkTarget(QString::fromStdString(link)).toStdString(), device);
  {
    ScriptedHost host(link);
    EXPECT_EQ(AskVersions(host).second, "VER-P: 510A");
  }
  // A second receiver cannot take a name that is in use.
  Receiver other(o);
  EXPECT_THROW(other.start(), std::runtime_error);
  rx.stop();
  EXPECT_FALSE(QFileInfo::exists(QString::fromStdString(link)));
  EXPECT_FALSE(QFileInfo(QString::fromStdString(link)).isSymLink());
}

TEST(SimReceiver, StaleLinkOfADeadSimulatorIsReplaced) {
  QTemporaryDir dir;
  ASSERT_TRUE(QFile::link("/dev/pts/does-not-exist", dir.filePath("COM9")));
  Options o = Fast();
  o.portDir = dir.path().toStdString();
  Receiver rx(o);
  const std::string device = rx.start();
  EXPECT_EQ(QFile::symLinkTarget(dir.filePath("COM9")).toStdString(), device);
}

}  // namespace
