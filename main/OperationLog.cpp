#include "main/OperationLog.h"

#include <QCoreApplication>
#include <QFile>
#include <QLocale>
#include <QStringEncoder>
#include <QThread>
#include <QTimer>
#include <algorithm>
#include <vector>

#include "platform/AppendFile.h"

namespace kx {

namespace {

// The first character of a locale format that is not a field letter or a blank.
QChar SeparatorIn(const QString &format, QChar fallback) {
  for (QChar c : format) {
    if (!c.isLetter() && !c.isSpace() && c != u'\'') return c;
  }
  return fallback;
}

// A serial number becomes a file name as typed; refuse what would leave the
// working directory or cannot be a file name at all.
bool UsableFileStem(const QString &stem) {
  return !stem.contains(u'/') && !stem.contains(QChar(0)) && stem != u"." && stem != u"..";
}

}  // namespace

QChar LocaleDateSeparator() {
  return SeparatorIn(QLocale::system().dateFormat(QLocale::ShortFormat), u'/');
}

QChar LocaleTimeSeparator() {
  return SeparatorIn(QLocale::system().timeFormat(QLocale::ShortFormat), u':');
}

QString LogStamp(const QDateTime &when, QChar dateSeparator, QChar timeSeparator) {
  const QDate d = when.date();
  const QTime t = when.time();
  auto two = [](int v) { return QStringLiteral("%1").arg(v, 2, 10, QChar(u'0')); };
  return QStringLiteral("%1%2%3%4%5 %6%7%8%9%10.%11 ")
      .arg(d.year(), 4, 10, QChar(u'0'))
      .arg(dateSeparator)
      .arg(two(d.month()))
      .arg(dateSeparator)
      .arg(two(d.day()))
      .arg(two(t.hour()))
      .arg(timeSeparator)
      .arg(two(t.minute()))
      .arg(timeSeparator)
      .arg(two(t.second()))
      .arg(t.msec(), 3, 10, QChar(u'0'));
}

OperationLog::OperationLog() : dateSep_(LocaleDateSeparator()), timeSep_(LocaleTimeSeparator()) {
  // The owner shows a failed save its own way (the main window in a box, kx7391 on
  // standard error); until it says, the message goes to standard error.
  saveFailed = [](const QString &message) { qWarning("%s", qPrintable(message)); };
  files_.insert(MainFileName(), LogFile{});
}

QString OperationLog::MainFileName() const { return QStringLiteral("KX7391Updater_Log.txt"); }
QString OperationLog::SerialFileName() const { return serialBaseName_ + QStringLiteral("_Log.txt"); }

qsizetype OperationLog::PendingLines() const {
  qsizetype n = 0;
  for (const LogFile &f : files_) n += f.pending.size();
  return n;
}

void OperationLog::Add(const QString &text) {
  const QString line = LogStamp(clock(), dateSep_, timeSep_) + text;
  mainRun_.append(line);
  files_[MainFileName()].pending.append(line);
  if (!serialBaseName_.isEmpty()) {
    serialRun_.append(line);
    files_[SerialFileName()].pending.append(line);
  }
}

QString OperationLog::Learn(LogFile &log, const QString &fileName) {
  log.known = false;
  log.encoding = QStringConverter::Utf8;
  log.byteOrderMark = false;
  log.lineOpen = false;
  QFile file(fileName);
  if (file.exists()) {
    if (!file.open(QIODevice::ReadOnly))
      return QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString());
    // The encoding from the first bytes only, as a byte-order mark says it.
    const auto bom = QStringConverter::encodingForData(file.read(4));
    log.byteOrderMark = bom.has_value();
    log.encoding = bom.value_or(QStringConverter::Utf8);
    // Whether the last line is ended: its last character only.
    QStringEncoder encoder(log.encoding);
    const QByteArray mark = encoder.encode(QString(QChar(QChar::ByteOrderMark)));
    const QByteArray cr = encoder.encode(QStringLiteral("\r"));
    const QByteArray lf = encoder.encode(QStringLiteral("\n"));
    const qint64 size = file.size();
    if (size > (log.byteOrderMark ? mark.size() : 0)) {
      if (!file.seek(size - lf.size()))
        return QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString());
      const QByteArray last = file.read(lf.size());
      log.lineOpen = last != cr && last != lf;
    }
  }
  log.known = true;
  return {};
}

