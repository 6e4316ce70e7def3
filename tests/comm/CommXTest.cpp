// The serial port component against pseudo-terminal peers made in the test, and once
// against a pair made by socat.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QRandomGenerator>
#include <QTimer>
#include <functional>
#include <thread>

#include "comm/CommX.h"
#include "tests/comm/PtyPair.h"
#include "tests/support/TestSupport.h"

using kxtest::PeerLine;
using kxtest::PtyPair;

namespace {

QByteArray RandomBytes(int n, quint32 seed) {
  QByteArray b(n, Qt::Uninitialized);
  QRandomGenerator g(seed);
  for (char &c : b) c = static_cast<char>(g.bounded(256));
  return b;
}

std::string Raised(const std::function<void()> &f) {
  try {
    f();
  } catch (const ECommError &e) {
    return e.what();
  }
  return "(nothing raised)";
}

// A component on COM5, which the port directory maps to a fresh pseudo-terminal.
class PtyPort : public ::testing::Test {
 protected:
  static constexpr int kPort = 5;
  PtyPort() {
    ports.Link(kPort, pty.slavePath());
    comm.SetPortNo(kPort);
    comm.SetFlowCtrl(cfcNone);
  }
  // Collects every byte that OnReceive announces, read as the program reads it.
  void CollectReceived() {
    comm.OnReceive = [this](QObject *sender, int n) {
      EXPECT_EQ(sender, &comm);
      sizes.push_back(n);
      QByteArray buf(n, '\0');
      const int got = comm.ReceiveBlock(buf.data(), n);
      ASSERT_EQ(got, n);
      received += buf;
    };
  }

  kxtest::ScopedPortDir ports;
  PtyPair pty;
  TCommX comm;
  QByteArray received;
  std::vector<int> sizes;
};

}  // namespace

TEST(CommX, DefaultsAndClosedBehaviour) {
  TCommX c;
  EXPECT_EQ(c.PortNo(), 1);
  EXPECT_EQ(c.BitRate(), 9600);
  EXPECT_EQ(c.CharSize(), 8);
  EXPECT_EQ(c.ParityBit(), cpbNone);
  EXPECT_EQ(c.StopBit(), csb1);
  EXPECT_EQ(c.FlowCtrl(), cfcRtsCts);
  EXPECT_EQ(c.TimeOutTrans(), 3000);
  EXPECT_EQ(c.TimeOutReceive(), 3000);
  EXPECT_EQ(c.XonChar(), 17);
  EXPECT_EQ(c.XoffChar(), 19);
  EXPECT_EQ(c.BufLenTrans(), 2048);
  EXPECT_EQ(c.BufLenReceive(), 2048);
  EXPECT_EQ(c.Handle(), TCustomCommX::INVALID_HANDLE_VALUE);
  EXPECT_EQ(c.Tag, 0);
  EXPECT_EQ(c.property("BitRate").toInt(), 9600);

  EXPECT_FALSE(c.TransChar('x'));
  EXPECT_TRUE(c.TransString(QByteArray()));
  EXPECT_FALSE(c.TransString("x"));
  EXPECT_EQ(c.ReceiveChar(), -1);
  char buf[4];
  EXPECT_EQ(c.ReceiveBlock(buf, 4), -1);
  EXPECT_EQ(c.GetReceiveLength(), 0);
  EXPECT_EQ(c.GetTransLength(), 0);
  EXPECT_FALSE(c.IsCtsSignal());
  c.ClearTransBuf();
  c.ClearReceiveBuf();
  c.PortClose();
  // Setting while closed only stores.
  c.SetBitRate(115200);
  c.SetStopBit(csb1p5);
  EXPECT_EQ(c.BitRate(), 115200);
  EXPECT_EQ(c.StopBit(), csb1p5);
}

