// Sequences across the windows, as a technician with several receivers at a bench goes
// through them: what is written, and where its lines go, belongs to the receiver at hand.
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "payload/Loaders.h"
#include "platform/Widgets.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

std::vector<std::uint8_t> CarriedImage(const QString &name) {
  kx::MemoryStream s;
  EXPECT_TRUE(kx::MakeMotStreamFromResource(name, s, kx::kRomSize, {}));
  return {s.Bytes().begin(), s.Bytes().begin() + kx::kRomSize};
}

class ReceiverSequence : public WriterTest {
 protected:
  sim::Options Receiver(std::array<std::string, 3> versions, sim::BootMode boot = sim::BootMode::Auto) {
    sim::Options opt;
    opt.pace = false;
    opt.eraseSeconds = 0.05;
    opt.versions = std::move(versions);
    opt.boot = boot;
    return opt;
  }
  void EnterSerial(const QString &serial) {
    FormMain->SerialNumberEdit->setText(serial);
    FormMain->SerialNumberEditExit();
  }
  bool RunCheck() {
    FormMain->ConnectTestBitBtn->click();
    return kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; });
  }
  static bool Logged(const QStringList &lines, const QString &prefix) {
    return std::any_of(lines.begin(), lines.end(), [&](const QString &l) { return l.startsWith(prefix); });
  }
  void TearDown() override {
    WriterTest::TearDown();
    EnterSerial(QStringLiteral("09680661"));
    FormMain->Step03LabelClick();
  }
};

// Receiver A's image is loaded into an open writer window; receiver B is entered and
// checked; WRITE START in the same window writes B's image, not A's.
TEST_F(ReceiverSequence, AnOpenWriterWritesTheReceiverAtHand) {
  kxtest::MessageBoxes boxes;
  EnterSerial(QStringLiteral("09710001"));
  StartReceiverWith(Receiver({"402AR", "3N4A", "510A"}));
  ASSERT_TRUE(RunCheck());
  ChooseBoard(0);
  ASSERT_TRUE(LogSince(0).last().endsWith(QStringLiteral("(MAIN_Q_SH_7391)"))) << LogSince(0).last().toStdString();
  EXPECT_TRUE(FormSHBoot->windowTitle().endsWith(QStringLiteral("  09710001")));

  EnterSerial(QStringLiteral("09680001"));
  StartReceiverWith(Receiver({"402A", "3N4A", "510A"}));
  ASSERT_TRUE(RunCheck());
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));
  const qsizetype mark = LogMark();
  ASSERT_TRUE(RunUntilIdle());
  const QStringList log = LogSince(mark);
  ASSERT_FALSE(log.isEmpty());
  EXPECT_TRUE(log[0].startsWith(QStringLiteral("Initial for MainBoard  [")) &&
              log[0].endsWith(QStringLiteral("(MAIN_NONE_SH_7391)")))
      << log[0].toStdString();
  EXPECT_TRUE(FormSHBoot->windowTitle().endsWith(QStringLiteral("  09680001")));
  EXPECT_TRUE(Logged(log, QStringLiteral("Writing complete.")));
  EXPECT_TRUE(rx->flash(sim::Board::MainBoard) == CarriedImage(QStringLiteral("MAIN_NONE_SH_7391")));
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
}

// What one receiver's answer set never reaches the next one: a serial-number change,
// a check that gives up and an answer without a MainBoard version each start from the
// serial number alone.
TEST_F(ReceiverSequence, VariantFlagsComeFromThisReceiverOnly) {
  kxtest::MessageBoxes boxes;
  EnterSerial(QStringLiteral("09680001"));
  StartReceiverWith(Receiver({"402AR", "3N4A", "510A"}));
  ASSERT_TRUE(RunCheck());
  ASSERT_EQ(FormMain->Receiver.ShortRfu(), 1);

  // Receiver B cannot answer (its MainBoard erased): the hidden write-enable, then MainBoard.
  EnterSerial(QStringLiteral("09710001"));
  FormMain->Step03LabelClick();
  ChooseBoard(0);
  EXPECT_TRUE(LogSince(0).last().endsWith(QStringLiteral("(MAIN_B_SH_7391)"))) << LogSince(0).last().toStdString();

  // The same receiver answers once more, now without a MainBoard version.
  StartReceiverWith(Receiver({"402AR", "3N4A", "510A"}));
  ASSERT_TRUE(RunCheck());
  ASSERT_EQ(FormMain->Receiver.ShortRfu(), 1);
  FormMain->EvaluateVersions({QStringLiteral(" KX7391D"), QString(), QStringLiteral("3N4A"), QStringLiteral("510A")});
  EXPECT_EQ(FormMain->Receiver.ShortRfu(), 0);
  EXPECT_EQ(FormMain->Receiver.BlockVersion(), 1);
}

