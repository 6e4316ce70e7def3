#include "terminal/UnitTerminal.h"

#include <QAbstractSlider>
#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontInfo>
#include <QGroupBox>
#include <QLineEdit>
#include <QRadioButton>
#include <QSaveFile>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextCursor>
#include <QTextDocument>
#include <QPlainTextEdit>

#include "comm/CommX.h"
#include "platform/Dialogs.h"
#include "platform/FileError.h"
#include "platform/Tick.h"
#include "terminal/LogWriter.h"
#include "terminal/TerminalRules.h"

TFormTerminal *FormTerminal = nullptr;
TTerminalLinks TerminalLinks;

const QColor TFormTerminal::kReceivedColour{255, 0, 0};
const QColor TFormTerminal::kSentColour{0, 0, 255};
const QColor TFormTerminal::kFileColour{0, 128, 128};
const QColor TFormTerminal::kNoteColour{128, 128, 128};

namespace {

using kx::terminal::DisplayMode;

constexpr int kClientWidth = 647;
constexpr int kClientHeight = 465;
constexpr int kPanelHeight = 121;
constexpr int kStatusHeight = 33;
constexpr int kLogFontPixels = 13;
const QString kMarker = QStringLiteral("~");
const QString kPortClosedNote = QStringLiteral("; COM port closed: nothing was sent");
// Bytes typed into the boot-mode dialogue would break an echo check or a block frame.
const QString kWriterHoldsNote = QStringLiteral("; The SH writer holds the port: nothing was sent");

template <typename W>
W *Place(W *w, int left, int top, int width, int height) {
  w->setGeometry(left, top, width, height);
  return w;
}

// "Terminal" where a system has it, otherwise the system's fixed-pitch font.
QFont FindLogFont() {
  QFont f = QFontDatabase::families().contains(QStringLiteral("Terminal"))
                ? QFont(QStringLiteral("Terminal"))
                : QFontDatabase::systemFont(QFontDatabase::FixedFont);
  f.setFixedPitch(true);
  f.setStyleHint(QFont::TypeWriter);
  f.setPixelSize(kLogFontPixels);
  return f;
}

// A symbol font in which "~" is a glyph of its own: Webdings where present,
// otherwise the Dingbats face of the URW fonts (there "~" is a heavy ornament).
// Font databases may add the foundry to a family's name ("D050000L [urw]"), so a
// font counts as present when the one it resolves to bears its name.
QString MarkerFamily() {
  for (const char *name : {"Webdings", "D050000L", "Dingbats"}) {
    const QString family = QLatin1String(name);
    if (QFontInfo(QFont(family)).family().startsWith(family)) return family;
  }
  return QString();
}

}  // namespace

TFormTerminal::TFormTerminal(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormTerminal"));
  setWindowTitle(QStringLiteral("FormTerminal"));
  setFont(kx::PixelFont(QStringLiteral("Tahoma"), 11));
  resize(kClientWidth, kClientHeight);

  logFont_ = FindLogFont();
  const QString marker = MarkerFamily();
  markerFont_ = marker.isEmpty() ? logFont_ : QFont(marker);
  markerFont_.setPixelSize(kLogFontPixels);
  receivedText_ = TextFormat(kReceivedColour);
  receivedMarker_ = MarkerFormat(kReceivedColour);

  BuildControls();
  FormCreate();
}

TFormTerminal::~TFormTerminal() = default;

