#include "digidec/UnitDigiDec.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QStyle>
#include <algorithm>

#include "digidec/Deployment.h"
#include "main/UnitMain.h"
#include "platform/Dialogs.h"

TFormDigiDec *FormDigiDec = nullptr;

namespace {
const QString kTahoma = QStringLiteral("Tahoma");
constexpr int kQuietPolls = 4;

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
  if (FormMain) FormMain->LogFileAdd(text);
}
void LogSave() {
  if (FormMain) FormMain->LogFileSave(3);
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

  const std::pair<QObject *, const char *> names[] = {
      {StepD01Label, "StepD01Label"}, {StepD02Label, "StepD02Label"}, {StepD03Label, "StepD03Label"},
      {StepD04Label, "StepD04Label"}, {Label1, "Label1"},             {ExeButton, "ExeButton"},
      {MessageMemo, "MessageMemo"},   {LogTxtMemo, "LogTxtMemo"},     {ProgressBar1, "ProgressBar1"},
      {ProgressBar2, "ProgressBar2"}, {StepD05Label, "StepD05Label"}, {BitBtn1, "BitBtn1"},
      {Timer1, "Timer1"}};
  for (const auto &[object, name] : names) object->setObjectName(QLatin1String(name));

  connect(StepD02Label, &kx::TClickLabel::clicked, this, &TFormDigiDec::StepD02LabelClick);
  connect(ExeButton, &QPushButton::clicked, this, &TFormDigiDec::ExeButtonClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TFormDigiDec::BitBtn1Click);
  connect(Timer1, &QTimer::timeout, this, &TFormDigiDec::Timer1Timer);
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
  if (QFileInfo::exists(path)) {
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
  NowCommandExecute = true;
  Log(QStringLiteral("cmd [-c \"") + kx::digidec::kShellCommand + QStringLiteral("\"]"));

  // Started from the executable's folder, where the tool was deployed, whatever the
  // working directory; detached with its streams on /dev/null, and never waited for.
  QProcess process;
  process.setProgram(kx::digidec::kShell);
  process.setArguments({QStringLiteral("-c"), kx::digidec::kShellCommand});
  process.setWorkingDirectory(kx::digidec::BaseDirectory());
  process.setStandardInputFile(QProcess::nullDevice());
  process.setStandardOutputFile(QProcess::nullDevice());
  process.setStandardErrorFile(QProcess::nullDevice());
  if (!process.startDetached()) {
    kx::MessageBox(this, QStringLiteral("起動に失敗しました"), QStringLiteral("エラー"), QMessageBox::Critical);
    NowCommandExecute = false;
    Log(QStringLiteral(" ERROR!!  Can not Ececute WriterCmd"));
  } else {
    // The shell runs without a window here, so there is no console title to set.
    ProgressBar1->setValue(0);
    ProgressBar2->setValue(0);
    Timer1->Tag = kQuietPolls;
    Timer1->start();
    Log(QStringLiteral(" execute WriterCmd"));
    SetDigiDecButtonColor(kx::colors::Yellow);
  }
  LogSave();
}

void TFormDigiDec::Timer1Timer() {
  Timer1->stop();
  // Polling goes on even when handling a line fails (a log that cannot be saved), so
  // that a run can still end and the windows can still be closed.
  struct Restart {
    QTimer *timer;
    ~Restart() { timer->start(); }
  } restart{Timer1};

  const QString path = LogTxtPath();
  bool newLines = false;
  // A missing log counts as quiet too: a tool that never started must not keep the
  // run, and with it both windows, open for ever.
  if (QFileInfo::exists(path)) {
    QFile f(path);
    if (f.open(QIODevice::ReadOnly)) {
      LogTxtList = reader_.Lines(f.readAll());
    } else {
      MessageMemo->appendPlainText(QStringLiteral("OPEN ERROR"));
    }
    const int count = static_cast<int>(LogTxtList.size());
    if (count != LogTxtOldLineCount) {
      newLines = true;
      Timer1->Tag = kQuietPolls;
      // Lines of a log that became shorter are not handled. Each line counts as
      // handled before it is, so that a failure leaves the rest to the next poll.
      LogTxtOldLineCount = std::min(LogTxtOldLineCount, count);
      while (LogTxtOldLineCount < count) {
        const QString line = LogTxtList[LogTxtOldLineCount++];
        LogTxtMemo->appendPlainText(line);
        WriterLogLineCheck(line);
      }
    }
  }
  if (!newLines) {
    if (Timer1->Tag > 0) --Timer1->Tag;
    if (Timer1->Tag == 0) {
      if (NowCommandExecute) SetDigiDecButtonColor(kx::colors::Red);
      NowCommandExecute = false;
    }
  }
}

void TFormDigiDec::WriterLogLineCheck(const QString &line) {
  const kx::digidec::LineOutcome out = kx::digidec::CheckLine(line, ProgressBar1->value(), ProgressBar2->value());
  ProgressBar1->setValue(out.bar1);
  ProgressBar2->setValue(out.bar2);
  if (out.success) {
    NowCommandExecute = false;
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
  if (FormMain) FormMain->DigiDecBitBtn->SetFontColor(color);
}
