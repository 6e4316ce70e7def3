// The writer window without a run: its controls, the board set-up and the refusals
// of WRITE START.
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>

#include "main/UnitMain.h"
#include "payload/Payload.h"
#include "platform/Widgets.h"
#include "shboot/UnitSHBoot.h"
#include "tests/shboot/WriterRig.h"
#include "tests/support/TestSupport.h"

using namespace shtest;

namespace {

class WriterWindow : public WriterTest {};

}  // namespace

TEST_F(WriterWindow, ControlsStartInTheirPlacesAndStates) {
  struct Place {
    QWidget *w;
    int left, top, width, height;
    bool visible;
  } places[] = {
      {FormSHBoot->Step02Label, 16, 23, 498, 32, true},     {FormSHBoot->Step03Label, 16, 61, 489, 34, true},
      {FormSHBoot->Step04Label, 16, 143, 489, 34, true},    {FormSHBoot->Step05Label, 16, 198, 489, 35, true},
      {FormSHBoot->Step07Label, 16, 253, 489, 35, true},    {FormSHBoot->Step08Label, 16, 353, 489, 25, true},
      {FormSHBoot->Step09Label, 16, 374, 489, 38, true},    {FormSHBoot->Step01Label, 465, 8, 489, 31, false},
      {FormSHBoot->Step06Label, 465, 173, 489, 28, false},  {FormSHBoot->BottomImage, 520, 8, 139, 105, true},
      {FormSHBoot->Dipsw1Image, 520, 119, 129, 58, true},   {FormSHBoot->DipSw2Image, 520, 374, 129, 59, true},
      {FormSHBoot->MotFileNameEdit, 65, 223, 353, 24, false}, {FormSHBoot->DotButton, 424, 223, 49, 25, false},
      {FormSHBoot->WriteButton, 65, 287, 137, 33, true},    {FormSHBoot->AbortButton, 337, 291, 81, 25, true},
      {FormSHBoot->FirmWriteProgressBar, 65, 322, 409, 25, true}, {FormSHBoot->BitBtn1, 345, 405, 129, 33, true},
      {FormSHBoot->BPSRadioGroup, 504, 287, 137, 60, false},
  };
  for (const Place &p : places) {
    SCOPED_TRACE(p.w->objectName().toStdString());
    EXPECT_EQ(p.w->geometry(), QRect(p.left, p.top, p.width, p.height));
    EXPECT_EQ(p.w->isVisibleTo(FormSHBoot), p.visible);
  }
  EXPECT_EQ(FormSHBoot->size(), QSize(678, 475));
  EXPECT_EQ(FormSHBoot->StatusBar1->geometry(), QRect(0, 450, 678, 25));
  EXPECT_EQ(FormSHBoot->WriteButton->text(), "WRITE START");
  EXPECT_EQ(FormSHBoot->AbortButton->text(), "Abort");
  EXPECT_FALSE(FormSHBoot->AbortButton->isEnabled());
  EXPECT_FALSE(FormSHBoot->MotFileNameEdit->isEnabled());
  EXPECT_EQ(FormSHBoot->Step02Label->text(), "Step 1 :  Power OFF via rear switch.");
  EXPECT_EQ(FormSHBoot->Step07Label->text(), "Step 5 :  Click [WRITE START] ; wait for progress bar to finish.");
  EXPECT_EQ(FormSHBoot->Timer1->interval(), 100);
  EXPECT_TRUE(FormSHBoot->Timer1->isActive());
  // Idle steps rewrite panel 0 with the state every 100 ms.
  FormSHBoot->StatusBar1->SetPanelText(0, "x");
  EXPECT_TRUE(kxtest::WaitUntil([] { return FormSHBoot->StatusBar1->PanelText(0) == "0"; },
                                std::chrono::milliseconds(500)));
}

