#include "platform/AppendFile.h"

#include <QFile>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kx {

namespace {
QString Reason(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() {
    if (fd_ >= 0) ::close(fd_);
  }
  Descriptor(const Descriptor &) = delete;
  Descriptor &operator=(const Descriptor &) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};
}  // namespace

AppendResult AppendToFile(const QString &path, const std::function<QByteArray(qint64 sizeBefore)> &compose) {
  AppendResult result;
  const QByteArray name = QFile::encodeName(path);
  Descriptor fd(::open(name.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666));
  if (fd.get() < 0) {
    result.error = QStringLiteral("Cannot create file \"%1\". %2").arg(path, Reason(errno));
    return result;
  }
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) {
    result.error = QStringLiteral("Cannot open file \"%1\". %2").arg(path, Reason(errno));
    return result;
  }
  const QByteArray bytes = compose(st.st_size);
  // One write() puts a save in whole; the loop only continues a write that the
  // system cut short (a full disk), to learn its reason or place the rest.
  while (result.written < bytes.size()) {
    const ssize_t n = ::write(fd.get(), bytes.constData() + result.written, bytes.size() - result.written);
    if (n < 0) {
      if (errno == EINTR) continue;
      result.error = QStringLiteral("Cannot write file \"%1\". %2").arg(path, Reason(errno));
      return result;
    }
    result.written += n;
  }
  // On the disk before the save counts as done: a power cut loses at most this save.
  if (::fdatasync(fd.get()) != 0)
    result.error = QStringLiteral("Cannot write file \"%1\". %2").arg(path, Reason(errno));
  return result;
}

}  // namespace kx
