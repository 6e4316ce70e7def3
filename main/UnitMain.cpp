#include "main/UnitMain.h"

#include <cstring>

#include <QCloseEvent>
#include <QFocusEvent>
#include <algorithm>
#include <QApplication>
#include <QCoreApplication>
#include <QComboBox>
#include <QFileInfo>
#include <QKeyEvent>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QThread>
#include <QTimer>

#include "comm/CommX.h"
#include "main/UpdatePlan.h"
#include "main/Wiring.h"
#include "platform/Dialogs.h"
#include "platform/serial/PortMap.h"

TFormMain *FormMain = nullptr;
TMainLinks MainLinks;

using kx::PixelFont;
namespace colors = kx::colors;

namespace {
const QString kTahoma = QStringLiteral("Tahoma");
constexpr int kBigFont = 21;
constexpr int kVersionFont = 15;

template <typename W>
W *Place(W *w, int left, int top, int width = -1, int height = -1) {
  if (width < 0) {
    w->adjustSize();
    w->move(left, top);
  } else {
    w->setGeometry(left, top, width, height < 0 ? w->sizeHint().height() : height);
  }
  return w;
}

}  // namespace

QString TFormMain::ProductCaption() { return QStringLiteral("KX7391Updater  (Nov. 2025 Fixed)"); }

TFormMain::TFormMain(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormMain"));
  setWindowTitle(ProductCaption());
  setFont(PixelFont(kTahoma, 13));
  resize(503, 418);
  move(0, 0);
  BuildControls();
  // A failed save interrupts nothing: its box is shown after the handler under way.
  log_.saveFailed = [](const QString &message) {
    if (QThread::currentThread()->loopLevel() > 0)
      QTimer::singleShot(0, QCoreApplication::instance(), [message] { kx::ErrorBox(message); });
    else
      kx::ErrorBox(message);
  };
  // The same for a row of the record file: the row is kept and goes with the next one.
  writeRecords_.failed = [this](const QString &message) {
    LogFileAdd(message);
    if (QThread::currentThread()->loopLevel() > 0)
      QTimer::singleShot(0, QCoreApplication::instance(), [message] { kx::ErrorBox(message); });
    else
      kx::ErrorBox(message);
  };
  kx::WireWindows(*this);
  InstallPortListeners();
}

TFormMain::~TFormMain() = default;

