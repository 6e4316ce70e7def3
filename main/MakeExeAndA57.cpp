// The main window's deployment step: the DigiDec deployment with the window's log and boxes.
#include "digidec/Deployment.h"
#include "main/UnitMain.h"
#include "platform/Dialogs.h"

bool TFormMain::MakeExeAndA57() {
  kx::digidec::DeployReport report;
  report.logAdd = [this](const QString &text) { LogFileAdd(text); };
  report.logSave = [this] { LogFileSave(3); };
  report.messageBox = [this](const QString &text) { kx::MessageBox(this, text); };
  report.errorBox = [](const QString &text) { kx::ErrorBox(text); };
  if (kx::digidec::MakeExeAndA57(report)) return true;
  EndRequested = true;
  return false;
}