TEST_F(PtyPort, SettingsReachThePeer) {
  struct Case {
    int rate, size;
    TCommParityBits parity;
    TCommStopBits stop;
    TCommFlowCtrls flow;
    char peerParity;
  };
  const Case cases[] = {
      {9600, 8, cpbNone, csb1, cfcNone, 'N'},      {19200, 8, cpbNone, csb2, cfcRtsCts, 'N'},
      {115200, 8, cpbNone, csb1, cfcXonXoff, 'N'}, {300, 8, cpbNone, csb2, cfcHalfHigh, 'N'},
      {250000, 8, cpbNone, csb1, cfcHalfLow, 'N'}, {31250, 8, cpbNone, csb2, cfcNone, 'N'},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.rate);
    comm.SetBitRate(c.rate);
    comm.SetCharSize(c.size);
    comm.SetParityBit(c.parity);
    comm.SetStopBit(c.stop);
    comm.SetFlowCtrl(c.flow);
    comm.PortOpen();
    const PeerLine l = kxtest::ReadPeerLine(pty.master());
    EXPECT_EQ(l.rate, c.rate);
    EXPECT_EQ(l.charSize, c.size);
    EXPECT_EQ(l.parity, c.peerParity);
    EXPECT_EQ(l.stopBits, c.stop == csb2 ? 2 : 1);
    EXPECT_EQ(l.rtsCts, c.flow == cfcRtsCts);
    EXPECT_EQ(l.xonXoff, c.flow == cfcXonXoff);
    comm.PortClose();
  }
}

TEST_F(PtyPort, SettingOnTheOpenPortTakesEffectAtOnce) {
  comm.SetBitRate(9600);
  comm.PortOpen();
  ASSERT_EQ(kxtest::ReadPeerLine(pty.master()).rate, 9600);
  const int handle = comm.Handle();
  comm.SetBitRate(115200);
  comm.SetStopBit(csb2);
  comm.SetFlowCtrl(cfcRtsCts);
  const PeerLine l = kxtest::ReadPeerLine(pty.master());
  EXPECT_EQ(l.rate, 115200);
  EXPECT_EQ(l.stopBits, 2);
  EXPECT_TRUE(l.rtsCts);
  EXPECT_EQ(comm.Handle(), handle);  // the same opening
  // And the line still carries bytes at the new rate.
  ASSERT_TRUE(comm.TransString("rate"));
  EXPECT_EQ(pty.Read(4), QByteArray("rate"));
}

TEST_F(PtyPort, RefusedSettingsRaiseTheirMessage) {
  struct Case {
    const char *message;
    std::function<void(TCommX &)> bad, good;
  };
  const Case cases[] = {
      {"Error at BitRate setting", [](TCommX &c) { c.SetBitRate(5); }, [](TCommX &c) { c.SetBitRate(9600); }},
      {"Error at CharSize setting", [](TCommX &c) { c.SetCharSize(9); }, [](TCommX &c) { c.SetCharSize(8); }},
      {"Error at StopBit setting", [](TCommX &c) { c.SetStopBit(csb1p5); }, [](TCommX &c) { c.SetStopBit(csb1); }},
      {"Error at FlowCtrl setting", [](TCommX &c) { c.SetFlowCtrl(cfcDtrDsr); },
       [](TCommX &c) { c.SetFlowCtrl(cfcNone); }},
      {"Error at TimeOut setting", [](TCommX &c) { c.SetTimeOutTrans(-1); },
       [](TCommX &c) { c.SetTimeOutTrans(3000); }},
      {"Can not create COM buffer", [](TCommX &c) { c.SetBufLenTrans(0); },
       [](TCommX &c) { c.SetBufLenTrans(2048); }},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.message);
    // Stored while closed, refused by the next open, which leaves the port closed.
    c.bad(comm);
    EXPECT_EQ(Raised([&] { comm.PortOpen(); }), c.message);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(comm.Handle(), TCustomCommX::INVALID_HANDLE_VALUE);
    c.good(comm);
    // Refused on the open port: the port stays open on its previous line.
    comm.PortOpen();
    const PeerLine before = kxtest::ReadPeerLine(pty.master());
    EXPECT_EQ(Raised([&] { c.bad(comm); }), c.message);
    EXPECT_TRUE(comm.IsOpen());
    const PeerLine after = kxtest::ReadPeerLine(pty.master());
    EXPECT_EQ(after.rate, before.rate);
    EXPECT_EQ(after.charSize, before.charSize);
    EXPECT_EQ(after.stopBits, before.stopBits);
    ASSERT_TRUE(comm.TransString("ok"));
    EXPECT_EQ(pty.Read(2), QByteArray("ok"));
    comm.PortClose();
    c.good(comm);
  }
}

