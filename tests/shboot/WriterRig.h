#pragma once
// The updater's windows, made once per test process as the program makes them, and a
// simulated receiver on a pseudo-terminal published as a COM port: what the writer's
// end-to-end tests drive.
#include <gtest/gtest.h>

#include <QString>
#include <QStringList>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "sim/Receiver.h"

namespace shtest {

// The port number the simulated receiver is published under.
inline constexpr int kSimPort = 9;

// Creates FormMain, FormTerminal and FormSHBoot once, in a working directory and a
// port directory of their own, with a serial number entered and the board buttons enabled.
void EnsureWindows();

// The writer's clock runs this many milliseconds ahead of the system's: lets a test
// reach a time limit of the machine without waiting for it.
void AdvanceWriterClock(std::uint32_t ms);

// Log lines written since `mark` (an index into the main log), without their stamps.
QStringList LogSince(qsizetype mark);
qsizetype LogMark();

// The window's record lines reduced to their result ("Write record: started"), the rest
// as they are: what the log holds around a run, without the image's name and CRC.
QStringList RecordsMarked(const QStringList &lines);
// The engine's lines of a run (WriteFaults' table) with the lines the window's record adds:
// its start after WRITE START's line, and its end (`result`) where the run went idle, after
// the port's close.
QStringList WithRecordMarks(QStringList engineLines, const QString &result = QStringLiteral("failed"));

// Blocks of a flash image that hold a byte other than 0xFF.
std::size_t NonBlankBlocks(const std::vector<std::uint8_t> &image);

// The flash image FormSHBoot holds now (its first 0x40000 bytes).
std::vector<std::uint8_t> LoadedImage();

// Boxes as the user meets them: each text is recorded, and a box stays open until
// `closeWhen` holds (or 5 s pass), so that what runs inside its event loop can be seen.
class BoxAnswerer {
 public:
  explicit BoxAnswerer(std::function<bool()> closeWhen = {});
  ~BoxAnswerer();
  QStringList texts;
  // For each box: the main log's length when it closed.
  std::vector<qsizetype> logLengthAtClose;
};

class WriterTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Starts a receiver (no pacing, a short erase) published as COM<kSimPort>.
  void StartReceiver(std::vector<kx::sim::Fault> faults = {}, bool pace = false);
  // The same with the rest of the receiver's options as given (its port is set here).
  void StartReceiverWith(kx::sim::Options opt);
  // The main window's button of the board: show the writer and set it up.
  void ChooseBoard(int board);
  // WRITE START, then the event loop until the run has ended (BootState 0).
  bool RunUntilIdle(std::chrono::milliseconds limit = std::chrono::seconds(30));
  // The event loop until BootState equals `state`.
  bool RunUntilState(int state, std::chrono::milliseconds limit = std::chrono::seconds(15));
  // The event loop until the run has stayed in `state` for 300 ms on end: it waits there
  // for good, with every byte the receiver still sends already in.
  bool SettleInState(int state, std::chrono::milliseconds limit = std::chrono::seconds(15));

  std::unique_ptr<kx::sim::Receiver> rx;
  // When the receiver's hang-up fault closed its line (steady clock), if it did.
  std::atomic<std::chrono::steady_clock::time_point> hungUpAt{};
};

}  // namespace shtest