void TFormMain::BuildControls() {
  const QFont big = PixelFont(kTahoma, kBigFont);
  const QFont version = PixelFont(kTahoma, kVersionFont);

  Step01Label = kx::WrappedLabel(new QLabel(QStringLiteral("Step 1 :  Connect PC to Receiver's AUX1(RS-232C)."), this), 8, 8, 470, 31);
  Step02Label = Place(new QLabel(QStringLiteral("Step 2 :  Enter Receiver's Serial Number."), this), 8, 48);
  SerialNumberEdit = Place(new QLineEdit(this), 262, 38, 123, 33);
  SerialNumberEdit->setFont(big);
  Step03Label = new kx::TClickLabel(QStringLiteral("Step 3 :  Power on via rear switch. Wait 10 sec."), this);
  kx::WrappedLabel(Step03Label, 8, 77, 470, 32);
  Step04Label = kx::WrappedLabel(new QLabel(QStringLiteral("Step 4 :  Click [COM Search] , select COM port."), this), 8, 103, 403, 34);
  ComSearchButton = Place(new QPushButton(QStringLiteral("COM Search"), this), 48, 132, 105, 25);
  Label1 = Place(new QLabel(QStringLiteral("COM:"), this), 180, 135);
  ComPortComboBox = new QComboBox(this);
  ComPortComboBox->setEditable(false);
  ComPortComboBox->setGeometry(218, 134, 260, ComPortComboBox->sizeHint().height());
  Step05Label = kx::WrappedLabel(new QLabel(QStringLiteral("Step 5 :  Click [VersionCheck] ."), this), 8, 164, 403, 34);
  ConnectTestBitBtn = Place(new kx::TButton(QStringLiteral("VersionCheck"), this), 120, 196, 169, 41);
  ConnectTestBitBtn->setFont(big);
  AbortButton = Place(new QPushButton(QStringLiteral("Abort"), this), 307, 212, 65, 17);
  AbortButton->setEnabled(false);
  Memo1 = Place(new QPlainTextEdit(this), 295, 164, 225, 83);
  Memo1->setLineWrapMode(QPlainTextEdit::NoWrap);
  Memo1->hide();
  MainVerLabel = Place(new QLabel(this), 16, 255);
  DecorderVerLabel = Place(new QLabel(this), 143, 255);
  PanelVerLabel = Place(new QLabel(this), 259, 255);
  DigiDecVerLabel = Place(new QLabel(this), 383, 255);
  for (QLabel *l : {MainVerLabel, DecorderVerLabel, PanelVerLabel, DigiDecVerLabel}) {
    l->setFont(version);
    l->setMinimumWidth(120);
  }
  DigiDecVerLabel->hide();
  DigiDecCoutionLabel = kx::WrappedLabel(new QLabel(QStringLiteral("Always update DigiDec!"), this), 392, 248, 87, 32);
  DigiDecCoutionLabel->hide();
  MainBoardBitBtn = Place(new kx::TButton(QStringLiteral("MainBoard"), this), 16, 280, 121, 73);
  DecoderBitBtn = Place(new kx::TButton(QStringLiteral("Decoder"), this), 143, 280, 113, 73);
  PanelBitBtn = Place(new kx::TButton(QStringLiteral("Panel"), this), 262, 280, 110, 73);
  DigiDecBitBtn = Place(new kx::TButton(QStringLiteral("DigiDec"), this), 383, 280, 112, 73);
  for (kx::TButton *b : {MainBoardBitBtn, DecoderBitBtn, PanelBitBtn, DigiDecBitBtn}) {
    b->setFont(big);
    b->setEnabled(false);
  }
  ColorClearButton = Place(new QPushButton(QStringLiteral("Clear Button Color"), this), 16, 383, 123, 27);
  ColorClearButton->setEnabled(false);
  TerminalButton = Place(new QPushButton(QStringLiteral("Terminal"), this), 145, 385, 101, 25);
  TerminalButton->hide();
  CommX1 = new TCommX(this);
  CommX1->setObjectName(QStringLiteral("CommX1"));
  CommX1->SetFlowCtrl(cfcNone);
  VersionDialogue1 = new kx::VersionDialogue(
      *CommX1, *this, {[this](const QString &t) { LogFileAdd(t); }, [this] { LogFileSave(3); }}, this);
  ConnectTestTimer = VersionDialogue1->Timer();
  CommX1->OnReceive = [this](QObject *sender, int size) { CommX1Receive(sender, size); };
  CommX1->OnDisconnect = [this](QObject *sender) { CommX1Disconnect(sender); };

  const char *names[] = {"Step01Label", "Step02Label", "SerialNumberEdit", "Step03Label", "Step04Label",
                         "ComSearchButton", "Label1", "ComPortComboBox", "Step05Label", "ConnectTestBitBtn",
                         "AbortButton", "Memo1", "MainVerLabel", "DecorderVerLabel", "PanelVerLabel",
                         "DigiDecVerLabel", "DigiDecCoutionLabel", "MainBoardBitBtn", "DecoderBitBtn",
                         "PanelBitBtn", "DigiDecBitBtn", "ColorClearButton", "TerminalButton"};
  QWidget *widgets[] = {Step01Label, Step02Label, SerialNumberEdit, Step03Label, Step04Label, ComSearchButton,
                        Label1, ComPortComboBox, Step05Label, ConnectTestBitBtn, AbortButton, Memo1,
                        MainVerLabel, DecorderVerLabel, PanelVerLabel, DigiDecVerLabel, DigiDecCoutionLabel,
                        MainBoardBitBtn, DecoderBitBtn, PanelBitBtn, DigiDecBitBtn, ColorClearButton,
                        TerminalButton};
  for (size_t i = 0; i < std::size(names); ++i) widgets[i]->setObjectName(QLatin1String(names[i]));
  ConnectTestTimer->setObjectName(QStringLiteral("ConnectTestTimer"));

  // Focus order; labels take no focus.
  for (QLabel *w : {Step01Label, Step02Label, static_cast<QLabel *>(Step03Label), Step04Label, Label1, Step05Label,
                     MainVerLabel, DecorderVerLabel, PanelVerLabel, DigiDecVerLabel, DigiDecCoutionLabel})
    w->setFocusPolicy(Qt::NoFocus);
  QWidget *order[] = {ComPortComboBox, Memo1, ComSearchButton, TerminalButton, ColorClearButton, MainBoardBitBtn,
                      DecoderBitBtn, PanelBitBtn, DigiDecBitBtn, ConnectTestBitBtn, AbortButton, SerialNumberEdit};
  for (size_t i = 0; i + 1 < std::size(order); ++i) setTabOrder(order[i], order[i + 1]);
  ComPortComboBox->setFocus();

  connect(Step03Label, &kx::TClickLabel::clicked, this, &TFormMain::Step03LabelClick);
  connect(ColorClearButton, &QPushButton::clicked, this, &TFormMain::ColorClearButtonClick);
  connect(TerminalButton, &QPushButton::clicked, this, &TFormMain::TerminalButtonClick);
  connect(MainBoardBitBtn, &QPushButton::clicked, this, &TFormMain::MainBoardBitBtnClick);
  connect(DecoderBitBtn, &QPushButton::clicked, this, &TFormMain::DecoderBitBtnClick);
  connect(PanelBitBtn, &QPushButton::clicked, this, &TFormMain::PanelBitBtnClick);
  connect(DigiDecBitBtn, &QPushButton::clicked, this, &TFormMain::DigiDecBitBtnClick);
  SerialNumberEdit->installEventFilter(this);
  ConnectTestBitBtn->installEventFilter(this);
  connect(ComSearchButton, &QPushButton::clicked, this, &TFormMain::ComSearchButtonClick);
  connect(ConnectTestBitBtn, &QPushButton::clicked, this, &TFormMain::ConnectTestBitBtnClick);
  connect(AbortButton, &QPushButton::clicked, this, &TFormMain::AbortButtonClick);
  connect(VersionDialogue1, &kx::VersionDialogue::GaveUp, this, &TFormMain::ConnectTestGiveUp);
  // A pick by the user only: a selection made by code does not count as a change.
  connect(ComPortComboBox, &QComboBox::activated, this, &TFormMain::ComPortComboBoxChange);
}

