#include "window/main_form_controls.h"

#include <QAction>
#include <QComboBox>
#include <QGridLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QStyle>
#include <QStyleOptionComboBox>
#include <QToolBar>
#include <QToolButton>
#include <algorithm>

#include "dialogs/dialog_support.h"
#include "dialogs/link_label.h"
#include "dialogs/product_data.h"
#include "dialogs/product_images.h"
#include "window/file_combo_box.h"
#include "window/progress_form.h"

namespace quorvel {
namespace {

constexpr TextPair kLabelDevice{"Typ urządzenia:", "Device type:"};
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

// Lines the log shows without scrolling.
constexpr int kLogLines = 14;
constexpr int kGlyphSize = 16;

void BuildMenusAndToolBar(QMainWindow& window, MainFormControls& c) {
  auto action = [&window](const TextPair& caption, const TextPair& hint, const QString& image) {
    auto* act = new QAction(Text(caption), &window);
    act->setToolTip(Text(hint));
    act->setStatusTip(QStringLiteral(" ") + Text(hint));
    if (!image.isEmpty()) act->setIcon(CommandGlyph(image));
    return act;
  };
  c.openAction = action(kOpenData, kOpenData, kImageOpen);
  c.encodeAction = action(kEncodeData, kEncodeData, kImageEncode);
  c.programAction = action(kProgram, kProgramDevice, kImageProgram);
  c.saveLogAction = action(kMenuSaveLog, kMenuSaveLog, kImageSaveLog);
  c.exitAction = action(kMenuClose, kMenuClose, {});
  c.helpAction = action(kShowHelp, kShowHelp, kImageHelp);
  c.aboutAction = action(kMenuAbout, kMenuAbout, {});
  c.monitorAction = action(kMonitorHint, kMonitorHint, kImageCom);
  c.openAction->setShortcut(QKeySequence::Open);
  c.helpAction->setShortcut(QKeySequence::HelpContents);

  QMenuBar* menuBar = window.menuBar();
  QMenu* command = menuBar->addMenu(Text(kMenuCommand));
  command->addAction(c.openAction);
  command->addAction(c.encodeAction);
  command->addAction(c.programAction);
  command->addSeparator();
  command->addAction(c.saveLogAction);
  command->addSeparator();
  command->addAction(c.exitAction);
  QMenu* help = menuBar->addMenu(Text(kMenuHelp));
  help->addAction(c.helpAction);
  help->addAction(c.aboutAction);

  if (Edition == 0) {
    const QString web = ToQString(Publisher().web);
    c.logo = new LinkLabel(QString(), QUrl(web), menuBar);
    const int height = menuBar->sizeHint().height() - 4;
    const QSize logoSize(height * 4, height);
    c.logo->setPixmap(RenderPixmap(kImageLogo, logoSize, window.devicePixelRatio()));
    c.logo->setFixedSize(logoSize);
    c.logo->setStatusTip(QStringLiteral(" ") + web);
    c.logo->setToolTip(web);
    c.logo->setAccessibleName(web);
    menuBar->setCornerWidget(c.logo, Qt::TopRightCorner);
  }

  QToolBar* tools = window.addToolBar(Text(kMenuCommand));
  tools->setObjectName(QStringLiteral("ToolBar"));
  tools->setMovable(false);
  tools->setFloatable(false);
  tools->setIconSize({kGlyphSize, kGlyphSize});
  tools->toggleViewAction()->setEnabled(false);
  tools->addAction(c.openAction);
  tools->addAction(c.programAction);
  tools->addAction(c.encodeAction);
  tools->addSeparator();
  tools->addAction(c.monitorAction);
  tools->addSeparator();
  tools->addAction(c.helpAction);
  c.monitorButton = qobject_cast<QToolButton*>(tools->widgetForAction(c.monitorAction));
  window.setContextMenuPolicy(Qt::NoContextMenu);
  window.statusBar()->setSizeGripEnabled(false);
}

void BuildClient(QMainWindow& window, MainFormControls& c) {
  auto* client = new QWidget(&window);
  client->setObjectName(QStringLiteral("PanelClient"));
  client->setFocusPolicy(Qt::ClickFocus);
  window.setCentralWidget(client);
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
  c.deviceLabel = label(kLabelDevice);
  c.portLabel = label(kLabelSerialPort);
  c.fileLabel = label(kLabelFileName);
  c.addressLabel = label(kLabelAddress);
  c.deviceList = list(new QComboBox(client), c.deviceLabel, kHintDevice);
  c.portList = list(new QComboBox(client), c.portLabel, kHintPort);
  c.fileList = static_cast<FileComboBox*>(list(new FileComboBox(client), c.fileLabel, kHintFile));
  c.addressField = new QLineEdit(client);
  c.addressField->setToolTip(Text(kHintAddress));
  c.addressField->setStatusTip(QStringLiteral(" ") + Text(kHintAddress));
  c.addressField->setAccessibleName(c.addressLabel->text());
  c.addressField->setMaxLength(5);
  c.addressLabel->setBuddy(c.addressField);
  c.paramButton = new QPushButton(client);
  c.paramButton->setAutoDefault(false);
  c.programButton = new QPushButton(c.programAction->icon(), Text(kProgram), client);
  c.programButton->setToolTip(Text(kProgramDevice));
  c.programButton->setStatusTip(QStringLiteral(" ") + Text(kProgramDevice));
  c.log = new QPlainTextEdit(client);
  c.log->setReadOnly(true);
  c.log->setLineWrapMode(QPlainTextEdit::NoWrap);
  c.log->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  c.log->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  c.log->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  c.log->setAccessibleName(Text(kLogName));
  c.log->setFocusPolicy(Qt::ClickFocus);

  // Hidden companions keep their place: the window has one size.
  for (QWidget* widget :
       {static_cast<QWidget*>(c.addressLabel), static_cast<QWidget*>(c.addressField),
        static_cast<QWidget*>(c.paramButton)}) {
    QSizePolicy policy = widget->sizePolicy();
    policy.setRetainSizeWhenHidden(true);
    widget->setSizePolicy(policy);
  }
  grid->addWidget(c.deviceLabel, 0, 0);
  grid->addWidget(c.deviceList, 0, 1);
  grid->addWidget(c.portLabel, 1, 0);
  grid->addWidget(c.portList, 1, 1);
  grid->addWidget(c.paramButton, 1, 2);
  grid->addWidget(c.addressLabel, 2, 0);
  grid->addWidget(c.addressField, 2, 1, Qt::AlignLeft);
  grid->addWidget(c.fileLabel, 3, 0);
  grid->addWidget(c.fileList, 3, 1, 1, 2);
  grid->addWidget(c.programButton, 4, 1, 1, 2, Qt::AlignRight);
  grid->addWidget(c.log, 5, 0, 1, 3);
  grid->setColumnStretch(1, 1);
}

}  // namespace

QIcon CommandGlyph(const QString& image) {
  return QIcon(RenderPixmap(image, {kGlyphSize, kGlyphSize}, 2.0));
}

MainFormControls BuildMainFormControls(QMainWindow& window) {
  MainFormControls controls;
  BuildMenusAndToolBar(window, controls);
  BuildClient(window, controls);
  return controls;
}

void LayOutMainFormControls(QMainWindow& window, const MainFormControls& controls,
                            const TDevAvailArray& devices,
                            const std::vector<std::string>& deviceTexts) {
  QComboBox* deviceList = controls.deviceList;
  QStyle* style = window.style();
  const QFontMetrics metrics = deviceList->fontMetrics();
  int widest = metrics.horizontalAdvance(QStringLiteral("COM000"));
  for (const std::string& text : deviceTexts) {
    widest = std::max(widest, metrics.horizontalAdvance(ToQString(text)));
  }
  for (const TDevAvailData& row : devices) {
    if (row.LinkKind == TLinkKind::Usb) {
      widest = std::max(widest, metrics.horizontalAdvance(ToQString(row.Name + " 0000/0000")));
    }
  }
  // Room for a scroll bar in the open list.
  const int content = widest + style->pixelMetric(QStyle::PM_ScrollBarExtent) + 8;
  QStyleOptionComboBox option;
  option.initFrom(deviceList);
  const QSize full = style->sizeFromContents(QStyle::CT_ComboBox, &option,
                                             QSize(content, metrics.height()), deviceList);
  deviceList->setFixedWidth(full.width());
  controls.portList->setFixedWidth(full.width());
  QLineEdit* address = controls.addressField;
  address->setFixedWidth(address->fontMetrics().horizontalAdvance(QStringLiteral("00000")) + 8 +
                         2 * style->pixelMetric(QStyle::PM_DefaultFrameWidth) + 4);
  // The widest caption the settings button can get.
  QPushButton* param = controls.paramButton;
  param->setText(QStringLiteral("125000 M 8 1.5"));
  param->setFixedWidth(param->sizeHint().width());
  param->setText(QString());
  QPlainTextEdit* log = controls.log;
  log->setFixedHeight(log->fontMetrics().lineSpacing() * kLogLines + 2 * log->frameWidth() + 8);
  window.layout()->setSizeConstraint(QLayout::SetFixedSize);
  window.adjustSize();
  // The device list opens as far down as the window reaches.
  const int below =
      window.height() - deviceList->mapTo(&window, QPoint(0, deviceList->height())).y();
  deviceList->setMaxVisibleItems(std::max(8, below / std::max(1, metrics.height() + 4)));
}

}  // namespace quorvel
