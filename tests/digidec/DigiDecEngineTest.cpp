// The DigiDec run engine on QtCore alone (no widgets linked), with the real writer
// stand-in run fast: a run's end by its tool, the stop of a hung tool with its whole
// process group, and updaters that share one tool folder. The view records what a
// window would show.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFileInfo>
#include <csignal>
#include <memory>

#include "digidec/DigiDecRun.h"
#include "digidec/RunLock.h"
#include "tests/digidec/DigiDecToolSupport.h"

inline void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }
inline void PrintTo(const QStringList &l, std::ostream *os) { *os << l.join(QStringLiteral(" | ")).toStdString(); }

namespace dd = kx::digidec;
using Board = dd::DigiDecRunView::Board;
using Outcome = dd::DigiDecRunView::Outcome;

namespace {

struct RecordingView : dd::DigiDecRunView {
  QStringList lines, messages, errors;
  std::vector<Board> boards;
  std::vector<Outcome> outcomes;
  QString exit;
  int bar1 = -1, bar2 = -1;
  void LogLine(const QString &l) override { lines.append(l); }
  void Message(const QString &t) override { messages.append(t); }
  void Bars(int a, int b) override { bar1 = a, bar2 = b; }
  void BoardState(Board s) override { boards.push_back(s); }
  void ErrorMessage(const QString &t) override { errors.append(t); }
  void RunEnded(Outcome o, const QString &e) override {
    outcomes.push_back(o);
    exit = e;
  }
};

// One updater: its own operation log, its view and its engine on the shared tool folder.
struct Updater {
  Updater() : run(dd::DigiDecRunLog{[this](const QString &t) { log.append(t); }, [this] { ++saves; }}) {
    run.SetView(&view);
  }
  bool Started() {
    return kxtest::WaitFor([&] { return !view.boards.empty() || !view.outcomes.empty(); }) && run.Running();
  }
  bool Ended(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    return kxtest::WaitFor([&] { return !view.outcomes.empty(); }, limit);
  }
  QStringList log;
  int saves = 0;
  RecordingView view;
  dd::DigiDecRun run;
};

class Engine : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char *v : {"KX7391_WRITER_FAIL", "KX7391_WRITER_QUIET", dd::kHungSecondsVariable}) qunsetenv(v);
    qputenv("KX7391_WRITER_SECONDS", "1");
    ASSERT_TRUE(kxtest::DeployRunnable(base));
  }
  void TearDown() override {
    for (const char *v : {"KX7391_WRITER_SECONDS", "KX7391_WRITER_FAIL", "KX7391_WRITER_QUIET",
                          dd::kHungSecondsVariable})
      qunsetenv(v);
  }
  kxtest::ToolBase base;
};

TEST_F(Engine, SuccessfulRunReportsTheBoardWrittenAndEndsWithTheTool) {
  // A tool that writes steadily is never hung, however short the limit: the poll at 2 s
  // comes well after the limit, during the run.
  qputenv(dd::kHungSecondsVariable, "0.5");
  qputenv("KX7391_WRITER_SECONDS", "3");
  Updater u;
  u.run.Start();
  ASSERT_TRUE(u.Started());
  EXPECT_EQ(u.log, (QStringList{"DigiDec[WRITE] clicked",
                                "cmd [-c \"cd digidecw && exec ./KX7391DWriterCmd2507A.exe 2507A.A57 "
                                "2507A_Cyclone10.A57\"]",
                                " execute WriterCmd"}));
  EXPECT_TRUE(u.run.Timer()->isActive());
  EXPECT_TRUE(dd::RunLock::HeldElsewhere(base.tool()));
  bool everHung = false, polled = false;
  QObject::connect(u.run.Timer(), &QTimer::timeout, [&] {
    polled = true;
    everHung = everHung || u.run.Hung();
  });
  ASSERT_TRUE(u.Ended());
  EXPECT_TRUE(polled);
  EXPECT_FALSE(everHung);
  EXPECT_EQ(u.view.outcomes, std::vector<Outcome>{Outcome::Succeeded});
  EXPECT_EQ(u.view.boards, (std::vector<Board>{Board::Running, Board::Written}));
  EXPECT_EQ(u.view.bar1, 100);
  EXPECT_EQ(u.view.bar2, 100);
  EXPECT_EQ(u.view.messages.last(), "I:Success");
  EXPECT_EQ(u.log.last(), " WriterCmd [I:Success]");
  // Every handled line reached the view, "P:" lines too; shown ones are logged.
  EXPECT_EQ(u.view.lines.size(), kx::digidec::SplitLines(kxtest::ReadFile(base.toolFile("log.txt"))).size());
  EXPECT_EQ(u.log.filter(" WriterCmd [").size(), u.view.messages.size());
  EXPECT_TRUE(u.run.Succeeded());
  EXPECT_FALSE(u.run.Running());
  EXPECT_FALSE(u.run.Timer()->isActive());
  EXPECT_FALSE(dd::RunLock::HeldElsewhere(base.tool()));
  EXPECT_TRUE(u.view.errors.isEmpty());
}