void TFormMain::InstallPortListeners() {
  // In this order, one entry per listening window: the SH writer while its run is in
  // progress, the terminal while its "COM Close" is enabled, the version check while
  // ConnectTestBitBtn->Tag != 0.
  const auto call = [](const auto &f) { return f && f(); };
  PortListeners = {
      {[call] { return call(MainLinks.writerRunning); },
       [](std::uint8_t d) {
         if (MainLinks.writerReceive) MainLinks.writerReceive(d);
       }},
      {[call] { return call(MainLinks.terminalListening); },
       [](std::uint8_t d) {
         if (MainLinks.terminalReceive) MainLinks.terminalReceive(d);
       }},
      {[this] { return ConnectTestBitBtn->Tag != 0; }, [this](std::uint8_t d) { ConnectTestCommReceive(d); }},
  };
}

void TFormMain::LogFileAdd(const QString &text) { log_.Add(text); }
void TFormMain::LogFileSave(int which) { log_.Save(which); }
void TFormMain::LogFileOpen(int which) { log_.Open(which); }

void TFormMain::RecordWrite(const kx::WriteRecord &record) {
  writeRecords_.Append(record);
  // The line the next look at this receiver's log reads its last write from.
  LogFileAdd(kx::WriteRecordLogLine(record));
  LogFileSave(3);
}

void TFormMain::ReportInterruptedWrite(const QString &serial) {
  const kx::InterruptedWriteLook look = kx::LookForInterruptedWriteOf(serial);
  if (!look.error.isEmpty()) {
    // The log's own save reports that it cannot be used; the look only says what it missed.
    LogFileAdd(QStringLiteral("The last write of ") + serial + QStringLiteral(" could not be looked up: ") +
               look.error);
    LogFileSave(3);
    return;
  }
  if (!look.interrupted) return;
  const QString message = kx::InterruptedWriteMessage(*look.interrupted);
  LogFileAdd(message);
  LogFileSave(3);
  kx::MessageBox(this, message);
}

