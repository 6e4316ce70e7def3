// How the terminal keeps up with a continuous stream at 115200 bit/s while its log
// already holds 100,000 lines, how long saving such a log takes, and how the
// process's memory stays put once the log has reached its scrollback limit.
//
// The receive time per byte includes the event processing the log causes (layout,
// scrolling, painting into the window's backing store), as the receive dispatch
// hands bytes over in bursts between which the event loop runs.
#include <benchmark/benchmark.h>

#include <QApplication>
#include <QFile>
#include <QRegularExpression>
#include <chrono>
#include <QTemporaryDir>
#include <QTextDocument>
#include <QPlainTextEdit>

#include "platform/Application.h"
#include "terminal/LogWriter.h"
#include "terminal/UnitTerminal.h"

namespace {

constexpr int kLogLines = 100000;
constexpr int kBurst = 8;  // bytes per receive report
// At 115200 bit/s with 10 bits a character a byte arrives every 86.8 us.
constexpr double kBytesPerSecond = 115200.0 / 10.0;
constexpr double kByteTimeUs = 1e6 / kBytesPerSecond;
// The log takes received text in batches, one every kRxFlushMs while bytes come,
// so at the line rate a batch holds that many milliseconds of bytes.
const int kBatchBytes = static_cast<int>(kBytesPerSecond * TFormTerminal::kRxFlushMs / 1000.0);

// A receiver's answer line as the stream repeats it.
const QByteArray kLine = QByteArrayLiteral("VER-C:KX7391D 403A 3N5A 511A 507A S/N 12345678\r\n");

// The process's resident memory in kB.
double ResidentKb() {
  QFile f(QStringLiteral("/proc/self/status"));
  if (!f.open(QIODevice::ReadOnly)) return 0;
  const QRegularExpressionMatch m =
      QRegularExpression(QStringLiteral("VmRSS:\\s+(\\d+) kB")).match(QString::fromLatin1(f.readAll()));
  return m.hasMatch() ? m.captured(1).toDouble() : 0;
}

// Received lines as the receive dispatch hands them over, with the event loop
// running in between.
void ReceiveLines(TFormTerminal *t, int lines) {
  for (int i = 0; i < lines; ++i) {
    for (char c : kLine) t->TerminalRx_1byte(static_cast<std::uint8_t>(c));
    if (i % 1000 == 0) {
      t->TerminalRxFlush();
      QCoreApplication::processEvents();
    }
  }
  t->TerminalRxFlush();
  QCoreApplication::processEvents();
}

double residentAfter100k = 0;

TFormTerminal *Terminal() {
  static TFormTerminal *term = [] {
    auto *t = new TFormTerminal;
    t->show();
    // A log that already holds 100,000 received lines.
    ReceiveLines(t, kLogLines);
    residentAfter100k = ResidentKb();
    return t;
  }();
  return term;
}

void Stream(benchmark::State &state, int mode) {
  TFormTerminal *term = Terminal();
  term->SetTerminalTypeItemIndex(mode);
  const QByteArray stream = kLine.repeated(64);
  qsizetype pos = 0;
  std::int64_t bytes = 0;
  int sinceBatch = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    for (int i = 0; i < kBurst; ++i) {
      term->TerminalRx_1byte(static_cast<std::uint8_t>(stream[pos]));
      pos = (pos + 1) % stream.size();
      if (++sinceBatch == kBatchBytes) {
        term->TerminalRxFlush();
        sinceBatch = 0;
      }
    }
    QCoreApplication::processEvents();
    bytes += kBurst;
  }
  // The user-interface thread's wall time per byte, and how many times faster
  // than the line it takes bytes.
  const double us = std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count();
  const double usPerByte = us / static_cast<double>(bytes);
  state.SetItemsProcessed(bytes);
  state.counters["us_per_byte"] = usPerByte;
  state.counters["headroom_x"] = kByteTimeUs / usPerByte;
  state.counters["log_lines"] = term->RichEdit1->document()->blockCount();
  term->SetTerminalTypeItemIndex(0);
}

void BM_ReceiveAscii(benchmark::State &state) { Stream(state, 0); }
void BM_ReceiveHex(benchmark::State &state) { Stream(state, 1); }

void BM_SaveText(benchmark::State &state) {
  TFormTerminal *term = Terminal();
  QTemporaryDir dir;
  for (auto _ : state) {
    const QByteArray text = kx::terminal::PlainTextLog(*term->RichEdit1->document());
    QFile f(dir.filePath(QStringLiteral("log.txt")));
    if (!f.open(QIODevice::WriteOnly) || f.write(text) != text.size()) state.SkipWithError("cannot write");
    state.counters["lines"] = term->RichEdit1->document()->blockCount();
  }
}

void BM_SaveRtf(benchmark::State &state) {
  TFormTerminal *term = Terminal();
  QTemporaryDir dir;
  kx::terminal::RtfFonts fonts{term->LogFont().family(), term->MarkerFont().family(), {}, 20};
  for (auto _ : state) {
    const QByteArray rtf = kx::terminal::RtfLog(*term->RichEdit1->document(), fonts);
    QFile f(dir.filePath(QStringLiteral("log.rtf")));
    if (!f.open(QIODevice::WriteOnly) || f.write(rtf) != rtf.size()) state.SkipWithError("cannot write");
    state.counters["lines"] = term->RichEdit1->document()->blockCount();
  }
}

// 200,000 lines more: with the scrollback limit at its default of 100,000 lines the
// log drops as many as it takes, and the process should not grow.
void BM_MemoryAfter300kLines(benchmark::State &state) {
  TFormTerminal *term = Terminal();
  for (auto _ : state) ReceiveLines(term, 2 * kLogLines);
  const double after300k = ResidentKb();
  state.counters["rss_100k_lines_MB"] = residentAfter100k / 1024.0;
  state.counters["rss_300k_lines_MB"] = after300k / 1024.0;
  state.counters["growth_MB"] = (after300k - residentAfter100k) / 1024.0;
  state.counters["log_lines"] = term->RichEdit1->document()->blockCount();
}

// The saves run first, while the log holds the 100,000 lines; the stream adds more.
BENCHMARK(BM_SaveText)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_SaveRtf)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_MemoryAfter300kLines)->Unit(benchmark::kMillisecond)->Iterations(1);
BENCHMARK(BM_ReceiveAscii)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();
BENCHMARK(BM_ReceiveHex)->Unit(benchmark::kMicrosecond)->MinTime(2.0)->UseRealTime();

}  // namespace

int main(int argc, char **argv) {
  qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
  kx::Application app(argc, argv);
  benchmark::Initialize(&argc, argv);
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
