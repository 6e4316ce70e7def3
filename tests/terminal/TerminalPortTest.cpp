// The terminal on the shared port, against a pseudo-terminal as the far end.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextEdit>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"

void PrintTo(const QString &s, std::ostream *os) { *os << '"' << s.toStdString() << '"'; }

namespace {

constexpr int kPortNo = 7;

// The far end of the line: the master side of a pseudo-terminal published as COM7
// in a port directory of the test's own.
class Peer {
 public:
  Peer() {
    termios raw{};
    cfmakeraw(&raw);
    if (openpty(&master_, &slave_, nullptr, &raw, nullptr) != 0) ADD_FAILURE() << "openpty: " << errno;
    const QString link = ports_.filePath(QStringLiteral("COM%1").arg(kPortNo));
    if (!QFile::link(QString::fromLocal8Bit(ttyname(slave_)), link)) ADD_FAILURE() << "cannot link " << link.toStdString();
    qputenv("KX7391_PORT_DIR", ports_.path().toLocal8Bit());
  }
  ~Peer() {
    ::close(master_);
    ::close(slave_);
    qunsetenv("KX7391_PORT_DIR");
  }
  void Write(const QByteArray &bytes) {
    ASSERT_EQ(::write(master_, bytes.constData(), bytes.size()), bytes.size());
  }
  // Everything that arrives within `ms` after the last byte, while the UI runs.
  QByteArray ReadQuiet(int ms = 300) {
    QByteArray got;
    QElapsedTimer quiet;
    quiet.start();
    while (quiet.elapsed() < ms) {
      kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(10));
      char buf[512];
      pollfd p{master_, POLLIN, 0};
      while (::poll(&p, 1, 0) == 1 && (p.revents & POLLIN)) {
        const ssize_t n = ::read(master_, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, n);
        quiet.restart();
      }
    }
    return got;
  }

 private:
  QTemporaryDir ports_;
  int master_ = -1;
  int slave_ = -1;
};

class TerminalPort : public ::testing::Test {
 protected:
  void SetUp() override {
    FormMain = new TFormMain;
    FormMain->FormCreate();
    FormMain->CommX1->SetPortNo(kPortNo);
    FormTerminal = term = new TFormTerminal;
  }
  void TearDown() override {
    FormMain->CommX1->PortClose();
    delete term;
    FormTerminal = nullptr;
    delete FormMain;
    FormMain = nullptr;
  }
  QString Log() {
    term->TerminalRxFlush();
    return term->RichEdit1->toPlainText();
  }
  bool LogShows(const QString &text) {
    return kxtest::WaitUntil([&] { return Log().contains(text); }, std::chrono::seconds(5));
  }
  void WriteFile(const QString &name, const QByteArray &content) {
    QFile f(dir.file(name));
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(content);
    term->SendFileEdit->setText(dir.file(name));
  }
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
  Peer peer;
  TFormTerminal *term = nullptr;
};

TEST_F(TerminalPort, OpenAttachesAndCloseDetaches) {
  term->OpenButtonClick();
  TCommX *port = FormMain->CommX1;
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->Tag, kPortNo);
  EXPECT_EQ(port->BitRate(), 115200);
  EXPECT_EQ(port->StopBit(), csb1);
  EXPECT_EQ(port->FlowCtrl(), cfcNone);
  EXPECT_EQ(port->CharSize(), 8);
  EXPECT_EQ(port->ParityBit(), cpbNone);
  EXPECT_FALSE(term->OpenButton->isEnabled());
  EXPECT_TRUE(term->CloseButton->isEnabled());
  for (QPushButton *b : {term->SendButton, term->SendHEXButton, term->FileSendStartButton, term->TimerSendButton})
    EXPECT_TRUE(b->isEnabled());

  peer.Write("VER-C 403A\r\n");
  EXPECT_TRUE(LogShows(QStringLiteral("VER-C 403A~\n")));

  term->CloseButtonClick();
  EXPECT_FALSE(port->IsOpen());
  EXPECT_EQ(port->Tag, 0);
  EXPECT_TRUE(term->OpenButton->isEnabled());
  EXPECT_FALSE(term->CloseButton->isEnabled());
  for (QPushButton *b : {term->SendButton, term->SendHEXButton, term->FileSendStartButton, term->TimerSendButton})
    EXPECT_FALSE(b->isEnabled());
}

