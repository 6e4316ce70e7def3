// WRITE START with the real writer stand-in, run fast, followed by the real poll and the
// end of the tool's process.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QTemporaryDir>

#include <QLineEdit>

#include "main/Wiring.h"
#include "main/WriteRecord.h"
#include "platform/Dialogs.h"
#include "tests/digidec/DigiDecTestSupport.h"
#include "tests/support/GzipCrc.h"

namespace {

class DigiDecRun : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KX7391_WRITER_SECONDS", "1");
    qunsetenv("KX7391_WRITER_FAIL");
    qunsetenv("KX7391_WRITER_QUIET");
  }
  void TearDown() override {
    qunsetenv("KX7391_WRITER_SECONDS");
    qunsetenv("KX7391_WRITER_FAIL");
    qunsetenv("KX7391_WRITER_QUIET");
    qunsetenv("KX7391_DIGIDEC_HUNG_SECONDS");
    qputenv("PATH", path_);
  }
  // Deploys the payloads into the tool folder and shows both windows.
  void Deploy() {
    kx::digidec::DeployReport quiet{[](const QString &) {}, [] {}, [](const QString &) {}, [](const QString &) {}};
    ASSERT_TRUE(kx::digidec::DeployWriterTool(w.base.path(), kxtest::ReaderOf(payloads), quiet));
    form = w.Create();
    form->show();
    FormMain->show();
  }
  bool RunEnds(std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    return kxtest::WaitUntil([&] { return !form->NowCommandExecute; }, limit);
  }
  bool Started() {
    return kxtest::WaitUntil([&] { return form->Timer1->isActive(); });
  }
  QStringList Memo() const { return form->MessageMemo->toPlainText().split('\n'); }
  // How many lines of the tool's log hold text.
  int ToolLogCount(const QString &text) const {
    return QString::fromUtf8(kxtest::ReadAll(w.logTxt())).count(text);
  }

  QMap<QString, QByteArray> payloads = kxtest::RunnablePayloads();
  kxtest::DigiDecWindows w;
  TFormDigiDec *form = nullptr;
  const QByteArray path_ = qgetenv("PATH");
};

TEST_F(DigiDecRun, SuccessfulRunFillsBothBarsAndTurnsTheButtonBlue) {
  Deploy();
  form->ExeButtonClick();
  ASSERT_TRUE(Started());
  EXPECT_EQ(kxtest::LogTexts(),
            (QStringList{"DigiDec[WRITE] clicked",
                         "cmd [-c \"cd digidecw && exec ./KX7391DWriterCmd2507A.exe 2507A.A57 2507A_Cyclone10.A57\"]",
                         " execute WriterCmd"}));
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);

  // Neither window closes during the run.
  EXPECT_FALSE(form->close());
  EXPECT_FALSE(FormMain->close());
  EXPECT_EQ(w.boxes.texts, QStringList(2, "It cannot be closed because it is currently running."));

  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(form->ProgressBar1->value(), 100);
  EXPECT_EQ(form->ProgressBar2->value(), 100);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Blue);
  const QStringList memo = Memo();
  EXPECT_EQ(memo.last(), QStringLiteral("I:Success"));
  EXPECT_EQ(memo.count("I:Erasing.."), 2);
  EXPECT_EQ(memo.count("I:Comparing.."), 2);
  EXPECT_TRUE(memo.filter("P:").isEmpty());
  EXPECT_EQ(kxtest::LogTexts().last(), QStringLiteral(" WriterCmd [I:Success]"));
  // The tool ran in the folder beside the executable, not in the working directory.
  EXPECT_TRUE(QFile::exists(w.logTxt()));
  EXPECT_FALSE(QFile::exists(w.work.file("digidecw/log.txt")));

  EXPECT_TRUE(form->close());
  EXPECT_EQ(w.boxes.texts.size(), 2);
}

