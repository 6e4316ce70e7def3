#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QStringEncoder>

#include "main/OperationLog.h"
#include "platform/FileError.h"
#include "tests/support/TestSupport.h"

using kx::OperationLog;

namespace {

QStringList FileLines(const QString &path) {
  const QByteArray bytes = kxtest::ReadAll(path);
  QStringList lines = QString::fromUtf8(bytes).split(QStringLiteral("\r\n"));
  EXPECT_TRUE(lines.isEmpty() || lines.last().isEmpty()) << "file must end in CR LF: " << path.toStdString();
  if (!lines.isEmpty()) lines.removeLast();
  return lines;
}

// Drops the 24-character stamp from each line.
QStringList Texts(const QStringList &lines) {
  QStringList out;
  for (const QString &l : lines) out.append(l.mid(24));
  return out;
}

class LogTest : public ::testing::Test {
 protected:
  kxtest::ScopedWorkDir dir;
};

}  // namespace

TEST(LogStamp, FormatsWithLocaleSeparators) {
  const QDateTime t(QDate(2025, 11, 5), QTime(14, 3, 7, 23));
  EXPECT_EQ(kx::LogStamp(t, u'/', u':'), QStringLiteral("2025/11/05 14:03:07.023 "));
  EXPECT_EQ(kx::LogStamp(t, u'.', u':'), QStringLiteral("2025.11.05 14:03:07.023 "));
  const QDateTime early(QDate(987, 1, 2), QTime(0, 0, 0, 0));
  EXPECT_EQ(kx::LogStamp(early, u'-', u'.'), QStringLiteral("0987-01-02 00.00.00.000 "));
}

TEST_F(LogTest, LinesCarryOneStampAndReachBothLogsOnlyWithASerialNumber) {
  OperationLog log;
  log.clock = [] { return QDateTime(QDate(2025, 11, 5), QTime(14, 3, 7, 123)); };
  log.Add(QString());
  log.Add(QStringLiteral("first"));
  EXPECT_TRUE(log.SerialLines().isEmpty());
  log.ChangeSerialNumber(QStringLiteral("09680001"));
  log.Add(QStringLiteral("both"));
  ASSERT_EQ(log.MainLines().size(), 4);
  EXPECT_EQ(log.MainLines()[0], kx::LogStamp(log.clock(), kx::LocaleDateSeparator(), kx::LocaleTimeSeparator()));
  EXPECT_EQ(log.SerialLines(), log.MainLines().mid(2));
  EXPECT_EQ(Texts(log.SerialLines()),
            (QStringList{QStringLiteral("SerialNumbrt Change to 09680001"), QStringLiteral("both")}));
}

TEST_F(LogTest, ConsecutiveRunsKeepEveryLine) {
  for (int run = 0; run < 2; ++run) {
    OperationLog log;
    log.Open(OperationLog::kMain);
    log.Add(QStringLiteral("run %1").arg(run));
    log.Save(3);
  }
  EXPECT_EQ(Texts(FileLines(dir.file("KX7391Updater_Log.txt"))),
            (QStringList{QStringLiteral("run 0"), QStringLiteral("run 1")}));
}

TEST_F(LogTest, SerialNumberABAKeepsEachFileToItsOwnLines) {
  OperationLog log;
  log.ChangeSerialNumber(QStringLiteral("A"));
  log.Add(QStringLiteral("a1"));
  log.ChangeSerialNumber(QStringLiteral("B"));
  log.Add(QStringLiteral("b1"));
  log.ChangeSerialNumber(QStringLiteral("A"));
  log.Add(QStringLiteral("a2"));
  log.Save(3);
  EXPECT_EQ(Texts(FileLines(dir.file("A_Log.txt"))),
            (QStringList{"SerialNumbrt Change to A", "a1", "SerialNumbrt Change to A", "a2"}));
  EXPECT_EQ(Texts(FileLines(dir.file("B_Log.txt"))), (QStringList{"SerialNumbrt Change to B", "b1"}));
  EXPECT_EQ(Texts(FileLines(dir.file("KX7391Updater_Log.txt"))),
            (QStringList{"SerialNumbrt Change to A", "a1", "SerialNumbrt Change to B", "b1",
                         "SerialNumbrt Change to A", "a2"}));
}

