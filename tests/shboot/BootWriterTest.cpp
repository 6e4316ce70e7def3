// The write engine on QtCore alone (no widgets linked): a complete write per board,
// every failure of the receiver, and Abort, against the simulated receiver on a
// pseudo-terminal published as a COM port. The view records what a window would show.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
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
#include "tests/shboot/WriteFaults.h"
#include "tests/support/CoreSupport.h"

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << l.join(QStringLiteral(" | ")).toStdString(); }

namespace sh = kx::shboot;
namespace sim = kx::sim;
using Board = sh::BootWriterView::Board;
using kxtest::WaitUntil;
using namespace std::chrono_literals;
using namespace shtest;

namespace {

constexpr int kSimPort = 9;
std::atomic<std::uint32_t> g_clockOffset{0};
std::uint32_t OffsetTick() { return kx::GetTickCount() + g_clockOffset.load(); }

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
  int messagesClosed = 0;         // messages whose box the user has closed
  std::vector<int> stepsRun;      // the state of every step the engine ran
  bool portOpen = false, writeEnabled = true, abortEnabled = false;
  void StateChanged(int s) override { states.push_back(s); }
  void ProgressMaximum(int m) override { progressMax = m; }
  void PanelText(const QString &t) override { panels.append(t); }
  void Message(const QString &t) override {
    messages.append(t);
    if (writer) writer->LetClosingStateRun();
    ++messagesClosed;
  }
  void StepRan(int s) override { stepsRun.push_back(s); }
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

  bool RunUntilIdle(std::chrono::milliseconds limit = 30s) {
    return WaitUntil([this] { return writer->State() == 0; }, limit);
  }

  // The run has stayed in `state` for 300 ms: every byte the receiver still sends is in.
  bool SettleInState(int state) {
    QDeadlineTimer settled(300);
    return WaitUntil(
        [&] {
          if (writer->State() != state) settled = QDeadlineTimer(300);
          return writer->State() == state && settled.hasExpired();
        },
        15s);
  }

  static QString portDir_;
  kxtest::ScopedWorkDir work;  // the firmware loader writes its copy of the image here
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
  for (const WriteFault &c : WriteFaults()) {
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
    ASSERT_TRUE(RunUntilIdle(20s));
    // The closing state runs inside the message's box; the failure's last actions follow it.
    ASSERT_TRUE(WaitUntil([this] { return view.messagesClosed == 1; }));

    EXPECT_EQ(view.messages, QStringList{c.message});
    EXPECT_EQ(log, c.log);
    EXPECT_EQ(view.states.back(), 0);
    EXPECT_TRUE(std::find(view.states.begin(), view.states.end(), 999) != view.states.end());
    EXPECT_FALSE(writer->Succeeded());
    EXPECT_EQ(view.boards.back(), Board::Failed);
    ASSERT_FALSE(view.panels.isEmpty());
    EXPECT_TRUE(view.panels.last().startsWith(c.panelPrefix)) << view.panels.last().toStdString();
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
  ASSERT_TRUE(RunUntilIdle(20s));
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
  ASSERT_TRUE(WaitUntil([this] { return view.sent >= 20; }, 20s));
  const std::uint32_t framesAtAbort = rx->counters().framesReceived;
  log.clear();
  writer->Abort();
  EXPECT_EQ(writer->State(), 0);
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(log, (QStringList{kAbort, "Write aborted: the board is left unwritten. Write it again."}));
  EXPECT_EQ(view.boards.back(), Board::Failed);
  EXPECT_TRUE(view.writeEnabled);
  EXPECT_FALSE(view.abortEnabled);
  // Nothing more goes out once the port is closed: every step posted before the abort
  // runs idle, and the port stays closed.
  const std::size_t stepsAtAbort = view.stepsRun.size();
  bool posted = false;
  QMetaObject::invokeMethod(writer.get(), [&posted] { posted = true; }, Qt::QueuedConnection);
  ASSERT_TRUE(WaitUntil([&] { return posted; }));
  EXPECT_TRUE(std::all_of(view.stepsRun.begin() + static_cast<std::ptrdiff_t>(stepsAtAbort), view.stepsRun.end(),
                          [](int state) { return state == 0; }));
  EXPECT_FALSE(port->IsOpen());
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
