#include <gtest/gtest.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QFile>
#include <QCoreApplication>
#include <QProcess>
#include <QThread>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>
#include <functional>
#include <optional>
#include <stdexcept>

#include "main/OperationLog.h"
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

void WriteBytes(const QString &path, const QByteArray &bytes) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
    throw std::runtime_error("cannot write " + path.toStdString());
}

// A clock that moves on by 7 ms at each reading, the same in every log it drives.
std::function<QDateTime()> SteppingClock() {
  auto t = std::make_shared<QDateTime>(QDate(2025, 11, 5), QTime(23, 59, 59, 990));
  return [t] { return *t = t->addMSecs(7); };
}

// The log as it was saved before: the whole history read into memory at each open and
// every file rewritten whole at each save. Kept as the reference that the appending log
// must match byte for byte. A failing file operation is skipped, as the handlers that
// call the log go on past a failed save.
class WholeFileLog {
 public:
  std::function<QDateTime()> clock;

  void Add(const QString &text) {
    const QString line = kx::LogStamp(clock(), kx::LocaleDateSeparator(), kx::LocaleTimeSeparator()) + text;
    main_.lines.append(line);
    if (!serial_.baseName.isEmpty()) serial_.lines.append(line);
  }
  void Save(int which) {
    if (which & 1) SaveLog(main_);
    if ((which & 2) && !serial_.baseName.isEmpty()) SaveLog(serial_);
  }
  void Open(int which) {
    if (which & 1) OpenLog(main_);
    if ((which & 2) && !serial_.baseName.isEmpty()) OpenLog(serial_);
  }
  void ChangeSerialNumber(const QString &serial) {
    Save(2);
    serial_.baseName = serial;
    serial_.lines.clear();
    Open(2);
    Add(QStringLiteral("SerialNumbrt Change to ") + serial);
  }

