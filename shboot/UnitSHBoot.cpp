#include "shboot/UnitSHBoot.h"

#include <QApplication>
#include <QComboBox>
#include <QCoreApplication>
#include <QFileInfo>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QVBoxLayout>
#include <algorithm>
#include <cstring>

#include "comm/CommX.h"
#include "main/ReceiverContext.h"
#include "payload/Loaders.h"
#include "platform/Dialogs.h"
#include "platform/Widgets.h"
#include "shboot/BoardLoad.h"
#include "shboot/BoardSetup.h"

TFormSHBoot *FormSHBoot = nullptr;
TSHBootLinks SHBootLinks;
int BootState = 0;

namespace sh = kx::shboot;

namespace {



QLabel *StepLabel(const QString &text, QWidget *parent, int left, int top, int width, int height) {
  return kx::WrappedLabel(new QLabel(text, parent), left, top, width, height);
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
    texts_.append(QString());
  }
}

QString TStatusBar::PanelText(int panel) const { return texts_.value(panel); }

void TStatusBar::SetPanelText(int panel, const QString &text) {
  if (panel < 0 || panel >= panels_.size()) return;
  texts_[panel] = text;
  // A label's new text costs a layout pass. The SH writer rewrites the panels at every
  // step, between a reply and the next frame: the labels follow in the next pass of
  // the event loop, before anything is painted, so that time is not spent meanwhile.
  if (applyPosted_) return;
  applyPosted_ = true;
  QMetaObject::invokeMethod(this, &TStatusBar::ApplyPanelTexts, Qt::QueuedConnection);
}

