#include "tests/sim/ScriptedHost.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace kxtest {

namespace {

speed_t Code(std::uint32_t rate) {
  switch (rate) {
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 115200: return B115200;
    default: throw std::invalid_argument("unsupported rate " + std::to_string(rate));
  }
}

std::runtime_error Error(const std::string &what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

ScriptedHost::ScriptedHost(const std::string &device, std::uint32_t rate) {
  fd_ = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd_ < 0) throw Error("open " + device);
  setRate(rate);
  ::tcflush(fd_, TCIOFLUSH);
}

ScriptedHost::~ScriptedHost() {
  if (fd_ >= 0) ::close(fd_);
}

void ScriptedHost::setRate(std::uint32_t rate) {
  termios t{};
  if (::tcgetattr(fd_, &t) != 0) throw Error("tcgetattr");
  ::cfmakeraw(&t);
  t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB | CRTSCTS);
  t.c_cflag |= CS8 | CLOCAL | CREAD;
  t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  t.c_cc[VMIN] = 0;
  t.c_cc[VTIME] = 0;
  ::cfsetispeed(&t, Code(rate));
  ::cfsetospeed(&t, Code(rate));
  if (::tcsetattr(fd_, TCSANOW, &t) != 0) throw Error("tcsetattr");
}

bool ScriptedHost::pump(std::chrono::milliseconds limit, bool writable) {
  pollfd p{fd_, static_cast<short>(POLLIN | (writable ? POLLOUT : 0)), 0};
  const int n = ::poll(&p, 1, static_cast<int>(limit.count()));
  if (n < 0) {
    if (errno == EINTR) return false;
    throw Error("poll");
  }
  if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
    std::uint8_t buf[4096];
    const ssize_t got = ::read(fd_, buf, sizeof buf);
    if (got > 0) {
      in_.insert(in_.end(), buf, buf + got);
    } else if (got == 0 || (errno != EAGAIN && errno != EINTR)) {
      closed_ = true;  // EIO: the master side is gone
    }
  }
  return writable && (p.revents & POLLOUT);
}

void ScriptedHost::send(const Bytes &bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw Error("write");
    } else {
      // The line is busy: keep taking what the receiver answers meanwhile.
      pump(100ms, true);
      if (closed_) throw std::runtime_error("the line closed while writing");
    }
  }
}

void ScriptedHost::send(std::string_view text) { send(Bytes(text.begin(), text.end())); }

Bytes ScriptedHost::read(std::size_t count, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (in_.size() < count && !closed_) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pump(left);
  }
  const std::size_t n = std::min(count, in_.size());
  Bytes out(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(n));
  return out;
}

std::optional<std::uint8_t> ScriptedHost::readByte(std::chrono::milliseconds limit) {
  const Bytes b = read(1, limit);
  if (b.empty()) return std::nullopt;
  return b[0];
}

std::optional<std::string> ScriptedHost::readLine(std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  for (;;) {
    for (std::size_t i = 0; i + 1 < in_.size(); ++i) {
      if (in_[i] == '\r' && in_[i + 1] == '\n') {
        std::string line(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(i));
        in_.erase(in_.begin(), in_.begin() + static_cast<std::ptrdiff_t>(i + 2));
        return line;
      }
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
    if (left.count() <= 0 || closed_) return std::nullopt;
    pump(left);
  }
}

void ScriptedHost::drain(std::chrono::milliseconds quiet) {
  in_.clear();
  while (!closed_ && read(1, quiet).size() == 1) {
  }
}

}  // namespace kxtest
