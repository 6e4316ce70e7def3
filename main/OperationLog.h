#pragma once
// The operation log: the main log of every run on this PC and one log per receiver
// serial number, held in memory and written to disk as whole files.
#include <QDateTime>
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
  // Writes the logs named by the bit set to disk, each file replaced whole and
  // atomically. Raises EFileError when a file cannot be written.
  void Save(int which);
  // Loads the logs named by the bit set from disk; a missing file gives an empty log.
  void Open(int which);
  // The serial-number change: saves the previous number's log, switches to the new
  // number (empty stops serial-number logging), loads its log and records the change.
  void ChangeSerialNumber(const QString &serial);

  const QStringList &MainLines() const { return main_.lines; }
  const QStringList &SerialLines() const { return serial_.lines; }
  QString SerialBaseName() const { return serial_.baseName; }
  QString MainFileName() const;
  QString SerialFileName() const;

  // The clock, replaceable by tests.
  std::function<QDateTime()> clock = [] { return QDateTime::currentDateTime(); };

 private:
  struct Log {
    QString baseName;
    QStringList lines;
    // How the file on disk was encoded, so that it is written back the same way.
    QStringConverter::Encoding encoding = QStringConverter::Utf8;
    bool byteOrderMark = false;
  };
  static QString FileNameFor(const Log &log, const QString &suffix);
  static void SaveLog(const Log &log, const QString &fileName);
  static void OpenLog(Log &log, const QString &fileName);

  Log main_;
  Log serial_;
  QChar dateSep_;
  QChar timeSep_;
};

}  // namespace kx
