// Times paced MainBoard writes (19200 bit/s for the boot program, 115200 bit/s for the
// frames) to 1, 2 and 4 simulated receivers in one `kx7391 write mainboard` command, each
// receiver on a port of its own. Reports the command's wall time against the one-receiver
// command, each receiver's time (WRITE START to the end of the closing state, as its
// "end" object gives it) against the least its line and the run's fixed waits allow, and
// the command's CPU time per receiver.
//
//   build/bin/cli_multi_write_bench [--runs N] [--receivers 1,2,4]
#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <algorithm>
#include <cstdio>
#include <memory>
#include <sys/resource.h>
#include <vector>

#include "comm/CommX.h"
#include "payload/Loaders.h"
#include "shboot/BoardLoad.h"
#include "shboot/BoardSetup.h"
#include "sim/Receiver.h"

namespace {

// As bench/shboot/WriteBench.cpp: the run's sleeps (500 ms after the port opens, after
// the boot program starts, twice around the change to 115200 bit/s, before the close) and
// the serial component's own pauses in opening and closing the port.
constexpr double kFixedWaitsSeconds =
    2.5 + (TCustomCommX::kOpenSettleMs + TCustomCommX::kCloseQuietMs + TCustomCommX::kCloseRestMs) / 1000.0;

double ChildrenCpuSeconds() {
  rusage u{};
  getrusage(RUSAGE_CHILDREN, &u);
  return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  int runs = 1;
  QList<int> counts{1, 2, 4};
  for (int i = 1; i + 1 < argc; ++i) {
    if (QByteArray(argv[i]) == "--runs") runs = std::max(1, atoi(argv[i + 1]));
    if (QByteArray(argv[i]) == "--receivers") {
      counts.clear();
      for (const QByteArray &n : QByteArray(argv[i + 1]).split(',')) counts.append(std::max(1, n.toInt()));
    }
  }
  QTemporaryDir work;
  if (!work.isValid() || !QDir::setCurrent(work.path())) return 1;
  QDir().mkpath(QStringLiteral("ports"));

  // The line's bound, from the payloads as the writer loads them.
  const auto setup = *kx::shboot::SetupForBoard(kx::shboot::kMainBoard, 0, 0);
  kx::MemoryStream boot, echo, firm;
  kx::shboot::LoadBoard(setup, QStringLiteral("bench"), boot, echo, firm, {}, {});
  const double blocks = kx::shboot::NonBlankBlocks(firm);
  const double bootLine = (2.0 + 2.0 + static_cast<double>(boot.Size()) + 1.0 + 1.0) * 10.0 / 19200.0;
  const double frameLine = (2.0 + 134.0 * blocks) * 10.0 / 115200.0;
  const double bound = bootLine + frameLine + kFixedWaitsSeconds;
  std::printf("line bound per receiver: %.3f s (boot %.3f s, %0.f frames %.3f s, fixed waits %.3f s)\n", bound,
              bootLine, blocks, frameLine, kFixedWaitsSeconds);

  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    double oneWall = 0;
    for (const int n : counts) {
      std::vector<std::unique_ptr<kx::sim::Receiver>> rxs;
      QStringList args{QStringLiteral("write"), QStringLiteral("mainboard"), QStringLiteral("--image"),
                       setup.firmwareResource, QStringLiteral("--yes"), QStringLiteral("--json")};
      for (int i = 0; i < n; ++i) {
        kx::sim::Options opt;
        opt.pace = true;
        opt.boot = kx::sim::BootMode::MainBoard;
        // The chip's erase is the receiver's own time, not the writer's.
        opt.eraseSeconds = 0;
        opt.portDir = work.filePath(QStringLiteral("ports")).toStdString();
        opt.comNumber = 20 + i;
        rxs.push_back(std::make_unique<kx::sim::Receiver>(opt));
        rxs.back()->start();
        args << QStringLiteral("--port") << QStringLiteral("COM%1").arg(20 + i) << QStringLiteral("--serial")
             << QStringLiteral("0968%1").arg(9000 + i);
      }
      QProcess cli;
      QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
      env.insert(QStringLiteral("KX7391_PORT_DIR"), work.filePath(QStringLiteral("ports")));
      cli.setProcessEnvironment(env);
      cli.setWorkingDirectory(work.path());
      const double cpu0 = ChildrenCpuSeconds();
      QElapsedTimer wall;
      wall.start();
      cli.start(QStringLiteral(KX7391_EXE), args);
      cli.closeWriteChannel();
      cli.waitForFinished(300000);
      const double seconds = wall.elapsed() / 1000.0;
      const double cpu = ChildrenCpuSeconds() - cpu0;
      if (n == counts.first()) oneWall = seconds;
      std::vector<double> each;
      for (const QByteArray &line : cli.readAllStandardOutput().split('\n')) {
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        if (o.value(QStringLiteral("kind")).toString() == QStringLiteral("end"))
          each.push_back(o.value(QStringLiteral("seconds")).toDouble());
      }
      bool ok = cli.exitCode() == 0 && static_cast<int>(each.size()) == n;
      const std::vector<std::uint8_t> image(firm.Bytes().begin(), firm.Bytes().begin() + 0x40000);
      for (auto &rx : rxs) ok = ok && rx->flash(kx::sim::Board::MainBoard) == image;
      if (!ok) ++failures;
      const double worst = each.empty() ? 0 : *std::max_element(each.begin(), each.end());
      std::printf("run %d, %d receiver%s: %s\n", run + 1, n, n == 1 ? "" : "s",
                  ok ? "every flash equals the image" : "WRITE FAILED");
      std::printf("  command wall time %.3f s  (x%.4f of %d receiver%s; goal at most x1.10)\n", seconds,
                  oneWall > 0 ? seconds / oneWall : 0, counts.first(), counts.first() == 1 ? "" : "s");
      std::printf("  receivers' times:");
      for (double s : each) std::printf(" %.3f", s);
      std::printf(" s; worst ratio to the bound %.4f (goal at most 1.03)\n", worst / bound);
      std::printf("  CPU time %.3f s, %.3f s per receiver\n", cpu, cpu / n);
      for (auto &rx : rxs) rx->stop();
    }
  }
  return failures == 0 ? 0 : 1;
}
