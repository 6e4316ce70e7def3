#include <gtest/gtest.h>

#include "main/UpdatePlan.h"
#include "tests/support/TestSupport.h"

using kx::EvaluatePlan;
using kx::PlanInput;

namespace {
struct PlanCase {
  const char *name;
  QString receiver, main, decoder, panel, serial;
  int blockIn, shortIn;  // the serial number's block flag, ShortRfu before
  std::array<int, 4> decision;
  int blockOut, shortOut;
  QString mainLabel, digiLabel;
  bool caution;
};
}  // namespace

TEST(UpdatePlan, DecisionsLabelsAndFlags) {
  const QString kx = QStringLiteral(" KX7391D");
  const PlanCase cases[] = {
      {"all current, serial above the 0968 limit", kx, "403A", "3N5A", "511A", "09680661", 0, 0, {2, 2, 2, 3}, 0, 0,
       "403A => 403A", "(507A)=> 507A", false},
      {"R after a 0971 serial: Q image, update", kx, "402AR", "3N5A", "511A", "09710140", 1, 0, {1, 2, 2, 1}, 1, 1,
       "402AR => 403AQ", "(307A)=> 507A", true},
      {"B after a digit: both flags 40", kx, "403B", "3N5A", "511A", "", 0, 0, {3, 2, 2, 0}, 40, 40,
       "403B => 403AQ", "(307A)=> 507A", true},
      {"B after a letter on a 0971 serial: exactly 1", kx, "403AB", "3N5A", "511A", "", 1, 1, {2, 2, 2, 0}, 1, 0,
       "403AB => 403AB", "(307A)=> 507A", true},
      {"B after a digit on a 0971 serial: 41, the Q image", kx, "403B", "3N5A", "511A", "", 1, 0, {3, 2, 2, 0}, 41,
       40, "403B => 403AQ", "(307A)=> 507A", true},
      {"one-character B counts itself as the character before", kx, "B", "", "", "", 0, 0, {3, 0, 0, 0}, 1, 0,
       "B => 403AB", "(307A)=> 507A", true},
      {"Q sets both", kx, "402AQ", "3N4A", "510A", "", 0, 0, {1, 1, 1, 1}, 1, 1, "402AQ => 403AQ",
       "(307A)=> 507A", true},
      {"other letter replaces ShortRfu", kx, "402A", "", "", "", 0, 1, {1, 0, 0, 0}, 0, 0, "402A => 403A",
       "(307A)=> 507A", true},
      {"empty MainBoard version: the serial's block flag, ShortRfu kept", kx, "", "", "", "", 1, 1, {0, 0, 0, 0}, 1,
       1, " => 403AQ", "(307A)=> 507A", true},
      {"MainBoard starting with 5 or a letter: unknown family", kx, "503A", "4N5A", "611A", "", 0, 0, {3, 3, 3, 0},
       0, 0, "503A => 403A", "(307A)=> 507A", true},
      {"MainBoard compared on four characters", kx, "403", "3N6A", "512A", "", 0, 0, {1, 3, 3, 0}, 0, 0,
       "403 => 403A", "(307A)=> 507A", true},
      {"Decoder 4NCA is old", kx, "X", "4NCA", "", "", 0, 0, {3, 1, 0, 0}, 0, 0, "X => 403A", "(307A)=> 507A", true},
      {"old Decoder and Panel families", kx, "9", "A1", "4", "", 0, 0, {1, 1, 1, 1}, 0, 0, "9 => 403A",
       "(307A)=> 507A", true},
      {"Panel 1 forces DigiDec 1 above the limit", kx, "403A", "3N5A", "510A", "09689999", 0, 0, {2, 2, 1, 1}, 0, 0,
       "403A => 403A", "(307A)=> 507A", true},
      {"0968 limit itself is old", kx, "403A", "3N5A", "511A", "09680660", 0, 0, {2, 2, 2, 1}, 0, 0,
       "403A => 403A", "(307A)=> 507A", true},
      {"0971 above limit", kx, "403A", "3N5A", "511A", "09710141", 0, 0, {2, 2, 2, 3}, 0, 0, "403A => 403A",
       "(507A)=> 507A", false},
      {"9-character 0971 still gives a decision", kx, "403A", "3N5A", "511A", "097100001", 0, 0, {2, 2, 2, 1}, 0,
       0, "403A => 403A", "(307A)=> 507A", true},
      {"ordinal comparison: lower-case sorts above upper-case", kx, "403a", "3n5A", "511a", "", 0, 0,
       {3, 3, 3, 0}, 0, 0, "403a => 403A", "(307A)=> 507A", true},
  };
  for (const PlanCase &c : cases) {
    SCOPED_TRACE(c.name);
    PlanInput in;
    in.receiver = c.receiver;
    in.mainVer = c.main;
    in.decoderVer = c.decoder;
    in.panelVer = c.panel;
    in.serialNumber = c.serial;
    in.serialBlockVersion = c.blockIn;
    in.shortRfu = c.shortIn;
    const kx::PlanResult r = EvaluatePlan(in);
    EXPECT_FALSE(r.otherModel);
    EXPECT_EQ(r.decision, c.decision);
    EXPECT_EQ(r.blockVersion, c.blockOut);
    EXPECT_EQ(r.shortRfu, c.shortOut);
    EXPECT_EQ(r.mainLabel, c.mainLabel);
    EXPECT_EQ(r.digiDecLabel, c.digiLabel);
    EXPECT_EQ(r.cautionVisible, c.caution);
    ASSERT_EQ(r.logLines.size(), 4);
    EXPECT_EQ(r.logLines[0], QStringLiteral(" MainBoard (%1): %2").arg(c.decision[0]).arg(c.mainLabel));
    EXPECT_EQ(r.logLines[1], QStringLiteral(" Decorder (%1): %2 => 3N5A").arg(c.decision[1]).arg(c.decoder));
    EXPECT_EQ(r.logLines[2], QStringLiteral(" Panel (%1): %2 => 511A").arg(c.decision[2]).arg(c.panel));
    EXPECT_EQ(r.logLines[3], QStringLiteral(" DigiDec (%1): %2").arg(c.decision[3]).arg(c.digiLabel));
  }
}

TEST(UpdatePlan, AnotherModelChangesNothingButSaysSo) {
  PlanInput in;
  in.receiver = QStringLiteral("KX9999");
  in.mainVer = QStringLiteral("402AQ");
  in.serialBlockVersion = 1;
  const kx::PlanResult r = EvaluatePlan(in);
  EXPECT_TRUE(r.otherModel);
  EXPECT_EQ(r.blockVersion, 1);
  EXPECT_EQ(r.shortRfu, 0);
  EXPECT_EQ(r.logLines, QStringList{" receiver is not KX7391D"});
}

TEST(UpdatePlan, VersionHoldingPercentSignsIsLoggedAsIs) {
  PlanInput in;
  in.receiver = QStringLiteral("KX7391D");
  in.mainVer = QStringLiteral("%1%2");
  const kx::PlanResult r = EvaluatePlan(in);
  EXPECT_EQ(r.logLines[0], QStringLiteral(" MainBoard (3): %1%2 => 403A"));
}