TEST_F(WriterWindow, WriteStartRefusesMissingOrOversizedBootData) {
  kxtest::MessageBoxes boxes;
  // Before any board: both streams empty.
  qsizetype mark = LogMark();
  FormSHBoot->WriteButtonClick();
  EXPECT_EQ(boxes.texts, QStringList{"Not Found Boot File"});
  EXPECT_EQ(LogSince(mark), (QStringList{"[WRITE](FormSHBoot) Clicked", " boot data none!"}));
  EXPECT_EQ(BootState, 0);

  ChooseBoard(2);
  FormSHBoot->FirmStream->Clear();
  boxes.texts.clear();
  mark = LogMark();
  FormSHBoot->WriteButtonClick();
  EXPECT_EQ(boxes.texts, QStringList{"Not Found Firmware File"});
  EXPECT_EQ(LogSince(mark), (QStringList{"[WRITE](FormSHBoot) Clicked", " .mot data none!"}));

  // A boot program of 6000 bytes does not fit the 6001-byte transfer buffer.
  ChooseBoard(2);
  FormSHBoot->BootStream->Clear();
  FormSHBoot->BootStream->Fill(0x11, 2 + 6000);
  boxes.texts.clear();
  mark = LogMark();
  FormSHBoot->WriteButtonClick();
  ASSERT_EQ(boxes.texts.size(), 1);
  EXPECT_TRUE(boxes.texts[0].contains("6000")) << boxes.texts[0].toStdString();
  EXPECT_TRUE(boxes.texts[0].contains("5999"));
  EXPECT_EQ(LogSince(mark).size(), 2);
  EXPECT_EQ(BootState, 0);
  EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());

  // 5999 bytes fit: the run starts (and is aborted before its first step runs).
  FormSHBoot->BootStream->Clear();
  FormSHBoot->BootStream->Fill(0x11, 2 + 5999);
  boxes.texts.clear();
  FormSHBoot->WriteButtonClick();
  EXPECT_TRUE(boxes.texts.isEmpty());
  EXPECT_EQ(BootState, 2);
  EXPECT_EQ(FormSHBoot->FirmWriteProgressBar->maximum(), 2 + 5999 + 100);
  FormSHBoot->AbortButtonClick();
  EXPECT_EQ(BootState, 0);
}

TEST_F(WriterWindow, BoardSetUpLoadsTheBoardsDataAndPictures) {
  kxtest::MessageBoxes boxes;
  // An answer that gives the short-RFU variant on a serial number of block variant 0.
  FormMain->Receiver.AcceptAnswer({" KX7391D", "402AR", "", ""});
  const QString port = FormMain->ComPortComboBox->currentText();
  struct Case {
    int board;
    const char *caption, *firmware;
    int bootSize, item;
  } cases[] = {
      {0, "MainBoard  [", "MAIN_R_SH_7391", 2 + 2804, 1},
      {1, "Decoder  [", "DECORD_SH_7391", 2 + 2804, 0},
      {2, "Panel  [", "PANEL_SH_7391", 2 + 2828, 0},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.board);
    const qsizetype mark = LogMark();
    FormSHBoot->BoardInitialize(c.board);
    const QString caption = QLatin1String(c.caption) + port + "]";
    // The caption names the receiver after the port; the log keeps the caption alone.
    EXPECT_EQ(FormSHBoot->windowTitle(), caption + "  09680661");
    EXPECT_EQ(LogSince(mark), QStringList{"Initial for " + caption + "(" + c.firmware + ")"});
    EXPECT_EQ(FormSHBoot->BootStream->Size(), static_cast<std::size_t>(c.bootSize));
    EXPECT_TRUE(FormSHBoot->BootEchoStream->Bytes() == FormSHBoot->BootStream->Bytes());
    EXPECT_EQ(FormSHBoot->BootStream->Bytes()[0], (c.bootSize - 2) >> 8);
    EXPECT_EQ(FormSHBoot->FirmStream->Size(), 0x40000u);
    EXPECT_EQ(FormSHBoot->BPSRadioGroup->ItemIndex(), c.item);
    for (QLabel *img : {FormSHBoot->BottomImage, FormSHBoot->Dipsw1Image, FormSHBoot->DipSw2Image})
      EXPECT_FALSE(img->pixmap().isNull()) << img->objectName().toStdString();
  }
  EXPECT_TRUE(boxes.texts.isEmpty());
  FormMain->Receiver.ForgetAnswer();

  // The same board keeps the progress bar and the file name; another board clears them.
  FormSHBoot->FirmWriteProgressBar->setValue(30);
  FormSHBoot->MotFileNameEdit->setText("x.mot");
  FormSHBoot->BoardInitialize(2);
  EXPECT_EQ(FormSHBoot->FirmWriteProgressBar->value(), 30);
  EXPECT_EQ(FormSHBoot->MotFileNameEdit->text(), "x.mot");
  FormSHBoot->BoardInitialize(1);
  EXPECT_EQ(FormSHBoot->FirmWriteProgressBar->value(), 0);
  EXPECT_TRUE(FormSHBoot->MotFileNameEdit->text().isEmpty());
  // A number of no board only stores itself.
  const QString title = FormSHBoot->windowTitle();
  const qsizetype mark = LogMark();
  FormSHBoot->BoardInitialize(7);
  EXPECT_EQ(FormSHBoot->Tag, 7);
  EXPECT_EQ(FormSHBoot->windowTitle(), title);
  EXPECT_TRUE(LogSince(mark).isEmpty());
}

