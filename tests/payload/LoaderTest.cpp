// The firmware image loader and the boot program loader on hand-made records.
#include <gtest/gtest.h>

#include <QFile>
#include <QStringList>
#include <string>
#include <utility>
#include <vector>

#include "payload/Loaders.h"
#include "platform/Dialogs.h"
#include "payload/SRecord.h"
#include "tests/support/TestSupport.h"

namespace {

using Bytes = std::vector<std::pair<std::size_t, int>>;  // offset, expected byte

void WriteFile(const QString &path, const std::string &text) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  ASSERT_EQ(f.write(text.data(), static_cast<qint64>(text.size())), static_cast<qint64>(text.size()));
}

std::string Join(const std::vector<std::string> &lines, const char *end) {
  std::string text;
  for (const auto &l : lines) text += l + end;
  return text;
}

struct MotCase {
  const char *what;
  std::vector<std::string> lines;
  std::string message;  // empty: no message
  bool result;          // MakeMotStream's result
  std::size_t size;     // image size afterwards
  Bytes bytes;
};

const std::vector<MotCase> kMotCases = {
    {"count 3 gives no data", {"S1030000FC"}, "Illegal S Format (length:3) [FC]", false, 0x40000, {{0, 0xFF}}},
    {"count not hex", {"S11G0000AABB"}, "Illegal S Format (length:0) [AABB]", false, 0x40000, {{0, 0xFF}}},
    {"eight-digit address is negative", {"S307FFFFE8001122C9"},
     "Illegal S Format (adrs FFFFE800) [1122C9]", false, 0x40000, {}},
    {"S2 at the address limit plus one", {"S2060400001122A0"}, "Illegal S Format (adrs 040000) [1122A0]",
     false, 0x40000, {}},
    {"address not hex", {"S1050G10AABB00"}, "Illegal S Format (adrs 0G10) [AABB00]", false, 0x40000, {}},
    {"address with a blank", {"S105 010AABB00"}, "Illegal S Format (adrs  010) [AABB00]", false, 0x40000, {}},
    {"S2 at the limit runs past the image, which grows",
     {"S2140" "3FFF8" "000102030405060708090A0B0C0D0E0F" "00"}, "", true, 0x40008,
     {{0x3FFF8, 0x00}, {0x3FFFF, 0x07}, {0x40000, 0x08}, {0x40007, 0x0F}}},
    {"S3 at the last address allowed", {"S3070003FFFF112200"}, "", true, 0x40001, {{0x3FFFF, 0x11}, {0x40000, 0x22}}},
    {"lower-case digits and a wrong checksum load", {"S1050010aaBb00"}, "", true, 0x40000,
     {{0x10, 0xAA}, {0x11, 0xBB}}},
    {"lower-case record type is skipped", {"s1050010AABB00"}, "", false, 0x40000, {{0x10, 0xFF}}},
    {"one digit short: the last byte takes the single digit", {"S1050010AAB"}, "", true, 0x40000,
     {{0x10, 0xAA}, {0x11, 0x0B}}},
    {"two digits short: not hex, the earlier byte stays", {"S1050010AA"}, "Illegal S Format (not HEX char.) [AA]",
     false, 0x40000, {{0x10, 0xAA}, {0x11, 0xFF}}},
    {"a blank in a data byte", {"S1050010A BB00"}, "Illegal S Format (not HEX char.) [A BB00]", false, 0x40000,
     {{0x10, 0xFF}}},
    {"only header and terminator", {"S00600004844521B", "S9030000FC"}, "", false, 0x40000, {{0, 0xFF}}},
    {"other record types and foreign lines are skipped",
     {"S5030001FB", "S70500000000FA", "S80400000000FB", "X1050010AABB00", "", "S1050020CCDD00"}, "", true,
     0x40000, {{0x10, 0xFF}, {0x20, 0xCC}}},
    {"later records overwrite, any order",
     {"S1050100AABB00", "S1050000CCDD00", "S1040101EE00"}, "", true, 0x40000,
     {{0x100, 0xAA}, {0x101, 0xEE}, {0x0, 0xCC}}},
    {"the first error ends the load", {"S1040000AA00", "S1030000FC", "S1040001BB00"},
     "Illegal S Format (length:3) [FC]", false, 0x40000, {{0, 0xAA}, {1, 0xFF}}},
};

class MotLoader : public ::testing::TestWithParam<MotCase> {};

