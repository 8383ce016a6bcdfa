// Who may open a port: one holder at a time through the lock, which the
// kernel lets go even when the holder is killed; nothing left behind on the
// terminal that would keep an ordinary user out afterwards; a port without
// permission is "Access denied", never "Busy". The kernel lets root past the
// checks an ordinary user meets, so the attempts that matter are made by a
// second instance running as an ordinary user.
#include <gtest/gtest.h>
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

  Pty pty_;
};

TEST_F(Comm32KxAccess, PortWithoutPermissionIsAccessDeniedAfterRetrying) {
  if (!Peer::CanRunUnprivileged()) GTEST_SKIP() << "no setpriv or no user nobody";
  // Root's own terminal is closed to others; an ordinary user's own one is
  // closed to everybody.
  ASSERT_EQ(chmod(pty_.Path().c_str(), geteuid() == 0 ? 0600 : 0), 0);
  Peer peer;
  ASSERT_TRUE(peer.Start(pty_.Path(), false, Peer::User::Unprivileged));
  EXPECT_EQ(peer.Status(), kStatusAccessDenied) << peer.Output().toStdString();
  EXPECT_GE(peer.SelectMs().value_or(0), 190);
}

}  // namespace
}  // namespace quorvel