TEST_F(LogTest, EmptySerialNumberStopsTheSerialLog) {
  OperationLog log;
  log.ChangeSerialNumber(QStringLiteral("A"));
  log.Add(QStringLiteral("a1"));
  log.ChangeSerialNumber(QString());
  log.Add(QStringLiteral("main only"));
  log.Save(3);
  EXPECT_EQ(Texts(FileLines(dir.file("A_Log.txt"))), (QStringList{"SerialNumbrt Change to A", "a1"}));
  EXPECT_EQ(Texts(FileLines(dir.file("KX7391Updater_Log.txt"))).last(), QStringLiteral("main only"));
  EXPECT_FALSE(QFile::exists(dir.file("_Log.txt")));
}

TEST_F(LogTest, FileWithByteOrderMarkIsWrittenBackInItsEncoding) {
  struct Case {
    QStringConverter::Encoding encoding;
    const char *name;
  } cases[] = {{QStringConverter::Utf8, "utf-8"}, {QStringConverter::Utf16LE, "utf-16le"},
               {QStringConverter::Utf16BE, "utf-16be"}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    const QString old = QStringLiteral("2025/01/01 00:00:00.000 \u00e9t\u00e9 \u65e5\u672c");
    QStringEncoder enc(c.encoding, QStringConverter::Flag::WriteBom);
    QFile f(dir.file("KX7391Updater_Log.txt"));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(enc.encode(old + QStringLiteral("\r\n")));
    f.close();

    OperationLog log;
    log.Open(OperationLog::kMain);
    ASSERT_EQ(log.MainLines(), QStringList{old});
    log.Add(QStringLiteral("new"));
    log.Save(OperationLog::kMain);

    QStringEncoder again(c.encoding, QStringConverter::Flag::WriteBom);
    const QByteArray expected = again.encode(old + QStringLiteral("\r\n") + log.MainLines()[1] + QStringLiteral("\r\n"));
    EXPECT_EQ(kxtest::ReadAll(dir.file("KX7391Updater_Log.txt")), expected);
  }
}

TEST_F(LogTest, NewFilesAreUtf8WithoutByteOrderMark) {
  OperationLog log;
  log.Add(QStringLiteral("\u00e9"));
  log.Save(OperationLog::kMain);
  const QByteArray bytes = kxtest::ReadAll(dir.file("KX7391Updater_Log.txt"));
  EXPECT_TRUE(bytes.endsWith("\xc3\xa9\r\n"));
  EXPECT_FALSE(bytes.startsWith("\xef\xbb\xbf"));
}

TEST_F(LogTest, FailedSaveKeepsOldFileAndNextSaveWritesEveryLine) {
  OperationLog log;
  log.Add(QStringLiteral("one"));
  log.Save(OperationLog::kMain);
  // A directory in the file's place makes the replacement fail, even for root.
  ASSERT_TRUE(QDir(dir.path()).mkdir(QStringLiteral("KX7391Updater_Log.txt.blocked")));
  QFile::rename(dir.file("KX7391Updater_Log.txt"), dir.file("keep.txt"));
  QDir(dir.path()).rename(QStringLiteral("KX7391Updater_Log.txt.blocked"), QStringLiteral("KX7391Updater_Log.txt"));
  log.Add(QStringLiteral("two"));
  EXPECT_THROW(log.Save(OperationLog::kMain), kx::EFileError);
  ASSERT_TRUE(QDir(dir.file("KX7391Updater_Log.txt")).removeRecursively());
  log.Add(QStringLiteral("three"));
  log.Save(OperationLog::kMain);
  EXPECT_EQ(Texts(FileLines(dir.file("KX7391Updater_Log.txt"))), (QStringList{"one", "two", "three"}));
}

TEST_F(LogTest, SerialNumberThatIsNoFileNameRaisesAndWritesNothingElsewhere) {
  for (const QString &serial : {QStringLiteral("../x"), QStringLiteral("a/b"), QStringLiteral(".."),
                                QStringLiteral("."), QString(QChar(0)) + QStringLiteral("x")}) {
    SCOPED_TRACE(serial.toStdString());
    kxtest::ScopedWorkDir inner;
    OperationLog log;
    EXPECT_THROW(log.ChangeSerialNumber(serial), kx::EFileError);
    log.Add(QStringLiteral("kept"));
    EXPECT_THROW(log.Save(3), kx::EFileError);
    EXPECT_EQ(Texts(log.MainLines()).last(), QStringLiteral("kept"));
    EXPECT_EQ(QDir(inner.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"KX7391Updater_Log.txt"});
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{});
  }
}
