#include "shboot/UnitSHBoot.h"

#include "platform/Widgets.h"

TFormSHBoot *FormSHBoot = nullptr;

TFormSHBoot::TFormSHBoot(QWidget *parent) : QWidget(parent) {
  setObjectName(QStringLiteral("FormSHBoot"));
  setWindowTitle(QStringLiteral("FormSHBoot"));
  setFont(kx::PixelFont(QStringLiteral("Tahoma"), 13));
  resize(678, 475);
}
