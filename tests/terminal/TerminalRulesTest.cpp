#include <gtest/gtest.h>

#include "terminal/TerminalRules.h"
#include "terminal/TerminalRx.h"

using namespace kx::terminal;
using Status = HexCommand::Status;

namespace {

struct HexCase {
  const char *text;
  Status status;
  QByteArray bytes;
  int invalidAt = -1;
};

TEST(HexCommandParser, Table) {
  const HexCase cases[] = {
      {"02 41 42 03", Status::Ok, QByteArray::fromHex("02414203")},
      {"0241 4203", Status::Ok, QByteArray::fromHex("02414203")},
      {"0d 0A 5", Status::Ok, QByteArray::fromHex("0d0a")},  // trailing single digit dropped
      {"A ", Status::Ok, QByteArray::fromHex("0a")},         // a separator closes a single digit
      {"5\t", Status::Ok, QByteArray::fromHex("05")},
      {"ff\t 1 2", Status::Ok, QByteArray::fromHex("ff01")},
      {"abc", Status::Ok, QByteArray::fromHex("ab")},
      {"A", Status::NoBytes, {}},
      {"", Status::NoBytes, {}},
      {"   ", Status::NoBytes, {}},
      {"02,41", Status::Invalid, {}, 2},
      {"0x0D", Status::Invalid, {}, 1},
      {"ZZ", Status::Invalid, {}, 0},
      {"41 g", Status::Invalid, {}, 3},
      {"41\r", Status::Invalid, {}, 2},
  };
  for (const HexCase &c : cases) {
    SCOPED_TRACE(c.text);
    const HexCommand r = ParseHexCommand(QString::fromLatin1(c.text));
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.bytes.toHex(), c.bytes.toHex());
    EXPECT_EQ(r.invalidAt, c.invalidAt);
  }
}

TEST(HexCommandParser, LimitsOfCharactersAndBytes) {
  const QString bytes64 = QStringLiteral("00").repeated(64);  // 128 characters
  EXPECT_EQ(ParseHexCommand(bytes64).status, Status::Ok);
  EXPECT_EQ(ParseHexCommand(bytes64).bytes.size(), 64);
  EXPECT_EQ(ParseHexCommand(bytes64 + QStringLiteral("01")).status, Status::TooManyBytes);
  const QString spaced = QStringLiteral("1 ").repeated(64) + QStringLiteral(" ").repeated(72);  // 200 chars
  ASSERT_EQ(spaced.size(), 200);
  EXPECT_EQ(ParseHexCommand(spaced).status, Status::Ok);
  EXPECT_EQ(ParseHexCommand(spaced + QStringLiteral(" ")).status, Status::TooLong);
  // An invalid character is refused silently even in an over-long text.
  EXPECT_EQ(ParseHexCommand(spaced + QStringLiteral("x")).status, Status::Invalid);
}

struct FileCase {
  const char *name;
  QByteArray content;
  std::vector<std::pair<QByteArray, bool>> lines;  // text, sent
};

TEST(SendFileLines, Table) {
  const QByteArray long300(300, 'x');
  const QByteArray cut253(253, 'x');
  const FileCase cases[] = {
      {"two lines", "VR\r\nVRP\r\n", {{"VR", true}, {"VRP", true}}},
      {"comment shown not sent", ";set up\r\nVR\r\n", {{";set up", false}, {"VR", true}}},
      {"empty line sends CR LF", "\r\n", {{"", true}}},
      {"marker of a saved log dropped", "ABC~\r\n", {{"ABC", true}}},
      {"only the last marker", "~~\r\n", {{"~", true}}},
      {"marker alone", "~\r\n", {{"", true}}},
      {"comment with marker", ";~\r\n", {{";", false}}},
      {"long line cut", long300 + "\r\n", {{cut253, true}}},
      {"LF ends lines", "AB\nCD\n", {{"AB", true}, {"CD", true}}},
      {"CR alone ends lines", "A\rB\r", {{"A", true}, {"B", true}}},
      {"CR LF is one line end, LF CR two", "A\r\nB\n\rC\r\r\n", {{"A", true}, {"B", true}, {"", true}, {"C", true}, {"", true}}},
      {"empty LF lines send CR LF", "\n\nVR\n", {{"", true}, {"", true}, {"VR", true}}},
      {"last line without an end is sent", "VR\r\nVRP", {{"VR", true}, {"VRP", true}}},
      {"last line: marker and cap still apply", "ABC~", {{"ABC", true}}},
      {"last line: a comment", "VR\n;end", {{"VR", true}, {";end", false}}},
      {"high bytes kept", "\xB0\xFF\r", {{"\xB0\xFF", true}}},
      {"empty file", "", {}},
  };
  for (const FileCase &c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<FileLine> got = SplitSendFile(c.content);
    ASSERT_EQ(got.size(), c.lines.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].text, c.lines[i].first) << "line " << i;
      EXPECT_EQ(got[i].send, c.lines[i].second) << "line " << i;
    }
  }
}

TEST(SendPeriod, EditRules) {
  const std::pair<const char *, int> cases[] = {
      {"120", 120}, {"5", 5}, {"007", 7}, {"4", 120}, {"3", 120}, {"0", 120}, {"-10", 120},
      {"abc", 120}, {"", 120}, {"12x", 120}, {"3600", 3600}, {"2147483", 2147483}, {"2147484", 120},
      {"99999999999", 120},
  };
  for (const auto &[text, want] : cases) EXPECT_EQ(SendPeriodFromText(QString::fromLatin1(text)), want) << text;
}

