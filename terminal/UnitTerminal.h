#pragma once
// The service terminal: raw serial traffic, and the common way to open and close
// the port for the terminal and the version check.
#include <QByteArray>
#include <QColor>
#include <QFont>
#include <QPlainTextEdit>
#include <QString>
#include <QTextCharFormat>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Widgets.h"
#include "terminal/TerminalRx.h"

class QButtonGroup;
class QCheckBox;
class QComboBox;
class QFileDialog;
class QGroupBox;
class QLineEdit;
class QRadioButton;
class QStatusBar;
class TCommX;

// What the terminal uses of the rest of the updater, wired once at start-up: the shared
// port, and who else holds it now.
struct TTerminalLinks {
  TCommX *port = nullptr;
  // An SH write holds the port: nothing of the terminal's may reach the line.
  std::function<bool()> writeHoldsPort;
  // The version check is running (it opens and closes the port through the terminal).
  std::function<bool()> checkRunning;
};
extern TTerminalLinks TerminalLinks;

class TFormTerminal : public QWidget, private kx::terminal::RxSink {
  Q_OBJECT
 public:
  explicit TFormTerminal(QWidget *parent = nullptr);
  ~TFormTerminal() override;

  // Colours of the log.
  static const QColor kReceivedColour;
  static const QColor kSentColour;
  static const QColor kFileColour;
  // The terminal's own notes (why nothing was sent, why timed sending stopped).
  static const QColor kNoteColour;

  // Controls. Panel1 holds three rows: port and file sending, the command line,
  // then display mode, log and "Send HEX".
  QWidget *Panel1;
  QPushButton *OpenButton;
  QPushButton *CloseButton;
  QLineEdit *SendFileEdit;
  QPushButton *SendFileSelectButton;
  QPushButton *FileSendStartButton;
  QPushButton *TimerSendButton;
  QLineEdit *TimerSendTimeEdit;
  QLabel *Label1;
  QComboBox *CommandComboBox;
  QPushButton *SendButton;
  QPushButton *SendHEXButton;
  QGroupBox *TerminalTypeRadioGroup;
  QRadioButton *TerminalTypeAscii;
  QRadioButton *TerminalTypeHex;
  QPushButton *ClearButton;
  QCheckBox *BottomScrollCheckBox;
  QPushButton *TxtLogSaveButton;
  QPushButton *RtfLogSaveButton;
  // The log: a plain-text view (one line a block, laid out line by line) that still
  // carries colours and fonts, so that dropping its oldest lines costs no relayout.
  QPlainTextEdit *RichEdit1;
  QStatusBar *StatusBar1;
  QFileDialog *OpenDialog1;
  QFileDialog *SaveDialog1;
  kx::TTimer *SendTimer;  // its Tag is the send period in seconds

  // The selected display mode: 0 "ASCII", 1 "HEX".
  int TerminalTypeItemIndex() const;
  void SetTerminalTypeItemIndex(int index);

  // The receive display, fed by the main window's receive dispatch while
  // CloseButton is enabled.
  void TerminalRx_1byte(std::uint8_t d);
  void TerminalRx_1byteHex(std::uint8_t d);
  void TerminalRxBufClear();
  // Received bytes reach the log in batches, at the latest kRxFlushMs after they
  // came and before anything else writes to or reads the log; this writes the
  // batch now.
  static constexpr int kRxFlushMs = 40;
  void TerminalRxFlush();
  const kx::terminal::RxDisplay &RxState() const { return rx_; }

  // The common open and close of the shared port at 115200 bit/s, 8N1, no flow
  // control. OpenButtonClick lets the port's error pass to its caller.
  void OpenButtonClick();
  void CloseButtonClick();
  // The port's device hung up and the port is closed: an entry in the log, and the
  // buttons as after "COM Close".
  void TerminalDisconnect(const QString &message);

  void TimerSendStart();
  void TimerSendStop();
  // Another user of the shared port (the version check, the SH writer) takes it:
  // timed sending stops and a file still being sent ends, each with a note saying why.
  void PortTakenBy(const QString &user);

  // How many lines the log keeps before it drops the oldest ($KX7391_TERMINAL_LINES;
  // 0 keeps every line).
  int ScrollbackLines() const { return scrollbackLines_; }

  // Handlers of this window.
  void FormCreate();
  void ClearButtonClick();
  void SendButtonClick();
  void SendHEXButtonClick();
  void TxtLogSaveButtonClick();
  void RtfLogSaveButtonClick();
  void SendFileSelectButtonClick();
  void FileSendStartButtonClick();
  void TimerSendButtonClick();
  void TimerSendTimeEditExit();
  void SendTimerTimer();

  // The log's fonts: a fixed-pitch one for text, a symbol one for the marker.
  QFont LogFont() const { return logFont_; }
  QFont MarkerFont() const { return markerFont_; }

 protected:
  bool eventFilter(QObject *watched, QEvent *event) override;

 private:
  void BuildControls();
  void SetSendButtonsEnabled(bool enabled);
  // Log entries.
  QTextCharFormat TextFormat(const QColor &colour) const;
  QTextCharFormat MarkerFormat(const QColor &colour) const;
  void InsertLineEntry(const QString &text, const QColor &colour, bool marker = true);
  void AppendEntry(const QString &text, const QColor &colour);
  void ScrollAfterEntry(int pages = 1);
  // A note of the terminal's own in the log: InsertLineEntry in the note colour.
  void Note(const QString &text);
  // Notes and refuses a send while the port is closed or the SH writer holds it.
  bool SendRefused();
  void UpdateHistory(const QString &command);
  // The file sending of "File Send" and of each tick of timed sending.
  void SendFile(bool timed);
  void StopTimedSending(const QString &reason);
  // Whether the port is open, and which run (the version check or the SH writer), if
  // any, holds it.
  static bool PortIsOpen();
  static QString RunHoldingPort();
  bool RunSaveDialog(int filterIndex, const QString &suffix, QString *path);
  static void WriteFile(const QString &path, const QByteArray &data);
  // The shared port of the main window.
  static TCommX *Port();
  static bool WriteHoldsPort();
  static bool CheckRunning();
  bool Transmit(const QByteArray &bytes);

  // kx::terminal::RxSink
  void ReceivedLine(const char *data, int size, bool ended) override;
  void HexByte(std::uint8_t d, bool rowEnd) override;

  // The batch of received text not yet in the log: runs appended at the end of
  // the log (hex) or inserted at the start of its current line (received lines).
  struct PendingRun {
    QString text;
    bool marker = false;
    bool lineBreak = false;
  };
  struct PendingOp {
    bool atLineStart = false;
    std::vector<PendingRun> runs;
  };
  PendingOp &Pending(bool atLineStart);
  std::vector<PendingOp> pending_;
  int pendingPages_ = 0;
  QTimer *rxFlushTimer_ = nullptr;

  // Counts the closes and take-overs of the port; a file sending ends when it changes.
  int portEpoch_ = 0;
  QString portEpochReason_;
  int scrollbackLines_ = 0;

  kx::terminal::RxDisplay rx_;
  QFont logFont_;
  QFont markerFont_;
  QTextCharFormat receivedText_;
  QTextCharFormat receivedMarker_;
};

extern TFormTerminal *FormTerminal;
