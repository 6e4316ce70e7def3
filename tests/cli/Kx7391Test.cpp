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
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>
#include <csignal>
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
    for (auto &r : more) r->stop();
  }

  void StartReceiver(sim::Options opt = {}) {
    rx = MakeReceiver(opt, 9);
  }
  std::unique_ptr<sim::Receiver> MakeReceiver(sim::Options opt, int com) {
    opt.pace = false;
    opt.eraseSeconds = 0.05;
    opt.portDir = work.filePath(QStringLiteral("ports")).toStdString();
    opt.comNumber = com;
    auto r = std::make_unique<sim::Receiver>(opt);
    r->start();
    return r;
  }

  void Launch(QProcess &p, const QStringList &args, const QStringList &vars = {}, bool closeInput = true) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("KX7391_PORT_DIR"), work.filePath(QStringLiteral("ports")));
    env.insert(QStringLiteral("KX7391_TOOL_BASE"), work.path());
    for (const QString &v : vars) env.insert(v.section('=', 0, 0), v.section('=', 1));
    p.setProcessEnvironment(env);
    p.setWorkingDirectory(work.path());
    p.start(QStringLiteral(KX7391_EXE), args);
    if (closeInput) p.closeWriteChannel();
  }

  // Runs kx7391; the exit status, standard output in `out`.
  int Run(const QStringList &args, QString *out = nullptr, int ms = 40000, QString *err = nullptr,
          const QStringList &vars = {}) {
    QProcess p;
    Launch(p, args, vars);
    EXPECT_TRUE(p.waitForFinished(ms)) << args.join(' ').toStdString();
    if (out) *out = QString::fromUtf8(p.readAllStandardOutput());
    if (err) *err = QString::fromUtf8(p.readAllStandardError());
    return p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
  }

  // The main log's lines, without their stamps.
  QStringList MainLog() const { return LogLines(QStringLiteral("KX7391Updater_Log.txt")); }
  QStringList LogLines(const QString &name) const {
    QFile f(work.filePath(name));
    if (!f.open(QIODevice::ReadOnly)) return {};
    QStringList lines;
    for (const QString &l : QString::fromUtf8(f.readAll()).split(QStringLiteral("\r\n"), Qt::SkipEmptyParts))
      lines.append(l.mid(kLogStamp));
    return lines;
  }

  QTemporaryDir work;
  std::unique_ptr<sim::Receiver> rx;
  std::vector<std::unique_ptr<sim::Receiver>> more;
};

// Every line of the output as a JSON object; a line that does not parse fails the test.
QList<QJsonObject> JsonLines(const QString &out) {
  QList<QJsonObject> objects;
  for (const QString &line : out.split('\n', Qt::SkipEmptyParts)) {
    QJsonParseError error;
    const QJsonDocument d = QJsonDocument::fromJson(line.toUtf8(), &error);
    EXPECT_TRUE(d.isObject()) << line.toStdString() << ": " << error.errorString().toStdString();
    objects.append(d.object());
  }
  return objects;
}

// The last object of a kind (empty when none).
QJsonObject Last(const QList<QJsonObject> &objects, const QString &kind, const QString &port = {}) {
  for (qsizetype i = objects.size() - 1; i >= 0; --i)
    if (objects[i]["kind"].toString() == kind && (port.isEmpty() || objects[i]["port"].toString() == port))
      return objects[i];
  return {};
}

// CRC-32 as zlib has it, bit by bit: the record's column checked without the updater's code.
QString Crc32Hex(const std::vector<std::uint8_t> &bytes) {
  std::uint32_t crc = 0xFFFFFFFFu;
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int k = 0; k < 8; ++k) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
  }
  return QStringLiteral("%1").arg(crc ^ 0xFFFFFFFFu, 8, 16, QLatin1Char('0')).toUpper();
}
QString Crc32Hex(const QByteArray &bytes) {
  return Crc32Hex(std::vector<std::uint8_t>(bytes.begin(), bytes.end()));
}

