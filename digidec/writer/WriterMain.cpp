// Stand-in for the DigiDec board's writer tool. The real tool talks to the board over
// USB and exists only for another platform; this one pretends to write the board and
// keeps the tool's outward contract, which is all the updater relies on:
//
//   KX7391DWriterCmd2507A.exe IMAGE IMAGE_CYCLONE10
//
// appends to log.txt in its working directory, one line per message, each a time stamp
// without ": " inside, then ": ", then an "I:", "P:" or "E:" message, flushed at once.
//
// Environment, for tests and demonstrations:
//   KX7391_WRITER_SECONDS  total duration of a run in seconds (default 30, at most 1000)
//   KX7391_WRITER_QUIET    seconds to wait, before writing anything (its log not even
//                          created), as a tool slow to start (default 0, at most 1000)
//   KX7391_WRITER_FAIL     error  - an "E:" line part way through, then the tool ends
//                          silent - the tool stops part way through without a word
//                          crash  - the tool aborts part way through
//                          nolog  - the tool ends at once (exit code 4), writing nothing
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

// The sizes of the two images this tool version belongs to.
constexpr long long kImageSizes[2] = {567045, 567419};
constexpr int kEraseBlocks = 6;
constexpr unsigned kEraseBlockSize = 0x10000;
constexpr double kDefaultSeconds = 30.0;
constexpr double kMaxSeconds = 1000.0;
// Lines close enough together for the updater's 2 s polls to show steady progress.
constexpr double kMaxGapSeconds = 2.5;
// The exit code of a tool that cannot reach the board and says so only on its console.
constexpr int kNoLogExitCode = 4;

class Log {
 public:
  Log() : fd_(::open("log.txt", O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)) {}
  ~Log() {
    if (fd_ >= 0) ::close(fd_);
  }
  Log(const Log &) = delete;
  Log &operator=(const Log &) = delete;
  bool ok() const { return fd_ >= 0; }

  // One line in one write, so a reader never sees half of it in the normal case.
  bool Line(std::string_view message) {
    std::string line = Stamp() + ": ";
    line.append(message);
    line += "\r\n";
    const char *p = line.data();
    size_t left = line.size();
    while (left > 0) {
      const ssize_t n = ::write(fd_, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        std::perror("log.txt");
        return false;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    return true;
  }

 private:
  // "2025/07/01 09:05:12.345": colons, but never a colon followed by a blank.
  static std::string Stamp() {
    timespec ts{};
    ::clock_gettime(CLOCK_REALTIME, &ts);
    tm local{};
    ::localtime_r(&ts.tv_sec, &local);
    char buf[96];
    std::snprintf(buf, sizeof buf, "%04d/%02d/%02d %02d:%02d:%02d.%03ld", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, ts.tv_nsec / 1000000);
    return buf;
  }
  int fd_;
};

// Seconds from the variable NAME, fallback when unset or not a number.
double Seconds(const char *name, double fallback) {
  const char *v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  char *end = nullptr;
  const double s = std::strtod(v, &end);
  if (end == v || *end != '\0' || !std::isfinite(s) || s < 0) return fallback;
  return s > kMaxSeconds ? kMaxSeconds : s;
}

std::string Fail() {
  const char *v = std::getenv("KX7391_WRITER_FAIL");
  return v ? v : "";
}

std::string Percent(int p) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "P:%3d%%", p);
  return buf;
}

std::string Hex(unsigned address) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "I:Erase 0x%08X", address);
  return buf;
}

// "" when the image is fit to be written, else the error message.
std::string CheckImage(const char *name, long long expected) {
  const int fd = ::open(name, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::string("E:Can not open file [") + name + "] " + std::strerror(errno);
  struct stat st{};
  const int rc = ::fstat(fd, &st);
  const int err = errno;
  char probe;
  const ssize_t got = rc == 0 && st.st_size > 0 ? ::read(fd, &probe, 1) : 0;
  ::close(fd);
  if (rc != 0) return std::string("E:Can not read file [") + name + "] " + std::strerror(err);
  if (!S_ISREG(st.st_mode) || got < 0) return std::string("E:Can not read file [") + name + "]";
  if (st.st_size != expected) {
    return std::string("E:File size error [") + name + "] " + std::to_string(st.st_size) + " bytes, " +
           std::to_string(expected) + " expected";
  }
  return "";
}

// The messages of a healthy run, in order: per image erase, write and compare.
std::vector<std::string> Script(int percentStep) {
  std::vector<std::string> lines;
  for (int image = 0; image < 2; ++image) {
    lines.emplace_back("I:Erasing..");
    for (int b = 0; b < kEraseBlocks; ++b) lines.push_back(Hex(static_cast<unsigned>(b) * kEraseBlockSize));
    for (const char *phase : {"I:Writing..", "I:Comparing.."}) {
      lines.emplace_back(phase);
      for (int p = 0; p <= 100; p += percentStep) lines.push_back(Percent(p));
    }
  }
  lines.emplace_back("I:Success");
  return lines;
}

}  // namespace

int main(int argc, char **argv) {
  const std::string fail = Fail();
  if (fail == "nolog") {
    std::fputs("KX7391DWriterCmd2507A: no board found\n", stderr);
    return kNoLogExitCode;
  }
  std::this_thread::sleep_for(std::chrono::duration<double>(Seconds("KX7391_WRITER_QUIET", 0.0)));
  Log log;
  if (!log.ok()) {
    std::perror("log.txt");
    return 3;
  }
  if (!log.Line("I:DigiDec writer 2507A (simulated board)")) return 3;
  if (argc != 3) {
    log.Line("E:Usage: KX7391DWriterCmd2507A.exe IMAGE IMAGE_CYCLONE10");
    return 2;
  }
  for (int i = 0; i < 2; ++i) {
    if (const std::string error = CheckImage(argv[i + 1], kImageSizes[i]); !error.empty()) {
      log.Line(error);
      return 2;
    }
  }

  const double seconds = Seconds("KX7391_WRITER_SECONDS", kDefaultSeconds);
  // Coarse progress steps while they keep the lines close enough together, else finer.
  std::vector<std::string> lines = Script(10);
  if (seconds / static_cast<double>(lines.size()) > kMaxGapSeconds) lines = Script(1);
  const auto gap = std::chrono::duration<double>(seconds / static_cast<double>(lines.size()));

  // Failures strike during the second image's writing, as a lost USB link would.
  const size_t failAt = lines.size() * 3 / 4;
  for (size_t i = 0; i < lines.size(); ++i) {
    std::this_thread::sleep_for(gap);
    if (i == failAt) {
      if (fail == "error") {
        log.Line("E:Write error at 0x00040000");
        return 1;
      }
      if (fail == "silent") return 0;
      if (fail == "crash") {
        const rlimit noCore{0, 0};
        ::setrlimit(RLIMIT_CORE, &noCore);
        std::abort();
      }
    }
    if (!log.Line(lines[i])) return 3;
  }
  return 0;
}
