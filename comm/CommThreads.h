#pragma once
// The transmit thread and the receive watch of an open port. Both are made and ended
// by the component on its owning thread; neither outlives the opening it serves.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/CommX.h"

class QSocketNotifier;

namespace kx::serial {
class Device;
}

// Writes the queued blocks in order. A burst (the blocks taken after one wake-up,
// until the queue is empty) is framed by the RTS switching of the half-duplex modes.
class TCommTransThread {
 public:
  TCommTransThread(TCustomCommX *owner, kx::serial::Device *device, std::uint64_t generation);
  ~TCommTransThread();

  void Start();
  void Post(std::vector<std::uint8_t> block);
  void Terminate();  // sets Terminated and wakes the thread; the owner joins it next
  void Join();

  std::atomic<bool> MsgClearFlg{false};  // the discard flag of ClearTransBuf
  std::atomic<int> HalfWaitTim{0};       // one character time plus 1 ms

 private:
  void Execute();
  void WriteBlock(const std::vector<std::uint8_t> &block);
  void HalfDuplexStart();
  void HalfDuplexEnd();

  TCustomCommX *FOwner;
  kx::serial::Device *CommHandle;
  std::uint64_t generation_;
  std::mutex queueMutex_;
  std::condition_variable queueCv_;
  std::deque<std::vector<std::uint8_t>> queue_;
  bool Terminated = false;  // under queueMutex_
  std::atomic<bool> terminating_{false};
  std::thread thread_;
};

// Watches the port for events on the owning thread itself: the kernel wakes that thread
// when bytes arrive, with no thread in between, which is what a command-and-answer
// exchange waits for. Edge-triggered (bytes that stay unread raise no new event); line
// errors, breaks and received bytes are reported in that order, one report at a time:
// the watch is off while a report's handler runs, even through a nested event loop.
class TCommReceiveWatch {
 public:
  // Throws std::system_error when its descriptor cannot be made.
  TCommReceiveWatch(TCustomCommX *owner, kx::serial::Device *device, std::uint64_t generation);
  TCommReceiveWatch(const TCommReceiveWatch &) = delete;
  TCommReceiveWatch &operator=(const TCommReceiveWatch &) = delete;

  void Start();
  // Ends the watch: no report after this, and the device may go. A watch ended from a
  // handler of its own report goes once that report's handling has returned.
  static void Retire(TCommReceiveWatch *watch);

 private:
  ~TCommReceiveWatch();
  void Activated();

  TCustomCommX *owner_;
  kx::serial::Device *CommHandle;
  std::uint64_t generation_;
  int epoll_ = -1;
  QSocketNotifier *notifier_ = nullptr;
  bool watching_ = true;  // the port is still in the epoll set
  bool stopped_ = false;
  bool reporting_ = false;  // Activated is on the stack
  bool retired_ = false;    // retired while reporting: Activated deletes the watch
};
