#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QLineEdit>
#include <QStatusBar>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontInfo>
#include <QImage>
#include <QPainter>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextDocument>
#include <QPlainTextEdit>
#include <QTimer>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "terminal/LogWriter.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"
#include "tests/terminal/TerminalPeer.h"


namespace {

// One run of text in the log: its text, colour and whether it is the marker.
struct LogRun {
  QString text;
  QColor colour;
  bool marker;
};

std::vector<LogRun> Runs(const QTextDocument &doc) {
  std::vector<LogRun> runs;
  for (QTextBlock b = doc.begin(); b.isValid(); b = b.next()) {
    for (auto it = b.begin(); !it.atEnd(); ++it) {
      const QTextCharFormat f = it.fragment().charFormat();
      runs.push_back({it.fragment().text(), f.foreground().color(), f.boolProperty(kx::terminal::kMarkerProperty)});
    }
    if (b.next().isValid()) runs.push_back({QStringLiteral("\n"), QColor(), false});
  }
  return runs;
}

constexpr int kPortNo = 7;

// The terminal with the shared port open on a pseudo-terminal, so that what it sends
// leaves (and is shown as sent).
class TerminalWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    FormMain = new TFormMain;
    FormMain->FormCreate();
    FormMain->CommX1->SetPortNo(kPortNo);
    FormMain->CommX1->SetBitRate(115200);
    FormMain->CommX1->PortOpen();
    FormTerminal = term = new TFormTerminal;
  }
  void TearDown() override {
    FormMain->CommX1->PortClose();
    delete term;
    FormTerminal = nullptr;
    delete FormMain;
    FormMain = nullptr;
  }
  QString Log() const {
    term->TerminalRxFlush();
    return term->RichEdit1->toPlainText();
  }
  void Receive(const QByteArray &bytes) {
    for (char c : bytes) term->TerminalRx_1byte(static_cast<std::uint8_t>(c));
  }
  void Command(const QString &text) { term->CommandComboBox->setEditText(text); }
  // Answers the next save dialog with `path`, or cancels it when `path` is empty.
  void AnswerSaveDialog(const QString &path) {
    QTimer::singleShot(0, term, [this, path] {
      QFileDialog *d = term->SaveDialog1;
      if (path.isEmpty()) {
        d->reject();
      } else {
        d->selectFile(path);
        static_cast<QDialog *>(d)->accept();  // runs the file dialog's own accept
      }
    });
  }
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
  termtest::Peer peer{kPortNo};
  TFormTerminal *term = nullptr;
};

TEST_F(TerminalWindow, InitialControls) {
  EXPECT_EQ(term->windowTitle(), QStringLiteral("FormTerminal"));
  EXPECT_EQ(term->size(), QSize(647, 465));
  EXPECT_EQ(term->Panel1->height(), 121);
  EXPECT_EQ(term->StatusBar1->height(), 33);
  EXPECT_EQ(term->RichEdit1->geometry(), QRect(0, 121, 647, 465 - 121 - 33));
  EXPECT_TRUE(term->OpenButton->isEnabled());
  EXPECT_FALSE(term->CloseButton->isEnabled());
  for (QPushButton *b : {term->SendButton, term->SendHEXButton, term->FileSendStartButton, term->TimerSendButton})
    EXPECT_FALSE(b->isEnabled()) << b->text().toStdString();
  EXPECT_EQ(term->TimerSendTimeEdit->text(), QStringLiteral("120"));
  EXPECT_EQ(term->SendTimer->Tag, 120);
  EXPECT_FALSE(term->SendTimer->isActive());
  EXPECT_EQ(term->TerminalTypeItemIndex(), 0);
  EXPECT_FALSE(term->BottomScrollCheckBox->isChecked());
  EXPECT_EQ(term->CommandComboBox->count(), 0);
  EXPECT_TRUE(term->LogFont().fixedPitch());
  EXPECT_EQ(Log(), QStringLiteral("\n"));  // one empty line, the current line after it
}

