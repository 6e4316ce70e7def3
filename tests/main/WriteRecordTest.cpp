#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QVariant>
#include <QStandardPaths>
#include <QStringEncoder>
#include <memory>
#include <stdexcept>

#include "main/OperationLog.h"
#include "main/WriteRecord.h"
#include "payload/Loaders.h"
#include "tests/support/TestSupport.h"

using kx::WriteRecord;
using kx::WriteRecordFile;
using kx::WriteResult;

namespace {

void WriteBytes(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("cannot write " + path.toStdString());
}

void AppendBytes(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Append) || f.write(bytes) != bytes.size())
    throw std::runtime_error("cannot append to " + path.toStdString());
}

WriteRecord ShRecord(const QString &serial, WriteResult result, double seconds = 0) {
  WriteRecord r;
  r.time = QDateTime(QDate(2026, 12, 10), QTime(10, 0, 1));
  r.serial = serial;
  r.board = QStringLiteral("MainBoard");
  r.image = QStringLiteral("MAIN_Q_SH_7391");
  r.crc32 = QStringLiteral("1A2B3C4D");
  r.port = QStringLiteral("COM9");
  r.result = result;
  r.seconds = seconds;
  r.version = QStringLiteral("1.4.0");
  return r;
}

QStringList SerialsOf(const QList<WriteRecord> &records) {
  QStringList out;
  for (const WriteRecord &r : records) out.append(r.serial);
  return out;
}

// The standard output of a program run to its end, or nothing when it cannot be run.
std::optional<QByteArray> RunProgram(const QString &program, const QStringList &args) {
  const QString path = QStandardPaths::findExecutable(program);
  if (path.isEmpty()) return std::nullopt;
  kxtest::ChildProcess child(path, args);
  if (!child.started()) return std::nullopt;
  QByteArray out = child.ReadOutput(30000, true);
  if (child.Wait(30000) != 0) return std::nullopt;
  return out;
}

// ---------------------------------------------------------------- CRC-32

struct CrcCase {
  const char *data;
  quint32 crc;
};

TEST(WriteRecordCrc, KnownVectors) {
  const CrcCase cases[] = {
      {"", 0x00000000u},
      {"a", 0xE8B7BE43u},
      {"123456789", 0xCBF43926u},
      {"The quick brown fox jumps over the lazy dog", 0x414FA339u},
  };
  for (const CrcCase &c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(kx::Crc32(QByteArrayView(c.data)), c.crc);
  }
  EXPECT_EQ(kx::Crc32Hex(0xCBF43926u), QStringLiteral("CBF43926"));
  EXPECT_EQ(kx::Crc32Hex(0x0000ABCDu), QStringLiteral("0000ABCD"));
  // Continued over pieces, the same as at once.
  EXPECT_EQ(kx::Crc32(QByteArrayView("56789"), kx::Crc32(QByteArrayView("1234"))), 0xCBF43926u);
}

// The flash images of carried payloads against gzip's own CRC-32 (its trailer: CRC-32
// and length, little-endian), computed by a program that shares no code with ours.
TEST(WriteRecordCrc, FlashImageMatchesGzip) {
  kxtest::ScopedWorkDir dir;  // the loader leaves memmem.mem behind
  for (const char *payload : {"MAIN_Q_SH_7391", "PANEL_SH_7391"}) {
    SCOPED_TRACE(payload);
    kx::MemoryStream stream;
    QStringList messages;
    ASSERT_TRUE(kx::MakeMotStreamFromResource(QString::fromLatin1(payload), stream, kx::kRomSize,
                                              [&](const QString &m) { messages.append(m); }))
        << messages.join(u'\n').toStdString();
    ASSERT_EQ(stream.Size(), std::size_t(kx::kRomSize));
    const QByteArray image(reinterpret_cast<const char *>(stream.Data()), qsizetype(stream.Size()));
    WriteBytes(dir.file(QStringLiteral("image.bin")), image);
    const auto gz = RunProgram(QStringLiteral("gzip"), {QStringLiteral("-c"), QStringLiteral("-n"), dir.file(QStringLiteral("image.bin"))});
    ASSERT_TRUE(gz.has_value()) << "gzip did not run";
    ASSERT_GE(gz->size(), 8);
    const auto *t = reinterpret_cast<const uchar *>(gz->constData() + gz->size() - 8);
    const quint32 gzipCrc = t[0] | (t[1] << 8) | (t[2] << 16) | (quint32(t[3]) << 24);
    const quint32 gzipSize = t[4] | (t[5] << 8) | (t[6] << 16) | (quint32(t[7]) << 24);
    ASSERT_EQ(gzipSize, quint32(kx::kRomSize));
    EXPECT_EQ(kx::Crc32(image), gzipCrc);

    WriteRecord r;
    r.SetImages({{QString::fromLatin1(payload), image}});
    EXPECT_EQ(r.image, QString::fromLatin1(payload));
    EXPECT_EQ(r.crc32, kx::Crc32Hex(gzipCrc));
  }
}

