// The D2XX loader over the test double of the vendor library: what a loaded,
// missing or incomplete library gives, enumeration through the table, and
// I/O with a device whose far end is a pseudo-terminal held by the test.
#include "usb/d2xx_library.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "usb/device_list.h"

namespace quorvel {
namespace {

using namespace d2xx;

// The names of the table's non-null pointers.
std::set<std::string> Present(const Functions& fn) {
  std::set<std::string> names;
#define QUORVEL_PRESENT(name) \
  if (fn.name != nullptr) names.insert(#name)
  QUORVEL_PRESENT(FT_CreateDeviceInfoList);
  QUORVEL_PRESENT(FT_GetDeviceInfoList);
  QUORVEL_PRESENT(FT_W32_CreateFile);
  QUORVEL_PRESENT(FT_W32_CloseHandle);
  QUORVEL_PRESENT(FT_W32_ReadFile);
  QUORVEL_PRESENT(FT_W32_WriteFile);
  QUORVEL_PRESENT(FT_W32_GetOverlappedResult);
  QUORVEL_PRESENT(FT_W32_GetLastError);
  QUORVEL_PRESENT(FT_W32_ClearCommBreak);
  QUORVEL_PRESENT(FT_W32_ClearCommError);
  QUORVEL_PRESENT(FT_W32_GetCommState);
  QUORVEL_PRESENT(FT_W32_SetCommState);
  QUORVEL_PRESENT(FT_W32_GetCommTimeouts);
  QUORVEL_PRESENT(FT_W32_SetCommTimeouts);
  QUORVEL_PRESENT(FT_W32_SetupComm);
  QUORVEL_PRESENT(FT_W32_SetCommMask);
  QUORVEL_PRESENT(FT_W32_WaitCommEvent);
  QUORVEL_PRESENT(FT_W32_PurgeComm);
#undef QUORVEL_PRESENT
  return names;
}

const std::set<std::string>& AllFunctions() {
  static const std::set<std::string> all = {
      "FT_CreateDeviceInfoList",    "FT_GetDeviceInfoList",   "FT_W32_CreateFile",
      "FT_W32_CloseHandle",         "FT_W32_ReadFile",        "FT_W32_WriteFile",
      "FT_W32_GetOverlappedResult", "FT_W32_GetLastError",    "FT_W32_ClearCommBreak",
      "FT_W32_ClearCommError",      "FT_W32_GetCommState",    "FT_W32_SetCommState",
      "FT_W32_GetCommTimeouts",     "FT_W32_SetCommTimeouts", "FT_W32_SetupComm",
      "FT_W32_SetCommMask",         "FT_W32_WaitCommEvent",   "FT_W32_PurgeComm"};
  return all;
}

std::set<std::string> AllBut(const char* name) {
  std::set<std::string> names = AllFunctions();
  names.erase(name);
  return names;
}

constexpr const char* kMissingLibrary = "/nonexistent/libftd2xx.so";

TEST(D2xxLoader, LoadsWhatTheLibraryHas) {
  struct Case {
    const char* path;
    D2xxTable::Source source;
    std::set<std::string> present;
  };
  const Case cases[] = {
      {D2XX_DOUBLE_PATH, D2xxTable::Source::Vendor, AllFunctions()},
      {D2XX_DOUBLE_NO_CREATEFILE_PATH, D2xxTable::Source::Vendor, AllBut("FT_W32_CreateFile")},
      {kMissingLibrary, D2xxTable::Source::None, {}},
      {"", D2xxTable::Source::None, {}},
  };
  for (const Case& c : cases) {
    const D2xxTable table = LoadD2xxLibrary(c.path);
    EXPECT_EQ(table.source, c.source) << c.path;
    EXPECT_EQ(Present(table.fn), c.present) << c.path;
    EXPECT_EQ(table.path, c.source == D2xxTable::Source::Vendor ? c.path : "") << c.path;
  }
}

FT_STATUS FakeCreateDeviceInfoList(DWORD* count) {
  *count = 0;
  return FT_OK;
}

Functions FakeBuiltIn() {
  Functions fn;
  fn.FT_CreateDeviceInfoList = FakeCreateDeviceInfoList;
  return fn;
}

TEST(D2xxLoader, ChoosesTheProviderFromTheEnvironment) {
  struct Case {
    const char* what;
    const char* envValue;
    BuiltInD2xxMaker builtIn;
    std::string vendor;
    D2xxTable::Source source;
    std::string path;
  };
  const Case cases[] = {
      {"unset: vendor library wins", nullptr, FakeBuiltIn, D2XX_DOUBLE_PATH,
       D2xxTable::Source::Vendor, D2XX_DOUBLE_PATH},
      {"unset, no vendor library: built-in", nullptr, FakeBuiltIn, kMissingLibrary,
       D2xxTable::Source::BuiltIn, ""},
      {"empty counts as unset", "", FakeBuiltIn, kMissingLibrary, D2xxTable::Source::BuiltIn, ""},
      {"unset, neither", nullptr, nullptr, kMissingLibrary, D2xxTable::Source::None, ""},
      {"builtin skips the vendor library", "builtin", FakeBuiltIn, D2XX_DOUBLE_PATH,
       D2xxTable::Source::BuiltIn, ""},
      {"builtin without a provider", "builtin", nullptr, D2XX_DOUBLE_PATH, D2xxTable::Source::None,
       ""},
      {"path: the only library tried", D2XX_DOUBLE_NO_CREATEFILE_PATH, FakeBuiltIn,
       D2XX_DOUBLE_PATH, D2xxTable::Source::Vendor, D2XX_DOUBLE_NO_CREATEFILE_PATH},
      {"missing path: nothing, no fallback", kMissingLibrary, FakeBuiltIn, D2XX_DOUBLE_PATH,
       D2xxTable::Source::None, ""},
  };
  for (const Case& c : cases) {
    const D2xxTable table = ChooseD2xxProvider(c.envValue, c.builtIn, c.vendor);
    EXPECT_EQ(table.source, c.source) << c.what;
    EXPECT_EQ(table.path, c.path) << c.what;
    if (c.source == D2xxTable::Source::BuiltIn) {
      EXPECT_EQ(table.fn.FT_CreateDeviceInfoList, FakeCreateDeviceInfoList) << c.what;
    }
    if (c.source == D2xxTable::Source::None) {
      EXPECT_TRUE(Present(table.fn).empty()) << c.what;
    }
  }
}

TEST(D2xxLoader, ProcessTableIsChosenOnce) {
  setenv(kD2xxLibraryVariable, D2XX_DOUBLE_NO_CREATEFILE_PATH, 1);
  SetBuiltInD2xxProvider(FakeBuiltIn);
  const D2xxTable& first = D2xx();
  EXPECT_EQ(first.source, D2xxTable::Source::Vendor);
  EXPECT_EQ(first.fn.FT_W32_CreateFile, nullptr);
  setenv(kD2xxLibraryVariable, kBuiltInD2xxName, 1);
  const D2xxTable& second = D2xx();
  EXPECT_EQ(&second, &first);
  EXPECT_EQ(second.source, D2xxTable::Source::Vendor);
  unsetenv(kD2xxLibraryVariable);
}

// A pseudo-terminal whose far end (the master) the test holds; the double
// opens its slave as the device.
struct Pty {
  int master = -1;
  std::string path;

  Pty() {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) return;
    char name[128] = {};
    if (ptsname_r(master, name, sizeof name) == 0) path = name;
  }
  ~Pty() { CloseMaster(); }
  void CloseMaster() {
    if (master >= 0) close(master);
    master = -1;
  }
  std::string Read(size_t size) {
    std::string bytes(size, '\0');
    size_t got = 0;
    while (got < size) {
      const ssize_t n = read(master, bytes.data() + got, size - got);
      if (n <= 0) break;
      got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return bytes;
  }
};

// Two devices on pseudo-terminals, named to the double in the environment.
class D2xxDouble : public testing::Test {
 protected:
  static constexpr DWORD kMeter = 0x1234;
  static constexpr DWORD kOther = 0x2201;

  void SetUp() override {
    ASSERT_FALSE(meter_.path.empty());
    ASSERT_FALSE(other_.path.empty());
    // The comma and semicolon in the description travel escaped.
    const std::string devices = std::to_string(kMeter) + ",5,FT01,VARNELD MT," + meter_.path +
                                ";0x2201,9,,Rev 2\\, bench\\; A," + other_.path;
    setenv("QUORVEL_D2XX_DOUBLE_DEVICES", devices.c_str(), 1);
    unsetenv("QUORVEL_D2XX_DOUBLE_FAIL");
    table_ = LoadD2xxLibrary(D2XX_DOUBLE_PATH);
    ASSERT_EQ(Present(table_.fn), AllFunctions());
  }
  void TearDown() override {
    unsetenv("QUORVEL_D2XX_DOUBLE_DEVICES");
    unsetenv("QUORVEL_D2XX_DOUBLE_FAIL");
  }

  FT_HANDLE Open(DWORD location) {
    return table_.fn.FT_W32_CreateFile(reinterpret_cast<const char*>(uintptr_t{location}),
                                       GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                       kOpenByLocationFlags, nullptr);
  }

  std::vector<FT_DEVICE_LIST_INFO_NODE> Nodes() {
    DWORD count = 0;
    EXPECT_EQ(table_.fn.FT_CreateDeviceInfoList(&count), FT_OK);
    std::vector<FT_DEVICE_LIST_INFO_NODE> nodes(count);
    EXPECT_EQ(table_.fn.FT_GetDeviceInfoList(nodes.data(), &count), FT_OK);
    return nodes;
  }

  Pty meter_;
  Pty other_;
  D2xxTable table_;
};

TEST_F(D2xxDouble, EnumeratesTheDevicesOfTheEnvironment) {
  const std::vector<FT_DEVICE_LIST_INFO_NODE> nodes = Nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].LocId, kMeter);
  EXPECT_EQ(nodes[0].Type, 5u);
  EXPECT_STREQ(nodes[0].SerialNumber, "FT01");
  EXPECT_STREQ(nodes[1].Description, "Rev 2, bench; A");
  EXPECT_EQ(nodes[0].Flags | nodes[1].Flags, 0u);

