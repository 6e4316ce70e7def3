#include "shboot/UnitSHBoot.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "comm/CommX.h"
#include "main/UnitMain.h"
#include "payload/Loaders.h"
#include "platform/Dialogs.h"
#include "platform/Tick.h"
#include "platform/Widgets.h"
#include "shboot/BoardSetup.h"
#include "shboot/BootClock.h"
#include "shboot/BootFrame.h"
#include "terminal/UnitTerminal.h"

TFormSHBoot *FormSHBoot = nullptr;
int BootState = 0;

namespace sh = kx::shboot;

namespace {

// The rest of the run's state, beside BootState.
std::uint8_t BootTxBuf[512];
std::uint8_t EchoByte = 0;
std::uint32_t PhaseStartTick = 0;
std::uint32_t LastEventTick = 0;
bool WriteSucceeded = false;
// The run has sent the erase request: from then on the board may be blank or half written.
bool EraseStarted = false;
// The board button's colour before the run turned it yellow; invalid outside a run.
QColor ColourBeforeRun;

constexpr std::uint32_t kAdjustLimitMs = 10000;
constexpr std::uint32_t kResendMs = 500;
constexpr std::uint32_t kEraseLimitMs = 10000;
constexpr std::uint32_t kEchoLimitMs = 8000;
constexpr std::uint32_t kStartLimitMs = 5000;
constexpr std::uint32_t kReadyLimitMs = 10000;
constexpr std::uint32_t kBlockLimitMs = 10000;

TCommX &Port() { return *FormMain->CommX1; }

void Log(const QString &text) { FormMain->LogFileAdd(text); }
void LogSave() { FormMain->LogFileSave(3); }

QLabel *WrappedLabel(const QString &text, QWidget *parent, int left, int top, int width, int height) {
  auto *l = new QLabel(text, parent);
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setGeometry(left, top, width, height);
  return l;
}

// Shows the JPEG payload in a picture control, which keeps its own copy.
void JpgImageFromResource(const QString &ResID, QLabel *Img) {
  Img->setPixmap(QPixmap::fromImage(kx::JpgImageFromResource(ResID)));
}

QLabel *Picture(QWidget *parent, int left, int top, int width, int height) {
  // Drawn at its own size from the top-left corner and clipped to the box.
  auto *l = new QLabel(parent);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setScaledContents(false);
  l->setGeometry(left, top, width, height);
  return l;
}

}  // namespace

// --- Small controls -------------------------------------------------------------

TRadioGroup::TRadioGroup(const QString &caption, const QStringList &items, QWidget *parent)
    : QGroupBox(caption, parent) {
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 2, 8, 2);
  layout->setSpacing(0);
  for (const QString &text : items) {
    auto *b = new QRadioButton(text, this);
    layout->addWidget(b);
    items_.append(b);
  }
}

int TRadioGroup::ItemIndex() const {
  for (int i = 0; i < items_.size(); ++i)
    if (items_[i]->isChecked()) return i;
  return -1;
}

void TRadioGroup::SetItemIndex(int index) {
  if (index >= 0 && index < items_.size()) {
    items_[index]->setChecked(true);
    return;
  }
  // No item: radio buttons of one parent are exclusive, so lift that for the clear.
  for (QRadioButton *b : items_) {
    b->setAutoExclusive(false);
    b->setChecked(false);
    b->setAutoExclusive(true);
  }
}

TStatusBar::TStatusBar(const QList<int> &widths, QWidget *parent) : QStatusBar(parent) {
  setSizeGripEnabled(false);
  for (int i = 0; i <= widths.size(); ++i) {
    auto *l = new QLabel(this);
    l->setFrameStyle(QFrame::Panel | QFrame::Sunken);
    if (i < widths.size()) {
      l->setFixedWidth(widths[i]);
      addWidget(l, 0);
    } else {
      addWidget(l, 1);
    }
    panels_.append(l);
  }
}

QString TStatusBar::PanelText(int panel) const { return panels_.value(panel) ? panels_[panel]->text() : QString(); }

void TStatusBar::SetPanelText(int panel, const QString &text) {
  if (QLabel *l = panels_.value(panel)) l->setText(text);
}

// --- The window -----------------------------------------------------------------

