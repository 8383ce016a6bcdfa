// The About box and the help window: texts per edition and language, the
// build line under Shift+Ctrl, the link labels, the watermark, and the help
// window's single instance, size and place.
#include <gtest/gtest.h>

#include <QDesktopServices>
#include <QEnterEvent>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QTest>
#include <QTextBlock>
#include <QTextLayout>
#include <QUrl>
#include <vector>

#include "dialogs/about_box.h"
#include "dialogs/dialog_support.h"
#include "dialogs/help_window.h"
#include "dialogs/link_label.h"
#include "dialogs/product_data.h"
#include "dialogs_test_support.h"

namespace quorvel {

// Collects the addresses the desktop was asked to open.
class UrlRecorder : public QObject {
  Q_OBJECT
 public:
  UrlRecorder() {
    for (const char* scheme : {"https", "http", "mailto"}) {
      QDesktopServices::setUrlHandler(scheme, this, "Open");
    }
  }
  ~UrlRecorder() override {
    for (const char* scheme : {"https", "http", "mailto"})
      QDesktopServices::unsetUrlHandler(scheme);
  }
  std::vector<QUrl> opened;
 public slots:
  void Open(const QUrl& url) { opened.push_back(url); }
};

namespace {

using testing::ProgramScope;

QStringList LabelTexts(const QWidget* box) {
  QStringList texts;
  for (QLabel* label : box->findChildren<QLabel*>()) {
    if (label->isVisibleTo(box) && !label->text().isEmpty()) texts << label->text();
  }
  return texts;
}

struct AboutCase {
  uint8_t edition;
  uint8_t language;
  QString caption;
  QString version;
  QString purposeStart;
  QString phonePrefix;
};

TEST(DialogsAbout, TextsPerEditionAndLanguage) {
  const QString version = QStringLiteral(QUORVEL_VERSION);
  const std::vector<AboutCase> cases = {
      {0, 0, "Quorvel... O programie", "wersja " + version,
       "Aplikacja przeznaczona do samodzielnego uaktualniania wewnętrznego oprogramowania  "
       "użytkowego urządzeń produkcji VARNELD",
       "tel.: "},
      {0, 1, "Quorvel... About", "ver. " + version,
       "Application designed to upgrading firmware in instruments made by VARNELD", "phone: "},
      {1, 0, "QuorvelKMB... O programie", "wersja " + version,
       "Aplikacja przeznaczona do samodzielnego uaktualniania wewnętrznego oprogramowania  "
       "użytkowego urządzeń wyposażonych",
       "tel.: "},
      {1, 1, "QuorvelKMB... About", "ver. " + version,
       "Application designed to upgrading firmware in instruments equipped", "phone: "},
  };
  for (const AboutCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "edition " << int(c.edition) << " language " << int(c.language));
    ProgramScope program(c.language, c.edition);
    const PublisherData& publisher = kPublishers[c.edition];
    AboutBox box(nullptr, Qt::NoModifier);
    EXPECT_EQ(box.windowTitle(), c.caption);
    const QStringList texts = LabelTexts(&box);
    ASSERT_EQ(texts.size(), 8) << texts.join(" | ").toStdString();
    EXPECT_EQ(texts[0], c.edition == 0 ? "Quorvel" : "QuorvelKMB");
    EXPECT_EQ(texts[1], c.version);
    EXPECT_TRUE(texts[2].startsWith(c.purposeStart)) << texts[2].toStdString();
    EXPECT_EQ(texts[3], ToQString(publisher.company));
    EXPECT_EQ(texts[4], ToQString(c.language == 0 ? publisher.address.pl : publisher.address.en));
    EXPECT_EQ(texts[5], c.phonePrefix + ToQString(publisher.phone));
    EXPECT_EQ(texts[6], ToQString(publisher.web));
    EXPECT_EQ(texts[7], "e-mail: " + ToQString(publisher.email));
    EXPECT_TRUE(texts.join(' ').contains("placeholder"));
    EXPECT_EQ(box.WebLink()->Target(), QUrl(ToQString(publisher.web)));
    EXPECT_EQ(box.MailLink()->Target(), QUrl("mailto:" + ToQString(publisher.email)));
    testing::ExpectAccessibleNames(&box);
  }
}

TEST(DialogsAbout, TheBuildLineShowsOnlyWithShiftAndCtrlHeld) {
  struct KeysCase {
    Qt::KeyboardModifiers held;
    bool shown;
  };
  for (const KeysCase& c :
       {KeysCase{Qt::NoModifier, false}, KeysCase{Qt::ShiftModifier, false},
        KeysCase{Qt::ControlModifier, false}, KeysCase{Qt::AltModifier, false},
        KeysCase{Qt::ShiftModifier | Qt::ControlModifier, true},
        KeysCase{Qt::ShiftModifier | Qt::ControlModifier | Qt::AltModifier, true}}) {
    AboutBox box(nullptr, c.held);
    box.show();
    EXPECT_EQ(box.BuildLine()->isVisible(), c.shown) << c.held.toInt();
    EXPECT_TRUE(box.BuildLine()->text().startsWith("Qt "));
  }
}

TEST(DialogsAbout, LinksTurnBlueUnderThePointerAndOpenTheirAddress) {
  ProgramScope program(1, 0);
  UrlRecorder recorder;
  AboutBox box(nullptr, Qt::NoModifier);
  box.show();
  const QColor normal = box.palette().color(QPalette::WindowText);
  for (LinkLabel* link : {box.WebLink(), box.MailLink()}) {
    EXPECT_EQ(link->cursor().shape(), Qt::PointingHandCursor);
    QEnterEvent enter(QPointF(2, 2), QPointF(2, 2), QPointF(2, 2));
    QApplication::sendEvent(link, &enter);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), QColor(Qt::blue));
    QEvent leave(QEvent::Leave);
    QApplication::sendEvent(link, &leave);
    EXPECT_EQ(link->palette().color(QPalette::WindowText), normal);
    QTest::mouseClick(link, Qt::LeftButton);
  }
  box.MailLink()->setFocus();
  QTest::keyClick(box.MailLink(), Qt::Key_Space);
  ASSERT_EQ(recorder.opened.size(), 3u);
  EXPECT_EQ(recorder.opened[0], QUrl(ToQString(kPublishers[0].web)));
  EXPECT_EQ(recorder.opened[1].scheme(), QStringLiteral("mailto"));
  EXPECT_EQ(recorder.opened[1].path(), ToQString(kPublishers[0].email));
  EXPECT_EQ(recorder.opened[2], recorder.opened[1]);
}