TEST_F(TerminalWindow, AsciiLineIsRedWithMarker) {
  Receive("VER-C\r\n");
  EXPECT_EQ(Log(), QStringLiteral("\nVER-C~\n"));
  term->TerminalRxFlush();
  const std::vector<LogRun> runs = Runs(*term->RichEdit1->document());
  ASSERT_EQ(runs.size(), 4u);
  EXPECT_EQ(runs[1].text, QStringLiteral("VER-C"));
  EXPECT_EQ(runs[1].colour, QColor(255, 0, 0));
  EXPECT_FALSE(runs[1].marker);
  EXPECT_EQ(runs[2].text, QStringLiteral("~"));
  EXPECT_EQ(runs[2].colour, QColor(255, 0, 0));
  EXPECT_TRUE(runs[2].marker);
}

TEST_F(TerminalWindow, HexModeRowsAndSwitchBack) {
  term->SetTerminalTypeItemIndex(1);
  Receive("VER-C\r\n0123456789");
  EXPECT_EQ(Log(), QStringLiteral("\n56 45 52 2D 43 0D 0A 30 31 32 33 34 35 36 37 38 \n39 "));
  // Back to ASCII mid-line: the received line goes in before the unfinished hex row.
  term->SetTerminalTypeItemIndex(0);
  Receive("\r");
  EXPECT_EQ(Log(), QStringLiteral("\n56 45 52 2D 43 0D 0A 30 31 32 33 34 35 36 37 38 \n0123456789~\n39 "));
}

TEST_F(TerminalWindow, SendEntriesAreBlueAndFeedTheHistory) {
  term->SetTerminalTypeItemIndex(1);
  Receive("AB");
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  EXPECT_EQ(Log(), QStringLiteral("\n41 42 \nVR~\n"));
  EXPECT_EQ(term->RxState().HexColumn(), 0);
  EXPECT_EQ(term->CommandComboBox->itemText(0), QStringLiteral("VR"));
  Command(QStringLiteral("vr"));
  term->SendButtonClick();
  EXPECT_EQ(term->CommandComboBox->count(), 1);
  EXPECT_EQ(term->CommandComboBox->itemText(0), QStringLiteral("vr"));
  EXPECT_EQ(term->CommandComboBox->currentText(), QStringLiteral("vr"));
  const std::vector<LogRun> runs = Runs(*term->RichEdit1->document());
  int sent = 0;
  for (size_t i = 0; i + 1 < runs.size(); ++i) {
    if (runs[i].text.compare(QStringLiteral("vr"), Qt::CaseInsensitive) != 0) continue;
    ++sent;
    EXPECT_EQ(runs[i].colour, QColor(0, 0, 255));
    EXPECT_TRUE(runs[i + 1].marker);
    EXPECT_EQ(runs[i + 1].colour, QColor(0, 0, 255));
  }
  EXPECT_EQ(sent, 2);

  // Send HEX appends at the end of the current line, with no line break before it.
  Receive("C");
  Command(QStringLiteral("02 41"));
  term->SendHEXButtonClick();
  EXPECT_EQ(Log(), QStringLiteral("\n41 42 \nVR~\n\nvr~\n43 02 41~\n"));
  EXPECT_EQ(term->CommandComboBox->itemText(0), QStringLiteral("02 41"));
}

TEST_F(TerminalWindow, SendHexThatGivesNoByteOrIsNotHexSendsNothing) {
  const struct {
    const char *text;
    const char *message;  // empty: no message at all
  } cases[] = {
      {"A", ""},
      {"", ""},
      {"02,41", "Send HEX does not understand \"02,41\": \",\" is not a hex digit, space or TAB. Nothing was sent."},
      {"0x0D", "Send HEX does not understand \"0x0D\": \"x\" is not a hex digit, space or TAB. Nothing was sent."},
      {"ZZ", "Send HEX does not understand \"ZZ\": \"Z\" is not a hex digit, space or TAB. Nothing was sent."},
      {"0000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000000"
       "000000000000000000000000000000",
       "Send HEX takes at most 200 characters and 64 bytes. Nothing was sent."},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.text);
    boxes.texts.clear();
    Command(QString::fromLatin1(c.text));
    term->SendHEXButtonClick();
    EXPECT_EQ(Log(), QStringLiteral("\n"));
    EXPECT_EQ(term->CommandComboBox->count(), 0);
    if (*c.message)
      EXPECT_EQ(boxes.texts, QStringList{QString::fromLatin1(c.message)});
    else
      EXPECT_TRUE(boxes.texts.isEmpty());
  }
  EXPECT_TRUE(peer.ReadQuiet(100).isEmpty());
}