void TFormTerminal::BuildControls() {
  Panel1 = Place(new QWidget(this), 0, 0, kClientWidth, kPanelHeight);

  // Top row: the port, the file and its sending.
  OpenButton = Place(new QPushButton(QStringLiteral("COM Open"), Panel1), 8, 8, 72, 25);
  CloseButton = Place(new QPushButton(QStringLiteral("COM Close"), Panel1), 84, 8, 72, 25);
  CloseButton->setEnabled(false);
  SendFileEdit = Place(new QLineEdit(Panel1), 164, 10, 170, 21);
  SendFileSelectButton = Place(new QPushButton(QStringLiteral("..."), Panel1), 336, 8, 24, 25);
  SendFileSelectButton->setFont(kx::PixelFont(QStringLiteral("Tahoma"), 16));
  FileSendStartButton = Place(new QPushButton(QStringLiteral("File Send"), Panel1), 364, 8, 70, 25);
  TimerSendButton = Place(new QPushButton(QStringLiteral("Timer Send Start"), Panel1), 442, 8, 110, 25);
  TimerSendTimeEdit = Place(new QLineEdit(QStringLiteral("120"), Panel1), 556, 10, 50, 21);
  Label1 = Place(new QLabel(QStringLiteral("Sec"), Panel1), 610, 13, 30, 15);

  // Middle row: the command line.
  CommandComboBox = Place(new QComboBox(Panel1), 8, 44, 540, 22);
  CommandComboBox->setEditable(true);
  CommandComboBox->setInsertPolicy(QComboBox::NoInsert);
  SendButton = Place(new QPushButton(QStringLiteral("Send"), Panel1), 556, 42, 83, 25);

  // Bottom row: display mode, log, and "Send HEX" under "Send".
  TerminalTypeRadioGroup = Place(new QGroupBox(QStringLiteral("TerminalType"), Panel1), 8, 70, 140, 44);
  TerminalTypeAscii = Place(new QRadioButton(QStringLiteral("ASCII"), TerminalTypeRadioGroup), 8, 18, 60, 20);
  TerminalTypeHex = Place(new QRadioButton(QStringLiteral("HEX"), TerminalTypeRadioGroup), 72, 18, 60, 20);
  auto *types = new QButtonGroup(TerminalTypeRadioGroup);
  types->addButton(TerminalTypeAscii, 0);
  types->addButton(TerminalTypeHex, 1);
  TerminalTypeAscii->setChecked(true);
  ClearButton = Place(new QPushButton(QStringLiteral("Clear"), Panel1), 156, 84, 60, 25);
  BottomScrollCheckBox = Place(new QCheckBox(QStringLiteral("Auto Scroll"), Panel1), 222, 88, 90, 17);
  TxtLogSaveButton = Place(new QPushButton(QStringLiteral("Txt Log Save"), Panel1), 318, 84, 90, 25);
  RtfLogSaveButton = Place(new QPushButton(QStringLiteral("Rtf Log Save"), Panel1), 412, 84, 90, 25);
  SendHEXButton = Place(new QPushButton(QStringLiteral("Send HEX"), Panel1), 556, 84, 83, 25);
  SetSendButtonsEnabled(false);

  RichEdit1 = Place(new QPlainTextEdit(this), 0, kPanelHeight, kClientWidth, kClientHeight - kPanelHeight - kStatusHeight);
  RichEdit1->setFont(logFont_);
  RichEdit1->setLineWrapMode(QPlainTextEdit::NoWrap);
  RichEdit1->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  RichEdit1->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  // A long session's log holds many thousands of lines: no undo history for them.
  RichEdit1->setUndoRedoEnabled(false);
  RichEdit1->document()->setDefaultFont(logFont_);
  // Scrollback: the oldest lines go first, and one more line is kept for the
  // current one.
  scrollbackLines_ = kx::terminal::ScrollbackLinesFromText(qEnvironmentVariable("KX7391_TERMINAL_LINES"));
  if (scrollbackLines_ > 0) RichEdit1->document()->setMaximumBlockCount(scrollbackLines_ + 1);

  StatusBar1 = Place(new QStatusBar(this), 0, kClientHeight - kStatusHeight, kClientWidth, kStatusHeight);
  StatusBar1->setSizeGripEnabled(false);

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setNameFilters({QStringLiteral("*.txt"), QStringLiteral("*.log"), QStringLiteral("All Files (*)")});
  SaveDialog1 = new QFileDialog(this);
  SaveDialog1->setOption(QFileDialog::DontUseNativeDialog);
  SaveDialog1->setFileMode(QFileDialog::AnyFile);
  SaveDialog1->setAcceptMode(QFileDialog::AcceptSave);
  SaveDialog1->setNameFilters(
      {QStringLiteral("RichText (*.rtf)"), QStringLiteral("Text (*.txt *.log)"), QStringLiteral("All File (*)")});

  rxFlushTimer_ = new QTimer(this);
  rxFlushTimer_->setSingleShot(true);
  rxFlushTimer_->setInterval(kRxFlushMs);
  connect(rxFlushTimer_, &QTimer::timeout, this, &TFormTerminal::TerminalRxFlush);

  SendTimer = new kx::TTimer(this);
  SendTimer->Tag = kx::terminal::kDefaultSendPeriod;

  const char *names[] = {"Panel1", "OpenButton", "CloseButton", "SendFileEdit", "SendFileSelectButton",
                         "FileSendStartButton", "TimerSendButton", "TimerSendTimeEdit", "Label1",
                         "CommandComboBox", "SendButton", "SendHEXButton", "TerminalTypeRadioGroup",
                         "ClearButton", "BottomScrollCheckBox", "TxtLogSaveButton", "RtfLogSaveButton",
                         "RichEdit1", "StatusBar1", "OpenDialog1", "SaveDialog1"};
  QWidget *widgets[] = {Panel1, OpenButton, CloseButton, SendFileEdit, SendFileSelectButton,
                        FileSendStartButton, TimerSendButton, TimerSendTimeEdit, Label1,
                        CommandComboBox, SendButton, SendHEXButton, TerminalTypeRadioGroup,
                        ClearButton, BottomScrollCheckBox, TxtLogSaveButton, RtfLogSaveButton,
                        RichEdit1, StatusBar1, OpenDialog1, SaveDialog1};
  for (size_t i = 0; i < std::size(names); ++i) widgets[i]->setObjectName(QLatin1String(names[i]));
  SendTimer->setObjectName(QStringLiteral("SendTimer"));

  connect(OpenButton, &QPushButton::clicked, this, &TFormTerminal::OpenButtonClick);
  connect(CloseButton, &QPushButton::clicked, this, &TFormTerminal::CloseButtonClick);
  connect(SendFileSelectButton, &QPushButton::clicked, this, &TFormTerminal::SendFileSelectButtonClick);
  connect(FileSendStartButton, &QPushButton::clicked, this, &TFormTerminal::FileSendStartButtonClick);
  connect(TimerSendButton, &QPushButton::clicked, this, &TFormTerminal::TimerSendButtonClick);
  connect(SendButton, &QPushButton::clicked, this, &TFormTerminal::SendButtonClick);
  connect(SendHEXButton, &QPushButton::clicked, this, &TFormTerminal::SendHEXButtonClick);
  connect(ClearButton, &QPushButton::clicked, this, &TFormTerminal::ClearButtonClick);
  connect(TxtLogSaveButton, &QPushButton::clicked, this, &TFormTerminal::TxtLogSaveButtonClick);
  connect(RtfLogSaveButton, &QPushButton::clicked, this, &TFormTerminal::RtfLogSaveButtonClick);
  connect(SendTimer, &QTimer::timeout, this, &TFormTerminal::SendTimerTimer);
  TimerSendTimeEdit->installEventFilter(this);
}