// A tool that writes nothing for longer than the log's old 8 s silence rule (four quiet
// 2007 ms polls), as one that Wine is still setting up, keeps its run until it succeeds.
TEST_F(DigiDecRun, ToolSilentPastTheSilenceRuleKeepsItsRunAndSucceeds) {
  qputenv("KX7391_WRITER_QUIET", "10");
  Deploy();
  form->ExeButtonClick();
  ASSERT_TRUE(Started());
  EXPECT_FALSE(RunEnds(std::chrono::milliseconds(8700)));
  EXPECT_FALSE(QFileInfo::exists(w.logTxt()));
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);

  // A second WRITE START and closing are refused while the tool lives.
  form->ExeButtonClick();
  EXPECT_FALSE(FormMain->close());
  EXPECT_EQ(w.boxes.texts, QStringList{"It cannot be closed because it is currently running."});

  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Blue);
  EXPECT_EQ(form->ProgressBar1->value(), 100);
  const QStringList texts = kxtest::LogTexts();
  EXPECT_EQ(texts.count(" execute WriterCmd"), 1);
  EXPECT_EQ(texts.count(" WriterCmd is running already: not started again"), 1);
  EXPECT_EQ(texts.last(), QStringLiteral(" WriterCmd [I:Success]"));
  // One tool wrote the log: one opening line, one success.
  EXPECT_EQ(ToolLogCount("I:DigiDec writer 2507A"), 1);
  EXPECT_EQ(ToolLogCount("I:Success"), 1);
}

// A tool that never writes and never ends: once it has written nothing for the hung
// time, closing asks whether to stop it. No keeps the run; Yes stops the tool with its
// whole process group, logs it, turns the button red and closes.
TEST_F(DigiDecRun, HungToolTurnsTheCloseRefusalIntoAQuestionWhoseYesStopsIt) {
  qputenv("KX7391_DIGIDEC_HUNG_SECONDS", "2");
  qputenv("KX7391_WRITER_QUIET", "1000");
  Deploy();
  form->ExeButtonClick();
  ASSERT_TRUE(Started());
  // While the tool may still be starting, closing is refused as before.
  EXPECT_FALSE(form->close());
  EXPECT_EQ(w.boxes.texts, QStringList{"It cannot be closed because it is currently running."});
  ASSERT_TRUE(kxtest::WaitUntil([&] { return form->Run->Hung(); }, std::chrono::seconds(5)));
  const pid_t group = form->Run->ProcessGroup();
  ASSERT_GT(kxtest::LiveProcessesOfGroup(group), 0);

  QStringList asked;
  QMessageBox::StandardButton answer = QMessageBox::No;
  kx::SetMessageBoxObserver([&](QMessageBox &box) {
    asked.append(box.text());
    QAbstractButton *button = box.button(answer);
    if (button) {
      QTimer::singleShot(0, button, &QAbstractButton::click);
    } else {
      QTimer::singleShot(0, &box, &QMessageBox::accept);
    }
  });
  EXPECT_FALSE(form->close());
  ASSERT_EQ(asked.size(), 1);
  EXPECT_TRUE(asked[0].startsWith("The DigiDec writer tool has written nothing for 2 seconds and may be hung."))
      << asked[0].toStdString();
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);
  EXPECT_GT(kxtest::LiveProcessesOfGroup(group), 0);

  answer = QMessageBox::Yes;
  form->show();
  EXPECT_TRUE(form->close());
  EXPECT_EQ(asked.size(), 2);
  EXPECT_FALSE(form->isVisible());
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Red);
  EXPECT_EQ(kxtest::LogTexts().last(), "DigiDec write stopped: the board may be left unwritten. Write it again.");
  EXPECT_EQ(Memo().last(), kxtest::LogTexts().last());
  EXPECT_TRUE(kxtest::ReadAll(w.work.file("KX7391Updater_Log.txt")).contains("DigiDec write stopped"));
  ASSERT_TRUE(kxtest::WaitUntil([&] { return kxtest::LiveProcessesOfGroup(group) == 0; }, std::chrono::seconds(5)));
  EXPECT_TRUE(FormMain->FormCloseQuery());
  EXPECT_EQ(asked.size(), 2);
}

