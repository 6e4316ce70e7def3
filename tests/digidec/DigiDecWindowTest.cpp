// The DigiDec window's handlers, driven directly: start-up, polls, close, the step texts.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QTimer>

#include "platform/Dialogs.h"

#include "tests/digidec/DigiDecTestSupport.h"

namespace {

QStringList MemoLines(const QPlainTextEdit *memo) {
  QStringList lines = memo->toPlainText().split('\n');
  if (lines == QStringList{""}) return {};
  return lines;
}

// Starts a run of the held tool (DigiDecToolSupport.h) in form; true once it runs.
bool StartHeld(kxtest::DigiDecWindows &w, TFormDigiDec *form) {
  kxtest::InstallScriptTool(w.base, kxtest::kHeldTool);
  form->ExeButtonClick();
  return kxtest::WaitUntil([&] { return form->Timer1->isActive(); }) && form->NowCommandExecute &&
         kxtest::LogTexts().size() == 3;
}

// Ends the held tool with `code` (an exit code, or "abort"); true once the run has ended.
bool EndHeld(kxtest::DigiDecWindows &w, TFormDigiDec *form, const QByteArray &code) {
  kxtest::WriteFile(w.base.toolFile("end"), code);
  return kxtest::WaitUntil([&] { return !form->NowCommandExecute; });
}

class DigiDecWindow : public ::testing::Test {
 protected:
  void Append(const QByteArray &bytes) {
    QFile f(w.logTxt());
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Append));
    ASSERT_EQ(f.write(bytes), bytes.size());
  }
  // A run in progress as WRITE START leaves it, with a tool that writes nothing: the test
  // writes its log and ends it.
  TFormDigiDec *Running() {
    TFormDigiDec *form = w.Create();
    return StartHeld(w, form) ? form : nullptr;
  }
  // What the operation log got since the run's start lines.
  QStringList RunTexts() const { return kxtest::LogTexts().mid(3); }
  kxtest::DigiDecWindows w;
};

TEST_F(DigiDecWindow, StartsIdleWithItsPollingTimerStopped) {
  TFormDigiDec *form = w.Create();
  EXPECT_EQ(form->windowTitle(), QStringLiteral("Digi-Dec"));
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 0);
  EXPECT_EQ(form->Timer1->interval(), 2007);
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  EXPECT_EQ(form->ProgressBar2->value(), 0);
  EXPECT_TRUE(form->ExeButton->isEnabled());
  EXPECT_TRUE(form->LogTxtMemo->isHidden());
}

TEST_F(DigiDecWindow, PreviousLogIsKeptUnderTheTimeOfItsLastChange) {
  Append("a: I:Erasing..\r\nb: I:Success\r\n");
  {
    QFile f(w.logTxt());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2025, 7, 1), QTime(9, 5, 30)), QFileDevice::FileModificationTime));
  }
  TFormDigiDec *form = w.Create();
  EXPECT_FALSE(QFileInfo::exists(w.logTxt()));
  EXPECT_EQ(kxtest::ReadAll(w.base.toolFile("log_20250701_0905.txt")), QByteArray("a: I:Erasing..\r\nb: I:Success\r\n"));
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 0);
}

TEST_F(DigiDecWindow, LogStaysWhenItsNewNameIsTakenAndItsLinesCountAsHandled) {
  Append("a: I:Erasing..\r\nb: I:Writing..\r\nc: I:End without line end");
  {
    QFile f(w.logTxt());
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(QDateTime(QDate(2025, 7, 1), QTime(9, 5)), QFileDevice::FileModificationTime));
  }
  kxtest::WriteFile(w.base.toolFile("log_20250701_0905.txt"), "older");
  TFormDigiDec *form = w.Create();
  EXPECT_EQ(kxtest::ReadAll(w.base.toolFile("log_20250701_0905.txt")), QByteArray("older"));
  EXPECT_TRUE(QFileInfo::exists(w.logTxt()));
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 3);
  // Those lines are not handled again by later polls.
  form->Timer1Timer();
  form->Timer1Timer();
  EXPECT_TRUE(form->MessageMemo->toPlainText().isEmpty());
  EXPECT_EQ(form->ProgressBar1->value(), 0);
}

