// The main window driven as a user drives it: its texts in both languages
// and editions, the three lists and what choosing in them changes, keys in
// an open list, the bus address rule, the serial settings button, hot-plug,
// the settings round trip and the file commands.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QButtonGroup>
#include <QDir>
#include <QDropEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "datafile/data_file.h"
#include "dialogs/link_label.h"
#include "dialogs/network_port_dialog.h"
#include "dialogs/serial_settings_dialog.h"
#include "process_runner.h"
#include "run/device_types.h"
#include "serial/port_list_service.h"
#include "window/file_combo_box.h"
#include "window/main_form.h"
#include "window/port_source.h"
#include "window_test_support.h"

namespace quorvel {
namespace {

using testing::AnswerNext;
using testing::AnswerNextBox;
using testing::AnswerNextFileDialog;
using testing::ChooseEntry;
using testing::ProgramScope;

std::string SampleHex() {
  return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
}

QStringList Items(const QComboBox* list) {
  QStringList items;
  for (int i = 0; i < list->count(); ++i) items << list->itemText(i);
  return items;
}

class MainFormTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    testing::ClearStoredSettings();
  }
  void TearDown() override {
    form_.reset();
    for (const std::string& port : extraPorts_) PortListService::Instance().RemoveExtraPort(port);
    testing::ClearStoredSettings();
  }

  // Stores what the next window restores.
  static void Store(const QString& key, const QVariant& value) {
    QSettings(QStringLiteral("VARNELD"), SettingsApplicationName()).setValue(key, value);
  }

  TMainForm& Open() {
    form_ = std::make_unique<TMainForm>();
    form_->show();
    return *form_;
  }

  std::string Path(const QString& name) const { return dir_.filePath(name).toStdString(); }

  // A file with some text in the test's folder.
  std::string MakeFile(const QString& name, const std::string& text = "x") const {
    std::ofstream(Path(name)) << text;
    return Path(name);
  }

  // An encoded data file for a device row.
  std::string MakeEncoded(const QString& name, const TDevAvailData& row) const {
    const DataFileContents hex = ReadDataFile(SampleHex(), kAcceptHex);
    EXPECT_EQ(hex.Result, DataFileResult::HexFileLoaded);
    const FirmwareImage& image = hex.Image;
    EXPECT_TRUE(WriteDataFile(Path(name), image.ImageData, nullptr, row.DevCode, row.Variant,
                              image.ImageStart));
    return Path(name);
  }

  // A port the system does not list, plugged in.
  std::string PlugPort(const QString& name) {
    const std::string port = MakeFile(name);
    PortListService::Instance().AddExtraPort(port);
    extraPorts_.push_back(port);
    return port;
  }
  void UnplugPort(const std::string& port) {
    PortListService::Instance().RemoveExtraPort(port);
    extraPorts_.erase(std::find(extraPorts_.begin(), extraPorts_.end(), port));
  }

  static int Row(const TMainForm& form, const std::string& text) {
    return FindDeviceByDisplayText(form.Devices(), text);
  }
  static bool ChooseDevice(TMainForm& form, const std::string& text) {
    return ChooseEntry(form.DeviceList(), QString::fromStdString(text));
  }
  static bool Listed(const TMainForm& form, const std::string& port) {
    return form.PortList()->findText(QString::fromStdString(port)) >= 0;
  }

  QTemporaryDir dir_;
  std::unique_ptr<TMainForm> form_;
  std::vector<std::string> extraPorts_;
};

struct TextsCase {
  uint8_t language;
  uint8_t edition;
  const char* caption;
  const char* unknownDevice;
  const char* none;
  std::vector<const char*> labels;  // device, port, file
  std::vector<const char*> menus;
  const char* program;
};

TEST_F(MainFormTest, StartsReadyWithTheTextsOfTheLanguageAndEdition) {
  const std::vector<TextsCase> cases = {
      {0,
       0,
       "Quorvel",
       "Nieznane urządzenie",
       "żaden",
       {"Typ urządzenia:", "Port komunikacji:", "Plik danych:"},
       {"Polecenie", "Pomoc"},
       "Programuj"},
      {1,
       0,
       "Quorvel",
       "Unknown device",
       "none",
       {"Device type:", "Comm port:", "Data file:"},
       {"Command", "Help"},
       "Program"},
      {1,
       1,
       "QuorvelKMB",
       "Unknown device",
       "none",
       {"Device type:", "Comm port:", "Data file:"},
       {"Command", "Help"},
       "Program"},
  };
  for (const TextsCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "language " << int(c.language) << " edition " << int(c.edition));
    ProgramScope program(c.language, c.edition);
    TMainForm& form = Open();
    EXPECT_EQ(form.windowTitle().toStdString(), c.caption);
    EXPECT_EQ(form.DeviceList()->currentIndex(), 0);
    EXPECT_EQ(form.DeviceList()->currentText().toStdString(), c.unknownDevice);
    EXPECT_EQ(Items(form.PortList()), QStringList{QString::fromUtf8(c.none)});
    EXPECT_EQ(form.FileList()->count(), 0);
    QStringList labels;
    for (QComboBox* list : {form.DeviceList(), form.PortList(), form.FileList()}) {
      labels << list->accessibleName();
    }
    EXPECT_EQ(labels.join('|').toStdString(),
              QStringList({c.labels[0], c.labels[1], c.labels[2]}).join('|').toStdString());
    QStringList menus;
    for (QAction* menu : form.menuBar()->actions()) menus << menu->text();
    EXPECT_EQ(menus, QStringList({c.menus[0], c.menus[1]}));
    EXPECT_EQ(form.ProgramButton()->text().toStdString(), c.program);
    EXPECT_FALSE(form.ProgramAction()->isEnabled());
    EXPECT_FALSE(form.EncodeAction()->isEnabled());
    EXPECT_FALSE(form.SaveLogAction()->isEnabled());
    EXPECT_FALSE(form.ParamButton()->isVisible());
    EXPECT_FALSE(form.AddressField()->isVisible());
    // The maker's logo, with its web address in the status line, only in
    // the maker's edition.
    EXPECT_EQ(form.Logo() != nullptr, c.edition == 0);
    if (form.Logo() != nullptr) {
      EXPECT_EQ(form.Logo()->cursor().shape(), Qt::PointingHandCursor);
      EXPECT_TRUE(form.Logo()->statusTip().contains(QStringLiteral("http")));
    }
    // One size: the window cannot be resized.
    EXPECT_EQ(form.minimumSize(), form.maximumSize());
    testing::ExpectAccessibleNames(&form);
    form.close();
  }
}