TEST(WriteRecordCrc, DigiDecImagesJoinedInOrder) {
  WriteRecord r;
  r.SetImages({{QStringLiteral("2507A.A57"), QByteArrayView("123456789")},
               {QStringLiteral("2507A_Cyclone10.A57"), QByteArrayView("")}});
  EXPECT_EQ(r.image, QStringLiteral("2507A.A57+2507A_Cyclone10.A57"));
  EXPECT_EQ(r.crc32, QStringLiteral("CBF43926+00000000"));
}

// ---------------------------------------------------------------- CSV

struct QuoteCase {
  const char *name;
  QString field;
  QString written;
};

TEST(WriteRecordCsv, FieldsQuotedWhereNeeded) {
  const QuoteCase cases[] = {
      {"plain", QStringLiteral("MAIN_Q_SH_7391"), QStringLiteral("MAIN_Q_SH_7391")},
      {"empty", QString(), QString()},
      {"comma", QStringLiteral("a,b"), QStringLiteral("\"a,b\"")},
      {"quote", QStringLiteral("say \"hi\""), QStringLiteral("\"say \"\"hi\"\"\"")},
      {"only a quote", QStringLiteral("\""), QStringLiteral("\"\"\"\"")},
      {"CR LF", QStringLiteral("two\r\nlines"), QStringLiteral("\"two\r\nlines\"")},
      {"LF", QStringLiteral("a\nb"), QStringLiteral("\"a\nb\"")},
      {"CR", QStringLiteral("a\rb"), QStringLiteral("\"a\rb\"")},
      {"leading zeros", QStringLiteral("0009680661"), QStringLiteral("0009680661")},
      {"blanks kept", QStringLiteral(" x "), QStringLiteral(" x ")},
  };
  for (const QuoteCase &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kx::CsvField(c.field), c.written);
    EXPECT_EQ(kx::ParseCsv(c.written + QStringLiteral("\r\n")), QList<QStringList>{{c.field}});
  }
}

TEST(WriteRecordCsv, RowsAsWritten) {
  struct Case {
    const char *name;
    WriteRecord record;
    QByteArray row;
  };
  WriteRecord digidec;
  digidec.time = QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5));
  digidec.serial = QStringLiteral("0123,45");
  digidec.board = QStringLiteral("DigiDec");
  digidec.image = QStringLiteral("2507A.A57+2507A_Cyclone10.A57");
  digidec.crc32 = QStringLiteral("CBF43926+00000000");
  digidec.result = WriteResult::Aborted;
  digidec.seconds = 61.24;
  digidec.version = QStringLiteral("1.4.0");
  const Case cases[] = {
      {"start: serial quoted, seconds empty", ShRecord(QStringLiteral("09680661"), WriteResult::Started),
       "2026-12-10 10:00:01,\"09680661\",MainBoard,MAIN_Q_SH_7391,1A2B3C4D,COM9,started,,1.4.0\r\n"},
      {"end with seconds", ShRecord(QStringLiteral("09680661"), WriteResult::Written, 27.66),
       "2026-12-10 10:00:01,\"09680661\",MainBoard,MAIN_Q_SH_7391,1A2B3C4D,COM9,written,27.7,1.4.0\r\n"},
      {"empty serial", ShRecord(QString(), WriteResult::Failed, 3),
       "2026-12-10 10:00:01,\"\",MainBoard,MAIN_Q_SH_7391,1A2B3C4D,COM9,failed,3.0,1.4.0\r\n"},
      {"DigiDec: no port, serial with a comma", digidec,
       "2026-01-02 03:04:05,\"0123,45\",DigiDec,2507A.A57+2507A_Cyclone10.A57,CBF43926+00000000,,aborted,61.2,1.4.0\r\n"},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kx::WriteRecordRow(c.record).toStdString(), c.row.toStdString());
  }
  EXPECT_EQ(kx::WriteRecordHeader().join(u','),
            QStringLiteral("Time,Serial number,Board,Image,CRC-32,Port,Result,Seconds,Updater version"));
}

