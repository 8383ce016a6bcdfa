#include "dialogs/serial_settings_dialog.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>
#include <algorithm>
#include <vector>

#include "dialogs/dialog_support.h"
#include "serial/comm32kx.h"

namespace quorvel {
namespace {

constexpr TextPair kCaption{"Konfiguracja portu szeregowego", "Comm port settings"};
constexpr TextPair kBaudLabel{"Prędkość transmisji:", "Baud rate:"};
constexpr TextPair kFrameGapLabel{"Odstęp ramek:", "Frame gap:"};
constexpr TextPair kFrameGapAuto{"automatyczny", "auto"};
constexpr TextPair kParityCaption{"Parzystość:", "Parity:"};
constexpr TextPair kDataBitsCaption{"Bity danych:", "Data bits:"};
constexpr TextPair kStopBitsCaption{"Bity stopu:", "Stop bits:"};
constexpr TextPair kDefaultCaption{"Domyślne", "Default"};
constexpr TextPair kCancelCaption{"Anuluj", "Cancel"};
constexpr TextPair kOkCaption{"Ustaw", "OK"};

constexpr int kButtonHeight = 28;
constexpr int kSpacing = 8;

// A group of radio buttons, one per item, whose ids are the item ordinals.
QButtonGroup* AddRadioGroup(QGroupBox* box, const std::vector<QString>& items) {
  auto* group = new QButtonGroup(box);
  auto* layout = new QVBoxLayout(box);
  for (size_t i = 0; i < items.size(); ++i) {
    auto* radio = new QRadioButton(items[i], box);
    radio->setAccessibleName(items[i]);
    group->addButton(radio, static_cast<int>(i));
    layout->addWidget(radio);
  }
  layout->addStretch(1);
  box->setAccessibleName(box->title());
  return group;
}

void Check(QButtonGroup* group, uint8_t ordinal) {
  if (QAbstractButton* button = group->button(ordinal)) button->setChecked(true);
}

uint8_t Checked(const QButtonGroup* group) {
  return static_cast<uint8_t>(std::max(0, group->checkedId()));
}

}  // namespace

SerialSettingsDialog::SerialSettingsDialog(QWidget* owner, const LineSettings& defaults,
                                           const SerialSettings& current)
    : QDialog(owner, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                         Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      owner_(owner),
      defaults_(defaults) {
  setWindowTitle(Text(kCaption));

  auto* baudLabel = new QLabel(Text(kBaudLabel), this);
  baud_ = new QComboBox(this);
  for (uint8_t i = 0; i < kBaudRateCount; ++i) baud_->addItem(ToQString(BaudTextWithUnit(i)));
  baud_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  baudLabel->setBuddy(baud_);
  baud_->setAccessibleName(baudLabel->text());

  auto* gapLabel = new QLabel(Text(kFrameGapLabel), this);
  frameGap_ = new QComboBox(this);
  // The automatic gap first, then the standard one.
  frameGap_->addItem(Text(kFrameGapAuto));
  frameGap_->addItem(QString("%1 ms").arg(kStandardFrameGapMs));
  frameGap_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  gapLabel->setBuddy(frameGap_);
  frameGap_->setAccessibleName(gapLabel->text());

  auto* parityBox = new QGroupBox(Text(kParityCaption), this);
  auto* dataBitsBox = new QGroupBox(Text(kDataBitsCaption), this);
  auto* stopBitsBox = new QGroupBox(Text(kStopBitsCaption), this);
  std::vector<QString> parityItems, dataBitsItems, stopBitsItems;
  for (uint8_t i = 0; i < kParityCount; ++i) parityItems.push_back(ToQString(ParityName(i)));
  for (uint8_t i = 0; i < kDataBitsCount; ++i) dataBitsItems.push_back(ToQString(DataBitsText(i)));
  for (uint8_t i = 0; i < kStopBitsCount; ++i) stopBitsItems.push_back(ToQString(StopBitsText(i)));
  parity_ = AddRadioGroup(parityBox, parityItems);
  dataBits_ = AddRadioGroup(dataBitsBox, dataBitsItems);
  stopBits_ = AddRadioGroup(stopBitsBox, stopBitsItems);

  default_ = new QPushButton(Text(kDefaultCaption), this);
  cancel_ = new QPushButton(Text(kCancelCaption), this);
  ok_ = new QPushButton(Text(kOkCaption), this);
  for (QPushButton* button : {default_, cancel_, ok_}) {
    button->setAccessibleName(button->text());
    button->setAutoDefault(false);
  }
  ok_->setDefault(true);  // Enter confirms
  connect(default_, &QPushButton::clicked, this, [this] {
    SetValues({defaults_, FrameGapChoice::Standard()});
  });
  connect(ok_, &QPushButton::clicked, this, &QDialog::accept);
  connect(cancel_, &QPushButton::clicked, this, &QDialog::reject);

  // The three groups and the buttons equally wide: as wide as the widest
  // group needs for its items or its caption.
  int column = 0;
  for (QWidget* w : {static_cast<QWidget*>(parityBox), static_cast<QWidget*>(dataBitsBox),
                     static_cast<QWidget*>(stopBitsBox), static_cast<QWidget*>(default_),
                     static_cast<QWidget*>(cancel_), static_cast<QWidget*>(ok_)}) {
    column = std::max(column, w->sizeHint().width());
  }
  column += 16;
  for (QWidget* w : {static_cast<QWidget*>(parityBox), static_cast<QWidget*>(dataBitsBox),
                     static_cast<QWidget*>(stopBitsBox)}) {
    w->setFixedWidth(column);
  }
  for (QPushButton* button : {default_, cancel_, ok_}) {
    button->setFixedSize(column, std::max(kButtonHeight, button->sizeHint().height()));
  }

  auto* top = new QGridLayout;
  top->setHorizontalSpacing(kSpacing / 2 + 4);
  top->addWidget(baudLabel, 0, 0);
  top->addWidget(baud_, 0, 1);
  top->addWidget(gapLabel, 1, 0);
  top->addWidget(frameGap_, 1, 1);
  top->setColumnStretch(2, 1);
  // Both lists as wide as the wider of them.
  const int listWidth = std::max(baud_->sizeHint().width(), frameGap_->sizeHint().width());
  baud_->setFixedWidth(listWidth);
  frameGap_->setFixedWidth(listWidth);

  // "Default" under the stop bits, its bottom on the bottom of the data bits.
  auto* stopColumn = new QVBoxLayout;
  stopColumn->setSpacing(kSpacing);
  stopColumn->addWidget(stopBitsBox);
  stopColumn->addStretch(1);
  stopColumn->addWidget(default_);
  auto* groups = new QHBoxLayout;
  groups->setSpacing(kSpacing);
  groups->addWidget(parityBox);
  groups->addWidget(dataBitsBox);
  groups->addLayout(stopColumn);

  // OK right-aligned with the stop bits, Cancel to its left.
  auto* buttons = new QHBoxLayout;
  buttons->setSpacing(kSpacing);
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  buttons->addWidget(ok_);

  auto* panel = new QVBoxLayout(this);
  panel->setSpacing(kSpacing + 2);
  panel->addLayout(top);
  panel->addLayout(groups);
  panel->addLayout(buttons);
  // Not resizable: the window is exactly as large as its contents.
  panel->setSizeConstraint(QLayout::SetFixedSize);

  SetValues(current);
  baud_->setFocus();
}

SerialSettings SerialSettingsDialog::Values() const {
  SerialSettings values;
  values.line.Baud = static_cast<uint8_t>(std::max(0, baud_->currentIndex()));
  values.line.Parity = Checked(parity_);
  values.line.DataBits = Checked(dataBits_);
  values.line.StopBits = Checked(stopBits_);
  values.frameGap =
      frameGap_->currentIndex() == 0 ? FrameGapChoice::Auto() : FrameGapChoice::Standard();
  return values;
}

void SerialSettingsDialog::SetValues(const SerialSettings& values) {
  if (values.line.Baud < kBaudRateCount) baud_->setCurrentIndex(values.line.Baud);
  Check(parity_, values.line.Parity);
  Check(dataBits_, values.line.DataBits);
  Check(stopBits_, values.line.StopBits);
  frameGap_->setCurrentIndex(values.frameGap.automatic ? 0 : 1);
}

void SerialSettingsDialog::Place() {
  PlaceOverOwner(this, owner_);
}

std::optional<SerialSettings> EditSerialSettings(QWidget* owner, const LineSettings& defaults,
                                                 const SerialSettings& current) {
  auto* dialog = new SerialSettingsDialog(owner, defaults, current);
  dialog->Place();
  return ExecForValue(dialog, &SerialSettingsDialog::Values);
}

SerialSettings CurrentSerialSettings(const TComm32Kx& comm) {
  SerialSettings settings;
  settings.line = {comm.BaudRate(), comm.Parity(), comm.DataBits(), comm.StopBits()};
  settings.frameGap =
      comm.FrameGap().automatic ? FrameGapChoice::Auto() : FrameGapChoice::Standard();
  return settings;
}

void ApplySerialSettings(TComm32Kx& comm, const SerialSettings& settings) {
  comm.SetFrameGap(settings.frameGap);
  comm.SetParams(std::nullopt, static_cast<TBaudRate>(settings.line.Baud),
                 static_cast<TParityBit>(settings.line.Parity),
                 static_cast<TDataBits>(settings.line.DataBits),
                 static_cast<TStopBits>(settings.line.StopBits));
}

}  // namespace quorvel
