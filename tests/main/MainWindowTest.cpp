#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <csignal>

#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "main/Wiring.h"
#include "shboot/UnitSHBoot.h"
#include "tests/digidec/DigiDecToolSupport.h"
#include <QTest>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <functional>
#include "platform/FileError.h"
#include "tests/support/TestSupport.h"

namespace {

QStringList LogTexts(const QString &path) {
  QStringList lines = QString::fromUtf8(kxtest::ReadAll(path)).split(QStringLiteral("\r\n"));
  lines.removeLast();
  for (QString &l : lines) l = l.mid(24);
  return lines;
}

// A port directory with one port, so that the start-up search finds it and shows no box.
QString OnePortDir(const QString &base) {
  QDir(base).mkpath(QStringLiteral("ports"));
  QFile::link(QStringLiteral("/dev/null"), base + QStringLiteral("/ports/COM9"));
  return base + QStringLiteral("/ports");
}

// The main window as start-up leaves it, in its own working directory.
class MainWindow : public ::testing::Test {
 protected:
  MainWindow() { qputenv("KX7391_PORT_DIR", QFile::encodeName(OnePortDir(dir.path()))); }
  ~MainWindow() override { qunsetenv("KX7391_PORT_DIR"); }
  void Start() {
    FormDigiDec = new TFormDigiDec;
    FormMain = new TFormMain;
    FormMain->FormCreate();
  }
  void TearDown() override {
    delete FormMain;
    FormMain = nullptr;
    delete FormDigiDec;
    FormDigiDec = nullptr;
  }
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
};

}  // namespace

TEST_F(MainWindow, RunStartsWithStampLineAndCaptionAndEndsWithCloseLine) {
  Start();
  FormMain->FormDestroy();
  const QStringList texts = LogTexts(dir.file("KX7391Updater_Log.txt"));
  ASSERT_GE(texts.size(), 3);
  EXPECT_EQ(texts[0], QString());
  EXPECT_EQ(texts[1], QStringLiteral("===== KX7391Updater  (Nov. 2025 Fixed) ====="));
  EXPECT_EQ(texts.last(), QStringLiteral("===== KX7391Updater.exe Close ====="));
  EXPECT_EQ(FormMain->Receiver.Carried().mainBoard, QStringLiteral("403A"));
  EXPECT_EQ(FormMain->Receiver.Carried().decoder, QStringLiteral("3N5A"));
  EXPECT_EQ(FormMain->Receiver.Carried().panel, QStringLiteral("511A"));
  EXPECT_EQ(FormMain->Receiver.Carried().digiDec, QStringLiteral("507A"));
}

TEST_F(MainWindow, MarkerFileSelectsUnrestrictedMode) {
  for (bool marker : {false, true}) {
    SCOPED_TRACE(marker);
    kxtest::ScopedWorkDir inner;
    if (marker) {
      QFile f(inner.file("KX7391Updater_old.txt"));
      ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    }
    Start();
    EXPECT_EQ(FormMain->RestrictedType, marker ? 0 : 1);
    EXPECT_EQ(FormMain->windowTitle(), TFormMain::ProductCaption() + (marker ? " ." : ""));
    EXPECT_EQ(FormMain->MainBoardBitBtn->isEnabled(), marker);
    EXPECT_EQ(FormMain->DecoderBitBtn->isEnabled(), marker);
    EXPECT_EQ(FormMain->PanelBitBtn->isEnabled(), marker);
    EXPECT_FALSE(FormMain->DigiDecBitBtn->isEnabled());
    // The caption line is logged before the marker is tested.
    EXPECT_TRUE(FormMain->Log().MainLines()[1].endsWith("(Nov. 2025 Fixed) ====="));
    TearDown();
  }
}

TEST_F(MainWindow, StepThreeTextEnablesTheShBoardsOnly) {
  Start();
  FormMain->MainBoardBitBtn->SetFontColor(kx::colors::Fuchsia);
  const int linesBefore = FormMain->Log().MainLines().size();
  FormMain->Step03LabelClick();
  EXPECT_TRUE(FormMain->MainBoardBitBtn->isEnabled());
  EXPECT_TRUE(FormMain->DecoderBitBtn->isEnabled());
  EXPECT_TRUE(FormMain->PanelBitBtn->isEnabled());
  EXPECT_TRUE(FormMain->ColorClearButton->isEnabled());
  EXPECT_FALSE(FormMain->DigiDecBitBtn->isEnabled());
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Green);
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::WindowText());
  EXPECT_EQ(FormMain->Log().MainLines().size(), linesBefore);
}

