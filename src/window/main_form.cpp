#include "window/main_form.h"

#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QSignalBlocker>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/data_file.h"
#include "dialogs/about_box.h"
#include "dialogs/dialog_support.h"
#include "dialogs/help_window.h"
#include "dialogs/link_label.h"
#include "dialogs/product_data.h"
#include "dialogs/product_images.h"
#include "window/file_actions.h"
#include "window/file_combo_box.h"
#include "window/progress_form.h"
#include "window/run_control.h"

namespace quorvel {
namespace {

constexpr TextPair kLabelDevice{"Typ urządzenia:", "Device type:"};
constexpr TextPair kLabelSerialPort{"Port komunikacji:", "Comm port:"};
constexpr TextPair kLabelUsbDevice{"Urządzenie USB:", "USB device:"};
constexpr TextPair kLabelFileName{"Plik danych:", "Data file:"};
constexpr TextPair kLabelAddress{"Adres urządzenia:", "Device address:"};
constexpr TextPair kHintDevice{"Wybierz typ urządzenia", "Select device type"};
constexpr TextPair kHintPort{"Wybierz port komunikacji", "Select comm port"};
constexpr TextPair kHintFile{"Wybierz plik danych", "Select data file"};
constexpr TextPair kHintAddress{"Adres urządzenia na magistrali RS-485 (1..65534)",
                                "Bus address of the RS-485 device (1..65534)"};
constexpr TextPair kOpenData{"Otwórz plik danych", "Open data file"};
constexpr TextPair kProgramDevice{"Programuj urządzenie", "Program device"};
constexpr TextPair kProgram{"Programuj", "Program"};
constexpr TextPair kShowHelp{"Pokaż pomoc", "Show help"};
constexpr TextPair kEncodeData{"Zakoduj plik danych", "Encode data file"};
constexpr TextPair kMenuCommand{"Polecenie", "Command"};
constexpr TextPair kMenuSaveLog{"Zapisz log", "Save log"};
constexpr TextPair kMenuClose{"Zakończ", "Exit"};
constexpr TextPair kMenuHelp{"Pomoc", "Help"};
constexpr TextPair kMenuAbout{"O programie", "About"};
constexpr TextPair kLogName{"Log przebiegu", "Run log"};
constexpr TextPair kParamHint{"Ustawienia portu szeregowego", "Comm port settings"};
constexpr TextPair kParamDiffers{" (niezgodne z domyślnymi !)", " (different from default !)"};
// The monitor program beside the executable.
const QString kMonitorProgram = QStringLiteral("Vantor");

// Lines the log shows without scrolling.
constexpr int kLogLines = 14;
constexpr int kGlyphSize = 16;

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
  serial_.line = {br009600, pbNone, dbEight, sbOne};

