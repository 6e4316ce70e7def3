#include "digidec/UnitDigiDec.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QStyle>
#include <QTimer>
#include <cmath>

#include "digidec/Deployment.h"
#include "platform/Dialogs.h"

TFormDigiDec *FormDigiDec = nullptr;

namespace {
const QString kTahoma = QStringLiteral("Tahoma");

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

}  // namespace

TFormDigiDec::TFormDigiDec(Links links, QWidget *parent) : QWidget(parent), links_(std::move(links)) {
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
  kx::WrappedLabel(StepD02Label, 8, 34, 497, 25);
  StepD03Label = kx::WrappedLabel(new QLabel(QStringLiteral("Step 3 :  Power on via rear switch .  Wait 10 sec."), this),
                              8, 65, 497, 32);
  StepD04Label = kx::WrappedLabel(
      new QLabel(QStringLiteral("Step 4 :  Click on  [WRITE START] ; wait for progress bars to finish."), this), 8,
      95, 497, 36);
  Label1 = kx::WrappedLabel(new QLabel(QStringLiteral("(~10min, do not interrupt!) approximately 10 minutes and cannot "
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
  StepD05Label = kx::WrappedLabel(
      new QLabel(QStringLiteral("Step 5 :  When \"Success\" appears, power off via rear switch."), this), 8, 320, 497,
      33);
  BitBtn1 = new QPushButton(style()->standardIcon(QStyle::SP_DialogOkButton), QStringLiteral("OK"), this);
  BitBtn1->setGeometry(288, 349, 97, 41);
  Run = new kx::digidec::DigiDecRun(links_.log, this);
  Run->SetView(this);
  Timer1 = Run->Timer();
  WriterProcess = Run->Process();

  const std::pair<QObject *, const char *> names[] = {
      {StepD01Label, "StepD01Label"}, {StepD02Label, "StepD02Label"}, {StepD03Label, "StepD03Label"},
      {StepD04Label, "StepD04Label"}, {Label1, "Label1"},             {ExeButton, "ExeButton"},
      {MessageMemo, "MessageMemo"},   {LogTxtMemo, "LogTxtMemo"},     {ProgressBar1, "ProgressBar1"},
      {ProgressBar2, "ProgressBar2"}, {StepD05Label, "StepD05Label"}, {BitBtn1, "BitBtn1"},
      {Run, "Run"},                   {Timer1, "Timer1"},             {WriterProcess, "WriterProcess"}};
  for (const auto &[object, name] : names) object->setObjectName(QLatin1String(name));

  connect(StepD02Label, &kx::TClickLabel::clicked, this, &TFormDigiDec::StepD02LabelClick);
  connect(ExeButton, &QPushButton::clicked, this, &TFormDigiDec::ExeButtonClick);
  connect(BitBtn1, &QPushButton::clicked, this, &TFormDigiDec::BitBtn1Click);
}

QString TFormDigiDec::LogTxtPath() { return kx::digidec::DigiDecRun::LogTxtPath(); }

QDateTime TFormDigiDec::FileTimeToLocalDateTime(const QDateTime &fileTime) {
  return kx::digidec::FileTimeToLocalDateTime(fileTime);
}

void TFormDigiDec::FormCreate() {
  // The previous run's log is kept under the time of its last change.
  Run->FormCreate();
  MirrorRun();
}

void TFormDigiDec::FormDestroy() {
  // The engine kills a tool still running with its group as it goes (only when the
  // program ends some other way than by closing its windows, which a live run refuses).
  Run->SetView(nullptr);
}

bool TFormDigiDec::FormCloseQuery() { return EndQuery(this); }

bool TFormDigiDec::EndQuery(QWidget *parent, const std::function<void()> &onRefusal) {
  if (!Run->Running()) return true;
  if (!Run->Hung()) {
    if (onRefusal) onRefusal();
    kx::MessageBox(parent, QStringLiteral("It cannot be closed because it is currently running."));
    return false;
  }
  if (!kx::AskYesNo(parent, HungQuestion())) return false;
  Run->Stop();
  MirrorRun();
  return true;
}

void TFormDigiDec::ShutdownStop() {
  Run->Stop();
  MirrorRun();
}

QString TFormDigiDec::HungQuestion() const {
  const double seconds = Run->HungLimit();
  const bool inMinutes = seconds >= 60 && std::fmod(seconds, 60) == 0;
  const double count = inMinutes ? seconds / 60 : seconds;
  const QString unit = inMinutes ? QStringLiteral("minute") : QStringLiteral("second");
  const QString span = QString::number(count) + QLatin1Char(' ') + unit + (count == 1 ? QString() : QStringLiteral("s"));
  return QStringLiteral("The DigiDec writer tool has written nothing for %1 and may be hung.\n"
                        "Stop it? The board may be left unwritten and must be written again.")
      .arg(span);
}

void TFormDigiDec::closeEvent(QCloseEvent *event) {
  event->ignore();
  if (FormCloseQuery()) event->accept();
}

void TFormDigiDec::ExeButtonClick() {
  // ExeButton stays enabled during a run; the engine refuses a second start.
  Run->Start();
  MirrorRun();
}

void TFormDigiDec::Timer1Timer() { Run->Poll(); }

void TFormDigiDec::WriterLogLineCheck(const QString &line) { Run->WriterLogLineCheck(line); }

void TFormDigiDec::LogLine(const QString &line) { LogTxtMemo->appendPlainText(line); }

void TFormDigiDec::Message(const QString &text) { MessageMemo->appendPlainText(text); }

void TFormDigiDec::Bars(int overall, int phase) {
  ProgressBar1->setValue(overall);
  ProgressBar2->setValue(phase);
}

void TFormDigiDec::BoardState(Board state) {
  MirrorRun();
  if (!links_.digiDecButtonColor) return;
  switch (state) {
    case Board::Running:
      links_.digiDecButtonColor(kx::colors::Yellow);
      break;
    case Board::Written:
      links_.digiDecButtonColor(kx::colors::Blue);
      break;
    case Board::Failed:
      links_.digiDecButtonColor(kx::colors::Red);
      break;
  }
}

void TFormDigiDec::ErrorMessage(const QString &text) {
  MirrorRun();
  kx::MessageBox(this, text, QStringLiteral("エラー"), QMessageBox::Critical);
}

void TFormDigiDec::RunEnded(Outcome outcome, const QString &) {
  RecordRunEnd(outcome);
  MirrorRun();
}

void TFormDigiDec::MirrorRun() {
  const bool running = Run->Running();
  if (running == NowCommandExecute) return;
  NowCommandExecute = running;
  if (links_.runChanged) links_.runChanged(running);
  if (running) RecordRunStart();
}

// From the moment the run holds the tool folder, before the tool starts: a tool that
// then cannot be started ends "failed".
void TFormDigiDec::RecordRunStart() {
  kx::WriteRecord r;
  r.serial = links_.serialNumber ? links_.serialNumber() : QString();
  r.board = QStringLiteral("DigiDec");
  // The two files the tool is given, as they stand in its folder now; one that cannot be
  // read counts as empty.
  const auto read = [](const QString &name) {
    QFile f(kx::digidec::ToolDirectory() + QLatin1Char('/') + name);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
  };
  const QByteArray image = read(kx::digidec::kImageFileName);
  const QByteArray image10 = read(kx::digidec::kImage10FileName);
  r.SetImages({{kx::digidec::kImageFileName, image}, {kx::digidec::kImage10FileName, image10}});
  r.result = kx::WriteResult::Started;
  // The version alone: --version adds the licence after a line break.
  r.version = QCoreApplication::applicationVersion().section(QLatin1Char('\n'), 0, 0);
  record_ = r;
  recordClock_.start();
  if (links_.recordWrite) links_.recordWrite(r);
}

void TFormDigiDec::RecordRunEnd(Outcome outcome) {
  if (!record_) return;
  kx::WriteRecord r = *record_;
  record_.reset();
  switch (outcome) {
    case Outcome::Succeeded: r.result = kx::WriteResult::Written; break;
    case Outcome::Stopped: r.result = kx::WriteResult::Aborted; break;
    case Outcome::Failed:
    case Outcome::NotStarted: r.result = kx::WriteResult::Failed; break;
  }
  r.seconds = static_cast<double>(recordClock_.elapsed()) / 1000.0;
  if (links_.recordWrite) links_.recordWrite(r);
}

void TFormDigiDec::BitBtn1Click() {
  if (links_.log.add) links_.log.add(QStringLiteral(" DigiDec Form close"));
  if (links_.log.save) links_.log.save();
  close();
}

void TFormDigiDec::StepD02LabelClick() {
  StepD01Label->setText(QDir::currentPath() + QStringLiteral("  ") + QCoreApplication::applicationFilePath());
  StepD01Label->adjustSize();
}
