#include "main/Wiring.h"

#include <QComboBox>
#include <QPushButton>

#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"

namespace kx {

namespace {

kx::TButton *BoardButton(int board) {
  if (!FormMain) return nullptr;
  kx::TButton *buttons[] = {FormMain->MainBoardBitBtn, FormMain->DecoderBitBtn, FormMain->PanelBitBtn,
                            FormMain->DigiDecBitBtn};
  return board >= 0 && board < 4 ? buttons[board] : nullptr;
}

bool WriterRunning() { return FormSHBoot && FormSHBoot->Running(); }

}  // namespace

void WireWindows(TFormMain &main) {
  TMainLinks &m = MainLinks;
  m.terminalOpen = [] {
    if (FormTerminal) FormTerminal->OpenButtonClick();
  };
  m.terminalClose = [] {
    if (FormTerminal) FormTerminal->CloseButtonClick();
  };
  m.terminalListening = [] { return FormTerminal && FormTerminal->CloseButton->isEnabled(); };
  m.terminalReceive = [](std::uint8_t d) {
    if (FormTerminal) FormTerminal->TerminalRx_1byte(d);
  };
  m.terminalDisconnect = [](const QString &message) {
    if (FormTerminal) FormTerminal->TerminalDisconnect(message);
  };
  m.terminalShow = [](const QString &caption) {
    if (!FormTerminal) return;
    FormTerminal->show();
    FormTerminal->setWindowTitle(caption);
  };
  m.writerShow = [](int board) {
    if (!FormSHBoot) return;
    FormSHBoot->show();
    FormSHBoot->BoardInitialize(board);
  };
  m.writerRunning = WriterRunning;
  m.writerBoard = [] { return WriterRunning() ? FormSHBoot->Tag : -1; };
  m.writerReceive = [](std::uint8_t d) {
    if (FormSHBoot) FormSHBoot->BootCommReceive(d);
  };
  m.writerDisconnect = [](const QString &message) {
    if (FormSHBoot) FormSHBoot->BootCommDisconnect(message);
  };
  m.writerAbort = [] {
    if (WriterRunning()) FormSHBoot->AbortButtonClick();
  };
  m.digiDecShow = [] {
    if (FormDigiDec) FormDigiDec->show();
  };
  m.digiDecRunning = [] { return FormDigiDec && FormDigiDec->NowCommandExecute; };
  m.digiDecAllowsClose = [](QWidget *asker) {
    return !FormDigiDec || FormDigiDec->EndQuery(asker, [] {
      FormMain->LogFileAdd(QStringLiteral("FormMain cannot be closed because it is currently running."));
      FormMain->LogFileSave(3);
    });
  };
  m.digiDecShutdown = [] {
    if (FormDigiDec) FormDigiDec->ShutdownStop();
  };
  m.isUpdaterWindow = [](const QWidget *w) {
    return w && (w == FormTerminal || w == FormSHBoot || w == FormDigiDec);
  };

  TSHBootLinks &sh = SHBootLinks;
  sh.receiver = &main.Receiver;
  sh.port = main.CommX1;
  sh.logAdd = [](const QString &text) {
    if (FormMain) FormMain->LogFileAdd(text);
  };
  sh.logSave = [] {
    if (FormMain) FormMain->LogFileSave(3);
  };
  sh.portEntry = [] { return FormMain ? FormMain->ComPortComboBox->currentText() : QString(); };
  sh.boardColour = [](int board) {
    const kx::TButton *b = BoardButton(board);
    return b ? b->FontColor() : QColor();
  };
  sh.setBoardColour = [](int board, const QColor &colour) {
    if (kx::TButton *b = BoardButton(board)) b->SetFontColor(colour);
  };
  sh.writeAsked = [] {
    if (!FormMain) return;
    // The run is for the receiver whose number stands in the edit.
    FormMain->SerialNumberEditExit();
    // A check still running ends as its Abort ends it: none of its repeats may reach
    // the writer's dialogue.
    if (FormMain->ConnectTestBitBtn->Tag != 0) FormMain->AbortButtonClick();
    // No line of a file being sent may leave once the write is asked for.
    if (FormTerminal) FormTerminal->PortTakenBy(QStringLiteral("the SH writer"));
  };
  sh.portTaking = [] {
    if (FormTerminal) FormTerminal->PortTakenBy(QStringLiteral("the SH writer"));
  };
  sh.portChanged = [](bool open) {
    if (!FormTerminal) return;
    FormTerminal->OpenButton->setEnabled(!open);
    FormTerminal->CloseButton->setEnabled(open);
  };
  sh.blockAnswered = [] {
    if (FormTerminal) FormTerminal->TerminalRxBufClear();
  };
  sh.recordWrite = [](const kx::WriteRecord &record) {
    if (FormMain) FormMain->RecordWrite(record);
  };

  TTerminalLinks &t = TerminalLinks;
  t.port = main.CommX1;
  t.writeHoldsPort = [] { return FormMain && FormMain->Receiver.WriteHoldsPort(); };
  t.checkRunning = [] { return FormMain && FormMain->ConnectTestBitBtn->Tag != 0; };
}

TFormDigiDec::Links DigiDecWindowLinks() {
  TFormDigiDec::Links l;
  l.log = {[](const QString &text) {
             if (FormMain) FormMain->LogFileAdd(text);
           },
           [] {
             if (FormMain) FormMain->LogFileSave(3);
           }};
  l.digiDecButtonColor = [](const QColor &colour) {
    if (kx::TButton *b = BoardButton(3)) b->SetFontColor(colour);
  };
  l.runChanged = [](bool running) {
    if (!FormMain) return;
    if (running)
      FormMain->Receiver.BeginRun(kx::RunKind::DigiDecWrite);
    else
      FormMain->Receiver.EndRun(kx::RunKind::DigiDecWrite);
  };
  l.serialNumber = [] { return FormMain ? FormMain->Receiver.SerialNumber() : QString(); };
  l.recordWrite = [](const kx::WriteRecord &record) {
    if (FormMain) FormMain->RecordWrite(record);
  };
  return l;
}

}  // namespace kx