TEST(WriteRecordCsv, ParserReadsRfc4180) {
  struct Case {
    const char *name;
    QString text;
    QList<QStringList> rows;
  };
  const Case cases[] = {
      {"nothing", QString(), {}},
      {"two rows", QStringLiteral("a,b\r\nc,d\r\n"), {{"a", "b"}, {"c", "d"}}},
      {"LF line ends", QStringLiteral("a\nb\n"), {{"a"}, {"b"}}},
      {"empty fields", QStringLiteral(",,\r\n"), {{"", "", ""}}},
      {"quoted comma, quote, line break", QStringLiteral("\"a,\"\"b\"\"\r\nc\",d\r\n"), {{"a,\"b\"\r\nc", "d"}}},
      {"last row without line end", QStringLiteral("a\r\n\"b\",c"), {{"a"}, {"b", "c"}}},
      {"quoted empty", QStringLiteral("\"\",x\r\n"), {{"", "x"}}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(kx::ParseCsv(c.text), c.rows);
  }
}

class WriteRecordFileTest : public ::testing::Test {
 protected:
  kxtest::ScopedWorkDir dir_;
};

TEST_F(WriteRecordFileTest, HeaderOnceThenRowsRoundTrip) {
  WriteRecordFile file;
  int failures = 0;
  file.failed = [&](const QString &) { ++failures; };
  EXPECT_EQ(file.path(), QStringLiteral("KX7391Updater_Writes.csv"));

  QList<WriteRecord> written;
  for (const QString &serial : {QStringLiteral("0009680661"), QStringLiteral("12,345"), QStringLiteral("say \"x\""),
                                QStringLiteral("two\r\nlines"), QString(), QStringLiteral("シリアル")}) {
    WriteRecord start = ShRecord(serial, WriteResult::Started);
    WriteRecord end = ShRecord(serial, WriteResult::Written, 27.7);
    end.image = QStringLiteral("C:\\firm, \"new\"\\403AB.mot");
    end.version = QStringLiteral("1.4.0 (build, \"x\")");
    EXPECT_TRUE(file.Append(start));
    EXPECT_TRUE(file.Append(end));
    written << start << end;
  }
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(file.PendingRows(), 0);

  const QByteArray bytes = kxtest::ReadAll(file.path());
  EXPECT_TRUE(bytes.startsWith("Time,Serial number,Board,Image,CRC-32,Port,Result,Seconds,Updater version\r\n"));
  EXPECT_EQ(bytes.count("Time,Serial number"), 1);
  EXPECT_TRUE(bytes.endsWith("\r\n"));
  // Every line end is CR LF (those inside quoted fields included, as they were given).
  EXPECT_EQ(bytes.count('\n'), bytes.count("\r\n"));

  const kx::WriteRecordFileContents read = kx::ReadWriteRecordFile(file.path());
  EXPECT_TRUE(read.error.isEmpty());
  EXPECT_EQ(read.header, kx::WriteRecordHeader());
  EXPECT_EQ(read.otherRows, 0);
  EXPECT_EQ(read.records, written);

  // A record without a time is stamped when it is appended.
  WriteRecord unstamped = ShRecord(QStringLiteral("7"), WriteResult::Started);
  unstamped.time = QDateTime();
  const QDateTime before = QDateTime::currentDateTime().addMSecs(-1000);
  ASSERT_TRUE(file.Append(unstamped));
  const QDateTime after = QDateTime::currentDateTime();
  const QList<WriteRecord> all = kx::ReadWriteRecordFile(file.path()).records;
  ASSERT_EQ(all.size(), written.size() + 1);
  EXPECT_GE(all.last().time, before);
  EXPECT_LE(all.last().time, after);
}

// The same file through Python's csv module, a reader that is not ours: the serial
// numbers come back as text, leading zeros, commas, quotes and line breaks included.
TEST_F(WriteRecordFileTest, ReadByAnIndependentCsvReader) {
  WriteRecordFile file;
  const QStringList serials = {QStringLiteral("0009680661"), QStringLiteral("12,345"), QStringLiteral("say \"x\""),
                               QStringLiteral("two\r\nlines"), QString()};
  for (const QString &s : serials) ASSERT_TRUE(file.Append(ShRecord(s, WriteResult::Written, 1)));
  const auto out = RunProgram(
      QStringLiteral("python3"),
      {QStringLiteral("-c"),
       QStringLiteral("import csv,json,sys\n"
                      "rows=list(csv.reader(open(sys.argv[1],newline='',encoding='utf-8')))\n"
                      "print(json.dumps([len(rows[0])]+[r[1] for r in rows[1:]]))"),
       file.path()});
  if (!out) GTEST_SKIP() << "python3 is not available to read the file";
  const QStringList expected = [&] {
    QStringList l{QStringLiteral("9")};
    l << serials;
    return l;
  }();
  QStringList got;
  // The JSON list: the header's column count, then the serial numbers.
  const QList<QVariant> list = QJsonDocument::fromJson(*out).toVariant().toList();
  for (const QVariant &v : list) got.append(v.toString());
  EXPECT_EQ(got, expected);
}

// Two processes appending to one file at once, several times from no file at all: one
// header, every row whole and once, each process's rows in its order.
TEST_F(WriteRecordFileTest, TwoProcessesAppendWholeRowsAndOneHeader) {
  const QString tool = QCoreApplication::applicationDirPath() + QStringLiteral("/write_record_tool");
  constexpr int kRows = 60;
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE(round);
    const QString path = dir_.file(QStringLiteral("round%1.csv").arg(round));
    const QString start = QString::number(QDateTime::currentMSecsSinceEpoch() + 300);
    kxtest::ChildProcess a(tool, {path, QStringLiteral("A"), QString::number(kRows), start});
    kxtest::ChildProcess b(tool, {path, QStringLiteral("B"), QString::number(kRows), start});
    ASSERT_TRUE(a.started() && b.started());
    ASSERT_EQ(a.Wait(60000), 0);
    ASSERT_EQ(b.Wait(60000), 0);

    const QByteArray bytes = kxtest::ReadAll(path);
    EXPECT_EQ(bytes.count("Time,Serial number"), 1);
    EXPECT_TRUE(bytes.startsWith("Time,"));
    const kx::WriteRecordFileContents read = kx::ReadWriteRecordFile(path);
    EXPECT_EQ(read.otherRows, 0);
    ASSERT_EQ(read.records.size(), 2 * kRows);
    QStringList fromA, fromB;
    for (const WriteRecord &r : read.records) {
      EXPECT_EQ(r.version, QStringLiteral("test, \"quoted\""));
      (r.serial.startsWith(u'A') ? fromA : fromB).append(r.serial);
    }
    QStringList expectA, expectB;
    for (int i = 0; i < kRows; ++i) {
      expectA.append(QStringLiteral("A,%1\"").arg(i, 6, 10, QChar(u'0')));
      expectB.append(QStringLiteral("B,%1\"").arg(i, 6, 10, QChar(u'0')));
    }
    EXPECT_EQ(fromA, expectA);
    EXPECT_EQ(fromB, expectB);
  }
}

