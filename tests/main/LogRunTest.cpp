// The operation log under the whole updater: the real windows and serial component
// against the simulated receiver, with a log that cannot be written, and with two
// updaters saving into one folder at once.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QTemporaryDir>

#include "comm/CommX.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "platform/Widgets.h"
#include "shboot/UnitSHBoot.h"
#include "sim/Receiver.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"

namespace {

constexpr int kPort = 9;

// The four windows as the program makes them, in the working directory, searching
// `portDir` for ports; `prepare` (when given) sees the log before its first line.
void MakeWindows(const QString &portDir, const std::function<void(kx::OperationLog &)> &prepare = {}) {
  qputenv("KX7391_PORT_DIR", portDir.toLocal8Bit());
  FormMain = new TFormMain;
  if (prepare) prepare(FormMain->Log());
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec;
  FormMain->CommX1->SetPortNo(kPort);
}

std::unique_ptr<kx::sim::Receiver> StartReceiver(const QString &portDir) {
  kx::sim::Options opt;
  opt.pace = false;
  opt.eraseSeconds = 0.05;
  opt.portDir = portDir.toStdString();
  opt.comNumber = kPort;
  auto rx = std::make_unique<kx::sim::Receiver>(opt);
  rx->start();
  return rx;
}

// A serial number entered, VersionCheck, then a MainBoard write: what a technician does
// at one receiver. Returns whether the check read the versions and the board was written
// with exactly the image the writer loaded.
void CheckAndWriteMainBoard(kx::sim::Receiver &rx, const QString &serial) {
  FormMain->SerialNumberEdit->setText(serial);
  FormMain->SerialNumberEditExit();
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }));
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));

  FormMain->MainBoardBitBtn->click();
  const std::vector<std::uint8_t> &all = FormSHBoot->FirmStream->Bytes();
  const std::vector<std::uint8_t> image(all.begin(), all.begin() + std::min<std::size_t>(all.size(), 0x40000));
  ASSERT_EQ(image.size(), 0x40000u);
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(90)));
  EXPECT_TRUE(rx.flash(kx::sim::Board::MainBoard) == image) << "the receiver's flash differs from the image";
  EXPECT_EQ(FormMain->MainBoardBitBtn->FontColor(), kx::colors::Blue);
}

// The lines of a file that ends every line with CR LF.
QStringList FileLines(const QString &path) {
  QStringList lines = QString::fromUtf8(kxtest::ReadAll(path)).split(QStringLiteral("\r\n"));
  EXPECT_EQ(lines.takeLast(), QString()) << path.toStdString() << " does not end in CR LF";
  return lines;
}

const char *const kSharedDir = "KX_LOG_TEST_SHARED_DIR";
const char *const kChildNumber = "KX_LOG_TEST_CHILD";

}  // namespace

// Start-up, a version check and an SH write with both log files unwritable: each goes
// to its end, one error box tells of it, and every line reaches the files once they
// can be written again.
TEST(LogRun, UnwritableLogInterruptsNothing) {
  if (qEnvironmentVariableIsSet(kChildNumber)) GTEST_SKIP();
  kxtest::ScopedWorkDir work;
  KX_SKIP_UNLESS_IMMUTABLE(work.path());
  QTemporaryDir ports;
  const QString serial = QStringLiteral("09680661");
  const QByteArray history("2024/01/01 00:00:00.000 earlier\r\n");
  const QString mainLog = work.file("KX7391Updater_Log.txt");
  const QString serialLog = work.file(serial + "_Log.txt");
  for (const QString &f : {mainLog, serialLog}) {
    QFile file(f);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly) && file.write(history) == history.size());
  }
  auto lockMain = std::make_unique<kxtest::Immutable>(mainLog);
  auto lockSerial = std::make_unique<kxtest::Immutable>(serialLog);
  ASSERT_TRUE(lockMain->ok() && lockSerial->ok()) << "chattr +i failed";
  kxtest::MessageBoxes boxes;

  MakeWindows(ports.path());
  EXPECT_EQ(FormMain->Receiver.Carried().digiDec, QStringLiteral("507A")) << "start-up stopped half-way";
  auto rx = StartReceiver(ports.path());
  CheckAndWriteMainBoard(*rx, serial);

  ASSERT_EQ(boxes.texts.size(), 1) << boxes.texts.join(" | ").toStdString();
  EXPECT_TRUE(boxes.texts[0].contains("KX7391Updater_Log.txt")) << boxes.texts[0].toStdString();
  EXPECT_TRUE(boxes.texts[0].contains("Operation not permitted")) << boxes.texts[0].toStdString();
  EXPECT_EQ(kxtest::ReadAll(mainLog), history);

  lockMain.reset();
  lockSerial.reset();
  FormMain->LogFileSave(3);
  EXPECT_EQ(FileLines(mainLog), QStringList{QString::fromUtf8(history).trimmed()} + FormMain->Log().MainLines());
  EXPECT_EQ(FileLines(serialLog), QStringList{QString::fromUtf8(history).trimmed()} + FormMain->Log().SerialLines());
  EXPECT_TRUE(FormMain->Log().MainLines().join(u'\n').contains("Writing complete."));
  EXPECT_EQ(FormMain->Log().PendingLines(), 0);
  rx->stop();
}