TEST_F(MainFormTest, DeviceListIsSortedAfterTheUnknownDevice) {
  ProgramScope program(1);
  TMainForm& form = Open();
  const QStringList items = Items(form.DeviceList());
  ASSERT_EQ(items.size(), static_cast<qsizetype>(kDeviceTypeCount));
  for (qsizetype i = 2; i < items.size(); ++i) {
    EXPECT_LE(items[i - 1].compare(items[i], Qt::CaseInsensitive), 0)
        << items[i - 1].toStdString() << " before " << items[i].toStdString();
  }
  // A name with a serial and a USB row shows the link kind.
  EXPECT_GE(items.indexOf(QStringLiteral("TRP-40 .COM")), 1);
  EXPECT_GE(items.indexOf(QStringLiteral("TRP-40 .USB")), 1);
}

struct RowCase {
  const char* device;
  const char* portLabel;
  bool paramShown;
  bool addressShown;
  const char* caption;  // of the serial settings button
};

TEST_F(MainFormTest, DeviceTypeChoosesPortListLabelAndCompanions) {
  ProgramScope program(1);
  TMainForm& form = Open();
  const std::vector<RowCase> cases = {
      {"KV-310", "Comm port:", true, false, "9600 N 8 1"},
      {"GRV-30x", "Comm port:", true, false, "38400 N 8 1"},
      {"TRP-40 .USB", "USB device:", false, false, ""},
      {"BTQ-20 .RS485", "Comm port:", false, true, ""},
      {"Unknown device", "Comm port:", false, false, ""},
  };
  for (const RowCase& c : cases) {
    SCOPED_TRACE(c.device);
    ASSERT_TRUE(ChooseDevice(form, c.device));
    EXPECT_EQ(form.HandledIndex(form.DeviceList()), form.DeviceList()->currentIndex());
    EXPECT_EQ(form.PortLabel()->text().toStdString(), c.portLabel);
    EXPECT_EQ(form.PortList()->accessibleName().toStdString(), c.portLabel);
    EXPECT_EQ(form.ParamButton()->isVisible(), c.paramShown);
    EXPECT_EQ(form.AddressField()->isVisible(), c.addressShown);
    EXPECT_EQ(form.AddressLabel()->isVisible(), c.addressShown);
    if (c.paramShown) {
      EXPECT_EQ(form.ParamButton()->text().toStdString(), c.caption);
    }
    EXPECT_FALSE(form.ProgramAction()->isEnabled());
  }
  // The unknown device empties the port list to the none entry; a USB row
  // without a USB device list shows only that entry too.
  EXPECT_EQ(Items(form.PortList()), QStringList{QStringLiteral("none")});
  ASSERT_TRUE(ChooseDevice(form, "TRP-40 .USB"));
  EXPECT_EQ(Items(form.PortList()), QStringList{QStringLiteral("none")});
}

TEST_F(MainFormTest, BusAddressMustBeAWholeNumberFrom1To65534) {
  ProgramScope program(1);
  const std::string port = PlugPort(QStringLiteral("bus-port"));
  Store(QStringLiteral("History"), QString::fromStdString(MakeFile(QStringLiteral("fw.qvl"))));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "BTQ-20 .RS485"));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QString::fromStdString(port)));
  const std::vector<std::pair<const char*, bool>> cases = {
      {"", false},   {"0", false}, {"65535", false}, {"12a", false},
      {"-1", false}, {"1", true},  {"65534", true},  {"300", true}};
  for (const auto& [typed, valid] : cases) {
    SCOPED_TRACE(typed);
    form.AddressField()->selectAll();
    QTest::keyClick(form.AddressField(), Qt::Key_Delete);
    QTest::keyClicks(form.AddressField(), typed);
    EXPECT_EQ(form.AddressField()->text().toStdString(), typed);
    EXPECT_EQ(form.ProgramAction()->isEnabled(), valid);
    EXPECT_EQ(form.ProgramButton()->isEnabled(), valid);
    EXPECT_EQ(form.EncodeAction()->isEnabled(), valid);
    EXPECT_EQ(form.ParamButton()->isVisible(), valid);
  }
}

