// The version check end to end: the real windows and serial component against the
// simulated receiver on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <QComboBox>
#include <QElapsedTimer>
#include <QTimer>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "platform/Dialogs.h"
#include "terminal/UnitTerminal.h"
#include "tests/main/VersionRig.h"
#include "tests/support/TestSupport.h"

using namespace vctest;
using kx::colors::Fuchsia;
using kx::colors::Green;

namespace {

class VersionCheckRun : public ::testing::Test {
 protected:
  void SetUp() override {
    EnsureWindows();
    FormMain->SerialNumberEdit->setText(QStringLiteral("09680661"));
    FormMain->SerialNumberEditExit();
  }
  void TearDown() override {
    if (FormMain->ConnectTestBitBtn->Tag != 0) FormMain->AbortButtonClick();
  }
  bool RunCheck(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    FormMain->ConnectTestBitBtn->click();
    return kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, limit);
  }
};

}  // namespace

TEST_F(VersionCheckRun, CompleteAnswerColoursTheBoardsAndClosesThePort) {
  auto rx = StartReceiver();
  kxtest::MessageBoxes boxes;
  const qsizetype mark = LogMark();
  ASSERT_TRUE(RunCheck());
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), Green);
  EXPECT_EQ(FormMain->Receiver.Answer().value_or(kx::VersionAnswer{}).receiver, QStringLiteral(" KX7391D"));
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));
  EXPECT_EQ(FormMain->DecorderVerLabel->text(), QStringLiteral("3N4A => 3N5A"));
  EXPECT_EQ(FormMain->PanelVerLabel->text(), QStringLiteral("510A => 511A"));
  for (kx::TButton *b : {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn}) {
    EXPECT_EQ(b->FontColor(), Fuchsia);
    EXPECT_TRUE(b->isEnabled());
  }
  // The Panel is old, so the DigiDec needs writing whatever the serial number says.
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), Fuchsia);
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(FormMain->CommX1->Tag, 0);
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  EXPECT_FALSE(FormMain->AbortButton->isEnabled());
  EXPECT_EQ(rx->counters().versionRequests, 1u);
  const QStringList log = LogSince(mark);
  ASSERT_GE(log.size(), 8);
  EXPECT_EQ(log[0], QStringLiteral("[VersionTest](FormMain) clicked"));
  EXPECT_EQ(log[1], QStringLiteral("VR res:VER-C KX7391D_Main_402A D3N4A "));
  EXPECT_EQ(log[2], QStringLiteral("VRP res:VER-P: 510A"));
  EXPECT_EQ(log[3], QStringLiteral("VersionTest Finish"));
  EXPECT_EQ(log.mid(4), (QStringList{" MainBoard (1): 402A => 403A", " Decorder (1): 3N4A => 3N5A",
                                     " Panel (1): 510A => 511A", " DigiDec (1): (307A)=> 507A"}));
}

TEST_F(VersionCheckRun, ReceiverNotReadyIsAskedAgainAfterTheMessage) {
  kx::sim::Options opt;
  opt.notReadySeconds = 1.0;
  auto rx = StartReceiver(opt);
  QStringList texts;
  // The user reads the message for a while; by then the receiver has started.
  kx::SetMessageBoxObserver([&](QMessageBox &box) {
    texts << box.text();
    QTimer::singleShot(1500, &box, &QMessageBox::accept);
  });
  const qsizetype mark = LogMark();
  FormMain->ConnectTestBitBtn->click();
  const bool done = kxtest::WaitUntil(
      [] { return FormMain->ConnectTestBitBtn->Tag == 0 && FormMain->ConnectTestBitBtn->FontColor() == Green; },
      std::chrono::seconds(15));
  kx::SetMessageBoxObserver({});
  ASSERT_TRUE(done);
  EXPECT_EQ(texts, QStringList{"Receiver not ready yet.  Click [OK] to restart VersionCheck."});
  const QStringList log = LogSince(mark);
  EXPECT_TRUE(log.contains(QStringLiteral("VersionTest:Can not FIND")));
  const qsizetype retry = log.indexOf(QStringLiteral("Wait and Retry [VersionCheck]"));
  ASSERT_GE(retry, 0);
  EXPECT_EQ(log[retry + 1], QStringLiteral("VersionTest Finish"));
  EXPECT_EQ(log[retry + 2], QStringLiteral("[VersionTest](FormMain) clicked"));
  EXPECT_EQ(FormMain->Receiver.Answer().value_or(kx::VersionAnswer{}).mainBoard, QStringLiteral("402A"));
}

TEST_F(VersionCheckRun, AnotherModelIsRefused) {
  kx::sim::Options opt;
  opt.model = "KX9000";
  auto rx = StartReceiver(opt);
  kxtest::MessageBoxes boxes;
  ASSERT_TRUE(RunCheck());
  EXPECT_EQ(boxes.texts, QStringList{"Receiver is NOT KX-7391D !"});
  EXPECT_FALSE(FormMain->MainBoardBitBtn->isEnabled());
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::GrayText());
  EXPECT_TRUE(FormMain->MainVerLabel->text().isEmpty());
}