TEST_F(MainWindow, CloseIsRefusedWhileTheDigiDecToolRuns) {
  // A tool that shows signs of life (it has not hung) and ends when the test says.
  kxtest::ToolBase base;
  Start();
  kxtest::InstallScriptTool(base, kxtest::kHeldTool);
  delete FormDigiDec;
  FormDigiDec = new TFormDigiDec(kx::DigiDecWindowLinks());
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680001"));
  FormMain->SerialNumberEditExit();
  FormDigiDec->ExeButtonClick();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormDigiDec->NowCommandExecute; }));
  FormMain->show();
  EXPECT_FALSE(FormMain->close());
  EXPECT_EQ(boxes.texts, QStringList{"It cannot be closed because it is currently running."});
  EXPECT_EQ(LogTexts(dir.file("KX7391Updater_Log.txt")).last(),
            QStringLiteral("FormMain cannot be closed because it is currently running."));
  // The run holds the receiver: another serial number is refused.
  boxes.texts.clear();
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680002"));
  FormMain->SerialNumberEditExit();
  EXPECT_EQ(FormMain->Log().SerialBaseName(), QStringLiteral("09680001"));
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].startsWith(QStringLiteral("The serial number cannot be changed while a DigiDec write")))
      << boxes.texts[0].toStdString();
  kxtest::WriteFile(base.toolFile(QStringLiteral("end")), "0");
  ASSERT_TRUE(kxtest::WaitUntil([] { return !FormDigiDec->NowCommandExecute; }));
  EXPECT_TRUE(FormMain->close());
}

TEST_F(MainWindow, ErrorLeavingAHandlerIsShownAndTheProgramGoesOn) {
  Start();
  bool after = false;
  QTimer::singleShot(0, [] { throw kx::EFileError(QStringLiteral("Cannot create file \"x\".")); });
  QTimer::singleShot(5, [&] { after = true; });
  ASSERT_TRUE(kxtest::WaitUntil([&] { return after; }));
  EXPECT_EQ(boxes.texts, QStringList{"Cannot create file \"x\"."});
}

// The real program in an empty directory, ended by SIGTERM as by a close request.
TEST(UpdaterProcess, TerminationSignalClosesLikeTheUser) {
  kxtest::ScopedWorkDir dir;
  QProcess p;
  p.setWorkingDirectory(dir.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("KX7391_PORT_DIR", OnePortDir(dir.path()));
  env.insert("KX7391_READY_FILE", dir.file("ready"));
  p.setProcessEnvironment(env);
  p.start(QCoreApplication::applicationDirPath() + "/KX7391Updater", {});
  ASSERT_TRUE(p.waitForStarted());
  ASSERT_TRUE(kxtest::WaitUntil([&] { return QFile::exists(dir.file("ready")); }, std::chrono::seconds(20)))
      << p.readAllStandardError().toStdString();
  ::kill(p.processId(), SIGTERM);
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  const QStringList texts = LogTexts(dir.file("KX7391Updater_Log.txt"));
  EXPECT_EQ(texts.first(), QString());
  EXPECT_EQ(texts[1], QStringLiteral("===== KX7391Updater  (Nov. 2025 Fixed) ====="));
  EXPECT_EQ(texts.last(), QStringLiteral("===== KX7391Updater.exe Close ====="));
}

namespace {
void EnterSerial(const QString &serial) {
  FormMain->SerialNumberEdit->setText(serial);
  FormMain->SerialNumberEditExit();
}
}  // namespace

TEST_F(MainWindow, SerialNumberChangeSetsDigiDecAndBlockVersionAndClearsTheDisplay) {
  Start();
  struct Row {
    QString serial;
    bool digiDec;
    int block;
  } rows[] = {{"09680001", true, 0}, {"09710001", true, 1}, {"0971000", false, 0}, {"097100011", false, 0},
              {"12345678", false, 0}, {"", false, 0}};
  for (const Row &r : rows) {
    SCOPED_TRACE(r.serial.toStdString());
    FormMain->MainBoardBitBtn->SetFontColor(kx::colors::Fuchsia);
    FormMain->ConnectTestBitBtn->SetFontColor(kx::colors::Green);
    FormMain->MainVerLabel->setText("402A => 403A");
    EnterSerial(r.serial);
    EXPECT_EQ(FormMain->DigiDecBitBtn->isEnabled(), r.digiDec);
    EXPECT_EQ(FormMain->Receiver.BlockVersion(), r.block);
    EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::WindowText());
    EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::WindowText());
    EXPECT_TRUE(FormMain->MainVerLabel->text().isEmpty());
    EXPECT_EQ(LogTexts(dir.file("KX7391Updater_Log.txt")).last(), "SerialNumbrt Change to " + r.serial);
  }
  // Leaving the field without a change does nothing at all.
  FormMain->MainBoardBitBtn->SetFontColor(kx::colors::Fuchsia);
  const qsizetype lines = FormMain->Log().MainLines().size();
  FormMain->SerialNumberEditExit();
  EXPECT_EQ(FormMain->Log().MainLines().size(), lines);
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Fuchsia);
}

