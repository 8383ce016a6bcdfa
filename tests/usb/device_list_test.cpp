#include "usb/device_list.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace quorvel::usb {
namespace {

using d2xx::FT_DEVICE_LIST_INFO_NODE;

FT_DEVICE_LIST_INFO_NODE Node(uint32_t location, const char* description, const char* serial,
                              bool opened = false, uint32_t type = d2xx::FT_DEVICE_232R) {
  FT_DEVICE_LIST_INFO_NODE node{};
  node.Flags = opened ? d2xx::FT_FLAGS_OPENED : 0;
  node.Type = type;
  node.LocId = location;
  std::strncpy(node.SerialNumber, serial, sizeof node.SerialNumber);
  std::strncpy(node.Description, description, sizeof node.Description);
  return node;
}

std::vector<std::string> Texts(const DeviceList& list) {
  std::vector<std::string> texts;
  for (const DeviceEntry& entry : list) texts.push_back(entry.text);
  return texts;
}

DeviceList ListOf(std::initializer_list<const char*> texts) {
  DeviceList list;
  for (const char* text : texts) list.push_back({text, d2xx::FT_DEVICE_232R});
  return list;
}

TEST(DeviceEntryText, DisplayTextJoinsSerialAndDropsTrailingBlanks) {
  struct Case {
    const char* description;
    const char* serial;
    const char* expected;
  };
  const Case cases[] = {
      {"VARNELD MT", "FT1X2Y3Z", "VARNELD MT FT1X2Y3Z"},
      {"VARNELD MT", "", "VARNELD MT"},
      {"VARNELD MT  ", "", "VARNELD MT"},
      {"VARNELD MT", "AB12  ", "VARNELD MT AB12"},
      {"", "", ""},
      {"", "AB12", " AB12"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(DisplayText(c.description, c.serial), c.expected) << c.description << "|" << c.serial;
  }
}

TEST(DeviceEntryText, LocationIsTheDecimalNamePart) {
  struct Case {
    const char* entry;
    std::optional<uint32_t> location;
    const char* display;
  };
  const Case cases[] = {
      {"4660=VARNELD MT FT01", 4660, "VARNELD MT FT01"},
      {"0=none", 0, "none"},
      {"4294967295=x", 4294967295u, "x"},
      {"4294967296=x", std::nullopt, "x"},
      {"12a=x", std::nullopt, "x"},
      {"-5=x", std::nullopt, "x"},
      {"=x", std::nullopt, "x"},
      {"12", 12, ""},
      {"12=a=b", 12, "a=b"},
      {"00000000001=x", std::nullopt, "x"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(EntryLocation(c.entry), c.location) << c.entry;
    EXPECT_EQ(EntryDisplayText(c.entry), c.display) << c.entry;
  }
  EXPECT_EQ(EntryText(4660, "VARNELD MT FT01"), "4660=VARNELD MT FT01");
}

TEST(NameFilterTest, AcceptsExpectedNamesWithUnitNumberCut) {
  struct Case {
    const char* expected;
    bool serviceMode;
    const char* name;
    bool accepted;
  };
  const Case cases[] = {
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT", true},
      {"VARNELD MT|VARNELD KMB", false, "varneld kmb", true},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT 1/2", true},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT 12/34", true},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT 1/", false},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT /2", false},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT1/2", false},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MT 1/2 3/4", false},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD MX", false},
      {"VARNELD MT|VARNELD KMB", false, "VARNELD", false},
      {"VARNELD MT 1/2", false, "VARNELD MT 1/2", false},
      {"VARNELD MT", true, "FT232R USB UART", true},
      {"", false, "FT232R USB UART", true},
      {"MIERNIK ŁÓDŹ", false, "miernik łódź", true},
  };
  for (const Case& c : cases) {
    const NameFilter filter(c.expected, c.serviceMode);
    EXPECT_EQ(filter.Accepts(c.name), c.accepted)
        << "[" << c.expected << "] service " << c.serviceMode << " name [" << c.name << "]";
  }
}

TEST(NameFilterTest, TakeAllOnlyInServiceModeOrWithoutNames) {
  EXPECT_TRUE(NameFilter("", false).TakeAll());
  EXPECT_TRUE(NameFilter("A", true).TakeAll());
  EXPECT_FALSE(NameFilter("A", false).TakeAll());
  EXPECT_EQ(SplitExpectedNames("A||B"), (std::vector<std::string>{"A", "", "B"}));
}

