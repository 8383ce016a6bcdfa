// The port sources behind the window's port list (a USB device list in the
// USB link component's form becomes entries with the none entry first), and
// the language the system's locale gives.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "window/port_source.h"
#include "window/window_settings.h"
#include "window_test_support.h"

namespace quorvel {
namespace {

using testing::ProgramScope;

TEST(WindowPortSource, UsbDeviceListEntries) {
  ProgramScope program(0);
  struct ListCase {
    std::vector<std::string> list;
    std::vector<PortEntry> expected;
  };
  const std::vector<ListCase> cases = {
      {{}, {{"żaden", "żaden"}}},
      {{"0=none"}, {{"0", "żaden"}}},
      {{"0=none", "1-2.1=WX-310C 1234/5678", "3-1=KMB-RSVI 0001/0002"},
       {{"0", "żaden"}, {"1-2.1", "WX-310C 1234/5678"}, {"3-1", "KMB-RSVI 0001/0002"}}},
      // A text holding "=" keeps it: only the first one splits.
      {{"", "7=a=b"}, {{"", "żaden"}, {"7", "a=b"}}},
  };
  for (const ListCase& c : cases) {
    std::string expected;
    DeviceListPortSource source([&c] { return c.list; });
    EXPECT_EQ(source.Entries(), c.expected);
  }
  // Without a device list: the none entry only.
  EXPECT_EQ(DeviceListPortSource().Entries(), (std::vector<PortEntry>{{"żaden", "żaden"}}));
}

TEST(WindowPortSource, ExpectedNamesAndChangesReachTheUsbComponent) {
  std::string expected;
  std::vector<std::string> list{"0=none"};
  DeviceListPortSource source([&list] { return list; },
                              [&expected](std::string_view names) { expected = names; });
  int changes = 0;
  source.OnListChange = [&changes] { ++changes; };
  source.SetExpectedNames("WX-310C|KMB-RSVI");
  EXPECT_EQ(expected, "WX-310C|KMB-RSVI");
  list.push_back("1=WX-310C 1/2");
  source.Changed();
  EXPECT_EQ(changes, 1);
  EXPECT_EQ(source.Entries().size(), 2u);
}

TEST(WindowLanguage, PolishLocaleGivesPolishEveryOtherEnglish) {
  const std::vector<std::pair<const char*, uint8_t>> cases = {
      {"pl_PL", 0}, {"pl", 0}, {"en_US", 1}, {"en_GB", 1}, {"de_DE", 1}, {"C", 1}};
  for (const auto& [name, language] : cases) {
    EXPECT_EQ(LanguageOf(QLocale(QString::fromLatin1(name))), language) << name;
  }
}

}  // namespace
}  // namespace quorvel
