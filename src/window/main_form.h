// The main window: device type, port and data file lists with the bus
// address and the serial settings button, the command menu and tool bar,
// the run log and the status line. The window keeps the lists' choices and
// wires its controls (MainFormControls) to the commands: the runs to its
// RunControl, the file commands and the settings to its FileActions.
#pragma once

#include <QMainWindow>
#include <QStringList>
#include <QUrl>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dialogs/serial_settings_dialog.h"
#include "dialogs/widget_prompt.h"
#include "run/device_types.h"
#include "run/line_settings.h"
#include "run/run_engine.h"
#include "usb/ftdi_usb.h"
#include "window/main_form_controls.h"
#include "window/port_source.h"
#include "window/window_settings.h"

class QAction;
class QComboBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QToolButton;

namespace quorvel {

class FileActions;
class MonitorLink;
class FileComboBox;
class LinkLabel;
class RunControl;
class TFormProgress;

class TMainForm final : public QMainWindow {
  Q_OBJECT
 public:
  // Texts in the program's Language, names and settings of its Edition (both
  // set before). Reads the settings.
  explicit TMainForm(QWidget* parent = nullptr);
  ~TMainForm() override;

  // The USB device list (the USB link component's); until one is given the
  // USB rows list only the none entry.
  void SetUsbPortSource(std::unique_ptr<PortSource> source);
  TFtdiUSB* UsbComponent() const { return usb_.get(); }

  // Commands, as the menu and the tool bar run them.
  void BtnStartClick();
  void BtnOpenClick();
  void BtnCodeHexClick();
  void MenuSaveLogClick();
  void MenuAboutClick();
  void MenuShowHelpClick();
  void BtnCOMParamClick();
  // The data files named when the program was started: on top of the data
  // file list as "Open data file" puts them, the first chosen.
  void OpenDataFiles(const QStringList& names);
  // A data file dropped onto the window, opened as "Open data file" opens a
  // chosen one; refused with a message unless it is one local file.
  void OpenDroppedFiles(const QList<QUrl>& urls);

  // Recomputes visibility and enabled states of the commands.
  void UpdateCommands();
  // Caption, hint and colour of the serial settings button.
  void UpdateParamButton();

  // The controls, for the tests and assistive technology.
  QComboBox* DeviceList() const { return ui_.deviceList; }
  QComboBox* PortList() const { return ui_.portList; }
  QComboBox* FileList() const;
  QLineEdit* AddressField() const { return ui_.addressField; }
  QLabel* PortLabel() const { return ui_.portLabel; }
  QLabel* AddressLabel() const { return ui_.addressLabel; }
  QPushButton* ParamButton() const { return ui_.paramButton; }
  QPushButton* ProgramButton() const { return ui_.programButton; }
  QPlainTextEdit* Log() const { return ui_.log; }
  QAction* ProgramAction() const { return ui_.programAction; }
  QAction* OpenAction() const { return ui_.openAction; }
  QAction* EncodeAction() const { return ui_.encodeAction; }
  QAction* SaveLogAction() const { return ui_.saveLogAction; }
  QAction* ExitAction() const { return ui_.exitAction; }
  QToolButton* MonitorButton() const { return ui_.monitorButton; }
  MonitorLink& Monitor() const { return *monitor_; }
  LinkLabel* Logo() const { return ui_.logo; }
  TFormProgress* Progress() const;
  WidgetPrompt& WindowPrompt() { return prompt_; }

  const TDevAvailArray& Devices() const { return devices_; }
  const std::string& DataFileName() const { return dataFileName_; }
  const LineSettings& SerialParams() const { return serial_.line; }
  const WindowSettings& Settings() const;
  int HandledIndex(const QComboBox* list) const;
  // A run is going on.
  bool Running() const;
  // How the last run ended (none before the first).
  const std::optional<RunOutcome>& LastOutcome() const;

 signals:
  // A run ended: the final message has been answered.
  void runFinished();

 protected:
  void closeEvent(QCloseEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  // Files are taken while "Open data file" is: not during a run.
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  TDevAvailArray devices_;
  std::vector<std::string> deviceTexts_;
  WidgetPrompt prompt_;
  SerialSettings serial_;
  std::string selectedPort_;
  std::string dataFileName_;
  int handledDeviceIndex_ = -1;
  int handledPortIndex_ = 0;
  int handledFileIndex_ = -1;
  std::unique_ptr<PortSource> serialPorts_;
  std::unique_ptr<PortSource> usbDevices_;
  // The window's USB link component: its device list is the port list of
  // the USB rows, and a run on a USB row uses it.
  std::unique_ptr<TFtdiUSB> usb_;
  std::vector<PortEntry> portEntries_;
  // The port list's "Add network port…" entry, after the ports; -1 when
  // the list has none.
  int addPortIndex_ = -1;
  // The runs, lent the USB component: declared after it, so that a run's
  // session goes before the component.
  std::unique_ptr<RunControl> runs_;
  std::unique_ptr<MonitorLink> monitor_;
  std::unique_ptr<FileActions> files_;
  bool closed_ = false;

  // The controls, children of the window.
  MainFormControls ui_;

  void WireControls();
  void AttachUsbComponent();
  void AttachRunControl();
  void FillDeviceList();
  void RestoreHistory();
  void Place();

  const TDevAvailData& SelectedRow() const;
  PortSource* SourceOf(TLinkKind linkKind) const;
  void FillPortList(PortSource& source);
  // Asks for a network port and lists and chooses it (the port list's
  // "Add network port…" entry).
  void AddNetworkPort();
  // The kept network ports go to the serial port list.
  void RestoreNetworkPorts();
  void ComboBoxChange(QComboBox* sender);
  void DeviceTypeChanged();
  void FileChanged();
  void PortListChanged(PortSource* sender);
  void SetMonitorGlyph();
  bool ListKey(QComboBox* list, int key);
  void DeleteHighlightedFile();
  RunSelection ChosenRun() const;
  void OpenedFilesChosen(int added);
  void SaveSettingsOnce();
  void StartMonitor();
  void AttachMonitor();
  std::string MonitorPortName() const;
};

}  // namespace quorvel
