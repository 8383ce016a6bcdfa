// The serial settings dialog: its texts in both languages, the lists, the
// start from the current settings and "Default", and the OK and Cancel
// round trips against a real serial link component on a pseudo-terminal.
#include <gtest/gtest.h>

#include <QButtonGroup>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <memory>
#include <vector>

#include "dialogs/dialog_support.h"
#include "dialogs/serial_settings_dialog.h"
#include "dialogs_test_support.h"
#include "pty_port.h"
#include "serial/comm32kx.h"
#include "serial/port_list.h"

namespace quorvel {
namespace {

using testing::AnswerNextModal;
using testing::ProgramScope;

constexpr LineSettings k9600N81{br009600, pbNone, dbEight, sbOne};
constexpr LineSettings k19200E81{br019200, pbEven, dbEight, sbOne};

QStringList Texts(const QButtonGroup* group) {
  QStringList texts;
  for (QAbstractButton* button : group->buttons()) texts << button->text();
  return texts;
}

// Clicks a radio button on its caption, where a user clicks.
void ClickRadio(QButtonGroup* group, int id) {
  QAbstractButton* radio = group->button(id);
  QTest::mouseClick(radio, Qt::LeftButton, Qt::NoModifier, QPoint(8, radio->height() / 2));
  EXPECT_TRUE(radio->isChecked()) << radio->text().toStdString();
}

QString GroupTitle(const QButtonGroup* group) {
  return qobject_cast<QGroupBox*>(group->buttons().front()->parentWidget())->title();
}

struct TextsCase {
  uint8_t language;
  QStringList captions;  // window, baud, gap, parity, data bits, stop bits, Default, Cancel, OK
  QStringList parity;
  QString gapAuto;
};

TEST(DialogsSerialSettings, TextsInBothLanguages) {
  const std::vector<TextsCase> cases = {
      {0,
       {"Konfiguracja portu szeregowego", "Prędkość transmisji:", "Odstęp ramek:", "Parzystość:",
        "Bity danych:", "Bity stopu:", "Domyślne", "Anuluj", "Ustaw"},
       {"brak", "nieparzyste", "parzyste", "znacznik", "spacja"},
       "automatyczny"},
      {1,
       {"Comm port settings", "Baud rate:", "Frame gap:", "Parity:", "Data bits:", "Stop bits:",
        "Default", "Cancel", "OK"},
       {"none", "odd", "even", "mark", "space"},
       "auto"},
  };
  for (const TextsCase& c : cases) {
    SCOPED_TRACE(int(c.language));
    ProgramScope program(c.language);
    SerialSettingsDialog dialog(nullptr, k9600N81, {k9600N81, FrameGapChoice::Standard()});
    QStringList captions{dialog.windowTitle()};
    for (QComboBox* list : {dialog.BaudRateBox(), dialog.FrameGapBox()}) {
      for (QLabel* label : dialog.findChildren<QLabel*>()) {
        if (label->buddy() == list) captions << label->text();
      }
    }
    captions << GroupTitle(dialog.ParityButtons()) << GroupTitle(dialog.DataBitsButtons())
             << GroupTitle(dialog.StopBitsButtons()) << dialog.DefaultButton()->text()
             << dialog.CancelButton()->text() << dialog.OkButton()->text();
    EXPECT_EQ(captions, c.captions);
    EXPECT_EQ(Texts(dialog.ParityButtons()), c.parity);
    EXPECT_EQ(Texts(dialog.DataBitsButtons()), QStringList({"4", "5", "6", "7", "8"}));
    EXPECT_EQ(Texts(dialog.StopBitsButtons()), QStringList({"1", "1.5", "2"}));
    EXPECT_EQ(dialog.FrameGapBox()->itemText(0), c.gapAuto);
    EXPECT_EQ(dialog.FrameGapBox()->itemText(1), QStringLiteral("50 ms"));
    QStringList bauds;
    for (int i = 0; i < dialog.BaudRateBox()->count(); ++i) {
      bauds << dialog.BaudRateBox()->itemText(i);
    }
    EXPECT_EQ(bauds, QStringList({"300bps", "600bps", "1200bps", "2400bps", "4800bps", "9600bps",
                                  "14400bps", "19200bps", "38400bps", "57600bps", "115200bps",
                                  "230400bps", "460800bps", "921600bps", "125000bps"}));
    testing::ExpectAccessibleNames(&dialog);
  }
}

TEST(DialogsSerialSettings, StartsFromTheCurrentSettingsAndDefaultRestoresTheDevicesOnes) {
  ProgramScope program(1);
  SerialSettingsDialog dialog(nullptr, k9600N81, {k19200E81, FrameGapChoice::Auto()});
  dialog.show();
  EXPECT_EQ(dialog.BaudRateBox()->currentText(), QStringLiteral("19200bps"));
  EXPECT_EQ(dialog.ParityButtons()->checkedButton()->text(), QStringLiteral("even"));
  EXPECT_EQ(dialog.DataBitsButtons()->checkedButton()->text(), QStringLiteral("8"));
  EXPECT_EQ(dialog.StopBitsButtons()->checkedButton()->text(), QStringLiteral("1"));
  EXPECT_EQ(dialog.FrameGapBox()->currentText(), QStringLiteral("auto"));
  EXPECT_EQ(dialog.Values(), (SerialSettings{k19200E81, FrameGapChoice::Auto()}));

  QTest::mouseClick(dialog.DefaultButton(), Qt::LeftButton);
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_EQ(dialog.BaudRateBox()->currentText(), QStringLiteral("9600bps"));
  EXPECT_EQ(dialog.ParityButtons()->checkedButton()->text(), QStringLiteral("none"));
  EXPECT_EQ(dialog.Values(), (SerialSettings{k9600N81, FrameGapChoice::Standard()}));
}

TEST(DialogsSerialSettings, CannotBeResizedAndEnterConfirms) {
  SerialSettingsDialog dialog(nullptr, k9600N81, {k9600N81, FrameGapChoice::Standard()});
  dialog.Place();
  dialog.show();
  EXPECT_EQ(dialog.minimumSize(), dialog.maximumSize());
  EXPECT_TRUE(WorkArea(nullptr).contains(dialog.frameGeometry()));
  EXPECT_TRUE(dialog.OkButton()->isDefault());
  QApplication::setActiveWindow(&dialog);
  QTest::keyClick(QApplication::focusWidget(), Qt::Key_Return);
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
}

// A serial link component on a pseudo-terminal, opened at 9600 N 8 1.
class SerialSettingsRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(port_.Ok());
    setenv(kExtraPortsVariable, port_.Path().c_str(), 1);
    comm_ = std::make_unique<TComm32Kx>(nullptr, 1);
    comm_->OnCOMStatus = [this](TComm32Kx*, TLinkStatus code, const std::string&) {
      statuses_.push_back(code);
    };
    comm_->SetParams(port_.Path(), br009600, pbNone, dbEight, sbOne);
    ASSERT_TRUE(comm_->IsOpen());
    statuses_.clear();
  }
  void TearDown() override {
    comm_.reset();
    unsetenv(kExtraPortsVariable);
  }