void TFormMain::FormCreate() {
  LogFileOpen(kx::OperationLog::kMain);
  LogFileAdd(QString());
  LogFileAdd(QStringLiteral("===== ") + ProductCaption() + QStringLiteral(" ====="));
  MakeExeAndA57();
  // The unrestricted mode: a marker file in the working directory, tested by existence only.
  if (QFileInfo::exists(QStringLiteral("KX7391Updater_old.txt"))) {
    RestrictedType = 0;
    setWindowTitle(windowTitle() + QStringLiteral(" ."));
  } else {
    RestrictedType = 1;
  }
  ComSearchButtonClick();
  if (RestrictedType == 0) {
    MainBoardBitBtn->setEnabled(true);
    DecoderBitBtn->setEnabled(true);
    PanelBitBtn->setEnabled(true);
  }
}

void TFormMain::FormDestroy() {
  if (destroyed_) return;
  destroyed_ = true;
  LogFileAdd(QStringLiteral("===== KX7391Updater.exe Close ====="));
  LogFileSave(3);
}

bool TFormMain::FormCloseQuery() {
  if (MainLinks.digiDecRunning && MainLinks.digiDecRunning()) {
    // The DigiDec window refuses while its tool shows signs of life (and logs it), and
    // asks once it has hung.
    return MainLinks.digiDecAllowsClose && MainLinks.digiDecAllowsClose(this);
  }
  if (MainLinks.writerRunning && MainLinks.writerRunning()) {
    LogFileAdd(QStringLiteral("FormMain close asked during an SH write"));
    LogFileSave(3);
    if (!kx::AskYesNo(this, QStringLiteral("An SH write is running. Closing KX7391Updater aborts it and leaves the "
                                           "board unwritten.\n\nAbort the write and close?"))) {
      LogFileAdd(QStringLiteral("FormMain not closed: the SH write goes on"));
      LogFileSave(3);
      return false;
    }
    // Exactly what the Abort button does, its log lines and colours included.
    if (MainLinks.writerAbort) MainLinks.writerAbort();
  }
  return true;
}

void TFormMain::TerminationRequested() {
  LogFileAdd(QStringLiteral("Termination signal received"));
  LogFileSave(3);
  // The system is going down: a run ends as the close question's Yes ends it.
  if (MainLinks.writerRunning && MainLinks.writerRunning() && MainLinks.writerAbort) MainLinks.writerAbort();
  if (MainLinks.digiDecRunning && MainLinks.digiDecRunning() && MainLinks.digiDecShutdown) MainLinks.digiDecShutdown();
  close();
}

void TFormMain::closeEvent(QCloseEvent *event) {
  // Refused unless the query allows it, also when the query itself fails.
  event->ignore();
  if (FormCloseQuery()) {
    // A number typed but not yet left counts as entered when the window closes; a
    // number the log refuses is shown, and the window closes all the same.
    try {
      SerialNumberEditExit();
    } catch (const std::exception &e) {
      kx::ErrorBox(QString::fromUtf8(e.what()));
    }
    event->accept();
    QCoreApplication::quit();
  }
}

void TFormMain::ColorClearButtonClick() {
  // The board being written keeps its colour until its run ends.
  const int running = MainLinks.writerBoard ? MainLinks.writerBoard() : -1;
  kx::TButton *buttons[] = {MainBoardBitBtn, DecoderBitBtn, PanelBitBtn, DigiDecBitBtn};
  for (int board = 0; board < 4; ++board) {
    if (board == running) continue;
    if (board == kx::kDigiDec && MainLinks.digiDecRunning && MainLinks.digiDecRunning()) continue;
    buttons[board]->SetFontColor(colors::WindowText());
  }
}

void TFormMain::Step03LabelClick() {
  ConnectTestBitBtn->SetFontColor(colors::Green);
  MainBoardBitBtn->setEnabled(true);
  DecoderBitBtn->setEnabled(true);
  PanelBitBtn->setEnabled(true);
  ColorClearButton->setEnabled(true);
  ColorClearButtonClick();
}

void TFormMain::TerminalButtonClick() {
  if (MainLinks.terminalShow) MainLinks.terminalShow(ComPortComboBox->currentText());
}