namespace {
// The payload with a character that is no hex digit in the data of its middle record
// (S3 records where it has them: a boot program's S1 records are not loaded).
QByteArray Damaged(const char *name) {
  QList<QByteArray> lines = kx::ReadPayload(QLatin1String(name)).split('\n');
  const QByteArray kind = std::any_of(lines.begin(), lines.end(), [](const QByteArray &l) { return l.startsWith("S3"); })
                              ? "S3" : "S1";
  QList<qsizetype> records;
  for (qsizetype i = 0; i < lines.size(); ++i)
    if (lines[i].startsWith(kind)) records.append(i);
  lines[records[records.size() / 2]][14] = 'G';
  return lines.join('\n');
}
}  // namespace

// A payload that does not load whole leaves WRITE START disabled, and a click on it
// (from code) is refused: the receiver hears nothing, so nothing is erased.
TEST_F(WriterWindow, APayloadThatFailsToLoadIsNeverWritten) {
  StartReceiver();
  for (const char *payload : {"DECORD_SH_7391", "BOOT_SH_7391_DECORD"}) {
    SCOPED_TRACE(payload);
    kx::SetPayloadOverride(QLatin1String(payload), Damaged(payload));
    kxtest::MessageBoxes boxes;
    const qsizetype mark = LogMark();
    ChooseBoard(1);
    ASSERT_EQ(boxes.texts.size(), 1);
    EXPECT_TRUE(boxes.texts[0].startsWith("Illegal S Format (not HEX char.)")) << boxes.texts[0].toStdString();
    EXPECT_EQ(LogSince(mark).last(), " load error! " + boxes.texts[0]);
    EXPECT_FALSE(FormSHBoot->WriteButton->isEnabled());
    EXPECT_EQ(FormSHBoot->StatusBar1->PanelText(1), boxes.texts[0]);

    FormSHBoot->WriteButtonClick();
    ASSERT_EQ(boxes.texts.size(), 2);
    EXPECT_TRUE(boxes.texts[1].startsWith(boxes.texts[0])) << boxes.texts[1].toStdString();
    EXPECT_EQ(LogSince(mark).last(), " write refused! " + boxes.texts[0]);
    EXPECT_EQ(BootState, 0);
    kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(200));
    EXPECT_EQ(rx->counters().bytesReceived, 0u);

    // With the payload sound again, choosing the board makes it ready.
    kx::SetPayloadOverride(QLatin1String(payload), std::nullopt);
    ChooseBoard(1);
    EXPECT_EQ(boxes.texts.size(), 2);
    EXPECT_TRUE(FormSHBoot->WriteButton->isEnabled());
    EXPECT_TRUE(FormSHBoot->StatusBar1->PanelText(1).isEmpty());
  }
}
