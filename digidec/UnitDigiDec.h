#pragma once
// The DigiDec window: WRITE START, the tool's messages and the two bars, and the view
// of the run that its engine (digidec/DigiDecRun.h) drives.
#include <QColor>
#include <QDateTime>
#include <QElapsedTimer>
#include <QProcess>
#include <QWidget>
#include <functional>
#include <optional>

#include "digidec/DigiDecRun.h"
#include "main/WriteRecord.h"
#include "platform/Widgets.h"

class QPlainTextEdit;
class QProgressBar;
class QTimer;

class TFormDigiDec : public QWidget, public kx::digidec::DigiDecRunView {
  Q_OBJECT
 public:
  // What the window reaches outside itself, wired by the program's start: the operation
  // log (a line, the save of both logs) and the caption colour of the main window's
  // DigiDec button. Unset links do nothing.
  struct Links {
    kx::digidec::DigiDecRunLog log;
    std::function<void(const QColor &)> digiDecButtonColor;
    // A run began (true) or ended (false): the receiver is held meanwhile.
    std::function<void(bool running)> runChanged;
    // The serial number of the receiver at hand, and a run's start or end for the
    // record file and the log.
    std::function<QString()> serialNumber;
    std::function<void(const kx::WriteRecord &)> recordWrite;
  };

  // Runs FormCreate, which looks for the previous run's log in the tool folder.
  explicit TFormDigiDec(Links links = {}, QWidget *parent = nullptr);
  ~TFormDigiDec() override;

  // Mirrors Run->Running(): from WRITE START until the tool's process has ended, failed
  // to start or was stopped. The main window may not close then.
  bool NowCommandExecute = false;

  QLabel *StepD01Label;
  kx::TClickLabel *StepD02Label;
  QLabel *StepD03Label;
  QLabel *StepD04Label;
  QLabel *Label1;
  QPushButton *ExeButton;
  QPlainTextEdit *MessageMemo;
  QPlainTextEdit *LogTxtMemo;
  QProgressBar *ProgressBar1;
  QProgressBar *ProgressBar2;
  QLabel *StepD05Label;
  QPushButton *BitBtn1;
  // The engine that runs the tool and follows its log.
  kx::digidec::DigiDecRun *Run;
  // The engine's poll timer (2007 ms) and the tool's process of the current or last run.
  QTimer *Timer1;
  QProcess *WriterProcess;

  void FormCreate();
  void FormDestroy();
  bool FormCloseQuery();
  void ExeButtonClick();
  void Timer1Timer();
  void BitBtn1Click();
  void StepD02LabelClick();
  void WriterLogLineCheck(const QString &line);
  static QDateTime FileTimeToLocalDateTime(const QDateTime &fileTime);

  // Whether the updater may end now, for the main window's close. A run whose tool
  // shows signs of life refuses (onRefusal runs first, then the box over parent); a
  // hung tool's run asks whether to stop it, and Yes stops it.
  bool EndQuery(QWidget *parent, const std::function<void()> &onRefusal = {});
  // The system is going down (SIGTERM): a run in progress is stopped without asking.
  void ShutdownStop();

  // "digidecw/log.txt" in the tool folder, where the tool writes its log.
  static QString LogTxtPath();

  // What the engine reports.
  void LogLine(const QString &line) override;
  void Message(const QString &text) override;
  void Bars(int overall, int phase) override;
  void BoardState(Board state) override;
  void ErrorMessage(const QString &text) override;
  void RunEnded(Outcome outcome, const QString &exit) override;

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  void BuildControls();
  QString HungQuestion() const;
  // NowCommandExecute follows the engine; its changes are told to runChanged.
  void MirrorRun();
  // The record of a run: its start with WRITE START, its end with the run's end.
  void RecordRunStart();
  void RecordRunEnd(Outcome outcome);
  Links links_;
  std::optional<kx::WriteRecord> record_;
  QElapsedTimer recordClock_;
};

extern TFormDigiDec *FormDigiDec;
