#include "payload/Loaders.h"

#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <string>
#include <string_view>

#include "payload/JpegImage.h"
#include "payload/Payload.h"
#include "payload/SRecord.h"
#include "platform/FileError.h"

namespace kx {

namespace {

std::string_view View(const QByteArray &bytes) {
  return {bytes.constData(), static_cast<std::size_t>(bytes.size())};
}

// The loaders' texts are single-byte: every byte is one character.
QString Text(const std::string &s) {
  return QString::fromLatin1(s.data(), static_cast<qsizetype>(s.size()));
}

void Tell(const MessageSink &message, const QString &text) {
  if (message) message(text);
}

void SaveImageCopy(const MemoryStream &image) {
  QSaveFile file(QString::fromLatin1(kImageCopyFileName));
  if (!file.open(QIODevice::WriteOnly))
    throw EFileError(QStringLiteral("Cannot create file \"%1\". %2")
                         .arg(file.fileName(), file.errorString()));
  const auto size = static_cast<qint64>(image.Size());
  if (file.write(reinterpret_cast<const char *>(image.Data()), size) != size || !file.commit())
    throw EFileError(QStringLiteral("Cannot write file \"%1\". %2")
                         .arg(file.fileName(), file.errorString()));
}

std::size_t RomBytes(int romSize) { return romSize > 0 ? static_cast<std::size_t>(romSize) : 0; }

}  // namespace

bool MakeMotStreamFromResource(const QString &ResID, MemoryStream &MStream, int RomSize,
                               const MessageSink &message) {
  MStream.Clear();
  const QByteArray text = ReadPayload(ResID);
  const srec::LoadResult r =
      srec::LoadMotText(View(text), srec::LineRule::Payload, MStream, RomBytes(RomSize));
  if (r.error) {
    Tell(message, Text(r.message));
    return false;
  }
  SaveImageCopy(MStream);
  return true;
}

bool MakeMotStream(const QString &FNStr, MemoryStream &MStream, int RomSize,
                   const MessageSink &message) {
  MStream.Clear();
  const QFileInfo info(FNStr);
  if (FNStr.isEmpty() || !info.exists() || info.isDir()) {
    Tell(message, QString::fromLatin1(srec::kMsgNotFoundFirmwareFile).replace(QLatin1String("%s"), FNStr));
    return false;
  }
  QFile file(FNStr);
  if (!file.open(QIODevice::ReadOnly))
    throw EFileError(QStringLiteral("Cannot open file \"%1\". %2").arg(FNStr, file.errorString()));
  const QByteArray text = file.readAll();
  if (file.error() != QFileDevice::NoError)
    throw EFileError(QStringLiteral("Cannot read file \"%1\". %2").arg(FNStr, file.errorString()));
  const srec::LoadResult r =
      srec::LoadMotText(View(text), srec::LineRule::File, MStream, RomBytes(RomSize));
  if (r.error) {
    Tell(message, Text(r.message));
    return false;
  }
  return r.anyData;
}

bool MakeBootStreamFromResource(const QString &ResID, MemoryStream &MStream,
                                const MessageSink &message) {
  MStream.Clear();
  const QByteArray text = ReadPayload(ResID);
  const srec::LoadResult r = srec::LoadBootText(View(text), MStream);
  if (r.error) {
    Tell(message, Text(r.message));
    return false;
  }
  return true;
}

void BootStreamInit(const MemoryStream &MotStream, MemoryStream &BootStream,
                    MemoryStream &BootEchoStream) {
  srec::BootStreamInit(MotStream, BootStream, BootEchoStream);
}

QImage JpgImageFromResource(const QString &ResID) { return DecodeJpeg(ReadPayload(ResID)); }

bool IsBlockVariantFileName(const QString &path) {
  const qsizetype p = path.indexOf(QLatin1String(".mot"), 0, Qt::CaseSensitive) + 1;
  if (p <= 3) return false;
  const QChar c1 = path.at(p - 2);  // the character just before ".mot"
  const QChar c2 = path.at(p - 3);
  return c1 == QLatin1Char('B') && !(c2 >= QLatin1Char('0') && c2 <= QLatin1Char('9'));
}

bool MotFileChoiceRefused(const QString &path, int board, int blockVersion) {
  return board == 0 && blockVersion == 1 && !IsBlockVariantFileName(path);
}

}  // namespace kx
