// TComm32Kx: properties, port selection, opening errors and the line
// settings that reach the driver.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <termios.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>
#include <optional>

#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::Bytes;
using testing::EventLog;
using testing::Pty;

using Comm32KxSelect = testing::PtyComponentTest;

TEST_F(Comm32KxSelect, StartsClosedWithItsDefaults) {
  EXPECT_EQ(comm_->COMPort(), "none");
  EXPECT_EQ(comm_->PortIndex(), 0);
  EXPECT_EQ(comm_->Status(), TLinkStatus::Disconnected);
  EXPECT_EQ(comm_->LastOpenedPort(), "none");
  ASSERT_GE(comm_->PortList().size(), 2u);
  EXPECT_EQ(comm_->PortList().front(), "none");
  EXPECT_NE(std::find(comm_->PortList().begin(), comm_->PortList().end(), pty_.Path()),
            comm_->PortList().end());
  EXPECT_EQ(comm_->BaudRate(), br009600);
  EXPECT_EQ(comm_->Parity(), pbNone);
  EXPECT_EQ(comm_->DataBits(), dbEight);
  EXPECT_EQ(comm_->StopBits(), sbOne);
  // The frame gap follows the line: 3 characters of 10 bits at 9600 baud.
  EXPECT_TRUE(comm_->FrameGap().automatic);
  EXPECT_EQ(comm_->TimeOut(), 4);
  EXPECT_EQ(comm_->MaxRespTime(), 250u);
  EXPECT_EQ(comm_->SizeBufTXD(), 1024);
  EXPECT_EQ(comm_->SizeBufRXD(), 1024);
  EXPECT_TRUE(comm_->StatusONifReceive());
  EXPECT_TRUE(comm_->WaitToResponse());
  EXPECT_TRUE(comm_->BroadCastPortOFF());
  EXPECT_FALSE(comm_->SoundOnError());
  EXPECT_FALSE(comm_->QueueLimit());
  EXPECT_EQ(comm_->MaxQueue(), 2147483647);
  EXPECT_EQ(comm_->FrameTimeOut(), 0u);
  EXPECT_FALSE(comm_->IsOpen());
}

TEST_F(Comm32KxSelect, PolishComponentUsesPolishNoneNameAndTexts) {
  TComm32Kx polish(nullptr, 0);
  EventLog log;
  log.Attach(polish);
  EXPECT_EQ(polish.PortList().front(), "żaden");
  polish.SetCOMPort("COM99");
  ASSERT_EQ(log.statusTexts.size(), 2u);
  EXPECT_EQ(log.statusTexts[0], "Rozłączony");
  EXPECT_EQ(log.statusTexts[1], "Nie znaleziono portu");
  polish.SetCOMPort("NONE");  // the English none-name counts as well
  EXPECT_EQ(polish.COMPort(), "żaden");
}

TEST_F(Comm32KxSelect, OpensTheSelectedPortAndReportsConnected) {
  comm_->SetCOMPort(pty_.Path());
  EXPECT_TRUE(comm_->IsOpen());
  ASSERT_GT(comm_->PortIndex(), 0);
  EXPECT_EQ(comm_->PortList()[comm_->PortIndex()], pty_.Path());
  EXPECT_EQ(log_.statuses,
            (std::vector<TLinkStatus>{TLinkStatus::Disconnected, TLinkStatus::Connected}));
  EXPECT_EQ(log_.statusTexts.back(), "Connected");
  EXPECT_EQ(log_.portChanges, 1);
  EXPECT_EQ(comm_->LastOpenedPort(), pty_.Path());
}

TEST_F(Comm32KxSelect, NoneNamesDeselectAndClose) {
  for (const char* name : {"0", "none", "NONE", "żaden", "ŻADEN", "Żaden"}) {
    SCOPED_TRACE(name);
    ASSERT_TRUE(OpenPort());
    comm_->SetCOMPort(name);
    EXPECT_FALSE(comm_->IsOpen());
    EXPECT_EQ(comm_->COMPort(), "none");
    EXPECT_EQ(comm_->PortIndex(), 0);
    EXPECT_EQ(log_.statuses, std::vector<TLinkStatus>{TLinkStatus::Disconnected});
  }
  ASSERT_TRUE(OpenPort());
  comm_->SetPortNumber(0);
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(comm_->COMPort(), "none");
}

