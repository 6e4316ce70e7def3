#pragma once
// The rules by which the DigiDec window follows the writer tool's log: how a log line
// moves the two progress bars, which lines are shown, and how the log is read.
#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace kx::digidec {

// The shell command that runs the tool from the folder holding "digidecw".
inline const QString kShell = QStringLiteral("/bin/sh");
inline const QString kShellCommand =
    QStringLiteral("cd digidecw && exec ./KX7391DWriterCmd2507A.exe 2507A.A57 2507A_Cyclone10.A57");
// The same for a tool that is a Windows program, which runs through Wine.
inline const QString kWine = QStringLiteral("wine");
inline const QString kWineShellCommand =
    QStringLiteral("cd digidecw && exec wine ./KX7391DWriterCmd2507A.exe 2507A.A57 2507A_Cyclone10.A57");

// True when the file at path is a Windows (PE) program: "MZ" at its start.
bool IsWindowsProgram(const QString &path);

// How a finished tool process ended, for the user: "exit code 1", "killed by signal 6".
// Where the process was killed, exitCode is the signal's number.
QString ExitDescription(int exitCode, bool killed);

// A progress bar holds its position within 0-100.
int HoldInBar(int value);

struct LineOutcome {
  QString message;   // the text after the first ": ", empty without one
  int shows = 0;     // how often the message is shown and logged: once for "E:", once for "I:"
  int bar1 = 0;      // overall progress after the line
  int bar2 = 0;      // progress of the current phase after the line
  bool success = false;  // the line reported "I:Success"
};

// The effect of one log line, with the bars at bar1 and bar2 before it.
LineOutcome CheckLine(const QString &line, int bar1, int bar2);

// Splits the log's bytes into lines (CR LF or LF). A last line without a line end is
// put into *unfinished instead of the list; with unfinished null it counts as a line.
QStringList SplitLines(const QByteArray &bytes, QString *unfinished = nullptr);

// Reads the log at each poll. A last line without a line end may be one the tool is
// still writing, so it counts only once a later read finds it unchanged.
class LogLineReader {
 public:
  QStringList Lines(const QByteArray &bytes);
  // A log that no tool writes any more, as at start-up: every line counts, the last
  // one too, and later reads agree.
  QStringList Settled(const QByteArray &bytes);

 private:
  QString lastUnfinished_;
};

// The name the previous log is kept under: "log_" + "yyyymmdd_hhnn" + ".txt".
QString RotatedLogName(const QDateTime &lastChange);

// A file's time as local date and time; 30 December 1899 00:00 when it is unknown.
QDateTime FileTimeToLocalDateTime(const QDateTime &fileTime);

}  // namespace kx::digidec
