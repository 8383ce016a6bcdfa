// The monitor link on a private session bus: a second connection of the
// test process plays the monitor, and for a monitor that stops taking
// messages a separate process (monitor_peer) is stopped with SIGSTOP.
#include "monitor/monitor_link.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QProcess>
#include <QSignalSpy>
#include <QTest>

#include "app/globals.h"
#include "monitor_side.h"
#include "run/monitor_messages.h"

namespace quorvel {
namespace {

constexpr int kWaitMs = 20000;

using test::MonitorSide;
using test::Name;

class MonitorLinkTest : public ::testing::Test {
 protected:
  MonitorLinkTest() : saved_(Language) { Language = 1; }
  ~MonitorLinkTest() override { Language = saved_; }

  // The monitor announces itself and the link hears it.
  void Open(MonitorSide& monitor) {
    QSignalSpy opened(&link, &MonitorLink::opened);
    monitor.Say(kMsgRetOpen, {link.Token()});
    ASSERT_TRUE(opened.wait(kWaitMs));
    ASSERT_TRUE(link.Known());
  }

  MonitorLink link;

 private:
  uint8_t saved_;
};

TEST_F(MonitorLinkTest, OnlyItsOwnMonitorIsHeard) {
  MonitorSide monitor("monitor");
  QSignalSpy opened(&link, &MonitorLink::opened);
  // A stray program on the bus: wrong token, nothing, another type, more.
  const QList<QList<QVariant>> strays = {
      {QStringLiteral("1234")}, {}, {42}, {link.Token(), link.Token()}, {link.Token().toLower()}};
  for (const QList<QVariant>& arguments : strays) monitor.Say(kMsgRetOpen, arguments);
  // Nothing is sent to a monitor that has not announced itself.
  const uint8_t before[] = {0xEE};
  link.SendData(TrafficDirection::Sent, before);
  Open(monitor);
  EXPECT_EQ(opened.count(), 1);

  const uint8_t marker[] = {0xB0, 0x01};
  link.SendData(TrafficDirection::Sent, marker);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !monitor.heard.empty(); }, kWaitMs));
  EXPECT_EQ(monitor.heard.front().member(), Name(kMsgDataSend));
  EXPECT_EQ(monitor.heard.front().arguments().value(1).toByteArray(), QByteArray("\xB0\x01", 2));

  // Another program saying RETCLOSE with the right token is not the monitor.
  MonitorSide other("other");
  QSignalSpy closed(&link, &MonitorLink::closed);
  other.Say(kMsgRetClose, {link.Token()});
  monitor.Say(kMsgRetClose, {QStringLiteral("1")});
  other.Flush();
  monitor.Flush();
  link.Show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.heard.size() == 2; }, kWaitMs));
  EXPECT_EQ(closed.count(), 0);
  EXPECT_TRUE(link.Known());
  monitor.Say(kMsgRetClose, {link.Token()});
  ASSERT_TRUE(closed.wait(kWaitMs));
  EXPECT_FALSE(link.Known());
}

TEST_F(MonitorLinkTest, TheMonitorHearsThePortAndEveryBlockInOrder) {
  MonitorSide monitor("monitor");
  Open(monitor);
  link.SendDevice(TLinkKind::Usb, "FT232R01");
  std::vector<QByteArray> blocks;
  for (int i = 0; i < 200; ++i) {
    const QByteArray block(1 + i % 300, static_cast<char>(i));
    blocks.push_back(block);
    link.SendData(i % 2 == 0 ? TrafficDirection::Sent : TrafficDirection::Received,
                  {reinterpret_cast<const uint8_t*>(block.data()), static_cast<size_t>(block.size())});
  }
  link.Close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.heard.size() == 202; }, kWaitMs))
      << monitor.heard.size();
  const QDBusMessage& device = monitor.heard.front();
  EXPECT_EQ(device.member(), Name(kMsgDevice));
  EXPECT_EQ(device.arguments().value(0).toString(), link.Token());
  EXPECT_EQ(device.arguments().value(1).toByteArray(), QByteArray("\x01" "FT232R01\x00", 10));
  for (size_t i = 0; i < blocks.size(); ++i) {
    const QDBusMessage& message = monitor.heard[i + 1];
    EXPECT_EQ(message.member(), Name(i % 2 == 0 ? kMsgDataSend : kMsgDataRec)) << i;
    EXPECT_EQ(message.arguments().value(1).toByteArray(), blocks[i]) << i;
  }
  EXPECT_EQ(monitor.heard.back().member(), Name(kMsgClose));
  EXPECT_TRUE(link.Known()) << "a monitor that answers stays known";
}

TEST_F(MonitorLinkTest, AMonitorThatLeavesTheBusIsForgotten) {
  auto monitor = std::make_unique<MonitorSide>("monitor");
  Open(*monitor);
  QSignalSpy closed(&link, &MonitorLink::closed);
  monitor->Leave();
  ASSERT_TRUE(closed.wait(kWaitMs));
  EXPECT_FALSE(link.Known());
}

// A monitor stopped with SIGSTOP takes nothing: the link gives it up after
// its time to answer instead of queueing for it, and the sending never
// waits for it.
TEST_F(MonitorLinkTest, AStoppedMonitorIsGivenUp) {
  QProcess peer;
  peer.start(QStringLiteral(MONITOR_PEER_PATH), {link.Token()});
  ASSERT_TRUE(peer.waitForStarted(kWaitMs));
  QSignalSpy opened(&link, &MonitorLink::opened);
  ASSERT_TRUE(opened.wait(kWaitMs)) << peer.readAllStandardError().toStdString();
  ASSERT_EQ(kill(static_cast<pid_t>(peer.processId()), SIGSTOP), 0);

  QSignalSpy closed(&link, &MonitorLink::closed);
  const std::vector<uint8_t> block(268, 0x5A);
  int sent = 0;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        link.SendData(TrafficDirection::Sent, block);
        ++sent;
        return closed.count() > 0;
      },
      kWaitMs));
  EXPECT_FALSE(link.Known());
  kill(static_cast<pid_t>(peer.processId()), SIGCONT);
  peer.kill();
  peer.waitForFinished(kWaitMs);
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}