TEST_P(MotLoader, FileAndPayloadRulesAgreeOnCrLfText) {
  const MotCase &c = GetParam();
  kxtest::ScopedWorkDir dir;
  for (const char *end : {"\r\n", "\n"}) {
    SCOPED_TRACE(end[0] == '\r' ? "CR LF" : "LF");
    const QString path = dir.file("firm.mot");
    WriteFile(path, Join(c.lines, end));
    QStringList messages;
    kx::MemoryStream image;
    const bool ok = kx::MakeMotStream(path, image, kx::kRomSize,
                                      [&](const QString &t) { messages.append(t); });
    EXPECT_EQ(ok, c.result);
    EXPECT_EQ(messages, c.message.empty() ? QStringList() : QStringList{QString::fromStdString(c.message)});
    ASSERT_EQ(image.Size(), c.size);
    for (auto [offset, value] : c.bytes) EXPECT_EQ(image.Bytes()[offset], value) << "offset " << offset;
  }
  // The payload rule on the CR LF text gives the same image and message.
  kx::MemoryStream image;
  const auto r = kx::srec::LoadMotText(Join(c.lines, "\r\n"), kx::srec::LineRule::Payload, image, kx::kRomSize);
  EXPECT_EQ(r.message, c.message);
  EXPECT_EQ(r.error, !c.message.empty());
  ASSERT_EQ(image.Size(), c.size);
  for (auto [offset, value] : c.bytes) EXPECT_EQ(image.Bytes()[offset], value) << "offset " << offset;
}

INSTANTIATE_TEST_SUITE_P(Records, MotLoader, ::testing::ValuesIn(kMotCases));

TEST(MotLoaderFile, MissingFileIsNamedAndLeavesTheImageEmpty) {
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
  kx::MemoryStream image;
  image.Fill(0x12, 10);
  const QString path = dir.file("no such dir/firm 403AB.mot");
  EXPECT_FALSE(kx::MakeMotStream(path, image, kx::kRomSize, kx::MessageBoxSink()));
  EXPECT_EQ(boxes.texts, QStringList{"Not Found Firmware File [" + path + "]"});
  EXPECT_EQ(image.Size(), 0u);
  // A directory is no firmware file either.
  EXPECT_FALSE(kx::MakeMotStream(dir.path(), image, kx::kRomSize, kx::MessageBoxSink()));
  EXPECT_EQ(boxes.texts.size(), 2);
}

TEST(MotLoaderFile, AFileLoadWritesNoImageCopy) {
  kxtest::ScopedWorkDir dir;
  WriteFile(dir.file("a.mot"), "S1040000AA00\r\n");
  kx::MemoryStream image;
  EXPECT_TRUE(kx::MakeMotStream(dir.file("a.mot"), image, kx::kRomSize, {}));
  EXPECT_FALSE(QFile::exists(dir.file("memmem.mem")));
}

TEST(MotLoaderLines, PayloadRuleEndsLinesOnlyAtCrLfAndLooksAt500Characters) {
  using kx::srec::LineRule;
  // A lone LF stays inside a payload line: the second record is part of the first's data.
  {
    kx::MemoryStream image;
    const std::string text = "S1050010AABB00\nS1050020CCDD00\r\n";
    kx::srec::LoadMotText(text, LineRule::Payload, image, kx::kRomSize);
    EXPECT_EQ(image.Bytes()[0x10], 0xAA);
    EXPECT_EQ(image.Bytes()[0x20], 0xFF);
    kx::srec::LoadMotText(text, LineRule::File, image, kx::kRomSize);
    EXPECT_EQ(image.Bytes()[0x20], 0xCC);
  }
  // A line longer than 500 characters: the payload rule cuts it there and takes the
  // rest as a line of its own; the file rule keeps it whole.
  {
    std::string first = "S1050010AABB00";
    first.resize(500, 'Z');
    const std::string text = first + "S1050020CCDD00\r\n";
    kx::MemoryStream image;
    kx::srec::LoadMotText(text, LineRule::Payload, image, kx::kRomSize);
    EXPECT_EQ(image.Bytes()[0x10], 0xAA);
    EXPECT_EQ(image.Bytes()[0x20], 0xCC);
    kx::srec::LoadMotText(text, LineRule::File, image, kx::kRomSize);
    EXPECT_EQ(image.Bytes()[0x10], 0xAA);
    EXPECT_EQ(image.Bytes()[0x20], 0xFF);
  }
  // A CR LF at characters 500 and 501 falls outside the look-ahead.
  {
    std::string text(499, 'Z');
    text += "\r\nS1050020CCDD00\r\n";
    std::size_t pos = 0;
    EXPECT_EQ(kx::srec::NextPayloadLine(text, pos).size(), 500u);
    EXPECT_EQ(kx::srec::NextPayloadLine(text, pos), "\nS1050020CCDD00");
    EXPECT_EQ(pos, text.size());
  }
  // The file rule drops every CR, wherever it stands.
  {
    std::size_t pos = 0;
    const std::string text = "S1\r05\r0010AA\r\r\nlast";
    EXPECT_EQ(kx::srec::ReadMotLine(text, pos), "S1050010AA");
    EXPECT_EQ(kx::srec::ReadMotLine(text, pos), "last");
    EXPECT_EQ(pos, text.size());
  }
}

