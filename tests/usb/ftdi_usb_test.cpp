// The USB link component over the D2XX test double (a stand-in for the
// vendor's library, loaded with dlopen, its converters pseudo-terminals):
// the device list, selecting and opening, sending and receiving, and two
// components in step through their change notices on the session bus.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QTest>
#include <cstdlib>
#include <string>
#include <vector>

#include <sys/file.h>
#include <unistd.h>

#include "serial/port_handover.h"
#include "serial_test_support.h"
#include "usb/d2xx_library.h"
#include "usb/ftdi_usb.h"
#include "usb/usb_instances.h"

namespace quorvel {
namespace {

using testing::Bytes;
using testing::Pty;
using testing::SpinFor;

// Locations of this test process's own: other test processes on the same
// session bus publish notices about theirs.
const uint32_t kLocBase = 0x01000000u + (static_cast<uint32_t>(getpid()) % 0xFFFFu) * 0x100u;
const uint32_t kLocA = kLocBase + 0x20;
const uint32_t kLocB = kLocBase + 0x30;

// True when a notice names one of this process's locations.
bool AboutOurDevices(const std::string& bytes) {
  const usb::ParsedNotice parsed = usb::ParseChangeNotice(bytes);
  for (const usb::NoticeDevice& d : {parsed.notice.released, parsed.notice.taken}) {
    if (d.location == kLocA || d.location == kLocB) return true;
  }
  return false;
}

// What a component reported.
struct UsbLog {
  std::vector<TLinkStatus> statuses;
  Bytes received;
  int listChanges = 0;
  int afterCreate = 0;
  int deviceChanges = 0;

  void Attach(TFtdiUSB& usb) {
    usb.SetOnUSBStatus(
        [this](TFtdiUSB*, TLinkStatus code, const std::string&) { statuses.push_back(code); });
    usb.OnReceive = [this](TFtdiUSB*, const uint8_t* buf, uint32_t size) {
      received.insert(received.end(), buf, buf + size);
    };
    usb.OnDeviceListChange = [this](TFtdiUSB*) { ++listChanges; };
    usb.OnDevListAfterCreate = [this](TFtdiUSB*) { ++afterCreate; };
    usb.OnDeviceChange = [this](TFtdiUSB*) { ++deviceChanges; };
  }
};

class FtdiUsb : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(a_.Ok() && b_.Ok());
    table_ = LoadD2xxLibrary(D2XX_DOUBLE_PATH);
    ASSERT_NE(table_.fn.FT_W32_CreateFile, nullptr);
    SetDevices({{kLocB, "PAXL-10", "B2", &b_}, {kLocA, "PAXL-10", "A1", &a_}});
  }
  void TearDown() override {
    unsetenv("QUORVEL_D2XX_DOUBLE_DEVICES");
    unsetenv("QUORVEL_D2XX_DOUBLE_FAIL");
    TakeInTheTestsNotices();
  }

  // The notices of this test's components come back through the session bus
  // after the components are gone. They are taken in here, behind a marker
  // sent last, so that no later test hears them as another program's (a
  // device released by one would join the next one's list).
  static void TakeInTheTestsNotices() {
    const std::string marker = "end of a test in " + std::to_string(getpid());
    bool back = false;
    UsbNoticeChannel listener(
        [&](const std::string& bytes, bool) { back = back || bytes == marker; });
    UsbNoticeChannel sender([](const std::string&, bool) {});
    if (!sender.Connected()) return;
    sender.Publish(marker);
    EXPECT_TRUE(QTest::qWaitFor([&] { return back; }, 5000));
  }

  struct Device {
    uint32_t location;
    std::string description;
    std::string serial;
    const Pty* pty;
  };
  static void SetDevices(const std::vector<Device>& devices) {
    std::string spec;
    for (const Device& d : devices) {
      if (!spec.empty()) spec += ';';
      spec += std::to_string(d.location) + ",5," + d.serial + "," + d.description + "," +
              (d.pty != nullptr ? d.pty->Path() : std::string());
    }
    setenv("QUORVEL_D2XX_DOUBLE_DEVICES", spec.c_str(), 1);
  }

