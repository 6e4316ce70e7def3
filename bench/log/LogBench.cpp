// The operation log against the size of the history on disk: main logs of 1,000,
// 100,000 and 1,000,000 lines (a line as long as an average real one, 82 bytes).
// For each: the time of one save of three lines (median and worst of many), the time
// from starting the updater to its main window (the ready file), and the updater's
// peak memory. Also what the flush to the disk costs in one save.
//
// Run: build/bin/log_bench [--saves N] [--starts N]
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QThread>
#include <algorithm>
#include <memory>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

#include "main/OperationLog.h"

namespace {

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

// A main log of `lines` lines of 82 bytes each, CR LF included.
void MakeHistory(const QString &path, int lines) {
  QFile f(path);
  if (!f.open(QIODevice::WriteOnly)) qFatal("cannot write %s", qPrintable(path));
  QByteArray chunk;
  for (int i = 0; i < lines; ++i) {
    QByteArray line = QStringLiteral("2025/11/05 14:03:07.123 Writing block %1 of 2048 to the MainBoard flash..")
                          .arg(i % 100000, 6, 10, QChar(u'0'))
                          .toUtf8();
    line = line.leftJustified(80, '.', true) + "\r\n";
    chunk += line;
    if (chunk.size() > (1 << 20)) {
      f.write(chunk);
      chunk.clear();
    }
  }
  f.write(chunk);
}

struct SaveTimes {
  double median = 0, worst = 0;
};

// Saves of three lines into each folder's main log in turn, so that the disk's and the
// machine's moods fall on every history size alike.
std::vector<SaveTimes> TimeSaves(const std::vector<QString> &dirs, int saves) {
  std::vector<std::unique_ptr<kx::OperationLog>> logs;
  for (const QString &dir : dirs) {
    QDir::setCurrent(dir);
    logs.push_back(std::make_unique<kx::OperationLog>());
    logs.back()->saveFailed = [](const QString &m) { qFatal("save failed: %s", qPrintable(m)); };
    logs.back()->Open(kx::OperationLog::kMain);
  }
  std::vector<std::vector<double>> ms(dirs.size());
  for (int s = 0; s < saves; ++s) {
    for (std::size_t d = 0; d < dirs.size(); ++d) {
      QDir::setCurrent(dirs[d]);
      kx::OperationLog &log = *logs[d];
      for (int l = 0; l < 3; ++l) log.Add(QStringLiteral("Send block %1 of the MainBoard image (133 bytes)").arg(s));
      QElapsedTimer t;
      t.start();
      log.Save(kx::OperationLog::kMain);
      ms[d].push_back(t.nsecsElapsed() / 1e6);
    }
  }
  std::vector<SaveTimes> out;
  for (const auto &m : ms) out.push_back({Median(m), *std::max_element(m.begin(), m.end())});
  return out;
}

// One append of a save's size to a file of the same folder, with and without the flush.
std::pair<double, double> TimeFlush(const QString &dir, int rounds) {
  const QByteArray path = QFile::encodeName(QDir(dir).filePath(QStringLiteral("flush.txt")));
  const QByteArray bytes(250, 'x');
  std::vector<double> plain, flushed;
  for (int r = 0; r < rounds; ++r) {
    for (bool flush : {false, true}) {
      QElapsedTimer t;
      t.start();
      const int fd = ::open(path.constData(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
      if (fd < 0 || ::write(fd, bytes.constData(), bytes.size()) != bytes.size()) qFatal("cannot append");
      if (flush) ::fdatasync(fd);
      ::close(fd);
      (flush ? flushed : plain).push_back(t.nsecsElapsed() / 1e6);
    }
  }
  QFile::remove(QString::fromLocal8Bit(path));
  return {Median(plain), Median(flushed)};
}

struct Start {
  double seconds = 0;
  double peakMb = 0;
};

// The updater started in `dir` until its main window is up; its peak memory then
// (VmHWM), after which it is asked to close as a session ending would.
Start TimeStart(const QString &dir, const QString &portDir) {
  const QString ready = QDir(dir).filePath(QStringLiteral("ready"));
  QFile::remove(ready);
  QProcess p;
  p.setWorkingDirectory(dir);
  QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
  env.insert(QStringLiteral("KX7391_READY_FILE"), ready);
  env.insert(QStringLiteral("KX7391_PORT_DIR"), portDir);
  env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
  p.setProcessEnvironment(env);
  p.setStandardOutputFile(QProcess::nullDevice());
  p.setStandardErrorFile(QProcess::nullDevice());
  QElapsedTimer t;
  t.start();
  p.start(QStringLiteral(KX_UPDATER), {});
  if (!p.waitForStarted()) qFatal("cannot start the updater");
  // A benchmark may look again and again: it measures, it does not serve anyone.
  QDeadlineTimer limit(60000);
  while (!QFile::exists(ready) && !limit.hasExpired()) QThread::usleep(500);
  if (!QFile::exists(ready)) qFatal("the updater did not show its main window within 60 s");
  Start s;
  s.seconds = t.nsecsElapsed() / 1e9;
  QFile status(QStringLiteral("/proc/%1/status").arg(p.processId()));
  if (status.open(QIODevice::ReadOnly)) {
    for (const QByteArray &line : status.readAll().split('\n'))
      if (line.startsWith("VmHWM:")) s.peakMb = line.mid(6).trimmed().split(' ').first().toDouble() / 1024.0;
  }
  p.terminate();
  if (!p.waitForFinished(20000)) p.kill();
  return s;
}

}  // namespace

int main(int argc, char **argv) {
  QCoreApplication app(argc, argv);
  const QStringList args = app.arguments();
  int saves = 300, starts = 7;
  if (int i = args.indexOf(QStringLiteral("--saves")); i > 0) saves = args.value(i + 1).toInt();
  if (int i = args.indexOf(QStringLiteral("--starts")); i > 0) starts = args.value(i + 1).toInt();

  const std::vector<int> sizes = {1000, 100000, 1000000};
  std::vector<std::unique_ptr<QTemporaryDir>> dirs;
  std::vector<QString> paths;
  for (int lines : sizes) {
    dirs.push_back(std::make_unique<QTemporaryDir>());
    paths.push_back(dirs.back()->path());
    MakeHistory(dirs.back()->filePath(QStringLiteral("KX7391Updater_Log.txt")), lines);
  }
  QTemporaryDir ports;
  std::vector<std::vector<double>> startSeconds(sizes.size());
  std::vector<double> peak(sizes.size());
  for (int i = 0; i < starts; ++i) {
    for (std::size_t d = 0; d < sizes.size(); ++d) {
      const Start s = TimeStart(paths[d], ports.path());
      startSeconds[d].push_back(s.seconds);
      peak[d] = std::max(peak[d], s.peakMb);
    }
  }
  const std::vector<SaveTimes> save = TimeSaves(paths, saves);
  QDir::setCurrent(QDir::tempPath());

  std::printf("%10s  %22s  %22s  %12s\n", "log lines", "save of 3 lines (ms)", "start to window (s)", "peak (MB)");
  std::printf("%10s  %10s %11s  %10s %11s  %12s\n", "", "median", "worst", "median", "worst", "worst");
  for (std::size_t d = 0; d < sizes.size(); ++d) {
    std::printf("%10d  %10.3f %11.3f  %10.3f %11.3f  %12.1f\n", sizes[d], save[d].median, save[d].worst,
                Median(startSeconds[d]), *std::max_element(startSeconds[d].begin(), startSeconds[d].end()), peak[d]);
  }
  std::printf("at 1,000,000 lines against 1,000: save median x%.2f (goal <= 1.5), start x%.2f (goal <= 1.5), "
              "peak %+.1f MB (goal <= +20)\n",
              save[2].median / save[0].median, Median(startSeconds[2]) / Median(startSeconds[0]), peak[2] - peak[0]);
  QTemporaryDir dir;
  const auto [plain, flushed] = TimeFlush(dir.path(), saves);
  std::printf("\none append of 250 bytes (open, write, close): %.3f ms; with the flush to the disk: %.3f ms\n",
              plain, flushed);
  return 0;
}
