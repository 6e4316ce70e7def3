#include "platform/Dialogs.h"

#include <QApplication>

namespace kx {

namespace {
MessageBoxObserver &observer() {
  static MessageBoxObserver o;
  return o;
}
}  // namespace

void SetMessageBoxObserver(MessageBoxObserver o) { observer() = std::move(o); }

void MessageBox(QWidget *parent, const QString &text, const QString &title, QMessageBox::Icon icon) {
  QMessageBox box(icon, title.isEmpty() ? QApplication::applicationName() : title, text,
                  QMessageBox::Ok, parent);
  box.setObjectName(QStringLiteral("kxMessageBox"));
  if (observer()) observer()(box);
  box.exec();
}

bool MessageBoxYesNo(QWidget *parent, const QString &text, const QString &title) {
  QMessageBox box(QMessageBox::Question, title.isEmpty() ? QApplication::applicationName() : title, text,
                  QMessageBox::Yes | QMessageBox::No, parent);
  box.setDefaultButton(QMessageBox::No);
  box.setObjectName(QStringLiteral("kxMessageBox"));
  if (observer()) observer()(box);
  box.exec();
  return box.clickedButton() == box.button(QMessageBox::Yes);
}

void ErrorBox(const QString &text) { MessageBox(nullptr, text, QString(), QMessageBox::Critical); }

std::function<void(const QString &)> MessageBoxSink(QWidget *parent) {
  return [parent](const QString &text) { MessageBox(parent, text); };
}

}  // namespace kx