TFormSHBoot::TFormSHBoot(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormSHBoot"));
  setWindowTitle(QStringLiteral("FormSHBoot"));
  setFont(kx::PixelFont(QStringLiteral("Tahoma"), 13));
  setFixedSize(678, 475);
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  BuildControls();
  FormCreate();
}

TFormSHBoot::~TFormSHBoot() { FormDestroy(); }

void TFormSHBoot::BuildControls() {
  Step02Label = WrappedLabel(QStringLiteral("Step 1 :  Power OFF via rear switch."), this, 16, 23, 498, 32);
  Step03Label = WrappedLabel(
      QStringLiteral("Step 2 :  Open DIP SWITCH area (bottom of receiver); remove screw and metal plate."), this, 16,
      61, 489, 34);
  Step04Label = WrappedLabel(QStringLiteral("Step 3 :  Set the DIP switch(es) as illustrated in red to ON."), this,
                             16, 143, 489, 34);
  Step05Label =
      WrappedLabel(QStringLiteral("Step 4 :  Power on via rear switch. Wait 10 sec."), this, 16, 198, 489, 35);
  Step07Label = WrappedLabel(QStringLiteral("Step 5 :  Click [WRITE START] ; wait for progress bar to finish."),
                             this, 16, 253, 489, 35);
  Step08Label = WrappedLabel(QStringLiteral("Step 6 :  Power off via rear switch."), this, 16, 353, 489, 25);
  Step09Label = WrappedLabel(QStringLiteral("Step 7 :  Return DIP switch(es) to default position as illustrated."),
                             this, 16, 374, 489, 38);
  Step01Label = WrappedLabel(QStringLiteral("Step 1 :  Connect Receiver's AUX1(RS-232C) and PC.   UPDATE DOES NOT "
                                            "WORK THROUGH THE RECEIVER\u2019S USB PORT!"),
                             this, 465, 8, 489, 31);
  Step01Label->hide();
  Step06Label = WrappedLabel(
      QStringLiteral("Step 6 :  Select the MainBoard FIRMWARE.  (KX7391D_CT_01_xxxx.mot)"), this, 465, 173, 489, 28);
  Step06Label->hide();

  BottomImage = Picture(this, 520, 8, 139, 105);
  Dipsw1Image = Picture(this, 520, 119, 129, 58);
  DipSw2Image = Picture(this, 520, 374, 129, 59);

  MotFileNameEdit = new QLineEdit(this);
  MotFileNameEdit->setGeometry(65, 223, 353, 24);
  MotFileNameEdit->setEnabled(false);
  MotFileNameEdit->hide();
  DotButton = new QPushButton(QStringLiteral("..."), this);
  DotButton->setGeometry(424, 223, 49, 25);
  DotButton->setFont(kx::PixelFont(QStringLiteral("Tahoma"), 19));
  DotButton->hide();

  WriteButton = new QPushButton(QStringLiteral("WRITE START"), this);
  WriteButton->setGeometry(65, 287, 137, 33);
  AbortButton = new QPushButton(QStringLiteral("Abort"), this);
  AbortButton->setGeometry(337, 291, 81, 25);
  AbortButton->setEnabled(false);
  FirmWriteProgressBar = new QProgressBar(this);
  FirmWriteProgressBar->setGeometry(65, 322, 409, 25);
  FirmWriteProgressBar->setRange(0, 100);
  FirmWriteProgressBar->setValue(0);
  FirmWriteProgressBar->setTextVisible(false);
  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogApplyButton), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(345, 405, 129, 33);

  BPSRadioGroup = new TRadioGroup(QStringLiteral("Boot Timing Type"),
                                  {QStringLiteral("Type1"), QStringLiteral("Type2")}, this);
  BPSRadioGroup->setGeometry(504, 287, 137, 60);
  BPSRadioGroup->hide();

  StatusBar1 = new TStatusBar({50}, this);
  StatusBar1->setGeometry(0, height() - 25, width(), 25);

  Timer1 = new kx::TTimer(this);
  Timer1->setInterval(100);

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setNameFilters({QStringLiteral("*.mot"), QStringLiteral("*.*")});
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);

  const char *names[] = {"Step01Label", "Step02Label", "Step03Label", "Step04Label", "Step05Label",
                         "Step06Label", "Step07Label", "Step08Label", "Step09Label", "BottomImage",
                         "Dipsw1Image", "DipSw2Image", "MotFileNameEdit", "DotButton", "WriteButton",
                         "AbortButton", "FirmWriteProgressBar", "BitBtn1", "BPSRadioGroup", "StatusBar1"};
  QWidget *widgets[] = {Step01Label, Step02Label, Step03Label, Step04Label, Step05Label,
                        Step06Label, Step07Label, Step08Label, Step09Label, BottomImage,
                        Dipsw1Image, DipSw2Image, MotFileNameEdit, DotButton, WriteButton,
                        AbortButton, FirmWriteProgressBar, BitBtn1, BPSRadioGroup, StatusBar1};
  for (size_t i = 0; i < std::size(names); ++i) widgets[i]->setObjectName(QLatin1String(names[i]));
  Timer1->setObjectName(QStringLiteral("Timer1"));
  OpenDialog1->setObjectName(QStringLiteral("OpenDialog1"));

  connect(WriteButton, &QPushButton::clicked, this, &TFormSHBoot::WriteButtonClick);
  connect(AbortButton, &QPushButton::clicked, this, &TFormSHBoot::AbortButtonClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TFormSHBoot::BitBtn1Click);
  connect(DotButton, &QPushButton::clicked, this, &TFormSHBoot::DotButtonClick);
  connect(Timer1, &QTimer::timeout, this, &TFormSHBoot::Timer1Timer);
}