// A pseudo-terminal carries 8 data bits without parity only: the driver puts both
// back, and the component reports what the driver would not take.
TEST_F(PtyPort, DriverThatKeepsItsCharacterFormatRefusesOthers) {
  comm.SetCharSize(7);
  EXPECT_EQ(Raised([&] { comm.PortOpen(); }), "Error at CharSize setting");
  EXPECT_FALSE(comm.IsOpen());
  comm.SetCharSize(8);
  comm.SetParityBit(cpbEven);
  EXPECT_EQ(Raised([&] { comm.PortOpen(); }), "Error at ParityBit setting");
  comm.SetParityBit(cpbNone);
  comm.PortOpen();
  EXPECT_EQ(Raised([&] { comm.SetParityBit(cpbOdd); }), "Error at ParityBit setting");
  EXPECT_EQ(comm.ParityBit(), cpbOdd);  // stored all the same
  const PeerLine l = kxtest::ReadPeerLine(pty.master());
  EXPECT_EQ(l.charSize, 8);
  EXPECT_EQ(l.parity, 'N');
}

TEST_F(PtyPort, OpenFailures) {
  // No such port.
  comm.SetPortNo(77);
  EXPECT_EQ(Raised([&] { comm.PortOpen(); }), "Can not open the COM port");
  EXPECT_EQ(comm.Handle(), TCustomCommX::INVALID_HANDLE_VALUE);
  comm.PortClose();

  // Already open: the open port is left as it was.
  comm.SetPortNo(kPort);
  comm.PortOpen();
  const int handle = comm.Handle();
  EXPECT_EQ(Raised([&] { comm.PortOpen(); }), "Already opened the COM poer");
  EXPECT_EQ(comm.Handle(), handle);
  ASSERT_TRUE(comm.TransChar('z'));
  EXPECT_EQ(pty.Read(1), QByteArray("z"));

  // Held by a second component of this process.
  TCommX other;
  other.SetPortNo(kPort);
  EXPECT_EQ(Raised([&] { other.PortOpen(); }), "Can not open the COM port");
  comm.PortClose();
  other.PortOpen();  // free again once closed
  other.PortClose();

  // Held by another process that locks its port.
  // -o: only flock itself holds the lock, so killing it frees the port.
  kxtest::ChildProcess holder(QStringLiteral("flock"), {QStringLiteral("-o"), pty.slavePath(), QStringLiteral("-c"),
                                                        QStringLiteral("echo held; exec sleep 5")});
  ASSERT_FALSE(holder.ReadOutput(5000, false).isEmpty());
  EXPECT_EQ(Raised([&] { comm.PortOpen(); }), "Can not open the COM port");
  EXPECT_FALSE(comm.IsOpen());
  holder.Signal(SIGKILL);
  holder.Wait(5000);
  comm.PortOpen();
  EXPECT_TRUE(comm.IsOpen());
}

TEST_F(PtyPort, BytesArriveInOrderAcrossBlocks) {
  comm.PortOpen();
  const QByteArray data = RandomBytes(5000, 1);
  ASSERT_TRUE(comm.TransBlock(data.constData(), data.size()));
  EXPECT_LE(comm.GetTransLength(), 5000);
  EXPECT_EQ(pty.Read(5000), data);
  EXPECT_TRUE(kxtest::WaitUntil([&] { return comm.GetTransLength() == 0; }));
}

TEST_F(PtyPort, FullQueueWaitsWhileTheWindowGoesOn) {
  comm.SetBufLenTrans(4096);
  comm.SetTimeOutTrans(0);  // the peer reads late; nothing may be dropped meanwhile
  comm.PortOpen();
  // Far more than the pseudo-terminal holds, so that 32 blocks wait for the writer.
  const QByteArray data = RandomBytes(400 * 1024, 2);
  QByteArray peer;
  std::thread reader;
  bool returned = false;
  bool timerRanInside = false;
  int lengthSeen = 0;
  QTimer::singleShot(200, [&] {
    timerRanInside = !returned;
    lengthSeen = comm.GetTransLength();
    reader = std::thread([&] { peer = pty.Read(data.size(), 5000); });
  });
  ASSERT_TRUE(comm.TransBlock(data.constData(), data.size()));
  returned = true;
  EXPECT_TRUE(timerRanInside);
  EXPECT_GE(lengthSeen, 31 * 4096);
  EXPECT_LE(lengthSeen, 32 * 4096);
  if (reader.joinable()) reader.join();
  EXPECT_EQ(peer.size(), data.size());
  EXPECT_TRUE(peer == data);
}

