#include "digidec/UnitDigiDec.h"

#include "platform/Widgets.h"

TFormDigiDec *FormDigiDec = nullptr;

TFormDigiDec::TFormDigiDec(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormDigiDec"));
  setWindowTitle(QStringLiteral("Digi-Dec"));
  setFont(kx::PixelFont(QStringLiteral("Tahoma"), 13));
  resize(527, 398);
}