struct EnumerationCase {
  const char* what;
  std::vector<FT_DEVICE_LIST_INFO_NODE> nodes;
  uint32_t openLocation;
  const char* expectedNames;
  bool serviceMode;
  std::vector<std::string> entries;
  uint32_t busyCount;
  bool sawNoLocation;
  uint32_t retryDelayMs;
};

TEST(EnumerateNodesTest, ListsAcceptedFreeDevices) {
  const EnumerationCase cases[] = {
      {"filter with unit number",
       {Node(0x11, "VARNELD MT 1/2", "A1"), Node(0x12, "OTHER", "B2")},
       0,
       "VARNELD MT",
       false,
       {"17=VARNELD MT 1/2 A1"},
       0,
       false,
       0},
      {"service mode lists everything",
       {Node(0x11, "VARNELD MT", "A1"), Node(0x12, "OTHER", "")},
       0,
       "VARNELD MT",
       true,
       {"17=VARNELD MT A1", "18=OTHER"},
       0,
       false,
       0},
      {"same device reported twice is listed once",
       {Node(0x11, "VARNELD MT", "A1"), Node(0x11, "VARNELD MT", "A1", false, 9)},
       0,
       "",
       false,
       {"17=VARNELD MT A1"},
       0,
       false,
       0},
      {"same description and serial at two locations are two devices",
       {Node(0x11, "VARNELD MT", "A1"), Node(0x21, "VARNELD MT", "A1")},
       0,
       "",
       false,
       {"17=VARNELD MT A1", "33=VARNELD MT A1"},
       0,
       false,
       0},
      {"opened elsewhere is skipped and busy, our own open device stays",
       {Node(0x11, "VARNELD MT", "A1", true), Node(0x12, "VARNELD MT", "B2", true)},
       0x12,
       "VARNELD MT",
       false,
       {"18=VARNELD MT B2"},
       2,
       false,
       0},
      {"opened elsewhere is skipped in service mode too",
       {Node(0x11, "OTHER", "A1", true)},
       0,
       "",
       true,
       {},
       1,
       false,
       0},
      {"filtered-out device opened elsewhere still counts busy",
       {Node(0x11, "OTHER", "A1", true)},
       0,
       "VARNELD MT",
       false,
       {},
       1,
       false,
       0},
      {"device without location is busy, never listed",
       {Node(0, "VARNELD MT", "A1"), Node(0x11, "VARNELD MT", "B2")},
       0,
       "",
       false,
       {"17=VARNELD MT B2"},
       1,
       true,
       0},
      {"opened device without location asks for 3000 ms",
       {Node(0, "VARNELD MT", "A1", true)},
       0,
       "",
       false,
       {},
       1,
       true,
       3000},
  };
  for (const EnumerationCase& c : cases) {
    const Enumeration result =
        EnumerateNodes(c.nodes, c.openLocation, NameFilter(c.expectedNames, c.serviceMode));
    EXPECT_EQ(Texts(result.entries), c.entries) << c.what;
    EXPECT_EQ(result.busyCount, c.busyCount) << c.what;
    EXPECT_EQ(result.sawDeviceWithoutLocation, c.sawNoLocation) << c.what;
    EXPECT_EQ(result.retryDelayMs, c.retryDelayMs) << c.what;
  }
}

TEST(EnumerateNodesTest, KeepsChipTypeAndReadsUnterminatedFields) {
  FT_DEVICE_LIST_INFO_NODE node = Node(0x11, "", "", false, d2xx::FT_DEVICE_X_SERIES);
  std::memset(node.Description, 'D', sizeof node.Description);
  std::memset(node.SerialNumber, 'S', sizeof node.SerialNumber);
  const Enumeration result = EnumerateNodes({&node, 1}, 0, NameFilter("", false));
  ASSERT_EQ(result.entries.size(), 1u);
  EXPECT_EQ(result.entries[0].text, "17=" + std::string(64, 'D') + " " + std::string(16, 'S'));
  EXPECT_EQ(result.entries[0].chipType, d2xx::FT_DEVICE_X_SERIES);
}

TEST(DeviceListOrder, SortsIgnoringCaseWithNoneFirst) {
  DeviceList list = ListOf({"300=beta", "1000=Alpha", "200=alpha", "200=ALPHA"});
  SortDeviceList(list);
  InsertNoneEntry(list, 1);
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"0=none", "1000=Alpha", "200=alpha", "200=ALPHA",
                                                   "300=beta"}));
  DeviceList polish;
  InsertNoneEntry(polish, 0);
  EXPECT_EQ(Texts(polish), (std::vector<std::string>{"0=żaden"}));
}

