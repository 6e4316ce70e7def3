#include "sim/Receiver.h"

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/eventfd.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "sim/LineRate.h"

namespace kx::sim {

namespace fs = std::filesystem;

namespace {

std::runtime_error SystemError(const std::string &what) {
  return std::runtime_error(what + ": " + std::strerror(errno));
}

// A byte is 10 bit times on the line: start bit, 8 data bits, stop bit.
Clock::duration ByteTime(std::uint32_t rate) {
  if (rate == 0) return Clock::duration::zero();
  return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(10.0 / rate));
}

struct RxByte {
  std::uint8_t byte;
  std::uint32_t rate;
  Time arrival;
};

class Fd {
 public:
  Fd() = default;
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace

std::string DefaultPortDirectory() {
  if (const char *dir = std::getenv("KX7391_PORT_DIR"); dir && *dir) return dir;
  if (const char *run = std::getenv("XDG_RUNTIME_DIR"); run && *run) return std::string(run) + "/kx7391/ports";
  const char *home = std::getenv("HOME");
  return std::string(home ? home : ".") + "/.cache/kx7391/ports";
}

struct Receiver::Impl {
  Options options;
  mutable std::mutex mutex;  // guards model, trace and flash files against the accessors
  std::optional<Model> model;
  Fd master, slave, wake;
  std::thread thread;
  std::atomic<bool> running{false};
  std::atomic<bool> hungUp{false};
  std::string device;
  std::string link;
  std::FILE *trace = nullptr;
  Time start{};
  std::array<Fd, kBoardCount> flashFiles;
  std::function<void()> hangupCallback;
  std::vector<double> turnarounds;  // under mutex

