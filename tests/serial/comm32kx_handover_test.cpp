// Two processes and one port: "Busy" while the other holds it, and the
// hand-over over the session bus when it lets the port go.
#include <gtest/gtest.h>

#include <set>

#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTest>
#include <cstdlib>
#include <memory>

#include "serial/port_handover.h"
#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::EventLog;
using testing::Peer;
using testing::Pty;
using testing::SpinFor;

TEST(Comm32KxBusy, PortHeldByAnotherProcessIsBusy) {
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  testing::SetExtraPorts(pty.Path());
  Peer peer;
  ASSERT_TRUE(peer.Start(pty.Path(), true));
  ASSERT_TRUE(peer.Output().contains("status 0")) << peer.Output().toStdString();

  TComm32Kx comm(nullptr, 1);
  comm.SetCOMPort(pty.Path());
  EXPECT_EQ(comm.Status(), TLinkStatus::Busy);
  EXPECT_FALSE(comm.IsOpen());
}

// Without a session bus, run this test again on a private one.
bool RunOnPrivateBus(const char* test) {
  const QString runner = QStandardPaths::findExecutable("dbus-run-session");
  if (runner.isEmpty()) return false;
  QProcess child;
  child.setProcessChannelMode(QProcess::ForwardedChannels);
  child.start(runner, {"--", QCoreApplication::applicationFilePath(),
                       QString("--gtest_filter=Comm32KxHandover.") + test});
  EXPECT_TRUE(child.waitForFinished(60000));
  EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
  EXPECT_EQ(child.exitCode(), 0);
  return true;
}

// Runs the rest of the test only on a session bus; without one, runs the
// whole test in a child process on a private bus.
#define REQUIRE_SESSION_BUS(test)                                                      \
  if (std::getenv("DBUS_SESSION_BUS_ADDRESS") == nullptr) {                            \
    if (!RunOnPrivateBus(test)) GTEST_SKIP() << "no session bus, no dbus-run-session"; \
    return;                                                                            \
  }

class Comm32KxHandover : public ::testing::Test {
 protected:
  void Select(TComm32Kx& comm, const std::string& port) {
    comm.SetCOMPort(port);
    log_.Clear();
  }
  EventLog log_;
};

TEST_F(Comm32KxHandover, ReleasedPortIsTakenOverByTheBusyInstance) {
  REQUIRE_SESSION_BUS("ReleasedPortIsTakenOverByTheBusyInstance");
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  testing::SetExtraPorts(pty.Path());
  TComm32Kx comm(nullptr, 1);
  log_.Attach(comm);

  Peer peer;
  ASSERT_TRUE(peer.Start(pty.Path(), true));
  comm.SetCOMPort(pty.Path());
  ASSERT_EQ(comm.Status(), TLinkStatus::Busy);
  log_.Clear();

  peer.Release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return log_.portChanges > 0; }, 10000))
      << peer.Output().toStdString();
  EXPECT_TRUE(peer.Output().contains("released"));
  EXPECT_TRUE(comm.IsOpen());
  EXPECT_EQ(comm.Status(), TLinkStatus::Connected);
  EXPECT_EQ(log_.statuses,
            (std::vector<TLinkStatus>{TLinkStatus::Disconnected, TLinkStatus::Connected}));
  EXPECT_EQ(log_.portChanges, 1);
}

TEST_F(Comm32KxHandover, NoAnnouncementWithoutBroadCastPortOFF) {
  REQUIRE_SESSION_BUS("NoAnnouncementWithoutBroadCastPortOFF");
  Pty pty;
  ASSERT_TRUE(pty.Ok());
  testing::SetExtraPorts(pty.Path());
  TComm32Kx comm(nullptr, 1);
  log_.Attach(comm);

  Peer peer;
  ASSERT_TRUE(peer.Start(pty.Path(), false));
  comm.SetCOMPort(pty.Path());
  ASSERT_EQ(comm.Status(), TLinkStatus::Busy);
  log_.Clear();
  peer.Release();
  ASSERT_TRUE(QTest::qWaitFor([&] { return peer.Output().contains("released"); }, 10000));
  SpinFor(700);
  EXPECT_EQ(log_.portChanges, 0);
  EXPECT_FALSE(comm.IsOpen());
  EXPECT_EQ(comm.Status(), TLinkStatus::Busy);
}

TEST_F(Comm32KxHandover, ConnectedInstanceIgnoresAnnouncements) {
  REQUIRE_SESSION_BUS("ConnectedInstanceIgnoresAnnouncements");
  Pty one, two;
  ASSERT_TRUE(one.Ok() && two.Ok());
  testing::SetExtraPorts(one.Path() + ":" + two.Path());
  // Both in this process: announcements of the other component count too.
  TComm32Kx holder(nullptr, 1);
  TComm32Kx other(nullptr, 1);
  log_.Attach(other);
  holder.SetCOMPort(one.Path());
  Select(other, two.Path());
  ASSERT_TRUE(other.IsOpen());
  holder.SetCOMPort("none");
  SpinFor(500);
  EXPECT_EQ(log_.portChanges, 0);
  EXPECT_TRUE(log_.statuses.empty());

  // The holder's own announcement does not make it take the port back.
  TComm32Kx third(nullptr, 1);
  holder.SetCOMPort(two.Path());  // busy: `other` holds it
  ASSERT_EQ(holder.Status(), TLinkStatus::Busy);
  other.SetCOMPort("none");
  ASSERT_TRUE(QTest::qWaitFor([&] { return holder.IsOpen(); }, 5000));
}

// The name another process hears is the one announced, byte for byte: a
// path need not be UTF-8, and letter case tells ports apart.
TEST_F(Comm32KxHandover, AnnouncedNameArrivesByteForByte) {
  REQUIRE_SESSION_BUS("AnnouncedNameArrivesByteForByte");
  const std::string folder = "/tmp/quorvel-handover-" + std::to_string(getpid()) + "/";
  const std::vector<std::string> names = {folder + "p1", folder + "P1", folder + "port-\xFF\xFE",
                                          folder + "za\xC5\xBC\xC3\xB3\xC5\x82\xC4\x87"};
  std::vector<std::string> heard;
  // Tests running beside this one on the same bus let their own ports go.
  PortHandover listener([&](const std::string& name) {
    if (name.rfind(folder, 0) == 0) heard.push_back(name);
  });
  PortHandover announcer([](const std::string&) {});
  ASSERT_TRUE(listener.Connected() && announcer.Connected());
  for (const std::string& name : names) announcer.AnnounceFree(name);
  // Announcements of different ports promise no order among themselves.
  const std::set<std::string> expected(names.begin(), names.end());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return std::set<std::string>(heard.begin(), heard.end()) == expected; }, 10000))
      << ::testing::PrintToString(heard);
}

}  // namespace
}  // namespace quorvel