bool TFormTerminal::eventFilter(QObject *watched, QEvent *event) {
  if (watched == TimerSendTimeEdit && event->type() == QEvent::FocusOut) TimerSendTimeEditExit();
  return QWidget::eventFilter(watched, event);
}

int TFormTerminal::TerminalTypeItemIndex() const { return TerminalTypeHex->isChecked() ? 1 : 0; }

void TFormTerminal::SetTerminalTypeItemIndex(int index) {
  (index == 1 ? TerminalTypeHex : TerminalTypeAscii)->setChecked(true);
}

void TFormTerminal::SetSendButtonsEnabled(bool enabled) {
  for (QPushButton *b : {SendButton, SendHEXButton, FileSendStartButton, TimerSendButton}) b->setEnabled(enabled);
}

// ---- The log ----

QTextCharFormat TFormTerminal::TextFormat(const QColor &colour) const {
  QTextCharFormat f;
  f.setFont(logFont_, QTextCharFormat::FontPropertiesAll);
  f.setForeground(colour);
  return f;
}

QTextCharFormat TFormTerminal::MarkerFormat(const QColor &colour) const {
  QTextCharFormat f;
  f.setFont(markerFont_, QTextCharFormat::FontPropertiesAll);
  f.setForeground(colour);
  f.setProperty(kx::terminal::kMarkerProperty, true);
  return f;
}

