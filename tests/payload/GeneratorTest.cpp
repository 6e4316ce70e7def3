// The committed payload files are exactly what the generator writes.
#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include "tests/support/TestSupport.h"

TEST(PayloadGenerator, RegeneratesTheCommittedFilesByteForByte) {
  QTemporaryDir out;
  ASSERT_TRUE(out.isValid());
  QProcess p;
  p.start(QStringLiteral(KX_MAKE_PAYLOADS), {out.path()});
  ASSERT_TRUE(p.waitForFinished(120000));
  ASSERT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();

  const QDir committed(QStringLiteral(KX_SOURCE_DIR "/resources/payloads"));
  QStringList names = committed.entryList(QDir::Files, QDir::Name);
  names.removeAll(QStringLiteral("README.md"));
  EXPECT_EQ(QDir(out.path()).entryList(QDir::Files, QDir::Name), names);
  EXPECT_EQ(names.size(), 16);
  for (const QString &name : names)
    EXPECT_TRUE(kxtest::ReadAll(out.filePath(name)) == kxtest::ReadAll(committed.filePath(name)))
        << name.toStdString() << " differs from a fresh run of the generator";
}
