// TComm32Kx and the port list: ports that come and go, the duplicate-name
// warning, refreshes that never nest, the rescan without udev.
#include <gtest/gtest.h>

#include <QTemporaryDir>
#include <QTest>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>

#include "app/prompt.h"
#include "recording_prompt.h"
#include "serial/port_watcher.h"
#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::EventLog;
using testing::Pty;
using testing::SetExtraPorts;
using testing::SpinFor;

// The virtual ports of a list (the system's own ports are left out).
std::vector<std::string> PathPorts(const TComm32Kx& comm) {
  std::vector<std::string> paths;
  for (const std::string& name : comm.PortList()) {
    if (name.find('/') != std::string::npos) paths.push_back(name);
  }
  return paths;
}

class Comm32KxPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(one_.Ok() && two_.Ok());
    SetPrompt(&prompt_);
  }
  void TearDown() override {
    comm_.reset();
    SetPrompt(nullptr);
  }
  void Make(const std::string& extra, uint8_t language = 1) {
    SetExtraPorts(extra);
    comm_ = std::make_unique<TComm32Kx>(nullptr, language);
    log_.Attach(*comm_);
    // The owner shows the warning as a warning message of its own.
    comm_->OnDuplicatePort = [this](TComm32Kx*, const std::string& text) {
      prompt_.MsgBox(text, std::string(), kIconWarning);
    };
  }

  Pty one_, two_;
  test::RecordingPrompt prompt_;
  std::unique_ptr<TComm32Kx> comm_;
  EventLog log_;
};

TEST_F(Comm32KxPorts, PortThatGoesAwayIsClosedAndComesBackUnopened) {
  Make(one_.Path() + ":" + two_.Path());
  comm_->SetCOMPort(one_.Path());
  ASSERT_TRUE(comm_->IsOpen());
  log_.Clear();

  SetExtraPorts(two_.Path());
  comm_->RefreshPortList();
  EXPECT_EQ(log_.listChanges, 1);
  EXPECT_EQ(comm_->PortList().front(), "none");
  EXPECT_EQ(PathPorts(*comm_), std::vector<std::string>{two_.Path()});
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(comm_->Status(), TLinkStatus::PortNotFound);
  EXPECT_EQ(comm_->COMPort(), one_.Path());
  EXPECT_EQ(comm_->PortIndex(), 0);

  log_.Clear();
  SetExtraPorts(one_.Path() + ":" + two_.Path());
  comm_->RefreshPortList();
  EXPECT_EQ(log_.listChanges, 1);
  EXPECT_GT(comm_->PortIndex(), 0);
  EXPECT_EQ(comm_->PortList()[comm_->PortIndex()], one_.Path());
  EXPECT_FALSE(comm_->IsOpen());

  // An unchanged list: no event, the open port stays open.
  comm_->Open();
  log_.Clear();
  comm_->RefreshPortList();
  EXPECT_EQ(log_.listChanges, 0);
  EXPECT_TRUE(comm_->IsOpen());
  EXPECT_TRUE(log_.statuses.empty());
}

TEST_F(Comm32KxPorts, DuplicatedNameIsWarnedOnceAfterTheOperation) {
  Make(one_.Path() + ":" + one_.Path());
  EXPECT_EQ(std::count(comm_->PortList().begin(), comm_->PortList().end(), one_.Path()), 2);
  comm_->SetCOMPort(one_.Path());
  EXPECT_TRUE(prompt_.shown.empty()) << "shown after the operation, not inside it";
  ASSERT_TRUE(QTest::qWaitFor([&] { return !prompt_.shown.empty(); }, 2000));
  EXPECT_EQ(prompt_.shown[0].text, "WARNING\r\nThere are two " + one_.Path() +
                                       " serial ports in the system.\r\nProgram may work "
                                       "incorrectly.");
  EXPECT_EQ(prompt_.shown.back().flags, kIconWarning);

  comm_->SetCOMPort("none");
  comm_->SetCOMPort(one_.Path());
  comm_->RefreshPortList();
  SpinFor(100);
  EXPECT_EQ(prompt_.shown.size(), 1u);

  // Once the name has left the list it is warned about again later.
  SetExtraPorts(two_.Path());
  comm_->RefreshPortList();
  SetExtraPorts(two_.Path() + ":" + one_.Path() + ":" + one_.Path());
  comm_->RefreshPortList();
  comm_->SetCOMPort("none");
  comm_->SetCOMPort(one_.Path());
  ASSERT_TRUE(QTest::qWaitFor([&] { return prompt_.shown.size() == 2; }, 2000));
}

