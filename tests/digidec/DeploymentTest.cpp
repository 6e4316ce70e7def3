// The writer tool and its images deployed into "digidecw" beside the executable.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <QProcess>
#include <optional>

#include "digidec/Deployment.h"
#include "platform/FileError.h"
#include "tests/digidec/DigiDecTestSupport.h"

namespace {

using kxtest::ToolBase;

const QMap<QString, QByteArray> kPayloads{{"WRITER_CMD_EXEC", "#!/bin/sh\necho tool\n"},
                                          {"DIGIDEC_A57", QByteArray(1000, 'a')},
                                          {"DIGIDEC_10_A57", QByteArray(1200, 'b')}};

class Deployment : public ::testing::Test {
 protected:
  bool Deploy(const kx::digidec::PayloadReader &reader = kxtest::ReaderOf(kPayloads)) {
    kx::digidec::DeployReport report;
    report.logAdd = [this](const QString &t) { log.append(t); };
    report.logSave = [this] { log.append(QStringLiteral("<save>")); };
    report.messageBox = [this](const QString &t) { boxes.append(t); };
    report.errorBox = [this](const QString &t) { errors.append(t); };
    return kx::digidec::DeployWriterTool(base.path(), reader, report);
  }
  QString Path(const QString &name) const { return base.toolFile(name); }
  QString Tool() const { return Path("KX7391DWriterCmd2507A.exe"); }
  QString Image() const { return Path("2507A.A57"); }
  QString Image10() const { return Path("2507A_Cyclone10.A57"); }
  void ExpectDeployed() const {
    EXPECT_EQ(kxtest::ReadAll(Tool()), kPayloads["WRITER_CMD_EXEC"]);
    EXPECT_EQ(kxtest::ReadAll(Image()), kPayloads["DIGIDEC_A57"]);
    EXPECT_EQ(kxtest::ReadAll(Image10()), kPayloads["DIGIDEC_10_A57"]);
  }

