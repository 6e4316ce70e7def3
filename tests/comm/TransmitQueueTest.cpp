// The transmit queue and its thread, seen through a recording device.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <thread>

#include "comm/CommX.h"
#include "tests/comm/FakeDevice.h"
#include "tests/support/TestSupport.h"

using kxtest::FakeDevice;
using kxtest::FakeLine;

namespace {

class FakePort : public ::testing::Test {
 protected:
  FakePort() {
    comm.SetDeviceOpener([this](int) { return std::make_unique<FakeDevice>(line); });
    comm.SetFlowCtrl(cfcNone);
  }
  std::string Events() {
    std::lock_guard l(line->m);
    std::string s;
    for (const auto &e : line->events) s += e.what;
    return s;
  }
  std::shared_ptr<FakeLine> line = std::make_shared<FakeLine>();
  TCommX comm;
};

// Ends the process when a call does not return in time: a deadlock would
// otherwise leave the test hanging without a word.
class Watchdog {
 public:
  explicit Watchdog(const char *what) {
    thread_ = std::thread([this, what] {
      std::unique_lock l(m_);
      if (!cv_.wait_for(l, std::chrono::seconds(5), [this] { return done_; })) {
        std::fprintf(stderr, "stuck: %s\n", what);
        std::abort();
      }
    });
  }
  ~Watchdog() {
    {
      std::lock_guard l(m_);
      done_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  bool done_ = false;
  std::thread thread_;
};

}  // namespace

TEST_F(FakePort, BlockIsAtMostBufLenTransAndBlocksKeepTheirOrder) {
  comm.PortOpen();
  QByteArray data(5000, '\0');
  for (int i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_TRUE(comm.TransBlock(data.constData(), data.size()));
  ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetTransLength() == 0; }));
  std::lock_guard l(line->m);
  ASSERT_EQ(line->writes.size(), 3u);
  EXPECT_EQ(line->writes[0].size(), 2048);
  EXPECT_EQ(line->writes[1].size(), 2048);
  EXPECT_EQ(line->writes[2].size(), 904);
  EXPECT_EQ(line->writes[0] + line->writes[1] + line->writes[2], data);
}

TEST_F(FakePort, HalfDuplexSwitchesRtsOncePerBurst) {
  struct Case {
    TCommFlowCtrls flow;
    const char *burst;
  };
  for (const Case &c : {Case{cfcHalfHigh, "RWWWr"}, Case{cfcHalfLow, "rWWWR"}}) {
    SCOPED_TRACE(c.burst);
    line = std::make_shared<FakeLine>();
    comm.SetFlowCtrl(c.flow);
    comm.SetBitRate(9600);  // one character lasts 1 ms, so the wait is 2 ms
    comm.SetBufLenTrans(16);
    comm.PortOpen();
    const double queued = line->Now();
    ASSERT_TRUE(comm.TransBlock(QByteArray(40, 'h').constData(), 40));
    ASSERT_TRUE(kxtest::WaitUntil([&] { return Events().size() == 5; }));
    EXPECT_EQ(Events(), c.burst);
    {
      std::lock_guard l(line->m);
      const auto &e = line->events;
      EXPECT_GE(e[0].ms - queued, 50.0);
      EXPECT_GE(e[1].ms - e[0].ms, 2.0);
      EXPECT_GE(e[4].ms - e[3].ms, 2.0);
    }
    // A later burst switches again.
    ASSERT_TRUE(comm.TransChar('x'));
    ASSERT_TRUE(kxtest::WaitUntil([&] { return Events().size() == 8; }));
    EXPECT_EQ(Events().substr(5), std::string(c.burst).substr(0, 2) + c.burst[4]);
    comm.PortClose();
  }
}

// A line-error report sent by the transmit thread while ClearTransBuf waits for
// that thread: the clear must return, and the report still reaches OnError.
TEST_F(FakePort, LineErrorDuringClearTransBufDoesNotStallIt) {
  enum class When { FailsFromThePurge, AlreadyWaitingForTheWindow };
  for (When when : {When::FailsFromThePurge, When::AlreadyWaitingForTheWindow}) {
    SCOPED_TRACE(static_cast<int>(when));
    line = std::make_shared<FakeLine>();
    line->stallWrites = true;
    line->abortFails = true;
    line->pendingErrors = 0x02;
    std::vector<int> errors;
    comm.OnError = [&](QObject *, int bits) { errors.push_back(bits); };
    comm.PortOpen();
    ASSERT_TRUE(comm.TransString("stuck"));
    while (!line->writeWaiting) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (when == When::AlreadyWaitingForTheWindow) {
      line->FailPendingWrite();
      // The thread takes the errors and then waits for this thread to handle them.
      while (line->errorsTaken == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    {
      Watchdog w("ClearTransBuf");
      comm.ClearTransBuf();
    }
    EXPECT_EQ(comm.GetTransLength(), 0);
    EXPECT_TRUE(kxtest::WaitUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors, std::vector<int>{0x02});
    {
      Watchdog w("PortClose");
      comm.PortClose();
    }
  }
}