TEST_F(Comm32KxPorts, PolishDuplicateWarning) {
  Make(two_.Path() + ":" + two_.Path(), 0);
  comm_->SetCOMPort(two_.Path());
  ASSERT_TRUE(QTest::qWaitFor([&] { return !prompt_.shown.empty(); }, 2000));
  EXPECT_EQ(prompt_.shown[0].text, "UWAGA\r\nW systemie istnieją dwa porty " + two_.Path() +
                                       ".\r\nProgram może działać nieprawidłowo.");
}

TEST_F(Comm32KxPorts, RefreshRequestedInsideARefreshRunsAfterIt) {
  Make(one_.Path());
  int depth = 0;
  int deepest = 0;
  std::vector<size_t> sizes;
  comm_->OnPortListChange = [&](TComm32Kx* sender) {
    ++depth;
    deepest = std::max(deepest, depth);
    sizes.push_back(PathPorts(*sender).size());
    if (sizes.size() == 1) {
      SetExtraPorts(one_.Path() + ":" + two_.Path());
      sender->RefreshPortList();
      EXPECT_EQ(sizes.size(), 1u);
    }
    --depth;
  };
  SetExtraPorts("");
  comm_->RefreshPortList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return sizes.size() >= 2; }, 2000));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(sizes, (std::vector<size_t>{0, 2}));
}

// Where no udev daemon passes device notices on, the watcher looks at the
// kernel's devices every 2 s and tells only of a device that came or went
// (or was plugged in again at the same place: a new device number), not
// of every look: each notice rebuilds every list that follows the ports.
TEST(PortWatcherRescan, TellsOnlyWhenTheDevicesDiffer) {
  QTemporaryDir root;
  ASSERT_TRUE(root.isValid());
  const std::filesystem::path tty = root.filePath("tty").toStdString();
  const std::filesystem::path usb = root.filePath("usb").toStdString();
  std::filesystem::create_directories(tty / "ttyS0");
  std::filesystem::create_directories(usb / "1-1");
  const auto setDevnum = [&](const std::string& number) {
    std::ofstream(usb / "1-1" / "devnum") << number << "\n";
  };
  setDevnum("5");

  int notices = 0;
  PortWatcher::Sources sources;
  sources.udev = false;
  sources.ttyFolder = tty.string();
  sources.usbFolder = usb.string();
  sources.rescanMs = 40;
  PortWatcher watcher([&notices] { ++notices; }, sources);
  ASSERT_FALSE(watcher.UsesUdev());

  struct Step {
    const char* what;
    std::function<void()> change;
    bool told;
  };
  const std::vector<Step> steps = {
      {"nothing changed", [] {}, false},
      {"a tty device came", [&] { std::filesystem::create_directories(tty / "ttyUSB0"); }, true},
      {"an interface of a listed device came",
       [&] { std::filesystem::create_directories(usb / "1-1:1.0"); }, false},
      {"the USB device was plugged in again", [&] { setDevnum("6"); }, true},
      {"a USB device came", [&] { std::filesystem::create_directories(usb / "1-2"); }, true},
      {"a tty device went", [&] { std::filesystem::remove_all(tty / "ttyUSB0"); }, true},
  };
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    notices = 0;
    step.change();
    SpinFor(sources.rescanMs * 4);
    EXPECT_EQ(notices, step.told ? 1 : 0);
  }
}

}  // namespace
}  // namespace quorvel
