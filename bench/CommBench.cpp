// Three figures of the serial component, in one run on one machine:
//  1. latency from a byte written at the peer to OnReceive on the owning thread
//     (median and 99th percentile);
//  2. 1 MiB through TransBlock to the peer against a plain blocking write() loop on
//     the same pseudo-terminal (the ratio);
//  3. process CPU time while the port stays open and idle.
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QTemporaryDir>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>
#include <vector>

#include "comm/CommX.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Pty {
  int master = -1, slave = -1;
  QString path;
  Pty() {
    char name[256];
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
      std::perror("openpty");
      std::exit(1);
    }
    termios t{};
    ::tcgetattr(slave, &t);
    ::cfmakeraw(&t);
    ::tcsetattr(slave, TCSANOW, &t);
    path = QString::fromLocal8Bit(name);
  }
  ~Pty() {
    ::close(slave);
    ::close(master);
  }
};

// Reads `n` bytes at the master on a thread of its own; returns when all came.
std::thread Reader(int fd, std::size_t n, Clock::time_point *done) {
  return std::thread([fd, n, done] {
    std::vector<char> buf(65536);
    std::size_t got = 0;
    while (got < n) {
      const ssize_t r = ::read(fd, buf.data(), std::min(buf.size(), n - got));
      if (r <= 0) break;
      got += static_cast<std::size_t>(r);
    }
    *done = Clock::now();
  });
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double CpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

void RunFor(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
  loop.exec();
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  int idleSeconds = 10;
  for (int i = 1; i + 1 < argc; ++i)
    if (std::strcmp(argv[i], "--idle-seconds") == 0) idleSeconds = std::max(1, std::atoi(argv[i + 1]));

  QTemporaryDir portDir;
  qputenv("KX7391_PORT_DIR", QFile::encodeName(portDir.path()));
  Pty pty;
  QFile::link(pty.path, portDir.filePath(QStringLiteral("COM5")));

  TCommX comm;
  comm.SetPortNo(5);
  comm.SetFlowCtrl(cfcNone);
  comm.SetBitRate(115200);

  // 1. Latency.
  {
    comm.PortOpen();
    std::vector<double> us;
    Clock::time_point sent;
    QEventLoop loop;
    comm.OnReceive = [&](QObject *, int n) {
      const Clock::time_point now = Clock::now();
      std::vector<char> buf(static_cast<std::size_t>(n));
      comm.ReceiveBlock(buf.data(), n);
      us.push_back(Ms(now - sent) * 1000.0);
      loop.quit();
    };
    for (int i = 0; i < 2000; ++i) {
      sent = Clock::now();
      if (::write(pty.master, "x", 1) != 1) return 1;
      loop.exec();
    }
    comm.OnReceive = nullptr;
    comm.PortClose();
    std::sort(us.begin(), us.end());
    std::printf("receive latency (peer write -> OnReceive, %zu bytes): median %.1f us, p99 %.1f us\n", us.size(),
                us[us.size() / 2], us[us.size() * 99 / 100]);
  }

  // 2. 1 MiB through TransBlock against a plain blocking write() loop.
  {
    const std::size_t size = 1 << 20;
    std::vector<char> data(size);
    for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(i * 31);
    std::vector<double> trans, plain;
    for (int round = 0; round < 5; ++round) {
      comm.PortOpen();
      Clock::time_point done;
      const Clock::time_point start = Clock::now();
      std::thread r = Reader(pty.master, size, &done);
      comm.TransBlock(data.data(), static_cast<int>(size));
      r.join();
      trans.push_back(Ms(done - start));
      comm.PortClose();

      const int fd = ::open(QFile::encodeName(pty.path).constData(), O_WRONLY | O_NOCTTY);
      const Clock::time_point start2 = Clock::now();
      std::thread r2 = Reader(pty.master, size, &done);
      for (std::size_t off = 0; off < size; off += 2048)
        if (::write(fd, data.data() + off, std::min<std::size_t>(2048, size - off)) < 0) return 1;
      r2.join();
      plain.push_back(Ms(done - start2));
      ::close(fd);
    }
    const double t = Median(trans), p = Median(plain);
    std::printf("1 MiB to the peer: TransBlock %.1f ms, plain write() loop %.1f ms, ratio %.2f (median of 5)\n", t, p,
                t / p);
  }

  // 3. CPU time of an open, idle port.
  {
    comm.PortOpen();
    RunFor(200);
    const double cpu0 = CpuSeconds();
    const Clock::time_point t0 = Clock::now();
    RunFor(idleSeconds * 1000);
    const double wall = Ms(Clock::now() - t0) / 1000.0;
    const double cpu = CpuSeconds() - cpu0;
    comm.PortClose();
    std::printf("idle open port for %.1f s: process CPU %.4f s = %.3f%% of one core (goal < 1%%)\n", wall, cpu,
                100.0 * cpu / wall);
  }
  return 0;
}
