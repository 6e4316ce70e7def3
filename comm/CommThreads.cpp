#include "comm/CommThreads.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "platform/Tick.h"
#include "platform/serial/SerialDevice.h"

using kx::serial::Device;

// ---------------------------------------------------------------- transmit

TCommTransThread::TCommTransThread(TCustomCommX *owner, Device *device, std::uint64_t generation)
    : FOwner(owner), CommHandle(device), generation_(generation) {}

TCommTransThread::~TCommTransThread() { Join(); }

void TCommTransThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TCommTransThread::Post(std::vector<std::uint8_t> block) {
  {
    std::lock_guard lock(queueMutex_);
    queue_.push_back(std::move(block));
  }
  queueCv_.notify_one();
}

void TCommTransThread::Terminate() {
  terminating_ = true;
  {
    std::lock_guard lock(queueMutex_);
    Terminated = true;
  }
  queueCv_.notify_one();
}

void TCommTransThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TCommTransThread::Execute() {
  std::unique_lock lock(queueMutex_);
  for (;;) {
    queueCv_.wait(lock, [this] { return Terminated || !queue_.empty(); });
    if (Terminated) break;
    bool burst = false;
    while (!queue_.empty()) {
      std::vector<std::uint8_t> block = std::move(queue_.front());
      queue_.pop_front();
      lock.unlock();
      if (!MsgClearFlg && !terminating_) {
        if (!burst) {
          burst = true;
          HalfDuplexStart();
        }
        WriteBlock(block);
      }
      FOwner->BlockFinished(static_cast<int>(block.size()));
      lock.lock();
    }
    if (burst) {
      lock.unlock();
      HalfDuplexEnd();
      lock.lock();
    }
  }
  // Blocks still queued at the end are discarded, and counted down all the same.
  while (!queue_.empty()) {
    const int length = static_cast<int>(queue_.front().size());
    queue_.pop_front();
    FOwner->BlockFinished(length);
  }
}

void TCommTransThread::WriteBlock(const std::vector<std::uint8_t> &block) {
  const int timeout = FOwner->FTimeOutTrans.load();
  const std::uint32_t start = kx::GetTickCount();
  std::size_t done = 0;
  while (!MsgClearFlg && !terminating_) {
    long taken;
    {
      std::lock_guard c1(FOwner->Critical1);
      if (MsgClearFlg) break;
      CommHandle->ArmWrite();
      taken = CommHandle->WriteSome(block.data() + done, block.size() - done);
    }
    if (taken < 0) {
      FOwner->ReportLineErrors(CommHandle, generation_, true);
      return;
    }
    done += static_cast<std::size_t>(taken);
    if (done == block.size()) return;
    int left = 0;  // no limit
    if (timeout > 0) {
      const std::uint32_t spent = kx::GetTickCount() - start;
      if (spent >= static_cast<std::uint32_t>(timeout)) return;  // timed out: the rest is not sent
      left = timeout - static_cast<int>(spent);
    }
    switch (CommHandle->WaitWritable(left)) {
      case Device::Wait::Ready:
        break;
      case Device::Wait::TimedOut:
        return;
      case Device::Wait::Aborted:
        break;  // a purge: the discard flag is set and ends the loop
      case Device::Wait::Failed:
        // The rest is tried once more; a second failure ends the block.
        FOwner->ReportLineErrors(CommHandle, generation_, true);
        break;
    }
  }
}

void TCommTransThread::HalfDuplexStart() {
  const TCommFlowCtrls flow = FOwner->FFlowCtrl.load();
  if (flow != cfcHalfHigh && flow != cfcHalfLow) return;
  kx::Sleep(50);
  CommHandle->SetRts(flow == cfcHalfHigh);
  kx::Sleep(static_cast<std::uint32_t>(HalfWaitTim.load()));
}

