// Times one whole MainBoard write against the simulated receiver with pacing on
// (19200 bit/s for the boot program, 115200 bit/s for the frames) and compares it with
// the least the line and the fixed waits of the run allow. Also reports the CPU time
// the user-interface thread spent during the run. Each run writes twice: through the
// updater's window, then with `kx7391 write mainboard --yes` (its own figure from
// WRITE START to the end of the closing state, as its "end" object in --json gives it).
//
//   build/bin/shboot_write_bench [--runs N] [--trace FILE]   (kx7391's trace: FILE.kx7391)
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QTimer>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "platform/Application.h"
#include "shboot/BootFrame.h"
#include "shboot/UnitSHBoot.h"
#include "sim/Receiver.h"
#include "terminal/UnitTerminal.h"

namespace {

constexpr int kPort = 9;
// Sleeps of a successful run: 500 ms after the port opens, 500 ms after the boot
// program starts, 500 + 500 ms around the change to 115200 bit/s, 500 ms before the close;
// and the serial component's own pauses in opening and closing the port.
constexpr double kFixedWaitsSeconds =
    2.5 + (TCustomCommX::kOpenSettleMs + TCustomCommX::kCloseQuietMs + TCustomCommX::kCloseRestMs) / 1000.0;

double ThreadCpuSeconds() {
  timespec ts{};
  if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) return 0;
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// Median and upper percentiles of the host's turnarounds after the receiver's answers
// (a sum would count the writer's deliberate waits after some answers).
std::string Turnarounds(std::vector<double> us) {
  if (us.empty()) return "none";
  std::sort(us.begin(), us.end());
  char text[160];
  std::snprintf(text, sizeof text, "median %.0f us, p90 %.0f us, p99 %.0f us over %zu answers", us[us.size() / 2],
                us[us.size() * 9 / 10], us[us.size() * 99 / 100], us.size());
  return text;
}

std::size_t NonBlankBlocks(const std::vector<std::uint8_t> &image) {
  std::size_t n = 0;
  for (std::size_t a = 0; a + kx::shboot::kBlockSize <= image.size() && a < kx::shboot::kFlashSize;
       a += kx::shboot::kBlockSize) {
    for (int i = 0; i < kx::shboot::kBlockSize; ++i) {
      if (image[a + i] != 0xFF) {
        ++n;
        break;
      }
    }
  }
  return n;
}

}  // namespace