// A file that ends inside a row (an append cut by a crash): the cut row stays one row of
// its own, also when it was cut inside a quoted field, and the next rows are whole.
TEST_F(WriteRecordFileTest, RowAfterACutRowIsWhole) {
  struct Case {
    const char *name;
    QByteArray cut;
  };
  const Case cases[] = {
      {"cut between fields", "2026-12-10 09:00:00,\"1\",Main"},
      {"cut inside the quoted serial", "2026-12-10 09:00:00,\"000,1"},
      {"cut after a doubled quote", "2026-12-10 09:00:00,\"a\"\""},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = dir_.file(QStringLiteral("cut.csv"));
    QFile::remove(path);
    WriteRecordFile file(path);
    ASSERT_TRUE(file.Append(ShRecord(QStringLiteral("0001"), WriteResult::Started)));
    AppendBytes(path, c.cut);
    ASSERT_TRUE(file.Append(ShRecord(QStringLiteral("0001"), WriteResult::Written, 2)));
    ASSERT_TRUE(file.Append(ShRecord(QStringLiteral("0002"), WriteResult::Started)));
    const kx::WriteRecordFileContents read = kx::ReadWriteRecordFile(path);
    EXPECT_EQ(read.otherRows, 1);
    EXPECT_EQ(SerialsOf(read.records), (QStringList{"0001", "0001", "0002"}));
  }
}

