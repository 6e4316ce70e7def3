#pragma once
// A device in the test's own process behind the real component: it records what
// the transmit thread does with it and can stall or fail writes on demand, which a
// pseudo-terminal cannot.
#include <sys/eventfd.h>
#include <unistd.h>

#include <QByteArray>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/serial/SerialDevice.h"

namespace kxtest {

struct FakeLine {
  std::mutex m;
  std::condition_variable cv;
  std::vector<QByteArray> writes;  // bytes of each accepted write
  struct Event {
    char what;  // 'R' RTS on, 'r' RTS off, 'D' DTR on, 'd' DTR off, 'W' a write, 'E' the UART empty
    double ms;
  };
  std::vector<Event> events;
  bool stallWrites = false;  // writes take nothing until purged or failed
  bool abortFails = false;   // a purge makes the waiting write fail, as some drivers do
  bool failPending = false;  // set by the test: the waiting write fails now
  bool purged = false;
  int pendingErrors = 0;     // line-error bits the next TakeLineEvents returns
  int drainMs = 0;           // how long the UART takes to send what it holds
  bool lowLatencyRefused = false;
  int lowLatencyRequests = 0;
  int latencyTimerMs = -1;   // as the driver shows it; -1 for none
  std::atomic<int> errorsTaken{0};
  std::atomic<bool> writeWaiting{false};  // a write waits for the line
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();

  double Now() const {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  }
  void FailPendingWrite() {
    {
      std::lock_guard l(m);
      failPending = true;
    }
    cv.notify_all();
  }
};

class FakeDevice final : public kx::serial::Device {
 public:
  explicit FakeDevice(std::shared_ptr<FakeLine> line) : line_(std::move(line)), fd_(::eventfd(0, EFD_NONBLOCK)) {}
  ~FakeDevice() override { ::close(fd_); }

  bool Configure(const kx::serial::LineSettings &) override { return true; }
  void PurgeTx() override {
    {
      std::lock_guard l(line_->m);
      line_->purged = true;
    }
    line_->cv.notify_all();
  }
  void PurgeRx() override {}
  void ArmWrite() override {
    std::lock_guard l(line_->m);
    line_->purged = false;
  }
  void Drain() override {
    int ms;
    {
      std::lock_guard l(line_->m);
      ms = line_->drainMs;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    std::lock_guard l(line_->m);
    line_->events.push_back({'E', line_->Now()});
  }
  long WriteSome(const std::uint8_t *data, std::size_t size) override {
    std::lock_guard l(line_->m);
    if (line_->stallWrites) return 0;
    line_->writes.emplace_back(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    line_->events.push_back({'W', line_->Now()});
    return static_cast<long>(size);
  }
  Wait WaitWritable(int) override {
    std::unique_lock l(line_->m);
    line_->writeWaiting = true;
    line_->cv.wait(l, [&] { return line_->purged || line_->failPending; });
    line_->writeWaiting = false;
    if (line_->failPending) {
      line_->failPending = false;
      return Wait::Failed;
    }
    return line_->abortFails ? Wait::Failed : Wait::Aborted;
  }
  long ReadSome(std::uint8_t *, std::size_t) override { return 0; }
  int InQueue() override { return 0; }
  int OutQueue() override { return 0; }
  LineEvents TakeLineEvents() override {
    std::lock_guard l(line_->m);
    LineEvents e;
    e.errors = line_->pendingErrors;
    line_->pendingErrors = 0;
    if (e.errors) ++line_->errorsTaken;
    return e;
  }
  void SetRts(bool on) override {
    std::lock_guard l(line_->m);
    line_->events.push_back({on ? 'R' : 'r', line_->Now()});
  }
  void SetDtr(bool on) override {
    std::lock_guard l(line_->m);
    line_->events.push_back({on ? 'D' : 'd', line_->Now()});
  }
  int ModemStatus() override { return 0; }
  void SetBreak(bool) override {}
  bool RequestLowLatency() override {
    std::lock_guard l(line_->m);
    ++line_->lowLatencyRequests;
    return !line_->lowLatencyRefused;
  }
  int LatencyTimerMs() override {
    std::lock_guard l(line_->m);
    return line_->latencyTimerMs;
  }
  int PollFd() const override { return fd_; }

 private:
  std::shared_ptr<FakeLine> line_;
  int fd_;
};

}  // namespace kxtest
