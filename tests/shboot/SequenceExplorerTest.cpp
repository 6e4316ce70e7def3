// A seeded random walk over what a technician does across the four windows, with the
// receiver on the line changing between the steps. After every step the walk checks what
// must hold whatever the order: the image a write carries follows from the serial number
// taken and this receiver's answer, nobody else uses the port while a write holds it,
// every run ends with its final line in the log of the receiver it started for, and the
// updater can always be ended.
//
//   KX7391_EXPLORER_SECONDS  how long to walk (default 40)
//   KX7391_EXPLORER_SEED     the first walk's seed (default 1); each further walk takes the next
//   KX7391_EXPLORER_STEPS    steps per walk (default 40)
//   KX7391_EXPLORER_VERBOSE  set: every step printed as it is taken
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QThread>
#include <QTimer>
#include <iostream>
#include <map>
#include <numeric>
#include <optional>
#include <random>

#include "comm/CommX.h"
#include "digidec/Deployment.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "main/Wiring.h"
#include "payload/Loaders.h"
#include "platform/Widgets.h"
#include "shboot/BootFrame.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;
namespace sim = kx::sim;

namespace {

constexpr int kStamp = 24;

int EnvInt(const char *name, int fallback) {
  bool ok = false;
  const int v = qEnvironmentVariableIntValue(name, &ok);
  return ok ? v : fallback;
}

// The MainBoard variant table, written out here on its own: the serial number's block
// variant, then what the last letters of the answer's MainBoard version say.
QString ExpectedMainImage(const QString &serial, const std::optional<QString> &answerMain) {
  bool block = serial.size() == 8 && serial.startsWith(QLatin1String("0971"));
  bool shortRfu = false;
  if (answerMain && !answerMain->isEmpty()) {
    const QString &v = *answerMain;
    const QChar last = v.back();
    const bool digitBefore = v.size() >= 2 && v[v.size() - 2].isDigit();
    if (last == u'B' && digitBefore) {
      block = true;
      shortRfu = true;
    } else if (last == u'B') {
      block = true;
    } else if (last == u'R') {
      shortRfu = true;
    } else if (last == u'Q') {
      block = true;
      shortRfu = true;
    }
  }
  if (shortRfu) return block ? QStringLiteral("MAIN_Q_SH_7391") : QStringLiteral("MAIN_R_SH_7391");
  return block ? QStringLiteral("MAIN_B_SH_7391") : QStringLiteral("MAIN_NONE_SH_7391");
}

QString BoardImage(int board, const QString &serial, const std::optional<QString> &answerMain) {
  switch (board) {
    case 0: return ExpectedMainImage(serial, answerMain);
    case 1: return QStringLiteral("DECORD_SH_7391");
    default: return QStringLiteral("PANEL_SH_7391");
  }
}

const std::vector<std::uint8_t> &Carried(const QString &name) {
  static std::map<QString, std::vector<std::uint8_t>> cache;
  auto it = cache.find(name);
  if (it == cache.end()) {
    kx::MemoryStream s;
    EXPECT_TRUE(kx::MakeMotStreamFromResource(name, s, kx::kRomSize, {}));
    it = cache.emplace(name, std::vector<std::uint8_t>(s.Bytes().begin(), s.Bytes().begin() + kx::kRomSize)).first;
  }
  return it->second;
}

// The blocks of `flash` that hold data, each equal to the same block of `image`.
bool WrittenBlocksMatch(const std::vector<std::uint8_t> &flash, const std::vector<std::uint8_t> &image,
                        std::size_t *written) {
  *written = 0;
  const std::size_t block = kx::shboot::kBlockSize;
  for (std::size_t a = 0; a + block <= flash.size() && a + block <= image.size(); a += block) {
    const auto f = flash.begin() + static_cast<std::ptrdiff_t>(a);
    if (std::all_of(f, f + static_cast<std::ptrdiff_t>(block), [](std::uint8_t b) { return b == 0xFF; })) continue;
    ++*written;
    if (!std::equal(f, f + static_cast<std::ptrdiff_t>(block), image.begin() + static_cast<std::ptrdiff_t>(a)))
      return false;
  }
  return true;
}

// Lines of a serial number's log file, without their stamps.
QStringList SerialLogFile(const QString &serial) {
  QStringList out;
  QFile f(QDir::current().filePath(serial + QStringLiteral("_Log.txt")));
  if (!f.open(QIODevice::ReadOnly)) return out;
  for (const QString &l : QString::fromUtf8(f.readAll()).split(QLatin1Char('\n'))) {
    QString line = l;
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    if (!line.isEmpty()) out.append(line.mid(kStamp));
  }
  return out;
}

// The lines from the last one that equals `start` on; empty when there is none.
QStringList FromLast(const QStringList &lines, const QString &start) {
  const qsizetype at = lines.lastIndexOf(start);
  return at < 0 ? QStringList() : lines.mid(at);
}

struct ReceiverKind {
  const char *name;
  std::string mainVersion;
  sim::BootMode boot;
  bool silent;  // answers nothing at all, not even the writer's bit-rate adjustment
};

const ReceiverKind kReceivers[] = {
    {"402A", "402A", sim::BootMode::Auto, false},      {"402AR", "402AR", sim::BootMode::Auto, false},
    {"402AB", "402AB", sim::BootMode::Auto, false},    {"402AQ", "402AQ", sim::BootMode::Auto, false},
    {"402B", "402B", sim::BootMode::Auto, false},      {"boot-mode", "402AR", sim::BootMode::MainBoard, false},
    {"silent", "402A", sim::BootMode::MainBoard, true},
};

const QString kSerials[] = {QStringLiteral("09680001"), QStringLiteral("09680661"), QStringLiteral("09710001"),
                            QStringLiteral("09710200"), QStringLiteral("12345678"), QString()};

enum class Act {
  ReceiverChange, Unplug, TypeSerial, TakeSerial, VersionCheck, CKey, Step3, Board, WriteStart, WriterAbort,
  WriterOk, CheckAbort, ComSearch, ComDropDown, ComOpen, ComClose, Send, SendHex, FileSend, FileSendThenWrite,
  DigiDecStart, CloseYes, CloseNo, TimePasses, WaitForRuns, Routine, kCount
};

// How often each action is drawn.
const int kWeights[] = {3, 1, 6, 5, 6, 2, 3, 7, 8, 3, 2, 3, 2, 1, 2, 2, 2, 1, 1, 2, 2, 1, 2, 4, 5, 6};
static_assert(std::size(kWeights) == static_cast<std::size_t>(Act::kCount));

class SequenceExplorer : public WriterTest {
 protected:
  static void SetUpTestSuite() {
    static QTemporaryDir toolBase;
    kx::digidec::SetBaseDirectory(toolBase.path());
    qputenv("KX7391_WRITER_SECONDS", "0.4");
  }