void TFormSHBoot::FormCreate() {
  BootStream = std::make_unique<kx::MemoryStream>();
  BootEchoStream = std::make_unique<kx::MemoryStream>();
  FirmStream = std::make_unique<kx::MemoryStream>();
  Timer1->start();
}

void TFormSHBoot::FormDestroy() {
  Timer1->stop();
  FirmStream.reset();
  BootEchoStream.reset();
  BootStream.reset();
}

// --- Board set-up -----------------------------------------------------------------

void TFormSHBoot::BoardInitialize(int BoardNo) {
  // Reloading the streams under a running write would send a mix of two boards.
  if (BootState != 0) {
    Log(QStringLiteral("Initial refused: a write is in progress (state %1)").arg(BootState));
    LogSave();
    kx::MessageBox(this, QStringLiteral("A write is in progress. Wait for its end or click Abort, then choose the "
                                        "board again."));
    return;
  }
  const bool changed = Tag != BoardNo;
  Tag = BoardNo;
  if (const auto setup = sh::SetupForBoard(BoardNo, FormMain->ShortRfu, FormMain->BlockVersion)) {
    const bool faultShown = !BootLoadFault.isEmpty() || !FirmLoadFault.isEmpty();
    // Until the set-up has run to its end, the board is not ready: an error that cuts it
    // short leaves a stream, a picture or the boot timing of the board before.
    const QString unfinished = QStringLiteral("The set-up of the board did not finish.");
    BootLoadFault = unfinished;
    FirmLoadFault = unfinished;
    WriteButton->setEnabled(false);
    setWindowTitle(setup->captionPrefix + FormMain->ComPortComboBox->currentText() + QStringLiteral("]"));
    const QString logLine =
        QStringLiteral("Initial for ") + windowTitle() + QStringLiteral("(") + setup->firmwareResource + QStringLiteral(")");
    const kx::MessageSink messages = kx::MessageBoxSink(this);
    QString bootFault, firmFault;
    const auto noted = [&messages](QString &fault) {
      return kx::MessageSink([&messages, &fault](const QString &text) {
        fault = text;
        messages(text);
      });
    };
    const auto loadBoot = [&] {
      if (!kx::MakeBootStreamFromResource(setup->bootResource, *BootStream, noted(bootFault)) && bootFault.isEmpty())
        bootFault = QStringLiteral("The boot program %1 did not load.").arg(setup->bootResource);
      kx::BootStreamInit(*BootStream, *BootStream, *BootEchoStream);
    };
    if (setup->bootDataBeforeLog) loadBoot();
    Log(logLine);
    LogSave();
    if (!setup->bootDataBeforeLog) loadBoot();
    try {
      if (!kx::MakeMotStreamFromResource(setup->firmwareResource, *FirmStream, kx::kRomSize, noted(firmFault)) &&
          firmFault.isEmpty())
        firmFault = QStringLiteral("The firmware %1 did not load.").arg(setup->firmwareResource);
    } catch (const std::exception &e) {
      // A payload that is missing leaves the stream empty and ends the set-up. Raised
      // over a whole image, the error is the spare copy "memmem.mem" that could not be
      // written: the image itself is sound, so it is shown and the set-up goes on.
      if (FirmStream->Empty()) throw;
      kx::ErrorBox(QString::fromUtf8(e.what()));
    }
    JpgImageFromResource(sh::kBottomPicture, BottomImage);
    JpgImageFromResource(setup->switchPicture, Dipsw1Image);
    JpgImageFromResource(sh::kAllOffPicture, DipSw2Image);
    BPSRadioGroup->SetItemIndex(setup->bpsItem);
    BootLoadFault = bootFault;
    FirmLoadFault = firmFault;
    for (const QString &fault : {bootFault, firmFault})
      if (!fault.isEmpty()) Log(QStringLiteral(" load error! ") + fault);
    const bool ready = BootLoadFault.isEmpty() && FirmLoadFault.isEmpty();
    if (!ready) {
      LogSave();
      // Says why WRITE START is grey once the box is gone.
      SetPanel1(!bootFault.isEmpty() ? bootFault : firmFault);
    } else if (faultShown) {
      SetPanel1(QString());
    }
    WriteButton->setEnabled(ready);
  }
  if (changed) {
    MotFileNameEdit->clear();
    FirmWriteProgressBar->setValue(0);
  }
}