// What the main window's close and a shutdown get during a run of a live tool.
TEST_F(DigiDecRun, MainWindowsCloseIsRefusedAndShutdownStopsWithoutAsking) {
  qputenv("KX7391_WRITER_QUIET", "1000");
  Deploy();
  form->ExeButtonClick();
  ASSERT_TRUE(Started());
  QStringList order;
  kx::SetMessageBoxObserver([&](QMessageBox &box) {
    order.append(box.text());
    QTimer::singleShot(0, &box, &QMessageBox::accept);
  });
  EXPECT_FALSE(form->EndQuery(FormMain, [&] { order.append("refused"); }));
  EXPECT_EQ(order, (QStringList{"refused", "It cannot be closed because it is currently running."}));
  const pid_t group = form->Run->ProcessGroup();

  form->ShutdownStop();
  EXPECT_EQ(order.size(), 2);
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_TRUE(form->EndQuery(FormMain));
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Red);
  EXPECT_EQ(kxtest::LogTexts().last(), "DigiDec write stopped: the board may be left unwritten. Write it again.");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return kxtest::LiveProcessesOfGroup(group) == 0; }, std::chrono::seconds(5)));
  // Nothing more to stop.
  form->ShutdownStop();
  EXPECT_EQ(kxtest::LogTexts().count("DigiDec write stopped: the board may be left unwritten. Write it again."), 1);
}

// A tool that ends without "I:Success" ends its run at once, red, with how it ended.
struct EndCase {
  const char *name;
  const char *fail;      // KX7391_WRITER_FAIL, or null
  bool spoilImage;       // the second image of a wrong size
  QStringList lastMemo;  // the window's last messages
};

class DigiDecRunEnd : public DigiDecRun, public ::testing::WithParamInterface<EndCase> {};

TEST_P(DigiDecRunEnd, ToolThatEndsWithoutSuccessEndsTheRunRedWithItsExitStatus) {
  const EndCase &c = GetParam();
  if (c.fail) qputenv("KX7391_WRITER_FAIL", c.fail);
  Deploy();
  if (c.spoilImage) kxtest::WriteFile(w.base.toolFile("2507A_Cyclone10.A57"), QByteArray(1000, 'x'));
  const auto started = std::chrono::steady_clock::now();
  form->ExeButtonClick();
  ASSERT_TRUE(RunEnds());
  // Well before the old silence rule would have ended it.
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(6));
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Red);
  const QStringList memo = Memo();
  ASSERT_GE(memo.size(), c.lastMemo.size());
  EXPECT_EQ(memo.mid(memo.size() - c.lastMemo.size()), c.lastMemo);
  EXPECT_EQ(kxtest::LogTexts().last(), " " + c.lastMemo.last());
  EXPECT_LT(form->ProgressBar1->value(), 100);
  // Closing is allowed again, without a word.
  EXPECT_TRUE(form->close());
  EXPECT_TRUE(w.boxes.texts.isEmpty());
}

INSTANTIATE_TEST_SUITE_P(
    Ends, DigiDecRunEnd,
    ::testing::Values(EndCase{"NoLog", "nolog", false, {"WriterCmd ended without Success: exit code 4"}},
                      EndCase{"RefusedImage",
                              nullptr,
                              true,
                              {"E:File size error [2507A_Cyclone10.A57] 1000 bytes, 567419 expected",
                               "WriterCmd ended without Success: exit code 2"}},
                      EndCase{"Crash", "crash", false, {"WriterCmd ended without Success: killed by signal 6"}}),
    [](const ::testing::TestParamInfo<EndCase> &info) { return std::string(info.param.name); });