  void SetUp() override {
    WriterTest::SetUp();
    if (!FormDigiDec) FormDigiDec = new TFormDigiDec(kx::DigiDecWindowLinks());
    QObject::connect(FormMain->VersionDialogue1, &kx::VersionDialogue::GaveUp, FormMain,
                     [this] { events_.push_back({Event::GaveUp, FormMain->Log().MainLines().size()}); });
    sendFile_ = QDir::current().filePath(QStringLiteral("explorer_send.txt"));
    QFile f(sendFile_);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write("VR\nVRP\nVR\nVRP\n");
  }

  // ---- the walk's record ----

  struct Event {
    enum Kind { GaveUp } kind;
    qsizetype logIndex;
  };

  struct ShRun {
    bool active = false;
    int board = -1;
    QString serial;
    QString image;
    sim::Receiver *receiver = nullptr;
    sim::Counters before;
    bool disturbed = false;  // cut short, its clock jumped, or a receiver that cannot take it
    QStringList why;
  };
  struct DdRun {
    bool active = false;
    QString serial;
  };

  // ---- helpers ----

  void Fail(const QString &what) {
    if (failed_) return;
    failed_ = true;
    ADD_FAILURE() << "seed " << seed_ << ": " << what.toStdString() << "\nactions:\n  "
                  << actions_.join(QStringLiteral("\n  ")).toStdString() << "\nboxes: "
                  << boxes_->texts.join(QStringLiteral(" | ")).toStdString();
  }

  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(rng_); }
  bool Chance(double p) { return std::bernoulli_distribution(p)(rng_); }

  // Runs the action as the application runs a handler: from the event loop, so that an
  // exception ends in an error box, as it would for the user.
  void Do(const std::function<void()> &action) {
    bool ran = false;
    QTimer::singleShot(0, FormMain, [&] {
      ran = true;
      action();
    });
    kxtest::WaitUntil([&] { return ran; }, std::chrono::seconds(30));
    if (!ran) Fail(QStringLiteral("an action did not run within 30 s"));
  }

