#pragma once
// The DigiDec window: runs the writer tool and follows its log.
#include <QDateTime>
#include <QProcess>
#include <QStringList>
#include <QWidget>
#include <functional>

#include "digidec/RunLock.h"
#include "digidec/WriterLog.h"
#include "platform/Widgets.h"

class QPlainTextEdit;
class QProgressBar;

// What the DigiDec window uses of the rest of the updater, wired once at start-up.
struct TDigiDecLinks {
  std::function<void(const QString &)> logAdd;
  std::function<void()> logSave;
  std::function<void(const QColor &)> setButtonColour;
};
extern TDigiDecLinks DigiDecLinks;

class TFormDigiDec : public QWidget {
  Q_OBJECT
 public:
  // Runs FormCreate, which looks for the previous run's log in the tool folder.
  explicit TFormDigiDec(QWidget *parent = nullptr);
  ~TFormDigiDec() override;

  // Set from WRITE START until the tool's process has ended (or failed to start); the
  // main window may not close then.
  bool NowCommandExecute = false;
  // Lines of the tool's log already handled.
  int LogTxtOldLineCount = 0;
  // The tool's log as last read.
  QStringList LogTxtList;

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
  // Follows the tool's log; the run itself ends with the tool's process.
  kx::TTimer *Timer1;
  // The writer tool's process (the shell that becomes the tool) of the current or last run.
  QProcess *WriterProcess;

  void FormCreate();
  void FormDestroy();
  bool FormCloseQuery();
  void ExeButtonClick();
  void Timer1Timer();
  void BitBtn1Click();
  void StepD02LabelClick();
  void WriterLogLineCheck(const QString &line);
  // The tool's process: started, failed to start, ended.
  void WriterProcessStarted();
  void WriterProcessErrorOccurred(QProcess::ProcessError error);
  void WriterProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
  static QDateTime FileTimeToLocalDateTime(const QDateTime &fileTime);

  // "digidecw/log.txt" beside the executable, where the tool writes its log.
  static QString LogTxtPath();

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  void BuildControls();
  void SetDigiDecButtonColor(const QColor &color);
  // Handles the log's lines not handled yet; settled once no tool writes it any more.
  void ReadLogTxt(bool settled);
  // WRITE START's refusal of a Windows tool where Wine is missing.
  void RefuseWithoutWine();
  kx::digidec::LogLineReader reader_;
  // "I:Success" was handled during the current run.
  bool succeeded_ = false;
  // Held from WRITE START to the tool's end.
  kx::digidec::RunLock runLock_;
};

extern TFormDigiDec *FormDigiDec;
