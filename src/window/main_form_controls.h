// The main window's controls: the commands of the menu and the tool bar,
// the maker's logo, the three lists with their labels, the bus address
// field, the serial settings and Program buttons and the run log, each with
// its texts, hints and accessible name, laid out in one fixed size. The
// window fills the lists and wires the controls.
#pragma once

#include <QIcon>
#include <QString>
#include <string>
#include <vector>

#include "app/globals.h"
#include "run/device_types.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QMainWindow;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace quorvel {

class FileComboBox;
class LinkLabel;

// The port list's label for a serial row and for a USB row.
constexpr TextPair kLabelSerialPort{"Port komunikacji:", "Comm port:"};
constexpr TextPair kLabelUsbDevice{"Urządzenie USB:", "USB device:"};

struct MainFormControls {
  QAction* openAction = nullptr;
  QAction* encodeAction = nullptr;
  QAction* programAction = nullptr;
  QAction* saveLogAction = nullptr;
  QAction* exitAction = nullptr;
  QAction* helpAction = nullptr;
  QAction* aboutAction = nullptr;
  QAction* monitorAction = nullptr;
  // The tool bar's button of the monitor command.
  QToolButton* monitorButton = nullptr;
  // The maker's logo at the right end of the menu bar, which opens the
  // maker's web page; none in the distributor's edition.
  LinkLabel* logo = nullptr;

  QLabel* deviceLabel = nullptr;
  QLabel* portLabel = nullptr;
  QLabel* fileLabel = nullptr;
  QLabel* addressLabel = nullptr;
  QComboBox* deviceList = nullptr;
  QComboBox* portList = nullptr;
  FileComboBox* fileList = nullptr;
  QLineEdit* addressField = nullptr;
  QPushButton* paramButton = nullptr;
  QPushButton* programButton = nullptr;
  QPlainTextEdit* log = nullptr;
};

// Makes the menus, the tool bar and the controls of the client area in the
// window; nothing is connected yet.
MainFormControls BuildMainFormControls(QMainWindow& window);

// The two upper lists as wide as the widest device text, USB device text
// and port name need, the address field wide enough for five digits, the
// log high enough for its lines, and the window fixed at the size of its
// controls.
void LayOutMainFormControls(QMainWindow& window, const MainFormControls& controls,
                            const TDevAvailArray& devices,
                            const std::vector<std::string>& deviceTexts);

// The glyph of a command, drawn from the image at the tool bar's size.
QIcon CommandGlyph(const QString& image);

}  // namespace quorvel