TEST_F(TerminalWindow, ScrollbackDropsTheOldestLinesAndSavesHoldWhatIsShown) {
  qputenv("KX7391_TERMINAL_LINES", "5");
  auto *small = new TFormTerminal;
  qunsetenv("KX7391_TERMINAL_LINES");
  delete term;
  FormTerminal = term = small;
  EXPECT_EQ(term->ScrollbackLines(), 5);
  for (int i = 0; i < 20; ++i) Receive(QByteArray("line ") + QByteArray::number(i) + "\r\n");
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  EXPECT_EQ(Log(), QStringLiteral("line 16~\nline 17~\nline 18~\nline 19~\nVR~\n"));
  const QString path = dir.file(QStringLiteral("log.log"));
  AnswerSaveDialog(path);
  term->TxtLogSaveButtonClick();
  EXPECT_EQ(kxtest::ReadAll(path), QByteArray("line 16~\r\nline 17~\r\nline 18~\r\nline 19~\r\nVR~\r\n"));
  // Clear keeps the limit.
  term->ClearButtonClick();
  for (int i = 0; i < 8; ++i) Receive(QByteArray("again ") + QByteArray::number(i) + "\r");
  EXPECT_EQ(Log(), QStringLiteral("again 3~\nagain 4~\nagain 5~\nagain 6~\nagain 7~\n"));
}

TEST_F(TerminalWindow, ClearLeavesOneEmptyLineAndKeepsLineBufferAndHistory) {
  Receive("par");
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  term->ClearButtonClick();
  EXPECT_EQ(Log(), QStringLiteral("\n"));
  Receive("t\r");
  EXPECT_EQ(Log(), QStringLiteral("\npart~\n"));
  EXPECT_EQ(term->CommandComboBox->count(), 1);
}

TEST_F(TerminalWindow, ReceivedLinesScrollTheViewAlongAndAutoScrollFollowsSends) {
  term->show();
  QScrollBar *bar = term->RichEdit1->verticalScrollBar();
  const auto atBottom = [bar] { return bar->maximum() > 0 && bar->value() == bar->maximum(); };
  for (int i = 0; i < 200; ++i) {
    Receive(QByteArray("line ") + QByteArray::number(i) + "\r\n");
    if (i % 10 == 0) QCoreApplication::processEvents();  // the view lays out as lines come
  }
  term->TerminalRxFlush();
  EXPECT_TRUE(kxtest::WaitUntil(atBottom, std::chrono::seconds(5)))
      << bar->value() << " of " << bar->maximum();
  // A send is not followed unless Auto Scroll is ticked.
  bar->setValue(0);
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  EXPECT_EQ(bar->value(), 0);
  term->BottomScrollCheckBox->setChecked(true);
  term->SendButtonClick();
  EXPECT_TRUE(kxtest::WaitUntil(atBottom, std::chrono::seconds(5)))
      << bar->value() << " of " << bar->maximum();
}

TEST_F(TerminalWindow, FileChosenInTheDialogGoesIntoTheEdit) {
  const QString path = dir.file(QStringLiteral("cmd.txt"));
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  QTimer::singleShot(0, term, [this, path] {
    term->OpenDialog1->selectFile(path);
    static_cast<QDialog *>(term->OpenDialog1)->accept();
  });
  term->SendFileSelectButtonClick();
  EXPECT_EQ(QFileInfo(term->SendFileEdit->text()), QFileInfo(path));
  EXPECT_EQ(term->OpenDialog1->selectedNameFilter(), QStringLiteral("*.txt"));
  // Cancelled: the edit keeps its path.
  QTimer::singleShot(0, term, [this] { term->OpenDialog1->reject(); });
  term->SendFileSelectButtonClick();
  EXPECT_EQ(QFileInfo(term->SendFileEdit->text()), QFileInfo(path));
}