std::vector<std::uint8_t> Image(const QString &name) {
  kx::MemoryStream image;
  EXPECT_TRUE(kx::MakeMotStreamFromResource(name, image, kx::kRomSize, [](const QString &) {}));
  return std::vector<std::uint8_t>(image.Bytes().begin(), image.Bytes().begin() + 0x40000);
}

}  // namespace

TEST_F(Kx7391Test, CheckThenWriteMainBoardProgramsTheImageAndLogsAsTheUpdater) {
  StartReceiver();
  QString out;
  ASSERT_EQ(Run({"check", "--port", "COM9", "--serial", "09680661", "--json"}, &out), 0) << out.toStdString();
  const QJsonObject check = Last(JsonLines(out), "check");
  ASSERT_FALSE(check.isEmpty()) << out.toStdString();
  EXPECT_EQ(check["port"].toString(), "COM9");
  EXPECT_EQ(check["serial"].toString(), "09680661");
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
  ASSERT_EQ(log.size(), 13) << log.join(" | ").toStdString();
  EXPECT_EQ(log.mid(0, 9),
            (QStringList{"[MainBoard](FormMain) clicked", "Initial for MainBoard  [COM9(" +
                                                              QString::fromStdString(rx->devicePath()) +
                                                              ")](MAIN_NONE_SH_7391)",
                         "[WRITE](FormSHBoot) Clicked",
                         "Write record: started MainBoard MAIN_NONE_SH_7391 CRC-32 " + Crc32Hex(expected) + " COM9",
                         "COMM port open  Timing Type2", "AdjustBitRate OK", "Erace OK",
                         "Prepare the boot program", "Change the BitRate"}));
  EXPECT_EQ(log[9], "Changed the BitRate to 115kbps");
  EXPECT_TRUE(log[10].startsWith("Writing complete. ")) << log[10].toStdString();
  EXPECT_EQ(log[11], "COMM port close");
  EXPECT_TRUE(log[12].startsWith("Write record: written MainBoard MAIN_NONE_SH_7391 CRC-32 " + Crc32Hex(expected) +
                                 " COM9 "))
      << log[12].toStdString();
  EXPECT_TRUE(QFile::exists(work.filePath("09680661_Log.txt")));
}

TEST_F(Kx7391Test, TheMainBoardImageFollowsTheCheckBeforeTheSerialNumber) {
  sim::Options opt;
  opt.versions = {"402AR", "3N4A", "510A"};  // the R variant: the serial number alone gives MAIN_NONE
  StartReceiver(opt);
  QString out;
  ASSERT_EQ(Run({"write", "mainboard", "--port", "COM9", "--serial", "09680661", "--yes", "--json"}, &out), 0)
      << out.toStdString();
  const QJsonObject o = Last(JsonLines(out), "end");
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
  // Progress is streamed while the write goes on, not only at its end.
  QByteArray early;
  while (!early.contains("\"kind\":\"progress\"") && !deadline.hasExpired()) {
    p.waitForReadyRead(100);
    early += p.readAllStandardOutput();
  }
  ASSERT_TRUE(early.contains("\"kind\":\"progress\"")) << early.toStdString();
  while (rx->counters().framesReceived < 20 && !deadline.hasExpired()) QThread::msleep(10);
  ASSERT_GE(rx->counters().framesReceived, 20u);
  p.terminate();  // SIGTERM, as SIGINT: the same handler
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitCode(), 7);
  const QList<QJsonObject> objects = JsonLines(QString::fromUtf8(early + p.readAllStandardOutput()));
  const QJsonObject o = Last(objects, "end");
  EXPECT_EQ(o["exit"].toInt(), 7);
  EXPECT_LT(Last(objects, "progress")["sent"].toInt(), o["blocks"].toInt());
  EXPECT_EQ(o["result"].toString(), "aborted");
  const QStringList log = MainLog();
  ASSERT_GE(log.size(), 3);
  EXPECT_EQ(log.mid(log.size() - 3, 2),
            (QStringList{"[Abort](FormSHBoot) clicked", "Write aborted: the board is left unwritten. Write it again."}));
  EXPECT_TRUE(log.last().startsWith("Write record: aborted MainBoard ")) << log.last().toStdString();
  // The run ended there: nothing more reaches the receiver, and the image is not all in.
  const std::uint64_t frames = rx->counters().framesReceived;
  QThread::msleep(300);
  EXPECT_EQ(rx->counters().framesReceived, frames);
  EXPECT_LT(frames, 1000u) << "of 1959 non-blank blocks";
}