  ToolBase base;
  kxtest::ScopedWorkDir elsewhere;
  QStringList log, boxes, errors;
};

TEST_F(Deployment, FirstStartMakesTheFolderAndTheThreeFilesInOrder) {
  EXPECT_TRUE(Deploy());
  EXPECT_EQ(log, (QStringList{" Make Dir " + base.tool(), " Make File " + Tool(), " Make File " + Image(),
                              " Make File " + Image10()}));
  EXPECT_TRUE(boxes.isEmpty());
  ExpectDeployed();
  // Only the tool may be run.
  EXPECT_TRUE(QFileInfo(Tool()).isExecutable());
  EXPECT_FALSE(QFileInfo(Image()).isExecutable());
  EXPECT_FALSE(QFileInfo(Image10()).isExecutable());
  // Nothing lands in the working directory.
  EXPECT_FALSE(QFileInfo::exists(elsewhere.file("digidecw")));
}

TEST_F(Deployment, LaterStartLeavesEverythingAsItIs) {
  ASSERT_TRUE(Deploy());
  const QDateTime old(QDate(2024, 1, 2), QTime(3, 4, 5));
  for (const QString &p : {Tool(), Image(), Image10()}) {
    QFile f(p);
    ASSERT_TRUE(f.open(QIODevice::ReadWrite));
    ASSERT_TRUE(f.setFileTime(old, QFileDevice::FileModificationTime));
  }
  log.clear();
  EXPECT_TRUE(Deploy());
  EXPECT_TRUE(log.isEmpty());
  ExpectDeployed();
  for (const QString &p : {Tool(), Image(), Image10()}) EXPECT_EQ(QFileInfo(p).lastModified(), old) << p.toStdString();
}

TEST_F(Deployment, OnlyTheMissingFileIsWrittenAgain) {
  ASSERT_TRUE(Deploy());
  ASSERT_TRUE(QFile::remove(Image()));
  log.clear();
  EXPECT_TRUE(Deploy());
  EXPECT_EQ(log, QStringList{" Make File " + Image()});
  ExpectDeployed();
}

TEST_F(Deployment, ForeignFilesOfTheSameNameAreLeftAlone) {
  ASSERT_TRUE(QDir().mkpath(base.tool()));
  kxtest::WriteFile(Tool(), "other tool");
  kxtest::WriteFile(Path("notes.txt"), "mine");
  EXPECT_TRUE(Deploy());
  EXPECT_EQ(log, (QStringList{" Make File " + Image(), " Make File " + Image10()}));
  EXPECT_EQ(kxtest::ReadAll(Tool()), QByteArray("other tool"));
  EXPECT_EQ(kxtest::ReadAll(Path("notes.txt")), QByteArray("mine"));
}

TEST_F(Deployment, FolderThatCannotBeMadeStopsBeforeAnyFile) {
  kxtest::WriteFile(base.tool(), "a file where the folder belongs");
  EXPECT_FALSE(Deploy());
  EXPECT_EQ(log, (QStringList{" Make Dir " + base.tool(), " False! MakeDir", "<save>"}));
  EXPECT_EQ(boxes, QStringList{"Can not Make directory [" + base.tool() + "]"});
  EXPECT_EQ(kxtest::ReadAll(base.tool()), QByteArray("a file where the folder belongs"));
}

TEST_F(Deployment, FileThatCannotBeMadeIsReportedAndTheOthersStillCome) {
  QMap<QString, QByteArray> partial = kPayloads;
  partial.remove("DIGIDEC_A57");
  EXPECT_FALSE(Deploy(kxtest::ReaderOf(partial)));
  EXPECT_EQ(log, (QStringList{" Make Dir " + base.tool(), " Make File " + Tool(), " Make File " + Image(),
                              "Can nor Make file [" + Image() + "]", "<save>", " Make File " + Image10()}));
  EXPECT_EQ(errors, QStringList{"Payload DIGIDEC_A57 not found."});
  EXPECT_TRUE(boxes.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(Image()));
  EXPECT_EQ(kxtest::ReadAll(Image10()), kPayloads["DIGIDEC_10_A57"]);
  // The next start tries the missing file again.
  log.clear();
  EXPECT_TRUE(Deploy());
  EXPECT_EQ(log, QStringList{" Make File " + Image()});
}

TEST(DeploymentPlace, BesideTheExecutableWhateverTheWorkingDirectory) {
  kxtest::ScopedWorkDir elsewhere;
  EXPECT_EQ(kx::digidec::BaseDirectory(), QCoreApplication::applicationDirPath());
  EXPECT_EQ(kx::digidec::ToolDirectory(), QCoreApplication::applicationDirPath() + "/digidecw");
}

// Beside the executable where "digidecw" is, or can be made, writable there; otherwise in
// the user's data folder, as for a system-wide install run by a normal user.
TEST(DeploymentPlace, TheUsersDataFolderWhereTheExecutablesFolderCannotBeWritten) {
  struct Case {
    const char *what;
    bool toolFolderThere, exeDirLocked, toolFolderLocked, beside;
  };
  const Case cases[] = {
      {"writable, first start", false, false, false, true},
      {"writable, deployed before", true, false, false, true},
      {"read-only, first start", false, true, false, false},
      {"read-only, but a writable digidecw deployed before", true, true, false, true},
      {"writable, but digidecw read-only", true, false, true, false},
  };
  // The read-only cases need chattr; where it cannot be used they are left out.
  const QString noChattr = kxtest::Immutable::Unavailable(QDir::tempPath());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.what);
    if ((c.exeDirLocked || c.toolFolderLocked) && !noChattr.isEmpty()) continue;
    QTemporaryDir exeDir;
    const QString tool = exeDir.filePath("digidecw");
    if (c.toolFolderThere) {
      ASSERT_TRUE(QDir().mkpath(tool));
    }
    std::optional<kxtest::Immutable> lockTool, lockExe;
    if (c.toolFolderLocked) {
      ASSERT_TRUE(lockTool.emplace(tool).ok());
    }
    if (c.exeDirLocked) {
      ASSERT_TRUE(lockExe.emplace(exeDir.path()).ok());
    }
    EXPECT_EQ(kx::digidec::ChooseBaseDirectory(exeDir.path(), "/home/u/.local/share/kx7391updater"),
              c.beside ? exeDir.path() : QString("/home/u/.local/share/kx7391updater"));
  }
  if (!noChattr.isEmpty()) GTEST_SKIP() << "the read-only cases: " << noChattr.toStdString();
}

TEST(DeploymentPlace, TheUsersDataFolderFollowsXdgDataHome) {
  const QByteArray saved = qgetenv("XDG_DATA_HOME");
  const QByteArray home = qgetenv("HOME");
  qputenv("XDG_DATA_HOME", "/srv/data-of-u");
  EXPECT_EQ(kx::digidec::UserDataDirectory(), QString("/srv/data-of-u/kx7391updater"));
  qunsetenv("XDG_DATA_HOME");
  EXPECT_EQ(kx::digidec::UserDataDirectory(), QString::fromLocal8Bit(home) + "/.local/share/kx7391updater");
  if (!saved.isNull()) qputenv("XDG_DATA_HOME", saved);
}

