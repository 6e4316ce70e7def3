#pragma once
// The terminal's text rules, free of widgets: the hex command parser, the lines of
// a file to send, the send period and the command history.
#include <QByteArray>
#include <QString>
#include <QStringList>
#include <vector>

namespace kx::terminal {

// "Send HEX": hex digit pairs, a single digit closed by a space or TAB, separators.
struct HexCommand {
  enum class Status {
    Ok,            // at least one byte, within the limits
    NoBytes,       // well formed, but it yields no byte ("", "A")
    Invalid,       // a character other than hex digits, space and TAB
    TooLong,       // more than kMaxChars characters
    TooManyBytes,  // more than kMaxBytes bytes
  };
  static constexpr int kMaxChars = 200;
  static constexpr int kMaxBytes = 64;
  Status status = Status::NoBytes;
  QByteArray bytes;     // only for Ok
  int invalidAt = -1;   // only for Invalid: the index of the first character not understood
};
HexCommand ParseHexCommand(const QString &text);

// One line of a file sent by "File Send": its bytes without CR LF, and whether it
// goes out (comment lines, beginning with ';', are only shown).
struct FileLine {
  QByteArray text;
  bool send = true;
};
inline constexpr int kFileLineMaxChars = 253;
// The lines of a file in order. CR LF, a lone LF and a lone CR each end a line, so
// files written on Windows, Linux and old Macs give the same lines; a last line
// without a line end is a line too. A line keeps at most 253 bytes, and a final "~"
// (the log's end-of-line marker) is dropped.
std::vector<FileLine> SplitSendFile(const QByteArray &content);

// The period of timed sending in whole seconds from the period edit's text:
// a decimal integer of at least 5, otherwise 120.
inline constexpr int kDefaultSendPeriod = 120;
inline constexpr int kMinSendPeriod = 5;
int SendPeriodFromText(const QString &text);

// How many lines the log keeps before it drops the oldest, from the text of
// $KX7391_TERMINAL_LINES: a whole number of at least 1, or 0 for no limit; anything
// else (and an unset variable) gives the default.
inline constexpr int kDefaultScrollbackLines = 100000;
int ScrollbackLinesFromText(const QString &text);

// The command history after sending `command`: newest first, at most 10 items,
// one per command regardless of letter case.
inline constexpr int kHistoryMax = 10;
QStringList UpdatedHistory(QStringList items, const QString &command);

}  // namespace kx::terminal