  // Opens the dialog from the component's settings, lets `answer` work it,
  // and applies what it returned.
  std::optional<SerialSettings> Edit(std::function<void(SerialSettingsDialog*)> answer) {
    AnswerNextModal([answer](QWidget* modal) {
      auto* dialog = qobject_cast<SerialSettingsDialog*>(modal);
      ASSERT_NE(dialog, nullptr);
      answer(dialog);
    });
    const std::optional<SerialSettings> chosen =
        EditSerialSettings(nullptr, k9600N81, CurrentSerialSettings(*comm_));
    if (chosen) ApplySerialSettings(*comm_, *chosen);
    return chosen;
  }

  testing::PtyPort port_;
  std::unique_ptr<TComm32Kx> comm_;
  std::vector<TLinkStatus> statuses_;
};

TEST_F(SerialSettingsRoundTrip, OkReopensThePortWithTheNewSettings) {
  comm_->SetTimeOut(20);
  const std::optional<SerialSettings> chosen = Edit([](SerialSettingsDialog* dialog) {
    EXPECT_EQ(dialog->BaudRateBox()->currentText(), QStringLiteral("9600bps"));
    dialog->BaudRateBox()->setCurrentIndex(br019200);
    ClickRadio(dialog->ParityButtons(), pbEven);
    ClickRadio(dialog->DataBitsButtons(), dbSeven);
    ClickRadio(dialog->StopBitsButtons(), sbTwo);
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  });
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->line, (LineSettings{br019200, pbEven, dbSeven, sbTwo}));
  EXPECT_EQ(chosen->frameGap, FrameGapChoice::Standard());

  EXPECT_TRUE(comm_->IsOpen());
  ASSERT_FALSE(statuses_.empty());
  EXPECT_EQ(statuses_.back(), TLinkStatus::Connected);
  EXPECT_EQ(comm_->BaudRate(), br019200);
  EXPECT_EQ(comm_->TimeOut(), kStandardFrameGapMs);
  const std::optional<termios> line = port_.Settings();
  ASSERT_TRUE(line.has_value());
  EXPECT_EQ(cfgetospeed(&*line), static_cast<speed_t>(B19200));
  // A pseudo-terminal keeps speed and stop bits; its driver forces 8 bits
  // without parity, so those are checked on the component.
  EXPECT_NE(line->c_cflag & CSTOPB, 0u);
  EXPECT_EQ(comm_->Parity(), pbEven);
  EXPECT_EQ(comm_->DataBits(), dbSeven);
  EXPECT_EQ(comm_->StopBits(), sbTwo);
}

