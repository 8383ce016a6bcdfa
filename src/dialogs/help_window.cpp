#include "dialogs/help_window.h"

#include <QAbstractTextDocumentLayout>
#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStyle>
#include <QTextBlock>
#include <QTextLayout>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>

#include "app/globals.h"
#include "app/text_utils.h"
#include "dialogs/dialog_support.h"
#include "dialogs/product_images.h"

namespace quorvel {
namespace {

constexpr TextPair kCaption{"Pomoc", "Help"};
constexpr TextPair kClose{"Zamknij", "Close"};

// Each line is one memo line ("%s": the program name).
constexpr std::string_view kHelpPl =
    "I. Przeznaczenie programu.\n"
    "Program %s służy do samodzielnego uaktualniania wewnętrznego oprogramowania użytkowego "
    "urządzeń wyposażonych w bootloader Q-LOAD.\n"
    "\n"
    "II. Czynności przygotowawcze.\n"
    "1. Połącz urządzenie z komputerem za pomocą dostarczonego kabla.\n"
    "2. Włącz urządzenie. Upewnij się, że bateria nie jest rozładowana.\n"
    "3. Otwórz plik danych przyciskiem lub poleceniem menu: \"Polecenia->Otwórz plik danych\".\n"
    "Jego nazwa pojawi się na liście rozwijanej nad przyciskiem \"Programuj\".\n"
    "Klawisz Delete usuwa z otwartej listy rozwijanej podświetloną pozycję.\n"
    "4. Wybierz z listy typ urządzenia. Gdy żaden typ nie jest wybrany, %s wybiera typ "
    "zgodny z otwartym plikiem danych.\n"
    "5. Wybierz z listy właściwy port COM i parametry transmisji albo urządzenie USB.\n"
    "Gdy dostępny jest tylko jeden port lub jedno urządzenie USB, %s wybiera je sam.\n"
    "Domyślnie ustawione są standardowe parametry wybranego urządzenia. Można je zmienić do "
    "celów specjalnych.\n"
    "Przycisk ustawień portu pokazuje bieżącą konfigurację, na przykład 9600 N 8 1.\n"
    "\n"
    "III. Programowanie urządzenia.\n"
    "1. Naciśnij przycisk \"Programuj\", aby rozpocząć programowanie.\n"
    "Nie wyłączaj urządzenia i nie zamykaj programu w trakcie programowania, aby nie uszkodzić "
    "danych.\n"
    "2. Program %s zapisuje w logu cały przebieg programowania. Jeśli programowanie się nie "
    "powiedzie, log pomaga ustalić przyczynę. Log można zapisać jako plik tekstowy poleceniem "
    "menu: \"Polecenia->Zapisz log\".\n"
    "3. Po zakończeniu programowania okno komunikatu informuje o wyniku.";

constexpr std::string_view kHelpEn =
    "I. Application purpose.\n"
    "Program %s is designed to upgrading firmware in instruments equipped with Q-LOAD "
    "bootloader.\n"
    "\n"
    "II. Preparatory steps.\n"
    "1. Connect instrument to PC using provided cable.\n"
    "2. Turn on the device. Be sure that battery is not discharged. \n"
    "3. Open data file using button or menu command: \"Command->Open data file\".\n"
    "Its name will be displayed in combo box, located above button \"Program\"\n"
    "4. Select device type from the list.\n"
    "5. Select proper COM port and transmission parameters or USB device from the list.\n"
    "Standard parameters for selected device are set by default. They can be changed for "
    "special purposes.\n"
    "\n"
    "III. Programming instrument.\n"
    "1. Press button \"Program\" to start programming sequence.\n"
    "Do not turn off the instrument or close the application during programming, to avoid data "
    "corruption.\n"
    "2. Application %s is saving all activity in log during programming. If  programming is "
    "unsuccessful, it can be helpful to understand cause of failure. Log can be saved as text "
    "file, using menu command: \"Command->Save log\".";

// The line (from 0) whose width sets the window's width; longer lines wrap.
constexpr int kReferenceLine[2] = {4, 1};

QPointer<HelpWindow> openHelp;

}  // namespace

QString HelpText() {
  const std::string_view name = ProgramName();
  const std::string_view pattern = Language == 0 ? kHelpPl : kHelpEn;
  return QString::fromStdString(FormatText(pattern, {name, name, name, name}));
}

HelpWindow::HelpWindow(QWidget* mainWindow)
    : QWidget(nullptr, Qt::Window), mainWindow_(mainWindow) {
  setAttribute(Qt::WA_DeleteOnClose);
  setWindowTitle(ToQString(ProgramName()) + QStringLiteral(" ...") + Text(kCaption));
  setWindowIcon(ApplicationIcon());

  memo_ = new QPlainTextEdit(this);
  memo_->setReadOnly(true);
  memo_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memo_->setLineWrapMode(QPlainTextEdit::WidgetWidth);
  memo_->setPlainText(HelpText());
  memo_->setAccessibleName(Text(kCaption));

  bottom_ = new QWidget(this);
  close_ = new QPushButton(Text(kClose), bottom_);
  close_->setAccessibleName(close_->text());
  close_->setFixedSize(std::max(91, close_->sizeHint().width()),
                       std::max(28, close_->sizeHint().height()));
  connect(close_, &QPushButton::clicked, this, &QWidget::close);
  auto* bottomLayout = new QHBoxLayout(bottom_);
  bottomLayout->setContentsMargins(0, 6, 0, 6);
  bottomLayout->addWidget(close_, 0, Qt::AlignHCenter);

  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(memo_, 1);
  layout->addWidget(bottom_);

  // Width: the reference line whole, plus the scroll bar and the memo's
  // borders; at least the main window's width.
  const QStringList lines = memo_->toPlainText().split(QLatin1Char('\n'));
  const QString& reference = lines.value(kReferenceLine[Language == 0 ? 0 : 1]);
  const int frame = memo_->frameWidth();
  const int margin = static_cast<int>(memo_->document()->documentMargin());
  int width = memo_->fontMetrics().horizontalAdvance(reference) + 2 * margin + 2 * frame +
              style()->pixelMetric(QStyle::PM_ScrollBarExtent) + 4;
  if (mainWindow_ != nullptr) width = std::max(width, mainWindow_->width());
  const QRect area = WorkArea(mainWindow_);
  width = std::min(width, area.width());

  // Height until the lines are counted at the real width: the main
  // window's, or half the work area.
  const int height = mainWindow_ != nullptr ? mainWindow_->height() : area.height() / 2;
  resize(width, std::min(height, area.height()));

  QRect place(QPoint(0, 0), size());
  if (mainWindow_ != nullptr) {
    const QRect main = mainWindow_->frameGeometry();
    place.moveCenter(main.center());
    place.moveTop(main.top() + style()->pixelMetric(QStyle::PM_TitleBarHeight) +
                  (main.width() - mainWindow_->width()) / 2);
  } else {
    place = CentredOn(area, size());
  }
  move(KeepInside(place, area).topLeft());
}

int HelpWindow::LineCount() const {
  int count = 0;
  for (QTextBlock block = memo_->document()->begin(); block.isValid(); block = block.next()) {
    const QTextLayout* layout = block.layout();
    count += layout != nullptr && layout->lineCount() > 0 ? layout->lineCount() : 1;
  }
  return count;
}

int HelpWindow::ChromeHeight() const {
  const int margin = static_cast<int>(memo_->document()->documentMargin());
  return 2 * memo_->frameWidth() + 2 * margin + bottom_->sizeHint().height();
}

void HelpWindow::FitToLines() {
  const QRect area = WorkArea(this);
  const QMargins frame(
      geometry().left() - frameGeometry().left(), geometry().top() - frameGeometry().top(),
      frameGeometry().right() - geometry().right(), frameGeometry().bottom() - geometry().bottom());
  int lines = 0;
  for (QTextBlock block = memo_->document()->begin(); block.isValid(); block = block.next()) {
    lines +=
        static_cast<int>(memo_->document()->documentLayout()->blockBoundingRect(block).height());
  }
  const int height = std::min(lines + ChromeHeight(), area.height() - frame.top() - frame.bottom());
  resize(width(), height);
  const QRect framed =
      QRect(pos(), size() + QSize(frame.left() + frame.right(), frame.top() + frame.bottom()));
  move(KeepInside(framed, area).topLeft());
}

void HelpWindow::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (fitted_) return;
  fitted_ = true;
  // Once the memo has its width and has wrapped its lines.
  QTimer::singleShot(0, this, &HelpWindow::FitToLines);
}

HelpWindow* ShowHelp(QWidget* mainWindow) {
  if (openHelp == nullptr) {
    openHelp = new HelpWindow(mainWindow);
    openHelp->show();
    return openHelp;
  }
  // Back from the task bar as it was before (maximised stays maximised).
  openHelp->setWindowState(openHelp->windowState() & ~Qt::WindowMinimized);
  openHelp->show();
  openHelp->raise();
  openHelp->activateWindow();
  return openHelp;
}

HelpWindow* OpenHelpWindow() {
  return openHelp;
}

}  // namespace quorvel