TEST_F(DigiDecWindow, PollHandlesNewLinesOnly) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  Append("09:05:00.000: I:Erasing..\r\n09:05:01.000: I:Erase 0x00000000\r\n");
  form->Timer1Timer();
  EXPECT_EQ(form->ProgressBar1->value(), 5);
  EXPECT_EQ(form->ProgressBar2->value(), 18);
  EXPECT_EQ(MemoLines(form->MessageMemo), (QStringList{"I:Erasing..", "I:Erase 0x00000000"}));
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 2);
  EXPECT_TRUE(form->Timer1->isActive());

  Append("09:05:02.000: I:Writing..\r\n09:05:03.000: P: 45%\r\nno separator\r\n09:05:04.000: E:USB I:lost\r\n");
  form->Timer1Timer();
  EXPECT_EQ(form->ProgressBar1->value(), 15);
  EXPECT_EQ(form->ProgressBar2->value(), 45);
  // "P:" lines and lines without a message reach only the hidden memo.
  EXPECT_EQ(MemoLines(form->MessageMemo),
            (QStringList{"I:Erasing..", "I:Erase 0x00000000", "I:Writing..", "E:USB I:lost", "E:USB I:lost"}));
  EXPECT_EQ(MemoLines(form->LogTxtMemo).size(), 6);
  EXPECT_EQ(MemoLines(form->LogTxtMemo)[4], QStringLiteral("no separator"));
  const QStringList texts = RunTexts();
  EXPECT_EQ(texts, (QStringList{" WriterCmd [I:Erasing..]", " WriterCmd [I:Erase 0x00000000]",
                                " WriterCmd [I:Writing..]", " WriterCmd [E:USB I:lost]", " WriterCmd [E:USB I:lost]"}));
  // Each shown line is on disk at once.
  EXPECT_TRUE(QString::fromUtf8(kxtest::ReadAll(w.work.file("KX7391Updater_Log.txt"))).contains("E:USB I:lost"));
  EXPECT_TRUE(form->NowCommandExecute);
}

TEST_F(DigiDecWindow, NeitherSilenceNorAMissingLogEndsARun) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  // Far more quiet polls than the run's 8 s of silence, first without a log, then after a line.
  for (int i = 0; i < 6; ++i) form->Timer1Timer();
  Append("t: I:Erasing..\r\n");
  for (int i = 0; i < 6; ++i) form->Timer1Timer();
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_EQ(MemoLines(form->MessageMemo), QStringList{"I:Erasing.."});
  EXPECT_FALSE(FormMain->FormCloseQuery());
}

TEST(DigiDecRunEnd, EndsWithTheToolsProcessByTheLogsResult) {
  struct Case {
    const char *name;
    QByteArray log;  // what the tool left in its log, null for no log at all
    int exitCode;
    QProcess::ExitStatus status;
    QColor colour;
    QStringList memo;
  };
  const Case cases[] = {
      // The last line, though without a line end, is the tool's last word.
      {"success", "t: I:Erasing..\r\nt: I:Success", 0, QProcess::NormalExit, kx::colors::Blue,
       {"I:Erasing..", "I:Success"}},
      {"error", "t: I:Erasing..\r\nt: E:Write error\r\n", 1, QProcess::NormalExit, kx::colors::Red,
       {"I:Erasing..", "E:Write error", "WriterCmd ended without Success: exit code 1"}},
      {"quiet end", "t: I:Erasing..\r\n", 0, QProcess::NormalExit, kx::colors::Red,
       {"I:Erasing..", "WriterCmd ended without Success: exit code 0"}},
      {"no log", QByteArray(), 4, QProcess::NormalExit, kx::colors::Red,
       {"WriterCmd ended without Success: exit code 4"}},
      {"killed", "t: I:Writing..\r\n", 6, QProcess::CrashExit, kx::colors::Red,
       {"I:Writing..", "WriterCmd ended without Success: killed by signal 6"}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::DigiDecWindows windows;
    TFormDigiDec *form = windows.Create();
    ASSERT_TRUE(StartHeld(windows, form));
    if (!c.log.isNull()) kxtest::WriteFile(windows.logTxt(), c.log);
    form->Timer1Timer();
    EXPECT_TRUE(form->NowCommandExecute);
    const QByteArray end = c.status == QProcess::CrashExit ? QByteArray("abort") : QByteArray::number(c.exitCode);
    ASSERT_TRUE(EndHeld(windows, form, end));
    EXPECT_FALSE(form->Timer1->isActive());
    EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), c.colour);
    EXPECT_EQ(MemoLines(form->MessageMemo), c.memo);
    // Every shown line is in the operation log, the process's end included.
    QStringList logged;
    for (const QString &m : c.memo) logged.append(m.startsWith("WriterCmd") ? " " + m : " WriterCmd [" + m + "]");
    EXPECT_EQ(kxtest::LogTexts().mid(3), logged);
    EXPECT_TRUE(FormMain->FormCloseQuery());
    EXPECT_TRUE(windows.boxes.texts.isEmpty());
  }
}

