#include "digidec/DigiDecRun.h"

#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "digidec/Deployment.h"

namespace kx::digidec {

namespace {
// How long a stopped tool's group has for SIGTERM before SIGKILL.
constexpr int kStopGraceMs = 1500;
constexpr double kDefaultHungSeconds = 180;
const QString kStoppedText =
    QStringLiteral("DigiDec write stopped: the board may be left unwritten. Write it again.");
}  // namespace

double HungSeconds() {
  bool ok = false;
  const double s = qEnvironmentVariable(kHungSecondsVariable).toDouble(&ok);
  return ok && s > 0 ? s : kDefaultHungSeconds;
}

QStringList RotatePreviousLog(const QString &toolDir, const std::function<void(const QString &)> &logAdd) {
  const QString path = toolDir + QStringLiteral("/log.txt");
  QString newName;
  if (RunLock::HeldElsewhere(toolDir)) {
    // Another updater's tool is writing it right now.
    if (logAdd) logAdd(QStringLiteral(" digidecw/log.txt belongs to a run of another updater: not moved"));
  } else if (QFileInfo::exists(path)) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) {
      newName = toolDir + QLatin1Char('/') +
                RotatedLogName(FileTimeToLocalDateTime(f.fileTime(QFileDevice::FileModificationTime)));
      f.close();
    }
  }
  // Fails, and the log stays, when that name is taken already.
  if (!newName.isEmpty()) QFile::rename(path, newName);

  QStringList lines;
  if (QFileInfo::exists(path)) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) lines = LogLineReader().Settled(f.readAll());
  }
  return lines;
}

QString DigiDecRun::LogTxtPath() { return ToolDirectory() + QStringLiteral("/log.txt"); }

DigiDecRun::DigiDecRun(DigiDecRunLog log, QObject *parent)
    : QObject(parent),
      log_(std::move(log)),
      timer_(new QTimer(this)),
      graceTimer_(new QTimer(this)),
      process_(new QProcess(this)) {
  timer_->setInterval(2007);
  // A coarse timer may fire up to 5 % early; the poll keeps its 2007 ms.
  timer_->setTimerType(Qt::PreciseTimer);
  graceTimer_->setSingleShot(true);
  graceTimer_->setInterval(kStopGraceMs);
  connect(timer_, &QTimer::timeout, this, &DigiDecRun::Poll);
  connect(graceTimer_, &QTimer::timeout, this, [this] {
    KillGroup(SIGKILL);
    // A process that has not ended yet ends with this; its end releases the folder.
    if (process_->state() == QProcess::NotRunning) ReleaseWhenGone();
  });
  // The tool runs in a process group of its own, so that a stop reaches whatever it
  // started too (Wine's processes, say).
  process_->setChildProcessModifier([] { ::setpgid(0, 0); });
  // Queued, so that the handlers (message boxes, log saves that may fail) run from the
  // event loop and never inside the process object's own bookkeeping.
  connect(process_, &QProcess::started, this, &DigiDecRun::ProcessStarted, Qt::QueuedConnection);
  connect(process_, &QProcess::errorOccurred, this, &DigiDecRun::ProcessErrorOccurred, Qt::QueuedConnection);
  connect(process_, &QProcess::finished, this, &DigiDecRun::ProcessFinished, Qt::QueuedConnection);
}

DigiDecRun::~DigiDecRun() {
  timer_->stop();
  graceTimer_->stop();
  process_->disconnect(this);
  // Only when the updater ends some other way than through Stop or the tool's end.
  if (process_->state() != QProcess::NotRunning || pgid_ > 0) {
    KillGroup(SIGKILL);
    process_->waitForFinished(3000);
  }
}

void DigiDecRun::Add(const QString &text) const {
  if (log_.add) log_.add(text);
}
void DigiDecRun::Save() const {
  if (log_.save) log_.save();
}

void DigiDecRun::FormCreate() {
  running_ = false;
  logTxtList_ = RotatePreviousLog(ToolDirectory(), log_.add);
  // Whatever is in it already counts as handled.
  logTxtOldLineCount_ = static_cast<int>(logTxtList_.size());
}

void DigiDecRun::Refuse(const QStringList &lines, const QString &message) {
  for (const QString &line : lines) Add(line);
  Save();
  if (!message.isEmpty()) view_->ErrorMessage(message);
}