// Without an answer the MainBoard image is never guessed: nothing reaches the receiver but
// the check's requests. Named with --image, it is written without a check, as a wired bench
// in boot mode needs it.
TEST_F(Kx7391Test, TheMainBoardImageIsNeverGuessed) {
  using K = sim::FaultKind;
  sim::Options silent;
  for (int k = 1; k <= 4; ++k) silent.faults.push_back({K::CutAnswer, k});
  StartReceiver(silent);
  QString out, err;
  EXPECT_EQ(Run({"write", "mainboard", "--port", "COM9", "--serial", "09710001", "--yes"}, &out, 40000, &err), 10);
  EXPECT_TRUE(err.contains("--image")) << err.toStdString();
  EXPECT_GE(rx->counters().versionRequests, 1u);
  EXPECT_EQ(rx->counters().garbledBytes, 0u) << "a byte at a boot rate reached the receiver";
  EXPECT_EQ(rx->counters().bootSessions, 0u);
  EXPECT_EQ(rx->counters().framesReceived, 0u);
  EXPECT_FALSE(MainLog().contains("[WRITE](FormSHBoot) Clicked"));
  rx->stop();

  sim::Options boot;
  boot.boot = sim::BootMode::MainBoard;
  StartReceiver(boot);
  ASSERT_EQ(Run({"write", "mainboard", "--port", "COM9", "--serial", "09680661", "--image", "MAIN_B_SH_7391", "--yes"},
                &out, 40000, &err),
            0)
      << err.toStdString();
  EXPECT_EQ(rx->counters().versionRequests, 0u) << "no check is run for a named image";
  EXPECT_TRUE(rx->flash(sim::Board::MainBoard) == Image("MAIN_B_SH_7391"));
  // Only the four MainBoard images are names; the other boards have one image each.
  for (const QStringList &args : {QStringList{"write", "mainboard", "--port", "COM9", "--image", "DECORD_SH_7391"},
                                  QStringList{"write", "decoder", "--port", "COM9", "--image", "MAIN_B_SH_7391"},
                                  QStringList{"write", "mainboard", "--port", "COM9", "--image", "MAIN_B_SH_7391",
                                              "--image", "MAIN_Q_SH_7391"},
                                  QStringList{"write", "decoder", "--port", "COM9", "--port", "COM10", "--serial", "1"},
                                  QStringList{"write", "decoder", "--port", "COM9", "--serial", "1", "--port", "COM10",
                                              "--serial", "1"}})
    EXPECT_EQ(Run(args), 1) << args.join(' ').toStdString();
}

