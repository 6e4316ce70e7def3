#pragma once
// The operation log: the main log of every run on this PC and one log per receiver
// serial number. A save appends the lines logged since the last save to the end of
// each file; what is already on disk is never read back or rewritten.
#include <QDateTime>
#include <QHash>
#include <QString>
#include <QStringConverter>
#include <QStringList>
#include <functional>

namespace kx {

// Formats the log stamp "yyyy/mm/dd hh:nn:ss.zzz " with the locale's date and time
// separators ("/" and ":" where the locale gives none).
QString LogStamp(const QDateTime &when, QChar dateSeparator, QChar timeSeparator);
QChar LocaleDateSeparator();
QChar LocaleTimeSeparator();

class OperationLog {
 public:
  static constexpr int kMain = 1;
  static constexpr int kSerial = 2;

  OperationLog();

  // Appends stamp + text to the main log, and to the serial-number log when one is active.
  void Add(const QString &text);
  // Appends the lines not yet written to the files named by the bit set, one write and
  // one flush to the disk per file. Raises nothing: a file that cannot be written keeps
  // its lines for the next save, and the failure is told to `saveFailed` once, then not
  // again until a save has caught up (every line that can be written is on disk).
  void Save(int which);
  // Takes the encoding of the files named by the bit set from their first bytes, and
  // whether their last line is ended; a missing file is created as UTF-8 at the first save.
  void Open(int which);
  // The serial-number change: saves the previous number's log, switches to the new
  // number (empty stops serial-number logging), opens its log and records the change.
  void ChangeSerialNumber(const QString &serial);

  // The lines this process has logged, and those since the current serial number was
  // entered. The history on disk is not held.
  const QStringList &MainLines() const { return mainRun_; }
  const QStringList &SerialLines() const { return serialRun_; }
  // Lines logged but not yet on disk, over all files.
  qsizetype PendingLines() const;
  QString SerialBaseName() const { return serialBaseName_; }
  QString MainFileName() const;
  QString SerialFileName() const;

  // The clock, replaceable by tests.
  std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };
  // Shows a failed save; standard error unless the owner replaces it.
  std::function<void(const QString &message)> saveFailed;
  // Told of each append that reached a file whole: the file and the lines it took.
  std::function<void(const QString &fileName, const QStringList &lines)> appended;

 private:
  struct LogFile {
    QStringList pending;
    // How the file on disk is encoded, taken from its first bytes, so that appended
    // lines match it; a byte-order mark is written only into an empty file.
    bool known = false;
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    bool byteOrderMark = false;
    // The file ends inside a line (cut by a crash or written by another program):
    // the next append ends it first.
    bool lineOpen = false;
    // Named after a serial number that cannot be a file name: its lines stay in memory.
    bool unusable = false;
  };
  static QString Learn(LogFile &log, const QString &fileName);
  QString Append(LogFile &log, const QString &fileName);
  QString SaveFile(const QString &fileName);

  QString serialBaseName_;
  // Lines waiting for their file, by file name; a file leaves once it holds all its lines
  // and is neither the main log nor the current serial-number log.
  QHash<QString, LogFile> files_;
  QStringList mainRun_;
  QStringList serialRun_;
  bool failureShown_ = false;
  QChar dateSep_;
  QChar timeSep_;
};

}  // namespace kx
