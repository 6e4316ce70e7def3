// COM port discovery and the receive dispatch of the main window.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QPlainTextEdit>

#include "main/UnitMain.h"
#include "tests/comm/PtyPair.h"
#include "tests/support/TestSupport.h"

namespace {

class ComSearch : public ::testing::Test {
 protected:
  ~ComSearch() override {
    delete FormMain;
    FormMain = nullptr;
  }
  void Start() {
    FormMain = new TFormMain;
    FormMain->FormCreate();
  }
  QStringList Entries() const {
    QStringList out;
    for (int i = 0; i < FormMain->ComPortComboBox->count(); ++i) out << FormMain->ComPortComboBox->itemText(i);
    return out;
  }
  QStringList LogTexts() const {
    QStringList out;
    for (const QString &l : FormMain->Log().MainLines()) out << l.mid(24);
    return out;
  }

  kxtest::ScopedWorkDir work;
  kxtest::MessageBoxes boxes;
  kxtest::ScopedPortDir ports;
};

}  // namespace

TEST_F(ComSearch, StartUpListsThePortsAndTakesTheLast) {
  ports.Link(1, "/dev/null");
  ports.Link(5, "/dev/zero");
  Start();
  EXPECT_EQ(Entries(), (QStringList{"COM1(/dev/null)", "COM5(/dev/zero)"}));
  EXPECT_EQ(FormMain->ComPortComboBox->currentIndex(), 1);
  EXPECT_EQ(FormMain->Memo1->toPlainText(), QStringLiteral("/dev/null\n/dev/zero"));
  EXPECT_EQ(FormMain->CommX1->PortNo(), 5);
  EXPECT_TRUE(boxes.texts.isEmpty());
  const QStringList log = LogTexts();
  const qsizetype start = log.indexOf("[COM SEARCH](FormMain) start");
  ASSERT_GE(start, 2);
  EXPECT_EQ(log[start + 1], QStringLiteral("COMM select  COM5(/dev/zero)"));
  // Written to disk at the end of the search.
  EXPECT_TRUE(kxtest::ReadAll(work.file("KX7391Updater_Log.txt")).contains("COMM select  COM5(/dev/zero)"));

  // A new search rebuilds the list and again takes the last entry.
  FormMain->ComPortComboBox->setCurrentIndex(0);
  emit FormMain->ComPortComboBox->activated(0);
  EXPECT_EQ(FormMain->CommX1->PortNo(), 1);
  ports.Link(12, "/dev/null");
  FormMain->ComSearchButton->click();
  EXPECT_EQ(Entries(), (QStringList{"COM1(/dev/null)", "COM5(/dev/zero)", "COM12(/dev/null)"}));
  EXPECT_EQ(FormMain->CommX1->PortNo(), 12);
}

TEST_F(ComSearch, PortNumberComesFromTheEntry) {
  ports.Link(2, "/dev/null");
  Start();
  struct Case {
    const char *entry;
    int portNo;  // 2: unchanged
  };
  const Case cases[] = {
      {"COM10(\\Device\\VCP0)", 10}, {"COM7", 7},      {"COM33(/dev/ttyUSB0)", 33}, {"COM0(/dev/x)", 2},
      {"Serial(/dev/x)", 2},         {"COMabc(1)", 2}, {"COM(4)", 2},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.entry);
    FormMain->CommX1->SetPortNo(2);
    FormMain->ComPortComboBox->clear();
    FormMain->ComPortComboBox->addItem(QString::fromUtf8(c.entry));
    FormMain->ComPortComboBoxChange();
    EXPECT_EQ(FormMain->CommX1->PortNo(), c.portNo);
    EXPECT_EQ(LogTexts().last(), QStringLiteral("COMM select  ") + c.entry);
  }
}

