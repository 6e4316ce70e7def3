// An updater killed in the middle of a write (a crash, a power cut): the next time its
// serial number is taken, the updater says that the receiver's last write did not
// complete, until the board is written again. The killed updater is a process of its
// own, this test run again with the real windows, serial component and record file.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>

#include <csignal>

#include "comm/CommX.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "main/Wiring.h"
#include "main/WriteRecord.h"
#include "shboot/UnitSHBoot.h"
#include "sim/Receiver.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kPort = 9;
const QString kSerial = QStringLiteral("09680777");
const char *const kChild = "KX_INTERRUPTED_WRITE_CHILD";

// The four windows as the program makes them, in the working directory.
void MakeWindows(const QString &portDir) {
  qputenv("KX7391_PORT_DIR", portDir.toLocal8Bit());
  FormMain = new TFormMain;
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec(kx::DigiDecWindowLinks());
  FormMain->CommX1->SetPortNo(kPort);
}

std::unique_ptr<kx::sim::Receiver> StartReceiver(const QString &portDir, std::vector<kx::sim::Fault> faults) {
  kx::sim::Options opt;
  opt.pace = false;
  opt.eraseSeconds = 0.05;
  opt.portDir = portDir.toStdString();
  opt.comNumber = kPort;
  opt.faults = std::move(faults);
  auto rx = std::make_unique<kx::sim::Receiver>(opt);
  rx->start();
  return rx;
}

void EnterSerial(const QString &serial) {
  FormMain->SerialNumberEdit->setText(serial);
  FormMain->SerialNumberEditExit();
}

void StartMainBoardWrite() {
  EnterSerial(kSerial);
  FormMain->Step03LabelClick();
  FormMain->MainBoardBitBtn->click();
  FormSHBoot->WriteButton->click();
}

}  // namespace

TEST(InterruptedWrite, ReportedEachTimeItsSerialNumberIsTakenUntilWrittenAgain) {
  if (qEnvironmentVariableIsSet(kChild)) GTEST_SKIP();
  kxtest::ScopedWorkDir work;
  QTemporaryDir ports;
  // The fifth frame is never answered: the killed updater is in the middle of the flash.
  auto rx = StartReceiver(ports.path(), {{kx::sim::FaultKind::WriteTimeout, 5}});

  QProcess updater;
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(kChild, QStringLiteral("1"));
  env.insert(QStringLiteral("KX7391_PORT_DIR"), ports.path());
  updater.setProcessEnvironment(env);
  updater.setWorkingDirectory(work.path());
  updater.setProcessChannelMode(QProcess::ForwardedChannels);
  updater.start(QCoreApplication::applicationFilePath(), {QStringLiteral("--gtest_filter=InterruptedWrite.Updater")});
  ASSERT_TRUE(updater.waitForStarted());
  ASSERT_TRUE(kxtest::WaitUntil([&] { return rx->counters().framesReceived >= 5; }, std::chrono::seconds(30)))
      << "the updater's write did not reach the flash";
  ::kill(static_cast<pid_t>(updater.processId()), SIGKILL);
  ASSERT_TRUE(updater.waitForFinished(10000));
  EXPECT_EQ(updater.exitStatus(), QProcess::CrashExit);
  rx->stop();

  // What the killed updater left: its start, and nothing after it.
  const kx::WriteRecordFileContents file = kx::ReadWriteRecordFile(work.file(kx::kWriteRecordFileName));
  ASSERT_EQ(file.records.size(), 1);
  EXPECT_EQ(file.records[0].result, kx::WriteResult::Started);
  EXPECT_EQ(file.records[0].serial, kSerial);
  EXPECT_EQ(file.records[0].board, QStringLiteral("MainBoard"));
  const QStringList serialLog =
      QString::fromUtf8(kxtest::ReadAll(work.file(kSerial + "_Log.txt"))).split(QStringLiteral("\r\n"));
  const QStringList starts = serialLog.filter(QStringLiteral(" Write record: started MainBoard "));
  ASSERT_EQ(starts.size(), 1) << serialLog.join('|').toStdString();
  const QString expected = QStringLiteral("The last MainBoard write of this receiver (") + starts[0].left(19) +
                           QStringLiteral(") did not complete: write it again.");

  // The next updater in the folder, and every time the number is taken again.
  kxtest::MessageBoxes boxes;
  MakeWindows(ports.path());
  for (const QString &serial : {kSerial, QStringLiteral("09680778"), kSerial}) {
    EnterSerial(serial);
  }
  EXPECT_EQ(boxes.texts, (QStringList{expected, expected}));
  EXPECT_EQ(FormMain->Log().MainLines().last().mid(24), expected);
  EXPECT_EQ(FormMain->Log().SerialLines().last().mid(24), expected);
  EXPECT_TRUE(kxtest::ReadAll(work.file(kSerial + "_Log.txt")).trimmed().endsWith(expected.toUtf8()));

  // Written again to its end, the receiver has nothing interrupted any more.
  rx = StartReceiver(ports.path(), {});
  boxes.texts.clear();
  StartMainBoardWrite();
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(60)));
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Blue);
  EnterSerial(QStringLiteral("09680778"));
  EnterSerial(kSerial);
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join('|').toStdString();
  EXPECT_EQ(kx::ReadWriteRecordFile(work.file(kx::kWriteRecordFileName)).records.size(), 3);
  rx->stop();
}

// The updater that the test above kills: it starts a MainBoard write and waits.
TEST(InterruptedWrite, Updater) {
  if (!qEnvironmentVariableIsSet(kChild)) GTEST_SKIP() << "run by the test above";
  kxtest::MessageBoxes boxes;
  MakeWindows(qEnvironmentVariable("KX7391_PORT_DIR"));
  StartMainBoardWrite();
  kxtest::WaitUntil([] { return false; }, std::chrono::seconds(60));
  FAIL() << "not killed";
}