TEST_F(MainFormTest, SettingsButtonTurnsRedWhenTheLineDiffersFromTheDefaults) {
  ProgramScope program(1);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "GRV-30x"));
  const QColor plain = form.ParamButton()->palette().color(QPalette::ButtonText);
  EXPECT_EQ(form.ParamButton()->text().toStdString(), "38400 N 8 1");
  EXPECT_EQ(form.ParamButton()->toolTip().toStdString(), "Comm port settings");

  AnswerNext<SerialSettingsDialog>([](SerialSettingsDialog* dialog) {
    dialog->ParityButtons()->button(pbEven)->click();
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(form.ParamButton(), Qt::LeftButton);
  EXPECT_EQ(form.ParamButton()->text().toStdString(), "38400 E 8 1");
  EXPECT_EQ(form.ParamButton()->toolTip().toStdString(),
            "Comm port settings (different from default !)");
  EXPECT_EQ(form.ParamButton()->palette().color(QPalette::ButtonText), QColor(Qt::red));
  EXPECT_EQ(form.SerialParams().Parity, pbEven);

  // Cancel changes nothing; the defaults make it plain again.
  AnswerNext<SerialSettingsDialog>([](SerialSettingsDialog* dialog) {
    QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
  });
  QTest::mouseClick(form.ParamButton(), Qt::LeftButton);
  EXPECT_EQ(form.SerialParams().Parity, pbEven);
  AnswerNext<SerialSettingsDialog>([](SerialSettingsDialog* dialog) {
    QTest::mouseClick(dialog->DefaultButton(), Qt::LeftButton);
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  });
  QTest::mouseClick(form.ParamButton(), Qt::LeftButton);
  EXPECT_EQ(form.ParamButton()->text().toStdString(), "38400 N 8 1");
  EXPECT_EQ(form.ParamButton()->palette().color(QPalette::ButtonText), plain);
  EXPECT_EQ(form.ParamButton()->toolTip().toStdString(), "Comm port settings");
}

TEST_F(MainFormTest, EscAndTabInAnOpenListKeepThePreviousChoice) {
  ProgramScope program(1);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  const int chosen = form.DeviceList()->currentIndex();
  const QStringList ports = Items(form.PortList());
  for (Qt::Key key : {Qt::Key_Escape, Qt::Key_Tab}) {
    SCOPED_TRACE(key);
    QComboBox* list = form.DeviceList();
    list->setFocus();
    list->showPopup();
    ASSERT_TRUE(list->view()->isVisible());
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), Qt::Key_Down);
    QTest::keyClick(list->view(), key);
    EXPECT_FALSE(list->view()->isVisible());
    EXPECT_EQ(list->currentIndex(), chosen);
    EXPECT_EQ(form.HandledIndex(list), chosen);
    EXPECT_EQ(Items(form.PortList()), ports);
    EXPECT_EQ(form.ParamButton()->text().toStdString(), "9600 N 8 1");
  }
}

TEST_F(MainFormTest, DeleteInTheOpenFileListRemovesTheHighlightedEntry) {
  ProgramScope program(1);
  const std::string a = MakeFile(QStringLiteral("a.hex"));
  const std::string b = MakeFile(QStringLiteral("b.hex"));
  const std::string c = MakeFile(QStringLiteral("c.hex"));
  Store(QStringLiteral("History"), QString::fromStdString(a + "\r\n" + b + "\r\n" + c));
  Store(QStringLiteral("LastFileIndex"), 1);
  TMainForm& form = Open();
  QComboBox* list = form.FileList();
  ASSERT_EQ(list->count(), 3);
  EXPECT_EQ(form.DataFileName(), b);

  auto deleteEntry = [list](int row) {
    list->showPopup();
    list->view()->setCurrentIndex(list->model()->index(row, 0));
    QTest::keyClick(list->view(), Qt::Key_Delete);
    EXPECT_FALSE(list->view()->isVisible());
  };
  // Another entry: the chosen file stays chosen.
  deleteEntry(2);
  EXPECT_EQ(Items(list), QStringList({QString::fromStdString(a), QString::fromStdString(b)}));
  EXPECT_EQ(list->currentIndex(), 1);
  EXPECT_EQ(form.DataFileName(), b);
  // The chosen entry itself: the first one is chosen and handled.
  deleteEntry(1);
  EXPECT_EQ(Items(list), QStringList{QString::fromStdString(a)});
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_EQ(form.HandledIndex(list), 0);
  EXPECT_EQ(form.DataFileName(), a);
  // The last one: no file at all.
  deleteEntry(0);
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(form.DataFileName(), "");
  EXPECT_FALSE(form.EncodeAction()->isEnabled());
  form.close();
  EXPECT_EQ(QSettings(QStringLiteral("VARNELD"), SettingsApplicationName())
                .value(QStringLiteral("History"))
                .toString(),
            QString());
}

TEST_F(MainFormTest, ALongPathShowsItsFileNameInTheFileList) {
  ProgramScope program(1);
  const std::string longPath =
      "/home/someone/" + std::string(30, 'd') + "/" + std::string(30, 'e') + "/firmware v2.74.qvl";
  Store(QStringLiteral("History"), QString::fromStdString(longPath + "\r\n/fw.qvl"));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  auto* list = static_cast<FileComboBox*>(form.FileList());
  const QString shown = list->ShownText();
  EXPECT_TRUE(shown.contains(QStringLiteral("..."))) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QStringLiteral("firmware v2.74.qvl"))) << shown.toStdString();
  EXPECT_LT(list->fontMetrics().horizontalAdvance(shown), list->width());
  // The whole path is what a run reads.
  EXPECT_EQ(form.DataFileName(), longPath);
  ASSERT_TRUE(ChooseEntry(list, QStringLiteral("/fw.qvl")));
  EXPECT_EQ(list->ShownText().toStdString(), "/fw.qvl");
}

// A port is its exact path: of two ports whose names differ only in letter
// case, the one chosen stays chosen when the list changes, whichever comes
// first in it.
TEST_F(MainFormTest, HotPlugKeepsThePortOfTheExactName) {
  ProgramScope program(1);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  const std::string lower = PlugPort(QStringLiteral("port-p1"));
  const std::string upper = PlugPort(QStringLiteral("port-P1"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Listed(form, lower) && Listed(form, upper); }));
  for (const std::string& chosen : {lower, upper}) {
    SCOPED_TRACE(chosen);
    ASSERT_TRUE(ChooseEntry(form.PortList(), QString::fromStdString(chosen)));
    const std::string other = PlugPort(QStringLiteral("port-x") +
                                       QString::fromStdString(chosen.substr(chosen.size() - 2)));
    ASSERT_TRUE(QTest::qWaitFor([&] { return Listed(form, other); }));
    EXPECT_EQ(form.PortList()->currentText().toStdString(), chosen);
  }
}

// A file is its exact path: opening fw.hex while FW.hex is in the history
// adds it and chooses it, never the other one.
TEST_F(MainFormTest, OpenTellsFilesApartByTheirExactName) {
  ProgramScope program(1);
  const std::string upper = MakeFile(QStringLiteral("FW.hex"));
  MakeFile(QStringLiteral("fw.hex"));
  Store(QStringLiteral("History"), QString::fromStdString(upper));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  AnswerNextFileDialog(QString::fromStdString(Path("fw.hex")));
  form.OpenAction()->trigger();
  EXPECT_EQ(form.FileList()->count(), 2);
  EXPECT_EQ(form.DataFileName(), Path("fw.hex"));
}