int main(int argc, char **argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  kx::Application app(argc, argv);
  int runs = 1;
  std::string trace;  // the receiver's byte trace, to see where a run spends its time
  for (int i = 1; i + 1 < argc; ++i) {
    if (QByteArray(argv[i]) == "--runs") runs = std::max(1, atoi(argv[i + 1]));
    if (QByteArray(argv[i]) == "--trace") trace = argv[i + 1];
  }

  QTemporaryDir work;
  if (!work.isValid() || !QDir::setCurrent(work.path())) {
    std::fprintf(stderr, "cannot make a working directory\n");
    return 1;
  }
  QDir().mkpath(QStringLiteral("ports"));
  qputenv("KX7391_PORT_DIR", work.filePath(QStringLiteral("ports")).toLocal8Bit());

  FormMain = new TFormMain;
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormMain->CommX1->SetPortNo(kPort);
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680661"));
  FormMain->Step03LabelClick();

  kx::sim::Options opt;
  opt.pace = true;
  // The chip's erase is the receiver's own time, not the writer's: left out of both figures.
  opt.eraseSeconds = 0;
  opt.portDir = work.filePath(QStringLiteral("ports")).toStdString();
  opt.comNumber = kPort;
  opt.tracePath = trace;

  int failures = 0;
  for (int run = 0; run < runs; ++run) {
    kx::sim::Receiver rx(opt);
    rx.start();
    FormMain->MainBoardBitBtn->click();
    const std::vector<std::uint8_t> image = FormSHBoot->FirmStream->Bytes();
    const std::size_t blocks = NonBlankBlocks(image);
    const std::size_t bootBytes = FormSHBoot->BootStream->Size();

    // The line: 0x00 and its answer, 0x55 and 0xAA, the boot data with the echo of its
    // last byte trailing, and 0xAA at the boot timing rate; then 0xAB and 0xCD, and per
    // non-blank block a 133-byte frame and its reply at 115200 bit/s; 10 bits a byte.
    const double bootLine = (2.0 + 2.0 + static_cast<double>(bootBytes) + 1.0 + 1.0) * 10.0 / 19200.0;
    const double frameLine = (2.0 + 134.0 * static_cast<double>(blocks)) * 10.0 / 115200.0;
    const double bound = bootLine + frameLine + kFixedWaitsSeconds;

    const double cpu0 = ThreadCpuSeconds();
    const auto t0 = std::chrono::steady_clock::now();
    FormSHBoot->WriteButton->click();
    {
      // The program's own kind of loop: it sleeps until an event comes. A light poll
      // notices the end of the run.
      QEventLoop loop;
      QTimer poll;
      QObject::connect(&poll, &QTimer::timeout, &loop, [&loop] {
        if (BootState == 0) loop.quit();
      });
      poll.start(5);
      loop.exec();
    }
    const auto t1 = std::chrono::steady_clock::now();
    const double cpu = ThreadCpuSeconds() - cpu0;
    const double measured = std::chrono::duration<double>(t1 - t0).count();

    const bool ok = rx.programmed(kx::sim::Board::MainBoard) &&
                    rx.flash(kx::sim::Board::MainBoard) ==
                        std::vector<std::uint8_t>(image.begin(), image.begin() + kx::shboot::kFlashSize);
    if (!ok) ++failures;
    std::printf("run %d: %s\n", run + 1, ok ? "flash equals the image" : "WRITE FAILED");
    std::printf("  boot data %zu bytes, non-blank blocks %zu of %u\n", bootBytes, blocks,
                kx::shboot::kFlashSize / kx::shboot::kBlockSize);
    std::printf("  lower bound: line %.3f s (boot %.3f s at 19200, frames %.3f s at 115200) + fixed waits %.3f s = %.3f s\n",
                bootLine + frameLine, bootLine, frameLine, kFixedWaitsSeconds, bound);
    std::printf("  measured:    %.3f s  ratio %.4f (%+.2f %%; goal at most +3 %%)\n", measured, measured / bound,
                (measured / bound - 1.0) * 100.0);
    std::printf("  turnaround (answer written -> the host's next bytes): %s\n", Turnarounds(rx.turnaroundsMicros()).c_str());
    std::printf("  user-interface thread CPU time: %.3f s (%.1f %% of the run)\n", cpu, cpu / measured * 100.0);
    rx.stop();

    // The same write from the command line, against a new receiver (its trace beside the first).
    kx::sim::Options cliOpt = opt;
    if (!trace.empty()) cliOpt.tracePath = trace + ".kx7391";
    kx::sim::Receiver rx2(cliOpt);
    rx2.start();
    QProcess cli;
    cli.setWorkingDirectory(work.path());
    cli.start(QStringLiteral(KX7391_EXE), {QStringLiteral("write"), QStringLiteral("mainboard"), QStringLiteral("--port"),
                                           QStringLiteral("COM%1").arg(kPort), QStringLiteral("--serial"),
                                           QStringLiteral("09680661"), QStringLiteral("--yes"), QStringLiteral("--json")});
    cli.closeWriteChannel();
    cli.waitForFinished(120000);
    // JSON Lines: the receiver's "end" object holds the run's seconds.
    QJsonObject result;
    for (const QByteArray &line : cli.readAllStandardOutput().split('\n'))
      if (const QJsonObject o = QJsonDocument::fromJson(line).object(); o.value(QStringLiteral("kind")) == QStringLiteral("end"))
        result = o;
    const double cliSeconds = result.value(QStringLiteral("seconds")).toDouble();
    const bool cliOk = cli.exitCode() == 0 && rx2.flash(kx::sim::Board::MainBoard) ==
                                                  std::vector<std::uint8_t>(image.begin(), image.begin() + kx::shboot::kFlashSize);
    if (!cliOk) ++failures;
    std::printf("  kx7391:      %.3f s  ratio %.4f (%+.2f %%)%s\n", cliSeconds, cliSeconds / bound,
                (cliSeconds / bound - 1.0) * 100.0, cliOk ? "" : "  WRITE FAILED");
    std::printf("  kx7391's turnaround: %s\n", Turnarounds(rx2.turnaroundsMicros()).c_str());
    rx2.stop();
  }

  delete FormSHBoot;
  delete FormTerminal;
  FormMain->FormDestroy();
  delete FormMain;
  return failures == 0 ? 0 : 1;
}