TEST(DeviceListOrder, InsertionFollowsFirstLowerLocationText) {
  struct Case {
    const char* what;
    DeviceList list;
    uint32_t location;
    size_t position;
  };
  const Case cases[] = {
      {"empty list", {}, 17, 0},
      {"only none: after it", ListOf({"0=none"}), 17, 1},
      {"nothing lower: at 0", ListOf({"5=a", "6=b"}), 17, 0},
      {"first lower entry decides", ListOf({"5=a", "1=b", "3=c"}), 2, 2},
      {"text order, not numbers", ListOf({"9=a", "100=b"}), 20, 2},
      {"none at the position: past it", ListOf({"0=none", "5=a"}), 0, 1},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(InsertionPosition(c.list, c.location), c.position) << c.what;
  }
}

TEST(DeviceListSelection, KeepsTheSelectedLocation) {
  const DeviceList oldList = ListOf({"0=none", "17=A", "18=B"});
  struct Case {
    const char* what;
    int oldIndex;
    DeviceList newList;
    int index;
    uint32_t location;
  };
  const Case cases[] = {
      {"found at a new position", 2, ListOf({"0=none", "16=C", "17=A", "18=B x"}), 3, 18},
      {"gone: none", 1, ListOf({"0=none", "18=B"}), 0, 0},
      {"none stays none", 0, ListOf({"0=none", "18=B"}), 0, 0},
      {"old index outside the old list", 7, ListOf({"0=none", "18=B"}), 0, 0},
      {"negative old index", -1, ListOf({"0=none", "18=B"}), 0, 0},
      {"empty new list", 1, {}, -1, 0},
      {"entry at 0 without a number", 1, ListOf({"x=odd"}), 0, 0},
  };
  for (const Case& c : cases) {
    const Selection selection = KeepSelection(oldList, c.oldIndex, c.newList);
    EXPECT_EQ(selection.index, c.index) << c.what;
    EXPECT_EQ(selection.location, c.location) << c.what;
  }
}

TEST(DeviceListChange, ComparesEntriesIgnoringCase) {
  const DeviceList list = ListOf({"0=none", "17=A"});
  EXPECT_FALSE(ListChanged(list, ListOf({"0=NONE", "17=a"}), false));
  EXPECT_TRUE(ListChanged(list, list, true));
  EXPECT_TRUE(ListChanged(list, ListOf({"0=none"}), false));
  EXPECT_TRUE(ListChanged(list, ListOf({"0=none", "18=A"}), false));
}

TEST(RetrySchedule, DelayAtItsBoundaries) {
  struct Case {
    const char* what;
    uint32_t retryCount;
    uint32_t enumerationDelay;
    uint32_t enumerationMs;
    uint32_t sinceFirst;
    uint32_t delay;
  };
  const Case cases[] = {
      {"fast: at least 1000 ms", 1, 0, 10, 0, 1000},
      {"fast: twice the enumeration", 1, 0, 700, 0, 1400},
      {"fast: capped at 3000 ms", 19, 0, 5000, 0, 3000},
      {"fast: the enumeration's own delay", 19, 3000, 10, 100000, 3000},
      {"20th retry, 30 s", 20, 0, 10, 30000, 3000},
      {"20th retry, past 30 s", 20, 0, 10, 30001, 10000},
      {"60 s", 25, 0, 10, 60000, 10000},
      {"past 60 s", 25, 0, 10, 60001, 30000},
  };
  for (const Case& c : cases) {
    // The ticks wrap around 32 bits in between.
    const uint32_t first = 0xFFFFF000u;
    EXPECT_EQ(RetryDelayMs(c.retryCount, c.enumerationDelay, c.enumerationMs, first,
                           first + c.sinceFirst),
              c.delay)
        << c.what;
  }
}

