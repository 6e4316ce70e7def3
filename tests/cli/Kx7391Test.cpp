// kx7391 end to end: the program run as a user runs it, against the simulated receiver
// published as COM9 in a port directory of its own; the logs in its working directory.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QThread>
#include <QTemporaryDir>
#include <memory>

#include "payload/Loaders.h"
#include "platform/serial/TermiosDevice.h"
#include "sim/Receiver.h"

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << l.join(QStringLiteral(" | ")).toStdString(); }

namespace sim = kx::sim;

namespace {

constexpr int kLogStamp = 24;

class Kx7391Test : public ::testing::Test {
 protected:
  void SetUp() override { QDir(work.path()).mkpath(QStringLiteral("ports")); }
  void TearDown() override {
    if (rx) rx->stop();
  }

  void StartReceiver(sim::Options opt = {}) {
    opt.pace = false;
    opt.eraseSeconds = 0.05;
    opt.portDir = work.filePath(QStringLiteral("ports")).toStdString();
    opt.comNumber = 9;
    rx = std::make_unique<sim::Receiver>(opt);
    rx->start();
  }

  void Launch(QProcess &p, const QStringList &args) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KX7391_PORT_DIR"), work.filePath(QStringLiteral("ports")));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(work.path());
    p.start(QStringLiteral(KX7391_EXE), args);
    p.closeWriteChannel();
  }

  // Runs kx7391; the exit status, standard output in `out`.
  int Run(const QStringList &args, QString *out = nullptr, int ms = 40000) {
    QProcess p;
    Launch(p, args);
    EXPECT_TRUE(p.waitForFinished(ms)) << args.join(' ').toStdString();
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }

  // The main log's lines, without their stamps.
  QStringList MainLog() const {
    QFile f(work.filePath(QStringLiteral("KX7391Updater_Log.txt")));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines;
    for (const QString &l : QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
      lines.append(l.mid(kLogStamp));
    return lines;
  }

  QTemporaryDir work;
  std::unique_ptr<sim::Receiver> rx;
};

}  // namespace

TEST_F(Kx7391Test, CheckThenWriteMainBoardProgramsTheImageAndLogsAsTheUpdater) {
  StartReceiver();
  QString out;
  ASSERT_EQ(Run({"check", "--port", "COM9", "--serial", "09680661", "--json"}, &out), 0) << out.toStdString();
  const QJsonObject check = QJsonDocument::fromJson(out.toUtf8()).object();
  ASSERT_FALSE(check.isEmpty()) << out.toStdString();
  EXPECT_EQ(check["receiver"].toString(), "KX7391D");
  const QJsonObject main = check["boards"].toObject()["mainboard"].toObject();
  EXPECT_EQ(main["version"].toString(), "402A");
  EXPECT_EQ(main["decision"].toString(), "update");
  EXPECT_EQ(main["image"].toString(), "MAIN_NONE_SH_7391");

  ASSERT_EQ(Run({"write", "mainboard", "--port", "COM9", "--serial", "09680661", "--yes"}, &out), 0)
      << out.toStdString();
  EXPECT_TRUE(out.contains("Writing complete. ")) << out.toStdString();
  kx::MemoryStream image;
  ASSERT_TRUE(kx::MakeMotStreamFromResource("MAIN_NONE_SH_7391", image, kx::kRomSize, [](const QString &) {}));
  const std::vector<std::uint8_t> expected(image.Bytes().begin(), image.Bytes().begin() + 0x40000);
  EXPECT_TRUE(rx->flash(sim::Board::MainBoard) == expected) << "the receiver's flash differs from the image";

  QStringList log = MainLog();
  const qsizetype write = log.indexOf("[MainBoard](FormMain) clicked");
  ASSERT_GE(write, 0) << log.join(" | ").toStdString();
  log = log.mid(write);
  ASSERT_EQ(log.size(), 11) << log.join(" | ").toStdString();
  EXPECT_EQ(log.mid(0, 9),
            (QStringList{"[MainBoard](FormMain) clicked", "Initial for MainBoard  [COM9(" +
                                                              QString::fromStdString(rx->devicePath()) +
                                                              ")](MAIN_NONE_SH_7391)",
                         "[WRITE](FormSHBoot) Clicked", "COMM port open  Timing Type2", "AdjustBitRate OK", "Erace OK",
                         "Prepare the boot program", "Change the BitRate", "Changed the BitRate to 115kbps"}));
  EXPECT_TRUE(log[9].startsWith("Writing complete. ")) << log[9].toStdString();
  EXPECT_EQ(log[10], "COMM port close");
  EXPECT_TRUE(QFile::exists(work.filePath("09680661_Log.txt")));
}