TEST_F(Comm32KxSelect, NameNotInTheListIsNotFoundAndKept) {
  ASSERT_TRUE(OpenPort());
  comm_->SetCOMPort("COM99");
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(comm_->COMPort(), "COM99");
  EXPECT_EQ(comm_->PortIndex(), 0);
  EXPECT_EQ(log_.statuses,
            (std::vector<TLinkStatus>{TLinkStatus::Disconnected, TLinkStatus::PortNotFound}));
  EXPECT_EQ(log_.statusTexts.back(), "Port not found");
  comm_->SetPortNumber(7);
  EXPECT_EQ(comm_->COMPort(), "7");
  EXPECT_EQ(comm_->Status(), TLinkStatus::PortNotFound);
}

// A port is its exact path. Two listed paths that differ in letter case only
// are two ports, each opening its own device without a word about doubled
// names; a name in another case than every listed one is no port.
TEST_F(Comm32KxSelect, PathsThatDifferInCaseAreTwoPorts) {
  Pty other;
  ASSERT_TRUE(other.Ok());
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  const std::string lower = dir.filePath("p1").toStdString();
  const std::string upper = dir.filePath("P1").toStdString();
  ASSERT_EQ(symlink(pty_.Path().c_str(), lower.c_str()), 0);
  ASSERT_EQ(symlink(other.Path().c_str(), upper.c_str()), 0);
  testing::SetExtraPorts(lower + ":" + upper);
  comm_->RefreshPortList();
  int duplicateWarnings = 0;
  comm_->OnDuplicatePort = [&](TComm32Kx*, const std::string&) { ++duplicateWarnings; };

  const struct {
    std::string name;
    const Pty* device;
  } cases[] = {{upper, &other}, {lower, &pty_}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    comm_->SetCOMPort(c.name);
    ASSERT_TRUE(comm_->IsOpen());
    EXPECT_EQ(comm_->COMPort(), c.name);
    EXPECT_EQ(comm_->PortList()[comm_->PortIndex()], c.name);
    log_.Clear();
    const Bytes sent = testing::Pattern(8, static_cast<uint8_t>(c.name.back()));
    ASSERT_TRUE(c.device->Write(sent));
    ASSERT_TRUE(QTest::qWaitFor([&] { return log_.Received().size() >= sent.size(); }, 5000));
    EXPECT_EQ(log_.Received(), sent);
    comm_->SetCOMPort("none");
  }
  QCoreApplication::processEvents();  // a warning would be posted by now
  EXPECT_EQ(duplicateWarnings, 0);

  std::string shouted = lower;
  for (char& c : shouted) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
  comm_->SetCOMPort(shouted);
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(comm_->Status(), TLinkStatus::PortNotFound);
  EXPECT_EQ(comm_->COMPort(), shouted);
}

