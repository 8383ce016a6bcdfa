#include "window/main_form.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <QToolButton>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/data_file.h"
#include "dialogs/about_box.h"
#include "dialogs/dialog_support.h"
#include "dialogs/help_window.h"
#include "dialogs/network_port_dialog.h"
#include "dialogs/product_images.h"
#include "monitor/monitor_link.h"
#include "window/file_actions.h"
#include "window/file_combo_box.h"
#include "window/progress_form.h"
#include "window/run_control.h"

namespace quorvel {
namespace {

constexpr TextPair kParamHint{"Ustawienia portu szeregowego", "Comm port settings"};
constexpr TextPair kParamDiffers{" (niezgodne z domyślnymi !)", " (different from default !)"};
constexpr TextPair kMonitorCaption{"Bufor portu komunikacji", "Comm port buffer"};

}  // namespace

TMainForm::TMainForm(QWidget* parent)
    : QMainWindow(parent),
      devices_(BuildDeviceList()),
      deviceTexts_(DeviceDisplayTexts(devices_)),
      prompt_(this),
      serialPorts_(std::make_unique<SerialPortSource>(Language)),
      usbDevices_(std::make_unique<DeviceListPortSource>()) {
  setObjectName(QStringLiteral("MainForm"));
  setWindowTitle(ToQString(ProgramName()));
  setWindowIcon(ApplicationIcon());
  setAcceptDrops(true);
  serial_.line = {br009600, pbNone, dbEight, sbOne};

  ui_ = BuildMainFormControls(*this);
  WireControls();
  files_ = std::make_unique<FileActions>(this, ui_.fileList, prompt_);
  serialPorts_->OnListChange = [this, source = serialPorts_.get()] { PortListChanged(source); };
  usbDevices_->OnListChange = [this, source = usbDevices_.get()] { PortListChanged(source); };
  AttachUsbComponent();
  AttachRunControl();
  AttachMonitor();
  FillDeviceList();
  LayOutMainFormControls(*this, ui_, devices_, deviceTexts_);
  prompt_.SetCenterOverOwner(true);
  RestoreHistory();
  ComboBoxChange(ui_.deviceList);
  Place();
  centralWidget()->setFocus();
}

TMainForm::~TMainForm() {
  runs_->EndForClose();
  SaveSettingsOnce();
  serialPorts_->OnListChange = nullptr;
  usbDevices_->OnListChange = nullptr;
  if (usb_) usb_->OnDeviceListChange = nullptr;
}

void TMainForm::WireControls() {
  connect(ui_.openAction, &QAction::triggered, this, [this] { BtnOpenClick(); });
  connect(ui_.encodeAction, &QAction::triggered, this, [this] { BtnCodeHexClick(); });
  connect(ui_.programAction, &QAction::triggered, this, [this] { BtnStartClick(); });
  connect(ui_.saveLogAction, &QAction::triggered, this, [this] { MenuSaveLogClick(); });
  connect(ui_.exitAction, &QAction::triggered, this, &QWidget::close);
  connect(ui_.helpAction, &QAction::triggered, this, [this] { MenuShowHelpClick(); });
  connect(ui_.aboutAction, &QAction::triggered, this, [this] { MenuAboutClick(); });
  connect(ui_.monitorAction, &QAction::triggered, this, [this] { StartMonitor(); });
  for (QComboBox* combo : {ui_.deviceList, ui_.portList, static_cast<QComboBox*>(ui_.fileList)}) {
    connect(combo, &QComboBox::currentIndexChanged, this, [this, combo] { ComboBoxChange(combo); });
    combo->view()->installEventFilter(this);
    combo->installEventFilter(this);
  }
  connect(ui_.addressField, &QLineEdit::textChanged, this, [this] { UpdateCommands(); });
  connect(ui_.paramButton, &QPushButton::clicked, this, [this] { BtnCOMParamClick(); });
  connect(ui_.programButton, &QPushButton::clicked, this, [this] { BtnStartClick(); });
}

void TMainForm::AttachUsbComponent() {
  usb_ = std::make_unique<TFtdiUSB>(nullptr, Language);
  TFtdiUSB* usb = usb_.get();
  auto source = std::make_unique<DeviceListPortSource>(
      [usb] {
        std::vector<std::string> entries;
        for (const usb::DeviceEntry& entry : usb->DeviceList()) entries.push_back(entry.text);
        return entries;
      },
      [usb](std::string_view names) { usb->SetDevNameExpected(std::string(names)); });
  usb->OnDeviceListChange = [changed = source.get()](TFtdiUSB*) { changed->Changed(); };
  usbDevices_ = std::move(source);
  usbDevices_->OnListChange = [this, s = usbDevices_.get()] { PortListChanged(s); };
}

void TMainForm::AttachRunControl() {
  runs_ = std::make_unique<RunControl>(this, devices_, usb_.get(), ui_.log, prompt_);
  runs_->OnMonitor = [this] {
    if (ui_.monitorButton->isVisible()) StartMonitor();
  };
  connect(runs_.get(), &RunControl::stateChanged, this, [this] { UpdateCommands(); });
  connect(runs_.get(), &RunControl::runFinished, this, &TMainForm::runFinished);
}

void TMainForm::SetUsbPortSource(std::unique_ptr<PortSource> source) {
  if (usb_) usb_->OnDeviceListChange = nullptr;
  usbDevices_ = std::move(source);
  usbDevices_->OnListChange = [this, s = usbDevices_.get()] { PortListChanged(s); };
  if (SelectedRow().LinkKind == TLinkKind::Usb) {
    usbDevices_->SetExpectedNames(SelectedRow().UsbNames);
    FillPortList(*usbDevices_);
    ui_.portList->setCurrentIndex(portEntries_.size() == 2 ? 1 : 0);
    handledPortIndex_ = -1;
    ComboBoxChange(ui_.portList);
  }
}

TFormProgress* TMainForm::Progress() const {
  return runs_->Progress();
}

bool TMainForm::Running() const {
  return runs_->Running();
}

const std::optional<RunOutcome>& TMainForm::LastOutcome() const {
  return runs_->LastOutcome();
}

const WindowSettings& TMainForm::Settings() const {
  return files_->Settings();
}

QComboBox* TMainForm::FileList() const {
  return ui_.fileList;
}

void TMainForm::FillDeviceList() {
  const QSignalBlocker block(ui_.deviceList);
  for (const std::string& text : deviceTexts_) ui_.deviceList->addItem(ToQString(text));
  ui_.deviceList->setCurrentIndex(0);
  handledDeviceIndex_ = -1;
  const QSignalBlocker blockPort(ui_.portList);
  const std::string none(NoneText(Language));
  ui_.portList->addItem(ToQString(none));
  portEntries_ = {{none, none}};
  ui_.portList->setCurrentIndex(0);
  handledPortIndex_ = 0;
  selectedPort_ = none;
  handledFileIndex_ = ui_.fileList->currentIndex();
}

void TMainForm::Place() {
  const QRect area = WorkArea(this);
  setGeometry(KeepInside(CentredOn(area, size()), area));
}

void TMainForm::RestoreHistory() {
  files_->RestoreHistory();
  RestoreNetworkPorts();
  serial_.frameGap =
      Settings().StandardFrameGap ? FrameGapChoice::Standard() : FrameGapChoice::Auto();
  ComboBoxChange(ui_.fileList);
}

const TDevAvailData& TMainForm::SelectedRow() const {
  const int index = ui_.deviceList->currentIndex();
  return devices_[index > 0 && index < static_cast<int>(devices_.size()) ? index : 0];
}

PortSource* TMainForm::SourceOf(TLinkKind linkKind) const {
  if (linkKind == TLinkKind::Serial) return serialPorts_.get();
  if (linkKind == TLinkKind::Usb) return usbDevices_.get();
  return nullptr;
}

int TMainForm::HandledIndex(const QComboBox* list) const {
  if (list == ui_.deviceList) return handledDeviceIndex_;
  if (list == ui_.portList) return handledPortIndex_;
  if (list == ui_.fileList) return handledFileIndex_;
  return -1;
}

void TMainForm::FillPortList(PortSource& source) {
  const QSignalBlocker block(ui_.portList);
  portEntries_ = source.Entries();
  ui_.portList->clear();
  for (const PortEntry& entry : portEntries_) ui_.portList->addItem(ToQString(entry.text));
  // Last, after the ports: the entry that asks for a network port.
  addPortIndex_ = -1;
  if (source.TakesNetworkPorts()) {
    addPortIndex_ = ui_.portList->count();
    ui_.portList->addItem(Text(kAddNetworkPortEntry));
  }
}

void TMainForm::AddNetworkPort() {
  if (closed_ || !ui_.portList->isEnabled()) return;
  const std::optional<QString> name = AskNetworkPort(this);
  if (!name || closed_) return;
  files_->RememberNetworkPort(*name);
  RestoreNetworkPorts();
  PortSource* source = SourceOf(SelectedRow().LinkKind);
  if (source == nullptr || !source->TakesNetworkPorts()) return;
  FillPortList(*source);
  const int index = ui_.portList->findText(*name, Qt::MatchExactly | Qt::MatchCaseSensitive);
  {
    const QSignalBlocker block(ui_.portList);
    ui_.portList->setCurrentIndex(std::max(index, 0));
  }
  handledPortIndex_ = -1;
  ComboBoxChange(ui_.portList);
}

void TMainForm::RestoreNetworkPorts() {
  std::vector<std::string> names;
  for (const QString& name : Settings().NetworkPorts) names.push_back(name.toStdString());
  serialPorts_->SetNetworkPorts(std::move(names));
}

void TMainForm::ComboBoxChange(QComboBox* sender) {
  int* handled = sender == ui_.deviceList ? &handledDeviceIndex_
                 : sender == ui_.portList ? &handledPortIndex_
                 : sender == ui_.fileList ? &handledFileIndex_
                                          : nullptr;
  if (handled == nullptr) return;
  if (sender == ui_.portList && addPortIndex_ >= 0 && sender->currentIndex() == addPortIndex_) {
    // Not a port: the choice goes back to the port before, and the dialog
    // comes once the list has closed.
    {
      const QSignalBlocker block(ui_.portList);
      ui_.portList->setCurrentIndex(*handled >= 0 && *handled < addPortIndex_ ? *handled : 0);
    }
    QMetaObject::invokeMethod(
        this, [this] { AddNetworkPort(); }, Qt::QueuedConnection);
    return;
  }
  if (sender->currentIndex() != *handled) {
    if (sender == ui_.deviceList) {
      DeviceTypeChanged();
    } else if (sender == ui_.portList) {
      const int index = ui_.portList->currentIndex();
      selectedPort_ = index >= 0 && index < static_cast<int>(portEntries_.size())
                          ? portEntries_[index].text
                          : std::string(NoneText(Language));
      if (monitor_ != nullptr) monitor_->SendDevice(SelectedRow().LinkKind, MonitorPortName());
      UpdateCommands();
    } else {
      FileChanged();
    }
  }
  *handled = sender->currentIndex();
}

void TMainForm::DeviceTypeChanged() {
  const TDevAvailData& row = SelectedRow();
  const TDevAvailData& old =
      devices_[handledDeviceIndex_ > 0 && handledDeviceIndex_ < static_cast<int>(devices_.size())
                   ? handledDeviceIndex_
                   : 0];
  const TLinkKind oldKind = handledDeviceIndex_ > 0 ? old.LinkKind : TLinkKind::None;
  const bool keepList = portEntries_.size() >= 2 &&
                        ((row.LinkKind == TLinkKind::Serial && oldKind == TLinkKind::Serial) ||
                         (row.LinkKind == TLinkKind::Usb && oldKind == TLinkKind::Usb &&
                          old.UsbNames == row.UsbNames));
  if (row.LinkKind == TLinkKind::None) {
    const std::string none(NoneText(Language));
    {
      const QSignalBlocker block(ui_.portList);
      ui_.portList->clear();
      ui_.portList->addItem(ToQString(none));
      portEntries_ = {{none, none}};
      ui_.portList->setCurrentIndex(0);
    }
    ComboBoxChange(ui_.portList);
    ui_.portLabel->setText(Text(kLabelSerialPort));
  } else if (PortSource* source = SourceOf(row.LinkKind); source != nullptr) {
    if (!keepList) {
      source->SetExpectedNames(row.UsbNames);
      FillPortList(*source);
      {
        const QSignalBlocker block(ui_.portList);
        ui_.portList->setCurrentIndex(portEntries_.size() == 2 ? 1 : 0);
      }
      handledPortIndex_ = -1;
      ComboBoxChange(ui_.portList);
    }
    if (row.LinkKind == TLinkKind::Serial) {
      serial_.line = {row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
      UpdateParamButton();
    }
    ui_.portLabel->setText(
        Text(row.LinkKind == TLinkKind::Usb ? kLabelUsbDevice : kLabelSerialPort));
  }
  ui_.portList->setAccessibleName(ui_.portLabel->text());
  SetMonitorGlyph();
  UpdateCommands();
}

void TMainForm::FileChanged() {
  if (ui_.fileList->count() == 0) {
    dataFileName_.clear();
    const QSignalBlocker block(ui_.fileList);
    ui_.fileList->setCurrentIndex(-1);
    UpdateCommands();
    return;
  }
  {
    const QSignalBlocker block(ui_.fileList);
    dataFileName_ = ui_.fileList->currentIndex() >= 0 ? ui_.fileList->currentText().toStdString()
                                                      : std::string();
  }
  // A data file for a known device type chooses that type when none is
  // chosen yet.
  if (ui_.deviceList->currentIndex() == 0 && !dataFileName_.empty()) {
    const DataFileContents header = ReadDataFileHeader(dataFileName_);
    if (header.Loaded()) {
      for (size_t i = 1; i < devices_.size(); ++i) {
        if (devices_[i].DevCode == header.DevCode && devices_[i].Variant == header.Variant) {
          const QSignalBlocker block(ui_.deviceList);
          ui_.deviceList->setCurrentIndex(static_cast<int>(i));
          break;
        }
      }
      if (ui_.deviceList->currentIndex() != 0) ComboBoxChange(ui_.deviceList);
    }
  }
  UpdateCommands();
}

void TMainForm::PortListChanged(PortSource* sender) {
  if (closed_) return;
  const TDevAvailData& row = SelectedRow();
  if (ui_.deviceList->currentIndex() <= 0 || sender != SourceOf(row.LinkKind)) return;
  ui_.portList->hidePopup();
  const QString remembered = ui_.portList->currentText();
  FillPortList(*sender);
  int index = 0;
  // A port is its exact path: /dev/p1 and /dev/P1 are two ports.
  for (int i = 0; i < ui_.portList->count(); ++i) {
    if (ui_.portList->itemText(i) == remembered) {
      index = i;
      break;
    }
  }
  {
    const QSignalBlocker block(ui_.portList);
    ui_.portList->setCurrentIndex(index);
  }
  if (ui_.portList->currentText() != remembered) {
    handledPortIndex_ = -1;
    ComboBoxChange(ui_.portList);
  } else {
    handledPortIndex_ = index;
  }
}

void TMainForm::SetMonitorGlyph() {
  const QString image = SelectedRow().LinkKind == TLinkKind::Usb ? kImageUsb : kImageCom;
  ui_.monitorAction->setIcon(CommandGlyph(image));
}

void TMainForm::UpdateCommands() {
  const TDevAvailData& row = SelectedRow();
  const bool serial = row.LinkKind == TLinkKind::Serial;
  const bool portChosen = (serial && !IsNoneName(selectedPort_)) ||
                          (row.LinkKind == TLinkKind::Usb && ui_.portList->currentIndex() > 0);
  const bool fileChosen = !dataFileName_.empty();
  const bool addressValid =
      ui_.deviceList->currentIndex() > 0 &&
      (row.Rs485 == 0 || ParseBusAddress(ui_.addressField->text().toStdString()).has_value());
  ui_.addressLabel->setVisible(row.Rs485 == 1);
  ui_.addressField->setVisible(row.Rs485 == 1);
  ui_.paramButton->setVisible(addressValid && serial);
  // During a run only the progress window, the log, help and closing the
  // window answer; closing stays possible at any time.
  const bool idle = runs_->Idle();
  for (QWidget* control :
       {static_cast<QWidget*>(ui_.deviceList), static_cast<QWidget*>(ui_.portList),
        static_cast<QWidget*>(ui_.fileList), static_cast<QWidget*>(ui_.addressField),
        static_cast<QWidget*>(ui_.paramButton)}) {
    control->setEnabled(idle);
  }
  ui_.openAction->setEnabled(idle);
  ui_.monitorAction->setEnabled(idle);
  const bool program = portChosen && fileChosen && addressValid && idle;
  ui_.programAction->setEnabled(program);
  ui_.programButton->setEnabled(program);
  ui_.encodeAction->setEnabled(fileChosen && addressValid && idle);
  const bool hasLog = !ui_.log->document()->isEmpty();
  ui_.log->setEnabled(hasLog);
  ui_.saveLogAction->setEnabled(hasLog && idle);
}

void TMainForm::UpdateParamButton() {
  const TDevAvailData& row = SelectedRow();
  if (ui_.deviceList->currentIndex() <= 0 || row.LinkKind != TLinkKind::Serial) return;
  const LineSettings& line = serial_.line;
  ui_.paramButton->setText(ToQString(LineSettingsCaption(line)));
  const LineSettings defaults{row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
  const bool same = line.Baud == defaults.Baud && line.Parity == defaults.Parity &&
                    line.DataBits == defaults.DataBits && line.StopBits == defaults.StopBits;
  const QString hint = Text(kParamHint) + (same ? QString() : Text(kParamDiffers));
  ui_.paramButton->setToolTip(hint);
  ui_.paramButton->setStatusTip(QStringLiteral(" ") + hint);
  ui_.paramButton->setAccessibleDescription(hint);
  // Red only while it can be used: a disabled button keeps the grey text.
  QPalette palette = QApplication::palette(ui_.paramButton);
  if (!same) {
    palette.setColor(QPalette::Active, QPalette::ButtonText, Qt::red);
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, Qt::red);
  }
  ui_.paramButton->setPalette(palette);
}

void TMainForm::BtnCOMParamClick() {
  const TDevAvailData& row = SelectedRow();
  if (row.LinkKind != TLinkKind::Serial) return;
  const LineSettings defaults{row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
  if (std::optional<SerialSettings> chosen = EditSerialSettings(this, defaults, serial_)) {
    serial_ = *chosen;
    UpdateParamButton();
  }
}

// Esc or Tab in an open list closes it and keeps the choice handled last;
// Delete in the open file list takes the highlighted file out of the history.
bool TMainForm::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    for (QComboBox* list : {ui_.deviceList, ui_.portList, static_cast<QComboBox*>(ui_.fileList)}) {
      if (watched == list->view() || watched == list) {
        if (ListKey(list, static_cast<QKeyEvent*>(event)->key())) return true;
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TMainForm::ListKey(QComboBox* list, int key) {
  if (!list->view()->isVisible()) return false;
  if (key == Qt::Key_Delete && list == ui_.fileList) {
    DeleteHighlightedFile();
    return true;
  }
  if (key != Qt::Key_Escape && key != Qt::Key_Tab && key != Qt::Key_Backtab) return false;
  list->hidePopup();
  const int handled = HandledIndex(list);
  if (list->currentIndex() != handled) {
    const QSignalBlocker block(list);
    list->setCurrentIndex(handled);
  }
  if (key == Qt::Key_Tab) focusNextChild();
  if (key == Qt::Key_Backtab) focusPreviousChild();
  return true;
}

void TMainForm::DeleteHighlightedFile() {
  const int highlighted = ui_.fileList->view()->currentIndex().row();
  if (ui_.fileList->count() == 0 || highlighted < 0) return;
  QString remembered;
  const bool hadChoice = handledFileIndex_ >= 0 && handledFileIndex_ < ui_.fileList->count();
  if (hadChoice) remembered = ui_.fileList->itemText(handledFileIndex_);
  ui_.fileList->hidePopup();
  int index = -1;
  {
    const QSignalBlocker block(ui_.fileList);
    ui_.fileList->removeItem(highlighted);
    index = hadChoice ? ui_.fileList->findText(remembered) : -1;
    if (index < 0 && ui_.fileList->count() > 0) {
      index = 0;
      handledFileIndex_ = -1;
    }
    if (index == handledFileIndex_) handledFileIndex_ = -1;
    ui_.fileList->setCurrentIndex(index);
  }
  ComboBoxChange(ui_.fileList);
}

void TMainForm::BtnStartClick() {
  if (!ui_.programAction->isEnabled()) return;
  runs_->Start(ChosenRun(), serial_.frameGap,
               ui_.monitorButton->isVisible() && !monitor_->Known(), ui_.monitorAction->icon());
}

// The run the lists describe.
RunSelection TMainForm::ChosenRun() const {
  RunSelection selection;
  selection.DeviceIndex = ui_.deviceList->currentIndex();
  selection.DeviceText = ui_.deviceList->currentText().toStdString();
  selection.PortIndex = ui_.portList->currentIndex();
  selection.PortName = selectedPort_;
  selection.FileName = dataFileName_;
  selection.BusAddressText = ui_.addressField->text().toStdString();
  selection.Serial = serial_.line;
  return selection;
}

void TMainForm::SaveSettingsOnce() {
  files_->StoreSettingsOnce(!serial_.frameGap.automatic);
}

void TMainForm::closeEvent(QCloseEvent* event) {
  closed_ = true;
  runs_->EndForClose();
  SaveSettingsOnce();
  if (HelpWindow* help = OpenHelpWindow()) help->close();
  monitor_->Close();
  event->accept();
}

void TMainForm::StartMonitor() {
  if (monitor_->Known()) {
    monitor_->Show();
    return;
  }
  // A monitor that cannot come says why, instead of the button doing nothing.
  QString problem = monitor_->LaunchProblem();
  if (problem.isEmpty() && !monitor_->Launch(SelectedRow().LinkKind, MonitorPortName())) {
    problem = monitor_->LaunchProblem();
  }
  if (!problem.isEmpty()) {
    prompt_.MsgBox(problem.toStdString(), kMonitorCaption.str(), kIconWarning);
  }
}

// The port as the monitor is told it: the selected entry's text, empty for
// the "none" entry.
std::string TMainForm::MonitorPortName() const {
  return ui_.portList->currentIndex() > 0 ? selectedPort_ : std::string();
}

void TMainForm::AttachMonitor() {
  monitor_ = std::make_unique<MonitorLink>();
  // While a monitor is known the progress window's shortcut to it hides.
  connect(monitor_.get(), &MonitorLink::opened, this, [this] {
    if (TFormProgress* progress = runs_->Progress()) progress->MonitorButton()->setVisible(false);
  });
  connect(monitor_.get(), &MonitorLink::closed, this, [this] {
    if (TFormProgress* progress = runs_->Progress()) {
      progress->MonitorButton()->setVisible(ui_.monitorButton->isVisible());
    }
  });
  runs_->OnTraffic = [this](TrafficDirection direction, std::span<const uint8_t> bytes) {
    monitor_->SendData(direction, bytes);
  };
}

void TMainForm::MenuAboutClick() {
  ShowAbout(this);
}

void TMainForm::MenuShowHelpClick() {
  ShowHelp(this);
}

void TMainForm::BtnOpenClick() {
  if (const std::optional<int> added = files_->OpenDataFiles()) OpenedFilesChosen(*added);
}

void TMainForm::OpenDataFiles(const QStringList& names) {
  if (!names.isEmpty()) OpenedFilesChosen(files_->AddDataFiles(names));
}

void TMainForm::OpenDroppedFiles(const QList<QUrl>& urls) {
  if (!ui_.openAction->isEnabled()) return;
  if (const std::optional<int> added = files_->OpenDroppedFiles(urls)) OpenedFilesChosen(*added);
}

void TMainForm::dragEnterEvent(QDragEnterEvent* event) {
  if (ui_.openAction->isEnabled() && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TMainForm::dragMoveEvent(QDragMoveEvent* event) {
  if (ui_.openAction->isEnabled() && event->mimeData()->hasUrls()) event->acceptProposedAction();
}

void TMainForm::dropEvent(QDropEvent* event) {
  if (!ui_.openAction->isEnabled() || !event->mimeData()->hasUrls()) return;
  event->acceptProposedAction();
  const QList<QUrl> urls = event->mimeData()->urls();
  // The drag's source waits until the drop is answered: the message a refused
  // drop shows comes after that.
  QMetaObject::invokeMethod(
      this, [this, urls] { OpenDroppedFiles(urls); }, Qt::QueuedConnection);
}

// The entries below the files just added moved down; the first file opened
// is chosen, and handled again when it was the chosen one already.
void TMainForm::OpenedFilesChosen(int added) {
  if (handledFileIndex_ >= 0) handledFileIndex_ += added;
  if (ui_.fileList->currentIndex() == handledFileIndex_) handledFileIndex_ = -1;
  ComboBoxChange(ui_.fileList);
}

void TMainForm::BtnCodeHexClick() {
  files_->EncodeDataFile(dataFileName_,
                         ui_.deviceList->currentIndex() > 0 ? &SelectedRow() : nullptr);
}

void TMainForm::MenuSaveLogClick() {
  files_->SaveLog(*ui_.log, runs_->LogStarted());
}

}  // namespace quorvel
