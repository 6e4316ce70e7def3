#pragma once
#include <QApplication>

namespace kx {

// The application object. An exception that leaves an event handler ends that
// handler only: its message is shown in the standard error box and the program
// goes on. Exceptions never cross the event loop.
class Application : public QApplication {
 public:
  Application(int &argc, char **argv);
  bool notify(QObject *receiver, QEvent *event) override;
};

}  // namespace kx