void TFormTerminal::ScrollAfterEntry(int pages) {
  QScrollBar *bar = RichEdit1->verticalScrollBar();
  if (BottomScrollCheckBox->isChecked()) {
    bar->setValue(bar->maximum());
    return;
  }
  for (int i = 0; i < pages; ++i) bar->triggerAction(QAbstractSlider::SliderPageStepAdd);
}

// The terminal's own notes (begun with ";", so that "File Send" of a saved log does not
// send them) are lines of their own, without the end-of-line marker.
void TFormTerminal::Note(const QString &text) { InsertLineEntry(text, kNoteColour, false); }

// Received lines and file lines go in at the start of the current line, so a hex
// row still filling moves down below them.
void TFormTerminal::InsertLineEntry(const QString &text, const QColor &colour, bool marker) {
  TerminalRxFlush();
  QTextCursor c(RichEdit1->document());
  c.beginEditBlock();
  c.movePosition(QTextCursor::End);
  c.movePosition(QTextCursor::StartOfBlock);
  c.insertText(text, TextFormat(colour));
  if (marker) c.insertText(kMarker, MarkerFormat(colour));
  c.insertBlock();
  c.endEditBlock();
  ScrollAfterEntry();
}

// What the user sends goes at the end of the current line, without scrolling.
void TFormTerminal::AppendEntry(const QString &text, const QColor &colour) {
  TerminalRxFlush();
  QTextCursor c(RichEdit1->document());
  c.beginEditBlock();
  c.movePosition(QTextCursor::End);
  c.insertText(text, TextFormat(colour));
  c.insertText(kMarker, MarkerFormat(colour));
  c.insertBlock();
  c.endEditBlock();
  if (BottomScrollCheckBox->isChecked()) ScrollAfterEntry();
}

// Each change of a long log costs the text layout far more than a byte's time on
// the line, so received text is collected and written in one change per batch.
TFormTerminal::PendingOp &TFormTerminal::Pending(bool atLineStart) {
  if (pending_.empty() || pending_.back().atLineStart != atLineStart) pending_.push_back({atLineStart, {}});
  if (!rxFlushTimer_->isActive()) rxFlushTimer_->start();
  return pending_.back();
}

void TFormTerminal::ReceivedLine(const char *data, int size, bool ended) {
  PendingOp &op = Pending(true);
  op.runs.push_back({QString::fromLatin1(data, size), false, false});
  if (ended) op.runs.push_back({kMarker, true, false});
  op.runs.push_back({QString(), false, true});
  ++pendingPages_;
}

void TFormTerminal::HexByte(std::uint8_t d, bool rowEnd) {
  static const char digits[] = "0123456789ABCDEF";
  PendingOp &op = Pending(false);
  if (op.runs.empty() || op.runs.back().marker || op.runs.back().lineBreak) op.runs.push_back({});
  QString &text = op.runs.back().text;
  text += QLatin1Char(digits[d >> 4]);
  text += QLatin1Char(digits[d & 0x0F]);
  text += QLatin1Char(' ');
  if (rowEnd) {
    op.runs.push_back({QString(), false, true});
    ++pendingPages_;
  }
}

void TFormTerminal::TerminalRxFlush() {
  rxFlushTimer_->stop();
  if (pending_.empty()) return;
  QTextCursor c(RichEdit1->document());
  c.beginEditBlock();
  for (const PendingOp &op : pending_) {
    c.movePosition(QTextCursor::End);
    if (op.atLineStart) c.movePosition(QTextCursor::StartOfBlock);
    for (const PendingRun &run : op.runs) {
      if (run.lineBreak)
        c.insertBlock();
      else
        c.insertText(run.text, run.marker ? receivedMarker_ : receivedText_);
    }
  }
  c.endEditBlock();
  pending_.clear();
  const int pages = pendingPages_;
  pendingPages_ = 0;
  if (pages > 0 || BottomScrollCheckBox->isChecked()) ScrollAfterEntry(pages);
}

void TFormTerminal::TerminalRx_1byte(std::uint8_t d) {
  rx_.Feed(d, TerminalTypeItemIndex() == 1 ? DisplayMode::Hex : DisplayMode::Ascii, *this);
}

