// The updater's entry: creates the four windows once, in order, and shows the main one.
#include <QCommandLineParser>
#include <QFile>
#include <QStringList>
#include <QTimer>
#include <optional>

#include "digidec/UnitDigiDec.h"
#include "main/Practice.h"
#include "main/UnitMain.h"
#include "main/Wiring.h"
#include "platform/Application.h"
#include "platform/Dialogs.h"
#include "platform/Licence.h"
#include "platform/Signals.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"

int main(int argc, char **argv) {
  kx::Application app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("KX7391Updater"));
  QApplication::setApplicationVersion(QStringLiteral(KX_VERSION "\n" KX_LICENCE_NOTICE));
  QApplication::setQuitOnLastWindowClosed(false);

  QCommandLineParser options;
  options.setApplicationDescription(QStringLiteral("Firmware updater for the KX7391D receiver."));
  options.addHelpOption();
  options.addVersionOption();
  // Service access: the terminal's button on the main window is hidden otherwise.
  const QCommandLineOption terminalOption(QStringLiteral("terminal"),
                                          QStringLiteral("Show the Terminal button on the main window."));
  options.addOption(terminalOption);
  const QCommandLineOption homeOption(
      QStringLiteral("home-folder"),
      QStringLiteral("Work, and keep the logs, in ~/KX7391Updater (made when missing), as the menu entry does."));
  options.addOption(homeOption);
  const QCommandLineOption practiceOption(
      QStringLiteral("practice"),
      QStringLiteral("Practise without a receiver: start the receiver simulator kx7391-sim on a port folder of "
                     "its own and work in ~/KX7391Updater/practice; closing the updater ends the simulator."));
  options.addOption(practiceOption);
  options.process(app);

  // The simulator must publish its port before the main window's start-up searches the ports.
  std::optional<kx::Practice> practice;
  try {
    if (options.isSet(practiceOption)) {
      kx::WorkIn(kx::PracticeWorkFolder());
      practice.emplace().Start();
    } else if (options.isSet(homeOption)) {
      kx::WorkIn(kx::HomeWorkFolder());
    }
  } catch (const std::exception &e) {
    kx::ErrorBox(QString::fromUtf8(e.what()));
    return 1;
  }

  FormMain = new TFormMain;
  try {
    FormMain->FormCreate();
  } catch (const std::exception &e) {
    kx::ErrorBox(QString::fromUtf8(e.what()));
  }
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec(kx::DigiDecWindowLinks());
  if (options.isSet(terminalOption)) FormMain->TerminalButton->show();
  // The log keeps the product's caption; only the window tells practice apart.
  if (practice) FormMain->setWindowTitle(FormMain->windowTitle() + kx::PracticeCaptionSuffix());

  // A logout or Ctrl+C: a run in progress ends as the close question's Yes ends it.
  kx::OnTerminationSignal([] { FormMain->TerminationRequested(); });

  FormMain->show();
  // For scripts and tests that drive the real program: a file that appears once the
  // main window is up and the event loop runs.
  if (const QString ready = qEnvironmentVariable("KX7391_READY_FILE"); !ready.isEmpty()) {
    QTimer::singleShot(0, [ready] {
      QFile f(ready);
      if (f.open(QIODevice::WriteOnly)) f.write("ready\n");
    });
  }
  // A failed deployment of the DigiDec tool ends the updater once start-up is over.
  const int rc = FormMain->EndRequested ? 1 : app.exec();
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