// Several receivers in one command: each its own run, image and serial log; the main log
// takes whole lines from all; one failure leaves the others written and gives its status.
TEST_F(Kx7391Test, SeveralReceiversAreWrittenAtOnce) {
  using K = sim::FaultKind;
  struct Case {
    int count;
    int failing;  // -1: none
    int exit;
  };
  const QStringList images{"MAIN_NONE_SH_7391", "MAIN_B_SH_7391", "MAIN_R_SH_7391", "MAIN_Q_SH_7391"};
  for (const Case c : {Case{2, 1, 6}, Case{4, -1, 0}}) {
    SCOPED_TRACE(c.count);
    QStringList args{"write", "mainboard", "--yes", "--json"};
    more.clear();
    QFile::remove(work.filePath("KX7391Updater_Log.txt"));
    for (int i = 0; i < c.count; ++i) {
      sim::Options opt;
      opt.boot = sim::BootMode::MainBoard;
      if (i == c.failing) opt.faults = {{K::WriteError, 30}};
      more.push_back(MakeReceiver(opt, 20 + i));
      args << "--port" << QString("COM%1").arg(20 + i) << "--serial" << QString("0968%1").arg(1000 * c.count + i)
           << "--image" << images[i];
    }
    QString out, err;
    EXPECT_EQ(Run(args, &out, 60000, &err), c.exit) << err.toStdString();
    const QList<QJsonObject> objects = JsonLines(out);
    QSet<QString> kinds;
    for (const QJsonObject &o : objects) {
      kinds.insert(o["kind"].toString());
      EXPECT_TRUE(o.contains("port") && o.contains("serial") && o["board"].toString() == "mainboard")
          << QJsonDocument(o).toJson().toStdString();
    }
    for (const char *kind : {"plan", "state", "status", "progress", "end"}) EXPECT_TRUE(kinds.contains(kind)) << kind;
    if (c.failing >= 0) EXPECT_TRUE(kinds.contains("message"));
    int completions = 0;
    for (int i = 0; i < c.count; ++i) {
      const QString port = QString("COM%1").arg(20 + i);
      const QString serial = QString("0968%1").arg(1000 * c.count + i);
      const QJsonObject end = Last(objects, "end", port);
      EXPECT_EQ(end["serial"].toString(), serial);
      EXPECT_EQ(end["exit"].toInt(), i == c.failing ? 6 : 0) << port.toStdString();
      EXPECT_EQ(end["image"].toString(), images[i]);
      if (i != c.failing) {
        ++completions;
        EXPECT_TRUE(more[i]->flash(sim::Board::MainBoard) == Image(images[i])) << port.toStdString();
      }
      // The receiver's own log ends with its own write, and holds no other port's run.
      const QStringList log = LogLines(serial + "_Log.txt");
      ASSERT_FALSE(log.isEmpty());
      EXPECT_TRUE(log.last().startsWith(QString("Write record: %1 MainBoard %2 CRC-32 %3 %4 ")
                                            .arg(i == c.failing ? "failed" : "written", images[i],
                                                 Crc32Hex(Image(images[i])), port)))
          << log.last().toStdString();
      for (const QString &l : log) EXPECT_FALSE(l.contains("[COM") && !l.contains("[" + port + "(")) << l.toStdString();
    }
    // Every line of the main log whole: a stamp, then one line's text.
    QFile f(work.filePath("KX7391Updater_Log.txt"));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QRegularExpression stamp("^\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} ");
    const QStringList lines = QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
    for (const QString &l : lines) {
      EXPECT_TRUE(stamp.match(l).hasMatch()) << l.toStdString();
      EXPECT_EQ(l.count(stamp), 1);
    }
    EXPECT_EQ(MainLog().filter(QRegularExpression("^Writing complete\\. ")).size(), completions);
    EXPECT_EQ(MainLog().filter("Write record: started MainBoard").size(), c.count);
  }
}

