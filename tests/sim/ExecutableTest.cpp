// The kx7391-sim executable: its one output line, its port link while it runs, its signals.
#include <gtest/gtest.h>

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <csignal>

#include "tests/sim/Dialogue.h"

using namespace kxtest;

namespace {

class SimExecutable : public ::testing::Test {
 protected:
  // Starts the simulator and returns its device, read from its "COMn /dev/pts/k" line.
  QString Start(QStringList args, int com = 7) {
    args << "--port-dir" << ports() << "--com" << QString::number(com);
    proc_.start(QStringLiteral(KX_SIM_EXE), args);
    if (!proc_.waitForStarted(5000)) return {};
    while (!proc_.canReadLine() && proc_.waitForReadyRead(5000)) {
    }
    const QString line = QString::fromLatin1(proc_.readLine());
    const auto m = QRegularExpression(QStringLiteral("^COM%1 (/dev/pts/\\d+)\\n$").arg(com)).match(line);
    EXPECT_TRUE(m.hasMatch()) << line.toStdString();
    return m.captured(1);
  }
  QString ports() const { return dir_.filePath("ports"); }
  QString link(int com = 7) const { return dir_.filePath(QStringLiteral("ports/COM%1").arg(com)); }

  QTemporaryDir dir_;
  QProcess proc_;
};

TEST(SimExecutableHelp, DocumentsEveryOption) {
  QProcess p;
  p.start(QStringLiteral(KX_SIM_EXE), {"--help"});
  ASSERT_TRUE(p.waitForFinished(5000));
  EXPECT_EQ(p.exitCode(), 0);
  const QString help = QString::fromLatin1(p.readAllStandardOutput());
  for (const char *option : {"--port-dir", "--com", "--model", "--main", "--decoder", "--panel", "--boot",
                             "--not-ready", "--no-pace", "--erase-time", "--fault", "--panel-boot-length",
                             "--flash-dir", "--trace", "--help", "no-adjust", "erase-error", "erase-timeout",
                             "bad-echo@K", "no-start", "no-ready", "write-error@K", "write-timeout@K", "hangup@K",
                             "noise", "cut-answer@K"}) {
    EXPECT_TRUE(help.contains(QLatin1String(option))) << option;
  }
}

TEST(SimExecutableHelp, RefusesUnknownOptionsAndValues) {
  for (const QStringList &args : {QStringList{"--bogus"}, QStringList{"--boot", "sideways"},
                                  QStringList{"--fault", "hangup"}, QStringList{"--com", "0"},
                                  QStringList{"--erase-time", "soon"}}) {
    QProcess p;
    p.start(QStringLiteral(KX_SIM_EXE), args);
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2) << args.join(' ').toStdString();
    EXPECT_FALSE(p.readAllStandardError().isEmpty());
  }
}

class SimExecutableSignal : public SimExecutable, public ::testing::WithParamInterface<int> {};

TEST_P(SimExecutableSignal, LinkExistsOnlyWhileItRuns) {
  const QString device = Start({"--no-pace", "--panel", "511A"});
  ASSERT_FALSE(device.isEmpty());
  EXPECT_EQ(QFile::symLinkTarget(link()), device);
  {
    ScriptedHost host(link().toStdString());
    EXPECT_EQ(AskVersions(host).second, "VER-P: 511A");
  }
  ASSERT_EQ(::kill(static_cast<pid_t>(proc_.processId()), GetParam()), 0);
  ASSERT_TRUE(proc_.waitForFinished(5000));
  EXPECT_EQ(proc_.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(proc_.exitCode(), 0);
  EXPECT_FALSE(QFileInfo(link()).isSymLink());
}

INSTANTIATE_TEST_SUITE_P(Sim, SimExecutableSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const auto &info) { return info.param == SIGTERM ? "SIGTERM" : "SIGINT"; });

TEST_F(SimExecutable, HangupEndsTheProgramAndRemovesTheLink) {
  ASSERT_FALSE(Start({"--no-pace", "--erase-time", "0", "--boot", "mainboard", "--fault", "hangup@1"}).isEmpty());
  ScriptedHost host(link().toStdString());
  ASSERT_NO_FATAL_FAILURE(BootProgramRuns(host, 19200, BootProgram(32)));
  const Bytes image = FirmwareImage("403AB");
  host.send(Frame(0, image.data()));
  EXPECT_EQ(host.readByte(1000ms), std::optional<std::uint8_t>(0xAA));
  ASSERT_TRUE(proc_.waitForFinished(5000));
  EXPECT_EQ(proc_.exitCode(), 0);
  EXPECT_FALSE(QFileInfo(link()).isSymLink());
  EXPECT_TRUE(proc_.readAllStandardError().contains("hangup"));
}

TEST_F(SimExecutable, SecondSimulatorOnTheSameNameIsRefused) {
  ASSERT_FALSE(Start({"--no-pace"}).isEmpty());
  QProcess second;
  second.start(QStringLiteral(KX_SIM_EXE), {"--no-pace", "--port-dir", ports(), "--com", "7"});
  ASSERT_TRUE(second.waitForFinished(5000));
  EXPECT_EQ(second.exitCode(), 1);
  EXPECT_TRUE(second.readAllStandardError().contains("already published"));
  EXPECT_TRUE(QFileInfo(link()).isSymLink()) << "the running simulator keeps its link";
  proc_.terminate();
  ASSERT_TRUE(proc_.waitForFinished(5000));
}

}  // namespace
