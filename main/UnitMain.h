#pragma once
// The main window: the numbered step guide, the board buttons with their status
// colours, the serial port shared by every window, the operation log, and the view of
// the receiver at hand (main/ReceiverContext.h). The other windows are reached through
// MainLinks, which main/Wiring.cpp sets.
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "comm/CommX.h"
#include "main/OperationLog.h"
#include "main/ReceiverContext.h"
#include "main/VersionCheck.h"
#include "main/VersionDialogue.h"
#include "main/WriteRecord.h"
#include "platform/Widgets.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

// What the main window uses of the other windows.
struct TMainLinks {
  // The terminal: the common open and close of the port (the open's error passes to
  // the caller), whether it takes received bytes, and its log.
  std::function<void()> terminalOpen;
  std::function<void()> terminalClose;
  std::function<bool()> terminalListening;
  std::function<void(std::uint8_t)> terminalReceive;
  std::function<void(const QString &)> terminalDisconnect;
  std::function<void(const QString &caption)> terminalShow;
  // The SH writer: shown and set up for a board, its run and the bytes for it.
  std::function<void(int board)> writerShow;
  std::function<bool()> writerRunning;
  // The board the run in progress writes (0, 1, 2), -1 without one.
  std::function<int()> writerBoard;
  std::function<void(std::uint8_t)> writerReceive;
  std::function<void(const QString &)> writerDisconnect;
  std::function<void()> writerAbort;
  // The DigiDec window: shown; whether it lets the updater close (it may ask), and its
  // run stopped without asking when the system goes down.
  std::function<void()> digiDecShow;
  std::function<bool()> digiDecRunning;
  std::function<bool(QWidget *asker)> digiDecAllowsClose;
  std::function<void()> digiDecShutdown;
  // Whether a window is one of the updater's own (the terminal, the writers).
  std::function<bool(const QWidget *)> isUpdaterWindow;
};
extern TMainLinks MainLinks;

class TFormMain : public QWidget, public kx::VersionCheckFields {
  Q_OBJECT
 public:
  explicit TFormMain(QWidget *parent = nullptr);
  ~TFormMain() override;

  // "KX7391Updater  (Nov. 2025 Fixed)": the window's caption and the log's.
  static QString ProductCaption();

  // The operation log, for every window.
  void LogFileAdd(const QString &text);
  void LogFileSave(int which);
  void LogFileOpen(int which);
  kx::OperationLog &Log() { return log_; }
  // A write's start or end, from either writer window: its row goes to
  // KX7391Updater_Writes.csv and its line to the log (so to the receiver's own log too).
  void RecordWrite(const kx::WriteRecord &record);
  kx::WriteRecordFile &WriteRecords() { return writeRecords_; }

  // Controls, top to bottom.
  QLabel *Step01Label;
  QLabel *Step02Label;
  QLineEdit *SerialNumberEdit;
  kx::TClickLabel *Step03Label;
  QLabel *Step04Label;
  QPushButton *ComSearchButton;
  QLabel *Label1;
  QComboBox *ComPortComboBox;
  QLabel *Step05Label;
  kx::TButton *ConnectTestBitBtn;
  QPushButton *AbortButton;
  QPlainTextEdit *Memo1;
  QLabel *MainVerLabel;
  QLabel *DecorderVerLabel;
  QLabel *PanelVerLabel;
  QLabel *DigiDecVerLabel;
  QLabel *DigiDecCoutionLabel;
  kx::TButton *MainBoardBitBtn;
  kx::TButton *DecoderBitBtn;
  kx::TButton *PanelBitBtn;
  kx::TButton *DigiDecBitBtn;
  QPushButton *ColorClearButton;
  QPushButton *TerminalButton;
  // The version dialogue, and its 3 s timer between requests.
  kx::VersionDialogue *VersionDialogue1;
  QTimer *ConnectTestTimer;
  // The serial port that every window shares; Tag holds the open port's number.
  TCommX *CommX1;

  // Who takes the bytes of CommX1, in the order CommX1Receive offers each byte to
  // them; each is asked anew for every byte. A byte nobody wants is dropped.
  struct TPortListener {
    std::function<bool()> Listening;
    std::function<void(std::uint8_t)> Take;
  };
  std::vector<TPortListener> PortListeners;

  // The receiver at hand: serial number, answer, variant flags, plan, run. The
  // parser's working fields (VR_str, rs_tmp, ms_tmp, ds_tmp, ps_tmp, vr_state,
  // CanNotFindFlag) come from kx::VersionCheckFields.
  kx::ReceiverContext Receiver;
  int RestrictedType = 1;

  // Handlers.
  void FormCreate();
  // Deploys the DigiDec writer tool beside the executable; false, with EndRequested
  // set, when the updater cannot go on and must end once its start-up has finished.
  bool MakeExeAndA57();
  bool EndRequested = false;
  void FormDestroy();
  bool FormCloseQuery();
  // SIGINT or SIGTERM: a run in progress is ended as a Yes to the close question does,
  // without asking, and the window closes.
  void TerminationRequested();
  void Step03LabelClick();
  void ColorClearButtonClick();
  void TerminalButtonClick();
  void SerialNumberEditExit();
  void ConnectTestBitBtnKeyPress(QChar key);
  void MainBoardBitBtnClick();
  void DecoderBitBtnClick();
  void PanelBitBtnClick();
  void DigiDecBitBtnClick();
  // Takes a complete answer into the receiver context and shows its plan.
  void EvaluateVersions(const kx::VersionAnswer &answer);
  void ConnectTestBitBtnClick();
  void ConnectTestCommReceive(std::uint8_t RxData);
  void AbortButtonClick();
  void CommX1Receive(QObject *Sender, int ReceiveSize);
  // The device of CommX1 hung up and the port is closed: whoever held it is told.
  void CommX1Disconnect(QObject *Sender);
  void ConnectTestCommDisconnect(const QString &message);
  void ComSearchButtonClick();
  void ComPortComboBoxChange();

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  void BuildControls();
  bool eventFilter(QObject *watched, QEvent *event) override;
  // Logs the click; false (after the refusal) when no serial number was entered.
  bool BoardClickAllowed(const QString &logText);
  // A board button of the SH writer: the window shown, then set up for the board.
  void OpenShWriter(const QString &logText, int board);
  void InstallPortListeners();
  // The end of a check without an answer: port closed, caption red, SH boards disabled.
  void ConnectTestGiveUp();
  // Shows a refusal: logged and in a box. True when `refusal` is not empty.
  bool Refused(const QString &refusal);
  // Selects the drop-down entry of the port in use again.
  void ShowPortInUse();
  // The serial number just taken: a last write of that receiver that never ended is
  // logged and shown.
  void ReportInterruptedWrite(const QString &serial);
  kx::OperationLog log_;
  // The one record file of the program, shared by both writer windows.
  kx::WriteRecordFile writeRecords_;
  bool destroyed_ = false;
};

extern TFormMain *FormMain;