// A check still waiting for a silent receiver (already in boot mode) is ended by WRITE
// START before the run takes the port; none of its repeats reaches the write.
TEST_F(ReceiverSequence, WriteStartEndsARunningCheckFirst) {
  kxtest::MessageBoxes boxes;
  StartReceiverWith(Receiver({"402A", "3N4A", "510A"}, sim::BootMode::MainBoard));
  FormMain->ConnectTestBitBtn->click();
  ASSERT_EQ(FormMain->ConnectTestBitBtn->Tag, 1);
  FormMain->Step03LabelClick();
  ChooseBoard(0);
  const qsizetype mark = LogMark();
  FormSHBoot->WriteButton->click();
  EXPECT_EQ(FormMain->ConnectTestBitBtn->Tag, 0);
  EXPECT_FALSE(FormMain->VersionDialogue1->Running());
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(30)));
  const QStringList log = LogSince(mark);
  const qsizetype finish = log.indexOf(QStringLiteral("VersionTest Finish"));
  const qsizetype write = log.indexOf(QStringLiteral("[WRITE](FormSHBoot) Clicked"));
  ASSERT_GE(finish, 0);
  EXPECT_LT(finish, write);
  EXPECT_TRUE(Logged(log, QStringLiteral("Writing complete."))) << log.join('|').toStdString();
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
  EXPECT_TRUE(rx->flash(sim::Board::MainBoard) == CarriedImage(QStringLiteral("MAIN_NONE_SH_7391")));
}

// While a write holds the port, nobody else may use it, nor take another receiver.
TEST_F(ReceiverSequence, AWriteHoldsThePortAndTheReceiver) {
  StartReceiverWith([&] {
    sim::Options o = Receiver({"402A", "3N4A", "510A"});
    o.faults = {{sim::FaultKind::WriteTimeout, 5}};
    return o;
  }());
  EnterSerial(QStringLiteral("09680001"));
  FormMain->Step03LabelClick();
  ChooseBoard(0);
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(SettleInState(64));
  const int portNo = FormMain->CommX1->PortNo();
  const qsizetype mark = LogMark();
  const std::uint64_t framesBefore = rx->counters().framesReceived;
  kxtest::MessageBoxes boxes;
  struct Try {
    const char *what;
    std::function<void()> act;
  } tries[] = {
      {"VersionCheck", [] { FormMain->ConnectTestBitBtn->click(); }},
      {"COM Search", [] { FormMain->ComSearchButton->click(); }},
      {"A change of the COM port",
       [] {
         FormMain->ComPortComboBox->addItem(QStringLiteral("COM1(/dev/ttyS0)"));
         FormMain->ComPortComboBox->setCurrentIndex(FormMain->ComPortComboBox->count() - 1);
         FormMain->ComPortComboBoxChange();
       }},
      {"COM Open", [] { FormTerminal->OpenButtonClick(); }},
      {"The serial number",
       [] {
         FormMain->SerialNumberEdit->setText(QStringLiteral("09680002"));
         FormMain->SerialNumberEditExit();
       }},
  };
  for (const Try &t : tries) {
    SCOPED_TRACE(t.what);
    boxes.texts.clear();
    t.act();
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith(QLatin1String(t.what))) << boxes.texts[0].toStdString();
    EXPECT_EQ(BootState, 64);
    EXPECT_EQ(FormMain->CommX1->PortNo(), portNo);
    EXPECT_TRUE(FormMain->CommX1->IsOpen());
  }
  EXPECT_EQ(FormMain->SerialNumberEdit->text(), QStringLiteral("09680001"));
  EXPECT_EQ(FormMain->Log().SerialBaseName(), QStringLiteral("09680001"));
  EXPECT_FALSE(LogSince(mark).contains(QStringLiteral("[VersionTest](FormMain) clicked")));
  EXPECT_FALSE(Logged(LogSince(mark), QStringLiteral("[COM SEARCH]")));
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_EQ(rx->counters().framesReceived, framesBefore) << "nothing but the writer reached the line";
  EXPECT_EQ(rx->counters().versionRequests, 0u);

  // The run's end goes to the log of the receiver it started for.
  FormSHBoot->AbortButtonClick();
  EXPECT_EQ(FormMain->Log().SerialLines().last().mid(24),
            QStringLiteral("Write aborted: the board is left unwritten. Write it again."));
  FormMain->ComPortComboBox->removeItem(FormMain->ComPortComboBox->count() - 1);
}