TEST_F(ComSearch, NoPortsKeepsThePortNumber) {
  Start();
  EXPECT_EQ(boxes.texts, QStringList{"Can Not Find COM Port!"});
  EXPECT_TRUE(LogTexts().contains("Can Not Find COM Port!"));
  EXPECT_EQ(FormMain->CommX1->PortNo(), 1);
  EXPECT_EQ(FormMain->ComPortComboBox->count(), 0);
  // A port chosen earlier stays chosen when it is gone at the next search.
  ports.Link(4, "/dev/null");
  FormMain->ComSearchButtonClick();
  EXPECT_EQ(FormMain->CommX1->PortNo(), 4);
  QFile::remove(ports.path() + "/COM4");
  FormMain->ComSearchButtonClick();
  EXPECT_EQ(FormMain->CommX1->PortNo(), 4);
  EXPECT_EQ(FormMain->ComPortComboBox->count(), 0);
  EXPECT_EQ(boxes.texts.size(), 2);
}

TEST_F(ComSearch, UnreadablePortListShowsTheConnectionError) {
  const QString notADir = work.file("not-a-dir");
  QFile f(notADir);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly));
  f.close();
  qputenv("KX7391_PORT_DIR", QFile::encodeName(notADir));
  Start();
  EXPECT_EQ(boxes.texts, QStringList{"Error! Please check serial connection."});
  EXPECT_TRUE(LogTexts().contains("SERIALCOMM open errpr"));
  EXPECT_TRUE(kxtest::ReadAll(work.file("KX7391Updater_Log.txt")).contains("SERIALCOMM open errpr"));
  EXPECT_EQ(FormMain->CommX1->PortNo(), 1);
}

TEST_F(ComSearch, PickingAnotherPortWhileOpenReopensThere) {
  kxtest::PtyPair three, four;
  ports.Link(3, three.slavePath());
  ports.Link(4, four.slavePath());
  Start();
  ASSERT_EQ(FormMain->CommX1->PortNo(), 4);
  EXPECT_EQ(FormMain->CommX1->FlowCtrl(), cfcNone);
  FormMain->CommX1->PortOpen();
  FormMain->ComPortComboBox->setCurrentIndex(0);
  emit FormMain->ComPortComboBox->activated(0);
  ASSERT_TRUE(FormMain->CommX1->IsOpen());
  ASSERT_TRUE(FormMain->CommX1->TransString("to three"));
  EXPECT_EQ(three.Read(8), QByteArray("to three"));
  EXPECT_TRUE(four.ReadAvailable().isEmpty());
}

TEST_F(ComSearch, DispatchOffersEachByteToTheListenersInOrder) {
  kxtest::PtyPair peer;
  ports.Link(3, peer.slavePath());
  Start();
  FormMain->CommX1->PortOpen();

  // Nobody listens: the bytes are read and dropped.
  peer.Write("drop");
  ASSERT_TRUE(kxtest::WaitUntil([] { return FormMain->CommX1->GetReceiveLength() == 0; }));
  kxtest::WaitUntil([] { return false; }, std::chrono::milliseconds(100));
  EXPECT_EQ(FormMain->CommX1->GetReceiveLength(), 0);

  // The first listener turns the second on after the byte 'b'; the test is made
  // anew for every byte, and a byte can go to both.
  QByteArray first, second, order;
  bool secondOn = false;
  FormMain->PortListeners = {
      {[] { return true; },
       [&](std::uint8_t b) {
         first += char(b);
         order += '1';
         if (b == 'b') secondOn = true;
       }},
      {[&] { return secondOn; },
       [&](std::uint8_t b) {
         second += char(b);
         order += '2';
       }},
  };
  peer.Write("abcd");
  ASSERT_TRUE(kxtest::WaitUntil([&] { return first.size() == 4; }));
  EXPECT_EQ(first, QByteArray("abcd"));
  EXPECT_EQ(second, QByteArray("bcd"));  // asked after the first took 'b'
  EXPECT_EQ(order, QByteArray("1121212"));
}