  const usb::Enumeration all = usb::EnumerateDevices(table_.fn, 0, usb::NameFilter("", true));
  EXPECT_TRUE(all.devicesSeen);
  ASSERT_EQ(all.entries.size(), 2u);
  EXPECT_EQ(all.entries[0], (usb::DeviceEntry{"4660=VARNELD MT FT01", 5}));
  EXPECT_EQ(all.entries[1], (usb::DeviceEntry{"8705=Rev 2, bench; A", 9}));
  EXPECT_NE(all.endTick, 0u);

  // Read again at each list build.
  setenv("QUORVEL_D2XX_DOUBLE_DEVICES", "", 1);
  EXPECT_TRUE(usb::EnumerateDevices(table_.fn, 0, usb::NameFilter("", true)).entries.empty());
}

TEST_F(D2xxDouble, FailingListFunctionsLeaveTheListEmpty) {
  struct Case {
    const char* fail;
    bool devicesSeen;
  };
  const Case cases[] = {{"GetDeviceInfoList", true}, {"CreateDeviceInfoList", false}};
  for (const Case& c : cases) {
    setenv("QUORVEL_D2XX_DOUBLE_FAIL", c.fail, 1);
    const usb::Enumeration result = usb::EnumerateDevices(table_.fn, 0, usb::NameFilter("", true));
    EXPECT_TRUE(result.entries.empty()) << c.fail;
    EXPECT_EQ(result.devicesSeen, c.devicesSeen) << c.fail;
  }
  const usb::Enumeration none = usb::EnumerateDevices(Functions{}, 0, usb::NameFilter("", true));
  EXPECT_TRUE(none.entries.empty());
  EXPECT_FALSE(none.devicesSeen);
}

TEST_F(D2xxDouble, OpenDeviceIsHeldAndListedOnlyForItsHolder) {
  FT_HANDLE handle = Open(kMeter);
  ASSERT_NE(handle, InvalidHandle());
  EXPECT_EQ(Open(kMeter), InvalidHandle());
  EXPECT_EQ(Open(0x9999), InvalidHandle());

  const std::vector<FT_DEVICE_LIST_INFO_NODE> nodes = Nodes();
  ASSERT_EQ(nodes.size(), 2u);
  EXPECT_EQ(nodes[0].Flags, FT_FLAGS_OPENED);
  EXPECT_EQ(nodes[1].Flags, 0u);

  const usb::NameFilter all("", true);
  const usb::Enumeration mine = usb::EnumerateDevices(table_.fn, kMeter, all);
  EXPECT_EQ(mine.entries.size(), 2u);
  EXPECT_EQ(mine.busyCount, 1u);
  const usb::Enumeration elsewhere = usb::EnumerateDevices(table_.fn, 0, all);
  ASSERT_EQ(elsewhere.entries.size(), 1u);
  EXPECT_EQ(elsewhere.entries[0].text, "8705=Rev 2, bench; A");

  EXPECT_TRUE(table_.fn.FT_W32_CloseHandle(handle));
  EXPECT_FALSE(table_.fn.FT_W32_CloseHandle(handle));
  EXPECT_EQ(Nodes()[0].Flags, 0u);
  handle = Open(kMeter);
  ASSERT_NE(handle, InvalidHandle());
  EXPECT_TRUE(table_.fn.FT_W32_CloseHandle(handle));
}

TEST_F(D2xxDouble, DeviceLockedByAnotherOpenFileIsBusy) {
  const int holder = open(meter_.path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(flock(holder, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(Nodes()[0].Flags, FT_FLAGS_OPENED);
  EXPECT_EQ(Open(kMeter), InvalidHandle());
  close(holder);
  EXPECT_EQ(Nodes()[0].Flags, 0u);
}

TEST_F(D2xxDouble, FramesPassBothWays) {
  const Functions& fn = table_.fn;
  FT_HANDLE handle = Open(kMeter);
  ASSERT_NE(handle, InvalidHandle());
  FTDCB dcb{};
  ASSERT_TRUE(fn.FT_W32_GetCommState(handle, &dcb));
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = 125000;
  dcb.Flags = kDcbBinaryAbortOnError;
  ASSERT_TRUE(fn.FT_W32_SetCommState(handle, &dcb));
  FTDCB back{};
  ASSERT_TRUE(fn.FT_W32_GetCommState(handle, &back));
  EXPECT_EQ(std::memcmp(&back, &dcb, sizeof dcb), 0);
  FTTIMEOUTS timeouts{0xFFFFFFFF, 0, 0, 0, 0};
  ASSERT_TRUE(fn.FT_W32_SetCommTimeouts(handle, &timeouts));
  ASSERT_TRUE(fn.FT_W32_SetupComm(handle, 1024, 1024));
  ASSERT_TRUE(fn.FT_W32_SetCommMask(handle, kLinkEventMask));

  // Nothing waits yet: a read returns at once with nothing.
  char buffer[64];
  DWORD done = 99;
  ASSERT_TRUE(fn.FT_W32_ReadFile(handle, buffer, sizeof buffer, &done, nullptr));
  EXPECT_EQ(done, 0u);

  auto wait = std::async(std::launch::async, [&] {
    ULONG event = 0;
    const BOOL ok = fn.FT_W32_WaitCommEvent(handle, &event, nullptr);
    return std::make_pair(ok, event);
  });
  // Bytes with the values a line discipline would change.
  const std::string frame("\x01\x03\r\n\x11\x13\x7f\x00\xff", 9);
  ASSERT_EQ(write(meter_.master, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
  // The mask set before the wait began did not end it early.
  const auto [ok, event] = wait.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(event, EV_RXCHAR);

  // The whole frame is there once the first byte is.
  std::string received;
  while (received.size() < frame.size()) {
    DWORD errors = 0;
    FTCOMSTAT status{};
    ASSERT_TRUE(fn.FT_W32_ClearCommError(handle, &errors, &status));
    if (status.cbInQue == 0) {
      ULONG more = 0;
      ASSERT_TRUE(fn.FT_W32_WaitCommEvent(handle, &more, nullptr));
      continue;
    }
    ASSERT_TRUE(fn.FT_W32_ReadFile(handle, buffer, status.cbInQue, &done, nullptr));
    ASSERT_EQ(done, status.cbInQue);
    received.append(buffer, done);
  }
  EXPECT_EQ(received, frame);

  const std::string answer("\x02\x00\r\n\xfe", 5);
  ASSERT_TRUE(fn.FT_W32_WriteFile(handle, const_cast<char*>(answer.data()),
                                  static_cast<DWORD>(answer.size()), &done, nullptr));
  EXPECT_EQ(done, answer.size());
  DWORD moved = 0;
  ASSERT_TRUE(fn.FT_W32_GetOverlappedResult(handle, nullptr, &moved, 1));
  EXPECT_EQ(moved, answer.size());
  EXPECT_EQ(meter_.Read(answer.size()), answer);

  // Purged reception is gone.
  ASSERT_EQ(write(meter_.master, "abc", 3), 3);
  ULONG arrived = 0;
  ASSERT_TRUE(fn.FT_W32_WaitCommEvent(handle, &arrived, nullptr));
  ASSERT_TRUE(fn.FT_W32_PurgeComm(handle, PURGE_RXABORT | PURGE_RXCLEAR));
  FTCOMSTAT status{};
  ASSERT_TRUE(fn.FT_W32_ClearCommError(handle, nullptr, &status));
  EXPECT_EQ(status.cbInQue, 0u);
  EXPECT_TRUE(fn.FT_W32_CloseHandle(handle));
}

TEST_F(D2xxDouble, SetCommMaskEndsABlockedWait) {
  const Functions& fn = table_.fn;
  FT_HANDLE handle = Open(kMeter);
  ASSERT_NE(handle, InvalidHandle());
  ASSERT_TRUE(fn.FT_W32_SetCommMask(handle, kLinkEventMask));
  auto wait = std::async(std::launch::async, [&] {
    ULONG event = 0xFFFF;
    const BOOL ok = fn.FT_W32_WaitCommEvent(handle, &event, nullptr);
    return std::make_pair(ok, event);
  });
  // The wait may not have started yet when the mask is set: set it again
  // until the wait ends.
  int attempts = 0;
  do {
    ASSERT_TRUE(fn.FT_W32_SetCommMask(handle, 0));
  } while (wait.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready &&
           ++attempts < 200);
  ASSERT_EQ(wait.wait_for(std::chrono::seconds(0)), std::future_status::ready);
  const auto [ok, event] = wait.get();
  EXPECT_TRUE(ok);
  EXPECT_EQ(event, 0u);
  EXPECT_TRUE(fn.FT_W32_CloseHandle(handle));
}

TEST_F(D2xxDouble, HangUpOfTheFarEndFailsTheWait) {
  const Functions& fn = table_.fn;
  FT_HANDLE handle = Open(kMeter);
  ASSERT_NE(handle, InvalidHandle());
  ASSERT_TRUE(fn.FT_W32_SetCommMask(handle, kLinkEventMask));
  auto wait = std::async(std::launch::async, [&] {
    ULONG event = 0;
    return fn.FT_W32_WaitCommEvent(handle, &event, nullptr);
  });
  meter_.CloseMaster();
  EXPECT_FALSE(wait.get());
  EXPECT_NE(fn.FT_W32_GetLastError(handle), 0u);
  EXPECT_TRUE(fn.FT_W32_CloseHandle(handle));
}

TEST_F(D2xxDouble, CreateFileMissingRefusesWithoutAttempt) {
  const D2xxTable table = LoadD2xxLibrary(D2XX_DOUBLE_NO_CREATEFILE_PATH);
  EXPECT_EQ(table.fn.FT_W32_CreateFile, nullptr);
  // The list functions still work.
  EXPECT_EQ(usb::EnumerateDevices(table.fn, 0, usb::NameFilter("", true)).entries.size(), 2u);
}

}  // namespace
}  // namespace quorvel
