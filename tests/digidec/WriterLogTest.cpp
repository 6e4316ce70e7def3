// How a line of the writer tool's log moves the bars, and how the log is read.
#include <gtest/gtest.h>

#include "digidec/WriterLog.h"
#include "tests/support/TestSupport.h"

using kx::digidec::CheckLine;
using kx::digidec::LineOutcome;

namespace {

const QString kStamp = QStringLiteral("2025/07/01 09:05:12.345: ");

struct Step {
  const char *line;  // with the stamp prepended unless it starts with '!'
  int bar1;
  int bar2;
  int shows;
  bool success;
};

struct Sequence {
  const char *name;
  int bar1;
  int bar2;
  std::vector<Step> steps;
};

// Each sequence starts from its bars and applies its lines in order, as the poll does.
const Sequence kSequences[] = {
    {"FirstErasingFromZero", 0, 0, {{"I:Erasing..", 5, 0, 1, false}}},
    {"TwoPassesThenSuccess",
     0,
     0,
     {{"I:Erasing..", 5, 0, 1, false},
      {"I:Writing..", 15, 0, 1, false},
      {"I:Comparing..", 25, 0, 1, false},
      {"I:Erasing..", 30, 0, 1, false},
      {"I:Writing..", 40, 0, 1, false},
      {"I:Comparing..", 50, 0, 1, false},
      {"I:Success", 100, 100, 1, true}}},
    {"SevenEraseLinesHeldAt100",
     0,
     0,
     {{"I:Erasing..", 5, 0, 1, false},
      {"I:Erase 0x00000000", 5, 18, 1, false},
      {"I:Erase 0x00010000", 5, 36, 1, false},
      {"I:Erase 0x00020000", 5, 54, 1, false},
      {"I:Erase 0x00030000", 5, 72, 1, false},
      {"I:Erase 0x00040000", 5, 90, 1, false},
      {"I:Erase 0x00050000", 5, 100, 1, false},
      {"I:Erase 0x00060000", 5, 100, 1, false}}},
    {"PercentInTheThreeCharacters",
     15,
     0,
     {{"P: 45%", 15, 45, 0, false},
      {"P:100%", 15, 100, 0, false},
      {"P:abc%", 15, 0, 0, false},
      {"P:  7%", 15, 7, 0, false},
      {"P:999%", 15, 100, 0, false},
      {"P: -5%", 15, 0, 0, false},
      {"P:", 15, 0, 0, false}}},
    {"PhaseStepsHeldWithinTheBar",
     100,
     60,
     {{"I:Writing..", 100, 0, 1, false}, {"I:Comparing..", 100, 0, 1, false}}},
    {"ComparingFirstRoundsTowardZero", 0, 0, {{"I:Comparing..", 25, 0, 1, false}}},
    {"LineWithoutSeparatorChangesNothing", 40, 30, {{"!I:Erasing..", 40, 30, 0, false}, {"!P:99%", 40, 30, 0, false}}},
    {"SeparatorInsideTheMessageIsKept", 0, 0, {{"I:Note: P: 12%", 0, 12, 1, false}}},
    {"BothErrorAndInformationShownTwice", 20, 20, {{"E:USB I:retry", 20, 20, 2, false}}},
    {"ErrorShownOnce", 20, 20, {{"E:Write error at 0x00040000", 20, 20, 1, false}}},
    {"ExactAndCaseSensitive",
     10,
     10,
     {{"I:Erasing...", 10, 10, 1, false},
      {"i:Success", 10, 10, 0, false},
      {"I:Success ", 10, 10, 1, false},
      {"I:Erase", 10, 10, 1, false}}},
    {"OtherLinesAreLeftAlone", 10, 10, {{"D:debug", 10, 10, 0, false}, {"", 10, 10, 0, false}}},
};

class ProgressRules : public ::testing::TestWithParam<Sequence> {};

TEST_P(ProgressRules, LinesMoveTheBarsAsTheToolProgresses) {
  const Sequence &seq = GetParam();
  int bar1 = seq.bar1;
  int bar2 = seq.bar2;
  for (const Step &step : seq.steps) {
    const QString raw = QString::fromUtf8(step.line);
    const QString line = raw.startsWith('!') ? raw.mid(1) : kStamp + raw;
    SCOPED_TRACE(line.toStdString());
    const LineOutcome out = CheckLine(line, bar1, bar2);
    EXPECT_EQ(out.bar1, step.bar1);
    EXPECT_EQ(out.bar2, step.bar2);
    EXPECT_EQ(out.shows, step.shows);
    EXPECT_EQ(out.success, step.success);
    if (!raw.startsWith('!')) {
      EXPECT_EQ(out.message, raw);
    }
    bar1 = out.bar1;
    bar2 = out.bar2;
  }
}

INSTANTIATE_TEST_SUITE_P(Table, ProgressRules, ::testing::ValuesIn(kSequences),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(LogLines, SplitsOnLineEndsOfEitherKind) {
  EXPECT_EQ(kx::digidec::SplitLines("a: 1\r\nb: 2\nc: 3\r\n"), (QStringList{"a: 1", "b: 2", "c: 3"}));
  EXPECT_EQ(kx::digidec::SplitLines(""), QStringList());
  EXPECT_EQ(kx::digidec::SplitLines("\r\n\r\n"), (QStringList{"", ""}));
  // Read whole, as at start-up, a last line without an end still counts.
  EXPECT_EQ(kx::digidec::SplitLines("a: 1\r\nb: 2"), (QStringList{"a: 1", "b: 2"}));
  QString tail;
  EXPECT_EQ(kx::digidec::SplitLines("a: 1\r\nb: 2", &tail), QStringList{"a: 1"});
  EXPECT_EQ(tail, QStringLiteral("b: 2"));
}

TEST(LogLines, UnfinishedLastLineCountsOnlyOnceItStaysUnchanged) {
  kx::digidec::LogLineReader reader;
  EXPECT_EQ(reader.Lines("t: I:Erasing..\r\nt: I:Succ"), QStringList{"t: I:Erasing.."});
  // The tool finished the line meanwhile: taken whole, never in part.
  EXPECT_EQ(reader.Lines("t: I:Erasing..\r\nt: I:Success\r\n"), (QStringList{"t: I:Erasing..", "t: I:Success"}));
  // A tool that ended without a last line end: the line counts at the next read.
  EXPECT_EQ(reader.Lines("t: I:Erasing..\r\nt: E:Lost"), QStringList{"t: I:Erasing.."});
  EXPECT_EQ(reader.Lines("t: I:Erasing..\r\nt: E:Lost"), (QStringList{"t: I:Erasing..", "t: E:Lost"}));
  EXPECT_EQ(reader.Lines("t: I:Erasing..\r\nt: E:Lost"), (QStringList{"t: I:Erasing..", "t: E:Lost"}));
}

TEST(LogLines, PreviousLogIsNamedAfterItsLastChange) {
  EXPECT_EQ(kx::digidec::RotatedLogName(QDateTime(QDate(2025, 7, 1), QTime(9, 5, 59))),
            QStringLiteral("log_20250701_0905.txt"));
  EXPECT_EQ(kx::digidec::RotatedLogName(QDateTime(QDate(2025, 12, 31), QTime(23, 0))),
            QStringLiteral("log_20251231_2300.txt"));
  // An unknown file time gives the zero date rather than a broken name.
  EXPECT_EQ(kx::digidec::RotatedLogName(kx::digidec::FileTimeToLocalDateTime(QDateTime())),
            QStringLiteral("log_18991230_0000.txt"));
}

}  // namespace
