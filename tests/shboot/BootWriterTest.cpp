// The write engine on QtCore alone (no widgets linked): a complete write per board,
// every failure of the receiver, and Abort, against the simulated receiver on a
// pseudo-terminal published as a COM port. The view records what a window would show.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <atomic>
#include <memory>

#include "comm/CommX.h"
#include "payload/Loaders.h"
#include "platform/Tick.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootClock.h"
#include "shboot/BootFrame.h"
#include "shboot/BootWriter.h"
#include "sim/Receiver.h"

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << l.join(QStringLiteral(" | ")).toStdString(); }

namespace sh = kx::shboot;
namespace sim = kx::sim;
using Board = sh::BootWriterView::Board;

namespace {

constexpr int kSimPort = 9;
std::atomic<std::uint32_t> g_clockOffset{0};
std::uint32_t OffsetTick() { return kx::GetTickCount() + g_clockOffset.load(); }

bool WaitUntil(const std::function<bool()> &done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  }
  return true;
}

// Records the reports; a message is answered once the closing state has run, as a
// user answers the window's box.
struct RecordingView : sh::BootWriterView {
  sh::BootWriter *writer = nullptr;
  QStringList messages;
  QStringList errors;
  QStringList panels;
  std::vector<Board> boards;
  std::vector<int> states;
  int progressMax = 0;
  int sent = 0, skipped = 0, answered = 0, beeps = 0;
  bool portOpen = false, writeEnabled = true, abortEnabled = false;
  void StateChanged(int s) override { states.push_back(s); }
  void ProgressMaximum(int m) override { progressMax = m; }
  void PanelText(const QString &t) override { panels.append(t); }
  void Message(const QString &t) override {
    messages.append(t);
    if (writer) writer->LetClosingStateRun();
  }
  void ErrorMessage(const QString &t) override { errors.append(t); }
  void Beep() override { ++beeps; }
  void WriteEnabled(bool e) override { writeEnabled = e; }
  void AbortEnabled(bool e) override { abortEnabled = e; }
  void PortChanged(bool open) override { portOpen = open; }
  void BlockSent(unsigned) override { ++sent; }
  void BlockSkipped(unsigned) override { ++skipped; }
  void BlockAnswered() override { ++answered; }
  void BoardState(Board b) override { boards.push_back(b); }
};

class BootWriterTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static QTemporaryDir dir;
    QDir(dir.path()).mkpath(QStringLiteral("ports"));
    portDir_ = dir.filePath(QStringLiteral("ports"));
    qputenv("KX7391_PORT_DIR", portDir_.toLocal8Bit());
    sh::SetTickSource(&OffsetTick);
  }

  void SetUp() override {
    port = std::make_unique<TCommX>();
    port->SetFlowCtrl(cfcNone);
    port->SetPortNo(kSimPort);
    writer = std::make_unique<sh::BootWriter>(
        *port, sh::BootWriterLog{[this](const QString &t) { log.append(t); }, [this] { ++saves; }});
    writer->SetView(&view);
    port->OnReceive = [this](QObject *, int size) {
      std::vector<std::uint8_t> buf(static_cast<std::size_t>(size));
      const int got = port->ReceiveBlock(buf.data(), size);
      for (int i = 0; i < got; ++i)
        if (writer->State() != 0) writer->Receive(buf[static_cast<std::size_t>(i)]);
    };
    port->OnDisconnect = [this](QObject *) {
      writer->Disconnected(QStringLiteral("COM%1 was disconnected.").arg(port->PortNo()));
    };
  }

  void TearDown() override {
    port->OnDisconnect = nullptr;
    if (writer->State() != 0) writer->Abort();
    writer.reset();
    port.reset();
    if (rx) rx->stop();
  }

  void StartReceiver(std::vector<sim::Fault> faults = {}) {
    sim::Options opt;
    opt.pace = false;
    opt.eraseSeconds = 0.05;
    opt.faults = std::move(faults);
    opt.portDir = portDir_.toStdString();
    opt.comNumber = kSimPort;
    rx = std::make_unique<sim::Receiver>(opt);
    rx->start();
  }

  // The board's payloads as the window loads them, handed to the engine.
  void LoadBoard(int board) {
    const auto setup = sh::SetupForBoard(board, 0, 0);
    ASSERT_TRUE(setup);
    const kx::MessageSink fail = [](const QString &t) { ADD_FAILURE() << t.toStdString(); };
    ASSERT_TRUE(kx::MakeBootStreamFromResource(setup->bootResource, boot, fail));
    kx::BootStreamInit(boot, boot, echo);
    ASSERT_TRUE(kx::MakeMotStreamFromResource(setup->firmwareResource, firm, kx::kRomSize, fail));
    writer->SetPayloads({&boot, &echo, &firm, {}, {}});
    writer->SetTimingItem(setup->bpsItem);
  }

  std::vector<std::uint8_t> Image() const {
    return {firm.Bytes().begin(), firm.Bytes().begin() + sh::kFlashSize};
  }

  bool RunUntilIdle(int ms = 30000) {
    return WaitUntil([this] { return writer->State() == 0; }, ms);
  }

  // The run has stayed in `state` for 300 ms: every byte the receiver still sends is in.
  bool SettleInState(int state) {
    QDeadlineTimer settled(300);
    return WaitUntil(
        [&] {
          if (writer->State() != state) settled = QDeadlineTimer(300);
          return writer->State() == state && settled.hasExpired();
        },
        15000);
  }

  static QString portDir_;
  std::unique_ptr<TCommX> port;
  std::unique_ptr<sh::BootWriter> writer;
  std::unique_ptr<sim::Receiver> rx;
  RecordingView view;
  QStringList log;
  int saves = 0;
  kx::MemoryStream boot, echo, firm;
};

