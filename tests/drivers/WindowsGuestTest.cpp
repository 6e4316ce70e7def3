// The updater's windows inside the driver scenarios' guest, offscreen, driven as the widget
// tests drive them: start-up, COM Search and a version check through ftdi_sio. Run by
// run-scenario (scenario "windows"), where the adapter is /dev/ttyUSB0 and the simulator
// answers behind it; it cannot pass on a machine without that adapter.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>

#include "comm/CommX.h"
#include "digidec/UnitDigiDec.h"
#include "main/UnitMain.h"
#include "shboot/UnitSHBoot.h"
#include "terminal/UnitTerminal.h"
#include "tests/support/TestSupport.h"

namespace {

QStringList ComboItems(const QComboBox *box) {
  QStringList items;
  for (int i = 0; i < box->count(); ++i) items.append(box->itemText(i));
  return items;
}

}  // namespace

TEST(WindowsOnDrivers, StartUpComSearchAndVersionCheckOnTheAdapter) {
  kxtest::ScopedWorkDir dir;
  kxtest::MessageBoxes boxes;
  FormMain = new TFormMain;
  FormMain->FormCreate();
  FormTerminal = new TFormTerminal;
  FormSHBoot = new TFormSHBoot;
  FormDigiDec = new TFormDigiDec;

  // The console UART and the adapter; the UARTs without a chip are left out. The search
  // chooses the last entry.
  const QStringList expected{QStringLiteral("COM1(/dev/ttyS0)"), QStringLiteral("COM33(/dev/ttyUSB0)")};
  EXPECT_EQ(ComboItems(FormMain->ComPortComboBox), expected);
  EXPECT_EQ(FormMain->CommX1->PortNo(), 33);
  FormMain->ComSearchButton->click();
  EXPECT_EQ(ComboItems(FormMain->ComPortComboBox), expected);
  EXPECT_EQ(FormMain->ComPortComboBox->currentText(), QStringLiteral("COM33(/dev/ttyUSB0)"));
  EXPECT_EQ(FormMain->CommX1->PortNo(), 33);

  FormMain->SerialNumberEdit->setText(QStringLiteral("09680661"));
  FormMain->SerialNumberEditExit();
  FormMain->ConnectTestBitBtn->click();
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->ConnectTestBitBtn->Tag == 0; }, std::chrono::seconds(15)));
  EXPECT_TRUE(boxes.texts.isEmpty()) << boxes.texts.join(QStringLiteral(" | ")).toStdString();
  EXPECT_EQ(FormMain->ConnectTestBitBtn->FontColor(), kx::colors::Green);
  EXPECT_EQ(FormMain->MainVerLabel->text(), QStringLiteral("402A => 403A"));
  EXPECT_EQ(FormMain->PanelVerLabel->text(), QStringLiteral("510A => 511A"));
  EXPECT_FALSE(FormMain->CommX1->IsOpen());
  EXPECT_TRUE(FormMain->Log().MainLines().join('\n').contains(QStringLiteral("VR res:VER-C KX7391D_Main_402A D3N4A ")));

  FormMain->FormDestroy();
  delete FormDigiDec;
  FormDigiDec = nullptr;
  delete FormSHBoot;
  FormSHBoot = nullptr;
  delete FormTerminal;
  FormTerminal = nullptr;
  delete FormMain;
  FormMain = nullptr;
}
