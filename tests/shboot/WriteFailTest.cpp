// Every way a write run ends early, driven by the simulated receiver's faults: the
// message, the log lines in order, status panel 1, the board button, Abort's line
// where the failure has one, the port closed. Time limits are reached by running
// the writer's clock ahead once the run waits in the state under test.
#include <QPushButton>
#include <QTextEdit>
#include <QTimer>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "platform/Widgets.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/shboot/WriteFaults.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

class WriteFail : public WriterTest {};

}  // namespace

TEST_F(WriteFail, EachFailureEndsTheRunAsItsTableSays) {
  for (const WriteFault &c : WriteFaults()) {
    SCOPED_TRACE(c.name);
    StartReceiver(c.faults);
    // Each box stays open until the closing state has run inside its event loop.
    BoxAnswerer boxes([] { return BootState == 0; });
    ChooseBoard(0);
    const qsizetype mark = LogMark();
    FormSHBoot->WriteButton->click();
    if (c.waitState != 0) {
      // Every byte the receiver still sends must be in first (the echoes re-arm the limit).
      ASSERT_TRUE(SettleInState(c.waitState));
      AdvanceWriterClock(c.limitMs + 1);
    }
    ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(20)));
    // The box closes once the run has ended; the failure's last actions follow it.
    ASSERT_TRUE(kxtest::WaitUntil([&] { return !boxes.logLengthAtClose.empty(); }));

    EXPECT_EQ(boxes.texts, QStringList{c.message});
    const QStringList log = RecordsMarked(LogSince(mark));
    EXPECT_EQ(log, WithRecordMarks(c.log));
    // The closing state ran while the box was open, and the run's end is on record.
    ASSERT_EQ(boxes.logLengthAtClose.size(), 1u);
    EXPECT_EQ(log.mid(boxes.logLengthAtClose[0] - mark - 2, 2), (QStringList{kClose, "Write record: failed"}));
    EXPECT_TRUE(FormSHBoot->StatusBar1->PanelText(1).startsWith(c.panelPrefix))
        << FormSHBoot->StatusBar1->PanelText(1).toStdString();
    EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Red);
    EXPECT_EQ(FormSHBoot->AbortButton->isEnabled(), !c.aborted);
    EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
    EXPECT_FALSE(FormMain->CommX1->IsOpen());
    EXPECT_EQ(FormMain->CommX1->Tag, 0);
    EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
    EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
    EXPECT_FALSE(rx->programmed(sim::Board::MainBoard));
    rx->stop();
    FormMain->ColorClearButtonClick();
  }
}

TEST_F(WriteFail, AnImageGoneBeforeProgrammingEndsTheRunWithoutABox) {
  StartReceiver();
  BoxAnswerer boxes;
  ChooseBoard(0);
  const qsizetype mark = LogMark();
  FormSHBoot->WriteButton->click();
  // The image is first read at state 42; taking it away anywhere in the link set-up,
  // which waits in its own steps, is the same case.
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState >= 10; }, std::chrono::seconds(15)));
  ASSERT_LT(BootState, 42);
  FormSHBoot->FirmStream->Clear();
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(20)));
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_EQ(RecordsMarked(LogSince(mark)),
            WithRecordMarks({kWrite, kOpen, kAdjusted, kErased, kPrepare, kChange, "Illegal the Firmware", kClose}));
  EXPECT_EQ(FormSHBoot->StatusBar1->PanelText(1), "Illegal the Firmware");
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Red);
  EXPECT_TRUE(FormSHBoot->AbortButton->isEnabled());
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(rx->counters().framesReceived, 0u);
}

TEST_F(WriteFail, APortThatCannotBeOpenedEndsTheRun) {
  // No receiver is published, so COM9 names no device.
  kxtest::MessageBoxes boxes;
  ChooseBoard(0);
  FormMain->MainBoardBitBtn->SetFontColor(kx::colors::Fuchsia);
  const qsizetype mark = LogMark();
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !boxes.texts.isEmpty(); }, std::chrono::seconds(5)));
  EXPECT_EQ(boxes.texts, QStringList{"Can not open the COM port"});
  EXPECT_EQ(BootState, 0);
  // The run was on record from its start, and ended failed as it went idle.
  EXPECT_EQ(RecordsMarked(LogSince(mark)), (QStringList{kWrite, "Write record: started", kOpen,
                                                        "Write record: failed", "Can not open the COM port"}));
  EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
  EXPECT_FALSE(FormSHBoot->AbortButton->isEnabled());
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Fuchsia) << "nothing was written to the board";
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  // The window is idle again: its timer runs, and a board button is taken at once.
  EXPECT_TRUE(kxtest::WaitUntil([] { return FormSHBoot->StatusBar1->PanelText(0) == "0"; },
                                std::chrono::milliseconds(500)));
  const qsizetype again = LogMark();
  ChooseBoard(1);
  EXPECT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(LogSince(again).last().startsWith("Initial for Decoder  [")) << LogSince(again).last().toStdString();
}

TEST_F(WriteFail, AnUnpluggedLineEndsTheRunAtOnceAndAnotherPortWorks) {
  // The receiver's line closes after the 5th frame was answered, as when the adapter
  // is pulled out mid-write.
  StartReceiver({{sim::FaultKind::Hangup, 5}});
  // The run ends while its box is open: the box notes when.
  std::chrono::steady_clock::time_point endedAt{};
  BoxAnswerer boxes([&] {
    if (BootState == 0 && endedAt == std::chrono::steady_clock::time_point{})
      endedAt = std::chrono::steady_clock::now();
    return BootState == 0;
  });
  ChooseBoard(0);
  const qsizetype mark = LogMark();
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(kxtest::WaitUntil([&] { return rx->hungUp() && BootState == 0; }, std::chrono::seconds(20)));
  ASSERT_NE(endedAt, std::chrono::steady_clock::time_point{});
  const auto endedAfter = std::chrono::duration_cast<std::chrono::milliseconds>(endedAt - hungUpAt.load());
  EXPECT_LT(endedAfter.count(), 1000);

  const QString message = QStringLiteral("COM%1 was disconnected.").arg(kSimPort);
  EXPECT_EQ(boxes.texts, QStringList{message});
  EXPECT_EQ(RecordsMarked(LogSince(mark)),
            WithRecordMarks({kWrite, kOpen, kAdjusted, kErased, kPrepare, kChange, kChanged, message, kClose}));
  EXPECT_EQ(FormSHBoot->StatusBar1->PanelText(1), message);
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Red);
  EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(FormMain->CommX1->Tag, 0);
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  EXPECT_TRUE(FormTerminal->RichEdit1->toPlainText().contains(message));
  EXPECT_EQ(rx->counters().framesReceived, 5u);

  // Nothing keeps running once the box is closed.
  kxtest::WaitUntil([&] { return !boxes.logLengthAtClose.empty(); });
  const double share = kxtest::IdleCpuShare(std::chrono::seconds(5));
  EXPECT_LT(share, 0.01) << share * 100 << " % of a core";

  // A receiver on a new line is written at once.
  FormMain->ColorClearButtonClick();
  StartReceiver();
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(rx->programmed(sim::Board::MainBoard));
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Blue);
}