// "quorvel FILE...": the files join the history as "Open data file" adds
// them, a relative name taken from the folder the program was started in,
// and the first is chosen even when it was in the history already.
TEST_F(MainFormTest, FilesNamedAtStartAreAddedWithTheFirstChosen) {
  ProgramScope program(1);
  const std::string old = MakeFile(QStringLiteral("old.hex"));
  const std::string named = MakeFile(QStringLiteral("named.qvl"));
  const std::string second = MakeFile(QStringLiteral("second.hex"));
  Store(QStringLiteral("History"), QString::fromStdString(old + "\r\n" + named));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  const QString startFolder = QDir::currentPath();
  ASSERT_TRUE(QDir::setCurrent(dir_.path()));
  form.OpenDataFiles({QStringLiteral("named.qvl"), QString::fromStdString(second)});
  QDir::setCurrent(startFolder);
  EXPECT_EQ(form.DataFileName(), named);
  ASSERT_EQ(form.FileList()->count(), 3);
  EXPECT_GE(form.FileList()->findText(QString::fromStdString(second)), 0);
}

TEST_F(MainFormTest, HotPlugKeepsTheChosenPort) {
  ProgramScope program(1);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  const std::string second = PlugPort(QStringLiteral("port-b"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Listed(form, second); }));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QString::fromStdString(second)));
  const int handledBefore = form.HandledIndex(form.PortList());

  // A port that sorts before it arrives: the choice stays on the same port.
  const std::string first = PlugPort(QStringLiteral("port-a"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Listed(form, first); }));
  EXPECT_EQ(form.PortList()->currentText().toStdString(), second);
  EXPECT_EQ(form.HandledIndex(form.PortList()), form.PortList()->currentIndex());
  EXPECT_EQ(form.PortList()->currentIndex(), handledBefore + 1);

  // Switching to another serial type keeps the port too.
  ASSERT_TRUE(ChooseDevice(form, "M-530"));
  EXPECT_EQ(form.PortList()->currentText().toStdString(), second);

  // The chosen port goes away: none is chosen.
  UnplugPort(second);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !Listed(form, second); }));
  EXPECT_EQ(form.PortList()->currentIndex(), 0);
  EXPECT_EQ(form.HandledIndex(form.PortList()), 0);
  EXPECT_FALSE(form.ProgramAction()->isEnabled());
}

// A USB device list in the USB link component's form, plugged into the
// window: the window shows its devices for USB rows and keeps the choice
// across hot-plug as for serial ports.
TEST_F(MainFormTest, UsbDeviceListPlugsInBehindTheUsbRows) {
  ProgramScope program(1);
  std::vector<std::string> devices{"0=none", "1-2=WX-310C 0001/0002"};
  std::vector<std::string> expectedNames;
  DeviceListPortSource* usb = nullptr;
  Store(QStringLiteral("History"), QString::fromStdString(MakeFile(QStringLiteral("fw.qvl"))));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  {
    auto source = std::make_unique<DeviceListPortSource>(
        [&devices] { return devices; },
        [&expectedNames](std::string_view names) { expectedNames.emplace_back(names); });
    usb = source.get();
    form.SetUsbPortSource(std::move(source));
  }
  // One device: chosen at once.
  ASSERT_TRUE(ChooseDevice(form, "FES-20"));
  EXPECT_EQ(expectedNames.back(), "WX-310C|KMB-RSVI");
  EXPECT_EQ(Items(form.PortList()),
            QStringList({QStringLiteral("none"), QStringLiteral("WX-310C 0001/0002")}));
  EXPECT_EQ(form.PortList()->currentIndex(), 1);
  EXPECT_EQ(form.PortLabel()->text().toStdString(), "USB device:");
  EXPECT_TRUE(form.ProgramAction()->isEnabled());

  // Another device arrives before it: the choice stays on the same device.
  devices.insert(devices.begin() + 1, "1-1=KMB-RSVI 0003/0004");
  usb->Changed();
  EXPECT_EQ(form.PortList()->currentText().toStdString(), "WX-310C 0001/0002");
  EXPECT_EQ(form.HandledIndex(form.PortList()), 2);

  // A type with the same device names keeps the list and the choice; one
  // with other names asks for its own devices.
  const size_t asked = expectedNames.size();
  ASSERT_TRUE(ChooseDevice(form, "M-310"));
  EXPECT_EQ(expectedNames.size(), asked);
  EXPECT_EQ(form.PortList()->currentText().toStdString(), "WX-310C 0001/0002");
  ASSERT_TRUE(ChooseDevice(form, "PAXL-20"));
  EXPECT_EQ(expectedNames.back(), "PAXL-20");
  EXPECT_EQ(form.PortList()->currentIndex(), 0);
  EXPECT_FALSE(form.ProgramAction()->isEnabled());

  // The chosen device goes away: none is chosen.
  ASSERT_TRUE(ChooseDevice(form, "FES-20"));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QStringLiteral("KMB-RSVI 0003/0004")));
  devices = {"0=none", "1-2=WX-310C 0001/0002"};
  usb->Changed();
  EXPECT_EQ(form.PortList()->currentIndex(), 0);
  EXPECT_EQ(form.HandledIndex(form.PortList()), 0);
  EXPECT_FALSE(form.ProgramAction()->isEnabled());
  // A serial row does not hear the USB list.
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  const QStringList serialPorts = Items(form.PortList());
  usb->Changed();
  EXPECT_EQ(Items(form.PortList()), serialPorts);
}