// Files that are no port fail at once, without blocking (a FIFO without a
// writer, a socket) and without waiting out the retries of a denied port:
// one that does not exist is "Port not found" and deselected, anything else
// that is no terminal is "Port COM error", also when some other program
// holds a lock on it.
TEST_F(Comm32KxSelect, OpenErrorsMapToTheirStatusAtOnce) {
  char dirTemplate[] = "/tmp/quorvel-ports-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string missing = dir + "/missing";
  const std::string dangling = dir + "/dangling";
  const std::string plainFile = dir + "/plain";
  const std::string lockedFile = dir + "/locked";
  const std::string fifo = dir + "/fifo";
  const std::string socketPath = dir + "/socket";
  const std::string directory = dir + "/directory";
  ASSERT_EQ(symlink(missing.c_str(), dangling.c_str()), 0);
  for (const std::string& file : {plainFile, lockedFile}) {
    std::FILE* made = std::fopen(file.c_str(), "w");
    ASSERT_NE(made, nullptr);
    std::fclose(made);
  }
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  ASSERT_EQ(mkdir(directory.c_str(), 0700), 0);
  const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_GE(listener, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::snprintf(address.sun_path, sizeof address.sun_path, "%s", socketPath.c_str());
  ASSERT_EQ(bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
  // Another open file description holding the lock, as another program would.
  const int locker = open(lockedFile.c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(locker, 0);
  ASSERT_EQ(flock(locker, LOCK_EX | LOCK_NB), 0);

  struct Case {
    const char* what;
    std::string path;
    TLinkStatus status;
  };
  const std::vector<Case> cases = {
      {"missing", missing, TLinkStatus::PortNotFound},
      {"dangling link", dangling, TLinkStatus::PortNotFound},
      {"regular file", plainFile, TLinkStatus::PortError},
      {"locked regular file", lockedFile, TLinkStatus::PortError},
      {"fifo", fifo, TLinkStatus::PortError},
      {"socket", socketPath, TLinkStatus::PortError},
      {"directory", directory, TLinkStatus::PortError},
      {"null device", "/dev/null", TLinkStatus::PortError},
  };
  std::string listed;
  for (const Case& c : cases) listed += c.path + ":";
  testing::SetExtraPorts(listed);
  comm_->RefreshPortList();

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    comm_->SetCOMPort("none");
    log_.Clear();
    const auto start = std::chrono::steady_clock::now();
    comm_->SetCOMPort(c.path);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(150));
    EXPECT_EQ(comm_->Status(), c.status);
    EXPECT_EQ(log_.statuses.back(), c.status);
    EXPECT_FALSE(comm_->IsOpen());
    EXPECT_EQ(comm_->LastOpenedPort(), c.path);
    if (c.status == TLinkStatus::PortNotFound) {
      EXPECT_EQ(log_.statusTexts.back(), "Port not found");
      EXPECT_EQ(comm_->COMPort(), "none");
      EXPECT_EQ(comm_->PortIndex(), 0);
    } else {
      EXPECT_EQ(log_.statusTexts.back(), "Port COM error");
      EXPECT_EQ(comm_->COMPort(), c.path);
    }
  }

  close(locker);
  close(listener);
  for (const std::string& file : {dangling, plainFile, lockedFile, fifo, socketPath}) {
    unlink(file.c_str());
  }
  rmdir(directory.c_str());
  rmdir(dir.c_str());
}

TEST_F(Comm32KxSelect, PortHeldByAnotherComponentIsBusy) {
  ASSERT_TRUE(OpenPort());
  TComm32Kx second(nullptr, 1);
  EventLog log;
  log.Attach(second);
  second.SetCOMPort(pty_.Path());
  EXPECT_FALSE(second.IsOpen());
  EXPECT_EQ(second.Status(), TLinkStatus::Busy);
  EXPECT_EQ(log.statusTexts.back(), "Busy");
  comm_->SetCOMPort("none");
  EXPECT_TRUE(second.Open());
  EXPECT_EQ(second.Status(), TLinkStatus::Connected);
}

// Line settings on a real terminal driver: what it takes opens, what the
// line cannot do is "Port COM error". (A pseudo-terminal keeps 8 data bits
// without parity whatever it is given; the flags themselves are checked in
// line_termios_test.)
TEST_F(Comm32KxSelect, LineSettingsOpenOrFailWithPortError) {
  struct Case {
    TBaudRate baud;
    TParityBit parity;
    TDataBits dataBits;
    TStopBits stopBits;
    TLinkStatus status;
  };
  const std::vector<Case> cases = {
      {br009600, pbNone, dbEight, sbOne, TLinkStatus::Connected},
      {br115200, pbEven, dbSeven, sbTwo, TLinkStatus::Connected},
      {br009600, pbMark, dbSeven, sbOne, TLinkStatus::Connected},
      {br009600, pbSpace, dbEight, sbOne, TLinkStatus::Connected},
      {br001200, pbNone, dbFive, sbOnePointFive, TLinkStatus::Connected},
      {br014400, pbNone, dbSix, sbOne, TLinkStatus::Connected},
      {br125000, pbNone, dbEight, sbOne, TLinkStatus::Connected},
      {br009600, pbNone, dbFour, sbOne, TLinkStatus::PortError},
      {br009600, pbNone, dbEight, sbOnePointFive, TLinkStatus::PortError},
      {static_cast<TBaudRate>(15), pbNone, dbEight, sbOne, TLinkStatus::PortError},
      {static_cast<TBaudRate>(255), pbNone, dbEight, sbOne, TLinkStatus::PortError},
      {br009600, static_cast<TParityBit>(5), dbEight, sbOne, TLinkStatus::PortError},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("baud " + std::to_string(c.baud) + " parity " + std::to_string(c.parity) +
                 " data " + std::to_string(c.dataBits) + " stop " + std::to_string(c.stopBits));
    comm_->SetCOMPort("none");
    comm_->SetParams(std::nullopt, c.baud, c.parity, c.dataBits, c.stopBits);
    comm_->SetCOMPort(pty_.Path());
    EXPECT_EQ(comm_->Status(), c.status);
    EXPECT_EQ(comm_->IsOpen(), c.status == TLinkStatus::Connected);
    if (c.status != TLinkStatus::Connected) continue;
    termios tio{};
    tcgetattr(pty_.Slave(), &tio);
    EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG), 0u) << "raw mode";
    EXPECT_EQ(tio.c_oflag & OPOST, 0u);
    EXPECT_EQ(tio.c_iflag & (ICRNL | IXON), 0u);
  }
  comm_->SetCOMPort("none");
  comm_->SetParams(std::nullopt, br115200, pbNone, dbEight, sbOne);
  comm_->SetCOMPort(pty_.Path());
  termios tio{};
  tcgetattr(pty_.Slave(), &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
}