TEST_F(PtyPort, ClearTransBufDiscardsQueuedAndPendingOutput) {
  comm.SetBufLenTrans(4096);
  comm.SetTimeOutTrans(0);
  comm.PortOpen();
  comm.ClearTransBuf();  // empty queue: returns at once
  const QByteArray data = RandomBytes(25 * 4096, 3);
  ASSERT_TRUE(comm.TransBlock(data.constData(), data.size()));
  ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetTransLength() < data.size(); }));
  comm.ClearTransBuf();
  EXPECT_EQ(comm.GetTransLength(), 0);
  const QByteArray arrived = pty.ReadAvailable();
  EXPECT_LT(arrived.size(), data.size());
  EXPECT_TRUE(data.startsWith(arrived));
  // The port goes on working after the purge.
  ASSERT_TRUE(comm.TransString("after"));
  EXPECT_EQ(pty.Read(5), QByteArray("after"));
  // A close with a write stuck on a full line returns as well.
  ASSERT_TRUE(comm.TransBlock(data.constData(), data.size()));
  comm.PortClose();
  EXPECT_FALSE(comm.IsOpen());
}

TEST_F(PtyPort, ReceiveCharWaitsForItsTimeOut) {
  comm.SetTimeOutReceive(300);
  comm.PortOpen();
  QElapsedTimer t;
  t.start();
  EXPECT_EQ(comm.ReceiveChar(), -1);
  EXPECT_GE(t.elapsed(), 290);
  EXPECT_LT(t.elapsed(), 2000);
  QTimer::singleShot(50, [&] { pty.Write("A"); });
  EXPECT_EQ(comm.ReceiveChar(), 'A');
  // Bytes already waiting are read at once.
  pty.Write(QByteArray("\xff\x00\x7f\x00", 4));
  ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetReceiveLength() == 4; }));
  char buf[4];
  EXPECT_EQ(comm.ReceiveBlock(buf, 4), 4);
  EXPECT_EQ(QByteArray(buf, 4), QByteArray("\xff\x00\x7f\x00", 4));
}

TEST_F(PtyPort, OnReceiveGetsEveryByteInOrder) {
  CollectReceived();
  comm.PortOpen();
  const QByteArray data = RandomBytes(20000, 4);
  // The peer writes from a thread of its own: its writes wait while this thread reads.
  std::thread writer([&] {
    for (int i = 0; i < data.size(); i += 1000) pty.Write(data.mid(i, 1000));
  });
  const bool all = kxtest::WaitUntil([&] { return received.size() >= data.size(); });
  writer.join();
  ASSERT_TRUE(all);
  EXPECT_TRUE(received == data);
  for (int n : sizes) EXPECT_GT(n, 0);
}

TEST_F(PtyPort, BytesLeftUnreadRaiseNoNewReport) {
  comm.OnReceive = [&](QObject *, int n) { sizes.push_back(n); };
  comm.PortOpen();
  pty.Write("abc");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return sizes.size() == 1; }));
  EXPECT_EQ(sizes[0], 3);
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(sizes.size(), 1u);
  pty.Write("de");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return sizes.size() == 2; }));
  EXPECT_EQ(sizes[1], 5);  // the next report counts every byte waiting
}

TEST_F(PtyPort, ReportHandledAfterTheBytesWentCallsNothing) {
  struct Case {
    const char *name;
    std::function<void(TCommX &)> before;
  };
  const Case cases[] = {
      {"read", [](TCommX &c) { char b[8]; ASSERT_EQ(c.ReceiveBlock(b, 3), 3); }},
      {"purged", [](TCommX &c) { c.ClearReceiveBuf(); }},
      {"closed", [](TCommX &c) { c.PortClose(); }},
      {"closed and opened again", [](TCommX &c) { c.PortClose(); c.PortOpen(); }},
  };
  int calls = 0;
  comm.OnReceive = [&](QObject *, int) { ++calls; };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    if (!comm.IsOpen()) comm.PortOpen();
    calls = 0;
    pty.Write("xyz");
    // The bytes wait while this thread does not look at its events.
    ::usleep(150 * 1000);
    c.before(comm);
    kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(calls, 0);
  }
}