void DigiDecRun::Start() {
  Add(QStringLiteral("DigiDec[WRITE] clicked"));
  // A second tool on the same board and log would only spoil the run under way; so
  // would one started beside a stopped tool that is still going down.
  if (running_ || ToolAlive()) {
    Refuse({QStringLiteral(" WriterCmd is running already: not started again")}, QString());
    return;
  }
  const bool throughWine = IsWindowsProgram(ToolDirectory() + QLatin1Char('/') + kToolFileName);
  if (throughWine && QStandardPaths::findExecutable(kWine).isEmpty()) {
    Refuse({QStringLiteral(" ") + kToolFileName +
                QStringLiteral(" is a Windows program and needs wine, which is not installed (install the "
                               "package \"wine\")"),
            QStringLiteral(" ERROR!!  Can not Ececute WriterCmd")},
           kToolFileName + QStringLiteral(" is a Windows program and needs Wine to run, but \"wine\" was not found.\n"
                                          "Install the package \"wine\" (for example: sudo apt install wine), "
                                          "then click WRITE START again."));
    return;
  }
  if (!runLock_.TryAcquire(ToolDirectory())) {
    Refuse({QStringLiteral(" WriterCmd is running from another updater: not started")},
           QStringLiteral("The writer tool is running from another KX7391Updater on this PC.\n"
                          "Wait until its run has ended, then click WRITE START again."));
    return;
  }
  running_ = true;
  succeeded_ = false;
  stopping_ = false;
  hungSeconds_ = HungSeconds();

  // With the folder held, what the log holds now is another run's: this run reads only
  // what is added to it from here on.
  struct stat st {};
  markValid_ = ::stat(QFile::encodeName(LogTxtPath()).constData(), &st) == 0;
  markDev_ = markValid_ ? st.st_dev : 0;
  markIno_ = markValid_ ? st.st_ino : 0;
  markOffset_ = markValid_ ? st.st_size : 0;
  lastSize_ = markValid_ ? st.st_size : -1;
  reader_ = LogLineReader();
  logTxtList_.clear();
  logTxtOldLineCount_ = 0;

  const QString command = throughWine ? kWineShellCommand : kShellCommand;
  Add(QStringLiteral("cmd [-c \"") + command + QStringLiteral("\"]"));
  // Started from the folder that holds the deployed tool, whatever the working
  // directory, with its streams on /dev/null. The shell becomes the tool (exec), so the
  // process's end is the tool's end; the rest follows from the process's signals.
  process_->setProgram(kShell);
  process_->setArguments({QStringLiteral("-c"), command});
  process_->setWorkingDirectory(BaseDirectory());
  process_->setStandardInputFile(QProcess::nullDevice());
  process_->setStandardOutputFile(QProcess::nullDevice());
  process_->setStandardErrorFile(QProcess::nullDevice());
  process_->start();
  pgid_ = static_cast<pid_t>(process_->processId());
  sinceLife_.start();
  Save();
}

void DigiDecRun::ProcessStarted() {
  if (!running_) return;  // stopped before its start was reported
  if (pgid_ == 0) pgid_ = static_cast<pid_t>(process_->processId());
  // The shell runs without a window here, so there is no console title to set.
  bar1_ = 0;
  bar2_ = 0;
  view_->Bars(0, 0);
  timer_->start();
  sinceLife_.start();
  Add(QStringLiteral(" execute WriterCmd"));
  view_->BoardState(DigiDecRunView::Board::Running);
  Save();
}

void DigiDecRun::ProcessErrorOccurred(QProcess::ProcessError error) {
  // Other errors come with the process's end, which is handled on its own.
  if (error != QProcess::FailedToStart || !running_) return;
  running_ = false;
  pgid_ = 0;
  runLock_.Release();
  Add(QStringLiteral(" ERROR!!  Can not Ececute WriterCmd"));
  Save();
  view_->ErrorMessage(QStringLiteral("起動に失敗しました"));
  view_->RunEnded(DigiDecRunView::Outcome::NotStarted, QString());
}

void DigiDecRun::ProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
  if (!running_) {
    // A stopped tool has gone down.
    ReleaseWhenGone();
    return;
  }
  const QString exit = ExitDescription(exitCode, exitStatus == QProcess::CrashExit);
  {
    // The run ends whatever the last read brings, even when logging it fails.
    struct Finish {
      DigiDecRun *run;
      ~Finish() {
        run->running_ = false;
        run->timer_->stop();
        run->pgid_ = 0;
        run->runLock_.Release();
      }
    } finish{this};
    // The tool's last lines, its very last one whole even without a line end.
    ReadLogTxt(true);
    if (!succeeded_) {
      view_->BoardState(DigiDecRunView::Board::Failed);
      const QString text = QStringLiteral("WriterCmd ended without Success: ") + exit;
      view_->Message(text);
      Add(QStringLiteral(" ") + text);
      Save();
    }
  }
  view_->RunEnded(succeeded_ ? DigiDecRunView::Outcome::Succeeded : DigiDecRunView::Outcome::Failed,
                  succeeded_ ? QString() : exit);
  emit ToolGone();
}