QString OperationLog::Append(LogFile &log, const QString &fileName) {
  QStringEncoder encoder(log.encoding);
  qint64 prefixSize = 0;
  std::vector<qint64> lineEnds;
  const auto compose = [&](qint64 sizeBefore) {
    QByteArray bytes;
    if (sizeBefore == 0) {
      // A file made anew (or emptied since it was opened) starts as it was opened.
      if (log.byteOrderMark) bytes += encoder.encode(QString(QChar(QChar::ByteOrderMark)));
    } else if (log.lineOpen) {
      bytes += encoder.encode(QStringLiteral("\r\n"));
    }
    prefixSize = bytes.size();
    for (const QString &line : std::as_const(log.pending)) {
      bytes += encoder.encode(line);
      bytes += encoder.encode(QStringLiteral("\r\n"));
      lineEnds.push_back(bytes.size());
    }
    return bytes;
  };
  const AppendResult result = AppendToFile(fileName, compose);
  // A write cut short keeps the lines that did not reach the file whole; they go out
  // again, after a line break, with the next save.
  const auto whole = std::upper_bound(lineEnds.begin(), lineEnds.end(), result.written) - lineEnds.begin();
  if (appended && whole > 0) appended(fileName, log.pending.first(whole));
  log.pending.remove(0, whole);
  if (!lineEnds.empty() && result.written == lineEnds.back())
    log.lineOpen = false;
  else if (result.written > 0)
    log.lineOpen = result.written != prefixSize &&
                   !std::binary_search(lineEnds.begin(), lineEnds.end(), result.written);
  return result.error;
}

QString OperationLog::SaveFile(const QString &fileName) {
  LogFile &log = files_[fileName];
  if (log.pending.isEmpty()) return {};
  if (!log.known) {
    if (QString error = Learn(log, fileName); !error.isEmpty()) return error;
  }
  return Append(log, fileName);
}

void OperationLog::Save(int which) {
  QStringList errors;
  auto save = [&](const QString &fileName) {
    if (QString error = SaveFile(fileName); !error.isEmpty()) errors.append(error);
  };
  if (which & kMain) save(MainFileName());
  if (which & kSerial) {
    const QString current = serialBaseName_.isEmpty() ? QString() : SerialFileName();
    if (!current.isEmpty() && !UsableFileStem(serialBaseName_) && !files_.value(current).pending.isEmpty())
      errors.append(QStringLiteral("Cannot create file \"%1\". The file name is not valid.").arg(current));
    // Serial-number logs left with lines by an earlier failure, then the current one.
    for (const QString &fileName : files_.keys()) {
      if (fileName != MainFileName() && fileName != current && !files_.value(fileName).unusable) save(fileName);
    }
    if (!current.isEmpty() && UsableFileStem(serialBaseName_)) save(current);
  }
  // Files that hold all their lines are no longer needed in memory.
  for (auto it = files_.begin(); it != files_.end();) {
    const bool kept = it.key() == MainFileName() || (!serialBaseName_.isEmpty() && it.key() == SerialFileName());
    it = (!kept && it->pending.isEmpty()) ? files_.erase(it) : std::next(it);
  }
  // Shown again only after everything that can be written has been: a save that merely
  // had nothing to do for its own files does not count.
  const bool allWritten = std::none_of(files_.cbegin(), files_.cend(),
                                       [](const LogFile &f) { return !f.unusable && !f.pending.isEmpty(); });
  if (errors.isEmpty()) {
    if (allWritten) failureShown_ = false;
  } else if (!failureShown_) {
    failureShown_ = true;
    if (saveFailed) saveFailed(errors.join(u'\n'));
  }
}

void OperationLog::Open(int which) {
  auto open = [this](const QString &fileName) {
    LogFile &log = files_[fileName];
    // A file that cannot be read now is tried again, and reported, at the save.
    Learn(log, fileName);
  };
  if (which & kMain) open(MainFileName());
  if ((which & kSerial) && !serialBaseName_.isEmpty()) {
    if (UsableFileStem(serialBaseName_))
      open(SerialFileName());
    else
      files_[SerialFileName()].unusable = true;
  }
}

void OperationLog::ChangeSerialNumber(const QString &serial) {
  Save(kSerial);
  serialBaseName_ = serial;
  serialRun_.clear();
  Open(kSerial);
  Add(QStringLiteral("SerialNumbrt Change to ") + serial);
}

}  // namespace kx