// --- Buttons and timer --------------------------------------------------------------

void TFormSHBoot::WriteButtonClick() {
  WriteStartTime = QDateTime::currentDateTime();
  Log(QStringLiteral("[WRITE](FormSHBoot) Clicked"));
  // A stream that did not load whole is never written, not even the part that did.
  if (const QString fault = !BootLoadFault.isEmpty() ? BootLoadFault : FirmLoadFault; !fault.isEmpty()) {
    Log(QStringLiteral(" write refused! ") + fault);
    LogSave();
    WriteButton->setEnabled(false);
    kx::MessageBox(this, fault + QStringLiteral("\nNothing was written. Choose the board again in the main window."));
    return;
  }
  if (BootStream->Empty()) {
    Log(QStringLiteral(" boot data none!"));
    LogSave();
    kx::MessageBox(this, QStringLiteral("Not Found Boot File"));
    return;
  }
  if (FirmStream->Empty()) {
    Log(QStringLiteral(" .mot data none!"));
    LogSave();
    kx::MessageBox(this, QStringLiteral("Not Found Firmware File"));
    return;
  }
  // The chip takes the length and the program from one 6001-byte transmit buffer.
  if (!sh::BootDataFits(BootStream->Size())) {
    const qint64 program = BootStream->Size() - 2;
    Log(QStringLiteral(" boot data too large! (%1 bytes)").arg(program));
    LogSave();
    kx::MessageBox(this, QStringLiteral("The boot program is too large: %1 bytes (at most %2 bytes).")
                             .arg(program)
                             .arg(sh::kMaxBootProgram));
    return;
  }
  Timer1->start();
  WriteButton->setEnabled(false);
  FirmWriteProgressBar->setValue(0);
  FirmWriteProgressBar->setMaximum(static_cast<int>(BootStream->Size()) + 100);
  AbortButton->setEnabled(true);
  BootState = 2;
  PostStep();
  LogSave();
}

void TFormSHBoot::AbortButtonClick() {
  Log(QStringLiteral("[Abort](FormSHBoot) clicked"));
  LogSave();
  BootState = 0;
  Port().PortClose();
  Port().Tag = 0;
  TerminalButtonsFollowPort();
  // A run cut short after its erase request leaves the board without firmware; one cut
  // short before it left the board as it was, and so its button.
  if (EraseStarted) {
    Log(QStringLiteral("Write aborted: the board is left unwritten. Write it again."));
    LogSave();
    ColourBoardButton(kx::colors::Red);
  } else if (ColourBeforeRun.isValid()) {
    ColourBoardButton(ColourBeforeRun);
  }
  EraseStarted = false;
  ColourBeforeRun = QColor();
  WriteButton->setEnabled(true);
  AbortButton->setEnabled(false);
}