TEST(HexField, OneToEightHexDigitsAsSigned32Bit) {
  using kx::srec::HexField;
  EXPECT_EQ(HexField("0"), 0);
  EXPECT_EQ(HexField("fF"), 255);
  EXPECT_EQ(HexField("7FFFFFFF"), 0x7FFFFFFF);
  EXPECT_EQ(HexField("80000000"), INT32_MIN);
  EXPECT_EQ(HexField("FFFFFFFF"), -1);
  EXPECT_EQ(HexField(""), std::nullopt);
  EXPECT_EQ(HexField("123456789"), std::nullopt);
  EXPECT_EQ(HexField(" 1"), std::nullopt);
  EXPECT_EQ(HexField("1G"), std::nullopt);
  EXPECT_EQ(HexField("-1"), std::nullopt);
}

struct BootCase {
  const char *what;
  std::vector<std::string> lines;
  std::string message;
  std::vector<int> image;  // the whole program image
};

const std::vector<BootCase> kBootCases = {
    {"S1 records and S3 below the window leave no trace",
     {"S1050000AABB00", "S307FFFFE7F01122C9"}, "", {}},
    {"the first byte is the S3 record at the window start",
     {"S1050000AABB00", "S307FFFFE8001122C9"}, "", {0x11, 0x22}},
    {"count 05 gives the length message", {"S305FFFFE800F5"}, "Illegal S Format (length:5) [F5]", {}},
    {"count not hex gives length 0", {"S3ZZFFFFE80011"}, "Illegal S Format (length:0) [11]", {}},
    {"an address that is not hex counts as 0 and is skipped", {"S307FFFFE8G01122C9"}, "", {}},
    {"a gap reads 0xFF and records come in any order",
     {"S307FFFFE8041122C9", "S306FFFFE800AAC9"}, "", {0xAA, 0xFF, 0xFF, 0xFF, 0x11, 0x22}},
    {"not hex keeps the bytes before it", {"S306FFFFE800AA00", "S307FFFFE80133X2"},
     "Illegal S Format (not HEX char.) [33X2]", {0xAA, 0x33}},
    {"the error ends the load", {"S305FFFFE800F5", "S306FFFFE800AA00"}, "Illegal S Format (length:5) [F5]", {}},
    {"S2 records are not boot records", {"S206FFE800AABB00"}, "", {}},
    {"top of the window", {"S306FFFFFFFFAB00"}, "", std::vector<int>(0x17FF, 0xFF)},
};

class BootLoader : public ::testing::TestWithParam<BootCase> {};

