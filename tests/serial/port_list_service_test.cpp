// PortListService: every link component of the process stands on the one
// service: one device watcher, one hand-over listener, one list. Extra ports
// reach every component; a port let go is heard by every other component
// exactly once; the environment's extra ports are read once, at start.
#include <gtest/gtest.h>

#include <QProcess>
#include <QProcessEnvironment>
#include <QTest>
#include <cstdlib>
#include <memory>

#include "serial/port_handover.h"
#include "serial/port_watcher.h"
#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::EventLog;
using testing::Pty;
using testing::SetExtraPorts;
using testing::SpinFor;

size_t CountOf(const std::vector<std::string>& list, const std::string& name) {
  return static_cast<size_t>(std::count(list.begin(), list.end(), name));
}

// Several components (as on a production line, one per instrument), each
// with its own log.
class PortListServiceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(one_.Ok() && two_.Ok()); }
  void Make(int count) {
    SetExtraPorts("");
    for (int i = 0; i < count; ++i) {
      // Polish and English ones: each keeps "none" in its own language.
      comms_.push_back(std::make_unique<TComm32Kx>(nullptr, static_cast<uint8_t>(i % 2)));
      logs_.push_back(std::make_unique<EventLog>());
      logs_.back()->Attach(*comms_.back());
    }
    SpinFor(20);  // the notices of the setup
    for (auto& log : logs_) log->Clear();
  }

  Pty one_, two_;
  std::vector<std::unique_ptr<TComm32Kx>> comms_;
  std::vector<std::unique_ptr<EventLog>> logs_;
};

TEST_F(PortListServiceTest, ComponentsShareOneWatcherAndOneListener) {
  Make(3);
  EXPECT_EQ(PortWatcher::LiveCount(), 1);
  EXPECT_EQ(PortHandover::LiveCount(), 1);
  comms_.clear();
  // The service stays for the components made later.
  TComm32Kx later(nullptr, 1);
  EXPECT_EQ(PortWatcher::LiveCount(), 1);
  EXPECT_EQ(PortHandover::LiveCount(), 1);
}

TEST_F(PortListServiceTest, ExtraPortReachesEveryComponentOnce) {
  Make(3);
  PortListService& service = PortListService::Instance();
  comms_[1]->SetCOMPort(two_.Path());
  ASSERT_FALSE(comms_[1]->IsOpen()) << "not listed yet";

  service.AddExtraPort(one_.Path());
  service.AddExtraPort(two_.Path());
  EXPECT_EQ(CountOf(service.Ports(), one_.Path()), 1u) << "listed on return";
  ASSERT_TRUE(QTest::qWaitFor([&] { return logs_[2]->listChanges > 0; }, 2000));
  SpinFor(50);
  for (size_t i = 0; i < comms_.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(logs_[i]->listChanges, 1) << "both additions in one notice";
    EXPECT_EQ(CountOf(comms_[i]->PortList(), one_.Path()), 1u);
    EXPECT_EQ(CountOf(comms_[i]->PortList(), two_.Path()), 1u);
    EXPECT_EQ(comms_[i]->PortList().front(), comms_[i]->NoneText());
  }
  // A component made afterwards lists them at once.
  TComm32Kx later(nullptr, 1);
  EXPECT_EQ(CountOf(later.PortList(), one_.Path()), 1u);

  // One that goes away is closed where it was open, and "not found".
  comms_[0]->SetCOMPort(one_.Path());
  ASSERT_TRUE(comms_[0]->IsOpen());
  for (auto& log : logs_) log->Clear();
  service.RemoveExtraPort(one_.Path());
  ASSERT_TRUE(QTest::qWaitFor([&] { return logs_[2]->listChanges > 0; }, 2000));
  SpinFor(50);
  for (size_t i = 0; i < comms_.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(logs_[i]->listChanges, 1);
    EXPECT_EQ(CountOf(comms_[i]->PortList(), one_.Path()), 0u);
  }
  EXPECT_FALSE(comms_[0]->IsOpen());
  EXPECT_EQ(comms_[0]->Status(), TLinkStatus::PortNotFound);
  EXPECT_EQ(CountOf(later.PortList(), one_.Path()), 0u);
}

// A handler may do anything to other components, destroy them too; the
// notices go on with the ones that are left.
TEST_F(PortListServiceTest, ComponentDestroyedByAnotherOnesNoticeIsNotTold) {
  Make(3);
  int told = 0;
  for (auto& comm : comms_) {
    comm->OnPortListChange = [&](TComm32Kx* sender) {
      ++told;
      if (sender == comms_[0].get()) comms_[1].reset();
    };
  }
  SetExtraPorts(one_.Path());
  comms_[0]->RefreshPortList();
  EXPECT_EQ(told, 2);
  EXPECT_EQ(comms_[1], nullptr);
  EXPECT_EQ(CountOf(comms_[2]->PortList(), one_.Path()), 1u);
}