// Closing the main window during a write asks; No leaves it going, Yes runs Abort's
// sequence. A termination signal does what Yes does, without asking.
TEST_F(ReceiverSequence, EndingTheUpdaterDuringAWrite) {
  for (const char *how : {"No", "Yes", "signal"}) {
    SCOPED_TRACE(how);
    StartReceiverWith([&] {
      sim::Options o = Receiver({"402A", "3N4A", "510A"});
      o.faults = {{sim::FaultKind::WriteTimeout, 200}};
      return o;
    }());
    FormMain->show();
    ChooseBoard(0);
    FormSHBoot->WriteButton->click();
    ASSERT_TRUE(SettleInState(64));
    const qsizetype mark = LogMark();
    kxtest::MessageBoxes boxes;
    boxes.answerYes = std::string(how) == "Yes";
    if (std::string(how) == "signal") {
      FormMain->TerminationRequested();
      EXPECT_TRUE(boxes.texts.isEmpty());
    } else {
      const bool closed = FormMain->close();
      ASSERT_EQ(boxes.texts.size(), 1);
      EXPECT_TRUE(boxes.texts[0].startsWith(QStringLiteral("An SH write is running."))) << boxes.texts[0].toStdString();
      EXPECT_EQ(closed, boxes.answerYes);
    }
    if (std::string(how) == "No") {
      EXPECT_EQ(BootState, 64);
      EXPECT_TRUE(FormMain->isVisible());
      FormSHBoot->AbortButtonClick();
      continue;
    }
    EXPECT_EQ(BootState, 0);
    EXPECT_FALSE(FormMain->CommX1->IsOpen());
    const QStringList log = LogSince(mark);
    EXPECT_TRUE(log.contains(QStringLiteral("[Abort](FormSHBoot) clicked"))) << log.join('|').toStdString();
    EXPECT_TRUE(log.contains(QStringLiteral("Write aborted: the board is left unwritten. Write it again.")));
    EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Red);
  }
}

// A number typed but not yet left is taken when the focus goes on to the writer window,
// and at WRITE START.
TEST_F(ReceiverSequence, TheTypedSerialNumberIsTakenOnTheWayToTheWriter) {
  StartReceiverWith(Receiver({"402A", "3N4A", "510A"}));
  FormMain->show();
  ChooseBoard(1);
  FormMain->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(FormMain));
  FormMain->SerialNumberEdit->setFocus(Qt::MouseFocusReason);
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680042"));
  FormSHBoot->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(FormSHBoot));
  EXPECT_EQ(FormMain->Log().SerialBaseName(), QStringLiteral("09680042"));

  FormMain->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(FormMain));
  FormMain->SerialNumberEdit->setFocus(Qt::MouseFocusReason);
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680043"));
  ASSERT_TRUE(RunUntilIdle());
  EXPECT_EQ(FormMain->Log().SerialBaseName(), QStringLiteral("09680043"));
  const QStringList serialLog = [] {
    QStringList out;
    for (const QString &l : FormMain->Log().SerialLines()) out.append(l.mid(24));
    return out;
  }();
  // The board was set up again for this receiver, and its run logged under it.
  EXPECT_TRUE(Logged(serialLog, QStringLiteral("Initial for Decoder"))) << serialLog.join('|').toStdString();
  EXPECT_TRUE(Logged(serialLog, QStringLiteral("Writing complete."))) << serialLog.join('|').toStdString();
}

}  // namespace
