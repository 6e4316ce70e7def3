#include "digidec/UnitDigiDec.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QStandardPaths>
#include <QStyle>
#include <algorithm>

#include "digidec/Deployment.h"
#include "platform/Dialogs.h"

TFormDigiDec *FormDigiDec = nullptr;
TDigiDecLinks DigiDecLinks;

namespace {
const QString kTahoma = QStringLiteral("Tahoma");

QLabel *WrappedLabel(QLabel *l, int left, int top, int width, int height) {
  l->setWordWrap(true);
  l->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  l->setGeometry(left, top, width, height);
  return l;
}

QPlainTextEdit *Memo(QWidget *parent, int left, int top, int width, int height) {
  auto *m = new QPlainTextEdit(parent);
  m->setLineWrapMode(QPlainTextEdit::NoWrap);
  m->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  m->setReadOnly(true);
  m->setGeometry(left, top, width, height);
  return m;
}

QProgressBar *Bar(QWidget *parent, int top) {
  auto *b = new QProgressBar(parent);
  b->setRange(0, 100);
  b->setValue(0);
  b->setGeometry(64, top, 321, 17);
  return b;
}

void Log(const QString &text) {
  if (DigiDecLinks.logAdd) DigiDecLinks.logAdd(text);
}
void LogSave() {
  if (DigiDecLinks.logSave) DigiDecLinks.logSave();
}
}  // namespace

TFormDigiDec::TFormDigiDec(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormDigiDec"));
  setWindowTitle(QStringLiteral("Digi-Dec"));
  setFont(kx::PixelFont(kTahoma, 13));
  resize(527, 398);
  BuildControls();
  FormCreate();
}

TFormDigiDec::~TFormDigiDec() { FormDestroy(); }

void TFormDigiDec::BuildControls() {
  StepD01Label = new QLabel(QStringLiteral("Step 1 :  Power OFF via rear switch. "), this);
  StepD01Label->adjustSize();
  StepD01Label->move(8, 8);
  StepD02Label = new kx::TClickLabel(QStringLiteral("Step 2 :  Connect PC to Receiver's I/Q OUT. "), this);
  WrappedLabel(StepD02Label, 8, 34, 497, 25);
  StepD03Label = WrappedLabel(new QLabel(QStringLiteral("Step 3 :  Power on via rear switch .  Wait 10 sec."), this),
                              8, 65, 497, 32);
  StepD04Label = WrappedLabel(
      new QLabel(QStringLiteral("Step 4 :  Click on  [WRITE START] ; wait for progress bars to finish."), this), 8,
      95, 497, 36);
  Label1 = WrappedLabel(new QLabel(QStringLiteral("(~10min, do not interrupt!) approximately 10 minutes and cannot "
                                                  "be stopped during this time."),
                                   this),
                        64, 111, 236, 48);
  QPalette red = Label1->palette();
  red.setColor(QPalette::WindowText, kx::colors::Red);
  Label1->setPalette(red);
  ExeButton = new QPushButton(QStringLiteral("WRITE START"), this);
  ExeButton->setFont(kx::PixelFont(kTahoma, 16));
  ExeButton->setGeometry(64, 128, 321, 36);
  MessageMemo = Memo(this, 64, 170, 321, 104);
  LogTxtMemo = Memo(this, 391, 128, 138, 186);
  LogTxtMemo->hide();
  ProgressBar1 = Bar(this, 280);
  ProgressBar2 = Bar(this, 297);
  StepD05Label = WrappedLabel(
      new QLabel(QStringLiteral("Step 5 :  When \"Success\" appears, power off via rear switch."), this), 8, 320, 497,
      33);
  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(288, 349, 97, 41);
  Timer1 = new kx::TTimer(this);
  Timer1->setInterval(2007);
  Timer1->setTimerType(Qt::PreciseTimer);  // its ticks count the silence rule: never early
  WriterProcess = new QProcess(this);

  const std::pair<QObject *, const char *> names[] = {
      {StepD01Label, "StepD01Label"}, {StepD02Label, "StepD02Label"}, {StepD03Label, "StepD03Label"},
      {StepD04Label, "StepD04Label"}, {Label1, "Label1"},             {ExeButton, "ExeButton"},
      {MessageMemo, "MessageMemo"},   {LogTxtMemo, "LogTxtMemo"},     {ProgressBar1, "ProgressBar1"},
      {ProgressBar2, "ProgressBar2"}, {StepD05Label, "StepD05Label"}, {BitBtn1, "BitBtn1"},
      {Timer1, "Timer1"},             {WriterProcess, "WriterProcess"}};
  for (const auto &[object, name] : names) object->setObjectName(QLatin1String(name));

  connect(StepD02Label, &kx::TClickLabel::clicked, this, &TFormDigiDec::StepD02LabelClick);
  connect(ExeButton, &QPushButton::clicked, this, &TFormDigiDec::ExeButtonClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TFormDigiDec::BitBtn1Click);
  connect(Timer1, &QTimer::timeout, this, &TFormDigiDec::Timer1Timer);
  // Queued, so that the handlers (message boxes, log saves that may fail) run from the
  // event loop and never inside the process object's own bookkeeping.
  connect(WriterProcess, &QProcess::started, this, &TFormDigiDec::WriterProcessStarted, Qt::QueuedConnection);
  connect(WriterProcess, &QProcess::errorOccurred, this, &TFormDigiDec::WriterProcessErrorOccurred,
          Qt::QueuedConnection);
  connect(WriterProcess, &QProcess::finished, this, &TFormDigiDec::WriterProcessFinished, Qt::QueuedConnection);
}

