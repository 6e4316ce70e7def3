// The terminal on the shared port, against a pseudo-terminal as the far end.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTextBlock>
#include <QTextDocument>
#include <QPlainTextEdit>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"
#include "tests/terminal/TerminalPeer.h"


namespace {

constexpr int kPortNo = 7;

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
  termtest::Peer peer{kPortNo};
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
      {"0x0D", QByteArray()},
      {"ZZ", QByteArray()},
      {"A", QByteArray()},
  };
  for (const auto &[text, bytes] : hex) {
    SCOPED_TRACE(text);
    term->CommandComboBox->setEditText(QString::fromLatin1(text));
    term->SendHEXButtonClick();
    EXPECT_EQ(peer.ReadQuiet(150).toHex(), bytes.toHex());
  }
  EXPECT_EQ(boxes.texts.size(), 3) << "one message for each text that is not hex";
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
  // The bytes the port has taken in and offered to its listeners.
  const auto offered = std::make_shared<int>(0);
  port->OnReceive = [offered, listeners = port->OnReceive](QObject *sender, int size) {
    listeners(sender, size);
    *offered += size;
  };
  peer.Write("hidden\r\n");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return *offered >= 8; }, std::chrono::seconds(5))) << *offered;
  EXPECT_EQ(Log(), QStringLiteral("\n"));
  term->CloseButton->setEnabled(true);  // as the writer does while it holds the port
  peer.Write("shown\r\n");
  EXPECT_TRUE(LogShows(QStringLiteral("\nshown~\n")));
}

TEST_F(TerminalPort, FileSendGivesTheSameCommandsForEveryLineEndConvention) {
  term->OpenButtonClick();
  const QByteArray long300(300, 'x');
  const QList<QByteArray> lines = {";set up", "VR", "", "ABC~", long300, "last"};
  const QByteArray wanted = "VR\r\n\r\nABC\r\n" + QByteArray(253, 'x') + "\r\nlast\r\n";
  const QString shown = ";set up~\nVR~\n~\nABC~\n" + QString(253, u'x') + "~\nlast~\n";
  const struct {
    const char *name;
    QByteArray end;
    bool endsLastLine;
  } cases[] = {
      {"CR LF", "\r\n", true},
      {"LF", "\n", true},
      {"CR", "\r", true},
      {"CR LF, last line without an end", "\r\n", false},
      {"LF, last line without an end", "\n", false},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    term->ClearButtonClick();
    WriteFile(QStringLiteral("cmd.txt"), lines.join(c.end) + (c.endsLastLine ? c.end : QByteArray()));
    QElapsedTimer t;
    t.start();
    term->FileSendStartButtonClick();
    EXPECT_GE(t.elapsed(), 600);  // 100 ms after each of six lines
    EXPECT_EQ(peer.ReadQuiet(), wanted);
    EXPECT_EQ(Log(), "\n" + shown);
  }
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
  term->TimerSendButtonClick();
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_EQ(term->TimerSendButton->text(), QStringLiteral("Timer Send Start"));
}

// Timed sending with a period of 1 s: what each way of ending it leaves on the line.
class TimedSending : public TerminalPort {
 protected:
  void StartTimedSending() {
    term->OpenButtonClick();
    WriteFile(QStringLiteral("cmd.txt"), "VR\r\nVRP\r\n");
    term->SendTimer->Tag = 1;
    term->TimerSendButtonClick();
    ASSERT_EQ(peer.ReadQuiet(300), QByteArray("VR\r\nVRP\r\n"));
  }
  void ExpectStopped(const QString &note) {
    EXPECT_FALSE(term->SendTimer->isActive());
    EXPECT_EQ(term->TimerSendButton->text(), QStringLiteral("Timer Send Start"));
    EXPECT_TRUE(Log().contains(note + "\n")) << Log().toStdString();
  }
};

TEST_F(TimedSending, GoesOnWithTheWindowHiddenWhileThePortIsOpen) {
  StartTimedSending();
  ASSERT_FALSE(term->isVisible());
  // Two more sendings, a second apart.
  const QByteArray sending("VR\r\nVRP\r\n");
  QByteArray got;
  for (int i = 0; i < 10 && got.count(sending) < 2; ++i) got += peer.ReadFor(500);
  EXPECT_TRUE(got.startsWith(sending + sending)) << got.toStdString();
  EXPECT_TRUE(term->SendTimer->isActive());
}

TEST_F(TimedSending, ComCloseStopsIt) {
  StartTimedSending();
  term->CloseButtonClick();
  ExpectStopped(QStringLiteral("; Timer Send stopped: COM Close"));
  // The port open again (as for a version check or a write): nothing more arrives.
  term->OpenButtonClick();
  EXPECT_TRUE(peer.ReadFor(2000).isEmpty());
}