QColor Darker8(const QColor& c) {
  return QColor(std::max(0, c.red() - 8), std::max(0, c.green() - 8), std::max(0, c.blue() - 8));
}

// The colour of the tile's opaque pixels (the mask's black ones).
QColor MarkColour(const QImage& tile) {
  for (int y = 0; y < tile.height(); ++y) {
    for (int x = 0; x < tile.width(); ++x) {
      const QColor pixel = tile.pixelColor(x, y);
      if (pixel.alpha() == 255) return pixel;
    }
  }
  return {};
}

TEST(DialogsAbout, TheWatermarkFollowsThePaletteInTheMakersEditionOnly) {
  {
    ProgramScope program(0, 0);
    AboutBox box(nullptr, Qt::NoModifier);
    const QColor window = box.palette().color(QPalette::Window);
    ASSERT_FALSE(box.Watermark().isNull());
    EXPECT_EQ(MarkColour(box.Watermark()), Darker8(window));

    QPalette dark = box.palette();
    dark.setColor(QPalette::Window, QColor(40, 44, 52));
    box.setPalette(dark);
    EXPECT_EQ(MarkColour(box.Watermark()), QColor(32, 36, 44));
    dark.setColor(QPalette::Window, QColor(3, 5, 200));
    box.setPalette(dark);
    EXPECT_EQ(MarkColour(box.Watermark()), QColor(0, 0, 192));
  }
  ProgramScope program(0, 1);
  AboutBox box(nullptr, Qt::NoModifier);
  EXPECT_TRUE(box.Watermark().isNull());
}

TEST(DialogsAbout, EscClosesWithCancel) {
  AboutBox box(nullptr, Qt::NoModifier);
  box.show();
  QTest::keyClick(&box, Qt::Key_Escape);
  EXPECT_EQ(box.result(), QDialog::Rejected);
  EXPECT_FALSE(box.isVisible());
}

int CountHelpWindows() {
  int count = 0;
  for (QWidget* widget : QApplication::topLevelWidgets()) {
    if (qobject_cast<HelpWindow*>(widget) != nullptr) ++count;
  }
  return count;
}

// Closes the help window a test left open and lets it be deleted.
class HelpWindowTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (HelpWindow* help = OpenHelpWindow()) help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(OpenHelpWindow(), nullptr);
  }
};