QString BootWriterTest::portDir_;

std::size_t NonBlankBlocks(const std::vector<std::uint8_t> &image) {
  std::size_t n = 0;
  for (std::size_t a = 0; a < image.size(); a += sh::kBlockSize)
    n += std::any_of(image.begin() + a, image.begin() + a + sh::kBlockSize, [](std::uint8_t b) { return b != 0xFF; });
  return n;
}

const QString kWrite = QStringLiteral("[WRITE](FormSHBoot) Clicked");
const QString kAdjusted = QStringLiteral("AdjustBitRate OK");
const QString kErased = QStringLiteral("Erace OK");
const QString kPrepare = QStringLiteral("Prepare the boot program");
const QString kChange = QStringLiteral("Change the BitRate");
const QString kChanged = QStringLiteral("Changed the BitRate to 115kbps");
const QString kClose = QStringLiteral("COMM port close");
const QString kAbort = QStringLiteral("[Abort](FormSHBoot) clicked");

}  // namespace

TEST_F(BootWriterTest, EveryBoardIsWrittenToTheEnd) {
  const struct {
    int board;
    sim::Board simBoard;
    const char *open;
  } cases[] = {{0, sim::Board::MainBoard, "COMM port open  Timing Type2"},
               {1, sim::Board::Decoder, "COMM port open  Timing Type1"},
               {2, sim::Board::Panel, "COMM port open  Timing Type1"}};
  for (const auto &c : cases) {
    SCOPED_TRACE(c.board);
    StartReceiver();
    LoadBoard(c.board);
    log.clear();
    view = RecordingView{};
    view.writer = writer.get();
    ASSERT_TRUE(writer->Start());
    ASSERT_TRUE(RunUntilIdle());

    const std::vector<std::uint8_t> image = Image();
    EXPECT_TRUE(rx->flash(c.simBoard) == image) << "the receiver's flash differs from the image";
    EXPECT_EQ(rx->counters().framesReceived, NonBlankBlocks(image));
    EXPECT_EQ(static_cast<std::size_t>(view.sent), NonBlankBlocks(image));
    EXPECT_EQ(view.sent + view.skipped, 2048);
    EXPECT_EQ(view.answered, view.sent);
    ASSERT_EQ(log.size(), 9) << log.join(" | ").toStdString();
    EXPECT_EQ(log.mid(0, 7), (QStringList{kWrite, c.open, kAdjusted, kErased, kPrepare, kChange, kChanged}));
    EXPECT_TRUE(log[7].startsWith("Writing complete. ")) << log[7].toStdString();
    EXPECT_EQ(log[8], kClose);
    EXPECT_TRUE(view.messages.isEmpty());
    EXPECT_EQ(view.boards, (std::vector<Board>{Board::Running, Board::Written}));
    EXPECT_TRUE(writer->Succeeded());
    EXPECT_EQ(view.beeps, 1);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_FALSE(view.portOpen);
    EXPECT_TRUE(view.writeEnabled);
    rx->stop();
  }
}

