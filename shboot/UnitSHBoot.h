#pragma once
// The SH boot-mode writer window.
#include <QWidget>

class TFormSHBoot : public QWidget {
  Q_OBJECT
 public:
  explicit TFormSHBoot(QWidget *parent = nullptr);
};

extern TFormSHBoot *FormSHBoot;
