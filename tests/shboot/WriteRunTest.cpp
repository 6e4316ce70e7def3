// Whole write runs against the simulated receiver: the three boards to the end, OK
// during a run, Abort in the middle of programming, a board button during a run.
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "platform/Widgets.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

kx::TButton *BoardButton(int board) {
  kx::TButton *b[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn};
  return b[board];
}

class WriteRun : public WriterTest {};

}  // namespace

TEST_F(WriteRun, EveryBoardIsProgrammedToTheEnd) {
  struct Case {
    int board;
    sim::Board simBoard;
    const char *timing;
  } cases[] = {{0, sim::Board::MainBoard, "2"}, {1, sim::Board::Decoder, "1"}, {2, sim::Board::Panel, "1"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.board);
    StartReceiver();
    BoxAnswerer boxes;
    ChooseBoard(c.board);
    ASSERT_EQ(FormSHBoot->Tag, c.board);
    const std::vector<std::uint8_t> image = LoadedImage();
    ASSERT_EQ(image.size(), 0x40000u);
    const qsizetype mark = LogMark();

    ASSERT_TRUE(RunUntilIdle());

    EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(" | ").toStdString();
    EXPECT_TRUE(rx->flash(c.simBoard) == image) << "the receiver's flash differs from the loaded image";
    EXPECT_TRUE(rx->programmed(c.simBoard));
    EXPECT_EQ(rx->counters().framesReceived, NonBlankBlocks(image)) << "a blank block was sent, or a block twice";
    const QStringList log = RecordsMarked(LogSince(mark));
    ASSERT_EQ(log.size(), 11) << log.join(" | ").toStdString();
    EXPECT_EQ(log.mid(0, 8), (QStringList{"[WRITE](FormSHBoot) Clicked", "Write record: started",
                                          QStringLiteral("COMM port open  Timing Type") + QLatin1String(c.timing),
                                          "AdjustBitRate OK", "Erace OK", "Prepare the boot program",
                                          "Change the BitRate", "Changed the BitRate to 115kbps"}));
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^Writing complete\\. \\d\\d:\\d\\d:\\d\\d - \\d\\d:\\d\\d:\\d\\d$"))
                    .match(log[8])
                    .hasMatch())
        << log[8].toStdString();
    EXPECT_EQ(log[9], "COMM port close");
    EXPECT_EQ(log[10], "Write record: written");
    EXPECT_EQ(FormSHBoot->StatusBar1->PanelText(1), log[8]);
    // The closing state's own post finds state 0 and rewrites panel 0.
    EXPECT_TRUE(kxtest::WaitUntil([] { return FormSHBoot->StatusBar1->PanelText(0) == "0"; },
                                  std::chrono::milliseconds(500)));
    EXPECT_EQ(BoardButton(c.board)->FontColor(), kx::colors::Blue);
    EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
    EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
    EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
    EXPECT_TRUE(FormSHBoot->AbortButton->isEnabled()) << "a successful run leaves Abort enabled";
    EXPECT_EQ(FormSHBoot->FirmWriteProgressBar->value(), 0);
    EXPECT_FALSE(FormMain->CommX1->IsOpen());
    EXPECT_EQ(FormMain->CommX1->Tag, 0);
    EXPECT_EQ(FormMain->CommX1->BitRate(), 115200);
    rx->stop();
  }
}

TEST_F(WriteRun, OkHidesTheWindowAndTheRunCompletes) {
  StartReceiver();
  BoxAnswerer boxes;
  ChooseBoard(1);
  ASSERT_TRUE(FormSHBoot->isVisible());
  const qsizetype mark = LogMark();
  FormSHBoot->WriteButton->click();
  FormSHBoot->BitBtn1->click();
  EXPECT_FALSE(FormSHBoot->isVisible());
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(30)));
  const QStringList log = RecordsMarked(LogSince(mark));
  ASSERT_GE(log.size(), 5);
  EXPECT_EQ(log[1], "Write record: started");
  EXPECT_EQ(log[2], QStringLiteral("[OK](FormSHBoot) clicked. Close ") + FormSHBoot->windowTitle());
  EXPECT_TRUE(log[log.size() - 3].startsWith("Writing complete. "));
  EXPECT_EQ(log[log.size() - 2], "COMM port close");
  EXPECT_EQ(log.last(), "Write record: written");
  EXPECT_EQ(FormMain->DecoderBitBtn->FontColor(), kx::colors::Blue);
  EXPECT_TRUE(rx->programmed(sim::Board::Decoder));
}

TEST_F(WriteRun, AbortInTheMiddleOfProgrammingAndABoardButtonDuringTheRun) {
  // The fifth frame is never answered, so the run waits in state 64 until Abort.
  StartReceiver({{sim::FaultKind::WriteTimeout, 5}});
  BoxAnswerer boxes;
  ChooseBoard(0);
  const std::vector<std::uint8_t> bootBefore = FormSHBoot->BootStream->Bytes();
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(kxtest::WaitUntil([&] { return BootState == 64 && rx->counters().framesReceived == 5; },
                                std::chrono::seconds(15)));
  EXPECT_TRUE(FormSHBoot->StatusBar1->PanelText(1).startsWith("Write adrs "));

  // Another board's button during the run: refused, nothing reloaded.
  qsizetype mark = LogMark();
  FormMain->DecoderBitBtn->click();
  EXPECT_EQ(boxes.texts.size(), 1);
  EXPECT_EQ(FormSHBoot->Tag, 0);
  EXPECT_TRUE(FormSHBoot->BootStream->Bytes() == bootBefore);
  EXPECT_EQ(BootState, 64);
  QStringList log = LogSince(mark);
  ASSERT_EQ(log.size(), 2);
  EXPECT_EQ(log[0], "[Decorder](FormMain) clicked");
  EXPECT_TRUE(log[1].startsWith("Initial refused")) << log[1].toStdString();

  mark = LogMark();
  FormSHBoot->AbortButton->click();
  EXPECT_EQ(BootState, 0);
  // Steps already posted and later ticks do nothing more.
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(400));
  EXPECT_EQ(RecordsMarked(LogSince(mark)), (QStringList{"[Abort](FormSHBoot) clicked", "Write record: aborted",
                                                        "Write aborted: the board is left unwritten. Write it again."}));
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(FormMain->CommX1->Tag, 0);
  EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
  EXPECT_FALSE(FormSHBoot->AbortButton->isEnabled());
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Red) << "the board is half written";
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled()) << "the terminal's buttons follow the closed port";
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  EXPECT_EQ(rx->counters().framesReceived, 5u);
  EXPECT_FALSE(rx->programmed(sim::Board::MainBoard));
}

TEST_F(WriteRun, AbortBeforeTheEraseLeavesTheBoardsColour) {
  // The chip never answers the adjustment, so the run waits before its erase request.
  StartReceiver({{sim::FaultKind::NoAdjust, 0}});
  BoxAnswerer boxes;
  ChooseBoard(2);
  FormMain->PanelBitBtn->SetFontColor(kx::colors::Fuchsia);
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(RunUntilState(12));
  EXPECT_EQ(FormMain->PanelBitBtn->FontColor(), kx::colors::Yellow);
  const qsizetype mark = LogMark();
  FormSHBoot->AbortButton->click();
  EXPECT_EQ(RecordsMarked(LogSince(mark)), (QStringList{"[Abort](FormSHBoot) clicked", "Write record: aborted"}));
  EXPECT_EQ(FormMain->PanelBitBtn->FontColor(), kx::colors::Fuchsia);
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  EXPECT_EQ(rx->counters().bootSessions, 0u);
}
