#pragma once
// The host end of the receiver's line for the simulator's tests: opens the port as the
// updater does (non-blocking, raw 8N1, no flow control) and follows the wire tables step by
// step. Received bytes are collected whenever the host waits, also while it writes.
#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kxtest {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

class ScriptedHost {
 public:
  explicit ScriptedHost(const std::string &device, std::uint32_t rate = 115200);
  ~ScriptedHost();
  ScriptedHost(const ScriptedHost &) = delete;
  ScriptedHost &operator=(const ScriptedHost &) = delete;

  void setRate(std::uint32_t rate);  // 9600, 19200 or 115200
  void send(const Bytes &bytes);
  void send(std::string_view text);
  void sendByte(std::uint8_t byte) { send(Bytes{byte}); }

  // Everything received within `limit`, stopping early once `count` bytes are in.
  Bytes read(std::size_t count, std::chrono::milliseconds limit);
  std::optional<std::uint8_t> readByte(std::chrono::milliseconds limit);
  // The next line without its CR LF, or nullopt when none is complete within `limit`.
  std::optional<std::string> readLine(std::chrono::milliseconds limit);
  // Discards what is waiting and what arrives within `quiet`.
  void drain(std::chrono::milliseconds quiet = 50ms);
  bool lineClosed() const { return closed_; }  // the receiver closed the pseudo-terminal

 private:
  // Waits up to `limit` for input (and for room to write when `writable` is set).
  bool pump(std::chrono::milliseconds limit, bool writable = false);

  int fd_ = -1;
  std::deque<std::uint8_t> in_;
  bool closed_ = false;
};

}  // namespace kxtest