void TFormSHBoot::BitBtn1Click() {
  Log(QStringLiteral("[OK](FormSHBoot) clicked. Close ") + windowTitle());
  LogSave();
  hide();
}

void TFormSHBoot::Timer1Timer() { PostStep(); }

void TFormSHBoot::DotButtonClick() {
  // The manual firmware choice: the button is never shown, but the handler works.
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) return;
  const QString path = OpenDialog1->selectedFiles().first();
  if (kx::MotFileChoiceRefused(path, Tag, FormMain->BlockVersion)) {
    kx::MessageBox(this, QStringLiteral("ILLEGAL OPERATION !"));
    MotFileNameEdit->clear();
    WriteButton->setEnabled(false);
    return;
  }
  MotFileNameEdit->setText(path);
  // The file replaces the firmware image, whatever became of the carried one.
  FirmLoadFault = QStringLiteral("The firmware file %1 did not load.").arg(path);
  if (kx::MakeMotStream(MotFileNameEdit->text(), *FirmStream, kx::kRomSize, kx::MessageBoxSink(this))) {
    FirmLoadFault.clear();
    WriteButton->setEnabled(BootLoadFault.isEmpty());
  }
}

// --- The machine --------------------------------------------------------------------

void TFormSHBoot::PostStep() { QCoreApplication::postEvent(this, new QEvent(WM_BOOT_STEP)); }

void TFormSHBoot::customEvent(QEvent *event) {
  if (event->type() == WM_BOOT_STEP) {
    BootStep();
    return;
  }
  QWidget::customEvent(event);
}

void TFormSHBoot::SetPanel1(const QString &text) { StatusBar1->SetPanelText(1, text); }

void TFormSHBoot::ColourBoardButton(const QColor &colour) {
  kx::TButton *buttons[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn};
  if (Tag >= 0 && Tag < 3) buttons[Tag]->SetFontColor(colour);
}

QColor TFormSHBoot::BoardButtonColour() const {
  kx::TButton *buttons[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn};
  return Tag >= 0 && Tag < 3 ? buttons[Tag]->FontColor() : QColor();
}

void TFormSHBoot::TerminalButtonsFollowPort() {
  const bool open = Port().IsOpen();
  FormTerminal->OpenButton->setEnabled(!open);
  FormTerminal->CloseButton->setEnabled(open);
}

void TFormSHBoot::BootStep() {
  StatusBar1->SetPanelText(0, QString::number(BootState));
  switch (BootState) {
    case 2: BootPortOpen(); break;
    case 10: AdjustBitRateSend(); break;
    case 12: AdjustBitRateWait(); break;
    case 14: EraseRequest(); break;
    case 16: EraseWait(); break;
    case 20: BootProgramPrepare(); break;
    case 22: BootProgramTransmit(); break;
    case 24: BootProgramEchoWait(); break;
    case 26: BootProgramStartWait(); break;
    case 40: BitRateChange(); break;
    case 42: FirmwarePrepare(); break;
    case 50: FirmwareStart(); break;
    case 52: FirmwareStartWait(); break;
    case 60: WriteBlock(); break;
    case 64: WriteBlockWait(); break;
    case 70: WriteComplete(); break;
    case 999: BootPortClose(); break;
    default: break;
  }
}

void TFormSHBoot::BootCommReceive(std::uint8_t RxData) {
  switch (BootState) {
    case 12: AdjustBitRateReceive(RxData); break;
    case 16: EraseReceive(RxData); break;
    case 24: BootProgramEchoReceive(RxData); break;
    case 26: BootProgramStartReceive(RxData); break;
    case 52: FirmwareStartReceive(RxData); break;
    case 64: WriteBlockReceive(RxData); break;
    default: break;
  }
}

void TFormSHBoot::BootCommDisconnect(const QString &message) {
  // A run already in its closing state ends as it is.
  if (BootState == 0 || BootState == 999) return;
  // The closing state is posted before the box, so the run ends while the box waits.
  using A = FailAct;
  Failure(message, {A::Log, A::Beep, A::Panel, A::Post, A::Box});
}