TEST(Payloads, TheUpdaterCarriesTheBuiltWriterStandIn) {
  const QByteArray carried = kx::digidec::ReadPayload("WRITER_CMD_EXEC");
  EXPECT_FALSE(carried.isEmpty());
  EXPECT_EQ(carried, kxtest::ReadAll(QCoreApplication::applicationDirPath() + "/kx7391-digidec-writer"));
  EXPECT_THROW(kx::digidec::ReadPayload("NO_SUCH_PAYLOAD"), kx::EFileError);
}

// The main window's start-up step: a failure ends the updater once start-up is over.
TEST(MakeExeAndA57, FailureLogsTellsAndAsksForTheEnd) {
  kxtest::ScopedWorkDir work;
  ToolBase base;
  kxtest::MessageBoxes boxes;
  kxtest::WriteFile(base.tool(), "not a folder");
  FormMain = new TFormMain;
  FormMain->FormCreate();
  EXPECT_TRUE(FormMain->EndRequested);
  EXPECT_TRUE(boxes.texts.contains("Can not Make directory [" + base.tool() + "]"));
  const QStringList texts = kxtest::LogTexts();
  ASSERT_GE(texts.size(), 4);
  EXPECT_EQ(texts[2], " Make Dir " + base.tool());
  EXPECT_EQ(texts[3], " False! MakeDir");
  // Start-up goes on to its end before the updater ends.
  EXPECT_EQ(FormMain->Receiver.Carried().digiDec, QStringLiteral("507A"));
  delete FormMain;
  FormMain = nullptr;
}

TEST(MakeExeAndA57, SuccessLetsTheUpdaterGoOn) {
  kxtest::ScopedWorkDir work;
  ToolBase base;
  kx::digidec::SetPayloads(kxtest::ReaderOf(kPayloads));
  FormMain = new TFormMain;
  FormMain->FormCreate();
  EXPECT_FALSE(FormMain->EndRequested);
  const QStringList texts = kxtest::LogTexts();
  ASSERT_GE(texts.size(), 6);
  EXPECT_EQ(texts[2], " Make Dir " + base.tool());
  EXPECT_EQ(texts[5], " Make File " + base.toolFile("2507A_Cyclone10.A57"));
  delete FormMain;
  FormMain = nullptr;
}

// The real updater, started from another working directory, deploys beside itself.
// The images are laid out beforehand, so this needs no more than the tool it carries.
TEST(UpdaterProcess, DeploysBesideItsExecutableFromAnotherWorkingDirectory) {
  QTemporaryDir exeDir;
  kxtest::ScopedWorkDir work;
  const QString exe = exeDir.filePath("KX7391Updater");
  ASSERT_TRUE(QFile::copy(QCoreApplication::applicationDirPath() + "/KX7391Updater", exe));
  ASSERT_TRUE(QDir(exeDir.path()).mkpath("digidecw"));
  kxtest::WriteFile(exeDir.filePath("digidecw/2507A.A57"), "x");
  kxtest::WriteFile(exeDir.filePath("digidecw/2507A_Cyclone10.A57"), "y");

  QProcess p;
  p.setWorkingDirectory(work.path());
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert("QT_QPA_PLATFORM", "offscreen");
  env.insert("KX7391_PORT_DIR", work.file("ports"));
  env.insert("KX7391_READY_FILE", work.file("ready"));
  p.setProcessEnvironment(env);
  p.start(exe, {});
  ASSERT_TRUE(p.waitForStarted());
  const bool ready = kxtest::WaitUntil([&] { return QFile::exists(work.file("ready")); }, std::chrono::seconds(20));
  p.terminate();
  ASSERT_TRUE(p.waitForFinished(10000));
  ASSERT_TRUE(ready) << p.readAllStandardError().toStdString();

  const QString tool = exeDir.filePath("digidecw/KX7391DWriterCmd2507A.exe");
  EXPECT_EQ(kxtest::ReadAll(tool), kx::digidec::ReadPayload("WRITER_CMD_EXEC"));
  EXPECT_TRUE(QFileInfo(tool).isExecutable());
  EXPECT_EQ(kxtest::ReadAll(exeDir.filePath("digidecw/2507A.A57")), QByteArray("x"));
  EXPECT_FALSE(QFileInfo::exists(work.file("digidecw")));
  const QString log = QString::fromUtf8(kxtest::ReadAll(work.file("KX7391Updater_Log.txt")));
  EXPECT_TRUE(log.contains(" Make File " + tool)) << log.toStdString();
  EXPECT_FALSE(log.contains(" Make Dir "));
}

}  // namespace