TEST(RetrySchedule, RetriesOnlyWhileBusyElsewhere) {
  Enumeration busy;
  busy.devicesSeen = true;
  busy.sawDeviceWithoutLocation = true;
  busy.busyCount = 2;
  busy.startTick = 1000;
  busy.endTick = 1300;

  RetryState state;
  EXPECT_EQ(PlanRetry(state, busy, 2, true, 1300), std::nullopt) << "all busy ones are ours";
  EXPECT_EQ(PlanRetry(state, busy, 1, false, 1300), std::nullopt) << "repeat switched off";
  EXPECT_EQ(state.retryCount, 0u);

  EXPECT_EQ(PlanRetry(state, busy, 1, true, 1300), 1000u);
  EXPECT_EQ(state.retryCount, 1u);
  EXPECT_EQ(state.firstRetryTick, 1300u);
  for (int i = 2; i < 20; ++i) ASSERT_TRUE(PlanRetry(state, busy, 1, true, 5000));
  EXPECT_EQ(state.retryCount, 19u);
  EXPECT_EQ(PlanRetry(state, busy, 1, true, 1300 + 40000), 10000u);
  EXPECT_EQ(state.retryCount, 20u);

  Enumeration free = busy;
  free.sawDeviceWithoutLocation = false;
  EXPECT_EQ(PlanRetry(state, free, 1, true, 50000), std::nullopt);
  EXPECT_EQ(state.retryCount, 0u);
  EXPECT_EQ(state.firstRetryTick, 0u);
}

TEST(ChangeNoticeTest, RoundTrip) {
  const ChangeNotice notice{
      "VARNELD MT|VARNELD KMB", {0x00A1B2C3, 5, "VARNELD MT FT01"}, {0, 3, "żaden"}};
  const std::string bytes = EncodeChangeNotice(notice);
  EXPECT_EQ(bytes.size(), notice.expectedNames.size() + notice.released.text.size() +
                              notice.taken.text.size() + 35);
  EXPECT_EQ(bytes.substr(23, 16), "00A1B2C300000005");
  const ParsedNotice parsed = ParseChangeNotice(bytes);
  EXPECT_TRUE(parsed.readable);
  EXPECT_TRUE(parsed.releasedParsed);
  EXPECT_TRUE(parsed.takenParsed);
  EXPECT_EQ(parsed.notice.expectedNames, notice.expectedNames);
  EXPECT_EQ(parsed.notice.released, notice.released);
  EXPECT_EQ(parsed.notice.taken, notice.taken);
}

TEST(ChangeNoticeTest, MalformedInputParsesOnlyWhatIsWhole) {
  const std::string good = EncodeChangeNotice({"N", {0x11, 5, "A"}, {0x12, 6, "B"}});
  struct Case {
    const char* what;
    std::string bytes;
    bool readable;
    bool released;
    bool taken;
  };
  std::string badHex = good;
  badHex[2 + 3] = 'G';
  std::string badChip = good;
  badChip[2 + 15] = 'A';
  std::string badUtf8 = good;
  badUtf8[2 + 16] = '\xC4';
  const Case cases[] = {
      {"whole", good, true, true, true},
      {"empty", "", false, false, false},
      {"no terminator at all", "VARNELD MT", false, false, false},
      {"names only", std::string("N\0", 2), true, false, false},
      {"taken half cut", good.substr(0, good.size() - 1), true, true, false},
      {"released half cut inside the digits", good.substr(0, 10), true, false, false},
      {"non-hex digit", badHex, true, false, true},
      {"chip type above 9", badChip, true, false, true},
      {"text not UTF-8", badUtf8, true, false, true},
      {"short half", std::string("N\0001234\0", 8), true, false, false},
      {"trailing bytes ignored", good + "junk", true, true, true},
      {"oversized", good + std::string(kMaxChangeNoticeSize, 'x'), false, false, false},
  };
  for (const Case& c : cases) {
    const ParsedNotice parsed = ParseChangeNotice(c.bytes);
    EXPECT_EQ(parsed.readable, c.readable) << c.what;
    EXPECT_EQ(parsed.releasedParsed, c.released) << c.what;
    EXPECT_EQ(parsed.takenParsed, c.taken) << c.what;
    if (!c.released) {
      EXPECT_TRUE(parsed.notice.released.text.empty()) << c.what;
    }
    if (!c.taken) {
      EXPECT_TRUE(parsed.notice.taken.text.empty()) << c.what;
    }
  }
  // Lower-case digits from another sender are read too.
  const ParsedNotice lower =
      ParseChangeNotice(std::string("\0000000abcd00000001x\0"
                                    "0000000000000003none\0",
                                    41));
  EXPECT_TRUE(lower.releasedParsed && lower.takenParsed);
  EXPECT_EQ(lower.notice.released.location, 0xABCDu);
}