TEST_F(SerialSettingsRoundTrip, AutoFrameGapLetsTheComponentChooseItsTimeOut) {
  comm_->SetTimeOut(30);
  const std::optional<SerialSettings> chosen = Edit([](SerialSettingsDialog* dialog) {
    dialog->FrameGapBox()->setCurrentIndex(0);
    QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
  });
  ASSERT_TRUE(chosen.has_value());
  EXPECT_EQ(chosen->frameGap, FrameGapChoice::Auto());
  EXPECT_EQ(chosen->line, k9600N81);
  EXPECT_TRUE(comm_->FrameGap().automatic);
  EXPECT_EQ(comm_->TimeOut(), AutoFrameGapMs(k9600N81));
  // Unchanged line settings do not reopen the port.
  EXPECT_TRUE(statuses_.empty());
  // The component's choice is what the dialog starts with next time.
  Edit([](SerialSettingsDialog* dialog) {
    EXPECT_EQ(dialog->FrameGapBox()->currentText(), QStringLiteral("auto"));
    dialog->reject();
  });
}

TEST_F(SerialSettingsRoundTrip, DefaultThenCancelOrEscChangesNothing) {
  comm_->SetParams(std::nullopt, br019200, pbEven, dbEight, sbOne);
  statuses_.clear();
  const std::optional<termios> before = port_.Settings();
  ASSERT_TRUE(before.has_value());
  struct CloseCase {
    const char* what;
    std::function<void(SerialSettingsDialog*)> close;
  };
  const std::vector<CloseCase> cases = {
      {"Cancel",
       [](SerialSettingsDialog* d) { QTest::mouseClick(d->CancelButton(), Qt::LeftButton); }},
      {"Esc", [](SerialSettingsDialog* d) { QTest::keyClick(d, Qt::Key_Escape); }},
      {"close box", [](SerialSettingsDialog* d) { d->close(); }},
  };
  for (const CloseCase& c : cases) {
    SCOPED_TRACE(c.what);
    const std::optional<SerialSettings> chosen = Edit([&c](SerialSettingsDialog* dialog) {
      dialog->BaudRateBox()->setCurrentIndex(br115200);
      ClickRadio(dialog->ParityButtons(), pbOdd);
      QTest::mouseClick(dialog->DefaultButton(), Qt::LeftButton);
      c.close(dialog);
    });
    EXPECT_FALSE(chosen.has_value());
  }
  EXPECT_TRUE(statuses_.empty());
  EXPECT_TRUE(comm_->IsOpen());
  EXPECT_EQ(CurrentSerialSettings(*comm_).line, k19200E81);
  const std::optional<termios> after = port_.Settings();
  ASSERT_TRUE(after.has_value());
  EXPECT_EQ(after->c_cflag, before->c_cflag);
  EXPECT_EQ(cfgetospeed(&*after), cfgetospeed(&*before));
}

}  // namespace
}  // namespace quorvel
