// The transmit queue and its thread, the line's pauses and the low-latency request,
// seen through a recording device.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <algorithm>
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
    const char *burst;  // RTS, three writes, the UART empty, RTS back
  };
  for (const Case &c : {Case{cfcHalfHigh, "RWWWEr"}, Case{cfcHalfLow, "rWWWER"}}) {
    SCOPED_TRACE(c.burst);
    line = std::make_shared<FakeLine>();
    line->drainMs = 5;
    comm.SetFlowCtrl(c.flow);
    comm.SetBitRate(9600);  // one character lasts 1 ms, so the wait is 2 ms
    comm.SetBufLenTrans(16);
    comm.PortOpen();
    const double queued = line->Now();
    ASSERT_TRUE(comm.TransBlock(QByteArray(40, 'h').constData(), 40));
    ASSERT_TRUE(kxtest::WaitUntil([&] { return Events().size() == 6; }));
    EXPECT_EQ(Events(), c.burst);
    {
      std::lock_guard l(line->m);
      const auto &e = line->events;
      EXPECT_GE(e[0].ms - queued, 50.0);
      EXPECT_GE(e[1].ms - e[0].ms, 2.0);
      // RTS goes back only once the UART has sent the last byte, and the wait after.
      EXPECT_GE(e[4].ms - e[3].ms, 5.0);
      EXPECT_GE(e[5].ms - e[4].ms, 2.0);
    }
    // A later burst switches again.
    ASSERT_TRUE(comm.TransChar('x'));
    ASSERT_TRUE(kxtest::WaitUntil([&] { return Events().size() == 10; }));
    EXPECT_EQ(Events().substr(6), std::string(c.burst).substr(0, 2) + std::string(c.burst).substr(4));
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

// The adapter is asked for low latency at every opening; a driver that refuses the
// mode or shows a slow latency timer still opens and sends, and a timer above 1 ms
// is logged once, naming the port and the value.
namespace {
std::vector<QString> serialLog;
void KeepSerialLog(QtMsgType, const QMessageLogContext &context, const QString &text) {
  if (context.category && QByteArray(context.category) == "kx.serial") serialLog.push_back(text);
}
}  // namespace

TEST_F(FakePort, OpeningAsksForLowLatencyAndLogsASlowLatencyTimer) {
  struct Case {
    bool refused;
    int timerMs;
    const char *logged;  // "" when nothing is
  };
  const Case cases[] = {
      {false, -1, ""},  // a pseudo-terminal: no timer at all
      {true, -1, ""},
      {false, 1, ""},
      {true, 16, "COM7: the USB adapter's latency timer is 16 ms; received bytes wait up to 16 ms"},
      {false, 2, "COM7: the USB adapter's latency timer is 2 ms; received bytes wait up to 2 ms"},
  };
  comm.SetPortNo(7);
  for (const Case &c : cases) {
    SCOPED_TRACE(c.timerMs);
    line = std::make_shared<FakeLine>();
    line->lowLatencyRefused = c.refused;
    line->latencyTimerMs = c.timerMs;
    serialLog.clear();
    const QtMessageHandler previous = qInstallMessageHandler(KeepSerialLog);
    comm.PortOpen();
    qInstallMessageHandler(previous);
    EXPECT_TRUE(comm.IsOpen());
    {
      std::lock_guard l(line->m);
      EXPECT_EQ(line->lowLatencyRequests, 1);
    }
    if (*c.logged) {
      EXPECT_EQ(serialLog, std::vector<QString>{QString::fromLatin1(c.logged)});
    } else {
      EXPECT_TRUE(serialLog.empty());
    }
    ASSERT_TRUE(comm.TransString("ok"));
    ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetTransLength() == 0; }));
    {
      std::lock_guard l(line->m);
      EXPECT_EQ(line->writes, std::vector<QByteArray>{"ok"});
    }
    comm.PortClose();
  }
}

// PortOpen returns 100 ms after its threads start; PortClose drops DTR and RTS and
// keeps them low at least 300 ms before the port can be opened again.
TEST_F(FakePort, OpenAndCloseKeepTheLinePauses) {
  std::vector<double> opened;
  comm.SetDeviceOpener([this, &opened](int) {
    opened.push_back(line->Now());
    return std::make_unique<FakeDevice>(line);
  });
  QElapsedTimer t;
  t.start();
  comm.PortOpen();
  EXPECT_GE(t.elapsed(), 100);
  t.restart();
  comm.PortClose();
  EXPECT_GE(t.elapsed(), 300);
  comm.PortOpen();
  comm.PortClose();
  std::lock_guard l(line->m);
  ASSERT_EQ(opened.size(), 2u);
  const auto dtrLow = std::find_if(line->events.begin(), line->events.end(), [](const auto &e) { return e.what == 'd'; });
  ASSERT_NE(dtrLow, line->events.end());
  EXPECT_LT(dtrLow->ms, opened[1]);
  EXPECT_GE(opened[1] - dtrLow->ms, 300.0);
}