void TFormSHBoot::Failure(const QString &message, std::initializer_list<FailAct> actions) {
  BootState = 999;
  for (FailAct act : actions) {
    switch (act) {
      case FailAct::Log:
        Log(message);
        LogSave();
        break;
      case FailAct::Beep: QApplication::beep(); break;
      // The box's own event loop runs the closing state while it is open.
      case FailAct::Box: kx::MessageBox(this, message); break;
      case FailAct::Panel: SetPanel1(message); break;
      case FailAct::Sleep: kx::Sleep(500); break;
      case FailAct::Post: PostStep(); break;
      case FailAct::Abort: AbortButtonClick(); break;
    }
  }
}

// State 2: take the port at the boot timing bit rate.
void TFormSHBoot::BootPortOpen() {
  FormTerminal->PortTakenBy(QStringLiteral("the SH writer"));
  TCommX &port = Port();
  if (port.Tag != 0) {
    port.PortClose();
    port.Tag = 0;
    kx::Sleep(200);
  }
  Timer1->stop();
  port.SetStopBit(csb1);
  const int item = BPSRadioGroup->ItemIndex();
  if (const int rate = sh::BootTimingBitRate(item)) port.SetBitRate(rate);
  Log(QStringLiteral("COMM port open  Timing Type") + QString::number(item + 1));
  LogSave();
  try {
    port.PortOpen();
  } catch (const std::exception &e) {
    // Nothing reached the board: the run ends here, ready for the next WRITE START.
    const QString message = QString::fromUtf8(e.what());
    BootState = 0;
    Timer1->start();
    TerminalButtonsFollowPort();
    WriteButton->setEnabled(true);
    AbortButton->setEnabled(false);
    Log(message);
    LogSave();
    kx::ErrorBox(message);
    return;
  }
  port.Tag = port.PortNo();
  FormTerminal->OpenButton->setEnabled(false);
  FormTerminal->CloseButton->setEnabled(true);
  FirmWriteProgressBar->setValue(20);
  ColourBeforeRun = BoardButtonColour();
  EraseStarted = false;
  ColourBoardButton(kx::colors::Yellow);
  WriteSucceeded = false;
  kx::Sleep(500);
  BootState = 10;
  Timer1->start();
  PhaseStartTick = sh::BootTick();
  PostStep();
}

// State 10: one 0x00 for the chip to measure the bit rate from.
void TFormSHBoot::AdjustBitRateSend() {
  BootTxBuf[0] = 0x00;
  BootState = 12;
  Port().TransBlock(BootTxBuf, 1);
  LastEventTick = sh::BootTick();
  SetPanel1(QStringLiteral("Now Adjusting BitRate ...."));
  FirmWriteProgressBar->setValue(40);
  PostStep();
}