TEST_F(MainFormTest, TheOnlyPortIsChosenAtOnce) {
  if (!PortListService::Instance().Ports().empty()) {
    GTEST_SKIP() << "this system has serial ports of its own";
  }
  ProgramScope program(1);
  const std::string port = PlugPort(QStringLiteral("only-port"));
  TMainForm& form = Open();
  ASSERT_TRUE(QTest::qWaitFor([] { return PortListService::Instance().Ports().size() == 1; }));
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  EXPECT_EQ(form.PortList()->currentIndex(), 1);
  EXPECT_EQ(form.PortList()->currentText().toStdString(), port);
}

TEST_F(MainFormTest, AnEncodedFileChoosesItsDeviceTypeWhenNoneIsChosen) {
  ProgramScope program(1);
  TMainForm& form = Open();
  const int grv = Row(form, "GRV-30x");
  const std::string encoded = MakeEncoded(QStringLiteral("grv.qvl"), form.Devices()[grv]);
  form.close();
  form_.reset();
  const std::string hex = SampleHex();
  Store(QStringLiteral("History"), QString::fromStdString(hex + "\r\n" + encoded));

  struct FileCase {
    int index;
    int expectedRow;
  };
  for (const FileCase& c : {FileCase{0, 0}, FileCase{1, grv}}) {
    SCOPED_TRACE(c.index);
    Store(QStringLiteral("LastFileIndex"), c.index);
    TMainForm& shown = Open();
    EXPECT_EQ(shown.DeviceList()->currentIndex(), c.expectedRow);
    EXPECT_EQ(shown.HandledIndex(shown.DeviceList()), c.expectedRow);
    EXPECT_EQ(shown.ParamButton()->isVisible(), c.expectedRow != 0);
    shown.close();
  }
  // With a device type chosen, the file's type does not replace it.
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& shown = Open();
  ASSERT_TRUE(ChooseDevice(shown, "KV-310"));
  ASSERT_TRUE(ChooseEntry(shown.FileList(), QString::fromStdString(encoded)));
  EXPECT_EQ(shown.DeviceList()->currentText().toStdString(), "KV-310");
}

struct StoredCase {
  uint8_t edition;
  const char* file;
};

// True once the process has a handler for the signal (its caught-signals
// mask in /proc), waiting at most `limit`.
bool CatchesSignal(pid_t pid, int number, std::chrono::milliseconds limit) {
  const auto until = std::chrono::steady_clock::now() + limit;
  do {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);) {
      if (line.rfind("SigCgt:", 0) != 0) continue;
      const unsigned long long caught = std::stoull(line.substr(7), nullptr, 16);
      if ((caught >> (number - 1)) & 1) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  } while (std::chrono::steady_clock::now() < until);
  return false;
}

// A desktop logout (SIGTERM) or a closed terminal (SIGHUP) closes the
// program as its close button does: it ends by itself and keeps its
// settings.
TEST_F(MainFormTest, ASignalToEndClosesTheProgramAndKeepsItsSettings) {
  // The program keeps its settings where this test process keeps its own.
  const std::string settings =
      qEnvironmentVariable("XDG_CONFIG_HOME").toStdString() + "/VARNELD/Quorvel.conf";
  for (const int number : {SIGTERM, SIGHUP}) {
    SCOPED_TRACE(number);
    std::filesystem::remove(settings);
    const test::ProcessResult ended =
        test::RunProcess({QUORVEL_WINDOW}, {"QT_QPA_PLATFORM=offscreen", "LC_ALL=C"},
                         std::chrono::seconds(60), [number](pid_t pid) {
                           if (CatchesSignal(pid, number, std::chrono::seconds(30)))
                             kill(pid, number);
                         });
    EXPECT_EQ(ended.exitCode, 0) << ended.err;
    EXPECT_TRUE(std::filesystem::exists(settings)) << ended.err;
  }
}

// A settings file that is no regular file (a FIFO nobody writes to) is
// neither read nor written: the window comes up and closes as without
// settings, instead of waiting for the FIFO for ever.
TEST_F(MainFormTest, ASettingsFileThatIsNoRegularFileIsLeftAlone) {
  ProgramScope program(1, 0);
  const QString folder = qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/VARNELD");
  ASSERT_TRUE(QDir().mkpath(folder));
  const QString file = folder + QStringLiteral("/Quorvel.conf");
  QFile::remove(file);
  ASSERT_EQ(mkfifo(file.toLocal8Bit().constData(), 0600), 0);
  // Gone before the fixture clears the settings, whatever happens here.
  const std::unique_ptr<const QString, void (*)(const QString*)> removed(
      &file, [](const QString* path) { QFile::remove(*path); });
  {
    TMainForm& form = Open();
    EXPECT_EQ(form.FileList()->count(), 0);
    form.close();
    form_.reset();
  }
  EXPECT_FALSE(QFileInfo(file).isFile());
}

