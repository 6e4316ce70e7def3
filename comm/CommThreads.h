#pragma once
// The two worker threads of an open port. Both are created and joined by the
// component on its owning thread; neither outlives the opening it serves.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "comm/CommX.h"

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

// Waits for port events edge-triggered (bytes that stay unread raise no new event)
// and reports line errors, breaks and received bytes, in that order, one at a time.
class TCommReceiveThread {
 public:
  // Throws std::system_error when its descriptors cannot be made.
  TCommReceiveThread(TCustomCommX *owner, kx::serial::Device *device, std::uint64_t generation);
  ~TCommReceiveThread();

  void Start();
  void Terminate();  // sets Terminated and signals ExitHandle
  void Join();

 private:
  void Execute();

  TCustomCommX *owner_;
  kx::serial::Device *CommHandle;
  std::uint64_t generation_;
  int epoll_ = -1;
  int ExitHandle = -1;  // an eventfd
  std::atomic<bool> Terminated{false};
  std::thread thread_;
};
