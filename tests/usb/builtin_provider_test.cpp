// The built-in D2XX provider on converters of a umockdev test bed: what the
// device list tells of each converter, opening by location under the serial
// link's lock, the line settings, reads and writes on the bed's
// pseudo-terminals, the event wait and what ends it, the latency timer, and
// a whole exchange with the simulated instrument on the far side.
#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "run/bus_frames.h"
#include "serial/serial_port_io.h"
#include "umockdev_bed.h"
#include "usb/builtin_provider.h"
#include "usb/udev_ftdi.h"

extern char** environ;

namespace quorvel {
namespace {

using namespace d2xx;
using testing::Converter;
using testing::UmockdevBed;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// The test program itself (/proc/self/exe) also plays the other processes
// of these tests, chosen by its first argument.
constexpr const char* kSelf = "/proc/self/exe";

// --hold-lock PATH: holds the serial link's lock on PATH until standard
// input closes.
int HoldLockMain(const char* path) {
  const PortOpenResult opened = OpenPortDevice(path);
  if (opened.fd < 0) return 1;
  std::fputs("locked\n", stdout);
  std::fflush(stdout);
  char c;
  while (read(0, &c, 1) > 0) {
  }
  ClosePortDevice(opened.fd, {});
  return 0;
}

// --open-as-user LOCATION: opens the converter through the provider as an
// ordinary user would (without the administrator's right to write any
// file, which a test run as root has) and prints the latency timer in
// effect.
int OpenAsUserMain(const char* location) {
  __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
  __user_cap_data_struct caps[2] = {};
  if (syscall(SYS_capget, &header, caps) != 0) return 1;
  for (int cap : {CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER}) {
    caps[cap / 32].effective &= ~(1u << (cap % 32));
  }
  if (syscall(SYS_capset, &header, caps) != 0) return 1;
  const Functions api = BuiltInD2xxFunctions();
  const auto id = static_cast<uintptr_t>(std::strtoul(location, nullptr, 10));
  FT_HANDLE h =
      api.FT_W32_CreateFile(reinterpret_cast<const char*>(id), GENERIC_READ | GENERIC_WRITE, 0,
                            nullptr, OPEN_EXISTING, kOpenByLocationFlags, nullptr);
  if (h == InvalidHandle()) return 2;
  std::printf("%d\n", BuiltInLatencyTimerMs(h));
  api.FT_W32_CloseHandle(h);
  return 0;
}

// Starts this program with the arguments; its standard input and output
// are pipes of the caller.
pid_t SpawnSelf(const std::vector<std::string>& extra, int* input, int* output) {
  int toChild[2], fromChild[2];
  if (pipe2(toChild, O_CLOEXEC) != 0) return -1;
  if (pipe2(fromChild, O_CLOEXEC) != 0) {
    close(toChild[0]);
    close(toChild[1]);
    return -1;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, toChild[0], 0);
  posix_spawn_file_actions_adddup2(&actions, fromChild[1], 1);
  std::vector<std::string> args{kSelf};
  args.insert(args.end(), extra.begin(), extra.end());
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, kSelf, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(toChild[0]);
  close(fromChild[1]);
  *input = toChild[1];
  *output = fromChild[0];
  return pid;
}

std::string ReadAll(int fd) {
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  return text;
}

// Another process holding a converter's terminal.
class LockHolder {
 public:
  explicit LockHolder(const std::string& path) {
    int output = -1;
    pid_ = SpawnSelf({"--hold-lock", path}, &input_, &output);
    char line[16] = {};
    locked_ =
        pid_ > 0 && read(output, line, sizeof line - 1) > 0 && std::strncmp(line, "locked", 6) == 0;
    if (output >= 0) close(output);
  }
  ~LockHolder() { Release(); }
  bool Locked() const { return locked_; }
  void Release() {
    if (input_ >= 0) close(input_);
    input_ = -1;
    if (pid_ > 0) waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int input_ = -1;
  bool locked_ = false;
};

FtdiTtyDevice const* FindNode(const std::vector<FtdiTtyDevice>& list, const std::string& node) {
  for (const auto& d : list) {
    if (d.DevNode == node) return &d;
  }
  return nullptr;
}

std::string ReadFileText(const std::string& path) {
  std::ifstream file(path);
  std::string text;
  std::getline(file, text);
  return text;
}

// Reads what the master side of a terminal holds, waiting at most timeoutMs
// for the first byte and for each further one.
Bytes ReadMaster(int master, size_t wanted, int timeoutMs) {
  Bytes got;
  while (got.size() < wanted) {
    pollfd pfd{master, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) break;
    uint8_t buffer[4096];
    const ssize_t n = read(master, buffer, std::min(sizeof buffer, wanted - got.size()));
    if (n <= 0) break;
    got.insert(got.end(), buffer, buffer + n);
  }
  return got;
}

bool WriteMaster(int master, const Bytes& bytes) {
  return write(master, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
}

class BuiltInProviderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(bed_.Add(ftdi_));
    api_ = BuiltInD2xxFunctions();
  }
  void TearDown() override {
    for (FT_HANDLE h : open_) api_.FT_W32_CloseHandle(h);
  }