void TCommTransThread::HalfDuplexEnd() {
  const TCommFlowCtrls flow = FOwner->FFlowCtrl.load();
  if (flow != cfcHalfHigh && flow != cfcHalfLow) return;
  // The driver has taken the bytes, but the UART still sends them: the wait counts
  // from when the last one has left, so the far end is not cut off mid-character.
  CommHandle->Drain();
  kx::Sleep(static_cast<std::uint32_t>(HalfWaitTim.load()));
  CommHandle->SetRts(flow == cfcHalfLow);
}

// ---------------------------------------------------------------- receive

TCommReceiveThread::TCommReceiveThread(TCustomCommX *owner, Device *device, std::uint64_t generation)
    : owner_(owner), CommHandle(device), generation_(generation) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  ExitHandle = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (ExitHandle < 0) {
    const int e = errno;
    ::close(epoll_);
    throw std::system_error(e, std::generic_category(), "eventfd");
  }
  // Registered before the thread runs, so no byte that arrives from here on is missed.
  epoll_event port{};
  port.events = EPOLLIN | EPOLLET;
  port.data.fd = CommHandle->PollFd();
  epoll_event exit{};
  exit.events = EPOLLIN;
  exit.data.fd = ExitHandle;
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, port.data.fd, &port) != 0 ||
      ::epoll_ctl(epoll_, EPOLL_CTL_ADD, ExitHandle, &exit) != 0) {
    const int e = errno;
    ::close(ExitHandle);
    ::close(epoll_);
    throw std::system_error(e, std::generic_category(), "epoll_ctl");
  }
}

TCommReceiveThread::~TCommReceiveThread() {
  Join();
  ::close(ExitHandle);
  ::close(epoll_);
}

void TCommReceiveThread::Start() { thread_ = std::thread([this] { Execute(); }); }

void TCommReceiveThread::Terminate() {
  Terminated = true;
  const std::uint64_t one = 1;
  // Fails only if the counter would overflow, and it is then signalled already.
  [[maybe_unused]] auto n = ::write(ExitHandle, &one, sizeof one);
}

void TCommReceiveThread::Join() {
  if (thread_.joinable()) thread_.join();
}

void TCommReceiveThread::Execute() {
  const int portFd = CommHandle->PollFd();
  bool watching = true;
  while (!Terminated) {
    epoll_event events[2];
    const int n = ::epoll_wait(epoll_, events, 2, -1);
    if (n < 0) {
      if (errno == EINTR) continue;
      // The wait itself failed: no further reports from this opening; wait for the close.
      pollfd exit{ExitHandle, POLLIN, 0};
      while (!Terminated && (::poll(&exit, 1, -1) >= 0 || errno == EINTR)) {
      }
      break;
    }
    if (Terminated) break;
    bool received = false;
    bool gone = false;
    for (int i = 0; i < n; ++i) {
      if (events[i].data.fd != portFd) continue;
      if (events[i].events & EPOLLIN) received = true;
      if (events[i].events & (EPOLLHUP | EPOLLERR)) gone = true;
    }
    if (gone && watching && CommHandle->Gone()) {
      // The device hung up (an unplugged adapter, a closed peer): nothing more can come,
      // and what it still reports is noise. The owner closes the port on this report.
      ::epoll_ctl(epoll_, EPOLL_CTL_DEL, portFd, nullptr);
      watching = false;
      owner_->SendReport(TCustomCommX::Report::Disconnect, 0, generation_, false);
      continue;
    }
    // A hang-up the driver does not confirm (a pseudo-terminal's master whose slave is
    // not open yet) is only a state of the line: the port stays watched, and being
    // edge-triggered the wait does not return for it again until something changes.
    const Device::LineEvents line = CommHandle->TakeLineEvents();
    if (line.errors) owner_->SendReport(TCustomCommX::Report::Error, line.errors, generation_, false);
    if (Terminated) break;
    if (line.brk) owner_->SendReport(TCustomCommX::Report::Break, 0, generation_, false);
    if (Terminated) break;
    if (received) owner_->SendReport(TCustomCommX::Report::Receive, 0, generation_, false);
  }
}
