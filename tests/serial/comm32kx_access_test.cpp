// Who may open a port: one holder at a time through the lock, which the
// kernel lets go even when the holder is killed; nothing left behind on the
// terminal that would keep an ordinary user out afterwards; a port without
// permission is "Access denied" at once, never "Busy". The kernel lets root past the
// checks an ordinary user meets, so the attempts that matter are made by a
// second instance running as an ordinary user.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/stat.h>

#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::Peer;
using testing::Pty;

class Comm32KxAccess : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(pty_.Ok());
    testing::SetExtraPorts(pty_.Path());
  }
  // Lets any user open the pseudo-terminal, as the dialout group does for a
  // real port.
  void OpenToEveryone() { ASSERT_EQ(chmod(pty_.Path().c_str(), 0666), 0); }

  Pty pty_;
};

TEST_F(Comm32KxAccess, PortOfAKilledHolderIsFreeForTheNext) {
  if (!Peer::CanRunUnprivileged()) GTEST_SKIP() << "no setpriv or no user nobody";
  OpenToEveryone();
  Peer holder;
  ASSERT_TRUE(holder.Start(pty_.Path(), false));
  ASSERT_EQ(holder.Status(), TLinkStatus::Connected) << holder.Output().toStdString();
  {
    Peer second;
    ASSERT_TRUE(second.Start(pty_.Path(), false, Peer::User::Unprivileged));
    EXPECT_EQ(second.Status(), TLinkStatus::Busy) << second.Output().toStdString();
  }
  // Killed: none of its own clean-up runs, only the kernel's.
  ASSERT_TRUE(holder.Kill());
  Peer next;
  ASSERT_TRUE(next.Start(pty_.Path(), false, Peer::User::Unprivileged));
  EXPECT_EQ(next.Status(), TLinkStatus::Connected) << next.Output().toStdString();
}

TEST_F(Comm32KxAccess, HeldPortCarriesNoExclusiveFlag) {
  TComm32Kx comm(nullptr, 1);
  comm.SetCOMPort(pty_.Path());
  ASSERT_TRUE(comm.IsOpen());
  int exclusive = -1;
  ASSERT_EQ(ioctl(pty_.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0) << "a flag that outlives a killed holder";
}

TEST_F(Comm32KxAccess, ExclusiveFlagLeftByAnotherToolIsClearedOnClose) {
  // Only root opens a terminal that carries the flag.
  if (geteuid() != 0) GTEST_SKIP() << "an ordinary user cannot open the port at all";
  ASSERT_EQ(ioctl(pty_.Slave(), TIOCEXCL), 0);
  TComm32Kx comm(nullptr, 1);
  comm.SetCOMPort(pty_.Path());
  ASSERT_TRUE(comm.IsOpen());
  comm.Close();
  int exclusive = -1;
  ASSERT_EQ(ioctl(pty_.Slave(), TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
}

// Reported at once: whoever waits for the port (a run) must not be held up,
// and a second attempt would be refused just the same.
TEST_F(Comm32KxAccess, PortWithoutPermissionIsAccessDeniedAtOnce) {
  if (!Peer::CanRunUnprivileged()) GTEST_SKIP() << "no setpriv or no user nobody";
  // Root's own terminal is closed to others; an ordinary user's own one is
  // closed to everybody.
  ASSERT_EQ(chmod(pty_.Path().c_str(), geteuid() == 0 ? 0600 : 0), 0);
  Peer peer;
  ASSERT_TRUE(peer.Start(pty_.Path(), false, Peer::User::Unprivileged));
  EXPECT_EQ(peer.Status(), TLinkStatus::AccessDenied) << peer.Output().toStdString();
  EXPECT_LT(peer.SelectMs().value_or(1000), 40);
}

}  // namespace
}  // namespace quorvel