// The record file: a row when a write starts and one when it ends, the image's CRC-32 as
// computed here; a write cut off by SIGKILL is told the next time its serial number is used.
TEST_F(Kx7391Test, EveryWriteIsOnRecord) {
  StartReceiver();
  ASSERT_EQ(Run({"write", "decoder", "--port", "COM9", "--serial", "0968,007", "--yes"}), 0);
  QFile f(work.filePath("KX7391Updater_Writes.csv"));
  ASSERT_TRUE(f.open(QIODevice::ReadOnly));
  const QStringList rows = QString::fromUtf8(f.readAll()).split("\r\n", Qt::SkipEmptyParts);
  f.close();
  ASSERT_EQ(rows.size(), 3) << rows.join(" | ").toStdString();
  const QString crc = Crc32Hex(Image("DECORD_SH_7391"));
  EXPECT_TRUE(rows[1].contains(QString(",\"0968,007\",Decoder,DECORD_SH_7391,%1,COM9,started,,").arg(crc)))
      << rows[1].toStdString();
  EXPECT_TRUE(rows[2].contains(QString(",\"0968,007\",Decoder,DECORD_SH_7391,%1,COM9,written,").arg(crc)))
      << rows[2].toStdString();

  QProcess p;
  const std::uint64_t before = rx->counters().framesReceived;
  Launch(p, {"write", "mainboard", "--port", "COM9", "--serial", "09680661", "--image", "MAIN_NONE_SH_7391", "--yes"});
  QDeadlineTimer deadline(20000);
  while (rx->counters().framesReceived < before + 20 && !deadline.hasExpired()) QThread::msleep(5);
  p.kill();
  ASSERT_TRUE(p.waitForFinished(5000));
  QString out, err;
  ASSERT_EQ(Run({"check", "--port", "COM9", "--serial", "09680661", "--json"}, &out, 40000, &err), 0);
  EXPECT_TRUE(QRegularExpression("The last MainBoard write of this receiver \\(\\d{4}/\\d\\d/\\d\\d \\d\\d:\\d\\d:\\d\\d\\) "
                                 "did not complete: write it again\\.")
                  .match(err)
                  .hasMatch())
      << err.toStdString() << "\n" << LogLines("09680661_Log.txt").join("\n").toStdString();
  const QJsonObject told = Last(JsonLines(out), "interrupted");
  EXPECT_EQ(told["serial"].toString(), "09680661");
  EXPECT_EQ(told["interruptedBoard"].toString(), "MainBoard");
  // Written again, the receiver's last write is whole: nothing more to tell.
  ASSERT_EQ(Run({"write", "decoder", "--port", "COM9", "--serial", "09680661", "--yes"}), 0);
  EXPECT_EQ(Run({"check", "--port", "COM9", "--serial", "09680661"}, &out, 40000, &err), 0);
  EXPECT_FALSE(err.contains("did not complete")) << err.toStdString();
}

