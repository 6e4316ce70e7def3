#include "digidec/RunLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <QFile>

namespace kx::digidec {

bool RunLock::TryAcquire(const QString &folder) {
  if (fd_ >= 0) return true;
  // A lock on the folder itself: nothing to create, nothing left behind. The tool does
  // not inherit it; the run ends when the tool's process does and releases it then.
  const int fd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return true;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void RunLock::Release() {
  if (fd_ < 0) return;
  ::close(fd_);  // closing the descriptor drops its lock
  fd_ = -1;
}

bool RunLock::HeldElsewhere(const QString &folder) {
  RunLock probe;
  return !probe.TryAcquire(folder);
}

}  // namespace kx::digidec