TEST_F(MainWindow, BoardButtonsRefuseAnEmptySerialNumber) {
  Start();
  FormMain->Step03LabelClick();
  FormMain->MainBoardBitBtn->click();
  EXPECT_EQ(boxes.texts, QStringList{"SerialNumber is BRANK!!"});
  const QStringList texts = LogTexts(dir.file("KX7391Updater_Log.txt"));
  EXPECT_EQ(texts.mid(texts.size() - 2), (QStringList{"[MainBoard](FormMain) clicked", "SerialNumber BRANK!!"}));
}

TEST_F(MainWindow, EvaluationColoursTheButtonsAndShowsTheLabels) {
  Start();
  EnterSerial("09680661");
  FormMain->EvaluateVersions({" KX7391D", "402AR", "3N5A", "512A"});
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Fuchsia);
  EXPECT_EQ(FormMain->DecoderBitBtn->FontColor(), kx::colors::Green);
  EXPECT_EQ(FormMain->PanelBitBtn->FontColor(), kx::colors::WindowText());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::WindowText());
  EXPECT_TRUE(FormMain->MainBoardBitBtn->isEnabled());
  EXPECT_EQ(FormMain->MainVerLabel->text(), "402AR => 403AR");
  EXPECT_EQ(FormMain->PanelVerLabel->text(), "512A => 511A");
  EXPECT_TRUE(FormMain->DigiDecCoutionLabel->isHidden());
  EXPECT_EQ(FormMain->Receiver.ShortRfu(), 1);
  // Lines are added, not saved: they reach the disk with the next action.
  EXPECT_EQ(FormMain->Log().MainLines().last().mid(24), " DigiDec (3): (507A)=> 507A");
  EXPECT_NE(LogTexts(dir.file("KX7391Updater_Log.txt")).last(), " DigiDec (3): (507A)=> 507A");
}

TEST_F(MainWindow, AnotherModelInRestrictedModeDisablesEvenAfterAHiddenFunction) {
  Start();
  FormMain->Step03LabelClick();
  FormMain->EvaluateVersions({"KX1234", "402A", "", ""});
  EXPECT_EQ(boxes.texts, QStringList{"Receiver is NOT KX-7391D !"});
  for (kx::TButton *b : {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn}) {
    EXPECT_FALSE(b->isEnabled());
    EXPECT_EQ(b->FontColor(), kx::colors::GrayText());
  }
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::GrayText());
  EXPECT_EQ(FormMain->Log().MainLines().last().mid(24), " receiver is not KX7391D");
}

TEST_F(MainWindow, OnlyUpperCaseCOnVersionCheckEnablesWriting) {
  Start();
  FormMain->show();
  FormMain->ConnectTestBitBtn->setFocus();
  QTest::keyClick(FormMain->ConnectTestBitBtn, 'c');
  EXPECT_FALSE(FormMain->MainBoardBitBtn->isEnabled());
  QTest::keyClick(FormMain->ConnectTestBitBtn, 'C');
  EXPECT_TRUE(FormMain->MainBoardBitBtn->isEnabled());
  EXPECT_TRUE(FormMain->PanelBitBtn->isEnabled());
  EXPECT_FALSE(FormMain->DigiDecBitBtn->isEnabled());
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Green);
  EXPECT_EQ(LogTexts(dir.file("KX7391Updater_Log.txt")).last(), "Emagency Return to Write enable.");
}

