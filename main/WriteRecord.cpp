#include "main/WriteRecord.h"

#include <QFile>
#include <QMutexLocker>
#include <QRegularExpression>
#include <QStringConverter>
#include <QStringDecoder>
#include <QStringEncoder>
#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/AppendFile.h"

namespace kx {

namespace {

constexpr std::array<quint32, 256> MakeCrcTable() {
  std::array<quint32, 256> table{};
  for (quint32 n = 0; n < 256; ++n) {
    quint32 c = n;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
    table[n] = c;
  }
  return table;
}
constexpr std::array<quint32, 256> kCrcTable = MakeCrcTable();

const QString kTimeFormat = QStringLiteral("yyyy-MM-dd HH:mm:ss");
constexpr int kColumns = 9;
constexpr int kSerialColumn = 1;

// The same rule as the operation log's: a serial number is a file stem as typed, unless
// it would leave the working directory or cannot be a file name at all.
bool UsableFileStem(const QString &stem) {
  return !stem.isEmpty() && !stem.contains(u'/') && !stem.contains(QChar(0)) && stem != u"." && stem != u"..";
}

QString SecondsText(const WriteRecord &r) {
  return r.result == WriteResult::Started ? QString() : QString::number(r.seconds, 'f', 1);
}

// Closes the lock descriptor, which also releases the lock.
class LockedFile {
 public:
  explicit LockedFile(const QString &path) {
    const QByteArray name = QFile::encodeName(path);
    // Read-only, so that a file which cannot be written is still locked and read; the
    // append itself then reports why it cannot write.
    fd_ = ::open(name.constData(), O_RDONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd_ < 0) return;
    while (::flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        ::close(fd_);
        fd_ = -1;
        return;
      }
    }
  }
  ~LockedFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  LockedFile(const LockedFile &) = delete;
  LockedFile &operator=(const LockedFile &) = delete;

  // What the next row must be preceded by when the file of `size` bytes ends inside a
  // row (an append cut short by a crash or a full disk): the line end, after a closing
  // quote when the row was cut inside a quoted field, so the cut row stays one row and
  // cannot swallow the next. Reads at most one row's worth from the end.
  QByteArray RowEnding(qint64 size) const {
    if (fd_ < 0 || size <= 0) return {};
    char last = 0;
    if (::pread(fd_, &last, 1, size - 1) != 1 || last == '\n') return {};
    QByteArray end(static_cast<int>(std::min<qint64>(size, 4096)), '\0');
    if (::pread(fd_, end.data(), end.size(), size - end.size()) != end.size()) return QByteArray("\r\n");
    const QByteArray cut = end.mid(end.lastIndexOf('\n') + 1);
    return cut.count('"') % 2 ? QByteArray("\"\r\n") : QByteArray("\r\n");
  }

 private:
  int fd_ = -1;
};

}  // namespace

quint32 Crc32(QByteArrayView data, quint32 crc) {
  crc = ~crc;
  for (const char byte : data) crc = kCrcTable[(crc ^ static_cast<quint8>(byte)) & 0xFF] ^ (crc >> 8);
  return ~crc;
}

QString Crc32Hex(quint32 crc) { return QStringLiteral("%1").arg(crc, 8, 16, QChar(u'0')).toUpper(); }

QString WriteResultText(WriteResult result) {
  switch (result) {
    case WriteResult::Started: return QStringLiteral("started");
    case WriteResult::Written: return QStringLiteral("written");
    case WriteResult::Failed: return QStringLiteral("failed");
    case WriteResult::Aborted: return QStringLiteral("aborted");
  }
  return {};
}

std::optional<WriteResult> WriteResultFromText(const QString &text) {
  for (WriteResult r : {WriteResult::Started, WriteResult::Written, WriteResult::Failed, WriteResult::Aborted}) {
    if (text == WriteResultText(r)) return r;
  }
  return std::nullopt;
}

void WriteRecord::SetImages(const QList<WrittenImage> &images) {
  QStringList names;
  QStringList crcs;
  for (const WrittenImage &i : images) {
    names.append(i.name);
    crcs.append(Crc32Hex(Crc32(i.bytes)));
  }
  image = names.join(u'+');
  crc32 = crcs.join(u'+');
}

QStringList WriteRecordHeader() {
  return {QStringLiteral("Time"),   QStringLiteral("Serial number"), QStringLiteral("Board"),
          QStringLiteral("Image"),  QStringLiteral("CRC-32"),        QStringLiteral("Port"),
          QStringLiteral("Result"), QStringLiteral("Seconds"),       QStringLiteral("Updater version")};
}

QStringList WriteRecordFields(const WriteRecord &r) {
  return {r.time.toString(kTimeFormat), r.serial, r.board, r.image, r.crc32, r.port, WriteResultText(r.result),
          SecondsText(r), r.version};
}

