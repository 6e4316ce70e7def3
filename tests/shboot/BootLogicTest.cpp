// The writer's plain rules: block frames and their checksum, the time rules, the
// board table and the texts of the status panel.
#include <gtest/gtest.h>

#include <QTime>
#include <vector>

#include "shboot/BoardSetup.h"
#include "shboot/BootFrame.h"
#include "tests/support/TestSupport.h"

namespace sh = kx::shboot;

namespace {

using Block = std::array<std::uint8_t, sh::kBlockSize>;

Block Filled(std::uint8_t value) {
  Block b;
  b.fill(value);
  return b;
}

struct FrameCase {
  const char *name;
  std::uint32_t address;
  Block data;
  bool sent;
  std::uint8_t checkHigh;
  std::uint8_t checkLow;
};

Block OneByte(int index, std::uint8_t value) {
  Block b = Filled(0xFF);
  b[index] = value;
  return b;
}

Block Ramp() {
  Block b;
  for (int i = 0; i < sh::kBlockSize; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

}  // namespace

TEST(BlockFrame, TableOfFrames) {
  // Checksums worked out by hand: S = address bytes + data bytes, check = 0x10000 - S.
  const FrameCase cases[] = {
      // S = 0x01 + 0x23 + 0x80 = 0xA4 -> 0xFF5C.
      {"zeros at 0x12380", 0x12380, Filled(0x00), true, 0xFF, 0x5C},
      // S = 128 * 0xFF = 0x7F80 -> 0x8080; blank, so not sent.
      {"blank at 0", 0x0, Filled(0xFF), false, 0x80, 0x80},
      // S = 0x03 + 0xFF + 0x80 + 127 * 0xFF + 0xFE = 0x0182 + 0x7E81 + 0xFE = 0x8101 -> 0x7EFF.
      {"one byte not 0xFF at the last block", 0x3FF80, OneByte(127, 0xFE), true, 0x7E, 0xFF},
      // S = 0x01 + 0x00 + 0x00 + 0..127 (8128 = 0x1FC0) = 0x1FC1 -> 0xE03F.
      {"ramp at 0x10000", 0x10000, Ramp(), true, 0xE0, 0x3F},
      // Largest sum of an in-range block: 0x03 + 0xFF + 0x80 + 128 * 0xFE = 0x0182 + 0x7F00 = 0x8082 -> 0x7F7E.
      {"0xFE everywhere at the last block", 0x3FF80, Filled(0xFE), true, 0x7F, 0x7E},
  };
  for (const FrameCase &c : cases) {
    SCOPED_TRACE(c.name);
    sh::BlockFrame frame;
    frame.fill(0xA5);
    EXPECT_EQ(sh::BuildBlockFrame(c.address, c.data, frame), c.sent);
    EXPECT_EQ(frame[0], (c.address >> 16) & 0xFF);
    EXPECT_EQ(frame[1], (c.address >> 8) & 0xFF);
    EXPECT_EQ(frame[2], c.address & 0xFF);
    EXPECT_TRUE(std::equal(c.data.begin(), c.data.end(), frame.begin() + 3)) << "data bytes in address order";
    EXPECT_EQ(frame[131], c.checkHigh);
    EXPECT_EQ(frame[132], c.checkLow);
    // The receiver's view: all 131 bytes plus the 16-bit checksum are 0 modulo 0x10000.
    std::uint32_t sum = 0;
    for (int i = 0; i < 131; ++i) sum += frame[i];
    EXPECT_EQ((sum + (frame[131] << 8) + frame[132]) & 0xFFFF, 0u);
  }
}

TEST(BlockFrame, TheSpecimenFrameByteForByte) {
  std::vector<std::uint8_t> expected = {0x01, 0x23, 0x80};
  expected.insert(expected.end(), 128, 0x00);
  expected.push_back(0xFF);
  expected.push_back(0x5C);
  sh::BlockFrame frame;
  ASSERT_TRUE(sh::BuildBlockFrame(0x12380, Filled(0x00), frame));
  EXPECT_EQ(std::vector<std::uint8_t>(frame.begin(), frame.end()), expected);
}

TEST(BlockFrame, ChecksumOfSumsThatWrap) {
  EXPECT_EQ(sh::FrameChecksum(0), 0x0000);  // 0x10000 modulo 0x10000
  EXPECT_EQ(sh::FrameChecksum(1), 0xFFFF);
  EXPECT_EQ(sh::FrameChecksum(0xA4), 0xFF5C);
  EXPECT_EQ(sh::FrameChecksum(0x10000), 0x0000);
  EXPECT_EQ(sh::FrameChecksum(0x10001), 0xFFFF);
}

TEST(TimeRules, LimitsAreStrictlyGreaterAndSurviveTheWrap) {
  struct Case {
    std::uint32_t now, stamp, limit;
    bool passed;
  } cases[] = {
      {10000, 0, 10000, false},         // exactly the limit: not yet
      {10001, 0, 10000, true},          // one past it
      {500, 0, 500, false},
      {501, 0, 500, true},
      {4000, 0xFFFFF000u, 8000, true},          // 4096 + 4000 = 8096 ms across the wrap
      {0x00001F41u, 0xFFFFFFFFu, 8000, true},  // 8002 ms across the wrap
      {0x00001F3Fu, 0xFFFFFFFFu, 8000, false},  // 8000 ms across the wrap
  };
  for (const Case &c : cases) {
    EXPECT_EQ(sh::LimitPassed(c.now, c.stamp, c.limit), c.passed) << c.now << " - " << c.stamp << " > " << c.limit;
  }
}

TEST(BoardTable, EveryBoardAndTheMainBoardVariants) {
  struct Case {
    int board, shortRfu, blockVersion;
    const char *caption, *boot, *firmware, *picture;
    int item;
    bool bootFirst;
  } cases[] = {
      {0, 0, 0, "MainBoard  [", "BOOT_SH_7391_MAIN", "MAIN_NONE_SH_7391", "JPG_DIP_1ON", 1, true},
      {0, 0, 1, "MainBoard  [", "BOOT_SH_7391_MAIN", "MAIN_B_SH_7391", "JPG_DIP_1ON", 1, true},
      {0, 1, 0, "MainBoard  [", "BOOT_SH_7391_MAIN", "MAIN_R_SH_7391", "JPG_DIP_1ON", 1, true},
      {0, 1, 1, "MainBoard  [", "BOOT_SH_7391_MAIN", "MAIN_Q_SH_7391", "JPG_DIP_1ON", 1, true},
      {0, 2, -3, "MainBoard  [", "BOOT_SH_7391_MAIN", "MAIN_Q_SH_7391", "JPG_DIP_1ON", 1, true},
      {1, 1, 1, "Decoder  [", "BOOT_SH_7391_DECORD", "DECORD_SH_7391", "JPG_DIP_2ON", 0, false},
      {2, 0, 0, "Panel  [", "BOOT_SH_7391_PANEL", "PANEL_SH_7391", "JPG_DIP_23ON", 0, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::Message() << c.board << " rfu " << c.shortRfu << " block " << c.blockVersion);
    const auto s = sh::SetupForBoard(c.board, c.shortRfu, c.blockVersion);
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->captionPrefix, QString::fromLatin1(c.caption));
    EXPECT_EQ(s->bootResource, QString::fromLatin1(c.boot));
    EXPECT_EQ(s->firmwareResource, QString::fromLatin1(c.firmware));
    EXPECT_EQ(s->switchPicture, QString::fromLatin1(c.picture));
    EXPECT_EQ(s->bpsItem, c.item);
    EXPECT_EQ(s->bootDataBeforeLog, c.bootFirst);
  }
  EXPECT_FALSE(sh::SetupForBoard(3, 0, 0).has_value());
  EXPECT_FALSE(sh::SetupForBoard(-1, 0, 0).has_value());
}

TEST(BootData, LimitOfTheTransmitBuffer) {
  EXPECT_TRUE(sh::BootDataFits(2 + 2804));
  EXPECT_TRUE(sh::BootDataFits(2 + 5999));
  EXPECT_FALSE(sh::BootDataFits(2 + 6000));
  EXPECT_EQ(sh::BootTimingBitRate(0), 9600);
  EXPECT_EQ(sh::BootTimingBitRate(1), 19200);
  EXPECT_EQ(sh::BootTimingBitRate(-1), 0);
}

TEST(PanelTexts, AddressesAndTheCompletionLine) {
  EXPECT_EQ(sh::WriteAddressText(0x12380), QStringLiteral("Write adrs 00012380"));
  EXPECT_EQ(sh::SkipAddressText(0x3FF80), QStringLiteral("Skip adrs 0003FF80"));
  EXPECT_EQ(sh::SkipAddressText(0xABCDEF00u), QStringLiteral("Skip adrs ABCDEF00"));
  EXPECT_EQ(sh::CompletionText(QTime(12, 59, 58), QTime(13, 1, 3)),
            QStringLiteral("Writing complete. 12:59:58 - 13:01:03"));
  EXPECT_EQ(sh::CompletionText(QTime(0, 0, 0, 999), QTime(23, 5, 9)),
            QStringLiteral("Writing complete. 00:00:00 - 23:05:09"));
}