TEST_F(MainFormTest, SettingsAreRestoredAtStartAndStoredAtExitPerEdition) {
  for (const StoredCase& c : {StoredCase{0, "Quorvel.conf"}, StoredCase{1, "QuorvelKMB.conf"}}) {
    SCOPED_TRACE(c.file);
    ProgramScope program(1, c.edition);
    testing::ClearStoredSettings();
    // Ten entries with empty pieces between: the first eight non-empty ones.
    QStringList pieces;
    for (int i = 0; i < 10; ++i) pieces << QStringLiteral("/data/fw%1.qvl").arg(i) << QString();
    Store(QStringLiteral("History"), pieces.join(QStringLiteral("\r\n")));
    Store(QStringLiteral("LastFileIndex"), 8);
    Store(QStringLiteral("DirDataFiles"), QString());
    Store(QStringLiteral("DirLogFiles"), dir_.path());
    Store(QStringLiteral("FrameGap"), QStringLiteral("standard"));
    {
      TMainForm& form = Open();
      EXPECT_EQ(form.Settings().StandardFrameGap, true);
      ASSERT_EQ(form.FileList()->count(), kHistoryLimit);
      EXPECT_EQ(form.FileList()->itemText(7).toStdString(), "/data/fw7.qvl");
      // An index past the entries restores no choice.
      EXPECT_EQ(form.FileList()->currentIndex(), -1);
      EXPECT_EQ(form.Settings().DirDataFiles, DefaultFolder());
      EXPECT_EQ(form.Settings().DirLogFiles, dir_.path() + "/");
      ASSERT_TRUE(ChooseEntry(form.FileList(), QStringLiteral("/data/fw2.qvl")));
      // Nothing is written while the program runs.
      EXPECT_EQ(QSettings(QStringLiteral("VARNELD"), SettingsApplicationName())
                    .value(QStringLiteral("LastFileIndex"))
                    .toInt(),
                8);
      form.close();
      form_.reset();
    }
    const QString stored =
        qEnvironmentVariable("XDG_CONFIG_HOME") + QStringLiteral("/VARNELD/") + c.file;
    EXPECT_TRUE(QFile::exists(stored)) << stored.toStdString();
    QSettings settings(QStringLiteral("VARNELD"), SettingsApplicationName());
    EXPECT_EQ(settings.value(QStringLiteral("History")).toString().split("\r\n").size(),
              kHistoryLimit);
    EXPECT_EQ(settings.value(QStringLiteral("LastFileIndex")).toInt(), 2);
    EXPECT_EQ(settings.value(QStringLiteral("DirDataFiles")).toString(), DefaultFolder());
    EXPECT_EQ(settings.value(QStringLiteral("DirLogFiles")).toString(), dir_.path() + "/");
    EXPECT_EQ(settings.value(QStringLiteral("FrameGap")).toString(), "standard");
    // The next start comes back to the same choice.
    TMainForm& again = Open();
    EXPECT_EQ(again.FileList()->currentIndex(), 2);
    EXPECT_EQ(again.DataFileName(), "/data/fw2.qvl");
    again.close();
    form_.reset();
  }
}

TEST_F(MainFormTest, OpenPutsTheChosenFilesSortedOnTopAndChoosesTheFirst) {
  ProgramScope program(1);
  const std::string old = MakeFile(QStringLiteral("old.hex"));
  Store(QStringLiteral("History"), QString::fromStdString(old));
  Store(QStringLiteral("LastFileIndex"), 0);
  Store(QStringLiteral("DirDataFiles"), dir_.filePath(QStringLiteral("gone")));
  for (const char* name : {"c.hex", "A.hex", "b.hex"}) MakeFile(QString::fromLatin1(name));
  TMainForm& form = Open();

  // The folder stored is gone: the dialog starts in the default folder.
  QString startFolder;
  AnswerNext<QFileDialog>([&startFolder, this](QFileDialog* dialog) {
    startFolder = dialog->directory().absolutePath() + "/";
    dialog->setDirectory(dir_.path());
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    edit->setText(QStringLiteral("\"c.hex\" \"A.hex\" \"b.hex\""));
    QTest::keyClick(edit, Qt::Key_Return);
  });
  form.OpenAction()->trigger();
  EXPECT_EQ(startFolder, QDir(DefaultFolder()).absolutePath() + "/");
  EXPECT_EQ(Items(form.FileList()),
            QStringList({dir_.filePath("A.hex"), dir_.filePath("b.hex"), dir_.filePath("c.hex"),
                         QString::fromStdString(old)}));
  EXPECT_EQ(form.FileList()->currentIndex(), 0);
  EXPECT_EQ(form.DataFileName(), Path("A.hex"));
  EXPECT_EQ(form.Settings().DirDataFiles, dir_.path() + "/");

  // The chosen entry chosen again is handled again: a file that became an
  // encoded file for a type now chooses that type.
  MakeEncoded(QStringLiteral("A.hex"), form.Devices()[Row(form, "GRV-30x")]);
  AnswerNextFileDialog(QStringLiteral("A.hex"));
  form.OpenAction()->trigger();
  EXPECT_EQ(form.FileList()->count(), 4);
  EXPECT_EQ(form.DeviceList()->currentText().toStdString(), "GRV-30x");
}

TEST_F(MainFormTest, EncodeNeedsADeviceTypeAndAHexFile) {
  ProgramScope program(1);
  Store(QStringLiteral("History"), QString::fromStdString(SampleHex()));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  // Row 0: the message, and no dialog.
  std::string shown;
  AnswerNextBox(&shown);
  form.BtnCodeHexClick();
  EXPECT_EQ(shown, "ERROR\nDevice not selected.");

  // An encoded file is no HEX file.
  const std::string encoded =
      MakeEncoded(QStringLiteral("grv.qvl"), form.Devices()[Row(form, "GRV-30x")]);
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  AnswerNextFileDialog(QString::fromStdString(encoded));
  form.OpenAction()->trigger();
  ASSERT_EQ(form.DataFileName(), encoded);
  shown.clear();
  AnswerNextBox(&shown);
  form.EncodeAction()->trigger();
  EXPECT_NE(shown.find("Bad file format"), std::string::npos) << shown;
}

