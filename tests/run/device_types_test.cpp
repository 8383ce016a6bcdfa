#include "run/device_types.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "app/globals.h"
#include "run/line_settings.h"

namespace quorvel {
namespace {

// Sets Language for one test and puts the previous value back.
class LanguageGuard {
 public:
  explicit LanguageGuard(uint8_t language) : saved_(Language) { Language = language; }
  ~LanguageGuard() { Language = saved_; }

 private:
  uint8_t saved_;
};

TEST(DeviceTypesTest, RowsCarryTheirLinkAndSwitchSettings) {
  const auto& rows = DeviceTypes();
  ASSERT_EQ(rows.size(), 33u);
  EXPECT_EQ(rows[0].Name, "-");
  EXPECT_EQ(rows[0].LinkKind, TLinkKind::None);

  const TDevAvailData& trpUsb = rows[2];
  EXPECT_EQ(trpUsb.Name, "TRP-40");
  EXPECT_EQ(trpUsb.DevCode, 2);
  EXPECT_EQ(trpUsb.Variant, 0);
  EXPECT_EQ(trpUsb.LinkKind, TLinkKind::Usb);
  EXPECT_EQ(trpUsb.BaudIndex, br115200);
  EXPECT_EQ(trpUsb.MinAppVersion, "2.2.0021");
  EXPECT_EQ(trpUsb.UsbNames, "TRP-40");
  EXPECT_EQ(trpUsb.AppAddrBoot, 0x66);
  const std::vector<uint8_t> zewkari{'Z', 'E', 'W', 'K', 'A', 'R', 'I', 0};
  EXPECT_EQ(trpUsb.BootRequestData, zewkari);

  const TDevAvailData& trpSerial = rows[3];
  EXPECT_EQ(trpSerial.Variant, 1);
  EXPECT_EQ(trpSerial.LinkKind, TLinkKind::Serial);
  EXPECT_EQ(trpSerial.BaudIndex, br038400);
  EXPECT_EQ(trpSerial.UsbNames, "");
  EXPECT_EQ(trpSerial.BootRequestData, zewkari);

  const TDevAvailData& m530 = rows[5];
  EXPECT_EQ(m530.DevCode, 6);
  EXPECT_EQ(m530.RtsState, 1);
  EXPECT_EQ(m530.DtrState, 0);
  EXPECT_EQ(m530.BootRequestData, (std::vector<uint8_t>{0x3C, 0x95}));

  const TDevAvailData& btq485 = rows[10];
  EXPECT_EQ(btq485.Name, "BTQ-20 .RS485");
  EXPECT_EQ(btq485.DevCode, 11);
  EXPECT_EQ(btq485.Rs485, 1);
  EXPECT_EQ(btq485.MinAppVersion, "1.1.0001");

  const TDevAvailData& fes = rows[15];
  EXPECT_EQ(fes.DevCode, 18);
  EXPECT_EQ(fes.BaudIndex, br125000);
  EXPECT_EQ(fes.UsbNames, "WX-310C|KMB-RSVI");
  EXPECT_TRUE(fes.BootRequestData.empty());

  const TDevAvailData& bar = rows[28];
  EXPECT_EQ(bar.OrderText, "PCB3.0");
  EXPECT_EQ(bar.BaudIndex, br009600);
  EXPECT_EQ(bar.UsbNames, "BAR-C|USB-LNK");

  EXPECT_EQ(rows[29].OrderText, "PCB1.12");
  EXPECT_EQ(rows[30].AppAddrBoot, 0x5F);
  EXPECT_EQ(rows[32].Name, "D.QEA-310");
  EXPECT_EQ(rows[32].DevCode, 36);
}

TEST(DeviceTypesTest, ColumnCountsOverTheWholeTable) {
  const auto& rows = DeviceTypes();
  auto count = [&](auto pred) { return std::count_if(rows.begin(), rows.end(), pred); };
  EXPECT_EQ(count([](const auto& r) { return r.LinkKind == TLinkKind::Usb; }), 16);
  EXPECT_EQ(count([](const auto& r) { return r.LinkKind == TLinkKind::Serial; }), 16);
  EXPECT_EQ(count([](const auto& r) { return r.BaudIndex == br125000; }), 9);
  EXPECT_EQ(count([](const auto& r) { return r.BaudIndex == br009600; }), 9);
  EXPECT_EQ(count([](const auto& r) { return r.AppSwitch == 0; }), 2);
  EXPECT_EQ(count([](const auto& r) { return r.AppAddrBoot == 0x66; }), 28);
  EXPECT_EQ(count([](const auto& r) { return r.MinAppVersion.empty(); }), 7);
  EXPECT_EQ(count([](const auto& r) { return !r.UsbNames.empty(); }), 18);
  EXPECT_EQ(count([](const auto& r) {
              return r.BootRequestData == std::vector<uint8_t>{0x5B, 0x27};
            }),
            10);
  for (const auto& row : rows) {
    SCOPED_TRACE(row.Name);
    EXPECT_EQ(row.ParityIndex, pbNone);
    EXPECT_EQ(row.DataBitsIndex, dbEight);
    EXPECT_EQ(row.StopBitsIndex, sbOne);
    EXPECT_EQ(row.AppAddrIdentify, 0x01);
  }
  // Every selectable device code has a model name.
  for (size_t i = 1; i < rows.size(); ++i) {
    bool found = false;
    DeviceNameOf(rows[i].DevCode, found);
    EXPECT_TRUE(found) << rows[i].Name;
  }
}

TEST(DeviceTypesTest, DeviceNameOfLooksUpTheCodeTable) {
  struct Case {
    int32_t code;
    const char* name;
    bool found;
  };
  const Case cases[] = {
      {0, "", false},           {9, "", false},       {-3, "", false},
      {INT32_MIN, "", false},   {37, "", false},      {1, "KV-310", true},
      {5, "TRP-140_old", true}, {11, "BTQ-20", true}, {35, "KMB-RSV", true},
      {36, "D.QEA-310", true},
  };
  for (const Case& c : cases) {
    bool found = !c.found;
    EXPECT_EQ(DeviceNameOf(c.code, found), c.name) << c.code;
    EXPECT_EQ(found, c.found) << c.code;
    EXPECT_EQ(DeviceNameOf(c.code), c.name) << c.code;
  }
  const auto& codes = DeviceCodeNames();
  EXPECT_EQ(codes.front().Code, 0);
  EXPECT_TRUE(std::is_sorted(codes.begin(), codes.end(),
                             [](const auto& a, const auto& b) { return a.Code < b.Code; }));
}

struct ListPosition {
  size_t index;
  const char* name;
  TLinkKind linkKind;
};

TEST(DeviceListTest, SortsByNameThenLinkKindThenVariantOrOrderText) {
  LanguageGuard english(1);
  const TDevAvailArray list = BuildDeviceList();
  ASSERT_EQ(list.size(), kDeviceTypeCount);
  const ListPosition positions[] = {
      {0, "Unknown device", TLinkKind::None},
      {1, "BAR", TLinkKind::Usb},
      {6, "GRV-301S", TLinkKind::Serial},
      {7, "GRV-30x", TLinkKind::Serial},
      {8, "H-310", TLinkKind::Serial},
      {9, "HOX-27", TLinkKind::Serial},
      {14, "KMB-RSV Series", TLinkKind::Serial},
      {19, "M-530", TLinkKind::Serial},
      {20, "M-66", TLinkKind::Serial},
      {28, "TRP-140", TLinkKind::Serial},
      {29, "TRP-40", TLinkKind::Serial},
      {30, "TRP-40", TLinkKind::Usb},
      {32, "Y-310", TLinkKind::Usb},
  };
  for (const ListPosition& p : positions) {
    EXPECT_EQ(list[p.index].Name, p.name) << p.index;
    EXPECT_EQ(list[p.index].LinkKind, p.linkKind) << p.index;
  }
  EXPECT_EQ(list[29].Variant, 1);
}

TEST(DeviceListTest, UnknownDeviceIsNamedInTheCurrentLanguage) {
  {
    LanguageGuard polish(0);
    EXPECT_EQ(BuildDeviceList()[0].Name, "Nieznane urządzenie");
    EXPECT_EQ(LinkKindName(TLinkKind::None), "żaden");
  }
  LanguageGuard english(1);
  EXPECT_EQ(BuildDeviceList()[0].Name, "Unknown device");
  EXPECT_EQ(LinkKindName(TLinkKind::None), "none");
  EXPECT_EQ(LinkKindName(TLinkKind::Serial), "COM");
  EXPECT_EQ(LinkKindName(TLinkKind::Usb), "USB");
  EXPECT_EQ(LinkKindName(static_cast<TLinkKind>(3)), "");
  // The table itself keeps its "-".
  EXPECT_EQ(DeviceTypes()[0].Name, "-");
}

TDevAvailData MakeRow(const char* name, TLinkKind linkKind, uint16_t variant,
                      const char* orderText = "") {
  TDevAvailData row;
  row.Name = name;
  row.LinkKind = linkKind;
  row.Variant = variant;
  row.OrderText = orderText;
  return row;
}

std::vector<uint16_t> Variants(const TDevAvailArray& list) {
  std::vector<uint16_t> out;
  for (const auto& row : list) out.push_back(row.Variant);
  return out;
}

TEST(DeviceListTest, CompositeKeyDependsOnThePairCompared) {
  struct Case {
    const char* what;
    TDevAvailArray rows;
    std::vector<uint16_t> expected;  // variants in display order
  };
  const TDevAvailData first = MakeRow("-", TLinkKind::None, 999);
  const Case cases[] = {
      {"variant as hex text, case ignored in names",
       {first, MakeRow("X", TLinkKind::Serial, 0x0A), MakeRow("x", TLinkKind::Serial, 0x02)},
       {999, 0x02, 0x0A}},
      {"variants compare as text, not as numbers",
       {first, MakeRow("X", TLinkKind::Serial, 0xFF), MakeRow("X", TLinkKind::Serial, 0x1AB),
        MakeRow("X", TLinkKind::Serial, 0x0F)},
       {999, 0x0F, 0x1AB, 0xFF}},
      {"COM before USB before the variant",
       {first, MakeRow("X", TLinkKind::Usb, 0), MakeRow("X", TLinkKind::Serial, 5)},
       {999, 5, 0}},
      {"an order text replaces the variant of both rows",
       {first, MakeRow("X", TLinkKind::Serial, 0, "0"), MakeRow("X", TLinkKind::Serial, 5)},
       {999, 5, 0}},
      {"order texts against each other",
       {first, MakeRow("X", TLinkKind::Serial, 1, "pcb3"),
        MakeRow("X", TLinkKind::Serial, 2, "PCB2")},
       {999, 2, 1}},
      {"row 0 stays first",
       {MakeRow("zzz", TLinkKind::None, 999), MakeRow("A", TLinkKind::Serial, 1)},
       {999, 1}},
  };
  for (const Case& c : cases) {
    TDevAvailArray list = c.rows;
    SortDeviceRows(list);
    EXPECT_EQ(Variants(list), c.expected) << c.what;
  }
}

TEST(DeviceDisplayTextsTest, SharedNamesGetOrderTextAndLinkKind) {
  LanguageGuard english(1);
  const TDevAvailArray list = BuildDeviceList();
  const std::vector<std::string> texts = DeviceDisplayTexts(list);
  ASSERT_EQ(texts.size(), list.size());
  EXPECT_EQ(texts[0], "Unknown device");
  EXPECT_EQ(texts[29], "TRP-40 .COM");
  EXPECT_EQ(texts[30], "TRP-40 .USB");
  for (size_t i = 0; i < texts.size(); ++i) {
    if (i != 29 && i != 30) {
      EXPECT_EQ(texts[i], list[i].Name) << i;
    }
  }

  struct Case {
    const char* what;
    TDevAvailArray rows;
    std::vector<std::string> expected;
  };
  const TDevAvailData first = MakeRow("-", TLinkKind::None, 0);
  const Case cases[] = {
      {"order text and link differ",
       {first, MakeRow("BAR", TLinkKind::Usb, 0, "PCB3.0"),
        MakeRow("bar", TLinkKind::Serial, 0, "PCB2")},
       {"-", "BAR_PCB3.0 .USB", "bar_PCB2 .COM"}},
      {"only the order text differs",
       {first, MakeRow("M-66", TLinkKind::Serial, 0, "PCB1.12"),
        MakeRow("M-66", TLinkKind::Serial, 1)},
       {"-", "M-66_PCB1.12", "M-66_"}},
      {"nothing but the name's case differs",
       {first, MakeRow("Abc", TLinkKind::Serial, 0), MakeRow("ABC", TLinkKind::Serial, 1)},
       {"-", "Abc", "ABC"}},
      {"a later pair overwrites an earlier one",
       {first, MakeRow("Y", TLinkKind::Serial, 0), MakeRow("Y", TLinkKind::Usb, 1),
        MakeRow("Y", TLinkKind::Serial, 2, "p")},
       {"-", "Y_", "Y_ .USB", "Y_p .COM"}},
      {"row 0 never pairs",
       {MakeRow("Z", TLinkKind::None, 0), MakeRow("Z", TLinkKind::Serial, 0)},
       {"Z", "Z"}},
  };
  for (const Case& c : cases) EXPECT_EQ(DeviceDisplayTexts(c.rows), c.expected) << c.what;
}

TEST(DeviceDisplayTextsTest, PolishNoneNameInDecoratedTexts) {
  LanguageGuard polish(0);
  const TDevAvailArray rows{MakeRow("-", TLinkKind::None, 0), MakeRow("Q", TLinkKind::None, 0),
                            MakeRow("q", TLinkKind::Serial, 0)};
  EXPECT_EQ(DeviceDisplayTexts(rows), (std::vector<std::string>{"-", "Q .żaden", "q .COM"}));
}

TEST(DeviceDisplayTextsTest, FindIgnoresCaseIncludingPolishLetters) {
  {
    LanguageGuard polish(0);
    const TDevAvailArray list = BuildDeviceList();
    EXPECT_EQ(FindDeviceByDisplayText(list, "NIEZNANE URZĄDZENIE"), 0);
  }
  LanguageGuard english(1);
  const TDevAvailArray list = BuildDeviceList();
  EXPECT_EQ(FindDeviceByDisplayText(list, "trp-40 .usb"), 30);
  EXPECT_EQ(FindDeviceByDisplayText(list, "TRP-40 .COM"), 29);
  EXPECT_EQ(FindDeviceByDisplayText(list, "TRP-40"), -1);
  EXPECT_EQ(FindDeviceByDisplayText(list, "m-66"), 20);
  EXPECT_EQ(FindDeviceByDisplayText(list, ""), -1);
}

// --- Device rules -----------------------------------------------------------

// The codes whose user application has identify and enter-bootloader
// requests, written out one by one.
constexpr uint16_t kCodesWithAppRequests[] = {2,  6,  7,  8,  10, 11, 12, 13, 14, 15,
                                              16, 17, 18, 19, 20, 21, 22, 23, 25, 26,
                                              27, 28, 29, 30, 31, 32, 33, 34, 35, 36};

TEST(DeviceRulesTest, CodesWithApplicationRequests) {
  for (uint32_t code = 0; code <= 0xFFFF; ++code) {
    const bool listed =
        std::count(std::begin(kCodesWithAppRequests), std::end(kCodesWithAppRequests), code) == 1;
    const auto c = static_cast<uint16_t>(code);
    ASSERT_EQ(HasAppRequests(c), listed) << code;
    ASSERT_EQ(EntersBootloaderOnAnswer(c), listed && code != 11) << code;
    ASSERT_EQ(IsBusDeviceCode(c), code == 11) << code;
    ASSERT_EQ(HandsOverStartBytes(c), code == 6) << code;
  }
}

// What each row of the table does with its user application: whether the
// program talks to it, whether any answer to the enter-bootloader request
// means the restart, whether it sits on an RS-485 bus, whether it hands over
// start bytes.
struct RowRules {
  const char* name;
  TLinkKind linkKind;
  bool addresses;
  bool entersOnAnswer;
  bool bus;
  bool startBytes;
};

constexpr RowRules kRowRules[kDeviceTypeCount] = {
    {"-", TLinkKind::None, false, false, false, false},
    {"KV-310", TLinkKind::Serial, false, false, false, false},
    {"TRP-40", TLinkKind::Usb, true, true, false, false},
    {"TRP-40", TLinkKind::Serial, true, true, false, false},
    {"HOX-27", TLinkKind::Serial, false, false, false, false},
    {"M-530", TLinkKind::Serial, true, true, false, true},
    {"GRV-30x", TLinkKind::Serial, true, true, false, false},
    {"GRV-301S", TLinkKind::Serial, true, true, false, false},
    {"SKE-150", TLinkKind::Serial, true, true, false, false},
    {"BTQ-20 .RS232", TLinkKind::Serial, true, false, false, false},
    {"BTQ-20 .RS485", TLinkKind::Serial, true, false, true, false},
    {"RZ-303", TLinkKind::Serial, true, true, false, false},
    {"WEN-20", TLinkKind::Serial, true, true, false, false},
    {"PAXL-20", TLinkKind::Usb, true, true, false, false},
    {"KMB-EQ 60A", TLinkKind::Usb, true, true, false, false},
    {"FES-20", TLinkKind::Usb, true, true, false, false},
    {"KMB-RSV 140 Sensor", TLinkKind::Usb, true, true, false, false},
    {"M-310", TLinkKind::Usb, true, true, false, false},
    {"KMB-RSV 240 Sensor", TLinkKind::Usb, true, true, false, false},
    {"M-320", TLinkKind::Usb, true, true, false, false},
    {"M-330", TLinkKind::Usb, true, true, false, false},
    {"Y-310", TLinkKind::Usb, false, false, false, false},
    {"H-310", TLinkKind::Serial, true, true, false, false},
    {"KMB-RSV Series", TLinkKind::Serial, true, true, false, false},
    {"J-20", TLinkKind::Usb, true, true, false, false},
    {"NOV-3 Driver", TLinkKind::Serial, true, true, false, false},
    {"TRP-140", TLinkKind::Serial, true, true, false, false},
    {"QEX-3TKP", TLinkKind::Usb, true, true, false, false},
    {"BAR", TLinkKind::Usb, true, true, false, false},
    {"M-66", TLinkKind::Serial, true, true, false, false},
    {"OTO-KR", TLinkKind::Usb, true, true, false, false},
    {"OTO-ZN", TLinkKind::Usb, true, true, false, false},
    {"D.QEA-310", TLinkKind::Usb, true, true, false, false},
};

TEST(DeviceRulesTest, EveryRowOfTheTable) {
  const std::vector<uint8_t> startBytes{0xA1, 0xB2};
  const std::vector<uint8_t> busAddress300{0x2C, 0x01};  // 300, low byte first
  for (size_t i = 0; i < kDeviceTypeCount; ++i) {
    const TDevAvailData& row = DeviceTypes()[i];
    const RowRules& rules = kRowRules[i];
    SCOPED_TRACE(row.Name);
    ASSERT_EQ(row.Name, rules.name);
    ASSERT_EQ(row.LinkKind, rules.linkKind);
    EXPECT_EQ(AddressesApplication(row), rules.addresses);
    EXPECT_EQ(EntersBootloaderOnAnswer(row.DevCode), rules.entersOnAnswer);
    EXPECT_EQ(IsRs485Bus(row), rules.bus);
    EXPECT_EQ(HandsOverStartBytes(row.DevCode), rules.startBytes);

    const std::vector<uint8_t>& access = row.BootRequestData;
    std::vector<uint8_t> identify;
    std::vector<uint8_t> boot;
    std::vector<uint8_t> bootWithoutAddress = access;
    if (rules.startBytes) {
      identify = {0xFF, 0xFF};
      boot = startBytes;
      boot.insert(boot.end(), access.begin(), access.end());
    } else if (rules.bus) {
      identify = busAddress300;
      boot = busAddress300;
      boot.insert(boot.end(), access.begin(), access.end());
      bootWithoutAddress.clear();
    } else if (IsBusDeviceCode(row.DevCode)) {
      // The bus device on a point-to-point line: no access data at all.
      boot.clear();
      bootWithoutAddress.clear();
    } else {
      boot = access;
    }
    EXPECT_EQ(IdentifyRequestData(row, 300), identify);
    EXPECT_EQ(BootRequestData(row, startBytes, 300), boot);
    EXPECT_EQ(BootRequestData(row, startBytes, std::nullopt),
              rules.startBytes ? boot : bootWithoutAddress);
  }
}

// The start bytes of an earlier identify reply are the caller's to keep:
// without any, the request carries the row's access code alone.
TEST(DeviceRulesTest, StartBytesComeFromTheCallerNotTheRow) {
  const TDevAvailData& m530 = DeviceTypes()[5];
  ASSERT_EQ(m530.DevCode, 6);
  EXPECT_EQ(BootRequestData(m530, {}, std::nullopt), (std::vector<uint8_t>{0x3C, 0x95}));
  EXPECT_EQ(m530.BootRequestData, (std::vector<uint8_t>{0x3C, 0x95}));
}

}  // namespace
}  // namespace quorvel
