#pragma once
// Fixtures shared by the DigiDec window tests: the tool folder of DigiDecToolSupport.h,
// and the two windows the DigiDec window works with.
#include <QDir>

#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "tests/digidec/DigiDecToolSupport.h"
#include "tests/support/TestSupport.h"

namespace kxtest {

// The main log's texts without their stamps.
inline QStringList LogTexts() {
  QStringList texts;
  for (const QString &l : FormMain->Log().MainLines()) texts.append(l.mid(24));
  return texts;
}

// FormMain (without its start-up) and FormDigiDec, in a working directory that is not
// the tool's base folder.
class DigiDecWindows {
 public:
  DigiDecWindows() {
    FormMain = new TFormMain;
    QDir().mkpath(base.tool());
  }
  ~DigiDecWindows() {
    delete FormDigiDec;
    FormDigiDec = nullptr;
    delete FormMain;
    FormMain = nullptr;
  }
  // Creates the DigiDec window, linked to FormMain as the program links it; it looks at
  // the tool folder's log at once.
  TFormDigiDec *Create() {
    FormDigiDec = new TFormDigiDec({{[](const QString &text) { FormMain->LogFileAdd(text); },
                                     [] { FormMain->LogFileSave(3); }},
                                    [](const QColor &colour) { FormMain->DigiDecBitBtn->SetFontColor(colour); }});
    return FormDigiDec;
  }
  QString logTxt() const { return base.toolFile(QStringLiteral("log.txt")); }

  ScopedWorkDir work;
  ToolBase base;
  MessageBoxes boxes;
};

}  // namespace kxtest
