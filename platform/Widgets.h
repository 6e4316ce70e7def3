#pragma once
// Small additions to Qt's widgets for state the windows keep in their controls:
// an integer tag and a caption colour (the main window's status display).
#include <QColor>
#include <QLabel>
#include <QPushButton>
#include <QTimer>

namespace kx {

// A push button with a tag and a settable caption colour.
class TButton : public QPushButton {
  Q_OBJECT
 public:
  explicit TButton(const QString &caption, QWidget *parent = nullptr);
  int Tag = 0;
  void SetFontColor(const QColor &color);
  QColor FontColor() const;
};

// A label that reports clicks on its text.
class TClickLabel : public QLabel {
  Q_OBJECT
 public:
  using QLabel::QLabel;
 signals:
  void clicked();

 protected:
  void mouseReleaseEvent(QMouseEvent *event) override;
};

// Makes `label` word-wrapped, aligned top left and placed at the given geometry: the
// windows' step texts.
QLabel *WrappedLabel(QLabel *label, int left, int top, int width, int height);

// A timer with a tag (the terminal keeps its send period, in seconds, in it).
class TTimer : public QTimer {
  Q_OBJECT
 public:
  using QTimer::QTimer;
  int Tag = 0;
};

// Status colours of the main window's big buttons.
namespace colors {
inline const QColor Fuchsia{255, 0, 255};
inline const QColor Green{0, 128, 0};
inline const QColor Yellow{255, 255, 0};
inline const QColor Blue{0, 0, 255};
inline const QColor Red{255, 0, 0};
QColor WindowText();
QColor GrayText();
}  // namespace colors

// A font by pixel size; "Tahoma" falls back to the default sans-serif where absent.
QFont PixelFont(const QString &family, int pixelSize);

}  // namespace kx
