#include <gtest/gtest.h>

#include <QByteArray>
#include <QStringList>

#include "main/VersionCheck.h"
#include "tests/support/TestSupport.h"

using kx::VersionCheckFields;
using kx::VersionLineResult;

namespace {

struct ParserRun {
  VersionCheckFields f;
  QStringList log;
  int saves = 0;
  std::vector<VersionLineResult> results;  // one per CR

  VersionLineResult Feed(const QByteArray &bytes) {
    kx::VersionCheckLog sink{[this](const QString &t) { log << t; }, [this] { ++saves; }};
    VersionLineResult last = VersionLineResult::None;
    for (char c : bytes) {
      last = kx::FeedVersionByte(f, std::uint8_t(c), sink);
      if (c == '\r') results.push_back(last);
      if (last != VersionLineResult::None) break;
    }
    return last;
  }
};

struct ParseCase {
  const char *name;
  QByteArray bytes;
  VersionLineResult result;
  const char *rs, *ms, *ds, *ps;
  int vr_state;
  int flag;
  QStringList log;
};

}  // namespace

TEST(VersionParser, ByteStreamsGiveFieldsStateAndLog) {
  const ParseCase cases[] = {
      {"complete answer, blank after VER-C stays in the identification",
       "VER-C KX7391D_Main_403AB D3N5A X\r\nVER-P: 511A   \r\n", VersionLineResult::Complete, " KX7391D",
       "403AB", "3N5A", "511A", 2, 0,
       {"VR res:VER-C KX7391D_Main_403AB D3N5A X", "VRP res:VER-P: 511A   "}},
      {"no blank after the Decoder version: not complete", "VER-CKX7391D_Main_402A D3N4A\r",
       VersionLineResult::None, "KX7391D", "402A", "", "", 0, 0, {"VR res:VER-CKX7391D_Main_402A D3N4A"}},
      {"VER-P before VER-C does not complete", "VER-P: 510A\rVER-CKX7391D Main402A D3N4A \r",
       VersionLineResult::None, "KX7391D ", "402A", "3N4A", "510A", 1, 0,
       {"VRP res:VER-P: 510A", "VR res:VER-CKX7391D Main402A D3N4A "}},
      {"an earlier underscore keeps every character", "VER-CA_B_Main403A D3N5A \r", VersionLineResult::None,
       "A_B_", "403A", "3N5A", "", 1, 0, {"VR res:VER-CA_B_Main403A D3N5A "}},
      {"no Main: nothing extracted", "VER-C KX7391D 403A D3N5A \r", VersionLineResult::None, "", "", "", "", 0,
       0, {"VR res:VER-C KX7391D 403A D3N5A "}},
      {"no blank-D: identification only", "VER-CX_Main_403A\r", VersionLineResult::None, "X", "", "", "", 0, 0,
       {"VR res:VER-CX_Main_403A"}},
      {"LF CR and lone CR end lines too", "\n\rVER-CX_Main_1 D2 \n\rVER-P:-9\r", VersionLineResult::Complete,
       "X", "1", "2", "9", 2, 0, {"VR res:VER-CX_Main_1 D2 ", "VRP res:VER-P:-9"}},
      {"high bytes become Latin-1 characters", "VER-C\xe9_Main_1 D2 \rVER-P: \xff\x01\r",
       VersionLineResult::Complete, "\u00e9", "1", "2", "\u00ff", 2, 0,
       {"VR res:VER-C\u00e9_Main_1 D2 ", "VRP res:VER-P: \u00ff\u0001"}},
      {"not ready, then VRP: retry", "Can not FIND VER-C X_Main_1 D2 \rVER-P: 5\r", VersionLineResult::Retry,
       "", "", "", "5", 0, 1,
       {"VersionTest:Can not FIND VER-C X_Main_1 D2 ", "VersionTest:VER-P: 5", "VRP res:VER-P: 5"}},
      {"not ready: a later VER-C line stores nothing", "Can not FIND\rVER-CX_Main_1 D2 \r",
       VersionLineResult::None, "", "", "", "", 0, 1, {"VersionTest:Can not FIND", "VersionTest:VER-CX_Main_1 D2 "}},
      {"VER-P: at the end of the line gives an empty version", "VER-CX_Main_1 D2 \rVER-P:\r",
       VersionLineResult::Complete, "X", "1", "2", "", 2, 0, {"VR res:VER-CX_Main_1 D2 ", "VRP res:VER-P:"}},
  };
  for (const ParseCase &c : cases) {
    SCOPED_TRACE(c.name);
    ParserRun run;
    EXPECT_EQ(run.Feed(c.bytes), c.result);
    EXPECT_EQ(run.f.rs_tmp, QString::fromUtf8(c.rs));
    EXPECT_EQ(run.f.ms_tmp, QString::fromUtf8(c.ms));
    EXPECT_EQ(run.f.ds_tmp, QString::fromUtf8(c.ds));
    EXPECT_EQ(run.f.ps_tmp, QString::fromUtf8(c.ps));
    EXPECT_EQ(run.f.vr_state, c.vr_state);
    EXPECT_EQ(run.f.CanNotFindFlag, c.flag);
    EXPECT_EQ(run.log, c.log);
    EXPECT_TRUE(run.f.VR_str.isEmpty());
  }
}

TEST(VersionParser, LineSplitAcrossBlocksIsJoined) {
  ParserRun run;
  EXPECT_EQ(run.Feed("VER-CKX7391D_Ma"), VersionLineResult::None);
  EXPECT_EQ(run.Feed("in_402A D3N4A \r\nVER-P"), VersionLineResult::None);
  EXPECT_EQ(run.f.VR_str, QStringLiteral("VER-P"));
  EXPECT_EQ(run.Feed(": 510A\r"), VersionLineResult::Complete);
  EXPECT_EQ(run.f.ms_tmp, QStringLiteral("402A"));
  EXPECT_EQ(run.f.ps_tmp, QStringLiteral("510A"));
  EXPECT_EQ(run.log.last(), QStringLiteral("VRP res:VER-P: 510A"));
}

TEST(VersionParser, LogIsSavedAfterEachLoggedLine) {
  ParserRun run;
  run.Feed("junk\rVER-CX_Main_1 D2 \r");
  EXPECT_EQ(run.saves, 1);
  run.Feed("VER-P: 3\r");
  EXPECT_EQ(run.saves, 2);
}