TEST_F(HelpWindowTest, OpenedAgainWhileMinimisedItIsRestoredNotDuplicated) {
  HelpWindow* first = ShowHelp(nullptr);
  ASSERT_NE(first, nullptr);
  EXPECT_TRUE(first->isWindow());
  EXPECT_EQ(first->parentWidget(), nullptr);
  first->showMinimized();
  ASSERT_TRUE(first->isMinimized());
  HelpWindow* second = ShowHelp(nullptr);
  EXPECT_EQ(second, first);
  EXPECT_FALSE(second->isMinimized());
  EXPECT_TRUE(second->isVisible());
  EXPECT_EQ(CountHelpWindows(), 1);

  // Maximised and minimised: back maximised.
  second->showMaximized();
  second->setWindowState(second->windowState() | Qt::WindowMinimized);
  EXPECT_EQ(ShowHelp(nullptr), first);
  EXPECT_TRUE(first->isMaximized());
  EXPECT_FALSE(first->isMinimized());

  // Closed, it goes; the next one is a new window.
  QTest::mouseClick(first->CloseButton(), Qt::LeftButton);
  QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  EXPECT_EQ(OpenHelpWindow(), nullptr);
  EXPECT_EQ(CountHelpWindows(), 0);
  EXPECT_NE(ShowHelp(nullptr), nullptr);
  EXPECT_EQ(CountHelpWindows(), 1);
}

TEST_F(HelpWindowTest, TextsAndCaptionInBothLanguages) {
  struct HelpCase {
    uint8_t language;
    uint8_t edition;
    QString caption;
    QString close;
    int names;  // times the program name is filled in
  };
  for (const HelpCase& c : {HelpCase{0, 0, "Quorvel ...Pomoc", "Zamknij", 4},
                            HelpCase{1, 0, "Quorvel ...Help", "Close", 2},
                            HelpCase{1, 1, "QuorvelKMB ...Help", "Close", 2}}) {
    SCOPED_TRACE(c.caption.toStdString());
    ProgramScope program(c.language, c.edition);
    HelpWindow help(nullptr);
    EXPECT_EQ(help.windowTitle(), c.caption);
    EXPECT_EQ(help.CloseButton()->text(), c.close);
    const QString text = help.Memo()->toPlainText();
    EXPECT_FALSE(text.contains("%s"));
    EXPECT_EQ(text.count(ToQString(ProgramName()) + " "), c.names);
    EXPECT_TRUE(help.Memo()->isReadOnly());
    testing::ExpectAccessibleNames(&help);
  }
  ProgramScope program(1, 0);
  const QStringList lines = HelpText().split('\n');
  ASSERT_EQ(lines.size(), 16);
  EXPECT_EQ(lines[1],
            "Program Quorvel is designed to upgrading firmware in instruments equipped "
            "with Q-LOAD bootloader.");
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[5], "2. Turn on the device. Be sure that battery is not discharged. ");
  EXPECT_TRUE(
      lines[15].startsWith("2. Application Quorvel is saving all activity in log during "
                           "programming. If  programming"));
}

TEST_F(HelpWindowTest, ShowsAllItsLinesWithoutScrollingAndStaysInTheWorkArea) {
  for (uint8_t language : {0, 1}) {
    SCOPED_TRACE(int(language));
    ProgramScope program(language);
    HelpWindow* help = ShowHelp(nullptr);
    testing::SpinFor(50);
    const QRect area = WorkArea(help);
    EXPECT_TRUE(area.contains(help->frameGeometry()));
    QPlainTextEdit* memo = help->Memo();
    EXPECT_EQ(memo->verticalScrollBar()->maximum(), 0);
    // Exactly as tall as the lines: not one more line would fit.
    const int spare =
        memo->viewport()->height() - help->LineCount() * memo->fontMetrics().lineSpacing();
    EXPECT_GE(spare, 0);
    EXPECT_LT(spare, memo->fontMetrics().lineSpacing() + 2 * memo->document()->documentMargin());
    // The window is as wide as its reference line: that line is not wrapped.
    const int reference = language == 0 ? 4 : 1;
    EXPECT_EQ(memo->document()->findBlockByNumber(reference).layout()->lineCount(), 1);
    help->close();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
  }
}

TEST_F(HelpWindowTest, PlacedOnTheMainWindowAndInsideTheWorkArea) {
  const QRect area = WorkArea(nullptr);
  QWidget main;
  main.setGeometry(area.right() - 150, area.top() + 40, 300, 200);
  main.show();
  HelpWindow* help = ShowHelp(&main);
  testing::SpinFor(50);
  EXPECT_GE(help->width(), main.width());
  EXPECT_TRUE(area.contains(help->frameGeometry()));
  EXPECT_GE(help->y(), main.y());
}

}  // namespace
}  // namespace quorvel

#include "about_help_test.moc"