  uint32_t LocationOf(const std::string& node) {
    const auto list = EnumerateFtdiTtys();
    const FtdiTtyDevice* device = FindNode(list, node);
    return device == nullptr ? 0 : device->LocId;
  }

  FT_HANDLE Open(uint32_t location) {
    FT_HANDLE h = api_.FT_W32_CreateFile(reinterpret_cast<const char*>(uintptr_t{location}),
                                         GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                         kOpenByLocationFlags, nullptr);
    if (h != InvalidHandle()) open_.push_back(h);
    return h;
  }

  // Opened as the USB link opens a converter: 115200 8N1, reads that return
  // at once, the link's event mask.
  FT_HANDLE OpenLikeTheLink(const Converter& c) {
    FT_HANDLE h = Open(LocationOf("/dev/" + c.tty));
    if (h == InvalidHandle()) return h;
    FTDCB dcb{};
    api_.FT_W32_GetCommState(h, &dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.Flags = kDcbBinaryAbortOnError;
    dcb.BaudRate = 115200;
    dcb.ByteSize = 8;
    dcb.Parity = 0;
    dcb.StopBits = 0;
    FTTIMEOUTS timeouts{0xFFFFFFFFu, 0, 0, 0, 0};
    EXPECT_TRUE(api_.FT_W32_SetupComm(h, 1024, 1024));
    EXPECT_TRUE(api_.FT_W32_SetCommState(h, &dcb));
    EXPECT_TRUE(api_.FT_W32_SetCommMask(h, kLinkEventMask));
    EXPECT_TRUE(api_.FT_W32_SetCommTimeouts(h, &timeouts));
    return h;
  }

  void Close(FT_HANDLE h) {
    EXPECT_TRUE(api_.FT_W32_CloseHandle(h));
    std::erase(open_, h);
  }

  UmockdevBed bed_;
  Converter ftdi_;
  Functions api_;
  std::vector<FT_HANDLE> open_;
};

// ---- The pure parts: chip type, location, lock table ----

TEST(FtdiChipType, FollowsFtdisBcdDeviceTable) {
  struct Case {
    uint16_t bcd;
    bool serial;
    uint32_t type;
  } cases[] = {
      {0x0200, true, FT_DEVICE_AM},       {0x0200, false, FT_DEVICE_BM},
      {0x0400, true, FT_DEVICE_BM},       {0x0500, true, FT_DEVICE_2232C},
      {0x0600, true, FT_DEVICE_232R},     {0x0700, true, FT_DEVICE_2232H},
      {0x0800, true, FT_DEVICE_4232H},    {0x0900, true, FT_DEVICE_232H},
      {0x1000, true, FT_DEVICE_X_SERIES}, {0x1700, true, FT_DEVICE_UNKNOWN},
      {0x0601, true, FT_DEVICE_UNKNOWN},  {0x0000, false, FT_DEVICE_UNKNOWN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FtdiChipType(c.bcd, c.serial), c.type) << std::hex << c.bcd << " " << c.serial;
  }
}

TEST(FtdiLocationId, DistinctForEverySocketAndInterfaceAndNeverZero) {
  struct Socket {
    unsigned bus;
    const char* path;
    unsigned interfaceNumber;
  } sockets[] = {
      {3, "1.4", 0},         {3, "14", 0},        {3, "1.4", 1}, {3, "1.4", 3},     {1, "1.4", 0},
      {3, "1", 0},           {3, "1.4.1", 0},     {3, "4.1", 0}, {3, "16", 0},      {3, "1.16", 0},
      {3, "1.2.3.4.5.6", 0}, {3, "1.2.3.4.5", 0}, {200, "1", 0}, {3, "2.10.15", 2},
  };
  std::vector<uint32_t> ids;
  for (const Socket& s : sockets) {
    const uint32_t id = FtdiLocationId(s.bus, s.path, s.interfaceNumber);
    EXPECT_NE(id, 0u) << s.bus << "-" << s.path << ":" << s.interfaceNumber;
    EXPECT_EQ(id, FtdiLocationId(s.bus, s.path, s.interfaceNumber)) << "stable";
    for (uint32_t other : ids) EXPECT_NE(id, other) << s.bus << "-" << s.path;
    ids.push_back(id);
  }
  // Without a bus or a port there is no location.
  EXPECT_EQ(FtdiLocationId(0, "1.4", 0), 0u);
  EXPECT_EQ(FtdiLocationId(3, "", 0), 0u);
  EXPECT_EQ(FtdiLocationId(3, "1..4", 0), 0u);
  EXPECT_EQ(FtdiLocationId(3, "x", 0), 0u);
}

TEST(ProcLocksHold, FindsTheHeldFileOnly) {
  const std::string locks =
      "1: FLOCK  ADVISORY  WRITE 4242 00:1a:123 0 EOF\n"
      "1: -> FLOCK  ADVISORY  WRITE 4343 00:1a:77 0 EOF\n"
      "2: POSIX  ADVISORY  READ 4444 fd:01:5 0 EOF\n";
  struct Case {
    unsigned major, minor;
    uint64_t inode;
    bool held;
  } cases[] = {
      {0, 26, 123, true}, {0, 26, 12, false}, {0, 26, 1234, false},
      {0, 1, 123, false}, {0, 26, 77, false},  // only waiting for the lock
      {253, 1, 5, true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ProcLocksHold(locks, c.major, c.minor, c.inode), c.held)
        << c.major << ":" << c.minor << ":" << c.inode;
  }
  EXPECT_FALSE(ProcLocksHold("", 0, 26, 123));
}

// ---- Enumeration ----

TEST_F(BuiltInProviderTest, ListsTheConverterWithItsUsbStrings) {
  Converter other;
  other.tty = "ttyUSB2";
  other.minor = 2;
  other.bus = 1;
  other.portPath = "2";
  other.bcdDevice = "1000";
  other.productId = "6015";
  other.product = "FT230X Basic UART";
  other.serial = "DK0AB1CD";
  ASSERT_TRUE(bed_.Add(other));

  const auto list = EnumerateFtdiTtys();
  ASSERT_EQ(list.size(), 2u);
  const FtdiTtyDevice* first = FindNode(list, "/dev/ttyUSB0");
  const FtdiTtyDevice* second = FindNode(list, "/dev/ttyUSB2");
  ASSERT_NE(first, nullptr);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(first->Description, "FT232R USB UART");
  EXPECT_EQ(first->SerialNumber, "A10KZP4Q");
  EXPECT_EQ(first->Type, FT_DEVICE_232R);
  EXPECT_EQ(first->Id, 0x04036001u);
  EXPECT_FALSE(first->Opened);
  EXPECT_EQ(second->Description, "FT230X Basic UART");
  EXPECT_EQ(second->SerialNumber, "DK0AB1CD");
  EXPECT_EQ(second->Type, FT_DEVICE_X_SERIES);
  EXPECT_EQ(second->Id, 0x04036015u);
  EXPECT_NE(first->LocId, 0u);
  EXPECT_NE(second->LocId, 0u);
  EXPECT_NE(first->LocId, second->LocId);
  EXPECT_EQ(first->PortSysPath, UmockdevBed::PortPath(ftdi_));
}

TEST_F(BuiltInProviderTest, OtherTerminalsAreNotListed) {
  Converter foreign;
  foreign.tty = "ttyUSB1";
  foreign.minor = 1;
  foreign.portPath = "2";
  foreign.vendor = "10c4";  // a Silicon Labs bridge
  foreign.productId = "ea60";
  ASSERT_TRUE(bed_.Add(foreign));
  ASSERT_TRUE(bed_.AddPlainTty("ttyS0", 64));

  const auto list = EnumerateFtdiTtys();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].DevNode, "/dev/ttyUSB0");
}

TEST_F(BuiltInProviderTest, EachInterfaceOfAMultiPortChipHasItsOwnLocation) {
  Converter a = ftdi_, b = ftdi_;
  for (Converter* c : {&a, &b}) {
    c->bus = 2;
    c->portPath = "3";
    c->bcdDevice = "0700";
    c->product = "Dual RS232-HS";
    c->serial = "";
  }
  a.tty = "ttyUSB3";
  a.minor = 3;
  a.interfaceNumber = 0;
  b.tty = "ttyUSB4";
  b.minor = 4;
  b.interfaceNumber = 1;
  ASSERT_TRUE(bed_.Add(a));
  ASSERT_TRUE(bed_.Add(b));
  const auto list = EnumerateFtdiTtys();
  ASSERT_EQ(list.size(), 3u);
  const FtdiTtyDevice* first = FindNode(list, "/dev/ttyUSB3");
  const FtdiTtyDevice* second = FindNode(list, "/dev/ttyUSB4");
  ASSERT_TRUE(first != nullptr && second != nullptr);
  EXPECT_EQ(first->Type, FT_DEVICE_2232H);
  EXPECT_EQ(first->SerialNumber, "");
  EXPECT_NE(first->LocId, second->LocId);
  EXPECT_NE(first->LocId, list[0].LocId);
}

TEST_F(BuiltInProviderTest, LocationStaysWithTheSocketWhenTheTerminalNameChanges) {
  const uint32_t before = LocationOf("/dev/ttyUSB0");
  ASSERT_NE(before, 0u);
  EXPECT_EQ(LocationOf("/dev/ttyUSB0"), before);
  bed_.Unplug(ftdi_);
  EXPECT_TRUE(EnumerateFtdiTtys().empty());
  // Plugged in again into the same socket, it gets another terminal.
  Converter again = ftdi_;
  again.tty = "ttyUSB5";
  again.minor = 5;
  ASSERT_TRUE(bed_.Add(again));
  EXPECT_EQ(LocationOf("/dev/ttyUSB5"), before);
}

TEST_F(BuiltInProviderTest, DeviceInfoListIsTheSnapshotOfItsCreation) {
  DWORD count = 0;
  ASSERT_EQ(api_.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 1u);
  Converter later;
  later.tty = "ttyUSB1";
  later.minor = 1;
  later.portPath = "2";
  later.serial = "B2";
  ASSERT_TRUE(bed_.Add(later));

  FT_DEVICE_LIST_INFO_NODE nodes[4] = {};
  ASSERT_EQ(api_.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  ASSERT_EQ(count, 1u);
  EXPECT_STREQ(nodes[0].Description, "FT232R USB UART");
  EXPECT_STREQ(nodes[0].SerialNumber, "A10KZP4Q");
  EXPECT_EQ(nodes[0].Type, FT_DEVICE_232R);
  EXPECT_EQ(nodes[0].LocId, LocationOf("/dev/ttyUSB0"));
  EXPECT_EQ(nodes[0].Flags, 0u);

  ASSERT_EQ(api_.FT_CreateDeviceInfoList(&count), FT_OK);
  EXPECT_EQ(count, 2u);
}

TEST_F(BuiltInProviderTest, LongUsbStringsAreCutToTheNodesFields) {
  Converter wordy;
  wordy.tty = "ttyUSB1";
  wordy.minor = 1;
  wordy.portPath = "2";
  wordy.product = std::string(100, 'd');
  wordy.serial = std::string(40, 's');
  ASSERT_TRUE(bed_.Add(wordy));
  DWORD count = 0;
  ASSERT_EQ(api_.FT_CreateDeviceInfoList(&count), FT_OK);
  ASSERT_EQ(count, 2u);
  FT_DEVICE_LIST_INFO_NODE nodes[2];
  std::memset(nodes, 0x55, sizeof nodes);
  ASSERT_EQ(api_.FT_GetDeviceInfoList(nodes, &count), FT_OK);
  EXPECT_EQ(std::string(nodes[1].Description), std::string(63, 'd'));
  EXPECT_EQ(std::string(nodes[1].SerialNumber), std::string(15, 's'));
}

// ---- Opening ----

TEST_F(BuiltInProviderTest, ConverterHeldByAnotherProcessIsListedOpenedAndRefused) {
  LockHolder holder("/dev/ttyUSB0");
  ASSERT_TRUE(holder.Locked());
  const auto list = EnumerateFtdiTtys();
  ASSERT_EQ(list.size(), 1u);
  EXPECT_TRUE(list[0].Opened);
  DWORD count = 0;
  FT_DEVICE_LIST_INFO_NODE node{};
  api_.FT_CreateDeviceInfoList(&count);
  api_.FT_GetDeviceInfoList(&node, &count);
  EXPECT_EQ(node.Flags & FT_FLAGS_OPENED, FT_FLAGS_OPENED);

  EXPECT_EQ(Open(list[0].LocId), InvalidHandle());
  EXPECT_EQ(api_.FT_W32_GetLastError(InvalidHandle()), d2xx_error::kSharingViolation);

  holder.Release();
  EXPECT_FALSE(EnumerateFtdiTtys()[0].Opened);
  FT_HANDLE h = Open(list[0].LocId);
  ASSERT_NE(h, InvalidHandle());
  // This process's own hold counts as well.
  EXPECT_TRUE(EnumerateFtdiTtys()[0].Opened);
  Close(h);
  EXPECT_FALSE(EnumerateFtdiTtys()[0].Opened);
}

TEST_F(BuiltInProviderTest, OpeningAnUnknownLocationOrNotByLocationFails) {
  const uint32_t location = LocationOf("/dev/ttyUSB0");
  EXPECT_EQ(Open(location + 1), InvalidHandle());
  EXPECT_EQ(api_.FT_W32_GetLastError(InvalidHandle()), d2xx_error::kFileNotFound);
  EXPECT_EQ(api_.FT_W32_CreateFile("A10KZP4Q", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | 1, nullptr),
            InvalidHandle());
  EXPECT_EQ(api_.FT_W32_GetLastError(InvalidHandle()), d2xx_error::kInvalidParameter);
}

TEST_F(BuiltInProviderTest, ForeignAndClosedHandlesAreRefused) {
  FT_HANDLE h = Open(LocationOf("/dev/ttyUSB0"));
  ASSERT_NE(h, InvalidHandle());
  Close(h);
  int notAHandle = 0;
  for (FT_HANDLE bad : {h, InvalidHandle(), FT_HANDLE{nullptr}, FT_HANDLE{&notAHandle}}) {
    DWORD done = 7;
    uint8_t byte = 0;
    EXPECT_FALSE(api_.FT_W32_ReadFile(bad, &byte, 1, &done, nullptr));
    EXPECT_FALSE(api_.FT_W32_WriteFile(bad, &byte, 1, &done, nullptr));
    EXPECT_FALSE(api_.FT_W32_SetCommMask(bad, kLinkEventMask));
    EXPECT_FALSE(api_.FT_W32_CloseHandle(bad));
    EXPECT_EQ(BuiltInLatencyTimerMs(bad), -1);
  }
}

// ---- Line settings ----

TEST_F(BuiltInProviderTest, CommStateTakesWhatTheLineCanDoAndRefusesTheRest) {
  FT_HANDLE h = Open(LocationOf("/dev/ttyUSB0"));
  ASSERT_NE(h, InvalidHandle());
  struct Case {
    DWORD baud;
    BYTE size, parity, stop;
    bool ok;
  } cases[] = {
      {115200, 8, 0, 0, true},  {125000, 8, 0, 0, true},  {9600, 7, 2, 0, true},
      {14400, 8, 1, 2, true},   {921600, 8, 0, 0, true},  {300, 5, 0, 1, true},
      {12345, 8, 0, 0, false},  {0, 8, 0, 0, false},      {115200, 4, 0, 0, false},
      {115200, 9, 0, 0, false}, {115200, 8, 5, 0, false}, {115200, 8, 0, 3, false},
      {115200, 8, 0, 1, false},  // 1.5 stop bits need 5 data bits
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << c.baud << " " << int(c.size) << int(c.parity) << int(c.stop));
    FTDCB before{};
    ASSERT_TRUE(api_.FT_W32_GetCommState(h, &before));
    FTDCB dcb = before;
    dcb.BaudRate = c.baud;
    dcb.ByteSize = c.size;
    dcb.Parity = c.parity;
    dcb.StopBits = c.stop;
    EXPECT_EQ(api_.FT_W32_SetCommState(h, &dcb) != 0, c.ok);
    FTDCB after{};
    ASSERT_TRUE(api_.FT_W32_GetCommState(h, &after));
    const FTDCB& expected = c.ok ? dcb : before;
    EXPECT_EQ(after.BaudRate, expected.BaudRate);
    EXPECT_EQ(after.ByteSize, expected.ByteSize);
    EXPECT_EQ(after.Parity, expected.Parity);
    EXPECT_EQ(after.StopBits, expected.StopBits);
    if (!c.ok) {
      EXPECT_EQ(api_.FT_W32_GetLastError(h), d2xx_error::kInvalidParameter);
    }
  }
  FTTIMEOUTS timeouts{0xFFFFFFFFu, 1, 2, 3, 4}, back{};
  ASSERT_TRUE(api_.FT_W32_SetCommTimeouts(h, &timeouts));
  ASSERT_TRUE(api_.FT_W32_GetCommTimeouts(h, &back));
  EXPECT_EQ(std::memcmp(&timeouts, &back, sizeof back), 0);
}

// ---- Reading, writing, waiting ----

TEST_F(BuiltInProviderTest, BytesFromTheConverterWakeTheWaitAndAreRead) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  const int master = bed_.Master(ftdi_);
  ASSERT_GE(master, 0);
  ASSERT_TRUE(api_.FT_W32_PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));

  auto waited = std::async(std::launch::async, [&] {
    ULONG event = 0;
    const BOOL ok = api_.FT_W32_WaitCommEvent(h, &event, nullptr);
    return ok ? event : 0xDEADu;
  });
  EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout) << "nothing came yet";
  const Bytes sent{0x80, 0x01, 0x00, 0x16, 0x0A, 0x0D};
  ASSERT_TRUE(WriteMaster(master, sent));
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waited.get(), EV_RXCHAR);

  FTCOMSTAT status{};
  DWORD errors = 99;
  ASSERT_TRUE(api_.FT_W32_ClearCommError(h, &errors, &status));
  EXPECT_EQ(errors, 0u);
  // The bytes cross the terminal in one piece here.
  EXPECT_EQ(status.cbInQue, sent.size());
  Bytes got(16);
  DWORD done = 0;
  ASSERT_TRUE(api_.FT_W32_ReadFile(h, got.data(), 4, &done, nullptr));
  ASSERT_EQ(done, 4u);
  ASSERT_TRUE(api_.FT_W32_ReadFile(h, got.data() + 4, 12, &done, nullptr));
  EXPECT_EQ(done, 2u) << "a read returns what waits, without waiting";
  got.resize(6);
  EXPECT_EQ(got, sent) << "binary bytes arrive unchanged (no CR/LF mapping)";
  ASSERT_TRUE(api_.FT_W32_ReadFile(h, got.data(), 4, &done, nullptr));
  EXPECT_EQ(done, 0u);
}