TEST_P(BootLoader, BuildsTheProgramImage) {
  const BootCase &c = GetParam();
  kx::MemoryStream image;
  image.Fill(0x55, 4);  // left over from another board
  const auto r = kx::srec::LoadBootText(Join(c.lines, "\r\n"), image);
  EXPECT_EQ(r.message, c.message);
  EXPECT_EQ(r.error, !c.message.empty());
  std::vector<int> expected = c.image;
  if (std::string(c.what) == "top of the window") expected.push_back(0xAB);
  ASSERT_EQ(image.Size(), expected.size());
  for (std::size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(image.Bytes()[i], expected[i]) << i;
}

INSTANTIATE_TEST_SUITE_P(Records, BootLoader, ::testing::ValuesIn(kBootCases));

TEST(BootStreamInit, LengthFirstThenTheProgramInBothStreams) {
  kx::MemoryStream program, boot, echo;
  program.Fill(0x5A, 0x123);
  kx::BootStreamInit(program, boot, echo);
  ASSERT_EQ(boot.Size(), 0x125u);
  EXPECT_EQ(boot.Bytes()[0], 0x01);
  EXPECT_EQ(boot.Bytes()[1], 0x23);
  EXPECT_EQ(boot.Bytes()[0x124], 0x5A);
  EXPECT_EQ(boot.Bytes(), echo.Bytes());

  // Another, shorter program replaces both completely, also when built in place.
  boot.Clear();
  boot.Fill(0x77, 3);
  kx::BootStreamInit(boot, boot, echo);
  EXPECT_EQ(boot.Bytes(), (std::vector<std::uint8_t>{0x00, 0x03, 0x77, 0x77, 0x77}));
  EXPECT_EQ(echo.Bytes(), boot.Bytes());

  // An empty program leaves both as they were.
  kx::MemoryStream empty;
  kx::BootStreamInit(empty, boot, echo);
  EXPECT_EQ(boot.Size(), 5u);
  EXPECT_EQ(echo.Size(), 5u);
}

TEST(BootStreamInit, EmptyWindowLeavesBootStreamEmptyAndEchoAsItWas) {
  kx::MemoryStream boot, echo;
  echo.Fill(0x42, 7);
  kx::srec::LoadBootText("S1050000AABB00\r\nS9030000FC\r\n", boot);
  kx::BootStreamInit(boot, boot, echo);
  EXPECT_TRUE(boot.Empty());
  EXPECT_EQ(echo.Size(), 7u);
}

TEST(MotFileChoice, BlockVariantNamesOnlyForTheMainBoardWithBlockVersion1) {
  struct Case {
    const char *path;
    int board, blockVersion;
    bool refused;
  };
  const Case cases[] = {
      {"/home/tech/KX7391D_CT_01_403AB.mot", 0, 1, false},
      {"/home/tech/KX7391D_CT_01_403A.mot", 0, 1, true},
      {"/home/tech/KX7391D_CT_01_4031B.mot", 0, 1, true},
      {"/home/tech/KX7391D_CT_01_403AB.MOT", 0, 1, true},
      {"B.mot", 0, 1, true},      // too short to hold a name before the extension
      {"aB.mot", 0, 1, true},     // ".mot" at position 3
      {"xaB.mot", 0, 1, false},
      {"/home/tech/KX7391D_CT_01_403A.mot", 0, 0, false},
      {"/home/tech/KX7391D_CT_01_403A.mot", 0, 2, false},
      {"/home/tech/KX7391D_CT_01_403A.mot", 1, 1, false},
      {"/home/tech/KX7391D_CT_01_403A.mot", 2, 1, false},
  };
  for (const Case &c : cases)
    EXPECT_EQ(kx::MotFileChoiceRefused(c.path, c.board, c.blockVersion), c.refused)
        << c.path << " board " << c.board << " BlockVersion " << c.blockVersion;
}

// Two faulty payloads that only this test carries, beside the real ones.
TEST(PayloadLoaders, ARefusedRecordGoesToABoxAndKeepsThePartialImage) {
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
  kx::MemoryStream image;
  ASSERT_TRUE(kx::MakeMotStreamFromResource("MAIN_NONE_SH_7391", image, kx::kRomSize, kx::MessageBoxSink()));
  const QByteArray good = kxtest::ReadAll(dir.file("memmem.mem"));
  ASSERT_EQ(good.size(), 0x40000);

  EXPECT_FALSE(kx::MakeMotStreamFromResource("TEST_BAD_FIRMWARE", image, kx::kRomSize, kx::MessageBoxSink()));
  EXPECT_EQ(boxes.texts, QStringList{"Illegal S Format (length:3) [FC]"});
  ASSERT_EQ(image.Size(), 0x40000u);
  EXPECT_EQ(image.Bytes()[0], 0xAA);
  EXPECT_EQ(image.Bytes()[1], 0xFF);
  // The copy still holds the last image that loaded without error.
  EXPECT_EQ(kxtest::ReadAll(dir.file("memmem.mem")), good);

  kx::MemoryStream boot, echo;
  EXPECT_FALSE(kx::MakeBootStreamFromResource("TEST_BAD_BOOT", boot, kx::MessageBoxSink()));
  EXPECT_EQ(boxes.texts.last(), "Illegal S Format (not HEX char.) [33X2]");
  kx::BootStreamInit(boot, boot, echo);
  EXPECT_EQ(boot.Bytes(), (std::vector<std::uint8_t>{0x00, 0x02, 0xAA, 0x33}));
  EXPECT_EQ(echo.Bytes(), boot.Bytes());
}

}  // namespace
