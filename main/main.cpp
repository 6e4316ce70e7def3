// The updater's entry: creates the four windows once, in order, and shows the main one.
#include <QCommandLineParser>
#include <QFile>
#include <QStringList>
#include <QTimer>

#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Signals.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"

int main(int argc, char **argv) {
  kx::Application app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KX7391Updater"));
  QApplication::setQuitOnLastWindowClosed(false);

  QCommandLineParser options;
  options.addHelpOption();
  // Service access: the terminal's button on the main window is hidden otherwise.
  const QCommandLineOption terminalOption(QStringLiteral("terminal"),
                                          QStringLiteral("Show the Terminal button on the main window."));
  options.addOption(terminalOption);
  options.process(app);

  FormMain = new TFormMain;
  try {
    FormMain->FormCreate();
  } catch (const std::exception &e) {
    kx::ErrorBox(QString::fromUtf8(e.what()));
  }
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec;
  if (options.isSet(terminalOption)) FormMain->TerminalButton->show();

  kx::OnTerminationSignal([] { FormMain->close(); });

  FormMain->show();
  // For scripts and tests that drive the real program: a file that appears once the
  // main window is up and the event loop runs.
  if (const QString ready = qEnvironmentVariable("KX7391_READY_FILE"); !ready.isEmpty()) {
    QTimer::singleShot(0, [ready] {
      QFile f(ready);
      if (f.open(QIODevice::WriteOnly)) f.write("ready\n");
    });
  }
  const int rc = app.exec();
  try {
    FormMain->FormDestroy();
  } catch (const std::exception &e) {
    kx::ErrorBox(QString::fromUtf8(e.what()));
  }
  delete FormDigiDec;
  delete FormSHBoot;
  delete FormTerminal;
  delete FormMain;
  return rc;
}