QString TFormDigiDec::LogTxtPath() { return kx::digidec::ToolDirectory() + QStringLiteral("/log.txt"); }

QDateTime TFormDigiDec::FileTimeToLocalDateTime(const QDateTime &fileTime) {
  return kx::digidec::FileTimeToLocalDateTime(fileTime);
}

void TFormDigiDec::FormCreate() {
  NowCommandExecute = false;
  const QString path = LogTxtPath();
  // The previous run's log is kept under the time of its last change.
  QString newName;
  if (kx::digidec::RunLock::HeldElsewhere(kx::digidec::ToolDirectory())) {
    // Another updater's tool is writing it right now.
    Log(QStringLiteral(" digidecw/log.txt belongs to a run of another updater: not moved"));
  } else if (QFileInfo::exists(path)) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) {
      newName = kx::digidec::ToolDirectory() + QLatin1Char('/') +
                kx::digidec::RotatedLogName(FileTimeToLocalDateTime(f.fileTime(QFileDevice::FileModificationTime)));
      f.close();
    }
  }
  // Fails, and the log stays, when that name is taken already.
  if (!newName.isEmpty()) QFile::rename(path, newName);

  LogTxtList.clear();
  LogTxtOldLineCount = 0;
  if (QFileInfo::exists(path)) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) LogTxtList = reader_.Settled(f.readAll());
    // Whatever is in it already counts as handled.
    LogTxtOldLineCount = static_cast<int>(LogTxtList.size());
  }
}

void TFormDigiDec::FormDestroy() {
  Timer1->stop();
  // Only when the program ends some other way than by closing its windows (which a run
  // refuses): the tool does not outlive the updater that follows it.
  WriterProcess->disconnect(this);
  if (WriterProcess->state() != QProcess::NotRunning) {
    WriterProcess->kill();
    WriterProcess->waitForFinished();
  }
  LogTxtList.clear();
}

bool TFormDigiDec::FormCloseQuery() {
  if (!NowCommandExecute) return true;
  kx::MessageBox(this, QStringLiteral("It cannot be closed because it is currently running."));
  return false;
}

void TFormDigiDec::closeEvent(QCloseEvent *event) {
  event->ignore();
  if (FormCloseQuery()) event->accept();
}

void TFormDigiDec::ExeButtonClick() {
  Log(QStringLiteral("DigiDec[WRITE] clicked"));
  // A second tool on the same board and log would only spoil the run under way.
  if (NowCommandExecute) {
    Log(QStringLiteral(" WriterCmd is running already: not started again"));
    LogSave();
    return;
  }
  const bool throughWine =
      kx::digidec::IsWindowsProgram(kx::digidec::ToolDirectory() + QLatin1Char('/') + kx::digidec::kToolFileName);
  if (throughWine && QStandardPaths::findExecutable(kx::digidec::kWine).isEmpty()) {
    RefuseWithoutWine();
    return;
  }
  if (!runLock_.TryAcquire(kx::digidec::ToolDirectory())) {
    Log(QStringLiteral(" WriterCmd is running from another updater: not started"));
    LogSave();
    kx::MessageBox(this,
                   QStringLiteral("The writer tool is running from another KX7391Updater on this PC.\n"
                                  "Wait until its run has ended, then click WRITE START again."),
                   QStringLiteral("エラー"), QMessageBox::Critical);
    return;
  }
  NowCommandExecute = true;
  succeeded_ = false;
  const QString command = throughWine ? kx::digidec::kWineShellCommand : kx::digidec::kShellCommand;
  Log(QStringLiteral("cmd [-c \"") + command + QStringLiteral("\"]"));

  // Started from the folder that holds the deployed tool, whatever the working
  // directory, with its streams on /dev/null. The shell becomes the tool (exec), so the
  // process's end is the tool's end; the rest follows from the process's signals.
  WriterProcess->setProgram(kx::digidec::kShell);
  WriterProcess->setArguments({QStringLiteral("-c"), command});
  WriterProcess->setWorkingDirectory(kx::digidec::BaseDirectory());
  WriterProcess->setStandardInputFile(QProcess::nullDevice());
  WriterProcess->setStandardOutputFile(QProcess::nullDevice());
  WriterProcess->setStandardErrorFile(QProcess::nullDevice());
  WriterProcess->start();
  LogSave();
}