TEST(ChangeNoticeTest, ApplyingMovesDevicesBetweenInstances) {
  const DeviceList base = ListOf({"0=none", "17=VARNELD MT A1", "18=VARNELD MT B2"});
  const NameFilter all("", false);
  const NameFilter meters("VARNELD MT", false);
  auto notice = [](const char* names, NoticeDevice released, NoticeDevice taken) {
    return ParseChangeNotice(EncodeChangeNotice({names, released, taken}));
  };
  struct Case {
    const char* what;
    ParsedNotice parsed;
    const NameFilter* filter;
    NoticeResult result;
    bool changed;
    std::vector<std::string> entries;
  };
  const std::vector<std::string> unchanged = Texts(base);
  const Case cases[] = {
      {"taken elsewhere: removed",
       notice("VARNELD MT", {0, 3, "none"}, {17, 5, "VARNELD MT A1"}),
       &meters,
       NoticeResult::Applied,
       true,
       {"0=none", "18=VARNELD MT B2"}},
      {"taken one compared ignoring case",
       notice("", {0, 3, "none"}, {17, 5, "varneld mt a1"}),
       &all,
       NoticeResult::Applied,
       true,
       {"0=none", "18=VARNELD MT B2"}},
      {"released elsewhere: back by the insertion rule",
       notice("", {16, 5, "FT X"}, {0, 3, "żaden"}),
       &all,
       NoticeResult::Applied,
       true,
       {"0=none", "16=FT X", "17=VARNELD MT A1", "18=VARNELD MT B2"}},
      {"released one already listed", notice("", {18, 5, "VARNELD MT B2"}, {0, 3, "none"}), &all,
       NoticeResult::Applied, false, unchanged},
      {"released one not accepted here", notice("", {16, 5, "OTHER"}, {0, 3, "none"}), &meters,
       NoticeResult::Applied, false, unchanged},
      {"sender's names do not concern us",
       notice("OTHER|THIRD", {0, 3, "none"}, {17, 5, "VARNELD MT A1"}), &meters,
       NoticeResult::Ignored, false, unchanged},
      {"one of the sender's names, with unit number, concerns us",
       notice("OTHER|VARNELD MT 2/2", {0, 3, "none"}, {17, 5, "VARNELD MT A1"}),
       &meters,
       NoticeResult::Applied,
       true,
       {"0=none", "18=VARNELD MT B2"}},
      {"a half that does not parse asks for a rebuild",
       ParseChangeNotice(std::string("VARNELD MT\0zz", 13)), &meters, NoticeResult::Rebuild, false,
       unchanged},
      {"nothing readable asks for a rebuild", ParseChangeNotice(""), &meters, NoticeResult::Rebuild,
       false, unchanged},
  };
  for (const Case& c : cases) {
    DeviceList list = base;
    const NoticeOutcome outcome = ApplyChangeNotice(list, c.parsed, *c.filter);
    EXPECT_EQ(outcome.result, c.result) << c.what;
    EXPECT_EQ(outcome.changed, c.changed) << c.what;
    EXPECT_EQ(Texts(list), c.entries) << c.what;
  }
}

TEST(OpenDeviceListTest, ParsesUntrustedEntriesAndMergesNewLocations) {
  const std::string bytes = std::string("0000001100000005VARNELD MT A1\0", 30) +
                            std::string("0000002200000006VARNELD MT 1/2\0", 31) +
                            std::string("00000033000000zzVARNELD MT D4\0", 30) +
                            std::string("short\0", 6) + std::string("\0", 1) +
                            std::string("0000004400000005\xFF\xFE\0", 19) + "0000005500000007OTHER";
  const std::vector<NoticeDevice> devices = ParseOpenDeviceList(bytes);
  ASSERT_EQ(devices.size(), 3u);
  EXPECT_EQ(devices[0], (NoticeDevice{0x11, 5, "VARNELD MT A1"}));
  EXPECT_EQ(devices[1], (NoticeDevice{0x22, 6, "VARNELD MT 1/2"}));
  EXPECT_EQ(devices[2], (NoticeDevice{0x55, 7, "OTHER"}));
  EXPECT_TRUE(ParseOpenDeviceList(std::string(kMaxOpenDeviceListSize + 1, '0')).empty());

  // Merged before the "none" entry is put in front: a location already
  // listed is kept, a text the filter refuses is left out.
  DeviceList list = ListOf({"17=VARNELD MT A1"});
  MergeOpenDevices(list, devices, NameFilter("VARNELD MT", false));
  EXPECT_EQ(Texts(list), (std::vector<std::string>{"17=VARNELD MT A1", "34=VARNELD MT 1/2"}));
}

}  // namespace
}  // namespace quorvel::usb