  void Pump(int ms) { kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(ms)); }

  bool RunHeld() const { return sh_.active || dd_.active; }

  // The number in the edit is taken (a move of the focus, a board button, WRITE START,
  // the close): refused while a run is in progress, and the edit shows the number taken.
  void PredictTake() {
    CheckShRunEnd();
    CheckDdRunEnd();
    if (RunHeld())
      typed_ = predictedTaken_;
    else
      predictedTaken_ = typed_;
  }

  // Goes on to another window of the updater: the number being typed is taken.
  void FocusLeavesMain() {
    PredictTake();
    FormMain->SerialNumberEditExit();
  }

  // What the updater's log says happened since the last look: serial numbers taken,
  // answers accepted, checks that gave up, in the order they happened.
  void Absorb() {
    const QStringList &lines = FormMain->Log().MainLines();
    std::size_t e = 0;
    for (; seen_ < lines.size(); ++seen_) {
      for (; e < events_.size() && events_[e].logIndex <= seen_; ++e) answer_.reset();
      const QString text = lines[seen_].mid(kStamp);
      static const QString change = QStringLiteral("SerialNumbrt Change to ");
      static const QString main = QStringLiteral(" MainBoard (");
      if (text.startsWith(change)) {
        taken_ = text.mid(change.size());
        answer_.reset();
      } else if (text.startsWith(main)) {
        const qsizetype colon = text.indexOf(QStringLiteral("): "));
        const qsizetype arrow = text.indexOf(QStringLiteral(" => "));
        if (colon < 0 || arrow < colon) {
          Fail(QStringLiteral("an evaluation line without its version: ") + text);
          continue;
        }
        const QString version = text.mid(colon + 3, arrow - colon - 3);
        // The updater read what this receiver reports.
        if (!rx || QString::fromStdString(rx->version(sim::Board::MainBoard)) != version)
          if (version != reportedAtStep_)
            Fail(QStringLiteral("an answer the receiver did not give was accepted: ") + text);
        answer_ = version;
      }
    }
    for (; e < events_.size(); ++e) answer_.reset();
    events_.clear();
  }

  QString ExpectedNow(int board) const { return BoardImage(board, taken_, answer_); }

  void StartReceiver(const ReceiverKind &kind) {
    if (rx) {
      rx->stop();
      old_.push_back(std::move(rx));
    }
    sim::Options o;
    o.pace = false;
    o.eraseSeconds = 0.05;
    o.versions = {kind.mainVersion, "3N4A", "510A"};
    o.boot = kind.boot;
    if (kind.silent) o.faults = {{sim::FaultKind::NoAdjust, 0}};
    kind_ = &kind;
    rxMidDialogue_ = false;
    StartReceiverWith(std::move(o));
    if (sh_.active) Disturb(QStringLiteral("the receiver was replaced"));
  }

  void Disturb(const QString &why) {
    if (!sh_.active) return;
    sh_.disturbed = true;
    sh_.why << why;
  }

  // ---- the checks after every step ----

  void CheckShRunEnd() {
    if (!sh_.active || BootState != 0) return;
    sh_.active = false;
    const QString where = QStringLiteral("the SH write of board %1 for \"%2\"").arg(sh_.board).arg(sh_.serial);
    const QStringList lines = FromLast(sh_.serial.isEmpty() ? [] {
      QStringList l;
      for (const QString &s : FormMain->Log().MainLines()) l.append(s.mid(kStamp));
      return l;
    }() : SerialLogFile(sh_.serial), QStringLiteral("[WRITE](FormSHBoot) Clicked"));
    if (lines.isEmpty()) {
      Fail(where + QStringLiteral(": its start is not in its receiver's log"));
      return;
    }
    const bool complete = std::any_of(lines.begin(), lines.end(),
                                      [](const QString &l) { return l.startsWith(QLatin1String("Writing complete.")); });
    const bool unwritten = lines.contains(QStringLiteral("Write aborted: the board is left unwritten. Write it again."));
    const bool aborted = lines.contains(QStringLiteral("[Abort](FormSHBoot) clicked"));
    const qsizetype close = lines.indexOf(QStringLiteral("COMM port close"));
    const qsizetype open = std::find_if(lines.begin(), lines.end(),
                                        [](const QString &l) { return l.startsWith(QLatin1String("COMM port open")); }) -
                           lines.begin();
    // A failure names itself in the line before the port's close; a port that could not
    // be opened, in the line after its open.
    static const QStringList progress = {"Erace OK", "AdjustBitRate OK", "Prepare the boot program",
                                         "Change the BitRate", "Changed the BitRate to 115kbps"};
    const bool failedWithMessage =
        (close > 1 && !progress.contains(lines[close - 1]) && !lines[close - 1].startsWith(QLatin1String("Write adrs")) &&
         !lines[close - 1].startsWith(QLatin1String("Skip adrs")) && !lines[close - 1].startsWith(QLatin1String("COMM port open"))) ||
        (close < 0 && open + 1 < lines.size() && !aborted);
    const sim::Counters after = sh_.receiver->counters();
    const bool framesIn = after.framesReceived > sh_.before.framesReceived;
    if (!complete && !unwritten && !failedWithMessage && !(aborted && !framesIn))
      Fail(where + QStringLiteral(" ended without a final line: ") + lines.join(QStringLiteral(" | ")));
    if (aborted && framesIn && !unwritten && !complete)
      Fail(where + QStringLiteral(": aborted after frames went out, but not logged as left unwritten"));
    if (after.versionRequests != sh_.before.versionRequests || after.panelRequests != sh_.before.panelRequests)
      Fail(where + QStringLiteral(": a version request reached the receiver during the write"));
    const auto board = static_cast<sim::Board>(sh_.board);
    if (framesIn) {
      std::size_t written = 0;
      if (!WrittenBlocksMatch(sh_.receiver->flash(board), Carried(sh_.image), &written))
        Fail(where + QStringLiteral(": the receiver's flash holds blocks that are not of ") + sh_.image);
      ++imagesChecked_;
    }
    if (complete && sh_.receiver->flash(board) != Carried(sh_.image))
      Fail(where + QStringLiteral(": complete, but the flash is not ") + sh_.image);
    if (!sh_.disturbed && !complete)
      Fail(where + QStringLiteral(" failed although nothing disturbed it: ") + lines.join(QStringLiteral(" | ")));
    ++shRuns_;
    if (complete) ++shComplete_;
    // A chip left inside its boot dialogue takes the next run's bytes as its own until
    // the receiver is switched off and on.
    if (!complete && sh_.receiver == rx.get()) rxMidDialogue_ = true;
  }

  void CheckDdRunEnd() {
    if (!dd_.active || FormDigiDec->NowCommandExecute) return;
    dd_.active = false;
    const QStringList lines = FromLast(SerialLogFile(dd_.serial), QStringLiteral("DigiDec[WRITE] clicked"));
    static const QStringList finals = {" WriterCmd [I:Success]", " ERROR!!  Can not Ececute WriterCmd",
                                       "DigiDec write stopped: the board may be left unwritten. Write it again."};
    const bool final = std::any_of(lines.begin(), lines.end(), [](const QString &l) {
      return finals.contains(l) || l.startsWith(QLatin1String(" WriterCmd ended without Success: "));
    });
    if (!dd_.serial.isEmpty() && !final)
      Fail(QStringLiteral("the DigiDec run for \"%1\" ended without a final line in its log: ").arg(dd_.serial) +
           lines.join(QStringLiteral(" | ")));
    ++ddRuns_;
  }

  void CheckStep() {
    Absorb();
    CheckShRunEnd();
    CheckDdRunEnd();
    if (FormMain->Log().SerialBaseName() != taken_)
      Fail(QStringLiteral("the log is kept for \"%1\", the serial number taken last was \"%2\"")
               .arg(FormMain->Log().SerialBaseName(), taken_));
    if (taken_ != predictedTaken_)
      Fail(QStringLiteral("the updater took \"%1\" where \"%2\" was to be taken").arg(taken_, predictedTaken_));
    if (FormMain->SerialNumberEdit->text() != typed_)
      Fail(QStringLiteral("the edit shows \"%1\", \"%2\" was typed").arg(FormMain->SerialNumberEdit->text(), typed_));
    if (sh_.active && sh_.serial != taken_)
      Fail(QStringLiteral("during the write for \"%1\" the updater took \"%2\"").arg(sh_.serial, taken_));
    if (dd_.active && dd_.serial != taken_)
      Fail(QStringLiteral("during the DigiDec run for \"%1\" the updater took \"%2\"").arg(dd_.serial, taken_));
    if (sh_.active && FormMain->ConnectTestBitBtn->Tag != 0)
      Fail(QStringLiteral("a version check is running during the write"));
    reportedAtStep_ = rx ? QString::fromStdString(rx->version(sim::Board::MainBoard)) : QString();
  }

  // ---- the actions ----

  void WriteStart() {
    if (!FormSHBoot->isVisible() || !FormSHBoot->WriteButton->isEnabled() || FormSHBoot->Running()) return;
    CheckShRunEnd();
    // Whatever the check sent before is in; nothing goes out while this thread sleeps.
    QThread::msleep(5);
    const sim::Counters before = rx->counters();
    sim::Receiver *receiver = rx.get();
    PredictTake();
    FormSHBoot->WriteButton->click();
    Absorb();
    if (BootState == 0) return;
    sh_ = ShRun{};
    sh_.active = true;
    sh_.board = FormSHBoot->Tag;
    sh_.serial = taken_;
    sh_.image = ExpectedNow(sh_.board);
    sh_.receiver = receiver;
    sh_.before = before;
    if (!receiver->running()) Disturb(QStringLiteral("no receiver on the line"));
    if (kind_->silent) Disturb(QStringLiteral("a silent receiver"));
    if (rxMidDialogue_) Disturb(QStringLiteral("a receiver left inside the last run's boot dialogue"));
    if (kind_->boot == sim::BootMode::MainBoard && sh_.board != 0) Disturb(QStringLiteral("the DIP switches of another board"));
    if (FormMain->CommX1->PortNo() != kSimPort) Disturb(QStringLiteral("another port"));
    if (!taken_.isEmpty() && !FormSHBoot->windowTitle().endsWith(QStringLiteral("  ") + taken_))
      Fail(QStringLiteral("the writer's caption \"%1\" does not name \"%2\"").arg(FormSHBoot->windowTitle(), taken_));
  }

  // A send of the terminal: disabled, or refused with its note, while a write holds the port.
  void TerminalSend(QPushButton *button) {
    static const QString note = QStringLiteral("; The SH writer holds the port: nothing was sent");
    const auto notes = [] {
      FormTerminal->TerminalRxFlush();
      return FormTerminal->RichEdit1->toPlainText().count(note);
    };
    // A disabled button sends nothing either.
    const bool held = BootState != 0 && button->isEnabled();
    const qsizetype before = held ? notes() : 0;
    button->click();
    if (const qsizetype after = held ? notes() : 0; held && after != before + 1)
      Fail(QStringLiteral("a terminal send during the write was not refused (its notes %1 before, %2 after)")
               .arg(before)
               .arg(after));
  }

  void Step(Act act) {
    switch (act) {
      case Act::ReceiverChange: {
        const ReceiverKind &k = kReceivers[Pick(static_cast<int>(std::size(kReceivers)))];
        actions_ << QStringLiteral("receiver %1").arg(QLatin1String(k.name));
        StartReceiver(k);
        return;
      }
      case Act::Unplug:
        actions_ << QStringLiteral("unplug");
        if (rx) rx->stop();
        Disturb(QStringLiteral("unplugged"));
        return;
      case Act::TypeSerial: {
        const QString s = kSerials[Pick(Chance(0.1) ? 6 : 5)];
        actions_ << QStringLiteral("type \"%1\"").arg(s);
        typed_ = s;
        FormMain->SerialNumberEdit->setText(s);
        return;
      }
      case Act::TakeSerial:
        actions_ << QStringLiteral("serial taken");
        Do([&] {
          PredictTake();
          FormMain->SerialNumberEditExit();
        });
        return;
      case Act::VersionCheck:
        actions_ << QStringLiteral("VersionCheck");
        Do([] { FormMain->ConnectTestBitBtn->click(); });
        return;
      case Act::CKey:
        actions_ << QStringLiteral("\"C\" key");
        Do([] { FormMain->ConnectTestBitBtnKeyPress(u'C'); });
        return;
      case Act::Step3:
        actions_ << QStringLiteral("text of step 3");
        Do([] { FormMain->Step03LabelClick(); });
        return;
      case Act::Board: {
        const int board = Pick(3);
        actions_ << QStringLiteral("board button %1").arg(board);
        kx::TButton *buttons[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn};
        Do([&] {
          if (!buttons[board]->isEnabled()) return;
          PredictTake();
          buttons[board]->click();
        });
        return;
      }
      case Act::WriteStart:
        actions_ << QStringLiteral("WRITE START");
        Do([&] {
          if (FormSHBoot->isVisible()) FocusLeavesMain();
          WriteStart();
        });
        return;
      case Act::WriterAbort:
        actions_ << QStringLiteral("Abort (writer)");
        Do([&] {
          if (!FormSHBoot->isVisible() || !FormSHBoot->AbortButton->isEnabled()) return;
          FocusLeavesMain();
          Disturb(QStringLiteral("Abort"));
          FormSHBoot->AbortButton->click();
        });
        return;
      case Act::WriterOk:
        actions_ << QStringLiteral("OK (writer)");
        Do([&] {
          if (!FormSHBoot->isVisible()) return;
          FocusLeavesMain();
          FormSHBoot->BitBtn1->click();
        });
        return;
      case Act::CheckAbort:
        actions_ << QStringLiteral("Abort (check)");
        Do([] { FormMain->AbortButton->click(); });
        return;
      case Act::ComSearch:
        actions_ << QStringLiteral("COM Search");
        Do([] { FormMain->ComSearchButton->click(); });
        return;
      case Act::ComDropDown:
        actions_ << QStringLiteral("COM drop-down");
        Do([&] {
          const int n = FormMain->ComPortComboBox->count();
          if (n == 0) return;
          FormMain->ComPortComboBox->setCurrentIndex(Pick(n));
          emit FormMain->ComPortComboBox->activated(FormMain->ComPortComboBox->currentIndex());
        });
        return;
      case Act::ComOpen:
        actions_ << QStringLiteral("COM Open");
        Do([&] {
          FocusLeavesMain();
          FormTerminal->OpenButton->click();
        });
        return;
      case Act::ComClose:
        actions_ << QStringLiteral("COM Close");
        Do([&] {
          FocusLeavesMain();
          FormTerminal->CloseButton->click();
        });
        return;
      case Act::Send:
        actions_ << QStringLiteral("Send");
        Do([&] {
          FocusLeavesMain();
          FormTerminal->CommandComboBox->setEditText(QStringLiteral("VR"));
          TerminalSend(FormTerminal->SendButton);
        });
        return;
      case Act::SendHex:
        actions_ << QStringLiteral("Send HEX");
        Do([&] {
          FocusLeavesMain();
          FormTerminal->CommandComboBox->setEditText(QStringLiteral("56 52 0D 0A"));
          TerminalSend(FormTerminal->SendHEXButton);
        });
        return;
      case Act::FileSend:
      case Act::FileSendThenWrite: {
        const bool write = act == Act::FileSendThenWrite;
        actions_ << (write ? QStringLiteral("File Send, WRITE START during it") : QStringLiteral("File Send"));
        Do([&, write] {
          FocusLeavesMain();
          FormTerminal->SendFileEdit->setText(sendFile_);
          // The user goes on to the writer while the file's lines go out.
          static const QString stopped = QStringLiteral("; File Send stopped: the SH writer takes the port");
          const auto stops = [] {
            FormTerminal->TerminalRxFlush();
            return FormTerminal->RichEdit1->toPlainText().count(stopped);
          };
          const qsizetype before = stops();
          bool sending = true, startedInside = false;
          if (write)
            QTimer::singleShot(150, FormSHBoot, [&] {
              WriteStart();
              startedInside = sending && BootState != 0;
            });
          TerminalSend(FormTerminal->FileSendStartButton);
          sending = false;
          if (write) Pump(200);
          // No line of the file may follow the write's start.
          if (startedInside && stops() != before + 1) Fail(QStringLiteral("the file send went on into the write"));
        });
        return;
      }
      case Act::DigiDecStart: {
        const bool fail = Chance(0.3);
        actions_ << (fail ? QStringLiteral("DigiDec WRITE START (the tool fails)") : QStringLiteral("DigiDec WRITE START"));
        Do([&, fail] {
          FocusLeavesMain();
          if (fail)
            qputenv("KX7391_WRITER_FAIL", "error");
          else
            qunsetenv("KX7391_WRITER_FAIL");
          const bool before = FormDigiDec->NowCommandExecute;
          FormDigiDec->ExeButton->click();
          Absorb();
          if (!before && FormDigiDec->NowCommandExecute) dd_ = DdRun{true, taken_};
        });
        return;
      }
      case Act::CloseYes:
      case Act::CloseNo: {
        const bool yes = act == Act::CloseYes;
        actions_ << (yes ? QStringLiteral("close, Yes") : QStringLiteral("close, No"));
        Do([&, yes] {
          boxes_->answerYes = yes;
          const bool shRunning = BootState != 0;
          if (shRunning && yes) Disturb(QStringLiteral("closed"));
          const bool ddRunning = FormDigiDec->NowCommandExecute;
          const bool closed = FormMain->close();
          boxes_->answerYes = false;
          if (closed) {
            // The updater ended: the writer's run is over, and the number typed was taken.
            if (BootState != 0) Fail(QStringLiteral("the updater closed during an SH write"));
            if (ddRunning) Fail(QStringLiteral("the updater closed during a DigiDec run"));
            if (shRunning && !yes) Fail(QStringLiteral("the close answered No ended the updater"));
            CheckShRunEnd();
            PredictTake();
            FormMain->show();
          } else {
            // Only a run may keep the updater: an SH write the user chose to keep, or a live tool.
            if (!(shRunning && !yes) && !ddRunning) Fail(QStringLiteral("the close was refused without a run"));
            if (shRunning && yes) Fail(QStringLiteral("the close answered Yes did not end the SH write"));
          }
        });
        return;
      }
      case Act::TimePasses: {
        static const std::uint32_t jumps[] = {0, 0, 2000, 6000, 20000};
        const std::uint32_t jump = jumps[Pick(5)];
        actions_ << QStringLiteral("time passes (writer clock +%1 ms)").arg(jump);
        if (jump != 0) {
          Disturb(QStringLiteral("the clock jumped"));
          AdvanceWriterClock(jump);
        }
        Pump(300);
        return;
      }
      case Act::WaitForRuns:
        // The technician waits for the runs to end (a time-out the writer clock reaches).
        actions_ << QStringLiteral("wait for the runs");
        kxtest::WaitUntil([] { return BootState == 0 && !FormDigiDec->NowCommandExecute; }, std::chrono::seconds(20));
        return;
      case Act::Routine: {
        // The usual way through: the check, its answer, MainBoard, WRITE START.
        actions_ << QStringLiteral("VersionCheck, its answer, MainBoard, WRITE START");
        Do([] { FormMain->ConnectTestBitBtn->click(); });
        kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, std::chrono::milliseconds(1500));
        Do([&] {
          if (!FormMain->MainBoardBitBtn->isEnabled()) return;
          PredictTake();
          FormMain->MainBoardBitBtn->click();
        });
        Do([&] {
          if (FormSHBoot->isVisible()) FocusLeavesMain();
          WriteStart();
        });
        return;
      }
      case Act::kCount: return;
    }
  }

  Act Draw() {
    static const int total = std::accumulate(std::begin(kWeights), std::end(kWeights), 0);
    int r = Pick(total);
    for (int i = 0; i < static_cast<int>(Act::kCount); ++i) {
      if (r < kWeights[i]) return static_cast<Act>(i);
      r -= kWeights[i];
    }
    return Act::TimePasses;
  }

  // The same start for every walk: no run, no check, the terminal closed, a receiver
  // that answers, a serial number taken and the board buttons enabled.
  void Reset() {
    if (BootState != 0) FormSHBoot->AbortButtonClick();
    kxtest::WaitUntil([] { return !FormDigiDec->NowCommandExecute; }, std::chrono::seconds(20));
    if (FormMain->ConnectTestBitBtn->Tag != 0) FormMain->AbortButtonClick();
    if (FormTerminal->CloseButton->isEnabled()) FormTerminal->CloseButtonClick();
    FormSHBoot->hide();
    StartReceiver(kReceivers[0]);
    FormMain->CommX1->SetPortNo(kSimPort);
    FormMain->SerialNumberEdit->setText(QStringLiteral("09680661"));
    FormMain->SerialNumberEditExit();
    FormMain->Step03LabelClick();
    FormMain->show();
    FormTerminal->show();
    FormDigiDec->show();
    Pump(20);
    seen_ = FormMain->Log().MainLines().size();
    events_.clear();
    taken_ = predictedTaken_ = typed_ = FormMain->Log().SerialBaseName();
    answer_.reset();
    sh_ = ShRun{};
    dd_ = DdRun{};
    reportedAtStep_.clear();
  }

  void Walk(std::uint64_t seed, int steps, const QDeadlineTimer &deadline) {
    seed_ = seed;
    rng_.seed(seed);
    actions_.clear();
    Reset();
    static const bool verbose = qEnvironmentVariableIsSet("KX7391_EXPLORER_VERBOSE");
    QElapsedTimer t;
    t.start();
    for (int i = 0; i < steps && !failed_ && !deadline.hasExpired(); ++i) {
      const Act act = Draw();
      Step(act);
      Pump(10 + Pick(60));
      CheckStep();
      if (verbose)
        std::cout << seed << " " << t.elapsed() << " ms: " << actions_.last().toStdString() << " BootState "
                  << BootState << (sh_.active ? " sh" : "") << (dd_.active ? " dd" : "") << "\n";
    }
    // The walk ends as the user's day does: the updater can be ended, whatever runs.
    if (failed_) return;
    actions_ << QStringLiteral("end: close, Yes");
    kxtest::WaitUntil([] { return !FormDigiDec->NowCommandExecute; }, std::chrono::seconds(20));
    CheckStep();
    Step(Act::CloseYes);
    if (BootState != 0) Fail(QStringLiteral("BootState %1 after the close").arg(BootState));
    CheckStep();
  }

  // After the walks, one write left to run to its end on a receiver that takes it: the
  // image it carries follows from whatever the walks left the updater with.
  void FinalWrite() {
    actions_ << QStringLiteral("final: MainBoard written to its end");
    kxtest::WaitUntil([] { return BootState == 0 && !FormDigiDec->NowCommandExecute; }, std::chrono::seconds(20));
    CheckStep();
    if (!rx->running() || kind_->silent || kind_->boot != sim::BootMode::Auto || rxMidDialogue_) {
      const ReceiverKind *k = &kReceivers[0];
      for (const ReceiverKind &r : kReceivers)
        if (r.boot == sim::BootMode::Auto && r.mainVersion == kind_->mainVersion) k = &r;
      StartReceiver(*k);
    }
    if (typed_.isEmpty()) {
      typed_ = QStringLiteral("09710001");
      FormMain->SerialNumberEdit->setText(typed_);
    }
    Do([&] {
      FormMain->Step03LabelClick();
      PredictTake();
      FormMain->MainBoardBitBtn->click();
    });
    Do([&] { WriteStart(); });
    if (!sh_.active) Fail(QStringLiteral("the final write did not start"));
    kxtest::WaitUntil([] { return BootState == 0; }, std::chrono::seconds(30));
    CheckStep();
  }

  std::mt19937_64 rng_;
  std::uint64_t seed_ = 0;
  QStringList actions_;
  bool failed_ = false;
  std::unique_ptr<kxtest::MessageBoxes> boxes_;
  std::vector<std::unique_ptr<sim::Receiver>> old_;
  const ReceiverKind *kind_ = &kReceivers[0];
  bool rxMidDialogue_ = false;
  std::vector<Event> events_;
  qsizetype seen_ = 0;
  QString typed_, predictedTaken_, taken_;
  std::optional<QString> answer_;
  QString reportedAtStep_;
  ShRun sh_;
  DdRun dd_;
  QString sendFile_;
  int shRuns_ = 0, shComplete_ = 0, imagesChecked_ = 0, ddRuns_ = 0;
};