// A record that cannot be written is told once, kept, and written with the next one
// that can be; a failure after the file has caught up is told again.
TEST_F(WriteRecordFileTest, FailedAppendReportsOnceAndKeepsTheRecord) {
  const QString path = dir_.file(QStringLiteral("sub/KX7391Updater_Writes.csv"));
  WriteRecordFile file(path);
  QStringList reports;
  file.failed = [&](const QString &m) { reports.append(m); };

  // A folder that is not there: no chattr needed.
  EXPECT_FALSE(file.Append(ShRecord(QStringLiteral("01"), WriteResult::Started)));
  EXPECT_FALSE(file.Append(ShRecord(QStringLiteral("01"), WriteResult::Written, 1)));
  ASSERT_EQ(reports.size(), 1);
  EXPECT_TRUE(reports[0].contains(path)) << reports[0].toStdString();
  EXPECT_EQ(file.PendingRows(), 2);
  ASSERT_TRUE(QDir(dir_.path()).mkdir(QStringLiteral("sub")));
  EXPECT_TRUE(file.Append(ShRecord(QStringLiteral("02"), WriteResult::Started)));
  EXPECT_EQ(file.PendingRows(), 0);
  EXPECT_EQ(SerialsOf(kx::ReadWriteRecordFile(path).records), (QStringList{"01", "01", "02"}));

  // An existing file that cannot be written.
  auto locked = std::make_unique<kxtest::Immutable>(path);
  if (!locked->ok()) GTEST_SKIP() << "chattr +i cannot be used here: the immutable-file half is skipped";
  EXPECT_FALSE(file.Append(ShRecord(QStringLiteral("02"), WriteResult::Failed, 5)));
  EXPECT_FALSE(file.Append(ShRecord(QStringLiteral("03"), WriteResult::Started)));
  ASSERT_EQ(reports.size(), 2);
  EXPECT_TRUE(reports[1].contains(path)) << reports[1].toStdString();
  EXPECT_EQ(file.PendingRows(), 2);
  locked.reset();
  EXPECT_TRUE(file.Append(ShRecord(QStringLiteral("03"), WriteResult::Written, 9)));
  EXPECT_EQ(reports.size(), 2);
  const kx::WriteRecordFileContents read = kx::ReadWriteRecordFile(path);
  EXPECT_EQ(SerialsOf(read.records), (QStringList{"01", "01", "02", "02", "03", "03"}));
  EXPECT_EQ(kxtest::ReadAll(path).count("Time,Serial number"), 1);
}

// ---------------------------------------------------------------- the serial-number log lines

TEST(WriteRecordLogLine, Wording) {
  WriteRecord digidec;
  digidec.board = QStringLiteral("DigiDec");
  digidec.image = QStringLiteral("2507A.A57+2507A_Cyclone10.A57");
  digidec.crc32 = QStringLiteral("CBF43926+00000000");
  digidec.result = WriteResult::Started;
  WriteRecord digidecEnd = digidec;
  digidecEnd.result = WriteResult::Failed;
  digidecEnd.seconds = 600.04;
  struct Case {
    WriteRecord record;
    QString line;
  };
  const Case cases[] = {
      {ShRecord(QStringLiteral("1"), WriteResult::Started),
       QStringLiteral("Write record: started MainBoard MAIN_Q_SH_7391 CRC-32 1A2B3C4D COM9")},
      {ShRecord(QStringLiteral("1"), WriteResult::Written, 27.66),
       QStringLiteral("Write record: written MainBoard MAIN_Q_SH_7391 CRC-32 1A2B3C4D COM9 27.7 s")},
      {ShRecord(QStringLiteral("1"), WriteResult::Aborted, 3),
       QStringLiteral("Write record: aborted MainBoard MAIN_Q_SH_7391 CRC-32 1A2B3C4D COM9 3.0 s")},
      {digidec, QStringLiteral("Write record: started DigiDec 2507A.A57+2507A_Cyclone10.A57 CRC-32 CBF43926+00000000")},
      {digidecEnd,
       QStringLiteral("Write record: failed DigiDec 2507A.A57+2507A_Cyclone10.A57 CRC-32 CBF43926+00000000 600.0 s")},
  };
  for (const Case &c : cases) EXPECT_EQ(kx::WriteRecordLogLine(c.record), c.line);
}

