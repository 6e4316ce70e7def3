#include "platform/Widgets.h"

#include <QApplication>
#include <QFontDatabase>
#include <QMouseEvent>
#include <QPalette>

namespace kx {

TButton::TButton(const QString &caption, QWidget *parent) : QPushButton(caption, parent) {}

void TButton::SetFontColor(const QColor &color) {
  QPalette p = palette();
  p.setColor(QPalette::Active, QPalette::ButtonText, color);
  p.setColor(QPalette::Inactive, QPalette::ButtonText, color);
  // A disabled button keeps showing its status colour, dimmed by the style if at all.
  p.setColor(QPalette::Disabled, QPalette::ButtonText, color);
  setPalette(p);
}

QColor TButton::FontColor() const { return palette().color(QPalette::Active, QPalette::ButtonText); }

void TClickLabel::mouseReleaseEvent(QMouseEvent *event) {
  QLabel::mouseReleaseEvent(event);
  if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) emit clicked();
}

namespace colors {
QColor WindowText() { return QApplication::palette().color(QPalette::Active, QPalette::WindowText); }
QColor GrayText() { return QApplication::palette().color(QPalette::Disabled, QPalette::WindowText); }
}  // namespace colors

QFont PixelFont(const QString &family, int pixelSize) {
  // The layouts were drawn for Tahoma; where it is missing, Liberation Sans keeps
  // captions inside their fixed places better than the wider default sans-serif.
  const QStringList families = QFontDatabase::families();
  QFont f(family);
  if (!families.contains(family)) {
    f = families.contains(QStringLiteral("Liberation Sans")) ? QFont(QStringLiteral("Liberation Sans"))
                                                           : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  }
  f.setPixelSize(pixelSize);
  return f;
}

QLabel *WrappedLabel(QLabel *label, int left, int top, int width, int height) {
  label->setWordWrap(true);
  label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
  label->setGeometry(left, top, width, height);
  return label;
}

}  // namespace kx