void TStatusBar::ApplyPanelTexts() {
  applyPosted_ = false;
  for (qsizetype i = 0; i < panels_.size(); ++i) panels_[i]->setText(texts_[i]);
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
  Step02Label = StepLabel(QStringLiteral("Step 1 :  Power OFF via rear switch."), this, 16, 23, 498, 32);
  Step03Label = StepLabel(
      QStringLiteral("Step 2 :  Open DIP SWITCH area (bottom of receiver); remove screw and metal plate."), this, 16,
      61, 489, 34);
  Step04Label = StepLabel(QStringLiteral("Step 3 :  Set the DIP switch(es) as illustrated in red to ON."), this,
                             16, 143, 489, 34);
  Step05Label =
      StepLabel(QStringLiteral("Step 4 :  Power on via rear switch. Wait 10 sec."), this, 16, 198, 489, 35);
  Step07Label = StepLabel(QStringLiteral("Step 5 :  Click [WRITE START] ; wait for progress bar to finish."),
                             this, 16, 253, 489, 35);
  Step08Label = StepLabel(QStringLiteral("Step 6 :  Power off via rear switch."), this, 16, 353, 489, 25);
  Step09Label = StepLabel(QStringLiteral("Step 7 :  Return DIP switch(es) to default position as illustrated."),
                             this, 16, 374, 489, 38);
  Step01Label = StepLabel(QStringLiteral("Step 1 :  Connect Receiver's AUX1(RS-232C) and PC.   UPDATE DOES NOT "
                                            "WORK THROUGH THE RECEIVER\u2019S USB PORT!"),
                             this, 465, 8, 489, 31);
  Step01Label->hide();
  Step06Label = StepLabel(
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

  Writer = new kx::shboot::BootWriter(*SHBootLinks.port, {[this](const QString &text) { Log(text); }, [this] { LogSave(); }},
                                      this);
  Writer->SetView(this);
  Timer1 = Writer->Timer();

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
}

void TFormSHBoot::FormCreate() {
  BootStream = std::make_unique<kx::MemoryStream>();
  BootEchoStream = std::make_unique<kx::MemoryStream>();
  FirmStream = std::make_unique<kx::MemoryStream>();
}

void TFormSHBoot::FormDestroy() {
  Writer->SetView(nullptr);
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
  kx::ReceiverContext *receiver = SHBootLinks.receiver;
  const int shortRfu = receiver ? receiver->ShortRfu() : 0;
  const int blockVersion = receiver ? receiver->BlockVersion() : 0;
  if (const auto setup = sh::SetupForBoard(BoardNo, shortRfu, blockVersion)) {
    const bool faultShown = !BootLoadFault.isEmpty() || !FirmLoadFault.isEmpty();
    // Until the set-up has run to its end, the board is not ready: an error that cuts it
    // short leaves a stream, a picture or the boot timing of the board before.
    const QString unfinished = QStringLiteral("The set-up of the board did not finish.");
    BootLoadFault = unfinished;
    FirmLoadFault = unfinished;
    WriteButton->setEnabled(false);
    PreparedSerial = receiver ? receiver->SerialNumber() : QString();
    PreparedIdentity = receiver ? receiver->Identity() : 0;
    const QString caption =
        setup->captionPrefix + (SHBootLinks.portEntry ? SHBootLinks.portEntry() : QString()) + QStringLiteral("]");
    // The caption names the receiver too, so that the technician sees whom the board is for.
    setWindowTitle(PreparedSerial.isEmpty() ? caption : caption + QStringLiteral("  ") + PreparedSerial);
    const sh::BoardLoadResult loaded =
        sh::LoadBoard(*setup, caption, *BootStream, *BootEchoStream, *FirmStream,
                      {[this](const QString &t) { Log(t); }, [this] { LogSave(); }}, kx::MessageBoxSink(this));
    if (!loaded.spareCopyError.isEmpty()) kx::ErrorBox(loaded.spareCopyError);
    FirmName = setup->firmwareResource;
    JpgImageFromResource(sh::kBottomPicture, BottomImage);
    JpgImageFromResource(setup->switchPicture, Dipsw1Image);
    JpgImageFromResource(sh::kAllOffPicture, DipSw2Image);
    BPSRadioGroup->SetItemIndex(setup->bpsItem);
    BootLoadFault = loaded.bootFault;
    FirmLoadFault = loaded.firmFault;
    if (!loaded.Ready()) {
      // Says why WRITE START is grey once the box is gone.
      SetPanel1(!loaded.bootFault.isEmpty() ? loaded.bootFault : loaded.firmFault);
    } else if (faultShown) {
      SetPanel1(QString());
    }
    WriteButton->setEnabled(loaded.Ready());
  }
  if (changed) {
    MotFileNameEdit->clear();
    FirmWriteProgressBar->setValue(0);
  }
}

bool TFormSHBoot::Running() const { return BootState != 0; }

// --- Buttons and timer --------------------------------------------------------------

void TFormSHBoot::WriteButtonClick() {
  if (Running()) return;
  if (SHBootLinks.writeAsked) SHBootLinks.writeAsked();
  // A set-up made for another receiver, or before this receiver's answer, never reaches
  // the chip: the board is set up again for the receiver at hand.
  if (kx::ReceiverContext *receiver = SHBootLinks.receiver; receiver && Tag >= 0 &&
                                                           PreparedIdentity != receiver->Identity())
    BoardInitialize(Tag);
  Writer->SetPayloads({BootStream.get(), BootEchoStream.get(), FirmStream.get(), BootLoadFault, FirmLoadFault});
  Writer->SetTimingItem(BPSRadioGroup->ItemIndex());
  Writer->Start();
}

void TFormSHBoot::AbortButtonClick() {
  // An Abort while a failure's box is open ends a run that has failed already.
  if (BootState != 0 && BootState != 999) abortClicked_ = true;
  Writer->Abort();
}

void TFormSHBoot::BitBtn1Click() {
  Log(QStringLiteral("[OK](FormSHBoot) clicked. Close ") + windowTitle());
  LogSave();
  hide();
}

void TFormSHBoot::DotButtonClick() {
  // The manual firmware choice: the button is never shown, but the handler works.
  if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) return;
  const QString path = OpenDialog1->selectedFiles().first();
  const int blockVersion = SHBootLinks.receiver ? SHBootLinks.receiver->BlockVersion() : 0;
  if (kx::MotFileChoiceRefused(path, Tag, blockVersion)) {
    kx::MessageBox(this, QString::fromLatin1(kx::kMsgIllegalOperation));
    MotFileNameEdit->clear();
    WriteButton->setEnabled(false);
    return;
  }
  MotFileNameEdit->setText(path);
  FirmName = QFileInfo(path).fileName();
  // The file replaces the firmware image, whatever became of the carried one.
  FirmLoadFault = QStringLiteral("The firmware file %1 did not load.").arg(path);
  if (kx::MakeMotStream(MotFileNameEdit->text(), *FirmStream, kx::kRomSize, kx::MessageBoxSink(this))) {
    FirmLoadFault.clear();
    WriteButton->setEnabled(BootLoadFault.isEmpty());
  }
}

// --- What the engine reports ------------------------------------------------------

void TFormSHBoot::StepRan(int state) { StatusBar1->SetPanelText(0, QString::number(state)); }

void TFormSHBoot::StateChanged(int state) {
  const bool was = BootState != 0;
  BootState = state;
  if (state == 70) completed_ = true;
  // The run holds the receiver from its first state to its end.
  kx::ReceiverContext *receiver = SHBootLinks.receiver;
  if (!was && state != 0) {
    if (receiver) receiver->BeginRun(kx::RunKind::ShWrite);
    RecordRunStart();
  }
  if (was && state == 0) {
    RecordRunEnd();
    if (receiver) receiver->EndRun(kx::RunKind::ShWrite);
  }
}