TEST_F(BuiltInProviderTest, WritesReachTheConverterWholeAlsoWhenItsQueueFills) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  const int master = bed_.Master(ftdi_);
  // Far more than a terminal queues: the write waits for the far side.
  Bytes frame(256 * 1024);
  for (size_t i = 0; i < frame.size(); ++i) frame[i] = static_cast<uint8_t>(i * 7 + i / 251);
  auto written = std::async(std::launch::async, [&] {
    DWORD done = 0;
    const BOOL ok =
        api_.FT_W32_WriteFile(h, frame.data(), static_cast<DWORD>(frame.size()), &done, nullptr);
    return ok ? done : 0u;
  });
  const Bytes got = ReadMaster(master, frame.size(), 5000);
  ASSERT_EQ(written.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(written.get(), frame.size());
  EXPECT_EQ(got.size(), frame.size());
  EXPECT_TRUE(got == frame);
}

TEST_F(BuiltInProviderTest, PurgeEndsAWriteTheConverterDoesNotTake) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  Bytes frame(1024 * 1024, 0x55);
  auto written = std::async(std::launch::async, [&] {
    DWORD done = 0;
    return api_.FT_W32_WriteFile(h, frame.data(), static_cast<DWORD>(frame.size()), &done, nullptr);
  });
  EXPECT_EQ(written.wait_for(200ms), std::future_status::timeout) << "nobody reads the far side";
  ASSERT_TRUE(api_.FT_W32_PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_EQ(written.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(written.get());
  EXPECT_EQ(api_.FT_W32_GetLastError(h), d2xx_error::kOperationAborted);
  // A purge before a write does not end that write.
  ASSERT_TRUE(api_.FT_W32_PurgeComm(h, PURGE_TXABORT | PURGE_TXCLEAR));
  ASSERT_TRUE(api_.FT_W32_PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  uint8_t byte = 0x42;
  DWORD done = 0;
  EXPECT_TRUE(api_.FT_W32_WriteFile(h, &byte, 1, &done, nullptr));
  EXPECT_EQ(done, 1u);
}

TEST_F(BuiltInProviderTest, SetCommMaskFromAnotherThreadEndsTheWaitWithNoEvent) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  // A mask set before the wait began (at open) does not end it.
  auto waited = std::async(std::launch::async, [&] {
    ULONG event = 0xFFFF;
    const BOOL ok = api_.FT_W32_WaitCommEvent(h, &event, nullptr);
    return ok ? event : 0xDEADu;
  });
  EXPECT_EQ(waited.wait_for(150ms), std::future_status::timeout);
  ASSERT_TRUE(api_.FT_W32_SetCommMask(h, 0));
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waited.get(), 0u);
  // The wake-up does not linger for the next wait.
  ASSERT_TRUE(api_.FT_W32_SetCommMask(h, kLinkEventMask));
  auto next = std::async(std::launch::async, [&] {
    ULONG event = 0;
    return api_.FT_W32_WaitCommEvent(h, &event, nullptr) ? event : 0xDEADu;
  });
  EXPECT_EQ(next.wait_for(150ms), std::future_status::timeout);
  ASSERT_TRUE(WriteMaster(bed_.Master(ftdi_), {0x01}));
  ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(next.get(), EV_RXCHAR);
}

