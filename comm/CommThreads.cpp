#include "comm/CommThreads.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include <QSocketNotifier>

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
      FOwner->ReportLineErrors(CommHandle, generation_);
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
        FOwner->ReportLineErrors(CommHandle, generation_);
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

TCommReceiveWatch::TCommReceiveWatch(TCustomCommX *owner, Device *device, std::uint64_t generation)
    : owner_(owner), CommHandle(device), generation_(generation) {
  epoll_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_ < 0) throw std::system_error(errno, std::generic_category(), "epoll_create1");
  // Registered at once, so no byte that arrives from here on is missed. The epoll
  // descriptor is readable while an edge waits in it, and taking the edge ends that.
  epoll_event port{};
  port.events = EPOLLIN | EPOLLET;
  port.data.fd = CommHandle->PollFd();
  if (::epoll_ctl(epoll_, EPOLL_CTL_ADD, port.data.fd, &port) != 0) {
    const int e = errno;
    ::close(epoll_);
    throw std::system_error(e, std::generic_category(), "epoll_ctl");
  }
  notifier_ = new QSocketNotifier(epoll_, QSocketNotifier::Read);
  notifier_->setEnabled(false);
  QObject::connect(notifier_, &QSocketNotifier::activated, notifier_, [this] { Activated(); });
}

TCommReceiveWatch::~TCommReceiveWatch() {
  delete notifier_;  // before its descriptor closes
  ::close(epoll_);
}

void TCommReceiveWatch::Start() { notifier_->setEnabled(true); }

void TCommReceiveWatch::Retire(TCommReceiveWatch *watch) {
  watch->stopped_ = true;
  watch->notifier_->setEnabled(false);
  if (watch->reporting_)
    watch->retired_ = true;
  else
    delete watch;
}

void TCommReceiveWatch::Activated() {
  // A handler may close the port, retiring this watch, and open it again: the watch
  // outlives the handling, and goes at its end.
  struct Reporting {
    TCommReceiveWatch *w;
    explicit Reporting(TCommReceiveWatch *watch) : w(watch) { w->reporting_ = true; }
    ~Reporting() {
      w->reporting_ = false;
      if (w->retired_) delete w;
    }
  } reporting(this);
  // Off until the reports of this event are handled: a handler's nested event loop
  // (a message box, a wait for bytes) gets no second report meanwhile.
  notifier_->setEnabled(false);
  epoll_event events[1];
  const int n = ::epoll_wait(epoll_, events, 1, 0);
  if (n < 0) {
    // The watch itself failed: no further reports from this opening.
    if (errno == EINTR) notifier_->setEnabled(true);
    return;
  }
  bool received = false;
  bool gone = false;
  for (int i = 0; i < n; ++i) {
    if (events[i].events & EPOLLIN) received = true;
    if (events[i].events & (EPOLLHUP | EPOLLERR)) gone = true;
  }
  if (gone && watching_ && CommHandle->Gone()) {
    // The device hung up (an unplugged adapter, a closed peer): nothing more can come,
    // and what it still reports is noise. The owner closes the port on this report.
    ::epoll_ctl(epoll_, EPOLL_CTL_DEL, CommHandle->PollFd(), nullptr);
    watching_ = false;
    owner_->HandleReport(TCustomCommX::Report::Disconnect, 0, generation_);
    return;
  }
  // A hang-up the driver does not confirm (a pseudo-terminal's master whose slave is
  // not open yet) is only a state of the line: the port stays watched, and being
  // edge-triggered the watch does not fire for it again until something changes.
  const Device::LineEvents line = CommHandle->TakeLineEvents();
  if (line.errors) owner_->HandleReport(TCustomCommX::Report::Error, line.errors, generation_);
  if (stopped_) return;
  if (line.brk) owner_->HandleReport(TCustomCommX::Report::Break, 0, generation_);
  if (stopped_) return;
  if (received) owner_->HandleReport(TCustomCommX::Report::Receive, 0, generation_);
  if (stopped_) return;
  notifier_->setEnabled(true);
}
