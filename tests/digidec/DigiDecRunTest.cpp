// WRITE START with the real writer stand-in, run fast, followed by the real poll.
#include <gtest/gtest.h>

#include <QPlainTextEdit>
#include <QProgressBar>

#include "tests/digidec/DigiDecTestSupport.h"

namespace {

class DigiDecRun : public ::testing::Test {
 protected:
  void SetUp() override {
    qputenv("KX7391_WRITER_SECONDS", "1");
    qunsetenv("KX7391_WRITER_FAIL");
    kx::digidec::DeployReport quiet{[](const QString &) {}, [] {}, [](const QString &) {}, [](const QString &) {}};
    ASSERT_TRUE(kx::digidec::DeployWriterTool(w.base.path(), kxtest::ReaderOf(payloads), quiet));
    form = w.Create();
    form->show();
    FormMain->show();
  }
  void TearDown() override { qunsetenv("KX7391_WRITER_SECONDS"); }
  bool RunEnds() {
    return kxtest::WaitUntil([&] { return !form->NowCommandExecute; }, std::chrono::seconds(30));
  }
  QStringList Memo() const { return form->MessageMemo->toPlainText().split('\n'); }

  QMap<QString, QByteArray> payloads = kxtest::RunnablePayloads();
  kxtest::DigiDecWindows w;
  TFormDigiDec *form = nullptr;
};

TEST_F(DigiDecRun, SuccessfulRunFillsBothBarsAndTurnsTheButtonBlue) {
  form->ExeButtonClick();
  EXPECT_EQ(kxtest::LogTexts(),
            (QStringList{"DigiDec[WRITE] clicked",
                         "cmd [-c \"cd digidecw && exec ./KX7391DWriterCmd2507A.exe 2507A.A57 2507A_Cyclone10.A57\"]",
                         " execute WriterCmd"}));
  EXPECT_TRUE(form->NowCommandExecute);
  EXPECT_TRUE(form->Timer1->isActive());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Yellow);

  // Neither window closes during the run.
  EXPECT_FALSE(form->close());
  EXPECT_FALSE(FormMain->close());
  EXPECT_EQ(w.boxes.texts, QStringList(2, "It cannot be closed because it is currently running."));

  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(form->ProgressBar1->value(), 100);
  EXPECT_EQ(form->ProgressBar2->value(), 100);
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Blue);
  const QStringList memo = Memo();
  EXPECT_EQ(memo.last(), QStringLiteral("I:Success"));
  EXPECT_EQ(memo.count("I:Erasing.."), 2);
  EXPECT_EQ(memo.count("I:Comparing.."), 2);
  EXPECT_TRUE(memo.filter("P:").isEmpty());
  EXPECT_EQ(kxtest::LogTexts().last(), QStringLiteral(" WriterCmd [I:Success]"));
  // The tool ran in the folder beside the executable, not in the working directory.
  EXPECT_TRUE(QFile::exists(w.logTxt()));
  EXPECT_FALSE(QFile::exists(w.work.file("digidecw/log.txt")));

  EXPECT_TRUE(form->close());
  EXPECT_EQ(w.boxes.texts.size(), 2);
}

TEST_F(DigiDecRun, ToolThatRefusesAnImageEndsSilentAndRed) {
  kxtest::WriteFile(w.base.toolFile("2507A_Cyclone10.A57"), QByteArray(1000, 'x'));
  form->ExeButtonClick();
  ASSERT_TRUE(RunEnds());
  EXPECT_EQ(FormMain->DigiDecBitBtn->FontColor(), kx::colors::Red);
  const QString error = "E:File size error [2507A_Cyclone10.A57] 1000 bytes, 567419 expected";
  EXPECT_EQ(Memo().last(), error);
  EXPECT_EQ(kxtest::LogTexts().last(), " WriterCmd [" + error + "]");
  EXPECT_EQ(form->ProgressBar1->value(), 0);
  // Closing is allowed again, without a word.
  EXPECT_TRUE(form->close());
  EXPECT_TRUE(w.boxes.texts.isEmpty());
}

}  // namespace
