#include "tests/support/TestSupport.h"

#include <sys/resource.h>

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QAbstractButton>
#include <QMessageBox>
#include <QProcess>
#include <QTemporaryFile>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/Dialogs.h"

namespace kxtest {

MessageBoxes::MessageBoxes() {
  kx::SetMessageBoxObserver([this](QMessageBox &box) {
    texts.append(box.text());
    if (QAbstractButton *answer = box.button(answerYes ? QMessageBox::Yes : QMessageBox::No)) {
      QTimer::singleShot(0, answer, &QAbstractButton::click);
      return;
    }
    QTimer::singleShot(0, &box, &QMessageBox::accept);
  });
}

MessageBoxes::~MessageBoxes() { kx::SetMessageBoxObserver({}); }

namespace {
double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  auto seconds = [](const timeval &t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
  return seconds(u.ru_utime) + seconds(u.ru_stime);
}
}  // namespace

double IdleCpuShare(std::chrono::milliseconds span) {
  const double before = CpuSeconds();
  QElapsedTimer wall;
  wall.start();
  // A plain event loop that sleeps until the timer: WaitUntil polls.
  QEventLoop loop;
  QTimer::singleShot(span, &loop, &QEventLoop::quit);
  loop.exec();
  return (CpuSeconds() - before) / (static_cast<double>(wall.nsecsElapsed()) / 1e9);
}

QByteArray ReadAll(const QString &path) {
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) return {};
  return f.readAll();
}

ChildProcess::ChildProcess(const QString &program, const QStringList &arguments) {
  std::vector<QByteArray> args{program.toLocal8Bit()};
  for (const QString &a : arguments) args.push_back(a.toLocal8Bit());
  std::vector<char *> argv;
  for (QByteArray &a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(fds[1], STDOUT_FILENO);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  out_ = fds[0];
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (out_ >= 0) ::close(out_);
}

QByteArray ChildProcess::ReadOutput(int ms, bool untilEnd) {
  QByteArray got;
  QDeadlineTimer deadline(ms);
  while (out_ >= 0 && !deadline.hasExpired()) {
    pollfd p{out_, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) <= 0) break;
    char buf[4096];
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) break;  // the end of the output
    got.append(buf, n);
    if (!untilEnd) break;
  }
  return got;
}

int ChildProcess::Wait(int ms) {
  if (pid_ <= 0) return -1;
  // A pidfd becomes readable when the child ends.
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid_, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    QDeadlineTimer deadline(ms);
    while (::poll(&p, 1, static_cast<int>(deadline.remainingTime())) < 0 && errno == EINTR) {
    }
    ::close(pidfd);
  }
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) != pid_) return -1;
  reaped_ = true;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

void ChildProcess::Signal(int sig) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

QString Immutable::Unavailable(const QString &dir) {
  QTemporaryFile probe(dir + QStringLiteral("/chattr-probe-XXXXXX"));
  if (!probe.open()) return QStringLiteral("no file can be made in %1 to try chattr on").arg(dir);
  QProcess chattr;
  chattr.setProcessChannelMode(QProcess::MergedChannels);
  chattr.start(QStringLiteral("chattr"), {QStringLiteral("+i"), probe.fileName()});
  if (!chattr.waitForStarted()) return QStringLiteral("chattr cannot be run (package e2fsprogs): ") + chattr.errorString();
  chattr.waitForFinished();
  const QString said = QString::fromLocal8Bit(chattr.readAll()).trimmed();
  if (chattr.exitStatus() != QProcess::NormalExit || chattr.exitCode() != 0)
    return QStringLiteral("chattr +i is refused in %1: %2").arg(dir, said);
  QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), probe.fileName()});
  return {};
}

Immutable::Immutable(const QString &path) {
  if (QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0) path_ = path;
}

void Immutable::Release() {
  if (!path_.isEmpty()) QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), path_});
  path_.clear();
}

}  // namespace kxtest