TEST_F(Kx7391Test, TheMainBoardImageFollowsTheCheckBeforeTheSerialNumber) {
  sim::Options opt;
  opt.versions = {"402AR", "3N4A", "510A"};  // the R variant: the serial number alone gives MAIN_NONE
  StartReceiver(opt);
  QString out;
  ASSERT_EQ(Run({"write", "mainboard", "--port", "COM9", "--serial", "09680661", "--yes", "--json"}, &out), 0)
      << out.toStdString();
  const QJsonObject o = QJsonDocument::fromJson(out.toUtf8()).object();
  EXPECT_EQ(o["image"].toString(), "MAIN_R_SH_7391") << out.toStdString();
  kx::MemoryStream image;
  ASSERT_TRUE(kx::MakeMotStreamFromResource("MAIN_R_SH_7391", image, kx::kRomSize, [](const QString &) {}));
  const std::vector<std::uint8_t> expected(image.Bytes().begin(), image.Bytes().begin() + 0x40000);
  EXPECT_TRUE(rx->flash(sim::Board::MainBoard) == expected);
  EXPECT_EQ(o["sent"].toInt(), o["blocks"].toInt());
}

TEST_F(Kx7391Test, EachFaultGivesItsExitStatus) {
  using K = sim::FaultKind;
  struct Case {
    const char *name;
    bool receiver;
    sim::Options opt;
    QStringList args;
    int exit;
  };
  sim::Options notReady;
  notReady.notReadySeconds = 60;
  sim::Options otherModel;
  otherModel.model = "KX7390D";
  sim::Options refused;
  refused.faults = {{K::WriteError, 3}};
  const QStringList check{"check", "--port", "COM9"};
  const QStringList write{"write", "decoder", "--port", "COM9", "--yes"};
  sim::Options silent;  // every answer breaks off: no answer is ever whole
  for (int k = 1; k <= 4; ++k) silent.faults.push_back({K::CutAnswer, k});
  const Case cases[] = {
      {"no port", false, {}, check, 2},
      {"no answer", true, silent, check, 3},
      {"not ready", true, notReady, check, 4},
      {"another model", true, otherModel, check, 5},
      {"block refused", true, refused, write, 6},
      {"no board", true, {}, {"write", "--port", "COM9"}, 1},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (c.receiver) StartReceiver(c.opt);
    EXPECT_EQ(Run(c.args), c.exit);
    if (rx) rx->stop();
    rx.reset();
  }
  // A port that another program holds: the updater's message, and status 2.
  StartReceiver();
  std::string why;
  const auto holder = kx::serial::OpenTermios(rx->devicePath(), &why);
  ASSERT_TRUE(holder) << why;
  for (const QStringList &args : {check, write}) {
    QProcess p;
    Launch(p, args);
    ASSERT_TRUE(p.waitForFinished(20000));
    EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
    EXPECT_TRUE(QString::fromUtf8(p.readAllStandardError()).contains("Can not open the COM port"));
  }
}

TEST_F(Kx7391Test, AnInterruptedWriteRunsAbort) {
  sim::Options opt;
  StartReceiver(opt);
  QProcess p;
  Launch(p, {"write", "mainboard", "--port", "COM9", "--yes", "--json"});
  QDeadlineTimer deadline(20000);
  while (rx->counters().framesReceived < 20 && !deadline.hasExpired()) QThread::msleep(10);
  ASSERT_GE(rx->counters().framesReceived, 20u);
  p.terminate();  // SIGTERM, as SIGINT: the same handler
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitCode(), 7);
  const QJsonObject o = QJsonDocument::fromJson(p.readAllStandardOutput()).object();
  EXPECT_EQ(o["exit"].toInt(), 7);
  const QStringList log = MainLog();
  ASSERT_GE(log.size(), 2);
  EXPECT_EQ(log.mid(log.size() - 2),
            (QStringList{"[Abort](FormSHBoot) clicked", "Write aborted: the board is left unwritten. Write it again."}));
  // The run ended there: nothing more reaches the receiver, and the image is not all in.
  const std::uint64_t frames = rx->counters().framesReceived;
  QThread::msleep(300);
  EXPECT_EQ(rx->counters().framesReceived, frames);
  EXPECT_LT(frames, 1000u) << "of 1959 non-blank blocks";
}

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  // The loaders leave a copy of each image they load in the working directory.
  QTemporaryDir here;
  QDir::setCurrent(here.path());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