TEST_F(Engine, ToolThatEndsWithoutSuccessFailsTheRunWithHowItEnded) {
  struct Case {
    const char *fail;
    QStringList lastMessages;
    QString exit;
  };
  const Case cases[] = {
      {"error", {"E:Write error at 0x00040000", "WriterCmd ended without Success: exit code 1"}, "exit code 1"},
      {"crash", {"WriterCmd ended without Success: killed by signal 6"}, "killed by signal 6"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.fail);
    qputenv("KX7391_WRITER_FAIL", c.fail);
    Updater u;
    u.run.Start();
    ASSERT_TRUE(u.Ended());
    EXPECT_EQ(u.view.outcomes, std::vector<Outcome>{Outcome::Failed});
    EXPECT_EQ(u.view.exit, c.exit);
    EXPECT_EQ(u.view.boards, (std::vector<Board>{Board::Running, Board::Failed}));
    ASSERT_GE(u.view.messages.size(), c.lastMessages.size());
    EXPECT_EQ(u.view.messages.mid(u.view.messages.size() - c.lastMessages.size()), c.lastMessages);
    EXPECT_EQ(u.log.last(), " " + c.lastMessages.last());
    EXPECT_FALSE(u.run.Succeeded());
    EXPECT_FALSE(u.run.Timer()->isActive());
    EXPECT_FALSE(dd::RunLock::HeldElsewhere(base.tool()));
  }
}

// A tool that never writes and ignores SIGTERM, with a second process in its group.
TEST_F(Engine, HungToolIsStoppedWithItsWholeProcessGroup) {
  qputenv(dd::kHungSecondsVariable, "0.5");
  kxtest::InstallScriptTool(base, kxtest::kHungToolWithChild);
  Updater u;
  u.run.Start();
  ASSERT_TRUE(u.Started());
  EXPECT_FALSE(u.run.Hung());
  const pid_t group = u.run.ProcessGroup();
  ASSERT_GT(group, 0);
  EXPECT_EQ(::getpgid(static_cast<pid_t>(u.run.Process()->processId())), group);
  ASSERT_TRUE(kxtest::WaitFor([&] { return kxtest::LiveProcessesOfGroup(group) >= 3; }));
  ASSERT_TRUE(kxtest::WaitFor([&] { return u.run.Hung(); }, std::chrono::seconds(5)));
  EXPECT_TRUE(u.run.Running());

  bool gone = false;
  QObject::connect(&u.run, &dd::DigiDecRun::ToolGone, [&] { gone = true; });
  u.run.Stop();
  // The run is over at once; the tool goes down behind it.
  EXPECT_FALSE(u.run.Running());
  EXPECT_FALSE(u.run.Hung());
  EXPECT_EQ(u.view.outcomes, std::vector<Outcome>{Outcome::Stopped});
  EXPECT_EQ(u.view.boards, (std::vector<Board>{Board::Running, Board::Failed}));
  EXPECT_EQ(u.log.last(), "DigiDec write stopped: the board may be left unwritten. Write it again.");
  EXPECT_EQ(u.view.messages.last(), u.log.last());
  // No new tool beside the one going down; the folder stays held until it is gone.
  u.run.Start();
  EXPECT_EQ(u.log.last(), " WriterCmd is running already: not started again");
  EXPECT_TRUE(dd::RunLock::HeldElsewhere(base.tool()));

  ASSERT_TRUE(kxtest::WaitFor([&] { return gone; }, std::chrono::seconds(5)));
  EXPECT_EQ(kxtest::LiveProcessesOfGroup(group), 0);
  EXPECT_FALSE(u.run.ToolAlive());
  EXPECT_FALSE(dd::RunLock::HeldElsewhere(base.tool()));
  EXPECT_EQ(u.view.outcomes.size(), 1u);
}