void TFormTerminal::TerminalRx_1byteHex(std::uint8_t d) { rx_.ShowHex(d, *this); }

void TFormTerminal::TerminalRxBufClear() { rx_.ClearLine(); }

void TFormTerminal::FormCreate() { ClearButtonClick(); }

void TFormTerminal::ClearButtonClick() {
  TerminalRxFlush();
  RichEdit1->clear();
  QTextCursor c(RichEdit1->document());
  c.insertBlock();
  RichEdit1->moveCursor(QTextCursor::Start);
}

// ---- Sending ----

void TFormTerminal::UpdateHistory(const QString &command) {
  QStringList items;
  for (int i = 0; i < CommandComboBox->count(); ++i) items.append(CommandComboBox->itemText(i));
  items = kx::terminal::UpdatedHistory(items, command);
  CommandComboBox->clear();
  CommandComboBox->addItems(items);
  CommandComboBox->setCurrentIndex(0);
}

bool TFormTerminal::SendRefused() {
  if (WriteHoldsPort()) {
    Note(kWriterHoldsNote);
    return true;
  }
  if (!PortIsOpen()) {
    Note(kPortClosedNote);
    return true;
  }
  return false;
}

void TFormTerminal::SendButtonClick() {
  const QString command = CommandComboBox->currentText();
  if (SendRefused()) return;
  if (TerminalTypeItemIndex() == 1) {
    TerminalRxFlush();
    QTextCursor c(RichEdit1->document());
    c.movePosition(QTextCursor::End);
    c.insertBlock();
  }
  AppendEntry(command, kSentColour);
  rx_.ResetHexColumn();
  if (TCommX *port = Port()) port->TransString(command.toLatin1());
  Transmit(QByteArrayLiteral("\r\n"));
  UpdateHistory(command);
}

void TFormTerminal::SendHEXButtonClick() {
  using Status = kx::terminal::HexCommand::Status;
  const QString command = CommandComboBox->currentText();
  const kx::terminal::HexCommand parsed = kx::terminal::ParseHexCommand(command);
  switch (parsed.status) {
    case Status::Ok:
      break;
    case Status::TooLong:
    case Status::TooManyBytes:
      kx::MessageBox(this, QStringLiteral("Send HEX takes at most %1 characters and %2 bytes. Nothing was sent.")
                               .arg(kx::terminal::HexCommand::kMaxChars)
                               .arg(kx::terminal::HexCommand::kMaxBytes));
      return;
    case Status::Invalid:
      kx::MessageBox(this, QStringLiteral("Send HEX does not understand \"%1\": \"%2\" is not a hex digit, space or "
                                          "TAB. Nothing was sent.")
                               .arg(command, command.mid(parsed.invalidAt, 1)));
      return;
    case Status::NoBytes:
      return;
  }
  if (SendRefused()) return;
  AppendEntry(command, kSentColour);
  rx_.ResetHexColumn();
  Transmit(parsed.bytes);
  UpdateHistory(command);
}

// ---- Saving the log ----

bool TFormTerminal::RunSaveDialog(int filterIndex, const QString &suffix, QString *path) {
  const QStringList filters = SaveDialog1->nameFilters();
  SaveDialog1->selectNameFilter(filters.value(filterIndex - 1));
  SaveDialog1->setDefaultSuffix(suffix);
  if (SaveDialog1->exec() != QDialog::Accepted) return false;
  *path = SaveDialog1->selectedFiles().value(0);
  return !path->isEmpty();
}

void TFormTerminal::WriteFile(const QString &path, const QByteArray &data) {
  QSaveFile f(path);
  if (!f.open(QIODevice::WriteOnly) || f.write(data) != data.size() || !f.commit())
    throw kx::EFileError(QStringLiteral("Cannot write \"%1\": %2").arg(path, f.errorString()));
}

void TFormTerminal::TxtLogSaveButtonClick() {
  QString path;
  if (!RunSaveDialog(2, QStringLiteral("log"), &path)) return;
  TerminalRxFlush();
  WriteFile(path, kx::terminal::PlainTextLog(*RichEdit1->document()));
}

