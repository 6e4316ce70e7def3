#pragma once
// The service terminal: raw serial traffic, and the common way to open and close
// the port for the terminal and the version check.
#include <QWidget>

class TFormTerminal : public QWidget {
  Q_OBJECT
 public:
  explicit TFormTerminal(QWidget *parent = nullptr);
};

extern TFormTerminal *FormTerminal;