TEST_F(VersionCheckRun, PortThatCannotBeOpenedLeavesTheCheckForAbort) {
  kxtest::MessageBoxes boxes;  // no receiver: COM9 names no device
  // A real click, so the error travels as it does for the user: to the error box.
  FormMain->show();
  QTest::mouseClick(FormMain->ConnectTestBitBtn, Qt::LeftButton);
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !boxes.texts.isEmpty(); }));
  EXPECT_EQ(boxes.texts, QStringList{"Can not open the COM port"});
  EXPECT_EQ(FormMain->ConnectTestBitBtn->Tag, 1);
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_TRUE(FormMain->AbortButton->isEnabled());
  EXPECT_FALSE(FormMain->ConnectTestTimer->isActive());
  FormMain->AbortButton->click();
  EXPECT_EQ(FormMain->ConnectTestBitBtn->Tag, 0);
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_EQ(FormMain->Log().MainLines().last().mid(24), QStringLiteral("VersionTest Finish"));
}

// The service terminal on the receiver: a typed "VR" gets the receiver's answer, in red.
TEST_F(VersionCheckRun, TerminalShowsTheReceiverAnswerInRed) {
  auto rx = StartReceiver();
  FormTerminal->OpenButtonClick();
  FormTerminal->CommandComboBox->setEditText(QStringLiteral("VR"));
  FormTerminal->SendButtonClick();
  const QString answer = QStringLiteral("VER-C KX7391D_Main_402A D3N4A ");
  QColor colour;
  ASSERT_TRUE(kxtest::WaitUntil([&] {
    FormTerminal->TerminalRxFlush();
    for (QTextBlock b = FormTerminal->RichEdit1->document()->begin(); b.isValid(); b = b.next())
      for (auto it = b.begin(); !it.atEnd(); ++it)
        if (it.fragment().text().contains(answer)) colour = it.fragment().charFormat().foreground().color();
    return colour.isValid();
  }));
  EXPECT_EQ(colour, QColor(255, 0, 0));
  FormTerminal->CloseButtonClick();
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
}

// The receiver goes off in the middle of its answer and the user aborts: the next
// check reads its own lines only.
TEST_F(VersionCheckRun, PartLineOfAnAbortedCheckDoesNotLeadTheNext) {
  kx::sim::Options opt;
  opt.faults = *kx::sim::ParseFaults("cut-answer@1");
  auto rx = StartReceiver(opt);
  kxtest::MessageBoxes boxes;
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->VR_str == QStringLiteral("VER-C KX7391D_Main_4"); }));
  FormMain->AbortButton->click();
  ASSERT_TRUE(RunCheck());
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_EQ(FormMain->Receiver.Answer().value_or(kx::VersionAnswer{}).receiver, QStringLiteral(" KX7391D"));
  EXPECT_EQ(FormMain->Receiver.Answer().value_or(kx::VersionAnswer{}).mainBoard, QStringLiteral("402A"));
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), Green);
}

TEST_F(VersionCheckRun, AnUnpluggedLineEndsTheCheckAtOnceAndAnotherPortWorks) {
  // A receiver in boot mode never answers, so the check is waiting when its line goes.
  kx::sim::Options opt;
  opt.boot = kx::sim::BootMode::MainBoard;
  auto rx = StartReceiver(opt);
  kxtest::MessageBoxes boxes;
  FormMain->ColorClearButtonClick();
  const qsizetype mark = LogMark();
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(FormMain->CommX1->IsOpen());
  // The request "\r\nVR\r\nVRP\r\n" is out: the receiver has all of it.
  ASSERT_TRUE(kxtest::WaitUntil([&] { return rx->counters().bytesReceived >= 11; }, std::chrono::seconds(3)))
      << rx->counters().bytesReceived;
  ASSERT_EQ(FormMain->ConnectTestBitBtn->Tag, 1);
  QElapsedTimer sinceHangUp;
  rx->stop();  // closes the pseudo-terminal: the port's device hangs up
  sinceHangUp.start();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, std::chrono::seconds(3)));
  EXPECT_LT(sinceHangUp.elapsed(), 1000);

  const QString message = QStringLiteral("COM%1 was disconnected.").arg(kPort);
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_EQ(LogSince(mark), (QStringList{"[VersionTest](FormMain) clicked", message, "VersionTest Finish"}));
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Red);
  for (kx::TButton *b : {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn})
    EXPECT_FALSE(b->isEnabled());
  EXPECT_FALSE(FormMain->ConnectTestTimer->isActive());
  EXPECT_FALSE(FormMain->AbortButton->isEnabled());
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_EQ(FormMain->CommX1->Tag, 0);
  EXPECT_TRUE(FormTerminal->OpenButton->isEnabled());
  EXPECT_FALSE(FormTerminal->CloseButton->isEnabled());
  EXPECT_TRUE(FormTerminal->RichEdit1->toPlainText().endsWith(message + QLatin1Char('\n')))
      << FormTerminal->RichEdit1->toPlainText().right(200).toStdString();

  const double share = kxtest::IdleCpuShare(std::chrono::seconds(5));
  EXPECT_LT(share, 0.01) << share * 100 << " % of a core";

  // A receiver on a new line answers the next check at once.
  rx = StartReceiver();
  ASSERT_TRUE(RunCheck());
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), Green);
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));
}