TEST_F(TerminalPort, OpenWhileAnotherUserHoldsThePortReopensAt115200) {
  TCommX *port = FormMain->CommX1;
  port->SetBitRate(9600);
  port->SetStopBit(csb2);
  port->PortOpen();
  port->Tag = kPortNo;
  QElapsedTimer t;
  t.start();
  term->OpenButtonClick();
  EXPECT_GE(t.elapsed(), 700);  // 200 ms after the close, 500 ms after the open
  EXPECT_TRUE(port->IsOpen());
  EXPECT_EQ(port->BitRate(), 115200);
  EXPECT_EQ(port->StopBit(), csb1);
  EXPECT_EQ(port->Tag, kPortNo);
}

TEST_F(TerminalPort, FailedOpenLeavesTheButtonsForCloseAndPassesTheError) {
  FormMain->CommX1->SetPortNo(kPortNo + 1);  // nothing there
  try {
    term->OpenButtonClick();
    FAIL() << "no error";
  } catch (const ECommError &e) {
    EXPECT_STREQ(e.what(), "Can not open the COM port");
  }
  EXPECT_EQ(FormMain->CommX1->Tag, 0);
  EXPECT_FALSE(term->OpenButton->isEnabled());
  EXPECT_TRUE(term->CloseButton->isEnabled());
  EXPECT_FALSE(term->SendButton->isEnabled());
  term->CloseButtonClick();
  EXPECT_TRUE(term->OpenButton->isEnabled());
  EXPECT_FALSE(term->CloseButton->isEnabled());
}

TEST_F(TerminalPort, SendAndSendHexPutTheirBytesOnTheLine) {
  term->OpenButtonClick();
  term->CommandComboBox->setEditText(QStringLiteral("VR"));
  term->SendButtonClick();
  EXPECT_EQ(peer.ReadQuiet(), QByteArray("VR\r\n"));
  term->CommandComboBox->setEditText(QString());
  term->SendButtonClick();
  EXPECT_EQ(peer.ReadQuiet(), QByteArray("\r\n"));
  const std::pair<const char *, QByteArray> hex[] = {
      {"02 41 42 03", QByteArray::fromHex("02414203")},
      {"0241 4203", QByteArray::fromHex("02414203")},
      {"A ", QByteArray::fromHex("0a")},
      {"02,41", QByteArray()},
      {"A", QByteArray()},
  };
  for (const auto &[text, bytes] : hex) {
    SCOPED_TRACE(text);
    term->CommandComboBox->setEditText(QString::fromLatin1(text));
    term->SendHEXButtonClick();
    EXPECT_EQ(peer.ReadQuiet(150).toHex(), bytes.toHex());
  }
  // The version answer to the sent request appears in red under the request.
  peer.Write("VER-C KX7391D\r\n");
  EXPECT_TRUE(LogShows(QStringLiteral("VR~\n~\n02 41 42 03~\n0241 4203~\nA ~\nVER-C KX7391D~\n")));
}

TEST_F(TerminalPort, HexModeShowsReceivedBytes) {
  term->OpenButtonClick();
  term->SetTerminalTypeItemIndex(1);
  peer.Write("VER-C\r\n0123456789");
  EXPECT_TRUE(LogShows(QStringLiteral("56 45 52 2D 43 0D 0A 30 31 32 33 34 35 36 37 38 \n39 ")));
}