QString CsvField(const QString &field, bool forceQuotes) {
  const bool quote = forceQuotes || field.contains(u',') || field.contains(u'"') || field.contains(u'\r') ||
                     field.contains(u'\n');
  if (!quote) return field;
  QString out = field;
  out.replace(u'"', QStringLiteral("\"\""));
  return u'"' + out + u'"';
}

namespace {
QByteArray CsvRow(const QStringList &fields, int alwaysQuoted) {
  QStringList cells;
  for (int i = 0; i < fields.size(); ++i) cells.append(CsvField(fields[i], i == alwaysQuoted));
  return (cells.join(u',') + QStringLiteral("\r\n")).toUtf8();
}
}  // namespace

QByteArray WriteRecordRow(const WriteRecord &record) { return CsvRow(WriteRecordFields(record), kSerialColumn); }

QList<QStringList> ParseCsv(const QString &text) {
  QList<QStringList> rows;
  QStringList row;
  QString field;
  bool quoted = false;       // inside a quoted field
  bool rowStarted = false;   // something of the current row has been read
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const QChar c = text[i];
    if (quoted) {
      if (c == u'"') {
        if (i + 1 < n && text[i + 1] == u'"') {
          field += u'"';
          ++i;
        } else {
          quoted = false;
        }
      } else {
        field += c;
      }
      continue;
    }
    if (c == u'"' && field.isEmpty()) {
      quoted = true;
      rowStarted = true;
    } else if (c == u',') {
      row.append(field);
      field.clear();
      rowStarted = true;
    } else if (c == u'\n' || (c == u'\r' && i + 1 < n && text[i + 1] == u'\n')) {
      if (c == u'\r') ++i;
      row.append(field);
      rows.append(row);
      row.clear();
      field.clear();
      rowStarted = false;
    } else {
      field += c;
      rowStarted = true;
    }
  }
  if (rowStarted) {
    row.append(field);
    rows.append(row);
  }
  return rows;
}

std::optional<WriteRecord> WriteRecordFromFields(const QStringList &f) {
  if (f.size() != kColumns) return std::nullopt;
  const auto result = WriteResultFromText(f[6]);
  if (!result) return std::nullopt;
  WriteRecord r;
  r.time = QDateTime::fromString(f[0], kTimeFormat);
  if (!r.time.isValid()) return std::nullopt;
  r.serial = f[1];
  r.board = f[2];
  r.image = f[3];
  r.crc32 = f[4];
  r.port = f[5];
  r.result = *result;
  if (!f[7].isEmpty()) {
    bool ok = false;
    r.seconds = f[7].toDouble(&ok);
    if (!ok) return std::nullopt;
  }
  r.version = f[8];
  return r;
}

WriteRecordFileContents ReadWriteRecordFile(const QString &path) {
  WriteRecordFileContents out;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly)) {
    out.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, file.errorString());
    return out;
  }
  const QList<QStringList> rows = ParseCsv(QString::fromUtf8(file.readAll()));
  for (qsizetype i = 0; i < rows.size(); ++i) {
    if (i == 0) {
      out.header = rows[i];
    } else if (auto r = WriteRecordFromFields(rows[i])) {
      out.records.append(*r);
    } else {
      ++out.otherRows;
    }
  }
  return out;
}

WriteRecordFile::WriteRecordFile(QString path) : path_(std::move(path)) {}

qsizetype WriteRecordFile::PendingRows() const {
  QMutexLocker lock(&mutex_);
  return pending_.size();
}

bool WriteRecordFile::Append(const WriteRecord &record) {
  QString report;
  bool complete = false;
  {
    QMutexLocker lock(&mutex_);
    if (record.time.isValid()) {
      pending_.append(WriteRecordRow(record));
    } else {
      WriteRecord now = record;
      now.time = QDateTime::currentDateTime();
      pending_.append(WriteRecordRow(now));
    }
    // Held from before the size is taken until the rows are on the disk: the process that
    // finds the file empty writes the header, any other one waits and then finds it made.
    const LockedFile locked(path_);
    std::vector<qint64> rowEnds;
    const auto compose = [&](qint64 sizeBefore) {
      QByteArray bytes;
      if (sizeBefore == 0)
        bytes += CsvRow(WriteRecordHeader(), -1);
      else
        bytes += locked.RowEnding(sizeBefore);
      for (const QByteArray &row : std::as_const(pending_)) {
        bytes += row;
        rowEnds.push_back(bytes.size());
      }
      return bytes;
    };
    const AppendResult result = AppendToFile(path_, compose);
    // Rows cut short go out again, whole, with the next append.
    const auto whole = std::upper_bound(rowEnds.begin(), rowEnds.end(), result.written) - rowEnds.begin();
    pending_.remove(0, whole);
    complete = pending_.isEmpty() && result.error.isEmpty();
    if (!result.error.isEmpty()) {
      if (!failureShown_) {
        failureShown_ = true;
        report = result.error;
      }
    } else if (pending_.isEmpty()) {
      failureShown_ = false;
    }
  }
  // Outside the lock, so that the sink may append or ask for the pending rows.
  if (!report.isEmpty() && failed) failed(report);
  return complete;
}