// ---------------------------------------------------------------- the interrupted-write look

QByteArray LogLine(int minute, int second, const QString &text, QChar dateSep = u'/', QChar timeSep = u':') {
  const QDateTime t(QDate(2026, 12, 10), QTime(10, minute, second, 123));
  return (kx::LogStamp(t, dateSep, timeSep) + text + QStringLiteral("\r\n")).toUtf8();
}

QString Start(const QString &board = QStringLiteral("MainBoard")) {
  WriteRecord r = ShRecord(QStringLiteral("1"), WriteResult::Started);
  r.board = board;
  return kx::WriteRecordLogLine(r);
}

QString End(WriteResult result, const QString &board = QStringLiteral("MainBoard")) {
  WriteRecord r = ShRecord(QStringLiteral("1"), result, 28);
  r.board = board;
  return kx::WriteRecordLogLine(r);
}

// Lines a write logs between its two record lines.
QByteArray WriteBody(int minute) {
  QByteArray b;
  for (int i = 0; i < 20; ++i) b += LogLine(minute, i, QStringLiteral("Block Write %1").arg(i));
  return b;
}

struct LookCase {
  const char *name;
  QByteArray log;
  QString board;        // empty: nothing interrupted
  QString startedText;  // the start's stamp to the second
};

class WriteRecordLook : public ::testing::Test {
 protected:
  kxtest::ScopedWorkDir dir_;
};

TEST_F(WriteRecordLook, Cases) {
  const QByteArray change = LogLine(0, 0, QStringLiteral("SerialNumbrt Change to 0968"));
  const LookCase cases[] = {
      {"empty log", QByteArray(), {}, {}},
      {"no record line", change + LogLine(0, 1, QStringLiteral("VersionTest Finish")), {}, {}},
      {"started, never ended", change + LogLine(1, 2, Start()) + WriteBody(1), "MainBoard", "2026/12/10 10:01:02"},
      {"written", change + LogLine(1, 2, Start()) + WriteBody(1) + LogLine(2, 0, End(WriteResult::Written)), {}, {}},
      {"failed", LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Failed)), {}, {}},
      {"aborted", LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Aborted)), {}, {}},
      {"ended, then other lines", LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Written)) + change, {}, {}},
      {"an ended write, then another board's start",
       LogLine(1, 2, Start(QStringLiteral("Decoder"))) + LogLine(2, 0, End(WriteResult::Written, QStringLiteral("Decoder"))) +
           LogLine(3, 4, Start(QStringLiteral("Panel"))) + WriteBody(3),
       "Panel", "2026/12/10 10:03:04"},
      {"DigiDec started",
       LogLine(5, 6, QStringLiteral("Write record: started DigiDec 2507A.A57+2507A_Cyclone10.A57 CRC-32 CBF43926+00000000")) +
           LogLine(5, 7, QStringLiteral(" WriterCmd [I:Erasing..]")),
       "DigiDec", "2026/12/10 10:05:06"},
      {"last line cut by the crash",
       LogLine(1, 2, Start()) + WriteBody(1) + LogLine(1, 59, QStringLiteral("Block Write 21")).chopped(5),
       "MainBoard", "2026/12/10 10:01:02"},
      {"end line cut by the crash: the write's end is not on record",
       LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Written)).chopped(2), "MainBoard",
       "2026/12/10 10:01:02"},
      {"a start line cut by the crash does not count",
       LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Written)) + LogLine(3, 0, Start()).chopped(2), {}, {}},
      {"the locale's separators", LogLine(1, 2, Start(), u'.', u'.') + WriteBody(1), "MainBoard",
       "2026.12.10 10.01.02"},
      {"a blank before the text", LogLine(1, 2, u' ' + Start()), "MainBoard", "2026/12/10 10:01:02"},
      {"record text quoted inside another line is not a record",
       LogLine(1, 2, Start()) + LogLine(2, 0, End(WriteResult::Written)) + LogLine(3, 0, QStringLiteral("VR res:") + Start()),
       {}, {}},
      {"LF line ends", QByteArray(LogLine(1, 2, Start()) + WriteBody(1)).replace("\r\n", "\n"), "MainBoard",
       "2026/12/10 10:01:02"},
  };
  for (const LookCase &c : cases) {
    SCOPED_TRACE(c.name);
    const QString path = dir_.file(QStringLiteral("0968_Log.txt"));
    WriteBytes(path, c.log);
    const kx::InterruptedWriteLook look = kx::LookForInterruptedWriteOf(QStringLiteral("0968"));
    EXPECT_TRUE(look.error.isEmpty()) << look.error.toStdString();
    ASSERT_EQ(look.interrupted.has_value(), !c.board.isEmpty());
    if (!look.interrupted) continue;
    EXPECT_EQ(look.interrupted->board, c.board);
    EXPECT_EQ(look.interrupted->startedText, c.startedText);
  }
}