bool TFormMain::eventFilter(QObject *watched, QEvent *event) {
  if (watched == SerialNumberEdit && event->type() == QEvent::FocusOut) {
    // Only a move to another control of this window takes the number. A focus lost to
    // another application, a popup or a message box leaves the number being typed.
    switch (static_cast<QFocusEvent *>(event)->reason()) {
      case Qt::MouseFocusReason:
      case Qt::TabFocusReason:
      case Qt::BacktabFocusReason:
      case Qt::ShortcutFocusReason:
        if (const QWidget *next = QApplication::focusWidget(); next && next->window() == this) SerialNumberEditExit();
        break;
      case Qt::ActiveWindowFocusReason:
        // Going on to another of the updater's windows (a writer, the terminal) takes
        // the number as a move inside this window does; another program does not.
        if (const QWidget *active = QApplication::activeWindow();
            active && active != this && MainLinks.isUpdaterWindow && MainLinks.isUpdaterWindow(active))
          SerialNumberEditExit();
        break;
      default: break;
    }
  } else if (watched == ConnectTestBitBtn && event->type() == QEvent::KeyPress) {
    const QString text = static_cast<QKeyEvent *>(event)->text();
    if (text.size() == 1 && text[0].isPrint()) ConnectTestBitBtnKeyPress(text[0]);
  }
  return QWidget::eventFilter(watched, event);
}

void TFormMain::SerialNumberEditExit() {
  const QString serial = SerialNumberEdit->text();
  if (serial == Receiver.SerialNumber()) return;
  // A run's lines and its end belong to the receiver it started for.
  if (const QString refusal = Receiver.SerialChangeRefusal(); !refusal.isEmpty()) {
    SerialNumberEdit->setText(Receiver.SerialNumber());
    LogFileAdd(QStringLiteral("SerialNumber change to ") + serial + QStringLiteral(" refused: ") +
               kx::ReceiverContext::RunName(Receiver.Run()) + QStringLiteral(" is in progress"));
    LogFileSave(3);
    kx::MessageBox(this, refusal);
    return;
  }
  log_.ChangeSerialNumber(serial);
  Receiver.TakeSerialNumber(serial);
  DigiDecBitBtn->setEnabled(kx::ReceiverContext::DigiDecWritable(serial));
  ConnectTestBitBtn->SetFontColor(colors::WindowText());
  for (kx::TButton *b : {MainBoardBitBtn, DecoderBitBtn, PanelBitBtn, DigiDecBitBtn})
    b->SetFontColor(colors::WindowText());
  for (QLabel *l : {MainVerLabel, DecorderVerLabel, PanelVerLabel, DigiDecVerLabel}) l->clear();
  LogFileSave(3);
  ReportInterruptedWrite(serial);
}

void TFormMain::ConnectTestBitBtnKeyPress(QChar key) {
  if (key != u'C') return;
  LogFileAdd(QStringLiteral("Emagency Return to Write enable."));
  LogFileSave(3);
  // From here on the same as the click on the text of step 3.
  Step03LabelClick();
}

namespace {
QColor DecisionColor(int decision) {
  switch (decision) {
    case 1: return colors::Fuchsia;
    case 2: return colors::Green;
    case 3: return colors::WindowText();
    default: return colors::GrayText();
  }
}
}  // namespace

void TFormMain::EvaluateVersions(const kx::VersionAnswer &answer) {
  const kx::PlanResult &plan = Receiver.AcceptAnswer(answer);
  if (plan.otherModel) {
    for (const QString &l : plan.logLines) LogFileAdd(l);
    kx::MessageBox(this, QStringLiteral("Receiver is NOT KX-7391D !"));
    for (kx::TButton *b : {MainBoardBitBtn, DecoderBitBtn, PanelBitBtn}) {
      b->setEnabled(RestrictedType == 0);
      b->SetFontColor(colors::GrayText());
    }
    DigiDecBitBtn->SetFontColor(colors::GrayText());
    return;
  }
  kx::TButton *buttons[] = {MainBoardBitBtn, DecoderBitBtn, PanelBitBtn};
  QLabel *labels[] = {MainVerLabel, DecorderVerLabel, PanelVerLabel};
  const QString texts[] = {plan.mainLabel, plan.decoderLabel, plan.panelLabel};
  for (int board = 0; board < 3; ++board) {
    buttons[board]->SetFontColor(DecisionColor(plan.decision[board]));
    buttons[board]->setEnabled(true);
    labels[board]->setText(texts[board]);
    labels[board]->adjustSize();
    LogFileAdd(plan.logLines[board]);
  }
  DigiDecBitBtn->SetFontColor(DecisionColor(plan.decision[kx::kDigiDec]));
  DigiDecCoutionLabel->setVisible(plan.cautionVisible);
  DigiDecVerLabel->setText(plan.digiDecLabel);
  LogFileAdd(plan.logLines[kx::kDigiDec]);
}

