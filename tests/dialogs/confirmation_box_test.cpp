// The confirmation box: its button sets and their result codes in both
// languages, Esc and Enter, sizing to the text, "&", the icon and sound of
// the flags, placement, and the window's prompt built on it.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <QTest>
#include <string>
#include <vector>

#include "dialogs/confirmation_box.h"
#include "dialogs/dialog_support.h"
#include "dialogs/widget_prompt.h"
#include "dialogs_test_support.h"

namespace quorvel {
namespace {

using testing::AnswerNextModal;
using testing::ProgramScope;

ConfirmRequest Request(const QString& text, ConfirmButtons buttons, uint32_t flags = 0,
                       bool focusNo = false) {
  ConfirmRequest request;
  request.text = text;
  request.caption = QStringLiteral("Quorvel");
  request.flags = flags;
  request.buttons = buttons;
  request.focusNo = focusNo;
  return request;
}

struct ButtonSetCase {
  ConfirmButtons buttons;
  uint8_t language;
  std::vector<std::pair<int, std::string>> shown;  // code and caption of each visible button
};

TEST(DialogsConfirmationBox, EachButtonSetShowsItsCaptionsAndClosesWithItsCode) {
  const std::vector<ButtonSetCase> cases = {
      {ConfirmButtons::Message, 0, {{1, "OK"}}},
      {ConfirmButtons::Message, 1, {{1, "OK"}}},
      {ConfirmButtons::YesNo, 0, {{1, "Tak"}, {2, "Nie"}}},
      {ConfirmButtons::YesNo, 1, {{1, "Yes"}, {2, "No"}}},
      {ConfirmButtons::All,
       0,
       {{1, "Tak"},
        {2, "Nie"},
        {3, "Pomiń"},
        {4, "Tak na wszystkie"},
        {5, "Nie na wszystkie"},
        {6, "Anuluj"}}},
      {ConfirmButtons::All,
       1,
       {{1, "Yes"}, {2, "No"}, {3, "Skip"}, {4, "Yes to all"}, {5, "No to all"}, {6, "Cancel"}}},
  };
  for (const ButtonSetCase& c : cases) {
    SCOPED_TRACE(::testing::Message()
                 << "buttons " << static_cast<int>(c.buttons) << " language " << int(c.language));
    ProgramScope program(c.language);
    {
      ConfirmationBox box(nullptr, Request("Text", c.buttons));
      std::vector<std::pair<int, std::string>> shown;
      for (int code = 1; code <= 6; ++code) {
        if (box.Button(code)->isVisibleTo(&box)) {
          shown.emplace_back(code, box.Button(code)->text().toStdString());
        }
      }
      EXPECT_EQ(shown, c.shown);
      testing::ExpectAccessibleNames(&box);
    }
    for (const auto& [code, caption] : c.shown) {
      ConfirmationBox box(nullptr, Request("Text", c.buttons));
      box.show();
      QTest::mouseClick(box.Button(code), Qt::LeftButton);
      EXPECT_EQ(box.result(), code) << caption;
      EXPECT_FALSE(box.isVisible());
    }
  }
}

TEST(DialogsConfirmationBox, EscGivesCancelInEverySetAndEnterTheFocusedButton) {
  ProgramScope program(1);
  for (ConfirmButtons buttons :
       {ConfirmButtons::Message, ConfirmButtons::YesNo, ConfirmButtons::All}) {
    ConfirmationBox box(nullptr, Request("Text", buttons));
    box.show();
    QTest::keyClick(&box, Qt::Key_Escape);
    EXPECT_EQ(box.result(), kConfirmCancel);
    EXPECT_FALSE(box.isVisible());
  }
  struct EnterCase {
    ConfirmButtons buttons;
    bool focusNo;
    int code;
  };
  for (const EnterCase& c : {EnterCase{ConfirmButtons::Message, false, kConfirmYes},
                             EnterCase{ConfirmButtons::YesNo, false, kConfirmYes},
                             EnterCase{ConfirmButtons::YesNo, true, kConfirmNo}}) {
    ConfirmationBox box(nullptr, Request("Text", c.buttons, 0, c.focusNo));
    box.show();
    QApplication::setActiveWindow(&box);
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
    EXPECT_EQ(box.result(), c.code) << "focusNo " << c.focusNo;
  }
}

TEST(DialogsConfirmationBox, FocusedNoComesFirstInTheTabOrder) {
  ConfirmationBox box(nullptr, Request("Overwrite?", ConfirmButtons::YesNo, 0x30, true));
  box.show();
  QApplication::setActiveWindow(&box);
  EXPECT_EQ(QApplication::focusWidget(), box.Button(kConfirmNo));
  EXPECT_TRUE(box.Button(kConfirmNo)->isDefault());
  EXPECT_EQ(box.Button(kConfirmNo)->nextInFocusChain(), box.Button(kConfirmYes));
}

// The first row's right edge, the text's right edge and the box's width.
int RightEdge(const QWidget* widget) {
  return widget->geometry().x() + widget->width();
}

TEST(DialogsConfirmationBox, ALongFirstLineSetsTheWidthAndOkIsCentredBelow) {
  const QString first = QStringLiteral("The first line is much longer than the button row is");
  ConfirmationBox box(nullptr, Request(first + "\r\nshort", ConfirmButtons::Message, 0x40));
  const QLabel* text = box.TextLabel();
  const QFontMetrics metrics(text->font());
  EXPECT_NEAR(text->width(), metrics.horizontalAdvance(first), 2);
  EXPECT_EQ(text->text(), first + "\nshort");
  EXPECT_EQ(box.width(), RightEdge(text) + ConfirmationBox::kMargin);
  const QPushButton* ok = box.Button(kConfirmYes);
  EXPECT_LE(std::abs(ok->geometry().center().x() * 2 + 1 - box.width()), 2);
  EXPECT_GT(ok->y(), text->y() + text->height());
  EXPECT_EQ(box.height(), ok->y() + ok->height() + text->y() / 2);
  EXPECT_FALSE(box.Button(kConfirmNo)->isVisibleTo(&box));
}

TEST(DialogsConfirmationBox, AOneWordQuestionIsAsWideAsItsButtonRow) {
  ConfirmationBox box(nullptr, Request("Sure?", ConfirmButtons::YesNo, 0x20));
  const QPushButton* yes = box.Button(kConfirmYes);
  const QPushButton* no = box.Button(kConfirmNo);
  EXPECT_TRUE(yes->isVisibleTo(&box));
  EXPECT_TRUE(no->isVisibleTo(&box));
  EXPECT_EQ(yes->x(), ConfirmationBox::kMargin);
  EXPECT_EQ(no->x(), RightEdge(yes) + ConfirmationBox::kMargin);
  EXPECT_EQ(box.width(), RightEdge(no) + ConfirmationBox::kMargin);
  EXPECT_GE(yes->width(), 101);
  EXPECT_GE(yes->height(), 22);
  // The icon's column is kept clear, and the text sits beside it.
  EXPECT_GE(box.TextLabel()->x(), RightEdge(box.IconLabel()));
  EXPECT_GE(yes->y(), 2 * ConfirmationBox::kMargin + box.IconLabel()->height());
}

TEST(DialogsConfirmationBox, AWideTextCentresTheYesNoPair) {
  ConfirmationBox box(nullptr, Request(QString(90, QLatin1Char('x')), ConfirmButtons::YesNo));
  const int pairCentre = (box.Button(kConfirmYes)->x() + RightEdge(box.Button(kConfirmNo))) / 2;
  EXPECT_LE(std::abs(pairCentre * 2 - box.width()), 2);
}

TEST(DialogsConfirmationBox, AnAmpersandIsShownAsItselfAndTakesItsWidth) {
  ConfirmationBox withAmpersand(nullptr, Request("R&D && Co", ConfirmButtons::Message));
  ConfirmationBox without(nullptr, Request("RD  Co", ConfirmButtons::Message));
  const QLabel* label = withAmpersand.TextLabel();
  EXPECT_EQ(label->text(), QStringLiteral("R&D && Co"));
  EXPECT_EQ(label->textFormat(), Qt::PlainText);
  EXPECT_EQ(label->buddy(), nullptr);
  const QFontMetrics metrics(label->font());
  EXPECT_EQ(label->width() - without.TextLabel()->width(), metrics.horizontalAdvance("&&&"));
}

TEST(DialogsConfirmationBox, AnEndlessLineWrapsInsideTheWorkArea) {
  const QRect area = WorkArea(nullptr);
  ConfirmationBox box(
      nullptr, Request(QString(5000, QLatin1Char('w')) + " end", ConfirmButtons::Message, 0x30));
  EXPECT_LE(box.width(), area.width());
  EXPECT_TRUE(box.TextLabel()->wordWrap());
  box.Place(false);
  EXPECT_TRUE(area.contains(box.geometry().topLeft()));
}

TEST(DialogsConfirmationBox, FlagsChooseTheIconAndTheSound) {
  struct IconCase {
    uint32_t flags;
    const char* name;
    bool sounds;
  };
  ProgramScope program(1);
  for (const IconCase& c :
       {IconCase{0x00, "Question", true}, IconCase{0x10, "Error", true},
        IconCase{0x20, "Question", false}, IconCase{0x30, "Warning", true},
        IconCase{0x40, "Information", true}, IconCase{0x30 | 0x04, "Warning", true}}) {
    ConfirmationBox box(nullptr, Request("Text", ConfirmButtons::Message, c.flags));
    EXPECT_EQ(box.IconLabel()->accessibleName().toStdString(), c.name) << c.flags;
    EXPECT_FALSE(box.IconLabel()->pixmap().isNull());
    EXPECT_EQ(ConfirmSounds(c.flags), c.sounds) << c.flags;
  }
}

// An owner window at a place on the offscreen screen.
class ConfirmPlacementTest : public ::testing::Test {
 protected:
  void SetUp() override {
    area_ = WorkArea(nullptr);
    owner_.setWindowTitle("owner");
  }
  void ShowOwner(const QRect& geometry) {
    owner_.setGeometry(geometry);
    owner_.show();
  }
  QRect area_;
  QWidget owner_;
};

TEST_F(ConfirmPlacementTest, CentresOverTheOwner) {
  ShowOwner(QRect(area_.left() + 20, area_.top() + 30, 400, 300));
  ConfirmationBox box(&owner_, Request("Text", ConfirmButtons::YesNo));
  box.Place(true);
  EXPECT_LE((box.frameGeometry().center() - owner_.frameGeometry().center()).manhattanLength(), 2);
}

TEST_F(ConfirmPlacementTest, CentresOnTheWorkAreaWhenTheOwnerIsMinimisedOrTheSwitchIsOff) {
  ShowOwner(QRect(area_.left() + 20, area_.top() + 30, 300, 200));
  for (bool minimised : {false, true}) {
    if (minimised) owner_.showMinimized();
    ConfirmationBox box(&owner_, Request("Text", ConfirmButtons::Message));
    box.Place(/*centerOverOwner=*/minimised);
    EXPECT_LE((box.frameGeometry().center() - area_.center()).manhattanLength(), 2)
        << "minimised " << minimised;
  }
}

TEST_F(ConfirmPlacementTest, ABoxLargerThanItsOwnerStaysOnTheOwnersCentreLineAndInsideTheArea) {
  ShowOwner(QRect(area_.left() + 200, area_.top() + 200, 120, 60));
  ConfirmationBox box(&owner_,
                      Request(QString(25, QLatin1Char('m')) + "\n2\n3\n4", ConfirmButtons::YesNo));
  ASSERT_GT(box.width(), owner_.width());
  box.Place(true);
  EXPECT_LE(std::abs(box.frameGeometry().center().x() - owner_.frameGeometry().center().x()), 1);
  EXPECT_TRUE(area_.contains(box.frameGeometry()));

  // Near the right and bottom edges: pushed back inside.
  owner_.move(area_.right() - 60, area_.bottom() - 30);
  box.Place(true);
  EXPECT_TRUE(area_.contains(box.frameGeometry()));
}

TEST(DialogsWidgetPrompt, AnswersThroughTheBoxInTheProgramsLanguage) {
  ProgramScope program(1);
  WidgetPrompt prompt(nullptr);
  struct PromptCase {
    const char* what;
    int key;
    bool focusNo;
    bool question;
    bool answer;
  };
  for (const PromptCase& c :
       {PromptCase{"message, Enter", Qt::Key_Return, false, false, true},
        PromptCase{"message, Esc", Qt::Key_Escape, false, false, false},
        PromptCase{"question, Esc", Qt::Key_Escape, false, true, false},
        PromptCase{"question focused on Yes, Enter", Qt::Key_Return, false, true, true},
        PromptCase{"question focused on No, Enter", Qt::Key_Return, true, true, false}}) {
    SCOPED_TRACE(c.what);
    QStringList captions;
    AnswerNextModal([&](QWidget* box) {
      for (QPushButton* button : box->findChildren<QPushButton*>()) {
        if (button->isVisible()) captions << button->text();
      }
      QTest::keyClick(QApplication::focusWidget() != nullptr ? QApplication::focusWidget() : box,
                      static_cast<Qt::Key>(c.key));
    });
    const bool answer = c.question ? prompt.AskYesNo("Overwrite?", "Quorvel", 0x30, c.focusNo)
                                   : prompt.MsgBox("Done.", "Quorvel", 0x40);
    EXPECT_EQ(answer, c.answer);
    EXPECT_EQ(captions, c.question ? QStringList({"Yes", "No"}) : QStringList({"OK"}));
  }
  AnswerNextModal([](QWidget* box) {
    auto* boxWidget = qobject_cast<ConfirmationBox*>(box);
    ASSERT_NE(boxWidget, nullptr);
    QTest::mouseClick(boxWidget->Button(kConfirmNoToAll), Qt::LeftButton);
  });
  EXPECT_EQ(prompt.Confirm("Replace all?", "Quorvel", 0x20, true, false), kConfirmNoToAll);
}

TEST(DialogsWidgetPrompt, MeasuresInTheBoxFontAndLimitsPathsToHalfTheWorkArea) {
  WidgetPrompt prompt(nullptr);
  const QFontMetrics metrics(QApplication::font());
  EXPECT_EQ(prompt.TextWidth("/home/user/firmware.qvl"),
            metrics.horizontalAdvance("/home/user/firmware.qvl"));
  EXPECT_EQ(prompt.TextWidth("żółć"), metrics.horizontalAdvance(QStringLiteral("żółć")));
  EXPECT_EQ(prompt.PathWidthLimit(), WorkArea(nullptr).width() / 2);
}

}  // namespace
}  // namespace quorvel