void DigiDecRun::Stop() {
  if (!running_) return;
  running_ = false;
  stopping_ = true;
  timer_->stop();
  if (pgid_ == 0) pgid_ = static_cast<pid_t>(process_->processId());
  KillGroup(SIGTERM);
  graceTimer_->start();
  view_->Message(kStoppedText);
  Add(kStoppedText);
  view_->BoardState(DigiDecRunView::Board::Failed);
  Save();
  view_->RunEnded(DigiDecRunView::Outcome::Stopped, QString());
}

void DigiDecRun::KillGroup(int signal) {
  if (pgid_ <= 0) return;
  // The group's leader sets it up first thing; a signal sent before that reaches it alone.
  if (::kill(-pgid_, signal) != 0 && process_->state() != QProcess::NotRunning) ::kill(pgid_, signal);
}

void DigiDecRun::ReleaseWhenGone() {
  // What the tool started may still be going down under SIGTERM: the grace ends it.
  if (pgid_ > 0 && graceTimer_->isActive() && ::kill(-pgid_, 0) == 0) return;
  graceTimer_->stop();
  KillGroup(SIGKILL);
  pgid_ = 0;
  stopping_ = false;
  runLock_.Release();
  emit ToolGone();
}

bool DigiDecRun::ToolAlive() const { return process_->state() != QProcess::NotRunning || stopping_; }

bool DigiDecRun::Hung() const {
  if (!running_) return false;
  // Growth since the last poll counts too: the question comes between polls.
  struct stat st {};
  if (::stat(QFile::encodeName(LogTxtPath()).constData(), &st) == 0 && st.st_size != lastSize_) {
    lastSize_ = st.st_size;
    sinceLife_.start();
  }
  return sinceLife_.isValid() && static_cast<double>(sinceLife_.elapsed()) > hungSeconds_ * 1000.0;
}

void DigiDecRun::Poll() {
  timer_->stop();
  // Lines come only to a run in progress.
  if (!running_) return;
  // Polling goes on even when handling a line fails (a log that cannot be saved), so
  // that the lines still come once the log can be saved again.
  struct Restart {
    DigiDecRun *run;
    ~Restart() {
      if (run->running_) run->timer_->start();
    }
  } restart{this};
  ReadLogTxt(false);
}

void DigiDecRun::ReadLogTxt(bool settled) {
  const QString path = LogTxtPath();
  // No log yet is a tool still starting (Wine setting itself up, say): nothing to do.
  if (!QFileInfo::exists(path)) return;
  QFile f(path);
  struct stat st {};
  if (f.open(QIODevice::ReadOnly) && ::fstat(f.handle(), &st) == 0) {
    // A file that replaced the one of the run's start is the tool's own from its
    // beginning; so is one rewritten from its start.
    if (!markValid_ || st.st_dev != markDev_ || st.st_ino != markIno_) {
      markValid_ = true;
      markDev_ = st.st_dev;
      markIno_ = st.st_ino;
      markOffset_ = 0;
    } else if (st.st_size < markOffset_) {
      markOffset_ = 0;
    }
    if (st.st_size != lastSize_) {
      lastSize_ = st.st_size;
      sinceLife_.start();
    }
    f.seek(markOffset_);
    const QByteArray bytes = f.readAll();
    logTxtList_ = settled ? reader_.Settled(bytes) : reader_.Lines(bytes);
  } else {
    view_->Message(QStringLiteral("OPEN ERROR"));
  }
  const int count = static_cast<int>(logTxtList_.size());
  // Lines of a log that became shorter are not handled. Each line counts as handled
  // before it is, so that a failure leaves the rest to the next read.
  logTxtOldLineCount_ = std::min(logTxtOldLineCount_, count);
  while (logTxtOldLineCount_ < count) {
    const QString line = logTxtList_[logTxtOldLineCount_++];
    view_->LogLine(line);
    WriterLogLineCheck(line);
  }
}

void DigiDecRun::WriterLogLineCheck(const QString &line) {
  const LineOutcome out = CheckLine(line, bar1_, bar2_);
  bar1_ = out.bar1;
  bar2_ = out.bar2;
  view_->Bars(bar1_, bar2_);
  // The run itself ends when the tool's process does.
  if (out.success) {
    succeeded_ = true;
    view_->BoardState(DigiDecRunView::Board::Written);
  }
  for (int i = 0; i < out.shows; ++i) {
    view_->Message(out.message);
    Add(QStringLiteral(" WriterCmd [") + out.message + QStringLiteral("]"));
    Save();
  }
}

}  // namespace kx::digidec
