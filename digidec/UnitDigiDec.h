#pragma once
// The DigiDec window: runs the writer tool and follows its log.
#include <QWidget>

class TFormDigiDec : public QWidget {
  Q_OBJECT
 public:
  explicit TFormDigiDec(QWidget *parent = nullptr);
  // Set while a writer tool run is in progress; the main window may not close then.
  bool NowCommandExecute = false;
};

extern TFormDigiDec *FormDigiDec;