// State 12.
void TFormSHBoot::AdjustBitRateWait() {
  const std::uint32_t now = sh::BootTick();
  if (sh::LimitPassed(now, PhaseStartTick, kAdjustLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Adjust BitRate ERROR!!"), {A::Log, A::Beep, A::Box, A::Post, A::Panel, A::Abort});
    return;
  }
  if (sh::LimitPassed(now, LastEventTick, kResendMs)) {
    BootState = 10;
    PostStep();
  }
}

void TFormSHBoot::AdjustBitRateReceive(std::uint8_t RxData) {
  if (RxData != 0x00) return;
  Log(QStringLiteral("AdjustBitRate OK"));
  FirmWriteProgressBar->setValue(60);
  BootState = 14;
  PostStep();
}

// State 14: 0x55 starts the erase.
void TFormSHBoot::EraseRequest() {
  BootTxBuf[0] = 0x55;
  BootState = 16;
  PhaseStartTick = sh::BootTick();
  EraseStarted = true;
  Port().TransBlock(BootTxBuf, 1);
  SetPanel1(QStringLiteral("Waiting erase..."));
  PostStep();
}

// State 16.
void TFormSHBoot::EraseWait() {
  if (sh::LimitPassed(sh::BootTick(), PhaseStartTick, kEraseLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Erase TIME OUT !!!"), {A::Log, A::Beep, A::Box, A::Panel, A::Sleep, A::Post, A::Abort});
  }
}

void TFormSHBoot::EraseReceive(std::uint8_t RxData) {
  if (RxData == 0xAA) {
    Log(QStringLiteral("Erace OK"));
    FirmWriteProgressBar->setValue(80);
    BootState = 20;
    PostStep();
  } else if (RxData == 0xFF) {
    using A = FailAct;
    Failure(QStringLiteral("Erase ERROR !!!"), {A::Log, A::Beep, A::Box, A::Panel, A::Sleep, A::Post, A::Abort});
  }
}

// State 20.
void TFormSHBoot::BootProgramPrepare() {
  if (BootStream->Empty()) return;
  Log(QStringLiteral("Prepare the boot program"));
  LogSave();
  BootStream->Seek(0);
  BootEchoStream->Seek(0);
  FirmWriteProgressBar->setMaximum(static_cast<int>(BootStream->Size()) + 100);
  BootState = 22;
  SetPanel1(QStringLiteral("Prepare the boot program"));
  PostStep();
}

// State 22: the length and the whole program in one hand-over.
void TFormSHBoot::BootProgramTransmit() {
  BootEchoStream->ReadByte(EchoByte);
  FirmWriteProgressBar->setValue(static_cast<int>(BootStream->Position()) + 100);
  BootState = 24;
  SetPanel1(QStringLiteral("Transmit the boot program"));
  // WRITE START refused boot data larger than the chip's transfer buffer.
  std::vector<std::uint8_t> data(BootStream->Size() - std::min(BootStream->Position(), BootStream->Size()));
  data.resize(BootStream->Read(data.data(), data.size()));
  Port().TransBlock(data.data(), static_cast<int>(data.size()));
  LastEventTick = sh::BootTick();
  PostStep();
}

// State 24.
void TFormSHBoot::BootProgramEchoWait() {
  if (sh::LimitPassed(sh::BootTick(), LastEventTick, kEchoLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Transmit the boot program TIME OUT !!!"),
            {A::Beep, A::Log, A::Panel, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void TFormSHBoot::BootProgramEchoReceive(std::uint8_t RxData) {
  if (RxData != EchoByte) return;
  if (BootEchoStream->Position() >= BootEchoStream->Size()) {
    BootState = 26;
    LastEventTick = sh::BootTick();
    PostStep();
    return;
  }
  FirmWriteProgressBar->setValue(static_cast<int>(BootEchoStream->Position()) + 100);
  BootEchoStream->ReadByte(EchoByte);
  LastEventTick = sh::BootTick();
}

// State 26.
void TFormSHBoot::BootProgramStartWait() {
  if (sh::LimitPassed(sh::BootTick(), LastEventTick, kStartLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Incomplete transmitting the boot program !!!"),
            {A::Log, A::Panel, A::Beep, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void TFormSHBoot::BootProgramStartReceive(std::uint8_t RxData) {
  if (RxData != 0xAA) return;
  BootState = 40;
  kx::Sleep(500);
  PostStep();
}

// State 40: the boot program talks at 115200 bit/s.
void TFormSHBoot::BitRateChange() {
  Log(QStringLiteral("Change the BitRate"));
  LogSave();
  kx::Sleep(500);
  Port().SetStopBit(csb1);
  Port().SetBitRate(115200);
  kx::Sleep(500);
  BootState = 42;
  SetPanel1(QStringLiteral("Change the BitRate"));
  PostStep();
}

// State 42.
void TFormSHBoot::FirmwarePrepare() {
  if (FirmStream->Empty()) {
    using A = FailAct;
    Failure(QStringLiteral("Illegal the Firmware"), {A::Log, A::Beep, A::Panel, A::Sleep, A::Post});
    return;
  }
  FirmStream->Seek(0);
  FirmWriteProgressBar->setValue(0);
  FirmWriteProgressBar->setMaximum(static_cast<int>(FirmStream->Size() / sh::kBlockSize));
  BootState = 50;
  SetPanel1(QStringLiteral("Prepare the Firmware"));
  PostStep();
}

// State 50: 0xAB asks the boot program to start.
void TFormSHBoot::FirmwareStart() {
  Log(QStringLiteral("Changed the BitRate to 115kbps"));
  LogSave();
  BootTxBuf[0] = 0xAB;
  BootState = 52;
  LastEventTick = sh::BootTick();
  Port().TransBlock(BootTxBuf, 1);
  SetPanel1(QStringLiteral("Changed the BitRate to 115kbps"));
  PostStep();
}

// State 52.
void TFormSHBoot::FirmwareStartWait() {
  if (sh::LimitPassed(sh::BootTick(), LastEventTick, kReadyLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Incomplete preparing the Firmware !!!"),
            {A::Log, A::Beep, A::Panel, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void TFormSHBoot::FirmwareStartReceive(std::uint8_t RxData) {
  if (RxData != 0xCD) return;
  FirmStream->Seek(0);
  FirmWriteProgressBar->setValue(0);
  BootState = 60;
  PostStep();
}

// State 60: one block per step; blank blocks are passed over without a frame.
void TFormSHBoot::WriteBlock() {
  const qint64 address = static_cast<qint64>(FirmStream->Position());
  const int blocksPassed = static_cast<int>(address / sh::kBlockSize);
  if (address >= static_cast<qint64>(sh::kFlashSize)) {
    FirmWriteProgressBar->setValue(blocksPassed);
    BootState = 70;
    PostStep();
    return;
  }
  // An image shorter than the flash reads as erased past its end, so the address
  // still moves on and the loop reaches its end.
  std::array<std::uint8_t, sh::kBlockSize> block;
  block.fill(0xFF);
  FirmStream->Read(block.data(), sh::kBlockSize);
  FirmStream->Seek(static_cast<std::size_t>(address) + sh::kBlockSize);
  sh::BlockFrame frame;
  if (sh::BuildBlockFrame(static_cast<std::uint32_t>(address), block, frame)) {
    LastEventTick = sh::BootTick();
    BootState = 64;
    std::copy(frame.begin(), frame.end(), BootTxBuf);
    Port().TransBlock(BootTxBuf, sh::kFrameSize);
    // The widgets follow the hand-over, so the frame is on its way while they update.
    FirmWriteProgressBar->setValue(blocksPassed);
    SetPanel1(sh::WriteAddressText(static_cast<unsigned>(address)));
  } else {
    FirmWriteProgressBar->setValue(blocksPassed);
    BootState = 60;
    SetPanel1(sh::SkipAddressText(static_cast<unsigned>(address)));
  }
  PostStep();
}

// State 64.
void TFormSHBoot::WriteBlockWait() {
  if (sh::LimitPassed(sh::BootTick(), LastEventTick, kBlockLimitMs)) {
    using A = FailAct;
    Failure(QStringLiteral("Write TIME OUT !!!"), {A::Log, A::Beep, A::Box, A::Sleep, A::Post, A::Abort});
  }
}

void TFormSHBoot::WriteBlockReceive(std::uint8_t RxData) {
  if (RxData == 0xAA) {
    BootState = 60;
    PostStep();
    FormTerminal->TerminalRxBufClear();
  } else if (RxData == 0xFF) {
    using A = FailAct;
    Failure(QStringLiteral("Write ERROR !!!"), {A::Log, A::Beep, A::Box, A::Post, A::Sleep});
  }
}

// State 70.
void TFormSHBoot::WriteComplete() {
  FirmWriteProgressBar->setValue(0);
  const QString text = sh::CompletionText(WriteStartTime.time(), QTime::currentTime());
  SetPanel1(text);
  Log(text);
  LogSave();
  BootState = 999;
  WriteSucceeded = true;
  QApplication::beep();
  PostStep();
}

// State 999: the end of every run that Abort alone did not end.
void TFormSHBoot::BootPortClose() {
  Log(QStringLiteral("COMM port close"));
  LogSave();
  kx::Sleep(500);
  Port().PortClose();
  Port().Tag = 0;
  WriteButton->setEnabled(true);
  TerminalButtonsFollowPort();
  BootState = 0;
  EraseStarted = false;
  ColourBeforeRun = QColor();
  ColourBoardButton(WriteSucceeded ? kx::colors::Blue : kx::colors::Red);
  PostStep();
}
