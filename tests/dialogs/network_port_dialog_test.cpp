// The dialog that asks for a network port: its texts in both languages, a
// name of the wrong form said in the dialog (which stays open), a right one
// handed back without the spaces around it, and Cancel handing back none.
#include <gtest/gtest.h>

#include <QLabel>
#include <QLineEdit>
#include <QMainWindow>
#include <QPushButton>
#include <QTest>

#include "dialogs/network_port_dialog.h"
#include "dialogs_test_support.h"

namespace quorvel {
namespace {

using testing::AnswerNextModal;
using testing::ProgramScope;

TEST(NetworkPortDialog, TextsInBothLanguages) {
  struct TextsCase {
    uint8_t language;
    const char* entry;
    const char* caption;
    const char* cancel;
    const char* problem;
  };
  for (const TextsCase& c : {
           TextsCase{0, "Dodaj port sieciowy…", "Dodaj port sieciowy", "Anuluj",
                     "Nazwa musi mieć postać rfc2217://HOST:PORT lub tcp://HOST:PORT (PORT od 1 "
                     "do 65535)."},
           TextsCase{1, "Add network port…", "Add network port", "Cancel",
                     "The name must have the form rfc2217://HOST:PORT or tcp://HOST:PORT (PORT "
                     "from 1 to 65535)."},
       }) {
    SCOPED_TRACE(c.caption);
    ProgramScope program(c.language);
    EXPECT_EQ(kAddNetworkPortEntry.str(), c.entry);
    NetworkPortDialog dialog(nullptr);
    dialog.show();
    EXPECT_EQ(dialog.windowTitle().toStdString(), c.caption);
    EXPECT_EQ(dialog.CancelButton()->text().toStdString(), c.cancel);
    EXPECT_FALSE(dialog.ProblemLabel()->isVisible());
    testing::ExpectAccessibleNames(&dialog);
    QTest::keyClicks(dialog.NameField(), QStringLiteral("rfc2217://host:70000"));
    QTest::mouseClick(dialog.OkButton(), Qt::LeftButton);
    EXPECT_TRUE(dialog.isVisible());
    EXPECT_TRUE(dialog.ProblemLabel()->isVisible());
    EXPECT_EQ(dialog.ProblemLabel()->text().toStdString(), c.problem);
    // Typing again takes the problem away.
    QTest::keyClick(dialog.NameField(), Qt::Key_Backspace);
    EXPECT_FALSE(dialog.ProblemLabel()->isVisible());
  }
}

TEST(NetworkPortDialog, HandsBackOnlyAWellFormedName) {
  ProgramScope program(1);
  QMainWindow owner;
  owner.resize(500, 400);
  owner.show();
  AnswerNextModal([](QWidget* modal) {
    auto* dialog = qobject_cast<NetworkPortDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    // Centred over the owner.
    const QPoint offset = dialog->frameGeometry().center() -
                          dialog->parentWidget()->window()->frameGeometry().center();
    EXPECT_LE(offset.manhattanLength(), 4);
    QTest::keyClicks(dialog->NameField(), QStringLiteral("  tcp://[fe80::2]:7000 "));
    QTest::keyClick(dialog->NameField(), Qt::Key_Return);
  });
  EXPECT_EQ(AskNetworkPort(&owner), QStringLiteral("tcp://[fe80::2]:7000"));
  AnswerNextModal([](QWidget* modal) {
    auto* dialog = qobject_cast<NetworkPortDialog*>(modal);
    ASSERT_NE(dialog, nullptr);
    QTest::keyClicks(dialog->NameField(), QStringLiteral("tcp://h:1"));
    QTest::mouseClick(dialog->CancelButton(), Qt::LeftButton);
  });
  EXPECT_EQ(AskNetworkPort(&owner), std::nullopt);
}

}  // namespace
}  // namespace quorvel