TEST_F(PtyPort, HandlerClosesAndReopensThePort) {
  int calls = 0;
  comm.OnReceive = [&](QObject *, int n) {
    ++calls;
    QByteArray buf(n, '\0');
    comm.ReceiveBlock(buf.data(), n);
    received += buf;
    comm.PortClose();
    comm.PortOpen();
  };
  comm.PortOpen();
  pty.Write("one");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return calls == 1; }));
  pty.Write("two");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return calls == 2; }));
  EXPECT_EQ(received, QByteArray("onetwo"));
  // Closed from inside, and at once opened again from outside.
  comm.OnReceive = [&](QObject *, int) { comm.PortClose(); };
  pty.Write("three");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !comm.IsOpen(); }));
  comm.PortOpen();
  EXPECT_TRUE(comm.IsOpen());
}

// A handler that closes the port and then shows a message box (a nested event loop)
// while the test itself only processes events, as the SH writer's failures do.
TEST_F(PtyPort, HandlerThatClosesAndWaitsInANestedLoopGetsNoSecondReport) {
  for (const bool reopen : {false, true}) {
    SCOPED_TRACE(reopen ? "closed and opened again" : "closed");
    int calls = 0;
    comm.OnReceive = [&](QObject *, int) {
      if (++calls > 1) return;
      comm.PortClose();
      if (reopen) comm.PortOpen();
      QEventLoop box;
      QTimer::singleShot(300, &box, &QEventLoop::quit);
      QTimer::singleShot(50, [&] { pty.Write("more"); });
      box.exec();
    };
    comm.PortOpen();
    pty.Write("one");
    ASSERT_TRUE(kxtest::WaitUntil([&] { return calls >= 1; }));
    kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(500));
    // Reopened, the new opening reports the bytes that came after it.
    EXPECT_EQ(calls, reopen ? 2 : 1);
    EXPECT_EQ(comm.IsOpen(), reopen);
    comm.PortClose();
  }
}

TEST_F(PtyPort, NewPortNumberOnTheOpenPortReopensThere) {
  PtyPair second;
  ports.Link(6, second.slavePath());
  comm.PortOpen();
  comm.SetPortNo(6);
  ASSERT_TRUE(comm.IsOpen());
  ASSERT_TRUE(comm.TransString("six"));
  EXPECT_EQ(second.Read(3), QByteArray("six"));
  EXPECT_TRUE(pty.ReadAvailable().isEmpty());
  // The first port is free again.
  TCommX other;
  other.SetPortNo(kPort);
  other.PortOpen();
  EXPECT_TRUE(other.IsOpen());
}

// An independent peer: socat makes the pair and carries the bytes between its ends.
TEST(CommXSocat, BothDirectionsThroughSocat) {
  kxtest::ScopedPortDir ports;
  const QString port = ports.path() + "/COM7";  // socat makes the link itself
  const QString peerPath = ports.path() + "/peer";
  kxtest::ChildProcess socat(QStringLiteral("socat"), {"pty,raw,echo=0,link=" + port, "pty,raw,echo=0,link=" + peerPath});
  ASSERT_TRUE(socat.started());
  ASSERT_TRUE(kxtest::WaitUntil([&] { return QFile::exists(port) && QFile::exists(peerPath); }));
  const int peer = kxtest::OpenRaw(peerPath);
  ASSERT_GE(peer, 0);

  TCommX comm;
  comm.SetPortNo(7);
  comm.SetFlowCtrl(cfcNone);
  comm.SetBitRate(115200);
  QByteArray received;
  comm.OnReceive = [&](QObject *, int n) {
    QByteArray buf(n, '\0');
    ASSERT_EQ(comm.ReceiveBlock(buf.data(), n), n);
    received += buf;
  };
  comm.PortOpen();
  const QByteArray out = RandomBytes(64 * 1024, 5);
  ASSERT_TRUE(comm.TransBlock(out.constData(), out.size()));
  EXPECT_TRUE(kxtest::ReadFrom(peer, out.size()) == out);
  const QByteArray in = RandomBytes(3000, 6);
  kxtest::WriteAll(peer, in);
  EXPECT_TRUE(kxtest::WaitUntil([&] { return received.size() >= in.size(); }));
  EXPECT_TRUE(received == in);
  comm.PortClose();
  ::close(peer);
  socat.Signal(SIGTERM);
  socat.Wait(5000);
}

