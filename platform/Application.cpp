#include "platform/Application.h"

#include <exception>

#include "platform/Dialogs.h"

namespace kx {

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {}

bool Application::notify(QObject *receiver, QEvent *event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception &e) {
    ErrorBox(QString::fromUtf8(e.what()));
  } catch (...) {
    ErrorBox(QStringLiteral("Unknown error"));
  }
  return false;
}

}  // namespace kx
