// The writer tool's stand-in as the updater carries it, run on its own.
#include <gtest/gtest.h>

#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <string_view>

#include "digidec/WriterLog.h"
#include "tests/digidec/DigiDecTestSupport.h"

namespace {

class WriterTool : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(QDir().mkpath(base.tool()));
    const auto payloads = kxtest::RunnablePayloads();
    kxtest::WriteFile(base.toolFile("KX7391DWriterCmd2507A.exe"), payloads["WRITER_CMD_EXEC"]);
    ASSERT_TRUE(QFile::setPermissions(base.toolFile("KX7391DWriterCmd2507A.exe"),
                                      QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner));
    kxtest::WriteFile(base.toolFile("2507A.A57"), payloads["DIGIDEC_A57"]);
    kxtest::WriteFile(base.toolFile("2507A_Cyclone10.A57"), payloads["DIGIDEC_10_A57"]);
  }
  // Runs the tool in its folder to its end; its exit as (normal exit, code).
  std::pair<bool, int> Run(const QStringList &args, const QString &fail = QString()) {
    QProcess p;
    p.setWorkingDirectory(base.tool());
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("KX7391_WRITER_SECONDS", "0.3");
    if (fail.isEmpty()) {
      env.remove("KX7391_WRITER_FAIL");
    } else {
      env.insert("KX7391_WRITER_FAIL", fail);
    }
    p.setProcessEnvironment(env);
    p.start(base.toolFile("KX7391DWriterCmd2507A.exe"), args);
    EXPECT_TRUE(p.waitForFinished(10000));
    return {p.exitStatus() == QProcess::NormalExit, p.exitCode()};
  }
  QByteArray Log() const { return kxtest::ReadAll(base.toolFile("log.txt")); }
  // The messages, each checked for its stamp.
  QStringList Messages() const {
    QStringList messages;
    static const QRegularExpression stamped(R"(^\d{4}/\d\d/\d\d \d\d:\d\d:\d\d\.\d{3}: (.*)$)");
    const QByteArray log = Log();
    EXPECT_TRUE(log.isEmpty() || log.endsWith("\r\n"));
    for (const QString &line : kx::digidec::SplitLines(log)) {
      const auto m = stamped.match(line);
      EXPECT_TRUE(m.hasMatch()) << line.toStdString();
      messages.append(m.captured(1));
    }
    return messages;
  }
  const QStringList kImages{"2507A.A57", "2507A_Cyclone10.A57"};
  kxtest::ToolBase base;
};

TEST_F(WriterTool, HealthyRunWritesTheBoardInTwoPassesAndSucceeds) {
  EXPECT_EQ(Run(kImages), std::make_pair(true, 0));
  const QStringList messages = Messages();
  ASSERT_GT(messages.size(), 40);
  EXPECT_TRUE(messages.first().startsWith("I:"));
  EXPECT_EQ(messages.last(), QStringLiteral("I:Success"));

  // Through the updater's rules: the overall bar takes every phase step, and each
  // phase bar fills before the next phase starts.
  static const QRegularExpression percent(R"(^P:[ \d]{2}\d%$)");
  QList<int> phaseSteps;
  int bar1 = 0, bar2 = 0;
  for (const QString &m : messages) {
    const QString line = "2025/07/01 09:05:00.000: " + m;
    if (m.startsWith("P:")) {
      EXPECT_TRUE(percent.match(m).hasMatch()) << m.toStdString();
    }
    const auto out = kx::digidec::CheckLine(line, bar1, bar2);
    if (out.bar1 != bar1) {
      if (!phaseSteps.isEmpty()) {
        EXPECT_EQ(bar2, 100) << "before " << m.toStdString();
      }
      phaseSteps.append(out.bar1);
    }
    bar1 = out.bar1;
    bar2 = out.bar2;
  }
  EXPECT_EQ(phaseSteps, (QList<int>{5, 15, 25, 30, 40, 50, 100}));
}

TEST_F(WriterTool, ImagesThatCannotBeWrittenAreRefused) {
  struct Case {
    const char *name;
    std::function<void()> spoil;
    QString error;
  };
  const QString image = base.toolFile("2507A.A57");
  const QString image10 = base.toolFile("2507A_Cyclone10.A57");
  const Case cases[] = {
      {"missing", [&] { QFile::remove(image10); }, "E:Can not open file [2507A_Cyclone10.A57]"},
      {"too short", [&] { kxtest::WriteFile(image, QByteArray(567044, 'x')); },
       "E:File size error [2507A.A57] 567044 bytes, 567045 expected"},
      // The two images swapped: each has the other's size.
      {"swapped", [&] { kxtest::WriteFile(image, QByteArray(kxtest::kImage10Size, 'x')); },
       "E:File size error [2507A.A57] 567419 bytes, 567045 expected"},
      {"a folder", [&] { QFile::remove(image); QDir().mkpath(image); }, "E:Can not read file [2507A.A57]"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    SetUp();
    QFile::remove(base.toolFile("log.txt"));
    c.spoil();
    EXPECT_EQ(Run(kImages), std::make_pair(true, 2));
    const QStringList messages = Messages();
    ASSERT_FALSE(messages.isEmpty());
    EXPECT_TRUE(messages.last().startsWith(c.error)) << messages.last().toStdString();
    EXPECT_FALSE(messages.contains("I:Erasing.."));
    QDir(image).removeRecursively();
  }
}

TEST_F(WriterTool, ChosenFailuresEndTheRunWithoutSuccess) {
  struct Case {
    const char *fail;
    bool normalExit;
    int code;
    const char *lastMessage;  // null: whatever the run had reached
  };
  const Case cases[] = {
      {"error", true, 1, "E:Write error at 0x00040000"},
      {"silent", true, 0, nullptr},
      {"crash", false, 0, nullptr},
      {"nolog", true, 4, nullptr},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail);
    QFile::remove(base.toolFile("log.txt"));
    const auto [normal, code] = Run(kImages, c.fail);
    EXPECT_EQ(normal, c.normalExit);
    if (c.normalExit) {
      EXPECT_EQ(code, c.code);
    }
    if (std::string_view(c.fail) == "nolog") {
      EXPECT_FALSE(QFileInfo::exists(base.toolFile("log.txt")));
      continue;
    }
    const QStringList messages = Messages();
    ASSERT_GT(messages.size(), 20);
    EXPECT_FALSE(messages.contains("I:Success"));
    if (c.lastMessage) {
      EXPECT_EQ(messages.last(), QString::fromUtf8(c.lastMessage));
    } else {
      EXPECT_FALSE(messages.last().startsWith("E:"));
    }
  }
}

TEST_F(WriterTool, AppendsToTheLogOfAnEarlierRun) {
  kxtest::WriteFile(base.toolFile("log.txt"), "2025/07/01 09:05:00.000: I:Success\r\n");
  Run({"2507A.A57"});
  const QStringList messages = Messages();
  ASSERT_EQ(messages.size(), 3);
  EXPECT_EQ(messages[0], QStringLiteral("I:Success"));
  EXPECT_TRUE(messages[2].startsWith("E:Usage"));
}

}  // namespace