void TFormDigiDec::RefuseWithoutWine() {
  Log(QStringLiteral(" ") + kx::digidec::kToolFileName +
      QStringLiteral(" is a Windows program and needs wine, which is not installed (install the package \"wine\")"));
  Log(QStringLiteral(" ERROR!!  Can not Ececute WriterCmd"));
  LogSave();
  kx::MessageBox(this,
                 kx::digidec::kToolFileName +
                     QStringLiteral(" is a Windows program and needs Wine to run, but \"wine\" was not found.\n"
                                    "Install the package \"wine\" (for example: sudo apt install wine), "
                                    "then click WRITE START again."),
                 QStringLiteral("エラー"), QMessageBox::Critical);
}

void TFormDigiDec::WriterProcessStarted() {
  // The shell runs without a window here, so there is no console title to set.
  ProgressBar1->setValue(0);
  ProgressBar2->setValue(0);
  Timer1->start();
  Log(QStringLiteral(" execute WriterCmd"));
  SetDigiDecButtonColor(kx::colors::Yellow);
  LogSave();
}

void TFormDigiDec::WriterProcessErrorOccurred(QProcess::ProcessError error) {
  // Other errors come with the process's end, which is handled on its own.
  if (error != QProcess::FailedToStart) return;
  NowCommandExecute = false;
  runLock_.Release();
  Log(QStringLiteral(" ERROR!!  Can not Ececute WriterCmd"));
  LogSave();
  kx::MessageBox(this, QStringLiteral("起動に失敗しました"), QStringLiteral("エラー"), QMessageBox::Critical);
}

void TFormDigiDec::WriterProcessFinished(int exitCode, QProcess::ExitStatus exitStatus) {
  // The run ends whatever the last read brings, even when logging it fails.
  struct EndRun {
    TFormDigiDec *form;
    ~EndRun() {
      form->NowCommandExecute = false;
      form->runLock_.Release();
    }
  } endRun{this};
  // The tool's last lines, its very last one whole even without a line end.
  ReadLogTxt(true);
  if (succeeded_) return;
  SetDigiDecButtonColor(kx::colors::Red);
  const QString text = QStringLiteral("WriterCmd ended without Success: ") +
                       kx::digidec::ExitDescription(exitCode, exitStatus == QProcess::CrashExit);
  MessageMemo->appendPlainText(text);
  Log(QStringLiteral(" ") + text);
  LogSave();
}

void TFormDigiDec::Timer1Timer() {
  Timer1->stop();
  // Polling goes on even when handling a line fails (a log that cannot be saved), so
  // that the lines still come once the log can be saved again.
  struct Restart {
    QTimer *timer;
    ~Restart() { timer->start(); }
  } restart{Timer1};
  ReadLogTxt(false);
}

void TFormDigiDec::ReadLogTxt(bool settled) {
  const QString path = LogTxtPath();
  // No log yet is a tool still starting (Wine setting itself up, say): nothing to do.
  if (!QFileInfo::exists(path)) return;
  QFile f(path);
  if (f.open(QIODevice::ReadOnly)) {
    LogTxtList = settled ? reader_.Settled(f.readAll()) : reader_.Lines(f.readAll());
  } else {
    MessageMemo->appendPlainText(QStringLiteral("OPEN ERROR"));
  }
  const int count = static_cast<int>(LogTxtList.size());
  // Lines of a log that became shorter are not handled. Each line counts as handled
  // before it is, so that a failure leaves the rest to the next read.
  LogTxtOldLineCount = std::min(LogTxtOldLineCount, count);
  while (LogTxtOldLineCount < count) {
    const QString line = LogTxtList[LogTxtOldLineCount++];
    LogTxtMemo->appendPlainText(line);
    WriterLogLineCheck(line);
  }
}

void TFormDigiDec::WriterLogLineCheck(const QString &line) {
  const kx::digidec::LineOutcome out = kx::digidec::CheckLine(line, ProgressBar1->value(), ProgressBar2->value());
  ProgressBar1->setValue(out.bar1);
  ProgressBar2->setValue(out.bar2);
  // The run itself ends when the tool's process does.
  if (out.success) {
    succeeded_ = true;
    SetDigiDecButtonColor(kx::colors::Blue);
  }
  for (int i = 0; i < out.shows; ++i) {
    MessageMemo->appendPlainText(out.message);
    Log(QStringLiteral(" WriterCmd [") + out.message + QStringLiteral("]"));
    LogSave();
  }
}

void TFormDigiDec::BitBtn1Click() {
  Log(QStringLiteral(" DigiDec Form close"));
  LogSave();
  close();
}

void TFormDigiDec::StepD02LabelClick() {
  StepD01Label->setText(QDir::currentPath() + QStringLiteral("  ") + QCoreApplication::applicationFilePath());
  StepD01Label->adjustSize();
}

void TFormDigiDec::SetDigiDecButtonColor(const QColor &color) {
  if (DigiDecLinks.setButtonColour) DigiDecLinks.setButtonColour(color);
}
