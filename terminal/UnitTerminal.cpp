#include "terminal/UnitTerminal.h"

#include "platform/Widgets.h"

TFormTerminal *FormTerminal = nullptr;

TFormTerminal::TFormTerminal(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormTerminal"));
  setWindowTitle(QStringLiteral("FormTerminal"));
  setFont(kx::PixelFont(QStringLiteral("Tahoma"), 11));
  resize(647, 465);
}