// Two updaters on one PC share the tool folder. A's run fails, then B's succeeds: A takes
// nothing of B's run. During A's run B's WRITE START is refused.
TEST_F(Engine, RunOfAnotherUpdaterAfterOwnRunReachesNothingOfIt) {
  qputenv("KX7391_WRITER_SECONDS", "2");
  qputenv("KX7391_WRITER_FAIL", "error");
  Updater a, b;
  a.run.Start();
  ASSERT_TRUE(a.Started());
  b.run.Start();
  EXPECT_EQ(b.log, (QStringList{"DigiDec[WRITE] clicked", " WriterCmd is running from another updater: not started"}));
  ASSERT_EQ(b.view.errors.size(), 1);
  EXPECT_TRUE(b.view.errors[0].startsWith("The writer tool is running from another KX7391Updater"));
  EXPECT_FALSE(b.run.Running());
  ASSERT_TRUE(a.Ended());
  EXPECT_EQ(a.view.outcomes, std::vector<Outcome>{Outcome::Failed});

  qunsetenv("KX7391_WRITER_FAIL");
  const QStringList aLog = a.log;
  const QStringList aLines = a.view.lines;
  b.run.Start();
  ASSERT_TRUE(b.Ended());
  EXPECT_EQ(b.view.outcomes, std::vector<Outcome>{Outcome::Succeeded});
  // Long enough for a poll of A's after B's end.
  kxtest::WaitFor([] { return false; }, std::chrono::milliseconds(2300));
  EXPECT_FALSE(a.log.contains(" WriterCmd [I:Success]"));
  EXPECT_EQ(a.log, aLog);
  EXPECT_EQ(a.view.lines, aLines);
  EXPECT_EQ(a.view.boards, (std::vector<Board>{Board::Running, Board::Failed}));
  EXPECT_FALSE(a.run.Succeeded());
  // B took only its own tool's lines, A's first one not among them.
  EXPECT_EQ(b.view.lines.filter("I:DigiDec writer 2507A").size(), 1);
  EXPECT_TRUE(b.view.messages.filter("E:Write error").isEmpty());
}

// An updater started while another's run goes on, whose own run then fails, takes none
// of that run's lines, its "I:Success" least of all.
TEST_F(Engine, UpdaterStartedDuringAnothersRunTakesNoneOfItsLines) {
  // Long enough for A's first poll (at 2 s) to come well inside its run.
  qputenv("KX7391_WRITER_SECONDS", "4");
  Updater a;
  a.run.Start();
  ASSERT_TRUE(a.Started());
  ASSERT_TRUE(kxtest::WaitFor([&] { return a.view.lines.size() >= 3; }));
  Updater c;
  c.run.FormCreate();
  EXPECT_EQ(c.log, QStringList{" digidecw/log.txt belongs to a run of another updater: not moved"});
  EXPECT_TRUE(QFileInfo::exists(base.toolFile("log.txt")));
  ASSERT_TRUE(a.Ended());
  EXPECT_EQ(a.view.outcomes, std::vector<Outcome>{Outcome::Succeeded});

  qputenv("KX7391_WRITER_FAIL", "error");
  qputenv("KX7391_WRITER_SECONDS", "0.5");
  c.run.Start();
  ASSERT_TRUE(c.Ended());
  EXPECT_EQ(c.view.outcomes, std::vector<Outcome>{Outcome::Failed});
  EXPECT_FALSE(c.log.contains(" WriterCmd [I:Success]"));
  EXPECT_FALSE(c.run.Succeeded());
  EXPECT_EQ(c.view.boards, (std::vector<Board>{Board::Running, Board::Failed}));
  // Exactly its own tool's lines: one opening line, and what follows it.
  EXPECT_EQ(c.view.lines.filter("I:DigiDec writer 2507A").size(), 1);
  ASSERT_FALSE(c.view.lines.isEmpty());
  EXPECT_TRUE(c.view.lines.first().endsWith("I:DigiDec writer 2507A (simulated board)"));
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