bool TFormMain::BoardClickAllowed(const QString &logText) {
  LogFileAdd(logText);
  // The number typed is the receiver the board is for.
  SerialNumberEditExit();
  if (!SerialNumberEdit->text().isEmpty()) return true;
  LogFileAdd(QStringLiteral("SerialNumber BRANK!!"));
  LogFileSave(3);
  kx::MessageBox(this, QStringLiteral("SerialNumber is BRANK!!"));
  return false;
}

void TFormMain::OpenShWriter(const QString &logText, int board) {
  if (!BoardClickAllowed(logText)) return;
  if (MainLinks.writerShow) MainLinks.writerShow(board);
  LogFileSave(3);
}

void TFormMain::MainBoardBitBtnClick() { OpenShWriter(QStringLiteral("[MainBoard](FormMain) clicked"), 0); }
void TFormMain::DecoderBitBtnClick() { OpenShWriter(QStringLiteral("[Decorder](FormMain) clicked"), 1); }
void TFormMain::PanelBitBtnClick() { OpenShWriter(QStringLiteral("[Panel](FormMain) clicked"), 2); }

void TFormMain::DigiDecBitBtnClick() {
  if (!BoardClickAllowed(QStringLiteral("[DigiDec](FormMain) clicked"))) return;
  if (MainLinks.digiDecShow) MainLinks.digiDecShow();
  LogFileSave(3);
}

void TFormMain::CommX1Receive(QObject *, int ReceiveSize) {
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(std::max(ReceiveSize, 0)));
  const int got = CommX1->ReceiveBlock(buffer.data(), ReceiveSize);
  // Only what the read delivered is handed on; a listener may change who listens next.
  const std::vector<TPortListener> listeners = PortListeners;
  for (int i = 0; i < got; ++i)
    for (const TPortListener &l : listeners)
      if (l.Listening()) l.Take(buffer[static_cast<std::size_t>(i)]);
}

void TFormMain::CommX1Disconnect(QObject *) {
  const QString message = QStringLiteral("COM%1 was disconnected.").arg(CommX1->PortNo());
  // Who held the port is asked before anyone reacts, since a reaction (the writer's
  // closing state) changes what the others would answer. The terminal goes first:
  // it only records, while the writer's message box waits for the user.
  const bool writer = MainLinks.writerRunning && MainLinks.writerRunning();
  const bool terminal = MainLinks.terminalListening && MainLinks.terminalListening();
  const bool check = ConnectTestBitBtn->Tag != 0;
  if (terminal && MainLinks.terminalDisconnect) MainLinks.terminalDisconnect(message);
  if (check) ConnectTestCommDisconnect(message);
  if (writer && MainLinks.writerDisconnect) MainLinks.writerDisconnect(message);
}

bool TFormMain::Refused(const QString &refusal) {
  if (refusal.isEmpty()) return false;
  LogFileAdd(QStringLiteral("Refused: ") + refusal);
  LogFileSave(3);
  kx::MessageBox(this, refusal);
  return true;
}

void TFormMain::ShowPortInUse() {
  const QString prefix = QStringLiteral("COM%1(").arg(CommX1->PortNo());
  for (int i = 0; i < ComPortComboBox->count(); ++i)
    if (ComPortComboBox->itemText(i).startsWith(prefix)) ComPortComboBox->setCurrentIndex(i);
}

