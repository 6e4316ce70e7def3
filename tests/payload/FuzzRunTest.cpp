// Runs the record fuzz target (built with clang, libFuzzer and the sanitizers) for a
// few seconds: any crash, out-of-bounds access or broken size rule fails it.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

TEST(PayloadFuzz, RecordHandlingSurvivesAFewSecondsOfFuzzing) {
  ASSERT_TRUE(QFileInfo(QStringLiteral(KX_RECORD_FUZZ)).isExecutable())
      << "fuzz target missing: clang++ and libclang-rt-14-dev are needed (scripts/install-deps)";
  ASSERT_TRUE(QDir().mkpath(QStringLiteral(KX_FUZZ_CORPUS)));
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(QStringLiteral(KX_RECORD_FUZZ),
          {QStringLiteral("-max_total_time=5"), QStringLiteral("-max_len=4096"), QStringLiteral("-timeout=10"),
           QStringLiteral("-rss_limit_mb=1024"),
           QStringLiteral("-artifact_prefix=" KX_FUZZ_DIR "/"), QStringLiteral("-dict=" KX_FUZZ_DICT),
           QStringLiteral(KX_FUZZ_CORPUS), QStringLiteral(KX_FUZZ_SEEDS)});
  ASSERT_TRUE(p.waitForFinished(60000));
  const QByteArray output = p.readAll();
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << output.right(4000).toStdString();
  EXPECT_EQ(p.exitCode(), 0) << output.right(4000).toStdString();
  EXPECT_TRUE(output.contains("Done ")) << output.right(4000).toStdString();
}