TEST_F(WriteRecordLook, MissingLogAndUnusableSerial) {
  EXPECT_FALSE(kx::LookForInterruptedWriteOf(QStringLiteral("never_seen")).interrupted);
  EXPECT_TRUE(kx::LookForInterruptedWriteOf(QStringLiteral("never_seen")).error.isEmpty());
  QDir(dir_.path()).mkdir(QStringLiteral("a"));
  WriteBytes(dir_.file(QStringLiteral("a/b_Log.txt")), LogLine(1, 2, Start()));
  for (const QString &s : {QString(), QStringLiteral("a/b"), QStringLiteral(".."), QStringLiteral(".")})
    EXPECT_FALSE(kx::LookForInterruptedWriteOf(s).interrupted) << s.toStdString();
}

TEST_F(WriteRecordLook, MessageText) {
  kx::InterruptedWrite w;
  w.board = QStringLiteral("Decoder");
  w.startedText = QStringLiteral("2026/12/10 10:01:02");
  EXPECT_EQ(kx::InterruptedWriteMessage(w),
            QStringLiteral("The last Decoder write of this receiver (2026/12/10 10:01:02) did not complete: write it again."));
}

TEST_F(WriteRecordLook, StartTimeFromTheStamp) {
  WriteBytes(dir_.file(QStringLiteral("x_Log.txt")), LogLine(7, 8, Start()));
  const auto look = kx::LookForInterruptedWriteOf(QStringLiteral("x"));
  ASSERT_TRUE(look.interrupted);
  EXPECT_EQ(look.interrupted->started, QDateTime(QDate(2026, 12, 10), QTime(10, 7, 8, 123)));
}

// Logs that begin with a byte-order mark, longer than the tail so that the tail starts
// inside them (at an odd distance from the end, which UTF-16 and UTF-32 must round).
TEST_F(WriteRecordLook, ByteOrderMarkLogs) {
  const QStringConverter::Encoding encodings[] = {QStringConverter::Utf8, QStringConverter::Utf16LE,
                                                  QStringConverter::Utf16BE, QStringConverter::Utf32LE,
                                                  QStringConverter::Utf32BE};
  for (const auto enc : encodings) {
    SCOPED_TRACE(QStringConverter::nameForEncoding(enc));
    QString text;
    for (int i = 0; i < 400; ++i) text += QString::fromUtf8(LogLine(0, i % 60, QStringLiteral("ä history %1 шум").arg(i)));
    QString interrupted = text + QString::fromUtf8(LogLine(1, 2, Start()) + WriteBody(1));
    QString ended = interrupted + QString::fromUtf8(LogLine(2, 0, End(WriteResult::Written)));
    for (const auto &[log, expectInterrupted] : {std::pair{interrupted, true}, std::pair{ended, false}}) {
      const QString path = dir_.file(QStringLiteral("bom_Log.txt"));
      QStringEncoder e(enc, QStringConverter::Flag::WriteBom);
      WriteBytes(path, e.encode(log));
      for (const qint64 tail : {qint64(6001), qint64(1) << 30}) {
        const auto look = kx::LookForInterruptedWrite(path, tail);
        EXPECT_EQ(look.interrupted.has_value(), expectInterrupted) << "tail " << tail;
        if (look.interrupted) {
          EXPECT_EQ(look.interrupted->board, QStringLiteral("MainBoard"));
        }
      }
    }
  }
}