TEST_F(DigiDecWindow, UnreadableLogIsReportedAndCountsAsQuiet) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  ASSERT_TRUE(QDir().mkpath(w.logTxt()));
  form->Timer1Timer();
  EXPECT_EQ(MemoLines(form->MessageMemo), QStringList{"OPEN ERROR"});
  EXPECT_TRUE(form->NowCommandExecute);
}

TEST_F(DigiDecWindow, LineStillBeingWrittenIsHandledWholeLater) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  Append("t: I:Erasing..\r\nt: I:Succ");
  form->Timer1Timer();
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 1);
  Append("ess\r\n");
  form->Timer1Timer();
  EXPECT_EQ(MemoLines(form->MessageMemo), (QStringList{"I:Erasing..", "I:Success"}));
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Blue);
  // Blue at once, but the run is over only when the tool's process is.
  EXPECT_TRUE(form->NowCommandExecute);
}

TEST_F(DigiDecWindow, ShorterLogIsTakenAsItsNewLength) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  Append("t: I:Erasing..\r\nt: I:Writing..\r\nt: I:Comparing..\r\n");
  form->Timer1Timer();
  ASSERT_TRUE(QFile::remove(w.logTxt()));
  Append("t: I:Erasing..\r\n");
  form->Timer1Timer();
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 1);
  EXPECT_EQ(MemoLines(form->MessageMemo).size(), 3);
  Append("t: I:Writing..\r\n");
  form->Timer1Timer();
  EXPECT_EQ(MemoLines(form->MessageMemo).last(), QStringLiteral("I:Writing.."));
}

TEST_F(DigiDecWindow, PollingGoesOnWhenTheOperationLogCannotBeSaved) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  // The run's start saved the log; a folder in its place now takes no save.
  ASSERT_TRUE(QFile::remove(w.work.file("KX7391Updater_Log.txt")));
  ASSERT_TRUE(QDir().mkpath(w.work.file("KX7391Updater_Log.txt")));
  const qsizetype boxesBefore = w.boxes.texts.size();
  Append("t: I:Erasing..\r\nt: I:Writing..\r\n");
  // The failed save interrupts nothing: the poll handles every line, the box comes once.
  form->Timer1Timer();
  form->Timer1Timer();
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 2);
  EXPECT_EQ(form->ProgressBar1->value(), 15);
  EXPECT_EQ(w.boxes.texts.size(), boxesBefore + 1);
  ASSERT_TRUE(QDir().rmdir(w.work.file("KX7391Updater_Log.txt")));
  FormMain->LogFileSave(3);
  const QString log = QString::fromUtf8(kxtest::ReadAll(w.work.file("KX7391Updater_Log.txt")));
  EXPECT_TRUE(log.contains("I:Erasing..") && log.contains("I:Writing..")) << log.toStdString();
}

TEST_F(DigiDecWindow, ClosingIsRefusedOnlyDuringARun) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  form->show();
  form->BitBtn1Click();
  EXPECT_TRUE(form->isVisible());
  EXPECT_EQ(w.boxes.texts, QStringList{"It cannot be closed because it is currently running."});
  EXPECT_EQ(RunTexts(), QStringList{" DigiDec Form close"});
  EXPECT_FALSE(FormMain->FormCloseQuery());

  ASSERT_TRUE(EndHeld(w, form, "0"));
  form->BitBtn1Click();
  EXPECT_FALSE(form->isVisible());
  EXPECT_TRUE(FormMain->FormCloseQuery());
}