// write digidec: the writer stand-in run by the window's engine; its outcome is the status.
TEST_F(Kx7391Test, WriteDigiDecFollowsTheWriterTool) {
  struct Case {
    const char *fail;
    int exit;
    const char *said;  // in the message of the end
  };
  const Case cases[] = {{"", 0, "Success"},
                        {"error", 11, "E:Write error at 0x00040000; WriterCmd ended without Success: exit code 1"},
                        {"silent", 11, "WriterCmd ended without Success: exit code"},
                        {"crash", 11, "WriterCmd ended without Success: killed by signal"},
                        {"nolog", 11, "WriterCmd ended without Success: exit code 4"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail);
    QString out, err;
    QStringList vars{"KX7391_WRITER_SECONDS=0.5"};
    if (*c.fail) vars << QString("KX7391_WRITER_FAIL=") + c.fail;
    EXPECT_EQ(Run({"write", "digidec", "--serial", "09680661", "--yes", "--json"}, &out, 40000, &err, vars), c.exit)
        << err.toStdString();
    const QList<QJsonObject> objects = JsonLines(out);
    const QJsonObject end = Last(objects, "end");
    EXPECT_EQ(end["exit"].toInt(), c.exit);
    EXPECT_TRUE(end["message"].toString().contains(c.said)) << end["message"].toString().toStdString();
    EXPECT_EQ(end["board"].toString(), "digidec");
    if (c.exit == 0) {
      EXPECT_FALSE(Last(objects, "progress").isEmpty());
      EXPECT_EQ(Last(objects, "progress")["percent"].toInt(), 100);
      EXPECT_EQ(Last(objects, "message")["text"].toString(), "I:Success");
    }
  }
  // The record: both images, names and CRC-32s joined by "+".
  const auto fileCrc = [&](const QString &name) {
    QFile g(work.filePath("digidecw/" + name));
    EXPECT_TRUE(g.open(QIODevice::ReadOnly)) << name.toStdString();
    return Crc32Hex(g.readAll());
  };
  const QString images = fileCrc("2507A.A57") + "+" + fileCrc("2507A_Cyclone10.A57");
  QFile rec(work.filePath("KX7391Updater_Writes.csv"));
  ASSERT_TRUE(rec.open(QIODevice::ReadOnly));
  const QString records = QString::fromUtf8(rec.readAll());
  EXPECT_TRUE(records.contains(",\"09680661\",DigiDec,2507A.A57+2507A_Cyclone10.A57," + images + ",,written,"))
      << records.toStdString();

  // SIGTERM stops the tool with its process group, and it is recorded.
  QProcess p;
  Launch(p, {"write", "digidec", "--serial", "09680661", "--yes"}, {"KX7391_WRITER_SECONDS=30"});
  QDeadlineTimer deadline(20000);
  QByteArray seen;
  while (!seen.contains("I:Erasing..") && !deadline.hasExpired()) {
    p.waitForReadyRead(100);
    seen += p.readAllStandardOutput();
  }
  ASSERT_TRUE(seen.contains("I:Erasing..")) << seen.toStdString();
  // Meanwhile the tool's folder is held: another write is not started, and says why.
  QString err;
  EXPECT_EQ(Run({"write", "digidec", "--serial", "09680662", "--yes"}, nullptr, 20000, &err), 12);
  EXPECT_TRUE(err.contains("another KX7391Updater")) << err.toStdString();
  p.terminate();
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitCode(), 7);
  const QStringList log = MainLog();
  EXPECT_TRUE(log.contains("DigiDec write stopped: the board may be left unwritten. Write it again."));
  EXPECT_TRUE(log.last().startsWith("Write record: aborted DigiDec ")) << log.last().toStdString();
  // No process is left working in the tool folder.
  const QString tool = QFileInfo(work.filePath("digidecw")).canonicalFilePath();
  for (const QString &pid : QDir("/proc").entryList(QDir::Dirs))
    if (pid.toInt() > 0) EXPECT_NE(QFileInfo("/proc/" + pid + "/cwd").canonicalFilePath(), tool) << pid.toStdString();
  // One receiver at a time: the tool has one folder, one log and one lock.
  EXPECT_EQ(Run({"write", "digidec", "--serial", "09680661", "--serial", "09680662"}), 1);
}