 private:
  struct Log {
    QString baseName = QStringLiteral("KX7391Updater_Log");
    QString suffix = QStringLiteral(".txt");
    QStringList lines;
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    bool byteOrderMark = false;
  };
  static bool Usable(const QString &stem) {
    return !stem.contains(u'/') && !stem.contains(QChar(0)) && stem != u"." && stem != u"..";
  }
  static void SaveLog(const Log &log) {
    if (!Usable(log.baseName)) return;
    QString text;
    for (const QString &l : log.lines) text += l + QLatin1String("\r\n");
    QStringEncoder encoder(log.encoding,
                           log.byteOrderMark ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
    QSaveFile file(log.baseName + log.suffix);
    if (file.open(QIODevice::WriteOnly)) {
      file.write(encoder.encode(text));
      file.commit();
    }
  }
  static void OpenLog(Log &log) {
    if (!Usable(log.baseName)) return;
    QFile file(log.baseName + log.suffix);
    if (!file.exists()) {
      log.lines.clear();
      log.encoding = QStringConverter::Utf8;
      log.byteOrderMark = false;
      return;
    }
    if (!file.open(QIODevice::ReadOnly)) return;
    const QByteArray bytes = file.readAll();
    const auto bom = QStringConverter::encodingForData(bytes);
    log.byteOrderMark = bom.has_value();
    log.encoding = bom.value_or(QStringConverter::Utf8);
    QStringDecoder decoder(log.encoding);
    const QString text = decoder.decode(bytes);
    log.lines.clear();
    qsizetype start = 0;
    for (qsizetype i = 0; i < text.size(); ++i) {
      if (text[i] == u'\r' || text[i] == u'\n') {
        log.lines.append(text.mid(start, i - start));
        if (text[i] == u'\r' && i + 1 < text.size() && text[i + 1] == u'\n') ++i;
        start = i + 1;
      }
    }
    if (start < text.size()) log.lines.append(text.mid(start));
  }
  Log main_;
  Log serial_ = [] {
    Log l;
    l.baseName.clear();
    l.suffix = QStringLiteral("_Log.txt");
    return l;
  }();
};

// One step of a sequence, played on either log.
struct Step {
  enum Kind { kRun, kAdd, kSave, kSerial } kind;
  QString text;
  int which = 3;
};
Step NewRun() { return {Step::kRun, {}}; }
Step Add(const QString &t) { return {Step::kAdd, t}; }
Step Save(int which = 3) { return {Step::kSave, {}, which}; }
Step Serial(const QString &s) { return {Step::kSerial, s}; }

// Plays the steps as the program would: a run opens the main log and logs the stamp-only
// line and the caption line; each serial number change is followed by a save.
template <typename Log>
void Play(const std::vector<Step> &steps, const std::function<QDateTime()> &clock) {
  std::optional<Log> log;
  for (const Step &s : steps) {
    switch (s.kind) {
      case Step::kRun:
        if (log) log->Save(3);
        log.emplace();
        if constexpr (std::is_same_v<Log, OperationLog>) log->saveFailed = [](const QString &) {};
        log->clock = clock;
        log->Open(1);
        log->Add(QString());
        log->Add(QStringLiteral("===== KX7391Updater  (Nov. 2025 Fixed) ====="));
        break;
      case Step::kAdd: log->Add(s.text); break;
      case Step::kSave: log->Save(s.which); break;
      case Step::kSerial:
        log->ChangeSerialNumber(s.text);
        log->Save(3);
        break;
    }
  }
  if (log) log->Save(3);
}

// Every file of a folder and its bytes.
std::map<QString, QByteArray> Files(const QString &dir) {
  std::map<QString, QByteArray> out;
  for (const QString &name : QDir(dir).entryList(QDir::Files)) out[name] = kxtest::ReadAll(QDir(dir).filePath(name));
  return out;
}

QByteArray Encoded(QStringConverter::Encoding e, const QString &text) {
  return QStringEncoder(e, QStringConverter::Flag::WriteBom).encode(text);
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
  EXPECT_EQ(log.PendingLines(), 4 + 2) << "nothing is written before a save";
}

// The files after a sequence of runs are, byte for byte, what the whole-file save wrote.
TEST_F(LogTest, AppendingGivesTheFilesTheWholeFileSaveWrote) {
  const QString old = QStringLiteral("2024/01/01 00:00:00.000 \u00e9t\u00e9 \u65e5\u672c \U0001F600");
  struct Case {
    const char *name;
    std::map<QString, QByteArray> before;
    std::vector<Step> steps;
  } cases[] = {
      {"new files, two runs", {}, {NewRun(), Add("a"), Save(), NewRun(), Add("\u00e9\u65e5"), Save(1), Add("b")}},
      {"serial numbers A, B, A, none",
       {},
       {NewRun(), Serial("A"), Add("a1"), Serial("B"), Add("b1"), Save(), Serial("A"), Add("a2"), Serial(""),
        Add("main only"), NewRun(), Serial("B"), Add("b2")}},
      {"an unusable serial number between two usable ones",
       {},
       {NewRun(), Serial("A"), Add("a1"), Serial("../x"), Add("kept"), Save(), Serial("a/b"), Serial(".."),
        Serial("A"), Add("a2")}},
      {"UTF-8 with a byte-order mark",
       {{"KX7391Updater_Log.txt", Encoded(QStringConverter::Utf8, old + "\r\n")},
        {"A_Log.txt", Encoded(QStringConverter::Utf8, old + "\r\n")}},
       {NewRun(), Serial("A"), Add("\u00e9"), NewRun(), Serial("A"), Add("again")}},
      {"UTF-16 little endian with a byte-order mark",
       {{"KX7391Updater_Log.txt", Encoded(QStringConverter::Utf16LE, old + "\r\n" + old + "\r\n")},
        {"A_Log.txt", Encoded(QStringConverter::Utf16LE, old + "\r\n")}},
       {NewRun(), Serial("A"), Add("\u00e9 \U0001F600"), Serial("B"), Serial("A"), Add("x")}},
      {"UTF-16 big endian with a byte-order mark",
       {{"KX7391Updater_Log.txt", Encoded(QStringConverter::Utf16BE, old + "\r\n")}},
       {NewRun(), Add("\u65e5"), NewRun()}},
      {"an empty file", {{"A_Log.txt", QByteArray()}}, {NewRun(), Serial("A"), Add("x")}},
      {"a last line without its line end",
       {{"KX7391Updater_Log.txt", QByteArray("2024/01/01 00:00:00.000 one\r\n2024/01/01 00:00:00.001 cut")},
        {"A_Log.txt", Encoded(QStringConverter::Utf16LE, old + "\r\n" + old)}},
       {NewRun(), Serial("A"), Add("next")}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::ScopedWorkDir appended;
    for (const auto &[name, bytes] : c.before) WriteBytes(appended.file(name), bytes);
    Play<OperationLog>(c.steps, SteppingClock());
    kxtest::ScopedWorkDir whole;
    for (const auto &[name, bytes] : c.before) WriteBytes(whole.file(name), bytes);
    Play<WholeFileLog>(c.steps, SteppingClock());

    const auto expected = Files(whole.path());
    const auto got = Files(appended.path());
    ASSERT_FALSE(expected.empty());
    EXPECT_EQ(got.size(), expected.size());
    for (const auto &[name, bytes] : expected) {
      ASSERT_TRUE(got.count(name)) << name.toStdString() << " is missing";
      EXPECT_EQ(got.at(name), bytes) << name.toStdString() << " differs";
    }
    EXPECT_TRUE(QDir(QDir(appended.path()).filePath("..")).entryList({"x_Log.txt"}).isEmpty());
  }
}

TEST_F(LogTest, HistoryInAnEightBitCodePageKeepsItsBytes) {
  // Windows-1252 and Shift JIS lines as an older updater wrote them: not UTF-8.
  const QByteArray history = QByteArray("2023/05/06 07:08:09.010 \xe9t\xe9 caf\xe9\r\n") +
                             QByteArray("2023/05/06 07:08:09.011 \x93\xfa\x96{\r\n");
  WriteBytes(dir.file("KX7391Updater_Log.txt"), history);
  WriteBytes(dir.file("A_Log.txt"), history);
  Play<OperationLog>({NewRun(), Serial("A"), Add("\u00e9"), NewRun(), Serial("A")}, SteppingClock());
  for (const char *name : {"KX7391Updater_Log.txt", "A_Log.txt"}) {
    SCOPED_TRACE(name);
    const QByteArray bytes = kxtest::ReadAll(dir.file(name));
    EXPECT_TRUE(bytes.startsWith(history));
    EXPECT_TRUE(bytes.mid(history.size()).contains("\xc3\xa9\r\n")) << "new lines are UTF-8";
  }
}

TEST_F(LogTest, FailedSaveKeepsItsLinesAndTellsOnceUntilASaveSucceeds) {
  struct Case {
    const char *name;
    bool existingFile;  // the file exists and is made immutable; otherwise the folder is
  } cases[] = {{"immutable file", true}, {"folder that cannot be written", false}};
  KX_SKIP_UNLESS_IMMUTABLE(dir.path());
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::ScopedWorkDir work;
    const QString file = work.file("KX7391Updater_Log.txt");
    const QByteArray history("2024/01/01 00:00:00.000 old\r\n");
    if (c.existingFile) WriteBytes(file, history);
    QStringList told;
    OperationLog log;
    log.saveFailed = [&](const QString &m) { told.append(m); };
    log.Open(3);
    QStringList expected;
    if (c.existingFile) {
      log.Add(QStringLiteral("before"));
      log.Save(3);
      expected.append(QStringLiteral("before"));
    }
    auto locked = std::make_unique<kxtest::Immutable>(c.existingFile ? file : work.path());
    ASSERT_TRUE(locked->ok()) << "chattr +i failed";
    for (int i = 0; i < 3; ++i) {
      log.Add(QStringLiteral("while locked %1").arg(i));
      log.Save(3);
    }
    ASSERT_EQ(told.size(), 1) << "shown once, not at every save";
    EXPECT_TRUE(told[0].contains("KX7391Updater_Log.txt")) << told[0].toStdString();
    EXPECT_TRUE(told[0].contains("Operation not permitted")) << told[0].toStdString();
    EXPECT_EQ(log.PendingLines(), 3);
    locked->Release();
    log.Add(QStringLiteral("after"));
    log.Save(3);
    EXPECT_EQ(log.PendingLines(), 0);
    if (c.existingFile) {
      EXPECT_TRUE(kxtest::ReadAll(file).startsWith(history));
    }
    expected += QStringList{"while locked 0", "while locked 1", "while locked 2", "after"};
    EXPECT_EQ(Texts(FileLines(file)).mid(c.existingFile ? 1 : 0), expected);

    // Once a save has written everything, the next failure is shown again.
    locked = std::make_unique<kxtest::Immutable>(file);
    ASSERT_TRUE(locked->ok()) << "chattr +i failed";
    log.Add(QStringLiteral("locked again"));
    log.Save(3);
    EXPECT_EQ(told.size(), 2);
    locked.reset();
    log.Save(1);
    EXPECT_EQ(Texts(FileLines(file)).last(), "locked again");
  }
}

TEST_F(LogTest, SerialLogThatFailedIsWrittenAfterTheSerialNumberChanged) {
  KX_SKIP_UNLESS_IMMUTABLE(dir.path());
  QStringList told;
  OperationLog log;
  log.saveFailed = [&](const QString &m) { told.append(m); };
  log.ChangeSerialNumber(QStringLiteral("A"));
  log.Add(QStringLiteral("a1"));
  log.Save(3);
  {
    kxtest::Immutable locked(dir.file("A_Log.txt"));
    ASSERT_TRUE(locked.ok()) << "chattr +i failed";
    log.Add(QStringLiteral("a2"));
    log.ChangeSerialNumber(QStringLiteral("B"));  // saves A's log: fails, keeps a2
    log.Add(QStringLiteral("b1"));
    log.Save(3);
  }
  log.Add(QStringLiteral("b2"));
  log.Save(3);
  EXPECT_EQ(told.size(), 1);
  EXPECT_EQ(Texts(FileLines(dir.file("A_Log.txt"))), (QStringList{"SerialNumbrt Change to A", "a1", "a2"}));
  EXPECT_EQ(Texts(FileLines(dir.file("B_Log.txt"))), (QStringList{"SerialNumbrt Change to B", "b1", "b2"}));
  EXPECT_EQ(log.PendingLines(), 0);
}

TEST_F(LogTest, SerialNumberThatIsNoFileNameIsToldAndWritesNothingElsewhere) {
  for (const QString &serial : {QStringLiteral("../x"), QStringLiteral("a/b"), QStringLiteral(".."),
                                QStringLiteral("."), QString(QChar(0)) + QStringLiteral("x")}) {
    SCOPED_TRACE(serial.toStdString());
    kxtest::ScopedWorkDir inner;
    QStringList told;
    OperationLog log;
    log.saveFailed = [&](const QString &m) { told.append(m); };
    log.ChangeSerialNumber(serial);
    log.Add(QStringLiteral("kept"));
    log.Save(3);
    log.Save(3);
    ASSERT_EQ(told.size(), 1);
    EXPECT_TRUE(told[0].contains("The file name is not valid.")) << told[0].toStdString();
    EXPECT_EQ(Texts(log.SerialLines()), (QStringList{"SerialNumbrt Change to " + serial, "kept"}));
    EXPECT_EQ(log.PendingLines(), 2) << "the serial-number log's lines stay in memory";
    EXPECT_EQ(QDir(inner.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"KX7391Updater_Log.txt"});
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{});
  }
}

