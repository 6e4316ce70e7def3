#pragma once
// The main window: the numbered step guide, the board buttons with their status
// colours, the serial port shared by every window, the operation log and the
// version state.
#include <QString>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "comm/CommX.h"
#include "main/OperationLog.h"
#include "main/VersionCheck.h"
#include "main/VersionDialogue.h"
#include "platform/Widgets.h"

class QComboBox;
class QLineEdit;
class QPlainTextEdit;

class TFormMain : public QWidget, public kx::VersionCheckFields {
  Q_OBJECT
 public:
  explicit TFormMain(QWidget *parent = nullptr);
  ~TFormMain() override;

  static QString DesignCaption();

  // The operation log, for every window.
  void LogFileAdd(const QString &text);
  void LogFileSave(int which);
  void LogFileOpen(int which);
  kx::OperationLog &Log() { return log_; }

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

  // Version state; the parser's working fields (VR_str, rs_tmp, ms_tmp, ds_tmp,
  // ps_tmp, vr_state, CanNotFindFlag) come from kx::VersionCheckFields.
  int RestrictedType = 1;
  int BlockVersion = 0;
  int ShortRfu = 0;
  // The value the accepted serial number gives BlockVersion (0 or 1): where each
  // evaluation starts, and what a check that gives up returns the flag to.
  int SerialBlockVersion = 0;
  QString ReceiverStr;
  QString MainVerStr;
  QString DecorderVerStr;
  QString PanelVerStr;
  QString MainNewVerStr;
  QString DecorderNewVerStr;
  QString PanelNewVerStr;
  QString DigiDecNewVerStr;

  // Handlers.
  void FormCreate();
  // Deploys the DigiDec writer tool beside the executable; false, with EndRequested
  // set, when the updater cannot go on and must end once its start-up has finished.
  bool MakeExeAndA57();
  bool EndRequested = false;
  void FormDestroy();
  bool FormCloseQuery();
  void Step03LabelClick();
  void ColorClearButtonClick();
  void TerminalButtonClick();
  void SerialNumberEditExit();
  void ConnectTestBitBtnKeyPress(QChar key);
  void MainBoardBitBtnClick();
  void DecoderBitBtnClick();
  void PanelBitBtnClick();
  void DigiDecBitBtnClick();
  void EvaluateVersions();
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
  kx::OperationLog log_;
  bool destroyed_ = false;
};

extern TFormMain *FormMain;
