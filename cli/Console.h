#pragma once
// What kx7391 prints, from any of its threads: whole lines on standard output and
// standard error, JSON Lines, and on a terminal one live progress line per receiver kept
// below everything else that is printed.
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <cstdio>
#include <mutex>

namespace kx::cli {

class Console {
 public:
  static Console &Get();

  // Whether standard output is a terminal (live lines are drawn only there).
  bool Terminal() const { return tty_; }
  // One JSON object as one line of standard output.
  void Json(const QJsonObject &object);
  void Out(const QString &line) { Line(stdout, line); }
  void Err(const QString &line) { Line(stderr, line); }
  // Several lines of text printed together (the steps of a board).
  void OutBlock(const QString &text);
  // The live lines: `count` of them, each set by its slot; drawn on a terminal only.
  void SetLiveLines(int count);
  void Live(int slot, const QString &text);
  // Leaves the live lines as they stand and prints below them from now on.
  void EndLive();

 private:
  Console();
  void Line(std::FILE *stream, const QString &line);
  void Clear();
  void Draw();

  std::mutex mutex_;
  bool tty_ = false;
  QStringList live_;
  bool drawn_ = false;
};

}  // namespace kx::cli