// Where kx7391 once differed from the windows.
TEST_F(Kx7391Test, TheCheckAndTheWriteBehaveAsTheWindows) {
  using K = sim::FaultKind;
  // The check waits 500 ms after opening the port and 500 ms before closing it.
  StartReceiver();
  QElapsedTimer clock;
  clock.start();
  ASSERT_EQ(Run({"check", "--port", "COM9"}), 0);
  EXPECT_GE(clock.elapsed(), 1000);
  rx->stop();

  // "Can not FIND": the retry is logged before the check's end.
  sim::Options notReady;
  notReady.notReadySeconds = 60;
  StartReceiver(notReady);
  EXPECT_EQ(Run({"check", "--port", "COM9"}), 4);
  QStringList log = MainLog();
  const qsizetype retry = log.indexOf("Wait and Retry [VersionCheck]");
  ASSERT_GE(retry, 0);
  EXPECT_EQ(log.value(retry + 1), "VersionTest Finish");
  rx->stop();
  // Ctrl+C during the MainBoard's check ends the check as its Abort does: logged, status 7.
  sim::Options silent;
  for (int k = 1; k <= 4; ++k) silent.faults.push_back({K::CutAnswer, k});
  StartReceiver(silent);
  QProcess p;
  Launch(p, {"write", "mainboard", "--port", "COM9", "--yes"});
  QDeadlineTimer deadline(20000);
  while (rx->counters().versionRequests < 1 && !deadline.hasExpired()) QThread::msleep(5);
  QThread::msleep(100);
  ::kill(static_cast<pid_t>(p.processId()), SIGINT);
  ASSERT_TRUE(p.waitForFinished(10000));
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(p.exitCode(), 7);
  log = MainLog();
  EXPECT_EQ(log.mid(log.size() - 2), (QStringList{"Termination signal received", "VersionTest Finish"}));
  rx->stop();

  // At the Enter prompt: Ctrl+C is status 7, the end of input 13; neither sends anything.
  StartReceiver();
  for (const bool ctrlC : {true, false}) {
    QProcess q;
    Launch(q, {"write", "decoder", "--port", "COM9"}, {}, false);
    QByteArray seen;
    QDeadlineTimer until(10000);
    while (!seen.contains("Press Enter") && !until.hasExpired()) {
      q.waitForReadyRead(100);
      seen += q.readAllStandardOutput();
    }
    ASSERT_TRUE(seen.contains("Press Enter")) << seen.toStdString();
    if (ctrlC)
      ::kill(static_cast<pid_t>(q.processId()), SIGINT);
    else
      q.closeWriteChannel();
    ASSERT_TRUE(q.waitForFinished(10000));
    EXPECT_EQ(q.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(q.exitCode(), ctrlC ? 7 : 13);
    const QString err = QString::fromUtf8(q.readAllStandardError());
    EXPECT_FALSE(err.contains("left unwritten")) << err.toStdString();
    EXPECT_TRUE(MainLog().last().startsWith("Write not started: ")) << MainLog().last().toStdString();
  }
  EXPECT_EQ(rx->counters().bytesReceived, 0u);
  rx->stop();

  // An abort before the erase leaves the board as it was, and says so.
  sim::Options noAdjust;
  noAdjust.faults = {{K::NoAdjust, 0}};
  StartReceiver(noAdjust);
  QProcess a;
  Launch(a, {"write", "decoder", "--port", "COM9", "--yes"});
  deadline = QDeadlineTimer(10000);
  while (rx->counters().bytesReceived < 1 && !deadline.hasExpired()) QThread::msleep(5);
  a.terminate();
  ASSERT_TRUE(a.waitForFinished(10000));
  EXPECT_EQ(a.exitCode(), 7);
  QString err = QString::fromUtf8(a.readAllStandardError());
  EXPECT_TRUE(err.contains("before the erase")) << err.toStdString();
  EXPECT_FALSE(err.contains("left unwritten"));
  // Step 5 and 6 follow every run that put the receiver in boot mode.
  EXPECT_TRUE(QString::fromUtf8(a.readAllStandardOutput()).contains("Step 6 :")) << "after an abort";
  rx->stop();

  // A receiver that goes away mid-write: the message is said once; the steps still follow.
  sim::Options hangup;
  hangup.faults = {{K::Hangup, 5}};
  StartReceiver(hangup);
  QString out;
  EXPECT_NE(Run({"write", "decoder", "--port", "COM9", "--yes"}, &out, 40000, &err), 0);
  EXPECT_EQ((out + err).count("COM9 was disconnected."), 1) << (out + err).toStdString();
  EXPECT_TRUE(out.contains("Step 5 :")) << out.toStdString();
  rx->stop();

  // Another model, also from write mainboard's check: status 5.
  sim::Options other;
  other.model = "KX7390D";
  StartReceiver(other);
  EXPECT_EQ(Run({"write", "mainboard", "--port", "COM9", "--yes"}), 5);
  rx->stop();

  // --json gives an object also for a failure of ports (a port folder that is no folder).
  QFile notADir(work.filePath("not-a-folder"));
  ASSERT_TRUE(notADir.open(QIODevice::WriteOnly));
  notADir.close();
  EXPECT_EQ(Run({"ports", "--json"}, &out, 10000, &err, {"KX7391_PORT_DIR=" + notADir.fileName()}), 9);
  const QJsonObject end = Last(JsonLines(out), "end");
  EXPECT_EQ(end["exit"].toInt(), 9);
}

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  // The loaders leave a copy of each image they load in the working directory.
  QTemporaryDir here;
  QDir::setCurrent(here.path());
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