TEST_F(BuiltInProviderTest, LineErrorEndsTheWaitOnceAndIsClearedOnce) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  const int master = bed_.Master(ftdi_);
  auto wait = [&] {
    return std::async(std::launch::async, [&] {
      ULONG event = 0;
      return api_.FT_W32_WaitCommEvent(h, &event, nullptr) ? event : 0xDEADu;
    });
  };
  auto waited = wait();
  EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout);
  // A character with a framing error arrives (as a zero byte) and the
  // driver counts it.
  bed_.SetFramingErrors(1);
  ASSERT_TRUE(WriteMaster(master, {0x00}));
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(waited.get(), EV_ERR | EV_RXCHAR);
  DWORD errors = 0;
  FTCOMSTAT status{};
  ASSERT_TRUE(api_.FT_W32_ClearCommError(h, &errors, &status));
  EXPECT_NE(errors, 0u);
  ASSERT_TRUE(api_.FT_W32_ClearCommError(h, &errors, &status));
  EXPECT_EQ(errors, 0u) << "cleared";
  ASSERT_TRUE(api_.FT_W32_PurgeComm(h, PURGE_RXABORT | PURGE_RXCLEAR));
  // Without a new error the next byte is just a byte.
  auto next = wait();
  EXPECT_EQ(next.wait_for(100ms), std::future_status::timeout);
  ASSERT_TRUE(WriteMaster(master, {0x41}));
  ASSERT_EQ(next.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(next.get(), EV_RXCHAR);
}

