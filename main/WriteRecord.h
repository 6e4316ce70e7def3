#pragma once
// The record of every write: KX7391Updater_Writes.csv, one row when a write starts and
// one when it ends, appended by every updater and kx7391 working in the folder; and the
// two lines each write adds to the receiver's serial-number log, from which the next use
// of that serial number learns whether the last write was cut off (a crash, a power cut).
// QtCore only, no widgets: failures go to a sink the caller gives.
#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace kx {

inline constexpr const char *kWriteRecordFileName = "KX7391Updater_Writes.csv";

// CRC-32 as zlib, gzip and PNG compute it (polynomial 0xEDB88320 reflected, initial and
// final value 0xFFFFFFFF): "123456789" gives CBF43926. `crc` continues an earlier result.
quint32 Crc32(QByteArrayView data, quint32 crc = 0);
// Eight upper-case hex digits.
QString Crc32Hex(quint32 crc);

enum class WriteResult { Started, Written, Failed, Aborted };
// "started", "written", "failed", "aborted": the result column and the log lines.
QString WriteResultText(WriteResult result);
std::optional<WriteResult> WriteResultFromText(const QString &text);

// One image as written: its name and its bytes (for an SH board the whole 0x40000-byte
// flash image, for DigiDec each of the two image files).
struct WrittenImage {
  QString name;
  QByteArrayView bytes;
};

struct WriteRecord {
  QDateTime time;  // local time; left unset, the moment of the append
  QString serial;  // as typed; text, never a number
  QString board;   // "MainBoard", "Decoder", "Panel", "DigiDec" (no blanks)
  QString image;   // the image name; DigiDec: both names joined by "+"
  QString crc32;   // 8 hex digits per image, joined by "+" in the order of `image`
  QString port;    // "COM9"; empty where the write takes no port (DigiDec)
  WriteResult result = WriteResult::Started;
  double seconds = 0;  // since the start; not written for a start
  QString version;     // the updater's version

  // Sets `image` and `crc32` from the images written, in order.
  void SetImages(const QList<WrittenImage> &images);

  friend bool operator==(const WriteRecord &, const WriteRecord &) = default;
};

// The record file's columns, in order, as its header row names them.
QStringList WriteRecordHeader();
// One record as CSV fields, in the header's order.
QStringList WriteRecordFields(const WriteRecord &record);
// RFC 4180: a field is quoted when it holds a comma, a double quote, CR or LF, and a
// quote inside is doubled. The serial number is always quoted (see WriteRecordRow).
QString CsvField(const QString &field, bool forceQuotes = false);
// One row of the record file, CR LF ended, UTF-8. The serial number is always quoted, so
// that a spreadsheet told to read quoted fields as text keeps it as typed (LibreOffice:
// "Format quoted field as text"; Excel: choose the column's type Text on import).
QByteArray WriteRecordRow(const WriteRecord &record);

// Parses RFC 4180 text into rows of fields: CR LF or LF end a row outside quotes, a
// quoted field may hold commas, doubled quotes and line breaks. A last row without its
// line end counts; an empty text gives no rows.
QList<QStringList> ParseCsv(const QString &text);
// A row of the record file back as a record; nothing when it is not one (the header, a
// row with another number of fields, an unknown result or time).
std::optional<WriteRecord> WriteRecordFromFields(const QStringList &fields);

struct WriteRecordFileContents {
  QStringList header;  // the first row as it stands in the file
  QList<WriteRecord> records;
  int otherRows = 0;  // rows after the first that are not records
  QString error;      // the file could not be read
};
// Reads the whole record file (for tests and tools; the updater itself only appends).
WriteRecordFileContents ReadWriteRecordFile(const QString &path);

// Appends records to the record file. One write() per append on an O_APPEND descriptor,
// flushed to the disk before it returns, so that the rows of several processes in the
// folder never cut into each other; the header row goes into the file only by the
// append that finds it empty, under an exclusive lock, so two processes making the file
// at once give one header. A file that does not end with a line break (an append cut
// short) gets one before the next row. Safe to call from several threads.
class WriteRecordFile {
 public:
  explicit WriteRecordFile(QString path = QString::fromLatin1(kWriteRecordFileName));

  // Appends `record` after any rows an earlier failure kept. Raises nothing: rows that
  // did not reach the file are kept for the next append, and the failure goes to
  // `failed` once, then not again until an append has caught up. True when the file
  // holds every row.
  bool Append(const WriteRecord &record);
  // Rows not yet in the file.
  qsizetype PendingRows() const;
  QString path() const { return path_; }

  // Told of a failed append: the file, what failed and the system's reason.
  std::function<void(const QString &message)> failed;

 private:
  QString path_;
  mutable QMutex mutex_;
  QList<QByteArray> pending_;
  bool failureShown_ = false;
};

// The lines a write adds to the serial-number log (without the stamp):
//   "Write record: started MainBoard MAIN_Q_SH_7391 CRC-32 1A2B3C4D COM9"
//   "Write record: written MainBoard MAIN_Q_SH_7391 CRC-32 1A2B3C4D COM9 27.7 s"
// The result word and the board come first, so the line is read back by them alone.
QString WriteRecordLogLine(const WriteRecord &record);

// Bytes read from the end of a serial-number log to find its last write. One MainBoard
// write logs about 0.45 KB from WRITE START to the port's close (1.1 KB with the check
// before it), one DigiDec run about 1.3 KB, each with two record lines of under 0.1 KB
// more: this holds some twenty such runs, room for a writer tool that says far more
// and for the lines logged after a crash before the serial number is taken again.
inline constexpr qint64 kInterruptedWriteTail = 32 * 1024;

struct InterruptedWrite {
  QString board;         // the board of the write that did not end
  QDateTime started;     // its start, from the line's stamp
  QString startedText;   // the stamp as logged, to the second ("2025/11/05 14:03:07")
};

struct InterruptedWriteLook {
  std::optional<InterruptedWrite> interrupted;  // empty: nothing interrupted
  qint64 bytesRead = 0;                         // how much of the file was read
  QString error;                                // a log that exists and cannot be read
};

// Whether the last write recorded in the serial-number log `logPath` started and never
// ended: the last whole record line in its last `tailBytes` bytes is a start. A log that
// is missing, or whose end holds no record line, has nothing interrupted. The log may be
// UTF-8 or begin with a byte-order mark (UTF-8, UTF-16, UTF-32). A last line without its
// line end (cut by a crash while it was saved) does not count.
InterruptedWriteLook LookForInterruptedWrite(const QString &logPath, qint64 tailBytes = kInterruptedWriteTail);
// The look on text already read from the end of a log: `startsInsideLine` when the text
// does not start at the file's start, so that its first line is not whole.
std::optional<InterruptedWrite> LastWriteInterrupted(QString text, bool startsInsideLine);
// The same for the serial number's own log, serial + "_Log.txt" in the working
// directory; a serial number that cannot be a file name has nothing interrupted.
InterruptedWriteLook LookForInterruptedWriteOf(const QString &serial, qint64 tailBytes = kInterruptedWriteTail);

// "The last <board> write of this receiver (<date time>) did not complete: write it again."
QString InterruptedWriteMessage(const InterruptedWrite &write);

}  // namespace kx
