#include "platform/Application.h"

#include <exception>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/Dialogs.h"

namespace kx {

Application::Application(int &argc, char **argv) : QApplication(argc, argv) {
#if defined(__GLIBC__)
  // glibc raises its mmap threshold to the size of every large block freed, after
  // which blocks of that size come from the heap, whose top it never gives back. The
  // terminal's log, which drops its oldest lines, reallocates buffers of several MB
  // for as long as the program runs, and the process would keep the largest heap
  // they ever needed (about 20 MB more). A fixed threshold keeps such blocks mapped
  // and returns them when freed.
  mallopt(M_MMAP_THRESHOLD, 1024 * 1024);
#endif
}

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
