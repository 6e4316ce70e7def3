// Runs one fuzz target (built with clang, libFuzzer and the sanitizers) for a few
// seconds from its seeds and its growing corpus: any crash, out-of-bounds access,
// undefined behaviour, hang or broken rule fails the test.
#include <gtest/gtest.h>

#include <QDir>
#include <QFileInfo>
#include <QProcess>

TEST(Fuzz, TheParserSurvivesAFewSecondsOfFuzzing) {
  const QString target = QStringLiteral(KX_FUZZ_TARGET);
  ASSERT_TRUE(QFileInfo(target).isExecutable())
      << "fuzz target missing: clang++ and libclang-rt-14-dev are needed (scripts/install-deps)";
  const QString dir = QStringLiteral(KX_FUZZ_DIR);
  const QString corpus = dir + QStringLiteral("/corpus");
  ASSERT_TRUE(QDir().mkpath(corpus));
  QStringList args{QStringLiteral("-max_total_time=%1").arg(KX_FUZZ_SECONDS), QStringLiteral("-max_len=4096"),
                   QStringLiteral("-timeout=10"), QStringLiteral("-rss_limit_mb=1024"),
                   QStringLiteral("-artifact_prefix=") + dir + QLatin1Char('/')};
  if (const QString dict = QStringLiteral(KX_FUZZ_DICT); !dict.isEmpty()) args << QStringLiteral("-dict=") + dict;
  args << corpus;
  if (const QString seeds = QStringLiteral(KX_FUZZ_SEEDS); !seeds.isEmpty()) args << seeds;
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(target, args);
  ASSERT_TRUE(p.waitForFinished(60000));
  const QByteArray output = p.readAll();
  EXPECT_EQ(p.exitStatus(), QProcess::NormalExit) << output.right(4000).toStdString();
  EXPECT_EQ(p.exitCode(), 0) << output.right(4000).toStdString();
  EXPECT_TRUE(output.contains("Done ")) << output.right(4000).toStdString();
}