  BuildMenusAndToolBar();
  BuildClient();
  files_ = std::make_unique<FileActions>(this, cbFileName_, prompt_);
  serialPorts_->OnListChange = [this, source = serialPorts_.get()] { PortListChanged(source); };
  usbDevices_->OnListChange = [this, source = usbDevices_.get()] { PortListChanged(source); };
  AttachUsbComponent();
  AttachRunControl();
  FillDeviceList();
  LayOutLists();
  prompt_.SetCenterOverOwner(true);
  RestoreHistory();
  ComboBoxChange(cbDeviceType_);
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
  runs_ = std::make_unique<RunControl>(this, devices_, usb_.get(), memoLog_, prompt_);
  runs_->OnMonitor = [this] {
    if (btnVantor_->isVisible()) StartMonitor();
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
    cbPort_->setCurrentIndex(cbPort_->count() == 2 ? 1 : 0);
    handledPortIndex_ = -1;
    ComboBoxChange(cbPort_);
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
  return cbFileName_;
}

void TMainForm::BuildMenusAndToolBar() {
  auto action = [this](const TextPair& caption, const TextPair& hint, const QString& image) {
    auto* act = new QAction(Text(caption), this);
    act->setToolTip(Text(hint));
    act->setStatusTip(QStringLiteral(" ") + Text(hint));
    if (!image.isEmpty()) act->setIcon(QIcon(RenderPixmap(image, {kGlyphSize, kGlyphSize}, 2.0)));
    return act;
  };
  actOpen_ = action(kOpenData, kOpenData, kImageOpen);
  actEncode_ = action(kEncodeData, kEncodeData, kImageEncode);
  actProgram_ = action(kProgram, kProgramDevice, kImageProgram);
  actSaveLog_ = action(kMenuSaveLog, kMenuSaveLog, kImageSaveLog);
  actExit_ = action(kMenuClose, kMenuClose, {});
  actHelp_ = action(kShowHelp, kShowHelp, kImageHelp);
  actAbout_ = action(kMenuAbout, kMenuAbout, {});
  actMonitor_ = action(kMonitorHint, kMonitorHint, kImageCom);
  actOpen_->setShortcut(QKeySequence::Open);
  actHelp_->setShortcut(QKeySequence::HelpContents);
  connect(actOpen_, &QAction::triggered, this, [this] { BtnOpenClick(); });
  connect(actEncode_, &QAction::triggered, this, [this] { BtnCodeHexClick(); });
  connect(actProgram_, &QAction::triggered, this, [this] { BtnStartClick(); });
  connect(actSaveLog_, &QAction::triggered, this, [this] { MenuSaveLogClick(); });
  connect(actExit_, &QAction::triggered, this, &QWidget::close);
  connect(actHelp_, &QAction::triggered, this, [this] { MenuShowHelpClick(); });
  connect(actAbout_, &QAction::triggered, this, [this] { MenuAboutClick(); });
  connect(actMonitor_, &QAction::triggered, this, [this] { StartMonitor(); });

  QMenu* command = menuBar()->addMenu(Text(kMenuCommand));
  command->addAction(actOpen_);
  command->addAction(actEncode_);
  command->addAction(actProgram_);
  command->addSeparator();
  command->addAction(actSaveLog_);
  command->addSeparator();
  command->addAction(actExit_);
  QMenu* help = menuBar()->addMenu(Text(kMenuHelp));
  help->addAction(actHelp_);
  help->addAction(actAbout_);

  // The maker's logo at the right end of the menu bar opens the maker's
  // web page.
  if (Edition == 0) {
    const QString web = ToQString(Publisher().web);
    logo_ = new LinkLabel(QString(), QUrl(web), menuBar());
    const int height = menuBar()->sizeHint().height() - 4;
    const QSize logoSize(height * 4, height);
    logo_->setPixmap(RenderPixmap(kImageLogo, logoSize, devicePixelRatio()));
    logo_->setFixedSize(logoSize);
    logo_->setStatusTip(QStringLiteral(" ") + web);
    logo_->setToolTip(web);
    logo_->setAccessibleName(web);
    menuBar()->setCornerWidget(logo_, Qt::TopRightCorner);
  }

  QToolBar* tools = addToolBar(Text(kMenuCommand));
  tools->setObjectName(QStringLiteral("ToolBar"));
  tools->setMovable(false);
  tools->setFloatable(false);
  tools->setIconSize({kGlyphSize, kGlyphSize});
  tools->toggleViewAction()->setEnabled(false);
  tools->addAction(actOpen_);
  tools->addAction(actProgram_);
  tools->addAction(actEncode_);
  tools->addSeparator();
  tools->addAction(actMonitor_);
  tools->addSeparator();
  tools->addAction(actHelp_);
  btnVantor_ = qobject_cast<QToolButton*>(tools->widgetForAction(actMonitor_));
  setContextMenuPolicy(Qt::NoContextMenu);
  statusBar()->setSizeGripEnabled(false);
}

void TMainForm::BuildClient() {
  auto* client = new QWidget(this);
  client->setObjectName(QStringLiteral("PanelClient"));
  client->setFocusPolicy(Qt::ClickFocus);
  setCentralWidget(client);
  auto* grid = new QGridLayout(client);

  auto label = [client](const TextPair& text) { return new QLabel(Text(text), client); };
  auto list = [client](QComboBox* combo, QLabel* label, const TextPair& hint) {
    combo->setParent(client);
    combo->setToolTip(Text(hint));
    combo->setStatusTip(QStringLiteral(" ") + Text(hint));
    combo->setAccessibleName(label->text());
    label->setBuddy(combo);
    return combo;
  };
  labelDevice_ = label(kLabelDevice);
  labelPort_ = label(kLabelSerialPort);
  labelFileName_ = label(kLabelFileName);
  labelAddr_ = label(kLabelAddress);
  cbDeviceType_ = list(new QComboBox(client), labelDevice_, kHintDevice);
  cbPort_ = list(new QComboBox(client), labelPort_, kHintPort);
  cbFileName_ =
      static_cast<FileComboBox*>(list(new FileComboBox(client), labelFileName_, kHintFile));
  editAddr_ = new QLineEdit(client);
  editAddr_->setToolTip(Text(kHintAddress));
  editAddr_->setStatusTip(QStringLiteral(" ") + Text(kHintAddress));
  editAddr_->setAccessibleName(labelAddr_->text());
  editAddr_->setMaxLength(5);
  labelAddr_->setBuddy(editAddr_);
  btnComParam_ = new QPushButton(client);
  btnComParam_->setAutoDefault(false);
  btnProgram_ = new QPushButton(actProgram_->icon(), Text(kProgram), client);
  btnProgram_->setToolTip(Text(kProgramDevice));
  btnProgram_->setStatusTip(QStringLiteral(" ") + Text(kProgramDevice));
  memoLog_ = new QPlainTextEdit(client);
  memoLog_->setReadOnly(true);
  memoLog_->setLineWrapMode(QPlainTextEdit::NoWrap);
  memoLog_->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  memoLog_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memoLog_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  memoLog_->setAccessibleName(Text(kLogName));
  memoLog_->setFocusPolicy(Qt::ClickFocus);

  // Hidden companions keep their place: the window has one size.
  for (QWidget* widget : {static_cast<QWidget*>(labelAddr_), static_cast<QWidget*>(editAddr_),
                          static_cast<QWidget*>(btnComParam_)}) {
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
  }
  grid->addWidget(labelDevice_, 0, 0);
  grid->addWidget(cbDeviceType_, 0, 1);
  grid->addWidget(labelPort_, 1, 0);
  grid->addWidget(cbPort_, 1, 1);
  grid->addWidget(btnComParam_, 1, 2);
  grid->addWidget(labelAddr_, 2, 0);
  grid->addWidget(editAddr_, 2, 1, Qt::AlignLeft);
  grid->addWidget(labelFileName_, 3, 0);
  grid->addWidget(cbFileName_, 3, 1, 1, 2);
  grid->addWidget(btnProgram_, 4, 1, 1, 2, Qt::AlignRight);
  grid->addWidget(memoLog_, 5, 0, 1, 3);
  grid->setColumnStretch(1, 1);

  for (QComboBox* combo : {cbDeviceType_, cbPort_, static_cast<QComboBox*>(cbFileName_)}) {
    connect(combo, &QComboBox::currentIndexChanged, this, [this, combo] { ComboBoxChange(combo); });
    combo->view()->installEventFilter(this);
    combo->installEventFilter(this);
  }
  connect(editAddr_, &QLineEdit::textChanged, this, [this] { UpdateCommands(); });
  connect(btnComParam_, &QPushButton::clicked, this, [this] { BtnCOMParamClick(); });
  connect(btnProgram_, &QPushButton::clicked, this, [this] { BtnStartClick(); });
}

void TMainForm::FillDeviceList() {
  const QSignalBlocker block(cbDeviceType_);
  for (const std::string& text : deviceTexts_) cbDeviceType_->addItem(ToQString(text));
  cbDeviceType_->setCurrentIndex(0);
  handledDeviceIndex_ = -1;
  const QSignalBlocker blockPort(cbPort_);
  const std::string none(NoneText(Language));
  cbPort_->addItem(ToQString(none));
  portEntries_ = {{none, none}};
  cbPort_->setCurrentIndex(0);
  handledPortIndex_ = 0;
  selectedPort_ = none;
  handledFileIndex_ = cbFileName_->currentIndex();
}

// The two upper lists are as wide as the widest device text, USB device
// text ("0000/0000" after the name) and port name need, with room for a
// scroll bar; the address field holds five digits.
void TMainForm::LayOutLists() {
  const QFontMetrics metrics = cbDeviceType_->fontMetrics();
  int widest = metrics.horizontalAdvance(QStringLiteral("COM000"));
  for (const std::string& text : deviceTexts_) {
    widest = std::max(widest, metrics.horizontalAdvance(ToQString(text)));
  }
  for (const TDevAvailData& row : devices_) {
    if (row.LinkKind == TLinkKind::Usb) {
      widest = std::max(widest, metrics.horizontalAdvance(ToQString(row.Name + " 0000/0000")));
    }
  }
  const int content = widest + style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 8;
  QStyleOptionComboBox option;
  option.initFrom(cbDeviceType_);
  const QSize full = style()->sizeFromContents(QStyle::CT_ComboBox, &option,
                                               QSize(content, metrics.height()), cbDeviceType_);
  cbDeviceType_->setFixedWidth(full.width());
  cbPort_->setFixedWidth(full.width());
  editAddr_->setFixedWidth(editAddr_->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 8 +
                           2 * style()->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4);
  // The widest caption the settings button can get.
  btnComParam_->setText(QStringLiteral("125000 M 8 1.5"));
  btnComParam_->setFixedWidth(btnComParam_->sizeHint().width());
  btnComParam_->setText(QString());
  memoLog_->setFixedHeight(memoLog_->fontMetrics().lineSpacing() * kLogLines +
                           2 * memoLog_->frameWidth() + 8);
  layout()->setSizeConstraint(QLayout::SetFixedSize);
  adjustSize();
  // The device list opens as far down as the window reaches.
  const int below = height() - cbDeviceType_->mapTo(this, QPoint(0, cbDeviceType_->height())).y();
  cbDeviceType_->setMaxVisibleItems(std::max(8, below / std::max(1, metrics.height() + 4)));
}

void TMainForm::Place() {
  const QRect area = WorkArea(this);
  setGeometry(KeepInside(CentredOn(area, size()), area));
}

void TMainForm::RestoreHistory() {
  files_->RestoreHistory();
  serial_.frameGap =
      Settings().StandardFrameGap ? FrameGapChoice::Standard() : FrameGapChoice::Auto();
  ComboBoxChange(cbFileName_);
}

const TDevAvailData& TMainForm::SelectedRow() const {
  const int index = cbDeviceType_->currentIndex();
  return devices_[index > 0 && index < static_cast<int>(devices_.size()) ? index : 0];
}

PortSource* TMainForm::SourceOf(TLinkKind linkKind) const {
  if (linkKind == TLinkKind::Serial) return serialPorts_.get();
  if (linkKind == TLinkKind::Usb) return usbDevices_.get();
  return nullptr;
}

int TMainForm::HandledIndex(const QComboBox* list) const {
  if (list == cbDeviceType_) return handledDeviceIndex_;
  if (list == cbPort_) return handledPortIndex_;
  if (list == cbFileName_) return handledFileIndex_;
  return -1;
}

void TMainForm::FillPortList(PortSource& source) {
  const QSignalBlocker block(cbPort_);
  portEntries_ = source.Entries();
  cbPort_->clear();
  for (const PortEntry& entry : portEntries_) cbPort_->addItem(ToQString(entry.text));
}

void TMainForm::ComboBoxChange(QComboBox* sender) {
  int* handled = sender == cbDeviceType_ ? &handledDeviceIndex_
                 : sender == cbPort_     ? &handledPortIndex_
                 : sender == cbFileName_ ? &handledFileIndex_
                                         : nullptr;
  if (handled == nullptr) return;
  if (sender->currentIndex() != *handled) {
    if (sender == cbDeviceType_) {
      DeviceTypeChanged();
    } else if (sender == cbPort_) {
      const int index = cbPort_->currentIndex();
      selectedPort_ = index >= 0 && index < static_cast<int>(portEntries_.size())
                          ? portEntries_[index].text
                          : std::string(NoneText(Language));
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
  const bool keepList = cbPort_->count() >= 2 &&
                        ((row.LinkKind == TLinkKind::Serial && oldKind == TLinkKind::Serial) ||
                         (row.LinkKind == TLinkKind::Usb && oldKind == TLinkKind::Usb &&
                          old.UsbNames == row.UsbNames));
  if (row.LinkKind == TLinkKind::None) {
    const std::string none(NoneText(Language));
    {
      const QSignalBlocker block(cbPort_);
      cbPort_->clear();
      cbPort_->addItem(ToQString(none));
      portEntries_ = {{none, none}};
      cbPort_->setCurrentIndex(0);
    }
    ComboBoxChange(cbPort_);
    labelPort_->setText(Text(kLabelSerialPort));
  } else if (PortSource* source = SourceOf(row.LinkKind); source != nullptr) {
    if (!keepList) {
      source->SetExpectedNames(row.UsbNames);
      FillPortList(*source);
      {
        const QSignalBlocker block(cbPort_);
        cbPort_->setCurrentIndex(cbPort_->count() == 2 ? 1 : 0);
      }
      handledPortIndex_ = -1;
      ComboBoxChange(cbPort_);
    }
    if (row.LinkKind == TLinkKind::Serial) {
      serial_.line = {row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
      UpdateParamButton();
    }
    labelPort_->setText(Text(row.LinkKind == TLinkKind::Usb ? kLabelUsbDevice : kLabelSerialPort));
  }
  cbPort_->setAccessibleName(labelPort_->text());
  SetMonitorGlyph();
  UpdateCommands();
}

void TMainForm::FileChanged() {
  if (cbFileName_->count() == 0) {
    dataFileName_.clear();
    const QSignalBlocker block(cbFileName_);
    cbFileName_->setCurrentIndex(-1);
    UpdateCommands();
    return;
  }
  {
    const QSignalBlocker block(cbFileName_);
    dataFileName_ =
        cbFileName_->currentIndex() >= 0 ? cbFileName_->currentText().toStdString() : std::string();
  }
  // A data file for a known device type chooses that type when none is
  // chosen yet.
  if (cbDeviceType_->currentIndex() == 0 && !dataFileName_.empty()) {
    const DataFileContents header = ReadDataFileHeader(dataFileName_);
    if (header.Loaded()) {
      for (size_t i = 1; i < devices_.size(); ++i) {
        if (devices_[i].DevCode == header.DevCode && devices_[i].Variant == header.Variant) {
          const QSignalBlocker block(cbDeviceType_);
          cbDeviceType_->setCurrentIndex(static_cast<int>(i));
          break;
        }
      }
      if (cbDeviceType_->currentIndex() != 0) ComboBoxChange(cbDeviceType_);
    }
  }
  UpdateCommands();
}

void TMainForm::PortListChanged(PortSource* sender) {
  if (closed_) return;
  const TDevAvailData& row = SelectedRow();
  if (cbDeviceType_->currentIndex() <= 0 || sender != SourceOf(row.LinkKind)) return;
  cbPort_->hidePopup();
  const QString remembered = cbPort_->currentText();
  FillPortList(*sender);
  int index = 0;
  for (int i = 0; i < cbPort_->count(); ++i) {
    if (SameTextNoCase(cbPort_->itemText(i).toStdString(), remembered.toStdString())) {
      index = i;
      break;
    }
  }
  {
    const QSignalBlocker block(cbPort_);
    cbPort_->setCurrentIndex(index);
  }
  if (cbPort_->currentText() != remembered) {
    handledPortIndex_ = -1;
    ComboBoxChange(cbPort_);
  } else {
    handledPortIndex_ = index;
  }
}

void TMainForm::SetMonitorGlyph() {
  const QString image = SelectedRow().LinkKind == TLinkKind::Usb ? kImageUsb : kImageCom;
  actMonitor_->setIcon(QIcon(RenderPixmap(image, {kGlyphSize, kGlyphSize}, 2.0)));
}

void TMainForm::UpdateCommands() {
  const TDevAvailData& row = SelectedRow();
  const bool serial = row.LinkKind == TLinkKind::Serial;
  const bool portChosen = (serial && !IsNoneName(selectedPort_)) ||
                          (row.LinkKind == TLinkKind::Usb && cbPort_->currentIndex() > 0);
  const bool fileChosen = !dataFileName_.empty();
  const bool addressValid =
      cbDeviceType_->currentIndex() > 0 &&
      (row.Rs485 == 0 || ParseBusAddress(editAddr_->text().toStdString()).has_value());
  labelAddr_->setVisible(row.Rs485 == 1);
  editAddr_->setVisible(row.Rs485 == 1);
  btnComParam_->setVisible(addressValid && serial);
  // During a run only the progress window, the log, help and closing the
  // window answer; closing stays possible at any time.
  const bool idle = runs_->Idle();
  for (QWidget* control : {static_cast<QWidget*>(cbDeviceType_), static_cast<QWidget*>(cbPort_),
                           static_cast<QWidget*>(cbFileName_), static_cast<QWidget*>(editAddr_),
                           static_cast<QWidget*>(btnComParam_)}) {
    control->setEnabled(idle);
  }
  actOpen_->setEnabled(idle);
  actMonitor_->setEnabled(idle);
  const bool program = portChosen && fileChosen && addressValid && idle;
  actProgram_->setEnabled(program);
  btnProgram_->setEnabled(program);
  actEncode_->setEnabled(fileChosen && addressValid && idle);
  const bool hasLog = !memoLog_->document()->isEmpty();
  memoLog_->setEnabled(hasLog);
  actSaveLog_->setEnabled(hasLog && idle);
}

void TMainForm::UpdateParamButton() {
  const TDevAvailData& row = SelectedRow();
  if (cbDeviceType_->currentIndex() <= 0 || row.LinkKind != TLinkKind::Serial) return;
  const LineSettings& line = serial_.line;
  btnComParam_->setText(ToQString(LineSettingsCaption(line)));
  const LineSettings defaults{row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
  const bool same = line.Baud == defaults.Baud && line.Parity == defaults.Parity &&
                    line.DataBits == defaults.DataBits && line.StopBits == defaults.StopBits;
  const QString hint = Text(kParamHint) + (same ? QString() : Text(kParamDiffers));
  btnComParam_->setToolTip(hint);
  btnComParam_->setStatusTip(QStringLiteral(" ") + hint);
  btnComParam_->setAccessibleDescription(hint);
  // Red only while it can be used: a disabled button keeps the grey text.
  QPalette palette = QApplication::palette(btnComParam_);
  if (!same) {
    palette.setColor(QPalette::Active, QPalette::ButtonText, Qt::red);
    palette.setColor(QPalette::Inactive, QPalette::ButtonText, Qt::red);
  }
  btnComParam_->setPalette(palette);
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
    for (QComboBox* list : {cbDeviceType_, cbPort_, static_cast<QComboBox*>(cbFileName_)}) {
      if (watched == list->view() || watched == list) {
        if (ListKey(list, static_cast<QKeyEvent*>(event)->key())) return true;
      }
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

bool TMainForm::ListKey(QComboBox* list, int key) {
  if (!list->view()->isVisible()) return false;
  if (key == Qt::Key_Delete && list == cbFileName_) {
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
  const int highlighted = cbFileName_->view()->currentIndex().row();
  if (cbFileName_->count() == 0 || highlighted < 0) return;
  QString remembered;
  const bool hadChoice = handledFileIndex_ >= 0 && handledFileIndex_ < cbFileName_->count();
  if (hadChoice) remembered = cbFileName_->itemText(handledFileIndex_);
  cbFileName_->hidePopup();
  int index = -1;
  {
    const QSignalBlocker block(cbFileName_);
    cbFileName_->removeItem(highlighted);
    index = hadChoice ? cbFileName_->findText(remembered) : -1;
    if (index < 0 && cbFileName_->count() > 0) {
      index = 0;
      handledFileIndex_ = -1;
    }
    if (index == handledFileIndex_) handledFileIndex_ = -1;
    cbFileName_->setCurrentIndex(index);
  }
  ComboBoxChange(cbFileName_);
}

void TMainForm::BtnStartClick() {
  if (!actProgram_->isEnabled()) return;
  runs_->Start(ChosenRun(), serial_.frameGap, btnVantor_->isVisible(), actMonitor_->icon());
}

// The run the lists describe.
RunSelection TMainForm::ChosenRun() const {
  RunSelection selection;
  selection.DeviceIndex = cbDeviceType_->currentIndex();
  selection.DeviceText = cbDeviceType_->currentText().toStdString();
  selection.PortIndex = cbPort_->currentIndex();
  selection.PortName = selectedPort_;
  selection.FileName = dataFileName_;
  selection.BusAddressText = editAddr_->text().toStdString();
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
  event->accept();
}

void TMainForm::StartMonitor() {
  const QString program = QApplication::applicationDirPath() + QLatin1Char('/') + kMonitorProgram;
  if (QFileInfo(program).isExecutable()) QProcess::startDetached(program, {});
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

// The entries below the files just added moved down; the first file opened
// is chosen, and handled again when it was the chosen one already.
void TMainForm::OpenedFilesChosen(int added) {
  if (handledFileIndex_ >= 0) handledFileIndex_ += added;
  if (cbFileName_->currentIndex() == handledFileIndex_) handledFileIndex_ = -1;
  ComboBoxChange(cbFileName_);
}

void TMainForm::BtnCodeHexClick() {
  files_->EncodeDataFile(dataFileName_,
                         cbDeviceType_->currentIndex() > 0 ? &SelectedRow() : nullptr);
}

void TMainForm::MenuSaveLogClick() {
  files_->SaveLog(*memoLog_, runs_->LogStarted());
}

}  // namespace quorvel
