#include "platform/serial/TermiosDevice.h"

// termios2 lives in the kernel's headers, which clash with glibc's <termios.h>;
// this file therefore speaks to the driver through ioctl alone.
#include <asm/termbits.h>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <mutex>
#include <utility>

#include "platform/Tick.h"

namespace kx::serial {
namespace {

struct RateCode {
  int rate;
  tcflag_t code;
};
constexpr RateCode kRates[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},         {150, B150},
    {200, B200},         {300, B300},         {600, B600},         {1200, B1200},       {1800, B1800},
    {2400, B2400},       {4800, B4800},       {9600, B9600},       {19200, B19200},     {38400, B38400},
    {57600, B57600},     {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000}, {1500000, B1500000},
    {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000}, {3500000, B3500000}, {4000000, B4000000},
};

tcflag_t RateCodeFor(int rate) {
  for (const RateCode &r : kRates)
    if (r.rate == rate) return r.code;
  return BOTHER;
}

std::string Reason(const char *what) { return std::string(what) + ": " + std::strerror(errno); }

class TermiosDevice final : public Device {
 public:
  TermiosDevice(int fd, int abortFd, const termios2 &original, std::string sysName)
      : fd_(fd), abortFd_(abortFd), original_(original), sysName_(std::move(sysName)) {
    TakeLineEvents();  // counts from before this opening are not ours to report
  }

  ~TermiosDevice() override {
    // Best effort: leave the line as we found it for the next program.
    ::ioctl(fd_, TCSETS2, &original_);
    ::ioctl(fd_, TIOCNXCL);
    ::close(abortFd_);
    ::close(fd_);  // also releases the flock
  }

  bool Configure(const LineSettings &s) override {
    termios2 t{};
    if (::ioctl(fd_, TCGETS2, &t) != 0) return false;
    const int charSize = s.charSize & 0xFF;
    if (charSize < 5 || charSize > 8 || s.bitRate <= 0) return false;
    // Linux has neither 1.5 stop bits nor output flow control on DSR.
    if (s.stopBits == StopBits::OneAndHalf || s.flow == Flow::DtrDsr) return false;

    t.c_iflag = 0;
    if (s.parity != Parity::None) t.c_iflag |= INPCK;
    if (s.flow == Flow::XonXoff) t.c_iflag |= IXON | IXOFF;
    t.c_oflag = 0;
    t.c_lflag = 0;
    t.c_cflag = CREAD | CLOCAL | HUPCL;
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    t.c_cflag |= kSizes[charSize - 5];
    if (s.parity != Parity::None) t.c_cflag |= PARENB;
    if (s.parity == Parity::Odd) t.c_cflag |= PARODD;
    if (s.stopBits == StopBits::Two) t.c_cflag |= CSTOPB;
    if (s.flow == Flow::RtsCts) t.c_cflag |= CRTSCTS;
    t.c_cflag |= RateCodeFor(s.bitRate);  // CIBAUD stays 0: input speed follows output
    t.c_ispeed = t.c_ospeed = static_cast<speed_t>(s.bitRate);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    t.c_cc[VSTART] = s.xonChar;
    t.c_cc[VSTOP] = s.xoffChar;
    if (::ioctl(fd_, TCSETS2, &t) != 0) return false;

    // Drivers silently drop what they cannot do: read back and compare.
    termios2 r{};
    if (::ioctl(fd_, TCGETS2, &r) != 0) return false;
    constexpr tcflag_t kCflagBits = CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS;
    if ((r.c_cflag & kCflagBits) != (t.c_cflag & kCflagBits)) return false;
    if ((r.c_iflag & (IXON | IXOFF)) != (t.c_iflag & (IXON | IXOFF))) return false;
    // The kernel snaps a rate within 2% to the standard table; a UART gives the
    // nearest rate its clock allows. Anything further off is a refusal.
    const long actual = static_cast<long>(r.c_ospeed);
    if (std::labs(actual - s.bitRate) * 50 > s.bitRate) return false;

    SetDtr(true);
    SetRts(s.flow != Flow::HalfHigh);
    return true;
  }

  void PurgeTx() override {
    ::ioctl(fd_, TCFLSH, TCOFLUSH);
    const std::uint64_t one = 1;
    // An eventfd write only fails when the counter would overflow: it is then set anyway.
    [[maybe_unused]] auto n = ::write(abortFd_, &one, sizeof one);
  }

  void PurgeRx() override { ::ioctl(fd_, TCFLSH, TCIFLUSH); }

  void ArmWrite() override {
    std::uint64_t count;
    while (::read(abortFd_, &count, sizeof count) > 0) {
    }
  }

  // TCSBRK with a non-zero argument is tcdrain(): it waits for the UART to empty,
  // without a break. A purge from another thread ends the wait early.
  void Drain() override {
    while (::ioctl(fd_, TCSBRK, 1) != 0 && errno == EINTR) {
    }
  }

  long WriteSome(const std::uint8_t *data, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::write(fd_, data, size);
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : -1;
    }
  }

  Wait WaitWritable(int timeoutMs) override {
    const std::uint32_t start = kx::GetTickCount();
    for (;;) {
      int left = -1;
      if (timeoutMs > 0) {
        const std::uint32_t spent = kx::GetTickCount() - start;
        if (spent >= static_cast<std::uint32_t>(timeoutMs)) return Wait::TimedOut;
        left = timeoutMs - static_cast<int>(spent);
      }
      pollfd fds[2] = {{fd_, POLLOUT, 0}, {abortFd_, POLLIN, 0}};
      const int n = ::poll(fds, 2, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Wait::Failed;
      }
      if (n == 0) return Wait::TimedOut;
      if (fds[1].revents & POLLIN) return Wait::Aborted;
      if (fds[0].revents & POLLOUT) return Wait::Ready;
      return Wait::Failed;  // POLLERR, POLLHUP: the device is gone
    }
  }