// The start is recorded before the run takes the port, so that every run that may have
// touched the board has its start on record; a run that then cannot open the port ends
// "failed" at once.
void TFormSHBoot::RecordRunStart() {
  completed_ = false;
  abortClicked_ = false;
  kx::WriteRecord r;
  kx::ReceiverContext *receiver = SHBootLinks.receiver;
  r.serial = receiver ? receiver->SerialNumber() : PreparedSerial;
  static const QString boards[] = {QStringLiteral("MainBoard"), QStringLiteral("Decoder"), QStringLiteral("Panel")};
  r.board = Tag >= 0 && Tag < 3 ? boards[Tag] : QStringLiteral("Board%1").arg(Tag);
  // The flash as the run leaves it written: the image's first 0x40000 bytes, erased
  // (0xFF) past the end of a shorter one, as the run sends it.
  QByteArray flash(kx::kRomSize, char(0xFF));
  const std::size_t n = std::min<std::size_t>(FirmStream->Size(), kx::kRomSize);
  if (n > 0) std::memcpy(flash.data(), FirmStream->Data(), n);
  r.SetImages({{FirmName, flash}});
  r.port = SHBootLinks.port ? QStringLiteral("COM%1").arg(SHBootLinks.port->PortNo()) : QString();
  r.result = kx::WriteResult::Started;
  // The version alone: --version adds the licence after a line break.
  r.version = QCoreApplication::applicationVersion().section(QLatin1Char('\n'), 0, 0);
  record_ = r;
  recordClock_.start();
  if (SHBootLinks.recordWrite) SHBootLinks.recordWrite(r);
}

void TFormSHBoot::RecordRunEnd() {
  if (!record_) return;
  kx::WriteRecord r = *record_;
  record_.reset();
  // Only "Writing complete" is written; the user's Abort is aborted; everything else
  // (a failure, a port that would not open, a hang-up) failed.
  r.result = completed_ ? kx::WriteResult::Written
                        : abortClicked_ ? kx::WriteResult::Aborted : kx::WriteResult::Failed;
  r.seconds = static_cast<double>(recordClock_.elapsed()) / 1000.0;
  abortClicked_ = false;
  if (SHBootLinks.recordWrite) SHBootLinks.recordWrite(r);
}

void TFormSHBoot::ProgressMaximum(int maximum) { FirmWriteProgressBar->setMaximum(maximum); }

void TFormSHBoot::ProgressValue(int value) { FirmWriteProgressBar->setValue(value); }

void TFormSHBoot::PanelText(const QString &text) { SetPanel1(text); }

// The box's own event loop runs the closing state while it is open.
void TFormSHBoot::Message(const QString &text) { kx::MessageBox(this, text); }

void TFormSHBoot::ErrorMessage(const QString &text) { kx::ErrorBox(text); }

void TFormSHBoot::Beep() { QApplication::beep(); }

void TFormSHBoot::WriteEnabled(bool enabled) { WriteButton->setEnabled(enabled); }

void TFormSHBoot::AbortEnabled(bool enabled) { AbortButton->setEnabled(enabled); }

// The terminal stops what it sends on its own before the run takes the port.
void TFormSHBoot::PortTaking() {
  if (SHBootLinks.portTaking) SHBootLinks.portTaking();
}

// The terminal's COM Open and COM Close buttons show whether the port is open.
void TFormSHBoot::PortChanged(bool open) {
  if (SHBootLinks.portChanged) SHBootLinks.portChanged(open);
}

void TFormSHBoot::BlockAnswered() {
  if (SHBootLinks.blockAnswered) SHBootLinks.blockAnswered();
}

void TFormSHBoot::BoardState(Board state) {
  switch (state) {
    case Board::Running:
      runBoard_ = Tag;
      colourBeforeRun_ = BoardButtonColour();
      ColourBoardButton(kx::colors::Yellow);
      break;
    case Board::Written: ColourBoardButton(kx::colors::Blue); break;
    case Board::Failed: ColourBoardButton(kx::colors::Red); break;
    case Board::AsBefore:
      if (colourBeforeRun_.isValid()) ColourBoardButton(colourBeforeRun_);
      break;
  }
  if (state != Board::Running) {
    colourBeforeRun_ = QColor();
    runBoard_ = -1;
  }
}

void TFormSHBoot::SetPanel1(const QString &text) { StatusBar1->SetPanelText(1, text); }

void TFormSHBoot::ColourBoardButton(const QColor &colour) {
  // The board of the run in progress, whatever the window was set up for since.
  const int board = runBoard_ >= 0 ? runBoard_ : Tag;
  if (board >= 0 && board < 3 && SHBootLinks.setBoardColour) SHBootLinks.setBoardColour(board, colour);
}

QColor TFormSHBoot::BoardButtonColour() const {
  return Tag >= 0 && Tag < 3 && SHBootLinks.boardColour ? SHBootLinks.boardColour(Tag) : QColor();
}

void TFormSHBoot::Log(const QString &text) const {
  if (SHBootLinks.logAdd) SHBootLinks.logAdd(text);
}

void TFormSHBoot::LogSave() const {
  if (SHBootLinks.logSave) SHBootLinks.logSave();
}

void TFormSHBoot::BootCommReceive(std::uint8_t RxData) { Writer->Receive(RxData); }

void TFormSHBoot::BootCommDisconnect(const QString &message) { Writer->Disconnected(message); }