TEST_F(PtyPort, HangUpClosesThePortAtOnceAndReportsIt) {
  struct Case {
    const char *name;
    std::function<void(PtyPair &)> before;  // what the port is doing when the line goes
  };
  const Case cases[] = {
      {"idle", [](PtyPair &) {}},
      {"bytes left unread",
       [this](PtyPair &line) {
         line.Write("abc");
         ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetReceiveLength() == 3; }));
       }},
      {"a write waiting for the line",
       [this](PtyPair &) {
         // Nobody reads the master side: the transmit thread waits for room.
         ASSERT_TRUE(comm.TransString(RandomBytes(64 * 1024, 7)));
         ASSERT_TRUE(kxtest::WaitUntil([&] { return comm.GetTransLength() > 0; }));
         kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(100));
         ASSERT_GT(comm.GetTransLength(), 0);
       }},
  };
  int reports = 0;
  bool openInHandler = true;
  QElapsedTimer sinceHangUp;
  qint64 reportedAfterMs = -1;
  comm.OnDisconnect = [&](QObject *sender) {
    EXPECT_EQ(sender, &comm);
    ++reports;
    openInHandler = comm.IsOpen();
    reportedAfterMs = sinceHangUp.elapsed();
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    PtyPair line;
    ports.Link(kPort, line.slavePath());
    comm.PortOpen();
    reports = 0;
    c.before(line);
    sinceHangUp.start();
    line.HangUp();
    ASSERT_TRUE(kxtest::WaitUntil([&] { return reports > 0; }, std::chrono::seconds(3)));
    EXPECT_LT(reportedAfterMs, 1000);
    EXPECT_FALSE(openInHandler);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(comm.Handle(), TCommX::INVALID_HANDLE_VALUE);
    EXPECT_FALSE(comm.TransString("x"));
    kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(reports, 1);
  }

  // Nothing is left running after the hang-ups.
  const double share = kxtest::IdleCpuShare(std::chrono::seconds(5));
  EXPECT_LT(share, 0.01) << share * 100 << " % of a core";

  // Another port opens and works at once.
  reports = 0;
  ports.Link(kPort, pty.slavePath());
  CollectReceived();
  comm.PortOpen();
  ASSERT_TRUE(comm.TransString("again"));
  EXPECT_EQ(pty.Read(5), QByteArray("again"));
  pty.Write("back");
  EXPECT_TRUE(kxtest::WaitUntil([&] { return received == "back"; }));
  EXPECT_EQ(reports, 0);
}

TEST_F(PtyPort, AHangUpTheDriverDoesNotConfirmLeavesThePortOpen) {
  // A pseudo-terminal master whose slave nobody has opened reports a hang-up from the
  // start, yet it is a working line as soon as the slave is opened.
  ports.Link(kPort, QStringLiteral("/dev/ptmx"));
  int reports = 0;
  comm.OnDisconnect = [&](QObject *) { ++reports; };
  CollectReceived();
  comm.PortOpen();
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(reports, 0);
  ASSERT_TRUE(comm.IsOpen());

  const int master = comm.Handle();
  int number = -1;
  int unlock = 0;
  ASSERT_EQ(::ioctl(master, TIOCGPTN, &number), 0);
  ASSERT_EQ(::ioctl(master, TIOCSPTLCK, &unlock), 0);
  const int slave = kxtest::OpenRaw(QStringLiteral("/dev/pts/%1").arg(number));
  ASSERT_GE(slave, 0);
  kxtest::WriteAll(slave, "ping");
  EXPECT_TRUE(kxtest::WaitUntil([&] { return received == "ping"; }));
  ASSERT_TRUE(comm.TransString("pong"));
  EXPECT_EQ(kxtest::ReadFrom(slave, 4), QByteArray("pong"));
  ::close(slave);
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(200));
  EXPECT_EQ(reports, 0);
  EXPECT_TRUE(comm.IsOpen());
}
