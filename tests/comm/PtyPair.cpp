#include "tests/comm/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <cerrno>
#include <stdexcept>

namespace kxtest {

PtyPair::PtyPair() {
  char name[256];
  if (::openpty(&master_, &slave_, name, nullptr, nullptr) != 0) throw std::runtime_error("openpty failed");
  termios t{};
  ::tcgetattr(slave_, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(slave_, TCSANOW, &t);
  ::fcntl(master_, F_SETFL, ::fcntl(master_, F_GETFL) | O_NONBLOCK);
  slavePath_ = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair() { HangUp(); }

void PtyPair::HangUp() {
  if (slave_ >= 0) ::close(slave_);
  if (master_ >= 0) ::close(master_);
  slave_ = master_ = -1;
}

void PtyPair::Write(const QByteArray &bytes) { WriteAll(master_, bytes); }
QByteArray PtyPair::Read(int n, int timeoutMs) { return ReadFrom(master_, n, timeoutMs); }

QByteArray PtyPair::ReadAvailable() {
  QByteArray out;
  char buf[4096];
  for (;;) {
    const ssize_t r = ::read(master_, buf, sizeof buf);
    if (r <= 0) break;
    out.append(buf, r);
  }
  return out;
}

void WriteAll(int fd, const QByteArray &bytes) {
  qsizetype done = 0;
  while (done < bytes.size()) {
    const ssize_t w = ::write(fd, bytes.constData() + done, bytes.size() - done);
    if (w > 0) {
      done += w;
    } else if (w < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("peer write failed");
    } else {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, 1000);
    }
  }
}

QByteArray ReadFrom(int fd, int n, int timeoutMs) {
  QByteArray out;
  char buf[4096];
  while (out.size() < n) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) break;
    const ssize_t r = ::read(fd, buf, std::min<qsizetype>(sizeof buf, n - out.size()));
    if (r < 0 && (errno == EAGAIN || errno == EINTR)) continue;
    if (r <= 0) break;
    out.append(buf, r);
  }
  return out;
}

int OpenRaw(const QString &path) {
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  termios t{};
  ::tcgetattr(fd, &t);
  ::cfmakeraw(&t);
  ::tcsetattr(fd, TCSANOW, &t);
  return fd;
}

ScopedPortDir::ScopedPortDir() {
  const std::pair<const char *, const char *> vars[] = {
      {"KX7391_PORT_DIR", "ports"}, {"KX7391_DEV_DIR", "dev"}, {"KX7391_SYS_TTY_DIR", "sys"}};
  for (const auto &[name, sub] : vars) {
    saved_.push_back({name, qgetenv(name), qEnvironmentVariableIsSet(name)});
    QDir(dir_.path()).mkpath(QLatin1String(sub));
    qputenv(name, QFile::encodeName(dir_.filePath(QLatin1String(sub))));
  }
}

ScopedPortDir::~ScopedPortDir() {
  for (const Saved &s : saved_) {
    if (s.set)
      qputenv(s.name, s.value);
    else
      qunsetenv(s.name);
  }
}

void ScopedPortDir::Link(int portNo, const QString &target) {
  const QString link = path() + QStringLiteral("/COM") + QString::number(portNo);
  QFile::remove(link);
  if (!QFile::link(target, link)) throw std::runtime_error("cannot make the port link");
}

}  // namespace kxtest