TEST_F(TerminalPort, ReceivedBytesAreNotShownWhileDetached) {
  TCommX *port = FormMain->CommX1;
  port->SetBitRate(115200);
  port->PortOpen();  // opened by someone else; "COM Close" stays disabled
  peer.Write("hidden\r\n");
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(300));
  EXPECT_EQ(Log(), QStringLiteral("\n"));
  term->CloseButton->setEnabled(true);  // as the writer does while it holds the port
  peer.Write("shown\r\n");
  EXPECT_TRUE(LogShows(QStringLiteral("\nshown~\n")));
}

TEST_F(TerminalPort, FileSendSendsLinesWithPausesAndShowsComments) {
  term->OpenButtonClick();
  WriteFile(QStringLiteral("cmd.txt"), ";set up\r\nVR\r\n\r\nABC~\r\n" + QByteArray(300, 'x') + "\r\nlast");
  QElapsedTimer t;
  t.start();
  term->FileSendStartButtonClick();
  EXPECT_GE(t.elapsed(), 500);  // 100 ms after each of five lines
  EXPECT_EQ(peer.ReadQuiet(), "VR\r\n\r\nABC\r\n" + QByteArray(253, 'x') + "\r\n");
  EXPECT_EQ(Log(), "\n;set up~\nVR~\n~\nABC~\n" + QString(253, u'x') + "~\n");
  // File lines are teal.
  QTextCursor c(term->RichEdit1->document()->findBlockByNumber(2));
  c.movePosition(QTextCursor::NextCharacter);
  EXPECT_EQ(c.charFormat().foreground().color(), QColor(0, 128, 128));
}

TEST_F(TerminalPort, FileSendWithMissingFileDoesNothingAndTimerDoesNotStart) {
  term->OpenButtonClick();
  term->SendFileEdit->setText(dir.file(QStringLiteral("missing.txt")));
  term->FileSendStartButtonClick();
  term->TimerSendButtonClick();
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_EQ(term->TimerSendButton->text(), QStringLiteral("Timer Send Start"));
  EXPECT_EQ(Log(), QStringLiteral("\n"));
  EXPECT_TRUE(peer.ReadQuiet(100).isEmpty());
}

TEST_F(TerminalPort, TimerSendStartsAtOnceAndRepeatsAtThePeriod) {
  term->OpenButtonClick();
  WriteFile(QStringLiteral("cmd.txt"), "VR\r\n");
  // The period edit's rules.
  const std::pair<const char *, const char *> edits[] = {{"3", "120"}, {"abc", "120"}, {"007", "7"}, {"5", "5"}};
  for (const auto &[typed, shown] : edits) {
    term->TimerSendTimeEdit->setText(QString::fromLatin1(typed));
    term->TimerSendTimeEditExit();
    EXPECT_EQ(term->TimerSendTimeEdit->text(), QString::fromLatin1(shown));
  }
  EXPECT_EQ(term->SendTimer->Tag, 5);

  term->TimerSendButtonClick();
  EXPECT_EQ(term->TimerSendButton->text(), QStringLiteral("Timer Send End"));
  EXPECT_EQ(peer.ReadQuiet(300), QByteArray("VR\r\n"));
  EXPECT_EQ(term->SendTimer->interval(), 5000);
  // "COM Close" leaves the timer running; stopping takes the button again.
  term->CloseButtonClick();
  EXPECT_TRUE(term->SendTimer->isActive());
  term->OpenButtonClick();
  term->TimerSendButtonClick();
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_EQ(term->TimerSendButton->text(), QStringLiteral("Timer Send Start"));
}

TEST_F(TerminalPort, TickDuringAFileSendNestsAWholeSending) {
  term->OpenButtonClick();
  WriteFile(QStringLiteral("cmd.txt"), "A\r\nB\r\nC\r\n");
  // A tick that lands during the first sending's pause starts the file again.
  term->SendTimer->Tag = 1;
  term->SendTimer->setSingleShot(true);
  term->SendTimer->start(150);
  term->FileSendStartButtonClick();
  EXPECT_EQ(peer.ReadQuiet(), QByteArray("A\r\nB\r\nA\r\nB\r\nC\r\nC\r\n"));
}

}  // namespace
