#include "cli/Console.h"

#include <QJsonDocument>
#include <unistd.h>

namespace kx::cli {

namespace {
void Write(std::FILE *stream, const QByteArray &bytes) {
  std::fwrite(bytes.constData(), 1, static_cast<std::size_t>(bytes.size()), stream);
  std::fflush(stream);
}
}  // namespace

Console &Console::Get() {
  static Console console;
  return console;
}

Console::Console() : tty_(isatty(STDOUT_FILENO) != 0) {}

void Console::Json(const QJsonObject &object) {
  std::lock_guard lock(mutex_);
  Write(stdout, QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}

void Console::Line(std::FILE *stream, const QString &line) {
  std::lock_guard lock(mutex_);
  Clear();
  Write(stream, line.toUtf8() + '\n');
  Draw();
}

void Console::OutBlock(const QString &text) {
  std::lock_guard lock(mutex_);
  Clear();
  Write(stdout, text.toUtf8());
  Draw();
}

void Console::SetLiveLines(int count) {
  std::lock_guard lock(mutex_);
  Clear();
  live_ = QStringList(count, QString());
}

void Console::Live(int slot, const QString &text) {
  if (!tty_) return;
  std::lock_guard lock(mutex_);
  if (slot < 0 || slot >= live_.size()) return;
  live_[slot] = text;
  Clear();
  Draw();
}

void Console::EndLive() {
  std::lock_guard lock(mutex_);
  live_.clear();
  drawn_ = false;
}

// Takes the live lines off the screen, the cursor where the first of them was.
void Console::Clear() {
  if (!drawn_) return;
  Write(stdout, QByteArray("\x1b[") + QByteArray::number(live_.size()) + "A\r\x1b[J");
  drawn_ = false;
}

void Console::Draw() {
  if (!tty_ || live_.isEmpty()) return;
  QByteArray bytes;
  for (const QString &l : live_) bytes += "\r\x1b[2K" + l.toUtf8() + '\n';
  Write(stdout, bytes);
  drawn_ = true;
}

}  // namespace kx::cli