// The real receiver's tool is a Windows program ("MZ" at its start); it runs through
// "wine", here a stand-in that records how it was called and runs the writer stand-in.
TEST_F(DigiDecRun, WindowsToolRunsThroughWineOrIsRefusedWithoutIt) {
  QTemporaryDir bin;
  ASSERT_TRUE(bin.isValid());
  const QString standIn = bin.filePath("writer-stand-in");
  kxtest::WriteFile(standIn, payloads["WRITER_CMD_EXEC"]);
  ASSERT_TRUE(QFile::setPermissions(standIn, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
  const QString record = bin.filePath("wine-call.txt");
  kxtest::WriteFile(bin.filePath("wine"), QStringLiteral("#!/bin/sh\n"
                                                        "printf '%s\\n' \"$PWD\" \"$@\" > '%1'\n"
                                                        "shift\n"
                                                        "exec '%2' \"$@\"\n")
                                              .arg(record, standIn)
                                              .toUtf8());
  ASSERT_TRUE(QFile::setPermissions(bin.filePath("wine"), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
  payloads["WRITER_CMD_EXEC"] = QByteArray("MZ\x90\x00\x03\x00\x00\x00", 8);
  Deploy();

  // Without wine: refused at once, with what to install, and nothing started.
  QTemporaryDir emptyBin;
  qputenv("PATH", emptyBin.path().toUtf8());
  form->ExeButtonClick();
  ASSERT_EQ(w.boxes.texts.size(), 1);
  EXPECT_TRUE(w.boxes.texts[0].contains("Install the package \"wine\"")) << w.boxes.texts[0].toStdString();
  EXPECT_FALSE(form->NowCommandExecute);
  EXPECT_FALSE(form->Timer1->isActive());
  EXPECT_EQ(form->WriterProcess->state(), QProcess::NotRunning);
  EXPECT_EQ(kxtest::LogTexts(),
            (QStringList{"DigiDec[WRITE] clicked",
                         " KX7391DWriterCmd2507A.exe is a Windows program and needs wine, which is not installed "
                         "(install the package \"wine\")",
                         " ERROR!!  Can not Ececute WriterCmd"}));
  EXPECT_TRUE(kxtest::ReadAll(w.work.file("KX7391Updater_Log.txt")).contains("install the package \"wine\""));

  // With wine: the same arguments, in the tool's folder, and a run like any other.
  qputenv("PATH", bin.path().toUtf8() + ':' + path_);
  form->ExeButtonClick();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Blue);
  EXPECT_EQ(kxtest::LogTexts().filter("cmd ["),
            QStringList{"cmd [-c \"cd digidecw && exec wine ./KX7391DWriterCmd2507A.exe 2507A.A57 "
                        "2507A_Cyclone10.A57\"]"});
  EXPECT_EQ(QString::fromUtf8(kxtest::ReadAll(record)).split('\n', Qt::SkipEmptyParts),
            (QStringList{QDir(w.base.tool()).canonicalPath(), "./KX7391DWriterCmd2507A.exe", "2507A.A57",
                         "2507A_Cyclone10.A57"}));
  EXPECT_EQ(Memo().last(), QStringLiteral("I:Success"));
  EXPECT_EQ(w.boxes.texts.size(), 1);
}

// Every run on record, with the window linked as the program links it: a row and a log
// line at WRITE START and at the run's end, naming both image files and their CRC-32s.
struct RecordCase {
  const char *name;
  const char *fail;  // KX7391_WRITER_FAIL, or null
  bool stop;         // stopped as a shutdown stops it
  kx::WriteResult result;
};

class DigiDecRecord : public DigiDecRun, public ::testing::WithParamInterface<RecordCase> {};

TEST_P(DigiDecRecord, StartAndEndAreOnRecord) {
  const RecordCase &c = GetParam();
  if (c.fail) qputenv("KX7391_WRITER_FAIL", c.fail);
  if (c.stop) qputenv("KX7391_WRITER_QUIET", "1000");
  QCoreApplication::setApplicationVersion(QStringLiteral("7.3.91-test"));
  const QString serial = QStringLiteral("09710042");
  FormMain->SerialNumberEdit->setText(serial);
  FormMain->SerialNumberEditExit();
  kx::digidec::DeployReport quiet{[](const QString &) {}, [] {}, [](const QString &) {}, [](const QString &) {}};
  ASSERT_TRUE(kx::digidec::DeployWriterTool(w.base.path(), kxtest::ReaderOf(payloads), quiet));
  form = FormDigiDec = new TFormDigiDec(kx::DigiDecWindowLinks());
  const QString crc = kxtest::GzipCrc32(payloads["DIGIDEC_A57"]) + '+' + kxtest::GzipCrc32(payloads["DIGIDEC_10_A57"]);
  ASSERT_EQ(crc.size(), 17) << "gzip did not run";

  form->ExeButtonClick();
  // The start is on the disk before the tool can have done anything.
  const QString records = QString::fromLatin1(kx::kWriteRecordFileName);
  EXPECT_EQ(kx::ReadWriteRecordFile(records).records.size(), 1);
  EXPECT_TRUE(kx::LookForInterruptedWriteOf(serial).interrupted.has_value());
  if (c.stop) {
    ASSERT_TRUE(Started());
    form->ShutdownStop();
  }
  ASSERT_TRUE(RunEnds());
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !form->Run->ToolAlive(); }));

  const kx::WriteRecordFileContents file = kx::ReadWriteRecordFile(records);
  EXPECT_EQ(file.header, kx::WriteRecordHeader());
  ASSERT_EQ(file.records.size(), 2);
  for (const kx::WriteRecord &r : file.records) {
    EXPECT_EQ(r.serial, serial);
    EXPECT_EQ(r.board, QStringLiteral("DigiDec"));
    EXPECT_EQ(r.image, QStringLiteral("2507A.A57+2507A_Cyclone10.A57"));
    EXPECT_EQ(r.crc32, crc);
    EXPECT_EQ(r.port, QString());
    EXPECT_EQ(r.version, QStringLiteral("7.3.91-test"));
  }
  EXPECT_EQ(file.records[0].result, kx::WriteResult::Started);
  EXPECT_EQ(file.records[1].result, c.result);
  if (c.result == kx::WriteResult::Written) {
    EXPECT_GT(file.records[1].seconds, 0.5);
  }

  const QStringList texts = kxtest::LogTexts();
  const qsizetype start =
      texts.indexOf("Write record: started DigiDec 2507A.A57+2507A_Cyclone10.A57 CRC-32 " + crc);
  ASSERT_GE(start, 0) << texts.join('|').toStdString();
  EXPECT_LT(texts.indexOf("DigiDec[WRITE] clicked"), start);
  EXPECT_LT(start, texts.indexOf(" execute WriterCmd"));
  const QString end = "Write record: " + kx::WriteResultText(c.result) +
                      " DigiDec 2507A.A57+2507A_Cyclone10.A57 CRC-32 " + crc + ' ';
  EXPECT_TRUE(texts.last().startsWith(end) && texts.last().endsWith(" s")) << texts.last().toStdString();
  EXPECT_EQ(texts.filter("Write record:").size(), 2);
  // In the receiver's own log, which now knows the run ended.
  EXPECT_TRUE(FormMain->Log().SerialLines().last().mid(24).startsWith(end));
  EXPECT_FALSE(kx::LookForInterruptedWriteOf(serial).interrupted.has_value());
}

INSTANTIATE_TEST_SUITE_P(Runs, DigiDecRecord,
                         ::testing::Values(RecordCase{"Written", nullptr, false, kx::WriteResult::Written},
                                           RecordCase{"Failed", "nolog", false, kx::WriteResult::Failed},
                                           RecordCase{"Stopped", nullptr, true, kx::WriteResult::Aborted}),
                         [](const ::testing::TestParamInfo<RecordCase> &info) { return std::string(info.param.name); });

}  // namespace
