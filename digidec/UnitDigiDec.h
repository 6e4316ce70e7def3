#pragma once
// The DigiDec window: runs the writer tool and follows its log.
#include <QDateTime>
#include <QStringList>
#include <QWidget>

#include "digidec/WriterLog.h"
#include "platform/Widgets.h"

class QPlainTextEdit;
class QProgressBar;

class TFormDigiDec : public QWidget {
  Q_OBJECT
 public:
  // Runs FormCreate, which looks for the previous run's log in the tool folder.
  explicit TFormDigiDec(QWidget *parent = nullptr);
  ~TFormDigiDec() override;

  // Set while a writer tool run is in progress; the main window may not close then.
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
  // Its tag is the idle countdown: quiet polls still allowed before a silent log ends the run.
  kx::TTimer *Timer1;

  void FormCreate();
  void FormDestroy();
  bool FormCloseQuery();
  void ExeButtonClick();
  void Timer1Timer();
  void BitBtn1Click();
  void StepD02LabelClick();
  void WriterLogLineCheck(const QString &line);
  static QDateTime FileTimeToLocalDateTime(const QDateTime &fileTime);

  // "digidecw/log.txt" beside the executable, where the tool writes its log.
  static QString LogTxtPath();

 protected:
  void closeEvent(QCloseEvent *event) override;

 private:
  void BuildControls();
  void SetDigiDecButtonColor(const QColor &color);
  kx::digidec::LogLineReader reader_;
};

extern TFormDigiDec *FormDigiDec;
