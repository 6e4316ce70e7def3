#pragma once
// Every message box of the updater goes through here, so that tests can see and
// answer each one while it still runs its nested event loop (timers and posted
// events go on inside it, which the SH writer relies on).
#include <QMessageBox>
#include <QString>
#include <functional>

class QWidget;

namespace kx {

// Shows a modal box with an OK button and waits until it is closed.
void MessageBox(QWidget *parent, const QString &text, const QString &title = QString(),
                QMessageBox::Icon icon = QMessageBox::NoIcon);

// Shows a modal question with Yes and No buttons (No the default) and waits for the
// answer: true for Yes. Closing the box otherwise counts as No.
bool MessageBoxYesNo(QWidget *parent, const QString &text, const QString &title = QString());

// A message sink (as the payload loaders take) that shows each text in a modal box
// with an OK button over `parent`.
std::function<void(const QString &text)> MessageBoxSink(QWidget *parent = nullptr);

// The toolkit's standard error box, for errors that no handler caught.
void ErrorBox(const QString &text);

// Called with every box after it is built and before its event loop starts.
// A test typically records box.text() and queues box.accept().
using MessageBoxObserver = std::function<void(QMessageBox &box)>;
void SetMessageBoxObserver(MessageBoxObserver observer);

}  // namespace kx