  void publish();
  void unpublish();
  void openFiles();
  void closeFiles();
  void traceLine(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  double seconds(Time t) const { return std::chrono::duration<double>(t - start).count(); }
  ModelHooks hooks();
  void run();
  void hangup();
};

void Receiver::Impl::traceLine(const char *fmt, ...) {
  if (!trace) return;
  va_list args;
  va_start(args, fmt);
  std::vfprintf(trace, fmt, args);
  va_end(args);
  std::fputc('\n', trace);
}

void Receiver::Impl::publish() {
  if (options.portDir.empty()) return;
  const fs::path dir(options.portDir);
  std::error_code ec;
  fs::create_directories(dir, ec);
  if (ec) throw std::runtime_error("cannot create the port directory " + dir.string() + ": " + ec.message());
  const fs::path path = dir / ("COM" + std::to_string(options.comNumber));
  if (fs::is_symlink(fs::symlink_status(path))) {
    // A link left by a simulator that died is replaced; a live one belongs to someone else.
    if (fs::exists(path, ec)) {
      throw std::runtime_error(path.string() + " is already published (-> " + fs::read_symlink(path, ec).string() +
                               "); remove it or choose another --com");
    }
    fs::remove(path, ec);
  } else if (fs::exists(fs::symlink_status(path))) {
    throw std::runtime_error(path.string() + " exists and is not a link");
  }
  if (::symlink(device.c_str(), path.c_str()) != 0) throw SystemError("cannot create the link " + path.string());
  link = path.string();
}

void Receiver::Impl::unpublish() {
  if (link.empty()) return;
  std::error_code ec;
  // Only our own link: someone may have pinned another device under the name meanwhile.
  if (fs::is_symlink(fs::symlink_status(link, ec)) && fs::read_symlink(link, ec).string() == device) {
    fs::remove(link, ec);
  }
  link.clear();
}

void Receiver::Impl::openFiles() {
  if (!options.tracePath.empty()) {
    trace = std::fopen(options.tracePath.c_str(), "w");
    if (!trace) throw SystemError("cannot write the trace " + options.tracePath);
    traceLine("# time/s  direction  byte  bit/s  (H>R host to receiver, R>H receiver to host)");
  }
  if (options.flashDir.empty()) return;
  std::error_code ec;
  fs::create_directories(options.flashDir, ec);
  if (ec) throw std::runtime_error("cannot create the flash directory " + options.flashDir + ": " + ec.message());
  for (int b = 0; b < kBoardCount; ++b) {
    const auto board = static_cast<Board>(b);
    const std::string path = options.flashDir + "/" + BoardFileStem(board) + ".bin";
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw SystemError("cannot write " + path);
    flashFiles[static_cast<std::size_t>(b)].reset(fd);
    const auto &image = model->flash(board);
    if (::pwrite(fd, image.data(), image.size(), 0) != static_cast<ssize_t>(image.size())) {
      throw SystemError("cannot write " + path);
    }
  }
}

void Receiver::Impl::closeFiles() {
  for (auto &fd : flashFiles) fd.reset();
  if (trace) std::fclose(trace);
  trace = nullptr;
}

ModelHooks Receiver::Impl::hooks() {
  ModelHooks h;
  auto writeFlash = [this](Board board, std::size_t offset, std::size_t length) {
    const int fd = flashFiles[static_cast<std::size_t>(board)].get();
    if (fd < 0) return;
    const auto &image = model->flash(board);
    if (::pwrite(fd, image.data() + offset, length, static_cast<off_t>(offset)) != static_cast<ssize_t>(length)) {
      std::fprintf(stderr, "kx7391-sim: cannot update the flash file of %s: %s\n", BoardName(board),
                   std::strerror(errno));
    }
  };
  h.flashErased = [writeFlash](Board board) { writeFlash(board, 0, kFlashSize); };
  h.flashWritten = writeFlash;
  h.bootProgramReceived = [this](Board board) {
    if (options.flashDir.empty()) return;
    const std::string path = options.flashDir + "/" + BoardFileStem(board) + "-boot.bin";
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    const auto &program = model->bootProgram(board);
    file.write(reinterpret_cast<const char *>(program.data()), static_cast<std::streamsize>(program.size()));
    if (!file) std::fprintf(stderr, "kx7391-sim: cannot write %s\n", path.c_str());
  };
  h.note = [this](const std::string &text) {
    traceLine("%.6f # %s", seconds(Clock::now()), text.c_str());
    if (trace) std::fflush(trace);  // a note may be all there is for a while (a fault's silence)
  };
  return h;
}

void Receiver::Impl::hangup() {
  {
    std::lock_guard lock(mutex);
    traceLine("%.6f # line closed", seconds(Clock::now()));
    master.reset();
    slave.reset();
    unpublish();
  }
  hungUp = true;
  running = false;
  if (hangupCallback) hangupCallback();
}

void Receiver::Impl::run() {
  // Keeping the line's time is this thread's job: with the default slack of a sleeping
  // thread (50 us) every answer would leave up to that much late.
  ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  std::deque<RxByte> rx;
  std::deque<Emit> tx;
  Time rxFree = start;  // end of the last byte received on the line
  Time txFree = start;  // end of the last byte sent
  bool txOnLine = false;  // the head of tx has started on the line
  Time txEnd{};
  std::uint32_t txRate = 0;
  std::vector<Emit> out;
  std::vector<std::uint8_t> batch;
  const bool pace = options.pace;
  // Set once the answer before a hangup has gone out: the line closes when the host sends
  // its next byte, or a moment later, so that the host still reads that answer.
  std::optional<Time> closeAt;
  Time answeredAt{};  // the last answer written to a waiting host
  bool answered = false;

  auto rxDue = [&](const RxByte &r) { return pace ? std::max(r.arrival, rxFree) + ByteTime(r.rate) : r.arrival; };

  for (;;) {
    Time now = Clock::now();
    if (closeAt && (now >= *closeAt || !rx.empty())) {
      hangup();
      return;
    }

    while (!rx.empty() && !closeAt) {
      const RxByte r = rx.front();
      const Time due = rxDue(r);
      std::lock_guard lock(mutex);
      // Inside a frame no byte can be answered, so it is handed over without waiting for it.
      if (due > now && model->quietBytesAhead() == 0) break;
      out.clear();
      const auto garbledBefore = model->counters().garbledBytes;
      model->receive(r.byte, r.rate, due, out);
      traceLine("%.6f H>R %02X %u%s", seconds(due), r.byte, r.rate,
                model->counters().garbledBytes != garbledBefore ? " garbled" : "");
      rxFree = due;
      rx.pop_front();
      tx.insert(tx.end(), out.begin(), out.end());
    }

    batch.clear();
    bool closeAfter = false;
    while (!tx.empty() && !closeAfter) {
      const Emit &e = tx.front();
      std::uint32_t rate;
      if (pace) {
        if (!txOnLine) {
          const Time begin = std::max(e.notBefore, txFree);
          if (begin > now) break;
          txRate = LineRate(master.get());  // the rate in force when the byte starts
          txEnd = begin + ByteTime(txRate);
          txOnLine = true;
        }
        if (txEnd > now) break;
        txFree = txEnd;
        txOnLine = false;
        rate = txRate;
      } else {
        if (e.notBefore > now) break;
        rate = LineRate(master.get());
      }
      {
        std::lock_guard lock(mutex);
        traceLine("%.6f R>H %02X %u", seconds(pace ? txFree : now), e.byte, rate);
      }
      batch.push_back(e.byte);
      closeAfter = e.hangupAfter;
      tx.pop_front();
    }
    if (!batch.empty()) {
      const ssize_t n = ::write(master.get(), batch.data(), batch.size());
      // The trace is written through at each answer (and each note), so that it can be
      // followed while a run goes on (tail -f), at one write per answer rather than per byte.
      if (trace) {
        std::lock_guard lock(mutex);
        std::fflush(trace);
      }
      // Only an answer to a host that is waiting counts: nothing of its own is on the
      // way or waiting to be taken.
      if (rx.empty()) {
        answeredAt = Clock::now();
        answered = true;
      }
      if (n < static_cast<ssize_t>(batch.size())) {
        // The slave's input is full: nobody reads the port. Bytes on a line nobody listens to
        // are lost, as on a real line.
        std::lock_guard lock(mutex);
        traceLine("%.6f # %zu bytes lost (nobody reads the port)", seconds(now),
                  batch.size() - static_cast<std::size_t>(n < 0 ? 0 : n));
      }
    }
    if (closeAfter) {
      closeAt = now + std::chrono::milliseconds(500);
      tx.clear();
    }

    std::optional<Time> next;
    if (!rx.empty()) next = rxDue(rx.front());
    if (!tx.empty()) {
      const Time t = !pace ? tx.front().notBefore : txOnLine ? txEnd : std::max(tx.front().notBefore, txFree);
      next = next ? std::min(*next, t) : t;
    }
    if (closeAt) next = next ? std::min(*next, *closeAt) : *closeAt;
    timespec timeout{};
    timespec *timeoutPtr = nullptr;
    if (next) {
      const auto wait = std::max(Clock::duration::zero(), *next - Clock::now());
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(wait).count();
      timeout.tv_sec = static_cast<time_t>(ns / 1000000000);
      timeout.tv_nsec = static_cast<long>(ns % 1000000000);
      timeoutPtr = &timeout;
    }
    pollfd fds[2] = {{wake.get(), POLLIN, 0}, {master.get(), POLLIN, 0}};
    // Keep at most a few kilobytes waiting: the rest stays in the pseudo-terminal, so the
    // host's writes wait as they would for a real line.
    const nfds_t count = rx.size() < 4096 ? 2 : 1;
    const int ready = ::ppoll(fds, count, timeoutPtr, nullptr);
    if (ready < 0) {
      if (errno == EINTR) continue;
      std::fprintf(stderr, "kx7391-sim: ppoll: %s\n", std::strerror(errno));
      return;
    }
    if (fds[0].revents & POLLIN) return;  // stop()
    if (count > 1 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
      std::uint8_t buf[4096];
      const ssize_t n = ::read(master.get(), buf, sizeof buf);
      if (n > 0) {
        const std::uint32_t rate = LineRate(master.get());  // as the host set it when writing
        const Time arrival = Clock::now();
        for (ssize_t i = 0; i < n; ++i) rx.push_back({buf[i], rate, arrival});
        if (answered) {
          std::lock_guard lock(mutex);
          turnarounds.push_back(std::chrono::duration<double, std::micro>(arrival - answeredAt).count());
          answered = false;
        }
      } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
        std::fprintf(stderr, "kx7391-sim: read: %s\n", std::strerror(errno));
        return;
      }
    }
  }
}

Receiver::Receiver(Options options) : impl_(std::make_unique<Impl>()) { impl_->options = std::move(options); }

Receiver::~Receiver() { stop(); }

std::string Receiver::start() {
  Impl &d = *impl_;
  if (d.thread.joinable()) throw std::runtime_error("the receiver is already running");
  d.hungUp = false;

  int masterFd = -1, slaveFd = -1;
  char name[128] = {};
  if (::openpty(&masterFd, &slaveFd, name, nullptr, nullptr) != 0) throw SystemError("openpty");
  d.master.reset(masterFd);
  d.slave.reset(slaveFd);  // held open so that the master never sees a hang-up between sessions
  d.device = name;
  if (::fcntl(masterFd, F_SETFL, ::fcntl(masterFd, F_GETFL) | O_NONBLOCK) != 0 ||
      ::fcntl(masterFd, F_SETFD, FD_CLOEXEC) != 0 || ::fcntl(slaveFd, F_SETFD, FD_CLOEXEC) != 0) {
    throw SystemError("fcntl on the pseudo-terminal");
  }
  // Raw until the host applies its own settings: no echo, no line editing, no CR/LF mapping.
  termios settings{};
  if (::tcgetattr(slaveFd, &settings) != 0) throw SystemError("tcgetattr");
  ::cfmakeraw(&settings);
  settings.c_cflag |= CLOCAL | CREAD;
  ::cfsetispeed(&settings, B115200);
  ::cfsetospeed(&settings, B115200);
  if (::tcsetattr(slaveFd, TCSANOW, &settings) != 0) throw SystemError("tcsetattr");

  const int wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (wakeFd < 0) throw SystemError("eventfd");
  d.wake.reset(wakeFd);

  d.start = Clock::now();
  d.model.emplace(d.options, d.start, d.hooks());
  try {
    d.openFiles();
    d.publish();
  } catch (...) {
    d.closeFiles();
    d.master.reset();
    d.slave.reset();
    throw;
  }
  d.running = true;
  d.thread = std::thread([&d] {
    d.run();
    d.running = false;
  });
  return d.device;
}

void Receiver::stop() {
  Impl &d = *impl_;
  if (d.thread.joinable()) {
    const std::uint64_t one = 1;
    if (::write(d.wake.get(), &one, sizeof one) != sizeof one) {
      std::fprintf(stderr, "kx7391-sim: cannot wake the receiver thread: %s\n", std::strerror(errno));
    }
    d.thread.join();
  }
  std::lock_guard lock(d.mutex);
  d.unpublish();
  d.closeFiles();
  d.master.reset();
  d.slave.reset();
  d.wake.reset();
  d.running = false;
}

bool Receiver::running() const { return impl_->running; }
bool Receiver::hungUp() const { return impl_->hungUp; }
std::string Receiver::devicePath() const { return impl_->device; }
std::string Receiver::portName() const { return "COM" + std::to_string(impl_->options.comNumber); }

std::string Receiver::linkPath() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->link;
}

// Before start() the model does not exist yet: the accessors then describe the receiver
// as it will start.
std::vector<std::uint8_t> Receiver::flash(Board board) const {
  std::lock_guard lock(impl_->mutex);
  if (!impl_->model) return Model(impl_->options, Clock::now()).flash(board);
  return impl_->model->flash(board);
}

std::vector<std::uint8_t> Receiver::bootProgram(Board board) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->model ? impl_->model->bootProgram(board) : std::vector<std::uint8_t>{};
}

std::string Receiver::version(Board board) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->model ? impl_->model->version(board) : impl_->options.versions[static_cast<std::size_t>(board)];
}

bool Receiver::programmed(Board board) const {
  std::lock_guard lock(impl_->mutex);
  return impl_->model && impl_->model->programmed(board);
}

std::vector<double> Receiver::turnaroundsMicros() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->turnarounds;
}

Counters Receiver::counters() const {
  std::lock_guard lock(impl_->mutex);
  return impl_->model ? impl_->model->counters() : Counters{};
}

Model::State Receiver::state() const {
  std::lock_guard lock(impl_->mutex);
  if (impl_->model) return impl_->model->state();
  return impl_->options.boot == BootMode::Auto ? Model::State::Firmware : Model::State::Adjust;
}

void Receiver::setFaults(std::vector<Fault> faults) {
  std::lock_guard lock(impl_->mutex);
  impl_->options.faults = faults;
  if (impl_->model) impl_->model->setFaults(std::move(faults));
}

void Receiver::onHangup(std::function<void()> callback) { impl_->hangupCallback = std::move(callback); }

}  // namespace kx::sim
