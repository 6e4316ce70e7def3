// Port names, the port directory and the port list, on directories of the test's own.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "platform/serial/PortMap.h"

using kx::serial::ListPorts;
using kx::serial::PortRoots;

namespace {

class Roots : public ::testing::Test {
 protected:
  Roots() {
    roots.portDir = tmp.filePath("ports");
    roots.devDir = tmp.filePath("dev");
    roots.sysTtyDir = tmp.filePath("sys");
    QDir(tmp.path()).mkpath("ports");
    QDir(tmp.path()).mkpath("dev");
  }
  // A device node stand-in, optionally with the sysfs entries of real hardware.
  void Device(const QString &name, bool hardware, const QByteArray &uartType = "4") {
    QFile f(roots.devDir + "/" + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    if (!hardware) return;
    QDir(tmp.path()).mkpath("sys/" + name + "/device");
    QFile t(roots.sysTtyDir + "/" + name + "/type");
    ASSERT_TRUE(t.open(QIODevice::WriteOnly));
    t.write(uartType + "\n");
  }
  void Link(const QString &name, const QString &target) {
    ASSERT_TRUE(QFile::link(target, roots.portDir + "/" + name));
  }
  QStringList Entries() {
    QStringList out;
    const auto list = ListPorts(roots);
    if (!list) return {"unreadable"};
    for (const auto &e : *list) out << e.portName + "(" + e.device + ")=" + QString::number(e.portNo);
    return out;
  }
  QTemporaryDir tmp;
  PortRoots roots;
};

}  // namespace

TEST_F(Roots, ListsInAscendingPortNumberWithDevicePaths) {
  Device("ttyS0", true);
  Device("ttyS1", true, "0");  // a legacy port without a UART
  Device("ttyUSB0", true);
  Device("ttyUSB1", false);    // no hardware behind it
  Device("ttyACM2", true);
  Device("ttyS40", true);      // beyond the scheme
  Device("tty5", true);        // not a serial name
  const QString target = tmp.filePath("dev/ttyUSB1");
  Link("COM10", target);
  Link("COM3", target);
  Link("COM4", tmp.filePath("gone"));  // dangling: the device went away
  Link("COMX", target);
  Link("COM0", target);
  QFile plain(roots.portDir + "/COM8");
  ASSERT_TRUE(plain.open(QIODevice::WriteOnly));  // not a link
  EXPECT_EQ(Entries(), (QStringList{"COM1(" + roots.devDir + "/ttyS0)=1", "COM3(" + target + ")=3",
                                    "COM10(" + target + ")=10", "COM33(" + roots.devDir + "/ttyUSB0)=33",
                                    "COM67(" + roots.devDir + "/ttyACM2)=67"}));
}

TEST_F(Roots, PortDirectoryWinsOverTheSchemeAndMapsNames) {
  Device("ttyS0", true);
  Link("COM1", tmp.filePath("dev/ttyS0"));
  EXPECT_EQ(Entries().size(), 1);
  EXPECT_EQ(kx::serial::DevicePath(1, roots), roots.portDir + "/COM1");
  EXPECT_EQ(kx::serial::DevicePath(2, roots), roots.devDir + "/ttyS1");
  EXPECT_EQ(kx::serial::DevicePath(33, roots), roots.devDir + "/ttyUSB0");
  EXPECT_EQ(kx::serial::DevicePath(65, roots), roots.devDir + "/ttyACM0");
  EXPECT_EQ(kx::serial::DevicePath(97, roots), QString());
  EXPECT_EQ(kx::serial::DevicePath(0, roots), QString());
  EXPECT_EQ(kx::serial::DevicePath(-3, roots), QString());
}

TEST_F(Roots, MissingDirectoryIsEmptyAndUnreadableOneIsAnError) {
  QDir(roots.portDir).removeRecursively();
  EXPECT_EQ(Entries(), QStringList());
  QFile notDir(roots.portDir);
  ASSERT_TRUE(notDir.open(QIODevice::WriteOnly));
  notDir.close();
  EXPECT_EQ(Entries(), QStringList{"unreadable"});
}

TEST(PortDirectory, FollowsTheEnvironment) {
  const QByteArray saved[] = {qgetenv("KX7391_PORT_DIR"), qgetenv("XDG_RUNTIME_DIR"), qgetenv("HOME")};
  qputenv("KX7391_PORT_DIR", "/x/ports");
  EXPECT_EQ(PortRoots::FromEnvironment().portDir, "/x/ports");
  qunsetenv("KX7391_PORT_DIR");
  qputenv("XDG_RUNTIME_DIR", "/run/user/7");
  EXPECT_EQ(PortRoots::FromEnvironment().portDir, "/run/user/7/kx7391/ports");
  qunsetenv("XDG_RUNTIME_DIR");
  qputenv("HOME", "/home/tech");
  EXPECT_EQ(PortRoots::FromEnvironment().portDir, "/home/tech/.cache/kx7391/ports");
  EXPECT_EQ(PortRoots::FromEnvironment().devDir, "/dev");
  qputenv("KX7391_DEV_DIR", "/sandbox/dev");
  EXPECT_EQ(PortRoots::FromEnvironment().devDir, "/sandbox/dev");
  qunsetenv("KX7391_DEV_DIR");
  const char *names[] = {"KX7391_PORT_DIR", "XDG_RUNTIME_DIR", "HOME"};
  for (int i = 0; i < 3; ++i)
    if (!saved[i].isEmpty()) qputenv(names[i], saved[i]);
}