void TFormMain::ComSearchButtonClick() {
  // The search selects and so reopens a port: not under a write.
  if (Refused(Receiver.PortRefusal(QStringLiteral("COM Search")))) return;
  LogFileAdd(QStringLiteral("[COM SEARCH](FormMain) start"));
  ComPortComboBox->clear();
  Memo1->clear();
  const auto ports = kx::serial::ListPorts();
  if (!ports) {
    LogFileAdd(QStringLiteral("SERIALCOMM open errpr"));
    kx::MessageBox(this, QStringLiteral("Error! Please check serial connection."));
  } else if (ports->empty()) {
    LogFileAdd(QStringLiteral("Can Not Find COM Port!"));
    kx::MessageBox(this, QStringLiteral("Can Not Find COM Port!"));
  } else {
    for (const kx::serial::PortEntry &p : *ports) Memo1->appendPlainText(p.device);
    const QStringList devices = Memo1->toPlainText().split(QLatin1Char('\n'));
    for (std::size_t i = 0; i < ports->size(); ++i)
      ComPortComboBox->addItem((*ports)[i].portName + QLatin1Char('(') + devices[static_cast<int>(i)] + QLatin1Char(')'));
    ComPortComboBox->setCurrentIndex(ComPortComboBox->count() - 1);
    ComPortComboBoxChange();
  }
  LogFileSave(3);
}

void TFormMain::ComPortComboBoxChange() {
  // Another device would take the writer's open port away mid-flash.
  if (!Receiver.PortRefusal(QStringLiteral("A change of the COM port")).isEmpty()) {
    ShowPortInUse();
    Refused(Receiver.PortRefusal(QStringLiteral("A change of the COM port")));
    return;
  }
  const QString entry = ComPortComboBox->currentText();
  LogFileAdd(QStringLiteral("COMM select  ") + entry);
  const qsizetype at = entry.indexOf(QStringLiteral("COM"));
  if (at < 0) return;
  QString digits = entry.mid(at + 3);
  if (const qsizetype paren = digits.indexOf(QLatin1Char('(')); paren >= 0) digits.truncate(paren);
  bool ok = false;
  const int number = digits.toInt(&ok);
  // Reopens at the new number when the port is open.
  if (ok && number != 0) CommX1->SetPortNo(number);
}

void TFormMain::ConnectTestBitBtnClick() {
  // Its requests would go out inside the writer's frames.
  if (Refused(Receiver.PortRefusal(QStringLiteral("VersionCheck")))) return;
  LogFileAdd(QStringLiteral("[VersionTest](FormMain) clicked"));
  ConnectTestBitBtn->Tag = 1;
  ConnectTestBitBtn->SetFontColor(colors::Yellow);
  AbortButton->setEnabled(true);
  for (QLabel *l : {MainVerLabel, DecorderVerLabel, PanelVerLabel, DigiDecVerLabel}) l->clear();
  VersionDialogue1->Start([] {
    if (MainLinks.terminalOpen) MainLinks.terminalOpen();
  });
  LogFileSave(3);
}

void TFormMain::ConnectTestCommReceive(std::uint8_t RxData) {
  switch (VersionDialogue1->Receive(RxData)) {
    case kx::VersionLineResult::None:
      return;
    case kx::VersionLineResult::Retry:
      LogFileAdd(QStringLiteral("Wait and Retry [VersionCheck]"));
      LogFileSave(3);
      AbortButtonClick();
      kx::MessageBox(this, QStringLiteral("Receiver not ready yet.  Click [OK] to restart VersionCheck."));
      ConnectTestBitBtnClick();
      return;
    case kx::VersionLineResult::Complete:
      AbortButtonClick();
      ConnectTestBitBtn->SetFontColor(colors::Green);
      EvaluateVersions({rs_tmp, ms_tmp, ds_tmp, ps_tmp});
      return;
  }
}

void TFormMain::ConnectTestGiveUp() {
  AbortButtonClick();
  ConnectTestBitBtn->SetFontColor(colors::Red);
  // No receiver answered: nothing but the serial number speaks for the variant.
  Receiver.ForgetAnswer();
  MainBoardBitBtn->setEnabled(false);
  DecoderBitBtn->setEnabled(false);
  PanelBitBtn->setEnabled(false);
}

// A receiver that went away cannot answer: the check gives up at once.
void TFormMain::ConnectTestCommDisconnect(const QString &message) {
  LogFileAdd(message);
  ConnectTestGiveUp();
}

void TFormMain::AbortButtonClick() {
  LogFileAdd(QStringLiteral("VersionTest Finish"));
  VersionDialogue1->Stop();
  ConnectTestBitBtn->Tag = 0;
  AbortButton->setEnabled(false);
  if (MainLinks.terminalClose) MainLinks.terminalClose();
  ConnectTestBitBtn->setEnabled(true);
  LogFileSave(3);
}