  std::unique_ptr<TFtdiUSB> Make(UsbLog* log, const std::string& expected = "PAXL-10") {
    auto usb = std::make_unique<TFtdiUSB>(nullptr, 1, &table_);
    if (log != nullptr) log->Attach(*usb);
    usb->SetDevNameExpected(expected);
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return usb->PendingRebuilds() == 0 && usb->DeviceList().size() > 1; }, 5000));
    SpinFor(20);  // the posted list notice
    return usb;
  }

  static std::vector<std::string> Texts(const TFtdiUSB& usb) { return usb.DisplayTexts(); }

  Pty a_, b_;
  D2xxTable table_;
};

TEST_F(FtdiUsb, ListsAcceptedConvertersSortedAfterNone) {
  UsbLog log;
  auto usb = Make(&log);
  EXPECT_EQ(Texts(*usb), (std::vector<std::string>{"none", "PAXL-10 A1", "PAXL-10 B2"}));
  EXPECT_EQ(usb->DeviceList()[1].text, std::to_string(kLocA) + "=PAXL-10 A1");
  EXPECT_EQ(log.afterCreate, 1);
  EXPECT_GE(log.listChanges, 1);
  EXPECT_EQ(usb->DeviceIndex(), 0);
  EXPECT_FALSE(usb->IsOpen());
}

TEST_F(FtdiUsb, NameFilterServiceModeAndDuplicates) {
  struct Case {
    const char* what;
    std::vector<Device> devices;
    std::string expected;
    bool serviceMode;
    std::vector<std::string> texts;
  };
  const std::vector<Case> cases = {
      {"unit number cut before the test",
       {{kLocA, "PAXL-10 1/2", "A1", &a_}, {kLocB, "OTHER", "B2", &b_}},
       "PAXL-10",
       false,
       {"none", "PAXL-10 1/2 A1"}},
      {"service mode lists everything",
       {{kLocA, "PAXL-10", "A1", &a_}, {kLocB, "OTHER", "B2", &b_}},
       "PAXL-10",
       true,
       {"none", "PAXL-10 A1", "OTHER B2"}},  // by location, then text
      {"same location, description and serial listed once",
       {{kLocA, "PAXL-10", "A1", &a_}, {kLocA, "PAXL-10", "A1", &b_}},
       "PAXL-10",
       false,
       {"none", "PAXL-10 A1"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SetDevices(c.devices);
    auto usb = std::make_unique<TFtdiUSB>(nullptr, 1, &table_);
    usb->SetDevNameExpected(c.expected);
    usb->SetServiceMode(c.serviceMode);
    ASSERT_TRUE(QTest::qWaitFor([&] { return usb->PendingRebuilds() == 0; }, 5000));
    SpinFor(20);
    EXPECT_EQ(Texts(*usb), c.texts);
  }
}

TEST_F(FtdiUsb, SelectingOpensSendsAndReceives) {
  UsbLog log;
  auto usb = Make(&log);
  log.statuses.clear();
  usb->SetBaudRate(br115200);
  usb->SetDeviceIndex(usb->FindEntry("PAXL-10 A1"));
  ASSERT_TRUE(usb->IsOpen());
  EXPECT_EQ(usb->LocationId(), kLocA);
  EXPECT_EQ(usb->ChipType(), 5u);
  EXPECT_EQ(log.statuses.back(), TLinkStatus::Connected);
  EXPECT_EQ(log.deviceChanges, 1);

  const Bytes frame{0x10, 0x20, 0x30, 0x40};
  ASSERT_TRUE(usb->Send(frame.data(), static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(a_.Read(frame.size(), 5000), frame);
  const Bytes reply{0x55, 0x66, 0x77};
  ASSERT_TRUE(a_.Write(reply));
  ASSERT_TRUE(QTest::qWaitFor([&] { return log.received.size() >= reply.size(); }, 5000));
  EXPECT_EQ(log.received, reply);

  // The same location again, by its index or its location text: no reopen.
  log.statuses.clear();
  usb->SetDeviceIndex(usb->FindEntry(std::to_string(kLocA)));
  EXPECT_TRUE(log.statuses.empty());
  EXPECT_EQ(log.deviceChanges, 1);

  // A frame longer than the transmit size goes out cut to it.
  usb->SetSizeBufTXD(8);
  ASSERT_TRUE(usb->IsOpen());
  const Bytes longFrame(20, 0xA5);
  SpinFor(usb->TimeOut() + 5);
  ASSERT_TRUE(usb->Send(longFrame.data(), static_cast<uint32_t>(longFrame.size())));
  EXPECT_EQ(a_.Read(8, 5000), Bytes(8, 0xA5));
  EXPECT_TRUE(a_.Read(1, 200).empty());

  // With FrameTimeOut the response time is fixed, whatever the frame.
  usb->SetFrameTimeOut(8000);
  SpinFor(usb->TimeOut() + 5);
  ASSERT_TRUE(usb->Send(frame.data(), static_cast<uint32_t>(frame.size())));
  EXPECT_EQ(usb->ResponseTimeOut(), 8000u);

  usb->SetDeviceIndex(0);
  EXPECT_FALSE(usb->IsOpen());
  EXPECT_EQ(usb->ChipType(), 3u);
  EXPECT_EQ(log.statuses.back(), TLinkStatus::Disconnected);
}

TEST_F(FtdiUsb, StatusHandlerHearsTheLastStatusWhenAssigned) {
  std::vector<TLinkStatus> heard;  // outlives the component, which reports as it goes
  auto usb = Make(nullptr);
  usb->SetDeviceIndex(1);
  ASSERT_TRUE(usb->IsOpen());
  usb->SetOnUSBStatus(
      [&](TFtdiUSB*, TLinkStatus code, const std::string&) { heard.push_back(code); });
  EXPECT_EQ(heard, std::vector<TLinkStatus>{TLinkStatus::Connected});
  // Replacing a handler is no new assignment.
  usb->SetOnUSBStatus(
      [&](TFtdiUSB*, TLinkStatus code, const std::string&) { heard.push_back(code); });
  EXPECT_EQ(heard.size(), 1u);
}

TEST_F(FtdiUsb, ADeviceHeldElsewhereFallsBackToNoneWithAccessDenied) {
  UsbLog log;
  auto usb = Make(&log);
  const int index = usb->FindEntry("PAXL-10 A1");
  // Another program takes the converter after the list was built.
  const int holder = open(a_.Path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  log.statuses.clear();
  usb->SetDeviceIndex(index);
  EXPECT_FALSE(usb->IsOpen());
  // Five attempts 50 ms apart, the main thread free meanwhile.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !log.statuses.empty() && log.statuses.back() == TLinkStatus::AccessDenied; },
      2000));
  EXPECT_EQ(usb->DeviceIndex(), 0);
  EXPECT_EQ(usb->LocationId(), 0u);
  // The status says "Access denied" whatever the cause; the component knows it.
  EXPECT_EQ(usb->LastOpenFailure(), TFtdiUSB::OpenFailure::HeldElsewhere);
  close(holder);
}

TEST_F(FtdiUsb, MissingCreateFileRefusesToOpen) {
  D2xxTable noOpen = LoadD2xxLibrary(D2XX_DOUBLE_NO_CREATEFILE_PATH);
  ASSERT_EQ(noOpen.fn.FT_W32_CreateFile, nullptr);
  auto usb = std::make_unique<TFtdiUSB>(nullptr, 1, &noOpen);
  usb->SetDevNameExpected("PAXL-10");
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return usb->PendingRebuilds() == 0 && usb->DeviceList().size() > 1; }, 5000));
  usb->SetDeviceIndex(1);
  EXPECT_FALSE(usb->IsOpen());
}