TEST_F(BootWriterTest, EachFailureEndsTheRunWithItsActions) {
  using K = sim::FaultKind;
  const QString open = QStringLiteral("COMM port open  Timing Type2");
  const struct {
    const char *name;
    std::vector<sim::Fault> faults;
    int waitState;          // whose time limit is reached; 0: the receiver's answer ends the run
    std::uint32_t limitMs;  // how far the clock is run ahead there
    QString message;
    QStringList log;
    bool aborted;  // Abort's actions close the sequence
  } cases[] = {
      {"no adjustment", {{K::NoAdjust, 0}}, 12, 10000, "Adjust BitRate ERROR!!",
       {kWrite, open, "Adjust BitRate ERROR!!", kClose, kAbort}, true},
      {"erase error", {{K::EraseError, 0}}, 0, 0, "Erase ERROR !!!",
       {kWrite, open, kAdjusted, "Erase ERROR !!!", kClose, kAbort}, true},
      {"erase time-out", {{K::EraseTimeout, 0}}, 16, 10000, "Erase TIME OUT !!!",
       {kWrite, open, kAdjusted, "Erase TIME OUT !!!", kClose, kAbort}, true},
      {"corrupted echo", {{K::BadEcho, 5}}, 24, 8000, "Transmit the boot program TIME OUT !!!",
       {kWrite, open, kAdjusted, kErased, kPrepare, "Transmit the boot program TIME OUT !!!", kClose, kAbort}, true},
      {"boot program never starts", {{K::NoStart, 0}}, 26, 5000, "Incomplete transmitting the boot program !!!",
       {kWrite, open, kAdjusted, kErased, kPrepare, "Incomplete transmitting the boot program !!!", kClose, kAbort},
       true},
      {"no ready byte", {{K::NoReady, 0}}, 52, 10000, "Incomplete preparing the Firmware !!!",
       {kWrite, open, kAdjusted, kErased, kPrepare, kChange, kChanged, "Incomplete preparing the Firmware !!!", kClose,
        kAbort},
       true},
      {"block never answered", {{K::WriteTimeout, 3}}, 64, 10000, "Write TIME OUT !!!",
       {kWrite, open, kAdjusted, kErased, kPrepare, kChange, kChanged, "Write TIME OUT !!!", kClose, kAbort}, true},
      {"block refused", {{K::WriteError, 3}}, 0, 0, "Write ERROR !!!",
       {kWrite, open, kAdjusted, kErased, kPrepare, kChange, kChanged, "Write ERROR !!!", kClose}, false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    StartReceiver(c.faults);
    LoadBoard(0);
    log.clear();
    view = RecordingView{};
    view.writer = writer.get();
    ASSERT_TRUE(writer->Start());
    if (c.waitState != 0) {
      ASSERT_TRUE(SettleInState(c.waitState));
      g_clockOffset += c.limitMs + 1;
    }
    ASSERT_TRUE(RunUntilIdle(20000));
    // The closing state runs from the event loop once the sequence has ended.
    WaitUntil([] { return false; }, 50);

    EXPECT_EQ(view.messages, QStringList{c.message});
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(view.states.back(), 0);
    EXPECT_TRUE(std::find(view.states.begin(), view.states.end(), 999) != view.states.end());
    EXPECT_FALSE(writer->Succeeded());
    EXPECT_EQ(view.boards.back(), Board::Failed);
    EXPECT_EQ(view.abortEnabled, !c.aborted);
    EXPECT_FALSE(port->IsOpen());
    EXPECT_EQ(port->Tag, 0);
    EXPECT_FALSE(rx->programmed(sim::Board::MainBoard));
    rx->stop();
  }
}

TEST_F(BootWriterTest, AnUnpluggedLineEndsTheRunWithItsMessage) {
  StartReceiver({{sim::FaultKind::Hangup, 5}});
  LoadBoard(0);
  view.writer = writer.get();
  ASSERT_TRUE(writer->Start());
  ASSERT_TRUE(RunUntilIdle(20000));
  const QString message = QStringLiteral("COM9 was disconnected.");
  EXPECT_EQ(view.messages, QStringList{message});
  EXPECT_EQ(log.mid(log.size() - 2), (QStringList{message, kClose}));
  EXPECT_EQ(view.panels.last(), message);
  EXPECT_EQ(view.boards.back(), Board::Failed);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(rx->counters().framesReceived, 5u);
}

TEST_F(BootWriterTest, AbortClosesThePortAtOnce) {
  StartReceiver();
  LoadBoard(0);
  ASSERT_TRUE(writer->Start());
  ASSERT_TRUE(WaitUntil([this] { return view.sent >= 20; }, 20000));
  const std::uint32_t framesAtAbort = rx->counters().framesReceived;
  log.clear();
  writer->Abort();
  EXPECT_EQ(writer->State(), 0);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(log, (QStringList{kAbort, "Write aborted: the board is left unwritten. Write it again."}));
  EXPECT_EQ(view.boards.back(), Board::Failed);
  EXPECT_TRUE(view.writeEnabled);
  EXPECT_FALSE(view.abortEnabled);
  // Nothing more goes out once the port is closed.
  WaitUntil([] { return false; }, 300);
  EXPECT_LE(rx->counters().framesReceived, framesAtAbort + 1);
  EXPECT_EQ(writer->State(), 0);
}

TEST_F(BootWriterTest, PayloadsThatCannotBeWrittenAreRefusedBeforeThePortIsTaken) {
  LoadBoard(0);
  writer->SetPayloads({&boot, &echo, &firm, {}, QStringLiteral("The firmware X did not load.")});
  EXPECT_FALSE(writer->Start());
  EXPECT_EQ(log.last(), " write refused! The firmware X did not load.");
  EXPECT_EQ(view.messages.size(), 1);
  EXPECT_FALSE(view.writeEnabled);
  kx::MemoryStream empty;
  writer->SetPayloads({&boot, &echo, &empty, {}, {}});
  EXPECT_FALSE(writer->Start());
  EXPECT_EQ(view.messages.last(), "Not Found Firmware File");
  EXPECT_EQ(writer->State(), 0);
  EXPECT_FALSE(port->IsOpen());
}

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
