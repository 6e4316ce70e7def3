#pragma once
// The SH boot-mode writer window, in which the user rewrites the flash of the
// MainBoard, the Decoder or the Panel: the board's set-up and pictures, WRITE START,
// Abort and OK, and the view of the run that its engine (shboot/BootWriter.h) drives.
// The main window's receive handler hands the run's bytes to BootCommReceive; what the
// window reaches outside itself (the receiver, the port, the log, the board buttons,
// the terminal) is given to it through SHBootLinks.
#include <QColor>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QStatusBar>
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "main/WriteRecord.h"
#include "payload/MemoryStream.h"
#include "shboot/BootWriter.h"

class QFileDialog;
class TCommX;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QRadioButton;
class QTimer;

namespace kx {
class ReceiverContext;
}  // namespace kx

// What the writer window uses of the rest of the updater, wired once at start-up.
struct TSHBootLinks {
  kx::ReceiverContext *receiver = nullptr;
  TCommX *port = nullptr;
  std::function<void(const QString &)> logAdd;
  std::function<void()> logSave;
  // The port as the main window's COM drop-down names it: "COM9(/dev/pts/3)".
  std::function<QString()> portEntry;
  // The caption colour of a board's button in the main window (board 0, 1 or 2).
  std::function<QColor(int board)> boardColour;
  std::function<void(int board, const QColor &colour)> setBoardColour;
  // WRITE START was clicked: the serial number being typed is taken, a running check
  // ends, and the terminal stops what it is sending, before the run takes the port.
  std::function<void()> writeAsked;
  // The run is about to take the port, opened or closed it, and the chip took a block.
  std::function<void()> portTaking;
  std::function<void(bool open)> portChanged;
  std::function<void()> blockAnswered;
  // A run started or ended: its record for the record file and the log.
  std::function<void(const kx::WriteRecord &)> recordWrite;
};
extern TSHBootLinks SHBootLinks;

// The writer's state as its engine last reported it: 0 while no run is in progress.
// The main window's receive handler reads it to decide whether a byte goes to
// BootCommReceive.
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
  // The label shows the text from the next pass of the event loop on.
  void SetPanelText(int panel, const QString &text);

 private:
  void ApplyPanelTexts();

  QList<QLabel *> panels_;
  QList<QString> texts_;
  bool applyPosted_ = false;
};

class TFormSHBoot : public QWidget, public kx::shboot::BootWriterView {
  Q_OBJECT
 public:
  explicit TFormSHBoot(QWidget *parent = nullptr);
  ~TFormSHBoot() override;

  // Board the window is set up for: 0 MainBoard, 1 Decoder, 2 Panel, -1 none yet.
  int Tag = -1;
  // The receiver the board was set up for: its serial number and the receiver
  // context's identity then. WRITE START sets the board up again for another.
  QString PreparedSerial;
  std::uint64_t PreparedIdentity = 0;
  // Whether a run is in progress (BootState != 0).
  bool Running() const;

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
  // The engine's 100 ms step timer.
  QTimer *Timer1;
  QFileDialog *OpenDialog1;

  // The data a run consumes: the boot data as transmitted (length and program),
  // the same bytes as the expected echo, and the 0x40000-byte flash image.
  std::unique_ptr<kx::MemoryStream> BootStream;
  std::unique_ptr<kx::MemoryStream> BootEchoStream;
  std::unique_ptr<kx::MemoryStream> FirmStream;

  // The engine that runs a write; WRITE START hands it the streams above.
  kx::shboot::BootWriter *Writer;

  // Why the boot program or the firmware image of the board set up last is not fit to
  // be written (the loader's message), empty when it loaded whole. While either is set,
  // WRITE START stays disabled and refuses: nothing partly loaded reaches the chip.
  QString BootLoadFault;
  QString FirmLoadFault;
  // The firmware image's name as the write record names it: the carried image's
  // ("MAIN_Q_SH_7391"), or the file chosen with the "..." button.
  QString FirmName;

  void FormCreate();
  void FormDestroy();
  void BoardInitialize(int BoardNo);
  void BootCommReceive(std::uint8_t RxData);
  // The port's device hung up during a run: the run fails with `message`.
  void BootCommDisconnect(const QString &message);
  void WriteButtonClick();
  void AbortButtonClick();
  void BitBtn1Click();
  void DotButtonClick();

  // What the engine reports.
  void StepRan(int state) override;
  void StateChanged(int state) override;
  void ProgressMaximum(int maximum) override;
  void ProgressValue(int value) override;
  void PanelText(const QString &text) override;
  void Message(const QString &text) override;
  void ErrorMessage(const QString &text) override;
  void Beep() override;
  void WriteEnabled(bool enabled) override;
  void AbortEnabled(bool enabled) override;
  void PortTaking() override;
  void PortChanged(bool open) override;
  void BlockAnswered() override;
  void BoardState(Board state) override;

 private:
  void BuildControls();
  void SetPanel1(const QString &text);
  void ColourBoardButton(const QColor &colour);
  QColor BoardButtonColour() const;
  void Log(const QString &text) const;
  void LogSave() const;
  // The record of a run: its start when the run leaves idle, its end when it is idle again.
  void RecordRunStart();
  void RecordRunEnd();
  // The board the run in progress writes, and its colour before the run.
  int runBoard_ = -1;
  QColor colourBeforeRun_;
  // The start's record of the run in progress, the time since then, whether the run
  // reached "Writing complete", and whether the user's Abort ended it.
  std::optional<kx::WriteRecord> record_;
  QElapsedTimer recordClock_;
  bool completed_ = false;
  bool abortClicked_ = false;
};

extern TFormSHBoot *FormSHBoot;