void TFormTerminal::RtfLogSaveButtonClick() {
  QString path;
  if (!RunSaveDialog(1, QStringLiteral("rtf"), &path)) return;
  TerminalRxFlush();
  kx::terminal::RtfFonts fonts;
  fonts.text = QFontInfo(logFont_).family();
  fonts.symbol = QFontInfo(markerFont_).family();
  if (!fonts.symbol.startsWith(QLatin1String("Webdings"))) fonts.symbolAlternative = QStringLiteral("Webdings");
  // The Dingbats faces draw "~" as the heavy double comma ornament.
  if (fonts.symbol.startsWith(QLatin1String("D050000L")) || fonts.symbol.startsWith(QLatin1String("Dingbats")))
    fonts.markerUnicode = 0x275E;
  fonts.halfPoints = qRound(kLogFontPixels * 72.0 / 96.0 * 2.0);
  WriteFile(path, kx::terminal::RtfLog(*RichEdit1->document(), fonts));
}

// ---- Sending files ----

void TFormTerminal::SendFileSelectButtonClick() {
  OpenDialog1->selectNameFilter(OpenDialog1->nameFilters().value(0));
  if (OpenDialog1->exec() != QDialog::Accepted) return;
  const QString path = OpenDialog1->selectedFiles().value(0);
  if (!path.isEmpty()) SendFileEdit->setText(path);
}

void TFormTerminal::FileSendStartButtonClick() { SendFile(false); }

void TFormTerminal::SendFile(bool timed) {
  const QString path = SendFileEdit->text();
  if (!QFileInfo(path).isFile()) return;
  QFile f(path);
  if (!f.open(QIODevice::ReadOnly)) throw kx::EFileError(QStringLiteral("Cannot open \"%1\": %2").arg(path, f.errorString()));
  const QByteArray content = f.readAll();
  if (f.error() != QFileDevice::NoError)
    throw kx::EFileError(QStringLiteral("Cannot read \"%1\": %2").arg(path, f.errorString()));
  f.close();
  if (SendRefused()) return;
  // This sending keeps its own lines: a timer tick during the pause below may start
  // another sending of the file, after which this one goes on where it stopped.
  // It ends when the port is closed or another user takes it during a pause.
  const int epoch = portEpoch_;
  const std::vector<kx::terminal::FileLine> lines = kx::terminal::SplitSendFile(content);
  for (const kx::terminal::FileLine &line : lines) {
    if (epoch != portEpoch_ || !PortIsOpen()) {
      // A timed sending's stop has its note already.
      if (!timed)
        Note(QStringLiteral("; File Send stopped: %1")
                      .arg(epoch != portEpoch_ ? portEpochReason_ : QStringLiteral("the COM port is closed")));
      return;
    }
    if (line.send) Transmit(line.text + QByteArrayLiteral("\r\n"));
    InsertLineEntry(QString::fromLatin1(line.text), kFileColour);
    kx::Sleep(100);
    QCoreApplication::processEvents();
  }
}

void TFormTerminal::TimerSendTimeEditExit() {
  const int period = kx::terminal::SendPeriodFromText(TimerSendTimeEdit->text());
  TimerSendTimeEdit->setText(QString::number(period));
  SendTimer->Tag = period;
}

void TFormTerminal::TimerSendButtonClick() {
  if (SendTimer->isActive())
    TimerSendStop();
  else
    TimerSendStart();
}

void TFormTerminal::TimerSendStart() {
  if (!QFileInfo(SendFileEdit->text()).isFile()) return;
  if (const QString run = RunHoldingPort(); !run.isEmpty()) {
    Note(QStringLiteral("; Timer Send not started: %1 holds the port").arg(run));
    return;
  }
  if (!PortIsOpen()) {
    Note(QStringLiteral("; Timer Send not started: the COM port is closed"));
    return;
  }
  TimerSendButton->setText(QStringLiteral("Timer Send End"));
  SendTimer->start(1);
}

void TFormTerminal::TimerSendStop() {
  TimerSendButton->setText(QStringLiteral("Timer Send Start"));
  SendTimer->stop();
}

void TFormTerminal::StopTimedSending(const QString &reason) {
  if (!SendTimer->isActive()) return;
  TimerSendStop();
  Note(QStringLiteral("; Timer Send stopped: %1").arg(reason));
}