TEST_F(TimedSending, AVersionCheckStopsItAndItsPeerSeesOnlyTheCheck) {
  StartTimedSending();
  FormMain->ConnectTestBitBtnClick();
  ExpectStopped(QStringLiteral("; Timer Send stopped: the version check takes the port"));
  // The request alone, and no file line within the next 1.5 s (the check repeats
  // its request only after 3 s).
  EXPECT_EQ(peer.ReadQuiet(1500), QByteArray("\r\nVR\r\nVRP\r\n"));
  // Started again while the check holds the port: refused.
  term->TimerSendButtonClick();
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_TRUE(Log().contains("; Timer Send not started: the version check holds the port\n"));
  FormMain->AbortButtonClick();
}

TEST_F(TimedSending, AFileThatCannotBeReadStopsItBeforeOneBox) {
  term->OpenButtonClick();
  // Exists, opens, and fails on reading: the test runs as root, whom no mode keeps out.
  term->SendFileEdit->setText(QStringLiteral("/proc/self/mem"));
  term->SendTimer->Tag = 1;
  term->TimerSendButtonClick();
  // The first tick fails on reading; its box comes once the timer is stopped, so no
  // further tick (one a second) can bring another.
  ASSERT_TRUE(kxtest::WaitUntil([&] { return !boxes.texts.isEmpty(); }, std::chrono::seconds(5)));
  EXPECT_FALSE(term->SendTimer->isActive());
  ASSERT_EQ(boxes.texts.size(), 1) << boxes.texts.join(" | ").toStdString();
  EXPECT_TRUE(boxes.texts[0].contains(QStringLiteral("/proc/self/mem"))) << boxes.texts[0].toStdString();
  ExpectStopped(QStringLiteral("; Timer Send stopped: the file cannot be read"));
  EXPECT_TRUE(peer.ReadQuiet(100).isEmpty());
}

TEST_F(TerminalPort, SendsWithThePortClosedShowNothingAsSent) {
  // Open for the terminal, then closed under it (as the writer's Abort leaves it):
  // the send buttons are still enabled.
  term->OpenButtonClick();
  FormMain->CommX1->PortClose();
  FormMain->CommX1->Tag = 0;
  WriteFile(QStringLiteral("cmd.txt"), "VR\r\nVRP\r\n");
  term->ClearButtonClick();
  const QString note = QStringLiteral("; COM port closed: nothing was sent\n");
  term->CommandComboBox->setEditText(QStringLiteral("VR"));
  term->SendButtonClick();
  EXPECT_EQ(Log(), "\n" + note);
  term->CommandComboBox->setEditText(QStringLiteral("02 41"));
  term->SendHEXButtonClick();
  EXPECT_EQ(Log(), "\n" + note + note);
  term->FileSendStartButtonClick();
  EXPECT_EQ(Log(), "\n" + note + note + note);
  term->TimerSendButtonClick();
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_EQ(Log(), "\n" + note + note + note + "; Timer Send not started: the COM port is closed\n");
  EXPECT_EQ(term->CommandComboBox->count(), 0) << "nothing sent, nothing in the history";
  EXPECT_TRUE(peer.ReadQuiet(100).isEmpty());
}

TEST_F(TerminalPort, TickDuringAFileSendNestsAWholeSending) {
  term->OpenButtonClick();
  WriteFile(QStringLiteral("cmd.txt"), "A\r\nB\r\nC\r\n");
  term->ClearButtonClick();
  // A tick that lands during the first sending's pause starts the file again, inside
  // that sending, which then goes on where it stopped.
  term->SendTimer->Tag = 1;
  term->SendTimer->setSingleShot(true);
  term->SendTimer->start(150);
  term->FileSendStartButtonClick();
  // Due after the second line (150 ms; a pause of 100 ms follows each line), so the
  // tick has come by the end of the second pause at the latest; on a loaded machine it
  // may land in the first. Either way the nested sending is whole and done before the
  // outer one returns: a tick taken only after it would add its lines after "C".
  const QString shown = Log();
  const struct {
    const char *pause;
    QString log;
    QByteArray wire;
  } nestings[] = {
      {"first", "\nA~\nA~\nB~\nC~\nB~\nC~\n", "A\r\nA\r\nB\r\nC\r\nB\r\nC\r\n"},
      {"second", "\nA~\nB~\nA~\nB~\nC~\nC~\n", "A\r\nB\r\nA\r\nB\r\nC\r\nC\r\n"},
  };
  const auto nesting = std::find_if(std::begin(nestings), std::end(nestings),
                                    [&](const auto &n) { return n.log == shown; });
  ASSERT_NE(nesting, std::end(nestings)) << "not nested: " << shown.toStdString();
  SCOPED_TRACE(nesting->pause);
  EXPECT_EQ(peer.ReadCount(nesting->wire.size()), nesting->wire);
}

}  // namespace
