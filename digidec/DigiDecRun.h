#pragma once
// One DigiDec write as an engine without widgets: WRITE START's refusals, the writer
// tool's process (in a process group of its own), the tool folder's run lock, the
// following of the tool's log, the two progress bars, the run's end and the stop of a
// hung tool. The owner gives it the operation log and sees the run through a
// DigiDecRunView: the DigiDec window shows it in its widgets, the command line prints it.
//
// A run reads only what its own tool wrote: at its start, with the folder's lock held,
// it notes which file "digidecw/log.txt" is and how long it is, and it reads only what
// was added to that file (or to a file that replaced it) after that. It polls only
// while the run is in progress.
#include <QElapsedTimer>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <functional>

#include <sys/types.h>

#include "digidec/RunLock.h"
#include "digidec/WriterLog.h"

namespace kx::digidec {

// What a view does with a run. Every call is made on the engine's thread, in the order
// the run acts; a call may run a nested event loop (a window's message box).
class DigiDecRunView {
 public:
  virtual ~DigiDecRunView() = default;
  // Every new line of the tool's log, as handled (the window's hidden memo).
  virtual void LogLine(const QString & /*line*/) {}
  // A message for the user: the tool's "E:" and "I:" messages, "OPEN ERROR", how a
  // failed or stopped run ended.
  virtual void Message(const QString & /*text*/) {}
  // The overall and the phase progress, each within 0-100.
  virtual void Bars(int /*overall*/, int /*phase*/) {}
  // The board as the run leaves it: being written (from the tool's start), written
  // ("I:Success"), failed (the tool ended without success, or was stopped).
  enum class Board { Running, Written, Failed };
  virtual void BoardState(Board /*state*/) {}
  // WRITE START was refused, or the tool could not be started: the modal error message.
  virtual void ErrorMessage(const QString & /*text*/) {}
  // The run is over. `exit` tells how a failed tool ended ("exit code 1").
  enum class Outcome { Succeeded, Failed, Stopped, NotStarted };
  virtual void RunEnded(Outcome /*outcome*/, const QString & /*exit*/) {}
};

// The log the run writes to: a line, and the save after it.
struct DigiDecRunLog {
  std::function<void(const QString &)> add;
  std::function<void()> save;
};

// How long a tool may write nothing before it counts as hung: 180 s, or the seconds
// in KX7391_DIGIDEC_HUNG_SECONDS (for tests and demonstrations).
inline const char kHungSecondsVariable[] = "KX7391_DIGIDEC_HUNG_SECONDS";
double HungSeconds();

// The start-up step: keeps the previous run's "log.txt" of toolDir under the time of
// its last change ("log_yyyymmdd_hhnn.txt"), unless another updater's run holds the
// folder (logged) or that name is taken. The lines of a log left in place, as a
// settled log, else none.
QStringList RotatePreviousLog(const QString &toolDir, const std::function<void(const QString &)> &logAdd);

class DigiDecRun : public QObject {
  Q_OBJECT
 public:
  explicit DigiDecRun(DigiDecRunLog log, QObject *parent = nullptr);
  // A tool still running is killed with its group: it does not outlive its updater.
  ~DigiDecRun() override;

  void SetView(DigiDecRunView *view) { view_ = view ? view : &noView_; }

  // The start-up step for ToolDirectory(): RotatePreviousLog, the lines left in place
  // counting as handled.
  void FormCreate();

  // WRITE START: logs the click and starts the tool, or refuses (logged, and told to
  // the view with a message unless this updater's own run is in progress). The tool's
  // start itself is reported later (BoardState Running, or ErrorMessage and RunEnded
  // NotStarted).
  void Start();
  // The poll (every 2007 ms during a run): handles the lines the tool added since the
  // last one. Takes nothing while no run is in progress.
  void Poll();
  // One line of the tool's log.
  void WriterLogLineCheck(const QString &line);
  // Stops a run's tool and its whole process group (SIGTERM, SIGKILL after a short
  // grace), logs that the board may be left unwritten, reports the board failed and
  // ends the run at once. Nothing while no run is in progress.
  void Stop();

  // A run is in progress: from WRITE START to the tool's end, its failed start or Stop.
  bool Running() const { return running_; }
  // The run's tool has added nothing to its log for HungSeconds().
  bool Hung() const;
  // The tool's process, or what is left of its group, still lives (also after Stop).
  bool ToolAlive() const;
  // The tool's process group while it lives, else 0.
  pid_t ProcessGroup() const { return pgid_; }
  // Whether the last run that ended had "I:Success".
  bool Succeeded() const { return succeeded_; }
  // The seconds without a new line after which the current (or next) run counts as hung.
  double HungLimit() const { return hungSeconds_; }

  // The log's lines since the run's start as last read, and how many of them are handled.
  const QStringList &LogTxtList() const { return logTxtList_; }
  int LogTxtOldLineCount() const { return logTxtOldLineCount_; }
  int Bar1() const { return bar1_; }
  int Bar2() const { return bar2_; }

  QTimer *Timer() const { return timer_; }
  QProcess *Process() const { return process_; }

  // "digidecw/log.txt" in ToolDirectory().
  static QString LogTxtPath();

 signals:
  // The lock is released and nothing of the tool lives any more.
  void ToolGone();

 private:
  void ProcessStarted();
  void ProcessErrorOccurred(QProcess::ProcessError error);
  void ProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
  void Refuse(const QStringList &lines, const QString &message);
  void ReadLogTxt(bool settled);
  void EndRun(DigiDecRunView::Outcome outcome, const QString &exit);
  void KillGroup(int signal);
  // Releases the lock once the process has ended and its group is gone (or killed).
  void ReleaseWhenGone();
  void Add(const QString &text) const;
  void Save() const;

  DigiDecRunLog log_;
  DigiDecRunView noView_;
  DigiDecRunView *view_ = &noView_;
  QTimer *timer_;
  QTimer *graceTimer_;
  QProcess *process_;
  RunLock runLock_;
  LogLineReader reader_;

  bool running_ = false;
  bool stopping_ = false;
  bool succeeded_ = false;
  pid_t pgid_ = 0;
  double hungSeconds_ = 180;
  // Since the tool's start or the last growth of its log; Hung() looks at the log too.
  mutable QElapsedTimer sinceLife_;

  // Which file the run reads and from where: the log as it was at the run's start.
  bool markValid_ = false;
  dev_t markDev_ = 0;
  ino_t markIno_ = 0;
  qint64 markOffset_ = 0;
  mutable qint64 lastSize_ = -1;

  QStringList logTxtList_;
  int logTxtOldLineCount_ = 0;
  int bar1_ = 0;
  int bar2_ = 0;
};

}  // namespace kx::digidec