void TFormTerminal::PortTakenBy(const QString &user) {
  const QString reason = QStringLiteral("%1 takes the port").arg(user);
  ++portEpoch_;
  portEpochReason_ = reason;
  StopTimedSending(reason);
}

void TFormTerminal::SendTimerTimer() {
  SendTimer->setInterval(SendTimer->Tag * 1000);
  // Sent only into the terminal's own dialogue on an open port.
  if (const QString run = RunHoldingPort(); !run.isEmpty()) {
    StopTimedSending(QStringLiteral("%1 holds the port").arg(run));
    return;
  }
  if (!PortIsOpen()) {
    StopTimedSending(QStringLiteral("the COM port is closed"));
    return;
  }
  try {
    SendFile(true);
  } catch (const kx::EFileError &) {
    // Stopped before the error box, so that its event loop starts no further tick.
    StopTimedSending(QStringLiteral("the file cannot be read"));
    throw;
  }
}

// ---- The port ----

TCommX *TFormTerminal::Port() { return TerminalLinks.port; }

bool TFormTerminal::WriteHoldsPort() { return TerminalLinks.writeHoldsPort && TerminalLinks.writeHoldsPort(); }

bool TFormTerminal::CheckRunning() { return TerminalLinks.checkRunning && TerminalLinks.checkRunning(); }

bool TFormTerminal::PortIsOpen() {
  const TCommX *port = Port();
  return port && port->IsOpen();
}

QString TFormTerminal::RunHoldingPort() {
  if (WriteHoldsPort()) return QStringLiteral("the SH writer");
  if (CheckRunning()) return QStringLiteral("the version check");
  return QString();
}

void TFormTerminal::OpenButtonClick() {
  // The version check opens the port through here, its flag already set.
  // The writer's frames would meet the terminal's settings and bytes mid-flash.
  if (WriteHoldsPort()) {
    kx::MessageBox(this, QStringLiteral("COM Open is not possible while an SH write is running. "
                                        "Wait for the write to end, or abort it in the writer's window."));
    return;
  }
  if (CheckRunning()) PortTakenBy(QStringLiteral("the version check"));
  OpenButton->setEnabled(false);
  CloseButton->setEnabled(true);
  TCommX *port = Port();
  if (!port) return;
  // Whoever holds the port (the version check, the writer) gives it up first.
  if (port->Tag != 0) {
    port->PortClose();
    port->Tag = 0;
    kx::Sleep(200);
  }
  port->SetStopBit(csb1);
  port->SetBitRate(115200);
  port->SetFlowCtrl(cfcNone);
  // On failure the error goes to the caller; the buttons stay as they are, so
  // that "COM Close" brings everything back.
  port->PortOpen();
  port->Tag = port->PortNo();
  kx::Sleep(500);
  SetSendButtonsEnabled(true);
}

void TFormTerminal::CloseButtonClick() {
  // The writer's blocks and their echoes would break off mid-flash.
  if (WriteHoldsPort()) {
    kx::MessageBox(this, QStringLiteral("COM Close is not possible while an SH write is running. "
                                        "Wait for the write to end, or abort it in the writer's window."));
    return;
  }
  ++portEpoch_;
  portEpochReason_ = QStringLiteral("COM Close");
  StopTimedSending(QStringLiteral("COM Close"));
  kx::Sleep(500);
  if (TCommX *port = Port()) {
    port->PortClose();
    port->Tag = 0;
  }
  CloseButton->setEnabled(false);
  OpenButton->setEnabled(true);
  SetSendButtonsEnabled(false);
}

void TFormTerminal::TerminalDisconnect(const QString &message) {
  InsertLineEntry(message, palette().color(QPalette::WindowText), false);
  ++portEpoch_;
  portEpochReason_ = QStringLiteral("the COM port was disconnected");
  StopTimedSending(portEpochReason_);
  // Unlike "COM Close" there is no line left to wait for.
  if (TCommX *port = Port()) port->Tag = 0;
  CloseButton->setEnabled(false);
  OpenButton->setEnabled(true);
  SetSendButtonsEnabled(false);
}

bool TFormTerminal::Transmit(const QByteArray &bytes) {
  TCommX *port = Port();
  return port && port->TransBlock(bytes.constData(), static_cast<int>(bytes.size()));
}