TEST_F(FtdiUsb, FailingListFunctionsLeaveOnlyNone) {
  const D2xxTable missing = LoadD2xxLibrary("/nonexistent/libftd2xx.so");
  for (const char* fail : {"GetDeviceInfoList", "CreateDeviceInfoList"}) {
    SCOPED_TRACE(fail);
    setenv("QUORVEL_D2XX_DOUBLE_FAIL", fail, 1);
    auto usb = std::make_unique<TFtdiUSB>(nullptr, 1, &table_);
    ASSERT_TRUE(QTest::qWaitFor([&] { return usb->PendingRebuilds() == 0; }, 5000));
    SpinFor(20);
    EXPECT_EQ(Texts(*usb), std::vector<std::string>{"none"});
  }
  unsetenv("QUORVEL_D2XX_DOUBLE_FAIL");
  auto none = std::make_unique<TFtdiUSB>(nullptr, 0, &missing);
  ASSERT_TRUE(QTest::qWaitFor([&] { return none->PendingRebuilds() == 0; }, 5000));
  SpinFor(20);
  EXPECT_EQ(Texts(*none), std::vector<std::string>{"żaden"});
}

TEST_F(FtdiUsb, UnpluggedSelectedDeviceFallsBackToNoneWithoutANotice) {
  UsbLog log;
  auto usb = Make(&log);
  int notices = 0;
  UsbNoticeChannel listener([&](const std::string& bytes, bool) {
    if (AboutOurDevices(bytes)) ++notices;
  });
  usb->SetDeviceIndex(usb->FindEntry("PAXL-10 B2"));
  ASSERT_TRUE(usb->IsOpen());
  if (listener.Connected()) {
    ASSERT_TRUE(QTest::qWaitFor([&] { return notices == 1; }, 2000));
  }
  SetDevices({{kLocA, "PAXL-10", "A1", &a_}});
  usb->RebuildDeviceList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !usb->IsOpen(); }, 5000));
  EXPECT_EQ(usb->DeviceIndex(), 0);
  EXPECT_EQ(Texts(*usb), (std::vector<std::string>{"none", "PAXL-10 A1"}));
  SpinFor(100);
  EXPECT_EQ(notices, listener.Connected() ? 1 : 0);
}