TEST_F(BuiltInProviderTest, UnpluggedConverterEndsTheWaitWithAnErrorEveryTime) {
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());
  auto waited = std::async(std::launch::async, [&] {
    ULONG event = 0;
    return api_.FT_W32_WaitCommEvent(h, &event, nullptr);
  });
  EXPECT_EQ(waited.wait_for(100ms), std::future_status::timeout);
  bed_.Unplug(ftdi_);
  ASSERT_EQ(waited.wait_for(5s), std::future_status::ready);
  EXPECT_FALSE(waited.get());
  EXPECT_EQ(api_.FT_W32_GetLastError(h), d2xx_error::kDeviceNotConnected);
  // A hung-up terminal answers at once, every time (no wait, no spinning).
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 3; ++i) {
    ULONG event = 0;
    EXPECT_FALSE(api_.FT_W32_WaitCommEvent(h, &event, nullptr));
  }
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  uint8_t buffer[8];
  DWORD done = 0;
  EXPECT_FALSE(api_.FT_W32_ReadFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_FALSE(api_.FT_W32_WriteFile(h, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(api_.FT_W32_GetLastError(h), d2xx_error::kDeviceNotConnected);
  Close(h);
  EXPECT_TRUE(EnumerateFtdiTtys().empty());
}

// ---- Latency timer ----

TEST_F(BuiltInProviderTest, LatencyTimerIsLoweredToOneMillisecondAtOpen) {
  const std::string attribute = bed_.RootPath(UmockdevBed::PortPath(ftdi_) + "/latency_timer");
  ASSERT_EQ(ReadFileText(attribute), "16");
  FT_HANDLE h = Open(LocationOf("/dev/ttyUSB0"));
  ASSERT_NE(h, InvalidHandle());
  EXPECT_EQ(BuiltInLatencyTimerMs(h), 1);
  EXPECT_EQ(ReadFileText(attribute), "1");
}

TEST_F(BuiltInProviderTest, LatencyTimerThatCannotBeWrittenIsReportedAsItIs) {
  // The attribute is the administrator's; an ordinary user may only read it
  // (and a pseudo-terminal has no low-latency flag either).
  const std::string attribute = bed_.RootPath(UmockdevBed::PortPath(ftdi_) + "/latency_timer");
  ASSERT_EQ(chmod(attribute.c_str(), 0444), 0);
  int input = -1, output = -1;
  const pid_t user =
      SpawnSelf({"--open-as-user", std::to_string(LocationOf("/dev/ttyUSB0"))}, &input, &output);
  ASSERT_GT(user, 0);
  close(input);
  const std::string printed = ReadAll(output);
  close(output);
  int status = -1;
  waitpid(user, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  ASSERT_EQ(WEXITSTATUS(status), 0) << "the converter is usable all the same";
  EXPECT_EQ(printed, "16\n");
  EXPECT_EQ(ReadFileText(attribute), "16");
}

// ---- With the simulated instrument on the far side ----

// quorvel-sim serving the master side of the converter's terminal.
class SimOnMaster {
 public:
  SimOnMaster(int master, std::vector<std::string> extra) {
    std::vector<std::string> args{QUORVEL_SIM, "--fd", "3", "--quiet"};
    args.insert(args.end(), extra.begin(), extra.end());
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, master, 3);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    if (posix_spawn(&pid_, QUORVEL_SIM, &actions, nullptr, argv.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~SimOnMaster() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    waitpid(pid_, nullptr, 0);
  }
  bool Started() const { return pid_ > 0; }

 private:
  pid_t pid_ = -1;
};

TEST_F(BuiltInProviderTest, ExchangeWithTheSimulatedInstrumentThroughTheFunctionTable) {
  SimOnMaster sim(bed_.Master(ftdi_), {"--device", "M-530", "--mode", "boot", "--baud", "115200",
                                       "--serial", "4660/61453", "--block-size", "512"});
  ASSERT_TRUE(sim.Started());
  FT_HANDLE h = OpenLikeTheLink(ftdi_);
  ASSERT_NE(h, InvalidHandle());

  // The read thread of the link: wait, read what waits, until the reply is
  // whole or the test gives up (SetCommMask ends the wait).
  std::atomic<bool> giveUp{false};
  auto reply = std::async(std::launch::async, [&] {
    Bytes got;
    while (got.size() < kDeviceInfoLength && !giveUp) {
      ULONG event = 0;
      if (!api_.FT_W32_WaitCommEvent(h, &event, nullptr)) break;
      if ((event & EV_RXCHAR) == 0) continue;
      FTCOMSTAT status{};
      DWORD errors = 0;
      api_.FT_W32_ClearCommError(h, &errors, &status);
      Bytes chunk(status.cbInQue);
      DWORD done = 0;
      if (!api_.FT_W32_ReadFile(h, chunk.data(), static_cast<DWORD>(chunk.size()), &done,
                                nullptr)) {
        break;
      }
      got.insert(got.end(), chunk.begin(), chunk.begin() + done);
    }
    return got;
  });
  Bytes command = BuildBootCommand(kBootReadInfo);
  DWORD done = 0;
  ASSERT_TRUE(
      api_.FT_W32_WriteFile(h, command.data(), static_cast<DWORD>(command.size()), &done, nullptr));
  ASSERT_EQ(done, command.size());
  if (reply.wait_for(10s) != std::future_status::ready) {
    giveUp = true;
    api_.FT_W32_SetCommMask(h, kLinkEventMask);
  }
  const Bytes got = reply.get();
  const auto info = ParseDeviceInfo(got);
  ASSERT_TRUE(info.has_value()) << got.size() << " bytes";
  EXPECT_EQ(info->SerialPart1, 4660);
  EXPECT_EQ(info->SerialPart2, 61453);
  EXPECT_EQ(info->BlockSize, 512);
}

}  // namespace
}  // namespace quorvel

#if defined(__SANITIZE_THREAD__)
// The bed's own threads (GLib's, umockdev's ioctl server) are built without
// ThreadSanitizer: their accesses are not checked.
extern "C" const char* __tsan_default_options() {
  return "halt_on_error=1 second_deadlock_stack=1 ignore_noninstrumented_modules=1";
}
#endif

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--hold-lock") == 0) {
    return quorvel::HoldLockMain(argv[2]);
  }
  if (argc == 3 && std::strcmp(argv[1], "--open-as-user") == 0) {
    return quorvel::OpenAsUserMain(argv[2]);
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