TEST_F(DigiDecWindow, SecondWriteStartDuringARunStartsNoSecondTool) {
  TFormDigiDec *form = Running();
  ASSERT_TRUE(form);
  const qint64 tool = form->WriterProcess->processId();
  form->ExeButtonClick();
  EXPECT_EQ(RunTexts(), (QStringList{"DigiDec[WRITE] clicked", " WriterCmd is running already: not started again"}));
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_EQ(form->WriterProcess->processId(), tool);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_TRUE(w.boxes.texts.isEmpty());
}

// A second updater started in the same place while the first one's tool runs.
TEST_F(DigiDecWindow, ARunOfAnotherUpdaterKeepsItsLogAndNoSecondToolStarts) {
  Append("a: I:Erasing..\r\n");
  kx::digidec::RunLock other;
  ASSERT_TRUE(other.TryAcquire(w.base.tool()));
  ASSERT_TRUE(other.Held());
  TFormDigiDec *form = w.Create();
  EXPECT_TRUE(QFileInfo::exists(w.logTxt()));
  EXPECT_EQ(form->Run->LogTxtOldLineCount(), 1);

  FormMain->DigiDecBitBtn->SetFontColor(kx::colors::Fuchsia);
  form->ExeButtonClick();
  ASSERT_EQ(w.boxes.texts.size(), 1);
  EXPECT_TRUE(w.boxes.texts[0].startsWith("The writer tool is running from another KX7391Updater"));
  EXPECT_EQ(kxtest::LogTexts(), (QStringList{" digidecw/log.txt belongs to a run of another updater: not moved",
                                             "DigiDec[WRITE] clicked",
                                             " WriterCmd is running from another updater: not started"}));
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_EQ(form->WriterProcess->state(), QProcess::NotRunning);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Fuchsia);

  // Once that run has ended, this updater's run holds the folder in turn.
  other.Release();
  form->ExeButtonClick();
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_TRUE(kx::digidec::RunLock::HeldElsewhere(w.base.tool()));
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !form->NowCommandExecute; }, std::chrono::seconds(30)));
  EXPECT_FALSE(kx::digidec::RunLock::HeldElsewhere(w.base.tool()));
}

TEST_F(DigiDecWindow, FailedLaunchTellsTheUserAndStartsNoRun) {
  TFormDigiDec *form = w.Create();
  // The folder the shell would start in is gone.
  kx::digidec::SetBaseDirectory(w.base.path() + "/gone");
  QString title;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  kx::SetMessageBoxObserver([&](QMessageBox &box) {
    w.boxes.texts.append(box.text());
    title = box.windowTitle();
    icon = box.icon();
    QTimer::singleShot(0, &box, &QMessageBox::accept);
  });
  FormMain->DigiDecBitBtn->SetFontColor(kx::colors::Fuchsia);
  form->ExeButtonClick();
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !w.boxes.texts.isEmpty(); }));
  EXPECT_EQ(w.boxes.texts, QStringList{"起動に失敗しました"});
  EXPECT_EQ(title, QStringLiteral("エラー"));
  EXPECT_EQ(icon, QMessageBox::Critical);
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Fuchsia);
  const QStringList texts = kxtest::LogTexts();
  ASSERT_EQ(texts.size(), 3);
  EXPECT_EQ(texts[0], "DigiDec[WRITE] clicked");
  EXPECT_TRUE(texts[1].startsWith("cmd ["));
  EXPECT_EQ(texts[2], " ERROR!!  Can not Ececute WriterCmd");
}

TEST_F(DigiDecWindow, StepTwoTextShowsWhereTheUpdaterRuns) {
  TFormDigiDec *form = w.Create();
  form->StepD02LabelClick();
  EXPECT_EQ(form->StepD01Label->text(), w.work.path() + "  " + QCoreApplication::applicationFilePath());
}

}  // namespace