// Two updaters started in one folder, each checking its own receiver and writing its
// MainBoard at the same time: the main log holds every line of both, in order, and each
// save's lines together.
TEST(LogRun, TwoUpdatersInOneFolderLoseNoLine) {
  if (qEnvironmentVariableIsSet(kChildNumber)) GTEST_SKIP();
  QTemporaryDir shared;
  QProcess updaters[2];
  for (int n = 0; n < 2; ++n) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kSharedDir, shared.path());
    env.insert(kChildNumber, QString::number(n + 1));
    updaters[n].setProcessEnvironment(env);
    updaters[n].setProcessChannelMode(QProcess::ForwardedChannels);
    updaters[n].start(QCoreApplication::applicationFilePath(),
                      {QStringLiteral("--gtest_filter=LogRun.OneOfTwoUpdaters")});
  }
  for (QProcess &p : updaters) {
    ASSERT_TRUE(p.waitForFinished(180000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
  }
  const QStringList file = FileLines(QDir(shared.path()).filePath("KX7391Updater_Log.txt"));
  QList<QStringList> saves[2];
  for (int n = 0; n < 2; ++n) {
    for (const QString &save :
         QString::fromUtf8(kxtest::ReadAll(QDir(shared.path()).filePath(QStringLiteral("saves%1").arg(n + 1))))
             .split(u'\f', Qt::SkipEmptyParts))
      saves[n].append(save.split(u'\n'));
  }
  ASSERT_GT(saves[0].size(), 10);
  ASSERT_GT(saves[1].size(), 10);
  // Walk the file: each piece must be the next whole save of one of the updaters.
  qsizetype at = 0;
  qsizetype next[2] = {0, 0};
  int switches = 0, last = -1;
  while (at < file.size()) {
    int who = -1;
    for (int n = 0; n < 2 && who < 0; ++n) {
      if (next[n] < saves[n].size() && file.mid(at, saves[n][next[n]].size()) == saves[n][next[n]]) who = n;
    }
    ASSERT_GE(who, 0) << "line " << at << " is not the start of either updater's next save: "
                      << file[at].toStdString();
    at += saves[who][next[who]++].size();
    if (who != last) ++switches;
    last = who;
  }
  EXPECT_EQ(next[0], saves[0].size());
  EXPECT_EQ(next[1], saves[1].size());
  std::printf("saves %lld + %lld, the writer changed %d times\n", static_cast<long long>(next[0]),
              static_cast<long long>(next[1]), switches);
}

// One of the two updaters above, run as a process of its own. Its stamps carry its
// number as the year, so that the two runs cannot share a line; each save's main-log
// lines go to "saves<n>", separated by form feeds.
TEST(LogRun, OneOfTwoUpdaters) {
  if (!qEnvironmentVariableIsSet(kChildNumber)) GTEST_SKIP() << "run by TwoUpdatersInOneFolderLoseNoLine";
  const int number = qEnvironmentVariableIntValue(kChildNumber);
  const QString dir = qEnvironmentVariable(kSharedDir);
  ASSERT_TRUE(QDir::setCurrent(dir));
  kxtest::MessageBoxes boxes;
  QTemporaryDir ports;
  QFile record(QDir(dir).filePath(QStringLiteral("saves%1").arg(number)));
  ASSERT_TRUE(record.open(QIODevice::WriteOnly));
  MakeWindows(ports.path(), [&](kx::OperationLog &log) {
    log.clock = [number] {
      const QDateTime now = QDateTime::currentDateTime();
      return QDateTime(QDate(2000 + number, now.date().month(), now.date().day()), now.time());
    };
    log.appended = [&record, &log](const QString &fileName, const QStringList &lines) {
      if (fileName == log.MainFileName()) record.write((lines.join(u'\n') + u'\f').toUtf8());
    };
  });
  auto rx = StartReceiver(ports.path());
  CheckAndWriteMainBoard(*rx, QStringLiteral("0968066%1").arg(number));
  FormMain->FormDestroy();
  EXPECT_EQ(FormMain->Log().PendingLines(), 0);
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(" | ").toStdString();
  rx->stop();
}