QString WriteRecordLogLine(const WriteRecord &r) {
  QString line = QStringLiteral("Write record: %1 %2 %3 CRC-32 %4")
                     .arg(WriteResultText(r.result), r.board, r.image, r.crc32);
  if (!r.port.isEmpty()) line += u' ' + r.port;
  if (r.result != WriteResult::Started) line += QStringLiteral(" %1 s").arg(SecondsText(r));
  return line;
}

namespace {

// A log line "yyyy/mm/dd hh:nn:ss.zzz Write record: <result> <board> ..." with any
// single character as the locale's date and time separators.
const QRegularExpression &RecordLinePattern() {
  static const QRegularExpression pattern(QStringLiteral(
      R"(^((\d{4})\D(\d{2})\D(\d{2}) (\d{2})\D(\d{2})\D(\d{2}))\.(\d{3}) +Write record: (started|written|failed|aborted) (\S+))"));
  return pattern;
}

struct Encoding {
  QStringConverter::Encoding encoding = QStringConverter::Utf8;
  qint64 markSize = 0;  // bytes of the byte-order mark at the start
  qint64 unitSize = 1;  // bytes of one code unit
};

Encoding EncodingOf(const QByteArray &firstBytes) {
  Encoding e;
  const auto found = QStringConverter::encodingForData(firstBytes);
  if (!found) return e;
  e.encoding = *found;
  QStringEncoder encoder(e.encoding);
  e.markSize = QByteArray(encoder.encode(QString(QChar(QChar::ByteOrderMark)))).size();
  e.unitSize = QByteArray(encoder.encode(QStringLiteral("a"))).size();
  return e;
}

}  // namespace

std::optional<InterruptedWrite> LastWriteInterrupted(QString text, bool startsInsideLine) {
  // A tail that starts inside the file starts inside a line: that line is not whole.
  if (startsInsideLine) text.remove(0, text.indexOf(u'\n') + 1);
  QStringList lines = text.split(u'\n');
  // The last element follows the last line end: empty, or a line cut before its end.
  lines.removeLast();
  for (qsizetype i = lines.size() - 1; i >= 0; --i) {
    const QRegularExpressionMatch m = RecordLinePattern().match(lines[i]);
    if (!m.hasMatch()) continue;
    const QDateTime started(QDate(m.captured(2).toInt(), m.captured(3).toInt(), m.captured(4).toInt()),
                            QTime(m.captured(5).toInt(), m.captured(6).toInt(), m.captured(7).toInt(),
                                  m.captured(8).toInt()));
    // A stamp that is no time is no line of the log (bytes of a damaged file).
    if (!started.isValid()) continue;
    if (m.captured(9) != u"started") return std::nullopt;
    return InterruptedWrite{m.captured(10), started, m.captured(1)};
  }
  return std::nullopt;
}

InterruptedWriteLook LookForInterruptedWrite(const QString &logPath, qint64 tailBytes) {
  InterruptedWriteLook look;
  QFile file(logPath);
  if (!file.exists()) return look;
  // Unbuffered: every byte read is one asked for, so the cost is what this asks.
  if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
    look.error = QStringLiteral("Cannot open file \"%1\". %2").arg(logPath, file.errorString());
    return look;
  }
  const qint64 size = file.size();
  const QByteArray first = file.read(std::min<qint64>(4, size));
  look.bytesRead += first.size();
  const Encoding enc = EncodingOf(first);
  // The tail starts on a code unit, at most `tailBytes` before the end.
  qint64 start = std::max(enc.markSize, size - std::max<qint64>(0, tailBytes));
  start = enc.markSize + (start - enc.markSize + enc.unitSize - 1) / enc.unitSize * enc.unitSize;
  QByteArray tail;
  if (start < size) {
    if (!file.seek(start)) {
      look.error = QStringLiteral("Cannot read file \"%1\". %2").arg(logPath, file.errorString());
      return look;
    }
    tail = file.read(size - start);
    look.bytesRead += tail.size();
  }
  QStringDecoder decoder(enc.encoding);
  look.interrupted = LastWriteInterrupted(decoder.decode(tail), start > enc.markSize);
  return look;
}

InterruptedWriteLook LookForInterruptedWriteOf(const QString &serial, qint64 tailBytes) {
  if (!UsableFileStem(serial)) return {};
  return LookForInterruptedWrite(serial + QStringLiteral("_Log.txt"), tailBytes);
}

QString InterruptedWriteMessage(const InterruptedWrite &write) {
  return QStringLiteral("The last %1 write of this receiver (%2) did not complete: write it again.")
      .arg(write.board, write.startedText);
}

}  // namespace kx