// Two components (as two instances) keep their lists in step through their
// change notices on the session bus.
TEST_F(FtdiUsb, ADeviceTakenByAnotherInstanceLeavesTheListAndComesBack) {
  auto first = Make(nullptr);
  UsbLog log;
  auto second = Make(&log);
  UsbNoticeChannel probe([](const std::string&, bool) {});
  if (!probe.Connected()) GTEST_SKIP() << "no session bus";
  first->SetDeviceIndex(first->FindEntry("PAXL-10 A1"));
  ASSERT_TRUE(first->IsOpen());
  ASSERT_TRUE(QTest::qWaitFor([&] { return second->FindEntry("PAXL-10 A1") < 0; }, 2000));
  EXPECT_EQ(Texts(*second), (std::vector<std::string>{"none", "PAXL-10 B2"}));
  // A rebuild meanwhile skips the device: it is open elsewhere.
  second->RebuildDeviceList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return second->PendingRebuilds() == 0; }, 2000));
  SpinFor(20);
  EXPECT_LT(second->FindEntry("PAXL-10 A1"), 0);

  // It comes back from the notice, under its display text, before any
  // rebuild (a retry waits at least a second).
  first->SetDeviceIndex(0);
  ASSERT_TRUE(QTest::qWaitFor([&] { return second->FindEntry("PAXL-10 A1") >= 0; }, 500));
  EXPECT_EQ(Texts(*second), (std::vector<std::string>{"none", "PAXL-10 A1", "PAXL-10 B2"}));
}

TEST_F(FtdiUsb, MalformedNoticesFromOtherProcessesNeverHarm) {
  UsbLog log;
  auto usb = Make(&log);
  usb->SetDeviceIndex(usb->FindEntry("PAXL-10 A1"));
  ASSERT_TRUE(usb->IsOpen());
  QDBusConnection bus = SessionBus();
  if (!bus.isConnected()) GTEST_SKIP() << "no session bus";
  const auto send = [&](const QList<QVariant>& args) {
    QDBusMessage signal =
        QDBusMessage::createSignal(kUsbNoticePath, kUsbNoticeInterface, kUsbNoticeSignal);
    signal.setArguments(args);
    bus.send(signal);
  };
  send({});
  send({QString("text"), 5});
  send({QByteArray(100000, 'A'), QString("x")});
  send({QByteArray("\0\0\0", 3), QString("x")});
  send({QByteArray("PAXL-10\0ZZZZZZZZ00000005text\0", 29), QString("x")});
  // Another process claims to have taken the device this one holds (another
  // machine's view of the same location): it stays open and listed.
  const std::string taken =
      usb::EncodeChangeNotice({"PAXL-10", {0, 3, "none"}, {kLocA, 5, "PAXL-10 A1"}});
  send({QByteArray(taken.data(), static_cast<qsizetype>(taken.size())), QString("x")});
  SpinFor(300);
  ASSERT_TRUE(QTest::qWaitFor([&] { return usb->PendingRebuilds() == 0; }, 5000));
  SpinFor(20);
  EXPECT_TRUE(usb->IsOpen());
  EXPECT_EQ(usb->LocationId(), kLocA);
  EXPECT_EQ(Texts(*usb), (std::vector<std::string>{"none", "PAXL-10 A1", "PAXL-10 B2"}));
  EXPECT_EQ(usb->DeviceIndex(), usb->FindEntry("PAXL-10 A1"));
}

}  // namespace
}  // namespace quorvel