// A process killed between two saves or in the middle of a large one: the history and
// every earlier save stay whole, at most the cut save's lines are missing or cut, and
// the next run's lines follow on a line of their own.
TEST_F(LogTest, KillDuringSavingLeavesEveryEarlierLineIntact) {
  QByteArray history;
  QStringList historyLines;
  for (int i = 0; i < 1000; ++i) {
    historyLines.append(QStringLiteral("2024/01/01 00:00:00.000 history %1").arg(i));
    history += historyLines.last().toUtf8() + "\r\n";
  }
  struct Case {
    const char *name;
    int saves;
    int large;
    int killAfterSaved;  // kill once this save has been told (-1: once the large one starts)
    bool inTheWrite;     // and only once the file has begun to grow
  } cases[] = {{"between two saves", 100000, 0, 40, false},
               {"before a large save's write", 5, 200000, -1, false},
               {"in a large save's write", 5, 200000, -1, true}};
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    kxtest::ScopedWorkDir work;
    WriteBytes(work.file("KX7391Updater_Log.txt"), history);
    QProcess tool;
    tool.start(QCoreApplication::applicationDirPath() + QStringLiteral("/log_save_tool"),
               {QString::number(c.saves), QString::number(c.large)});
    ASSERT_TRUE(tool.waitForStarted());
    const QByteArray awaited = c.killAfterSaved >= 0 ? "saved " + QByteArray::number(c.killAfterSaved) + "\n"
                                                     : QByteArray("large\n");
    QByteArray told;
    while (!told.contains(awaited) && tool.waitForReadyRead(10000)) told += tool.readAllStandardOutput();
    ASSERT_TRUE(told.contains(awaited)) << told.toStdString();
    if (c.inTheWrite) {
      const qint64 before = QFileInfo(work.file("KX7391Updater_Log.txt")).size();
      QDeadlineTimer limit(20000);
      while (QFileInfo(work.file("KX7391Updater_Log.txt")).size() == before && !limit.hasExpired())
        QThread::usleep(100);
    }
    tool.kill();
    tool.waitForFinished();
    told += tool.readAllStandardOutput();
    const int lastSaved = told.count("saved ") - 1;

    // The next run.
    OperationLog log;
    log.Open(1);
    log.Add(QStringLiteral("next run"));
    log.Save(1);

    const QByteArray bytes = kxtest::ReadAll(work.file("KX7391Updater_Log.txt"));
    ASSERT_TRUE(bytes.startsWith(history));
    QStringList lines = QString::fromUtf8(bytes.mid(history.size())).split(QStringLiteral("\r\n"));
    ASSERT_EQ(lines.takeLast(), QString());
    ASSERT_EQ(lines.takeLast(), log.MainLines().last());
    // The tool's lines in order: every line of each told save whole, then perhaps the
    // first lines of the save it was killed in, the last of them perhaps cut.
    const auto expected = [&](qsizetype k) {
      return k < 3 * qsizetype(c.saves) ? QStringLiteral("save %1 line %2").arg(k / 3).arg(k % 3)
                                        : QStringLiteral("save %1 line %2").arg(c.saves).arg(k - 3 * c.saves);
    };
    const qsizetype told3 = lastSaved < c.saves ? 3 * qsizetype(lastSaved + 1) : 3 * qsizetype(c.saves) + c.large;
    const qsizetype next = lastSaved + 1 < c.saves ? 3 : (lastSaved + 1 == c.saves ? c.large : 0);
    ASSERT_GE(lines.size(), told3);
    ASSERT_LE(lines.size(), told3 + next);
    for (qsizetype k = 0; k < lines.size(); ++k) {
      const bool cutAllowed = k == lines.size() - 1 && k >= told3;
      QString cut = lines[k].mid(24);
      if (cut.endsWith(u'\r')) cut.chop(1);  // killed between CR and LF
      if (cutAllowed && lines[k].mid(24) != expected(k))
        EXPECT_TRUE(lines[k].size() < 24 || expected(k).startsWith(cut)) << lines[k].toStdString();
      else
        ASSERT_EQ(lines[k].mid(24), expected(k)) << "line " << k;
    }
  }
}