// Receivers checked one after another without a serial-number change: each gets the
// variant of its own answer on top of what the serial number gives.
TEST_F(MainWindow, EachEvaluationStartsFromTheSerialNumbersVariant) {
  Start();
  struct Row {
    const char *serial;
    const char *first, *second;  // MainBoard versions of two receivers in a row
    int block, shortRfu;         // after the second
    const char *label;
  } rows[] = {
      {"09680001", "402AB", "402A", 0, 0, "402A => 403A"},
      {"09680001", "403B", "402AR", 0, 1, "402AR => 403AR"},
      {"09710001", "402AQ", "402A", 1, 0, "402A => 403AB"},
      {"09710001", "403B", "402AB", 1, 0, "402AB => 403AB"},  // exactly 1: the B file choice applies
      {"09710001", "402AB", "403B", 41, 40, "403B => 403AQ"},
      {"12345678", "402AQ", "402AR", 0, 1, "402AR => 403AR"},
  };
  for (const Row &r : rows) {
    SCOPED_TRACE(std::string(r.serial) + " " + r.first + " then " + r.second);
    EnterSerial(r.serial);
    for (const char *main : {r.first, r.second}) FormMain->EvaluateVersions({" KX7391D", main, "", ""});
    EXPECT_EQ(FormMain->Receiver.BlockVersion(), r.block);
    EXPECT_EQ(FormMain->Receiver.ShortRfu(), r.shortRfu);
    EXPECT_EQ(FormMain->MainVerLabel->text(), r.label);
    EnterSerial("");
  }
}

// The serial number is taken when the focus moves to another control of the window or
// the window closes, not when the window loses the focus to another one or a popup.
TEST_F(MainWindow, SerialNumberIsTakenOnlyByAMoveWithinTheWindow) {
  Start();
  FormMain->Step03LabelClick();  // enables "Clear Button Color", a harmless control to click
  FormMain->show();
  FormMain->activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(FormMain));
  QWidget elsewhere;
  elsewhere.setWindowTitle("another application");
  elsewhere.resize(100, 100);
  struct Row {
    const char *how;
    std::function<void()> leave;
    bool taken;
  } rows[] = {
      {"window switch",
       [&] {
         elsewhere.show();
         elsewhere.activateWindow();
         ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
         elsewhere.hide();
         FormMain->activateWindow();
         ASSERT_TRUE(QTest::qWaitForWindowActive(FormMain));
       },
       false},
      {"popup menu",
       [&] {
         QMenu menu(FormMain);
         menu.addAction("Copy");
         menu.popup(FormMain->SerialNumberEdit->mapToGlobal(QPoint(5, 5)));
         ASSERT_TRUE(QTest::qWaitForWindowExposed(&menu));
         menu.close();
       },
       false},
      {"Tab", [] { QTest::keyClick(FormMain->SerialNumberEdit, Qt::Key_Tab); }, true},
      {"Shift+Tab", [] { QTest::keyClick(FormMain->SerialNumberEdit, Qt::Key_Backtab, Qt::ShiftModifier); }, true},
      {"click on a button", [] { QTest::mouseClick(FormMain->ColorClearButton, Qt::LeftButton); }, true},
  };
  int n = 0;
  for (const Row &r : rows) {
    SCOPED_TRACE(r.how);
    const QString serial = QStringLiteral("0971000%1").arg(++n);
    FormMain->SerialNumberEdit->setFocus(Qt::MouseFocusReason);
    ASSERT_TRUE(FormMain->SerialNumberEdit->hasFocus());
    FormMain->SerialNumberEdit->clear();
    QTest::keyClicks(FormMain->SerialNumberEdit, serial);
    const qsizetype lines = FormMain->Log().MainLines().size();
    r.leave();
    EXPECT_EQ(FormMain->Log().SerialBaseName() == serial, r.taken);
    EXPECT_EQ(FormMain->Log().MainLines().size() > lines, r.taken);
    if (r.taken) {
      EXPECT_EQ(FormMain->Log().MainLines().last().mid(24), "SerialNumbrt Change to " + serial);
      EXPECT_EQ(FormMain->Receiver.BlockVersion(), 1);
    } else {
      EXPECT_TRUE(FormMain->SerialNumberEdit->hasFocus()) << "the focus comes back to the number being typed";
    }
  }
  // Closing the window takes a number that was typed but not left.
  FormMain->SerialNumberEdit->setFocus(Qt::MouseFocusReason);
  FormMain->SerialNumberEdit->setText("09680123");
  EXPECT_TRUE(FormMain->close());
  EXPECT_EQ(FormMain->Log().SerialBaseName(), "09680123");
  EXPECT_TRUE(QFile::exists(dir.file("09680123_Log.txt")));
}