TEST_F(Comm32KxSelect, LineSettingAssignmentsFollowTheReopenRule) {
  ASSERT_TRUE(OpenPort());
  comm_->SetBaudRate(br009600);  // same value while open: nothing
  EXPECT_TRUE(log_.statuses.empty());
  comm_->SetSizeBufRXD(1024);  // always reopens
  EXPECT_EQ(log_.statuses,
            (std::vector<TLinkStatus>{TLinkStatus::Disconnected, TLinkStatus::Connected}));
  comm_->SetSizeBufTXD(1024);
  EXPECT_EQ(log_.statuses.size(), 4u);

  comm_->Close();
  log_.Clear();
  comm_->SetBaudRate(br009600);  // closed with a port selected: opens
  EXPECT_TRUE(comm_->IsOpen());

  comm_->SetRTSCtrlEnable(true);  // a changed flag reopens
  comm_->SetRTSCtrlEnable(true);  // an unchanged one does not
  EXPECT_EQ(log_.statuses,
            (std::vector<TLinkStatus>{TLinkStatus::Disconnected, TLinkStatus::Connected,
                                      TLinkStatus::Disconnected, TLinkStatus::Connected}));
  EXPECT_TRUE(comm_->IsOpen());
  // Modem lines on a driver without them: stored, port stays open.
  comm_->SetRTSState(true);
  comm_->SetDTRState(true);
  EXPECT_TRUE(comm_->RTSState());
  EXPECT_TRUE(comm_->IsOpen());

  comm_->SetTimeOut(0);
  EXPECT_EQ(comm_->TimeOut(), 1);
  comm_->SetTimeOut(70);
  EXPECT_EQ(comm_->TimeOut(), 70);
}

TEST_F(Comm32KxSelect, SetParamsReopensSilentlyOrReportsPortChange) {
  ASSERT_TRUE(OpenPort());
  // Nothing differs, no name: the owner hears OnPortChange, the port stays.
  comm_->SetParams(std::nullopt, br009600, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(log_.portChanges, 1);
  EXPECT_TRUE(log_.statuses.empty());

  // A changed setting reopens without reporting the close.
  log_.Clear();
  comm_->SetParams(std::nullopt, br115200, pbEven, std::nullopt, std::nullopt);
  EXPECT_EQ(log_.statuses, std::vector<TLinkStatus>{TLinkStatus::Connected});
  EXPECT_EQ(log_.portChanges, 0);
  EXPECT_EQ(comm_->BaudRate(), br115200);
  EXPECT_EQ(comm_->Parity(), pbEven);
  termios tio{};
  tcgetattr(pty_.Slave(), &tio);
  EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
  ASSERT_TRUE(comm_->OnCOMStatus);  // attached again

  // A name that changes the selection does the reopening itself.
  log_.Clear();
  comm_->SetParams(std::string("none"), br009600, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_FALSE(comm_->IsOpen());
  EXPECT_EQ(comm_->BaudRate(), br009600);
  EXPECT_EQ(log_.statuses, std::vector<TLinkStatus>{TLinkStatus::Disconnected});

  // With no port selected nothing is announced.
  log_.Clear();
  comm_->SetParams(std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt);
  EXPECT_EQ(log_.portChanges, 0);
}

TEST_F(Comm32KxSelect, StatusHandlerMayBeClearedFromInsideItself) {
  int calls = 0;
  comm_->OnCOMStatus = [&](TComm32Kx* sender, TLinkStatus, const std::string&) {
    ++calls;
    sender->OnCOMStatus = nullptr;
  };
  comm_->SetCOMPort(pty_.Path());
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(comm_->Status(), TLinkStatus::Connected);
  comm_->RefreshStatus();
  EXPECT_EQ(calls, 1);
}

TEST_F(Comm32KxSelect, StatusIsTheNewestWhenTheHandlerChangesTheLink) {
  // A handler that deselects on "not found" reports 1 from inside the report
  // of 8; the component must end at 1.
  comm_->OnCOMStatus = [](TComm32Kx* sender, TLinkStatus code, const std::string&) {
    if (code == TLinkStatus::PortNotFound) sender->SetCOMPort("none");
  };
  comm_->SetCOMPort("COM99");
  EXPECT_EQ(comm_->Status(), TLinkStatus::Disconnected);
  EXPECT_EQ(comm_->COMPort(), "none");
}

TEST_F(Comm32KxSelect, RefreshStatusReportsTheCurrentStatusAgain) {
  ASSERT_TRUE(OpenPort());
  comm_->RefreshStatus();
  EXPECT_EQ(log_.statuses, std::vector<TLinkStatus>{TLinkStatus::Connected});
  EXPECT_EQ(log_.statusTexts, std::vector<std::string>{"Connected"});
}

}  // namespace
}  // namespace quorvel