  long ReadSome(std::uint8_t *buffer, std::size_t size) override {
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, size);
      // A raw tty that has bytes gives them and one that has none says EAGAIN: an end
      // of file means the line hung up, and reading again would only spin.
      if (n == 0 && size > 0) return -1;
      if (n >= 0) return n;
      if (errno == EINTR) continue;
      return errno == EAGAIN ? 0 : -1;
    }
  }

  int InQueue() override {
    int n = 0;
    return ::ioctl(fd_, FIONREAD, &n) == 0 ? n : 0;
  }

  int OutQueue() override {
    int n = 0;
    return ::ioctl(fd_, TIOCOUTQ, &n) == 0 ? n : 0;
  }

  LineEvents TakeLineEvents() override {
    std::lock_guard lock(countsMutex_);
    serial_icounter_struct now{};
    // Drivers without counters (a pseudo-terminal) report no line errors at all.
    if (::ioctl(fd_, TIOCGICOUNT, &now) != 0) return {};
    LineEvents e;
    if (now.overrun != counts_.overrun || now.buf_overrun != counts_.buf_overrun) e.errors |= kErrOverrun;
    if (now.parity != counts_.parity) e.errors |= kErrParity;
    if (now.frame != counts_.frame) e.errors |= kErrFrame;
    e.brk = now.brk != counts_.brk;
    counts_ = now;
    return e;
  }

  // The modem-line calls fail on drivers without the lines (a pseudo-terminal);
  // the line then simply has no such signal, which is what callers expect.
  void SetRts(bool on) override { ModemBits(on, TIOCM_RTS); }
  void SetDtr(bool on) override { ModemBits(on, TIOCM_DTR); }

  int ModemStatus() override {
    int bits = 0;
    if (::ioctl(fd_, TIOCMGET, &bits) != 0) return 0;
    return ((bits & TIOCM_CTS) ? kModemCts : 0) | ((bits & TIOCM_DSR) ? kModemDsr : 0) |
           ((bits & TIOCM_RNG) ? kModemRing : 0) | ((bits & TIOCM_CAR) ? kModemDcd : 0);
  }

  void SetBreak(bool on) override { ::ioctl(fd_, on ? TIOCSBRK : TIOCCBRK); }

  bool RequestLowLatency() override {
    serial_struct ss{};
    if (::ioctl(fd_, TIOCGSERIAL, &ss) != 0) return false;
    if (ss.flags & ASYNC_LOW_LATENCY) return true;
    ss.flags |= ASYNC_LOW_LATENCY;  // a user flag: no privilege needed
    if (::ioctl(fd_, TIOCSSERIAL, &ss) != 0) return false;
    return ::ioctl(fd_, TIOCGSERIAL, &ss) == 0 && (ss.flags & ASYNC_LOW_LATENCY);
  }

  int LatencyTimerMs() override {
    if (sysName_.empty()) return -1;
    std::ifstream f("/sys/bus/usb-serial/devices/" + sysName_ + "/latency_timer");
    int ms = -1;
    if (!(f >> ms)) return -1;
    return ms;
  }

  int PollFd() const override { return fd_; }

  // After a hang-up the kernel answers every call on the descriptor with EIO (the
  // node itself may be gone already), while a live line, even one whose peer is
  // missing, still gives its settings.
  bool Gone() override {
    termios2 t{};
    if (::ioctl(fd_, TCGETS2, &t) == 0) return false;
    return errno == EIO || errno == ENODEV || errno == ENXIO;
  }

 private:
  void ModemBits(bool on, int bit) { ::ioctl(fd_, on ? TIOCMBIS : TIOCMBIC, &bit); }

  int fd_;
  int abortFd_;
  termios2 original_;
  std::mutex countsMutex_;  // the threads of the component each take events
  serial_icounter_struct counts_{};
  std::string sysName_;  // the kernel's name of the tty (ttyUSB0), for its sysfs entries
};

}  // namespace

std::unique_ptr<Device> OpenTermios(const std::string &path, std::string *error) {
  auto fail = [&](const std::string &why, int fd) -> std::unique_ptr<Device> {
    if (fd >= 0) ::close(fd);
    if (error) *error = why;
    return nullptr;
  };
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return fail(Reason(path.c_str()), -1);
  termios2 original{};
  if (::ioctl(fd, TCGETS2, &original) != 0) return fail(Reason("not a serial device"), fd);
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(Reason("in use by another program"), fd);
  if (::ioctl(fd, TIOCEXCL) != 0) return fail(Reason("exclusive use refused"), fd);
  const int abortFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (abortFd < 0) {
    ::ioctl(fd, TIOCNXCL);
    return fail(Reason("eventfd"), fd);
  }
  // A pinned name is a link: the kernel's name is that of the device it points to.
  std::string sysName;
  if (char *real = ::realpath(path.c_str(), nullptr)) {
    sysName = real;
    std::free(real);
    sysName = sysName.substr(sysName.rfind('/') + 1);
  }
  return std::make_unique<TermiosDevice>(fd, abortFd, original, std::move(sysName));
}

}  // namespace kx::serial
