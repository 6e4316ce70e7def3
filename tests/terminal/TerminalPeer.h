#pragma once
// The far end of the terminal's line in tests: the master side of a pseudo-terminal
// published as a COM port in a port directory of the test's own, recording what arrives.
#include <gtest/gtest.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "tests/support/TestSupport.h"

namespace termtest {

class Peer {
 public:
  explicit Peer(int portNo) {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "openpty: " << errno;
    const QString link = ports_.filePath(QStringLiteral("COM%1").arg(portNo));
    if (!QFile::link(QString::fromLocal8Bit(ttyname(slave_)), link)) ADD_FAILURE() << "cannot link " << link.toStdString();
    qputenv("KX7391_PORT_DIR", ports_.path().toLocal8Bit());
  }
  ~Peer() {
    ::close(master_);
    ::close(slave_);
    qunsetenv("KX7391_PORT_DIR");
  }
  void Write(const QByteArray &bytes) {
    ASSERT_EQ(::write(master_, bytes.constData(), bytes.size()), bytes.size());
  }
  // Everything that arrives within `ms` after the last byte, while the UI runs.
  QByteArray ReadQuiet(int ms = 300) { return Read(ms, true); }
  // Everything that arrives within the next `ms`, while the UI runs.
  QByteArray ReadFor(int ms) { return Read(ms, false); }
  // The UI runs until `count` bytes have arrived (or `limit` has passed): what came.
  QByteArray ReadCount(qsizetype count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    QByteArray got;
    kxtest::WaitUntil(
        [&] {
          got += Take();
          return got.size() >= count;
        },
        limit);
    return got;
  }

 private:
  bool Readable() const {
    pollfd p{master_, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN);
  }
  // What has arrived, without waiting.
  QByteArray Take() {
    QByteArray got;
    char buf[512];
    while (Readable()) {
      const ssize_t n = ::read(master_, buf, sizeof buf);
      if (n <= 0) break;
      got.append(buf, n);
    }
    return got;
  }
  QByteArray Read(int ms, bool untilQuiet) {
    QByteArray got;
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms) {
      kxtest::WaitUntil([this] { return Readable(); }, std::chrono::milliseconds(ms - clock.elapsed()));
      const QByteArray more = Take();
      got += more;
      if (untilQuiet && !more.isEmpty()) clock.restart();
    }
    return got;
  }

  QTemporaryDir ports_;
  int master_ = -1;
  int slave_ = -1;
};

}  // namespace termtest