// Bytes read by this process so far, as the kernel counts them.
qint64 ProcessReadBytes() {
  QFile io(QStringLiteral("/proc/self/io"));
  if (!io.open(QIODevice::ReadOnly)) return -1;
  for (const QByteArray &line : io.readAll().split('\n'))
    if (line.startsWith("rchar:")) return line.mid(6).trimmed().toLongLong();
  return -1;
}

// Years of history before the last write: the look reads the same bounded tail whatever
// the size of the log, and still finds the write's start.
TEST_F(WriteRecordLook, CostDoesNotGrowWithHistory) {
  const QString path = dir_.file(QStringLiteral("old_Log.txt"));
  QByteArray history;
  for (int i = 0; i < 2000; ++i) history += LogLine(0, i % 60, QStringLiteral("VR res:VER-C 402A history line %1").arg(i));
  const QByteArray lastWrite = LogLine(1, 2, Start()) + WriteBody(1);
  qint64 readForSmall = -1;
  for (const int chunks : {1, 10, 100}) {  // about 0.1, 1 and 10 MB
    SCOPED_TRACE(chunks);
    WriteBytes(path, {});
    for (int i = 0; i < chunks; ++i) AppendBytes(path, history + LogLine(1, 0, Start()) + LogLine(1, 1, End(WriteResult::Written)));
    AppendBytes(path, lastWrite);
    const qint64 before = ProcessReadBytes();
    const auto look = kx::LookForInterruptedWrite(path);
    const qint64 after = ProcessReadBytes();
    ASSERT_TRUE(look.interrupted);
    EXPECT_EQ(look.interrupted->startedText, QStringLiteral("2026/12/10 10:01:02"));
    EXPECT_LE(look.bytesRead, kx::kInterruptedWriteTail + 4);
    if (readForSmall < 0) readForSmall = look.bytesRead;
    EXPECT_EQ(look.bytesRead, readForSmall);
    // The kernel's count (which includes reading /proc/self/io itself once).
    if (before >= 0 && after >= 0) {
      EXPECT_LE(after - before, kx::kInterruptedWriteTail + 4 + 4096);
    }
  }
  // A write that ended longer ago than the tail reaches: its lines are out of sight, and
  // nothing is interrupted.
  AppendBytes(path, LogLine(2, 0, End(WriteResult::Written)) + history);
  EXPECT_FALSE(kx::LookForInterruptedWrite(path).interrupted);
}

// The lines as the operation log itself saves them to the receiver's log.
TEST_F(WriteRecordLook, ThroughTheOperationLog) {
  kx::OperationLog log;
  log.saveFailed = [](const QString &m) { ADD_FAILURE() << m.toStdString(); };
  log.Open(kx::OperationLog::kMain);
  log.ChangeSerialNumber(QStringLiteral("09680661"));
  log.Add(kx::WriteRecordLogLine(ShRecord(QStringLiteral("09680661"), WriteResult::Started)));
  log.Add(QStringLiteral("Block Write 1"));
  log.Save(3);
  const auto started = kx::LookForInterruptedWriteOf(QStringLiteral("09680661"));
  ASSERT_TRUE(started.interrupted);
  EXPECT_EQ(started.interrupted->board, QStringLiteral("MainBoard"));
  log.Add(kx::WriteRecordLogLine(ShRecord(QStringLiteral("09680661"), WriteResult::Written, 27)));
  log.Save(3);
  EXPECT_FALSE(kx::LookForInterruptedWriteOf(QStringLiteral("09680661")).interrupted);
}

}  // namespace