// With one listener for the whole process, a port let go must reach each
// other component once: not twice (through the bus and directly), not the
// one that let it go.
TEST_F(PortListServiceTest, PortLetGoIsHeardOnceByEveryOtherComponent) {
  Make(0);
  SetExtraPorts(one_.Path());
  PortListService& service = PortListService::Instance();
  std::vector<std::string> heard[2];
  std::vector<PortListService::SubscriptionId> ids;
  for (auto& list : heard) {
    PortListService::Subscriber subscriber;
    // Tests running beside this one on the same bus let their own ports go.
    subscriber.portFree = [&list, this](const std::string& name) {
      if (name == one_.Path()) list.push_back(name);
    };
    ids.push_back(service.Subscribe(std::move(subscriber)));
  }
  service.AnnounceFree(one_.Path(), ids[0]);
  SpinFor(300);
  EXPECT_TRUE(heard[0].empty());
  EXPECT_EQ(heard[1], std::vector<std::string>{one_.Path()});

  // The same through components: two wait for the port one of them holds.
  TComm32Kx holder(nullptr, 1);
  TComm32Kx first(nullptr, 1), second(nullptr, 0);
  holder.SetCOMPort(one_.Path());
  ASSERT_TRUE(holder.IsOpen());
  first.SetCOMPort(one_.Path());
  second.SetCOMPort(one_.Path());
  ASSERT_EQ(first.Status(), TLinkStatus::Busy);
  ASSERT_EQ(second.Status(), TLinkStatus::Busy);
  int changes = 0;
  first.OnPortChange = second.OnPortChange = [&](TComm32Kx*) { ++changes; };
  heard[1].clear();
  holder.SetCOMPort("none");
  ASSERT_TRUE(QTest::qWaitFor([&] { return changes == 2; }, 3000));
  SpinFor(300);
  EXPECT_EQ(heard[1], std::vector<std::string>{one_.Path()});
  EXPECT_EQ(changes, 2);
  // One of them got it; the other found it taken after trying a while.
  EXPECT_NE(first.IsOpen(), second.IsOpen());
  EXPECT_EQ((first.IsOpen() ? second : first).Status(), TLinkStatus::Busy);
  for (const auto id : ids) service.Unsubscribe(id);
}

// A port is its exact path: only a name listed twice byte for byte is
// doubled, and the warning about it comes back once that very name has
// left the list, whatever names in another case stayed.
TEST_F(PortListServiceTest, OnlyTheSameNameTwiceIsDoubled) {
  Make(0);
  PortListService& service = PortListService::Instance();
  const std::string lower = "/tmp/quorvel-doubled/p1";
  const std::string upper = "/tmp/quorvel-doubled/P1";
  SetExtraPorts(lower + ":" + lower + ":" + upper);
  EXPECT_FALSE(service.TakeDuplicateWarning(upper));
  EXPECT_TRUE(service.TakeDuplicateWarning(lower));
  EXPECT_FALSE(service.TakeDuplicateWarning(lower));

  SetExtraPorts(upper);
  SetExtraPorts(lower + ":" + upper + ":" + lower);
  EXPECT_TRUE(service.TakeDuplicateWarning(lower));
  EXPECT_FALSE(service.TakeDuplicateWarning(upper));
  SetExtraPorts("");
}

// The extra ports of the environment are read once, when the service is
// made; in a process of its own, so that it is made here.
TEST(PortListServiceStart, EnvironmentIsReadOnceAtStart) {
  constexpr const char* kChild = "QUORVEL_TEST_OWN_PROCESS";
  if (std::getenv(kChild) == nullptr) {
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(kChild, "1");
    env.insert(kExtraPortsVariable, "/tmp/quorvel-a::/tmp/quorvel-b");
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(QCoreApplication::applicationFilePath(),
                {"--gtest_filter=PortListServiceStart.EnvironmentIsReadOnceAtStart"});
    ASSERT_TRUE(child.waitForFinished(30000));
    EXPECT_EQ(child.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(child.exitCode(), 0);
    return;
  }
  PortListService& service = PortListService::Instance();
  EXPECT_EQ(service.ExtraPorts(), (std::vector<std::string>{"/tmp/quorvel-a", "/tmp/quorvel-b"}));
  setenv(kExtraPortsVariable, "/tmp/quorvel-c", 1);
  TComm32Kx comm(nullptr, 1);
  comm.RefreshPortList();
  EXPECT_EQ(CountOf(comm.PortList(), "/tmp/quorvel-a"), 1u);
  EXPECT_EQ(CountOf(comm.PortList(), "/tmp/quorvel-c"), 0u);
}

}  // namespace
}  // namespace quorvel