TEST_F(SequenceExplorer, RandomWalksAcrossTheWindows) {
  const int seconds = EnvInt("KX7391_EXPLORER_SECONDS", 40);
  const int steps = EnvInt("KX7391_EXPLORER_STEPS", 40);
  const std::uint64_t first = static_cast<std::uint64_t>(EnvInt("KX7391_EXPLORER_SEED", 1));
  boxes_ = std::make_unique<kxtest::MessageBoxes>();
  QElapsedTimer clock;
  clock.start();
  const QDeadlineTimer deadline{std::chrono::seconds(seconds)};
  int walks = 0;
  for (std::uint64_t seed = first; !failed_ && (walks == 0 || !deadline.hasExpired()); ++seed, ++walks)
    Walk(seed, steps, deadline);
  if (!failed_) FinalWrite();
  std::cout << "[ explorer ] " << walks << " walks from seed " << first << ", " << shRuns_ << " SH writes ("
            << shComplete_ << " complete, " << imagesChecked_ << " with frames checked), " << ddRuns_ << " DigiDec runs, " << clock.elapsed() / 1000.0 << " s\n";
  boxes_.reset();
  EXPECT_GT(shComplete_, 0) << "no write completed: the walk reached no image check";
}

}  // namespace

namespace {

// Found by the walk: a DigiDec run started during an SH write took the receiver's one run
// slot, and its end released the port under the write, so COM Search reopened it and the
// write timed out. Each run holds the receiver until its own end.
TEST_F(SequenceExplorer, ADigiDecRunBesideAWriteLeavesThePortHeld) {
  kxtest::MessageBoxes boxes;
  qunsetenv("KX7391_WRITER_FAIL");
  // The write waits for good at its 200th block, until it is aborted.
  sim::Options o;
  o.pace = false;
  o.eraseSeconds = 0.05;
  o.faults = {{sim::FaultKind::WriteTimeout, 200}};
  StartReceiverWith(o);
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680001"));
  FormMain->SerialNumberEditExit();
  FormMain->Step03LabelClick();
  ChooseBoard(0);
  FormSHBoot->WriteButton->click();
  ASSERT_TRUE(SettleInState(64));
  FormDigiDec->ExeButton->click();
  ASSERT_TRUE(FormDigiDec->NowCommandExecute);
  ASSERT_TRUE(kxtest::WaitUntil([] { return !FormDigiDec->NowCommandExecute; }, std::chrono::seconds(20)));
  ASSERT_EQ(BootState, 64);

  boxes.texts.clear();
  FormMain->ComSearchButton->click();
  FormMain->SerialNumberEdit->setText(QStringLiteral("09680002"));
  FormMain->SerialNumberEditExit();
  ASSERT_EQ(boxes.texts.size(), 2) << boxes.texts.join('|').toStdString();
  EXPECT_TRUE(boxes.texts[0].startsWith(QStringLiteral("COM Search is not possible"))) << boxes.texts[0].toStdString();
  EXPECT_TRUE(boxes.texts[1].startsWith(QStringLiteral("The serial number cannot be changed while an SH write")))
      << boxes.texts[1].toStdString();
  EXPECT_EQ(BootState, 64);
  EXPECT_TRUE(FormMain->CommX1->IsOpen());

  FormSHBoot->AbortButtonClick();
  EXPECT_EQ(SerialLogFile(QStringLiteral("09680001")).last(),
            QStringLiteral("Write aborted: the board is left unwritten. Write it again."));
}

}  // namespace