TEST_F(MainFormTest, EncodeCompletesTheNameAndAsksBeforeReplacing) {
  ProgramScope program(1);
  const std::string hex = Path("fw.hex");
  std::filesystem::copy_file(SampleHex(), hex);
  Store(QStringLiteral("History"), QString::fromStdString(hex));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "GRV-30x"));

  struct NameCase {
    const char* typed;
    bool allFiles;
    const char* saved;
  };
  for (const NameCase& c :
       {NameCase{"out", false, "out.qvl"}, NameCase{"out.bin", false, "out.bin.qvl"},
        NameCase{"plain.bin", true, "plain.bin"}}) {
    SCOPED_TRACE(c.typed);
    std::string message;
    AnswerNext<QFileDialog>([&c, &message](QFileDialog* dialog) {
      EXPECT_EQ(dialog->selectedFiles().value(0).section('/', -1).toStdString(), "fw.qvl");
      if (c.allFiles) dialog->selectNameFilter(dialog->nameFilters().value(1));
      auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
      edit->setText(QString::fromLatin1(c.typed));
      AnswerNextBox(&message);
      QTest::keyClick(edit, Qt::Key_Return);
    });
    form.EncodeAction()->trigger();
    EXPECT_NE(message.find("Data encoded."), std::string::npos) << message;
    const DataFileContents saved = ReadDataFile(Path(c.saved), kAcceptEncoded);
    EXPECT_EQ(saved.Result, DataFileResult::EncodedFileLoaded);
    EXPECT_EQ(saved.DevCode, 7);
  }

  // Replacing: No keeps the dialog open, Yes replaces.
  const auto before = std::filesystem::last_write_time(Path("out.qvl"));
  bool stayedOpen = false;
  std::string question;
  std::string message;
  AnswerNext<QFileDialog>([&](QFileDialog* dialog) {
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    edit->setText(QStringLiteral("out"));
    AnswerNextBox(&question, kConfirmNo);
    QTest::keyClick(edit, Qt::Key_Return);
    stayedOpen = dialog->isVisible();
    AnswerNext<ConfirmationBox>([&](ConfirmationBox* box) {
      EXPECT_EQ(box->focusWidget(), box->Button(kConfirmNo));
      QTest::mouseClick(box->Button(kConfirmYes), Qt::LeftButton);
      AnswerNextBox(&message);
    });
    QTest::keyClick(edit, Qt::Key_Return);
  });
  form.EncodeAction()->trigger();
  EXPECT_TRUE(stayedOpen);
  EXPECT_NE(question.find("already exists."), std::string::npos) << question;
  EXPECT_NE(message.find("Data encoded."), std::string::npos) << message;
  EXPECT_GE(std::filesystem::last_write_time(Path("out.qvl")), before);
}

TEST_F(MainFormTest, ARunRefusedAtOnceShowsItsMessageAndLeavesNothingBehind) {
  ProgramScope program(1);
  const std::string port = PlugPort(QStringLiteral("refusing-port"));
  Store(QStringLiteral("History"), QString::fromStdString(Path("gone.hex")));
  Store(QStringLiteral("LastFileIndex"), 0);
  TMainForm& form = Open();
  ASSERT_TRUE(ChooseDevice(form, "KV-310"));
  ASSERT_TRUE(QTest::qWaitFor([&] { return Listed(form, port); }));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QString::fromStdString(port)));
  ASSERT_TRUE(form.ProgramAction()->isEnabled());
  // The file's message, then the run's final message.
  std::string message;
  std::string result;
  AnswerNext<ConfirmationBox>([&message, &result](ConfirmationBox* box) {
    message = box->TextLabel()->text().toStdString();
    AnswerNextBox(&result);
    QTest::mouseClick(box->Button(kConfirmYes), Qt::LeftButton);
  });
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  EXPECT_NE(message.find("gone.hex"), std::string::npos) << message;
  EXPECT_NE(result.find("was unsuccessful."), std::string::npos) << result;
  EXPECT_FALSE(form.Running());
  EXPECT_EQ(form.Progress(), nullptr);
  ASSERT_TRUE(form.LastOutcome().has_value());
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::FileRefused);
  EXPECT_TRUE(form.ProgramAction()->isEnabled());
  EXPECT_TRUE(form.DeviceList()->isEnabled());
  EXPECT_NE(form.Log()->toPlainText().toStdString().find("Data file error: "), std::string::npos);
}

TEST_F(MainFormTest, SaveLogWithAnEmptyLogOpensNoDialog) {
  ProgramScope program(1);
  TMainForm& form = Open();
  EXPECT_FALSE(form.SaveLogAction()->isEnabled());
  // Returns at once: a dialog would wait for an answer.
  form.MenuSaveLogClick();
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
}

// A file dragged from a file manager and dropped onto the window: taken as
// "Open data file" takes a chosen one (on top of the list, chosen, its
// device type chosen, its folder the next dialog's).
TEST_F(MainFormTest, ADroppedDataFileIsOpenedAsOpenOpensIt) {
  ProgramScope program(1);
  TMainForm& form = Open();
  const std::string encoded =
      MakeEncoded(QStringLiteral("grv.qvl"), form.Devices()[Row(form, "GRV-30x")]);
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(encoded))});
  QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(&form, &drop);
  EXPECT_TRUE(drop.isAccepted());
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.DataFileName() == encoded; }));
  EXPECT_EQ(form.FileList()->itemText(0).toStdString(), encoded);
  EXPECT_EQ(form.FileList()->currentIndex(), 0);
  EXPECT_EQ(form.DeviceList()->currentText().toStdString(), "GRV-30x");
  EXPECT_EQ(form.Settings().DirDataFiles, dir_.path() + "/");
}

TEST_F(MainFormTest, ADropOfSeveralRemoteOrNoFilesIsRefusedWithItsReason) {
  struct DropCase {
    uint8_t language;
    QList<QUrl> urls;
    const char* caption;
    const char* message;
  };
  const QUrl file = QUrl::fromLocalFile(QString::fromStdString(MakeFile(QStringLiteral("a.hex"))));
  const QUrl other = QUrl::fromLocalFile(QString::fromStdString(MakeFile(QStringLiteral("b.hex"))));
  for (const DropCase& c : {
           DropCase{1, {file, other}, "Error", "Drop one data file only."},
           DropCase{0, {file, other}, "Błąd", "Upuść tylko jeden plik danych."},
           DropCase{1,
                    {QUrl(QStringLiteral("https://example.com/fw.qvl"))},
                    "Error",
                    "Only a file on this computer can be opened:"},
           DropCase{0,
                    {QUrl(QStringLiteral("sftp://host/fw.qvl"))},
                    "Błąd",
                    "Otworzyć można tylko plik z tego komputera:"},
           DropCase{1, {QUrl::fromLocalFile(dir_.path())}, "Error", "This is not a file:"},
           DropCase{1,
                    {QUrl::fromLocalFile(dir_.filePath(QStringLiteral("gone.qvl")))},
                    "Error",
                    "This is not a file:"},
       }) {
    SCOPED_TRACE(c.message);
    ProgramScope program(c.language);
    TMainForm& form = Open();
    QMimeData mime;
    mime.setUrls(c.urls);
    std::string caption;
    std::string message;
    AnswerNext<ConfirmationBox>([&](ConfirmationBox* box) {
      caption = box->windowTitle().toStdString();
      message = box->TextLabel()->text().toStdString();
      QTest::mouseClick(box->Button(kConfirmYes), Qt::LeftButton);
    });
    QDragEnterEvent enter(QPoint(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &enter);
    QDropEvent drop(QPointF(20, 20), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&form, &drop);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !message.empty(); }));
    EXPECT_EQ(message.rfind(c.message, 0), 0u) << message;
    EXPECT_EQ(caption, c.caption);
    EXPECT_EQ(form.FileList()->count(), 0);
    EXPECT_TRUE(form.DataFileName().empty());
    form_.reset();
  }
}