TEST_F(TerminalWindow, MarkerLooksDifferentFromATypedTilde) {
  const auto render = [](const QFont &font) {
    QImage img(40, 40, QImage::Format_RGB32);
    img.fill(Qt::white);
    QPainter p(&img);
    p.setFont(font);
    p.setPen(Qt::black);
    p.drawText(QRect(0, 0, 40, 40), Qt::AlignCenter, QStringLiteral("~"));
    return img;
  };
  const QImage marker = render(term->MarkerFont());
  EXPECT_NE(marker, render(term->LogFont()));
  EXPECT_NE(marker, render(QFont(QStringLiteral("DejaVu Sans"))));
  QImage blank(40, 40, QImage::Format_RGB32);
  blank.fill(Qt::white);
  EXPECT_NE(marker, blank);
}

TEST_F(TerminalWindow, TextSaveWritesTheMarkerAsTilde) {
  Receive("VER-C\r\xB0\r");
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  const QString path = dir.file(QStringLiteral("log.log"));
  AnswerSaveDialog(path);
  term->TxtLogSaveButtonClick();
  EXPECT_EQ(kxtest::ReadAll(path), QByteArray("\r\nVER-C~\r\n\xB0~\r\nVR~\r\n"));
  EXPECT_EQ(term->SaveDialog1->defaultSuffix(), QStringLiteral("log"));
  EXPECT_EQ(term->SaveDialog1->selectedNameFilter(), QStringLiteral("Text (*.txt *.log)"));
  // A cancelled dialog saves nothing.
  const QString other = dir.file(QStringLiteral("other.log"));
  AnswerSaveDialog(QString());
  term->TxtLogSaveButtonClick();
  EXPECT_FALSE(QFile::exists(other));
}

TEST_F(TerminalWindow, RtfSaveOpensInPandocWithTextMarkerAndColours) {
  Receive("VER-C 1.2 {x} \\ \xE9\r");
  Command(QStringLiteral("VR"));
  term->SendButtonClick();
  const QString path = dir.file(QStringLiteral("log.rtf"));
  AnswerSaveDialog(path);
  term->RtfLogSaveButtonClick();
  EXPECT_EQ(term->SaveDialog1->defaultSuffix(), QStringLiteral("rtf"));
  const QByteArray rtf = kxtest::ReadAll(path);
  ASSERT_TRUE(rtf.startsWith("{\\rtf1"));
  EXPECT_TRUE(rtf.contains("\\red255\\green0\\blue0;"));
  EXPECT_TRUE(rtf.contains("\\red0\\green0\\blue255;"));
  EXPECT_TRUE(rtf.contains("\\fcharset2 "));
  // Fonts named as readers look them up, Webdings among them for Windows readers.
  const QByteArray fontTable = rtf.mid(rtf.indexOf("{\\fonttbl"), rtf.indexOf("{\\colortbl") - rtf.indexOf("{\\fonttbl"));
  EXPECT_TRUE(fontTable.contains("Webdings")) << fontTable.toStdString();
  EXPECT_FALSE(fontTable.contains('[')) << fontTable.toStdString();

  kxtest::ChildProcess pandoc(QStringLiteral("pandoc"), {QStringLiteral("-f"), QStringLiteral("rtf"), QStringLiteral("-t"),
                                                        QStringLiteral("plain"), QStringLiteral("--wrap=none"), path});
  const QByteArray plain = pandoc.ReadOutput(30000, true);
  ASSERT_EQ(pandoc.Wait(30000), 0) << "pandoc failed (its messages are above)";
  const QStringList lines = QString::fromUtf8(plain).split(u'\n', Qt::SkipEmptyParts);
  // The marker as the window draws it: the Dingbats faces' heavy double comma
  // ornament, or the symbol font's own "~".
  const QString family = QFontInfo(term->MarkerFont()).family();
  const QString marker =
      family.startsWith(QStringLiteral("D050000L")) || family.startsWith(QStringLiteral("Dingbats"))
          ? QStringLiteral("\u275E")
          : QStringLiteral("~");
  EXPECT_TRUE(lines.contains(QStringLiteral("VER-C 1.2 {x} \\ \u00E9") + marker)) << lines.join(u'|').toStdString();
  EXPECT_TRUE(lines.contains(QStringLiteral("VR") + marker)) << lines.join(u'|').toStdString();
}

}  // namespace