TEST(Scrollback, LinesFromTheVariable) {
  const std::pair<const char *, int> cases[] = {
      {"", kDefaultScrollbackLines}, {"5000", 5000}, {" 20 ", 20}, {"0", 0}, {"1", 1},
      {"-1", kDefaultScrollbackLines}, {"many", kDefaultScrollbackLines}, {"1e6", kDefaultScrollbackLines},
      {"2147483647", kDefaultScrollbackLines}, {"2147483646", 2147483646},
  };
  for (const auto &[text, want] : cases) EXPECT_EQ(ScrollbackLinesFromText(QString::fromLatin1(text)), want) << text;
}

TEST(CommandHistory, NewestFirstCaseInsensitiveAtMostTen) {
  QStringList h = UpdatedHistory({}, QStringLiteral("VR"));
  EXPECT_EQ(h, QStringList{QStringLiteral("VR")});
  h = UpdatedHistory(h, QStringLiteral("VRP"));
  h = UpdatedHistory(h, QStringLiteral("vr"));
  EXPECT_EQ(h, (QStringList{QStringLiteral("vr"), QStringLiteral("VRP")}));
  for (int i = 0; i < 9; ++i) h = UpdatedHistory(h, QStringLiteral("C%1").arg(i));
  ASSERT_EQ(h.size(), 10);
  EXPECT_EQ(h.front(), QStringLiteral("C8"));
  EXPECT_EQ(h.back(), QStringLiteral("vr"));  // "VRP" was the oldest and went
  EXPECT_FALSE(h.contains(QStringLiteral("VRP")));
  // Re-sending an item already present moves it up without dropping the oldest.
  h = UpdatedHistory(h, QStringLiteral("VR"));
  ASSERT_EQ(h.size(), 10);
  EXPECT_EQ(h.front(), QStringLiteral("VR"));
  EXPECT_EQ(h.back(), QStringLiteral("C0"));
  h = UpdatedHistory(h, QString());
  EXPECT_EQ(h.front(), QString());
  EXPECT_EQ(h.size(), 10);
}

// Records the display steps of the receive state machine as text.
class Recorder : public RxSink {
 public:
  void ReceivedLine(const char *data, int size, bool ended) override {
    out += "[" + QByteArray(data, size) + (ended ? "~]" : "]");
  }
  void HexByte(std::uint8_t d, bool rowEnd) override {
    out += QByteArray::number(d, 16).rightJustified(2, '0').toUpper() + ' ';
    if (rowEnd) out += '\n';
  }
  QByteArray out;
};

void Feed(RxDisplay &rx, Recorder &r, const QByteArray &bytes, DisplayMode mode) {
  for (char c : bytes) rx.Feed(static_cast<std::uint8_t>(c), mode, r);
}

TEST(ReceiveDisplay, AsciiLineEndsAtCrAndIgnoresLf) {
  RxDisplay rx;
  Recorder r;
  Feed(rx, r, "VER-C\r\n\r\nX", DisplayMode::Ascii);
  EXPECT_EQ(r.out, "[VER-C~][~]");
  EXPECT_EQ(rx.LineCount(), 1);
}

TEST(ReceiveDisplay, HexShowsEveryByteAndBreaksAfterSixteen) {
  RxDisplay rx;
  Recorder r;
  Feed(rx, r, "VER-C\r\n", DisplayMode::Hex);
  EXPECT_EQ(r.out, "56 45 52 2D 43 0D 0A ");
  EXPECT_EQ(rx.HexColumn(), 7);
  EXPECT_EQ(rx.LineCount(), 0);  // the CR emptied the buffer
  Feed(rx, r, "0123456789", DisplayMode::Hex);
  EXPECT_EQ(r.out, "56 45 52 2D 43 0D 0A 30 31 32 33 34 35 36 37 38 \n39 ");
  EXPECT_EQ(rx.HexColumn(), 1);
  rx.ResetHexColumn();
  EXPECT_EQ(rx.HexColumn(), 0);
}

TEST(ReceiveDisplay, SwitchFromHexToAsciiKeepsTheCollectedLine) {
  RxDisplay rx;
  Recorder r;
  Feed(rx, r, "VE", DisplayMode::Hex);
  Feed(rx, r, "R\r", DisplayMode::Ascii);
  EXPECT_EQ(r.out, "56 45 [VER~]");
  // ...and ASCII to HEX: the CR in hex mode only empties the buffer.
  Feed(rx, r, "AB", DisplayMode::Ascii);
  Feed(rx, r, "\r", DisplayMode::Hex);
  Feed(rx, r, "C\r", DisplayMode::Ascii);
  EXPECT_EQ(r.out, "56 45 [VER~]0D [C~]");
}

TEST(ReceiveDisplay, ClearLineDropsTheCollectedBytes) {
  RxDisplay rx;
  Recorder r;
  Feed(rx, r, "junk", DisplayMode::Ascii);
  rx.ClearLine();
  Feed(rx, r, "OK\r", DisplayMode::Ascii);
  EXPECT_EQ(r.out, "[OK~]");
}

TEST(ReceiveDisplay, LineLongerThanTheBufferIsShownInPieces) {
  RxDisplay rx;
  Recorder r;
  QByteArray line;
  for (int i = 0; i < 600; ++i) line += static_cast<char>('a' + i % 26);
  Feed(rx, r, line + "\r", DisplayMode::Ascii);
  const QByteArray want = "[" + line.left(256) + "][" + line.mid(256, 256) + "][" + line.mid(512) + "~]";
  EXPECT_EQ(r.out, want);
  // In hex mode every byte is shown and the buffer never overflows.
  Recorder h;
  RxDisplay rx2;
  Feed(rx2, h, QByteArray(300, 'x'), DisplayMode::Hex);
  EXPECT_EQ(h.out.count("78 "), 300);
  EXPECT_LE(rx2.LineCount(), RxDisplay::kLineBufSize);
}

}  // namespace