// The port list's last entry asks for a network port: a wrong name is said
// in the dialog, a right one is listed, chosen and kept with the settings;
// what was stored badly is left out at the next start.
TEST_F(MainFormTest, ANetworkPortIsAddedThroughThePortListAndKept) {
  ProgramScope program(1);
  Store(QStringLiteral("NetworkPorts"),
        QStringLiteral("tcp://10.1.2.3:7000\r\nnot a port\r\ntcp://x"));
  const QString name = QStringLiteral("rfc2217://127.0.0.1:4001");
  // The same port from QUORVEL_EXTRA_PORTS as well: listed once.
  PortListService::Instance().AddExtraPort("tcp://10.1.2.3:7000");
  extraPorts_.push_back("tcp://10.1.2.3:7000");
  {
    TMainForm& form = Open();
    EXPECT_EQ(form.Settings().NetworkPorts, QStringList{QStringLiteral("tcp://10.1.2.3:7000")});
    ASSERT_TRUE(ChooseDevice(form, "KV-310"));
    const QStringList items = Items(form.PortList());
    ASSERT_GE(items.size(), 3);
    EXPECT_EQ(items.last(), QStringLiteral("Add network port…"));
    EXPECT_EQ(items.count(QStringLiteral("tcp://10.1.2.3:7000")), 1);
    const QString before = form.PortList()->currentText();

    bool problemShown = false;
    AnswerNext<NetworkPortDialog>([&](NetworkPortDialog* dialog) {
      EXPECT_EQ(dialog->windowTitle(), QStringLiteral("Add network port"));
      QTest::keyClicks(dialog->NameField(), QStringLiteral("tcp://host"));
      QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
      problemShown = dialog->isVisible() && dialog->ProblemLabel()->isVisible();
      EXPECT_TRUE(dialog->ProblemLabel()->text().startsWith("The name must have the form"));
      dialog->NameField()->clear();
      QTest::keyClicks(dialog->NameField(), QStringLiteral(" ") + name + QStringLiteral(" "));
      QTest::keyClick(dialog->NameField(), Qt::Key_Return);
    });
    ASSERT_TRUE(ChooseEntry(form.PortList(), QStringLiteral("Add network port…")));
    // Until the dialog has answered, the choice is the port before.
    EXPECT_EQ(form.PortList()->currentText(), before);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortList()->currentText() == name; }));
    EXPECT_TRUE(problemShown);
    EXPECT_EQ(form.HandledIndex(form.PortList()), form.PortList()->currentIndex());
    EXPECT_EQ(Items(form.PortList()).last(), QStringLiteral("Add network port…"));

    // Cancelled: the choice stays.
    bool asked = false;
    AnswerNext<NetworkPortDialog>([&](NetworkPortDialog* dialog) {
      asked = true;
      QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
    });
    ASSERT_TRUE(ChooseEntry(form.PortList(), QStringLiteral("Add network port…")));
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return asked && QApplication::activeModalWidget() == nullptr; }));
    QTest::qWait(50);
    EXPECT_EQ(form.PortList()->currentText(), name);
    // A USB row offers no network port.
    ASSERT_TRUE(ChooseDevice(form, "TRP-40 .USB"));
    EXPECT_EQ(Items(form.PortList()), QStringList{QStringLiteral("none")});
    form.close();
    form_.reset();
  }
  EXPECT_EQ(QSettings(QStringLiteral("VARNELD"), SettingsApplicationName())
                .value(QStringLiteral("NetworkPorts"))
                .toString(),
            QStringLiteral("tcp://10.1.2.3:7000\r\n") + name);
  ProgramScope polish(0);
  TMainForm& again = Open();
  ASSERT_TRUE(ChooseDevice(again, "KV-310"));
  EXPECT_GE(again.PortList()->findText(name), 1);
  EXPECT_EQ(Items(again.PortList()).last(), QString::fromUtf8("Dodaj port sieciowy…"));
}

// Network ports as the settings keep them: well formed, each once, the
// newest at most kNetworkPortLimit.
TEST(WindowNetworkPorts, StoredListIsCleanedAndBounded) {
  EXPECT_EQ(NetworkPortsFromText(
                QStringLiteral("tcp://a:1\r\n\r\nrfc2217://b:2\r\ntcp://a:1\r\n/dev/ttyS0")),
            QStringList({QStringLiteral("rfc2217://b:2"), QStringLiteral("tcp://a:1")}));
  QStringList ports;
  for (int i = 1; i <= kNetworkPortLimit + 3; ++i) {
    ports = WithNetworkPort(ports, QStringLiteral("tcp://h:%1").arg(i));
  }
  ASSERT_EQ(ports.size(), kNetworkPortLimit);
  EXPECT_EQ(ports.first(), QStringLiteral("tcp://h:4"));
  ports = WithNetworkPort(ports, QStringLiteral("tcp://h:4"));
  EXPECT_EQ(ports.last(), QStringLiteral("tcp://h:4"));
  EXPECT_EQ(ports.size(), kNetworkPortLimit);
}

}  // namespace
}  // namespace quorvel
