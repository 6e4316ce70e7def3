#include "main/OperationLog.h"

#include <QFile>
#include <QLocale>
#include <QSaveFile>
#include <QStringDecoder>
#include <QStringEncoder>

#include "platform/FileError.h"

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
  main_.baseName = QStringLiteral("KX7391Updater_Log");
}

QString OperationLog::FileNameFor(const Log &log, const QString &suffix) { return log.baseName + suffix; }
QString OperationLog::MainFileName() const { return FileNameFor(main_, QStringLiteral(".txt")); }
QString OperationLog::SerialFileName() const { return FileNameFor(serial_, QStringLiteral("_Log.txt")); }

void OperationLog::Add(const QString &text) {
  const QString line = LogStamp(clock(), dateSep_, timeSep_) + text;
  main_.lines.append(line);
  if (!serial_.baseName.isEmpty()) serial_.lines.append(line);
}

void OperationLog::SaveLog(const Log &log, const QString &fileName) {
  if (!UsableFileStem(log.baseName))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". The file name is not valid.").arg(fileName));
  QString text;
  qsizetype size = 0;
  for (const QString &l : log.lines) size += l.size() + 2;
  text.reserve(size);
  for (const QString &l : log.lines) {
    text += l;
    text += QLatin1String("\r\n");
  }
  QStringEncoder encoder(log.encoding,
                         log.byteOrderMark ? QStringConverter::Flag::WriteBom : QStringConverter::Flag::Default);
  const QByteArray bytes = encoder.encode(text);
  // Written beside the old file and renamed over it, so a crash or a full disk
  // leaves the whole old history rather than a truncated one.
  QSaveFile file(fileName);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit())
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2").arg(fileName, file.errorString()));
}

void OperationLog::OpenLog(Log &log, const QString &fileName) {
  if (!UsableFileStem(log.baseName))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". The file name is not valid.").arg(fileName));
  QFile file(fileName);
  if (!file.exists()) {
    log.lines.clear();
    log.encoding = QStringConverter::Utf8;
    log.byteOrderMark = false;
    return;
  }
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(fileName, file.errorString()));
  const QByteArray bytes = file.readAll();
  const auto bom = QStringConverter::encodingForData(bytes);
  log.byteOrderMark = bom.has_value();
  log.encoding = bom.value_or(QStringConverter::Utf8);
  QStringDecoder decoder(log.encoding);  // skips the byte-order mark by default
  const QString text = decoder.decode(bytes);

  // Lines end in CR LF, LF or CR; a final line break opens no empty line.
  log.lines.clear();
  qsizetype start = 0;
  const qsizetype n = text.size();
  for (qsizetype i = 0; i < n; ++i) {
    const QChar c = text[i];
    if (c == u'\r' || c == u'\n') {
      log.lines.append(text.mid(start, i - start));
      if (c == u'\r' && i + 1 < n && text[i + 1] == u'\n') ++i;
      start = i + 1;
    }
  }
  if (start < n) log.lines.append(text.mid(start));
}

void OperationLog::Save(int which) {
  if (which & kMain) SaveLog(main_, MainFileName());
  if ((which & kSerial) && !serial_.baseName.isEmpty()) SaveLog(serial_, SerialFileName());
}

void OperationLog::Open(int which) {
  if (which & kMain) OpenLog(main_, MainFileName());
  if ((which & kSerial) && !serial_.baseName.isEmpty()) OpenLog(serial_, SerialFileName());
}

void OperationLog::ChangeSerialNumber(const QString &serial) {
  Save(kSerial);
  serial_.baseName = serial;
  serial_.lines.clear();
  Open(kSerial);
  Add(QStringLiteral("SerialNumbrt Change to ") + serial);
}

}  // namespace kx
