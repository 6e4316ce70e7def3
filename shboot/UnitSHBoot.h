#pragma once
// The SH boot-mode writer: the window in which the user rewrites the flash of the
// MainBoard, the Decoder or the Panel, and the state machine of one write run.
// The run is driven by WM_BOOT_STEP, posted to the window by its 100 ms timer and by
// every step that moves the machine on, and by the bytes the main window's receive
// handler hands to BootCommReceive.
#include <QDateTime>
#include <QEvent>
#include <QGroupBox>
#include <QStatusBar>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

#include "payload/MemoryStream.h"

class QFileDialog;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;

namespace kx {
class TButton;
class TTimer;
}  // namespace kx

// The step message of the writer; posted, never sent.
inline const QEvent::Type WM_BOOT_STEP = static_cast<QEvent::Type>(QEvent::User + 0x304);

// The writer's state: 0 while no run is in progress. The main window's receive
// handler reads it to decide whether a byte goes to BootCommReceive.
extern int BootState;

// A group of radio items with an item index (-1 when none is chosen).
class TRadioGroup : public QGroupBox {
  Q_OBJECT
 public:
  TRadioGroup(const QString &caption, const QStringList &items, QWidget *parent = nullptr);
  int ItemIndex() const;
  void SetItemIndex(int index);

 private:
  QList<QRadioButton *> items_;
};

// A status bar of text panels; every panel but the last has a fixed width.
class TStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  TStatusBar(const QList<int> &widths, QWidget *parent = nullptr);
  QString PanelText(int panel) const;
  void SetPanelText(int panel, const QString &text);

 private:
  QList<QLabel *> panels_;
};

class TFormSHBoot : public QWidget {
  Q_OBJECT
 public:
  explicit TFormSHBoot(QWidget *parent = nullptr);
  ~TFormSHBoot() override;

  // Board the window is set up for: 0 MainBoard, 1 Decoder, 2 Panel, -1 none yet.
  int Tag = -1;

  QLabel *Step01Label;
  QLabel *Step02Label;
  QLabel *Step03Label;
  QLabel *Step04Label;
  QLabel *Step05Label;
  QLabel *Step06Label;
  QLabel *Step07Label;
  QLabel *Step08Label;
  QLabel *Step09Label;
  QLabel *BottomImage;
  QLabel *Dipsw1Image;
  QLabel *DipSw2Image;
  QLineEdit *MotFileNameEdit;
  QPushButton *DotButton;
  QPushButton *WriteButton;
  QPushButton *AbortButton;
  QProgressBar *FirmWriteProgressBar;
  QPushButton *BitBtn1;
  TRadioGroup *BPSRadioGroup;
  TStatusBar *StatusBar1;
  kx::TTimer *Timer1;
  QFileDialog *OpenDialog1;

  // The data a run consumes: the boot data as transmitted (length and program),
  // the same bytes as the expected echo, and the 0x40000-byte flash image.
  std::unique_ptr<kx::MemoryStream> BootStream;
  std::unique_ptr<kx::MemoryStream> BootEchoStream;
  std::unique_ptr<kx::MemoryStream> FirmStream;

  // The WRITE START click, printed by the completion line.
  QDateTime WriteStartTime;

  // Why the boot program or the firmware image of the board set up last is not fit to
  // be written (the loader's message), empty when it loaded whole. While either is set,
  // WRITE START stays disabled and refuses: nothing partly loaded reaches the chip.
  QString BootLoadFault;
  QString FirmLoadFault;

  void FormCreate();
  void FormDestroy();
  void BoardInitialize(int BoardNo);
  void BootCommReceive(std::uint8_t RxData);
  // The port's device hung up during a run: the run fails with `message`.
  void BootCommDisconnect(const QString &message);
  void WriteButtonClick();
  void AbortButtonClick();
  void BitBtn1Click();
  void Timer1Timer();
  void DotButtonClick();
  void BootStep();

 protected:
  void customEvent(QEvent *event) override;

 private:
  void BuildControls();
  void PostStep();
  void SetPanel1(const QString &text);
  void ColourBoardButton(const QColor &colour);
  QColor BoardButtonColour() const;
  // The terminal's COM Open and COM Close buttons show whether the port is open.
  void TerminalButtonsFollowPort();

  // Steps of the link set-up.
  void BootPortOpen();
  void AdjustBitRateSend();
  void AdjustBitRateWait();
  void EraseRequest();
  void EraseWait();
  void BootProgramPrepare();
  void BootProgramTransmit();
  void BootProgramEchoWait();
  void BootProgramStartWait();
  void BitRateChange();
  // Steps of the flash programming and the close.
  void FirmwarePrepare();
  void FirmwareStart();
  void FirmwareStartWait();
  void WriteBlock();
  void WriteBlockWait();
  void WriteComplete();
  void BootPortClose();

  // Receive branches.
  void AdjustBitRateReceive(std::uint8_t RxData);
  void EraseReceive(std::uint8_t RxData);
  void BootProgramEchoReceive(std::uint8_t RxData);
  void BootProgramStartReceive(std::uint8_t RxData);
  void FirmwareStartReceive(std::uint8_t RxData);
  void WriteBlockReceive(std::uint8_t RxData);

  // The end of a run on an error: BootState 999 first, then the actions in the
  // order that failure prescribes.
  enum class FailAct { Log, Beep, Box, Panel, Sleep, Post, Abort };
  void Failure(const QString &message, std::initializer_list<FailAct> actions);
};

extern TFormSHBoot *FormSHBoot;
