// Whole programming runs from the window against quorvel-sim on a
// pseudo-terminal: "Program" ends with the success message, Stop with the
// user abort, a run whose restart was not confirmed with its warning, a
// port that refuses access with the advice on how to get it, and closing
// the main window during a run ends it with the port let go.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QButtonGroup>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "desktop_bus_double.h"
#include "dialogs/serial_settings_dialog.h"
#include "monitor/monitor_link.h"
#include "monitor_side.h"
#include "process_runner.h"
#include "refused_port.h"
#include "run/traffic_decoder.h"
#include "run/traffic_trace.h"
#include "serial/comm32kx.h"
#include "serial/port_list_service.h"
#include "session/access_advice.h"
#include "window/desktop_signals.h"
#include "window/main_form.h"
#include "window/progress_form.h"
#include "window_test_support.h"

namespace quorvel {
namespace {

using testing::AnswerNext;
using testing::AnswerNextBox;
using testing::AnswerNextFileDialog;
using testing::ChooseEntry;
using testing::ProgramScope;

constexpr int kRunLimitMs = 90'000;

std::string SampleHex() {
  return std::string(QUORVEL_SOURCE_DIR) + "/samples/sample_firmware.hex";
}

class WindowRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(dir_.isValid());
    testing::ClearStoredSettings();
  }
  void TearDown() override {
    form_.reset();
    sim_.reset();
    if (!port_.empty()) PortListService::Instance().RemoveExtraPort(port_);
    testing::ClearStoredSettings();
  }

  // Starts the simulated instrument and plugs its terminal in.
  void StartSim(std::vector<std::string> args) {
    port_ = dir_.filePath(QStringLiteral("port")).toStdString();
    args.insert(args.begin(), {QUORVEL_SIM, "--link", port_, "--save", port_ + ".hex"});
    sim_ = std::make_unique<test::BackgroundProcess>(args);
    ASSERT_FALSE(sim_->FirstLine().empty());
    PortListService::Instance().AddExtraPort(port_);
  }

  // The window with the device type, the port, the line speed and the file
  // chosen as a user chooses them.
  TMainForm& Prepare(const char* device, TBaudRate baud) {
    form_ = std::make_unique<TMainForm>();
    TMainForm& form = *form_;
    form.show();
    EXPECT_TRUE(ChooseEntry(form.DeviceList(), QString::fromLatin1(device)));
    const QString port = QString::fromStdString(port_);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form.PortList()->findText(port) >= 0; }));
    EXPECT_TRUE(ChooseEntry(form.PortList(), port));
    AnswerNext<SerialSettingsDialog>([baud](SerialSettingsDialog* dialog) {
      dialog->BaudRateBox()->setCurrentIndex(dialog->BaudRateBox()->findData(baud));
      if (dialog->BaudRateBox()->currentIndex() < 0) {
        dialog->BaudRateBox()->setCurrentIndex(baud);
      }
      QTest::mouseClick(dialog->OkButton(), Qt::LeftButton);
    });
    QTest::mouseClick(form.ParamButton(), Qt::LeftButton);
    EXPECT_EQ(form.SerialParams().Baud, baud);
    AnswerNextFileDialog(QString::fromStdString(SampleHex()));
    form.OpenAction()->trigger();
    EXPECT_TRUE(form.ProgramAction()->isEnabled());
    return form;
  }

  std::string LogText() const { return form_->Log()->toPlainText().toStdString(); }

  QTemporaryDir dir_;
  std::string port_;
  std::unique_ptr<test::BackgroundProcess> sim_;
  std::unique_ptr<TMainForm> form_;
};

// A USB device type: its converter (the D2XX test double's, with the
// simulated instrument behind it) is chosen from the USB device list.
TEST_F(WindowRunTest, ProgramsAUsbDeviceTypeThroughItsConverter) {
  ProgramScope program(1);
  port_ = dir_.filePath(QStringLiteral("port")).toStdString();
  sim_ = std::make_unique<test::BackgroundProcess>(std::vector<std::string>{
      QUORVEL_SIM, "--link", port_, "--save", port_ + ".hex", "--device", "PAXL-20"});
  ASSERT_FALSE(sim_->FirstLine().empty());
  // A location of this test process's own: other test processes on the
  // same session bus announce theirs.
  const std::string location = std::to_string(0x03000000u + (getpid() % 0xFFFF) * 0x100u);
  setenv("QUORVEL_D2XX_DOUBLE_DEVICES", (location + ",5,A1,PAXL-20," + port_).c_str(), 1);
  port_.clear();  // not a serial port of the list
  form_ = std::make_unique<TMainForm>();
  TMainForm& form = *form_;
  form.show();
  ASSERT_TRUE(ChooseEntry(form.DeviceList(), QStringLiteral("PAXL-20")));
  form.UsbComponent()->RebuildDeviceList();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.PortList()->findText("PAXL-20 A1") >= 0; }));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QStringLiteral("PAXL-20 A1")));
  AnswerNextFileDialog(QString::fromStdString(SampleHex()));
  form.OpenAction()->trigger();
  ASSERT_TRUE(form.ProgramAction()->isEnabled());
  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  unsetenv("QUORVEL_D2XX_DOUBLE_DEVICES");
  EXPECT_NE(message.find("programming was successful."), std::string::npos) << message;
  ASSERT_TRUE(form.LastOutcome().has_value());
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::Success);
  const std::string log = LogText();
  EXPECT_NE(log.find("USB device: PAXL-20 A1"), std::string::npos) << log;
  // The run let the converter go.
  EXPECT_FALSE(form.UsbComponent()->IsOpen());
}

TEST_F(WindowRunTest, ProgramWritesTheImageAndEndsWithTheSuccessMessage) {
  ProgramScope program(1);
  StartSim({"--device", "KV-310", "--baud", "115200"});
  TMainForm& form = Prepare("KV-310", br115200);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(form.Running());
  // The progress window is up over the main window, whose commands are off
  // but which can still be closed.
  ASSERT_NE(form.Progress(), nullptr);
  EXPECT_TRUE(form.Progress()->isVisible());
  EXPECT_EQ(form.Progress()->parentWidget(), &form);
  for (QAction* command :
       {form.ProgramAction(), form.OpenAction(), form.EncodeAction(), form.SaveLogAction()}) {
    EXPECT_FALSE(command->isEnabled()) << command->text().toStdString();
  }
  EXPECT_FALSE(form.DeviceList()->isEnabled());
  EXPECT_FALSE(form.FileList()->isEnabled());
  EXPECT_TRUE(form.ExitAction()->isEnabled());
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  EXPECT_EQ(finished.count(), 1);
  EXPECT_NE(message.find("programming was successful."), std::string::npos) << message;
  ASSERT_TRUE(form.LastOutcome().has_value());
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::Success);
  const std::string log = LogText();
  EXPECT_NE(log.find("Selected device type: KV-310"), std::string::npos) << log;
  EXPECT_NE(log.find("Comm port: " + port_), std::string::npos) << log;
  EXPECT_NE(log.find("- Result: "), std::string::npos) << log;
  // The log follows its newest line and shows its scroll bars.
  QScrollBar* bar = form.Log()->verticalScrollBar();
  EXPECT_EQ(bar->value(), bar->maximum());
  EXPECT_EQ(form.Log()->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_TRUE(form.SaveLogAction()->isEnabled());
  EXPECT_TRUE(QTest::qWaitFor([&] { return form.Progress() == nullptr; }));
  EXPECT_FALSE(form.Running());
  EXPECT_TRUE(form.ProgramAction()->isEnabled());
  EXPECT_TRUE(form.DeviceList()->isEnabled());

  // The log saved under the default name, lines ended with CR LF.
  AnswerNext<QFileDialog>([this](QFileDialog* dialog) {
    EXPECT_TRUE(dialog->selectedFiles().value(0).endsWith(QStringLiteral(" Quorvel.log")));
    dialog->setDirectory(dir_.path());
    auto* edit = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
    edit->setText(QStringLiteral("run"));
    QTest::keyClick(edit, Qt::Key_Return);
  });
  form.SaveLogAction()->trigger();
  std::ifstream saved(dir_.filePath(QStringLiteral("run.log")).toStdString(), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(saved)), {});
  EXPECT_NE(text.find("Selected device type: KV-310\r\n"), std::string::npos) << text;
}

// A monitor that announced itself with the window's token hears the port
// chosen and every block of a run, in order, sees the progress window's
// shortcut to it hidden, and hears the window close.
TEST_F(WindowRunTest, TheMonitorMirrorsTheRunAndHearsTheWindowClose) {
  ProgramScope program(1);
  StartSim({"--device", "KV-310", "--baud", "115200"});
  TMainForm& form = Prepare("KV-310", br115200);
  test::MonitorSide monitor("monitor");
  QSignalSpy opened(&form.Monitor(), &MonitorLink::opened);
  monitor.Say(kMsgRetOpen, {form.Monitor().Token()});
  ASSERT_TRUE(opened.wait(kRunLimitMs));

  // A port change is told; choosing "none" tells an empty name.
  ASSERT_TRUE(ChooseEntry(form.PortList(), form.PortList()->itemText(0)));
  ASSERT_TRUE(ChooseEntry(form.PortList(), QString::fromStdString(port_)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return monitor.heard.size() == 2; }, kRunLimitMs));
  EXPECT_EQ(monitor.heard[0].member(), test::Name(kMsgDevice));
  EXPECT_EQ(monitor.heard[0].arguments().value(1).toByteArray(), QByteArray("\0\0", 2));
  EXPECT_EQ(monitor.heard[1].arguments().value(1).toByteArray(),
            QByteArray(1, '\0') + QByteArray::fromStdString(port_) + QByteArray(1, '\0'));
  monitor.heard.clear();

  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_NE(form.Progress(), nullptr);
  EXPECT_FALSE(form.Progress()->MonitorButton()->isVisible()) << "the monitor is there already";
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  EXPECT_NE(message.find("programming was successful."), std::string::npos) << message;

  // Read in the order heard, every reply answers the command before it.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        return !monitor.heard.empty() &&
               monitor.heard.back().arguments().value(1).toByteArray() == QByteArray("\x80\x05", 2);
      },
      kRunLimitMs));
  TrafficDecoder decoder;
  size_t writes = 0;
  size_t written = 0;
  for (const QDBusMessage& heard : monitor.heard) {
    const bool sent = heard.member() == test::Name(kMsgDataSend);
    ASSERT_TRUE(sent || heard.member() == test::Name(kMsgDataRec)) << heard.member().toStdString();
    EXPECT_EQ(heard.arguments().value(0).toString(), form.Monitor().Token());
    const QByteArray bytes = heard.arguments().value(1).toByteArray();
    const std::string meaning = decoder.Describe(
        sent ? TrafficDirection::Sent : TrafficDirection::Received,
        {reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<size_t>(bytes.size())});
    EXPECT_EQ(meaning.find("noise"), std::string::npos) << meaning;
    if (meaning.find("CRC correct") != std::string::npos) ++writes;
    if (meaning.find(" written") != std::string::npos) ++written;
  }
  EXPECT_GT(writes, 0u);
  EXPECT_EQ(written, writes);

  monitor.heard.clear();
  form.close();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !monitor.heard.empty(); }, kRunLimitMs));
  EXPECT_EQ(monitor.heard.front().member(), test::Name(kMsgClose));
}

// The monitor button starts the real vantor program (found on $PATH here;
// beside the program when installed); it announces itself, follows the
// port and shows every block of a run, and ends when the window closes.
TEST_F(WindowRunTest, TheMonitorButtonStartsVantorWhichShowsTheRun) {
  ProgramScope program(1);
  StartSim({"--device", "KV-310", "--baud", "115200"});
  TMainForm& form = Prepare("KV-310", br115200);
  // vantor as the window finds it, writing what it showed when it closes.
  const QString rows = dir_.filePath(QStringLiteral("rows.txt"));
  const QString wrapper = dir_.filePath(QStringLiteral("bin/vantor"));
  ASSERT_TRUE(QDir().mkpath(dir_.filePath(QStringLiteral("bin"))));
  {
    std::ofstream script(wrapper.toStdString());
    script << "#!/bin/sh\nexec '" << QUORVEL_VANTOR << "' --dump-rows-on-close '"
           << rows.toStdString() << "' \"$@\"\n";
  }
  ASSERT_EQ(chmod(wrapper.toLocal8Bit().constData(), 0755), 0);
  const std::string path = getenv("PATH") != nullptr ? getenv("PATH") : "";
  setenv("PATH", (dir_.filePath(QStringLiteral("bin")).toStdString() + ":" + path).c_str(), 1);
  QSignalSpy opened(&form.Monitor(), &MonitorLink::opened);
  QTest::mouseClick(form.MonitorButton(), Qt::LeftButton);
  const bool announced = opened.wait(kRunLimitMs);
  setenv("PATH", path.c_str(), 1);
  ASSERT_TRUE(announced) << "vantor did not announce itself";

  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  EXPECT_NE(message.find("programming was successful."), std::string::npos) << message;
  ASSERT_TRUE(form.Monitor().Known()) << "vantor kept up with the run";

  QSignalSpy closed(&form.Monitor(), &MonitorLink::closed);
  form.close();
  ASSERT_TRUE(closed.wait(kRunLimitMs)) << "vantor did not say it closed";
  ASSERT_TRUE(QTest::qWaitFor([&] { return QFileInfo::exists(rows); }, kRunLimitMs));
  std::ifstream shown(rows.toStdString());
  std::string text((std::istreambuf_iterator<char>(shown)), {});
  EXPECT_NE(text.find("COM " + port_), std::string::npos) << "the title names the port";
  size_t writes = 0;
  size_t written = 0;
  std::string last;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    const auto row = ParseTraceLine(line);
    if (!row) continue;
    EXPECT_EQ(row->meaning.find("noise"), std::string::npos) << line;
    if (row->meaning.find("CRC correct") != std::string::npos) ++writes;
    if (row->meaning.find(" written") != std::string::npos) ++written;
    last = row->meaning;
  }
  EXPECT_GT(writes, 0u);
  EXPECT_EQ(written, writes);
  EXPECT_EQ(last, "positive reply: reset");
}

// A run watched from elsewhere: the progress window's estimate of the time
// left appears once writing has gone on, falls as the run goes on and is 0
// when every byte is written; the task bar follows the run, and since
// another window is active at the end, the desktop is told the outcome.
TEST_F(WindowRunTest, TheTimeLeftFallsToZeroAndTheDesktopHearsTheEnd) {
  ProgramScope program(1);
  testing::NotificationService service;
  ASSERT_TRUE(service.Register());
  testing::LauncherListener listener;
  ASSERT_TRUE(listener.Listening());
  // About 8 s of writing at 19200 baud.
  StartSim({"--device", "KV-310", "--baud", "19200"});
  TMainForm& form = Prepare("KV-310", br019200);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  TFormProgress* progress = form.Progress();
  ASSERT_NE(progress, nullptr);
  struct Shown {
    uint32_t written;
    uint32_t total;
    std::optional<int64_t> leftMs;
    QString leftText;
  };
  std::vector<Shown> shown;
  QObject::connect(progress, &TFormProgress::timesShown, progress, [&shown, progress] {
    const RunTimes& times = progress->Times();
    shown.push_back({times.written, times.total, times.leftMs, progress->TimeTexts().value(3)});
  });
  // The user works in another window meanwhile.
  QWidget elsewhere;
  elsewhere.show();
  elsewhere.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return elsewhere.isActiveWindow(); }));
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  ASSERT_EQ(form.LastOutcome()->Cause, RunCause::Success) << LogText();

  // Hidden until it could be told, then falling, then 0.
  ASSERT_FALSE(shown.empty());
  EXPECT_FALSE(shown.front().leftMs.has_value());
  EXPECT_TRUE(shown.front().leftText.isEmpty());
  std::vector<Shown> estimated;
  for (const Shown& s : shown) {
    if (s.leftMs) estimated.push_back(s);
  }
  ASSERT_GE(estimated.size(), 3u);
  const Shown& last = estimated.back();
  EXPECT_EQ(last.leftMs, 0);
  EXPECT_EQ(last.leftText, QStringLiteral("0:00"));
  EXPECT_EQ(last.written, last.total);
  EXPECT_GT(last.total, 0u);
  const Shown& first = estimated.front();
  EXPECT_LT(first.written, first.total / 2);
  EXPECT_GT(*first.leftMs, 0);
  // Past three quarters of the image every estimate is below the first.
  for (const Shown& s : estimated) {
    if (s.written >= s.total / 4 * 3) {
      EXPECT_LT(*s.leftMs, *first.leftMs) << s.written;
    }
  }
  EXPECT_EQ(shown.back().leftMs, 0);

  // The task bar: rising progress on the edition's entry, then none.
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !listener.Updates().empty() && !listener.Updates().back().visible; }, 20'000));
  const std::vector<testing::LauncherUpdate>& updates = listener.Updates();
  ASSERT_GE(updates.size(), 3u);
  for (size_t i = 0; i + 1 < updates.size(); ++i) {
    EXPECT_EQ(updates[i].appUri, QStringLiteral("application://pl.varneld.Quorvel.desktop"));
    EXPECT_TRUE(updates[i].visible);
    if (i > 0) {
      EXPECT_GT(updates[i].progress, updates[i - 1].progress);
    }
  }
  EXPECT_DOUBLE_EQ(updates[updates.size() - 2].progress, 1.0);

  // The notification says what the final message says.
  ASSERT_TRUE(QTest::qWaitFor([&] { return service.Calls().size() == 1; }, 20'000));
  const testing::NotifyCall& call = service.Calls().front();
  EXPECT_EQ(call.appName, QStringLiteral("Quorvel"));
  EXPECT_TRUE(call.body.contains(QStringLiteral("programming was successful.")))
      << call.body.toStdString();
  EXPECT_FALSE(call.body.contains(QLatin1Char('\r')));
  EXPECT_NE(message.find("programming was successful."), std::string::npos) << message;
}

// The window in use at the end: no notification.
TEST_F(WindowRunTest, NoNotificationWhileTheWindowIsActive) {
  ProgramScope program(1);
  testing::NotificationService service;
  ASSERT_TRUE(service.Register());
  StartSim({"--device", "KV-310", "--baud", "115200"});
  TMainForm& form = Prepare("KV-310", br115200);
  form.activateWindow();
  ASSERT_TRUE(QTest::qWaitFor([&] { return form.isActiveWindow(); }));
  QSignalSpy finished(&form, &TMainForm::runFinished);
  AnswerNextBox(nullptr, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::Success);
  // A notification sent now on the window's connection arrives after any
  // the run could have sent.
  DesktopSignals probe;
  probe.Notify(QStringLiteral("probe"), QString(), false);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !service.Calls().empty(); }, 20'000));
  ASSERT_EQ(service.Calls().size(), 1u);
  EXPECT_EQ(service.Calls().front().summary, QStringLiteral("probe"));
}

TEST_F(WindowRunTest, StopEndsTheRunAsAUserAbort) {
  ProgramScope program(1);
  // Slow enough to be stopped while the blocks go out.
  StartSim({"--device", "KV-310", "--baud", "9600"});
  TMainForm& form = Prepare("KV-310", br009600);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_NE(form.Progress(), nullptr);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return LogText().find("Sending data block") != std::string::npos; }, kRunLimitMs))
      << LogText();
  std::string message;
  AnswerNextBox(&message);
  TFormProgress* progress = form.Progress();
  QTest::mouseClick(progress->StopButton(), Qt::LeftButton);
  // A second click, Esc and the window frame do not end it twice.
  QTest::mouseClick(progress->StopButton(), Qt::LeftButton);
  progress->close();
  ASSERT_TRUE(finished.wait(kRunLimitMs));
  QTest::qWait(50);
  EXPECT_EQ(finished.count(), 1);
  EXPECT_NE(LogText().find("- User abort"), std::string::npos) << LogText();
  EXPECT_NE(message.find("was unsuccessful."), std::string::npos) << message;
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::UserStop);
}

TEST_F(WindowRunTest, ARestartNotConfirmedEndsWithItsWarningNotTheSuccess) {
  ProgramScope program(1);
  StartSim({"--device", "KV-310", "--baud", "115200", "--ignore-reset"});
  TMainForm& form = Prepare("KV-310", br115200);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(finished.wait(kRunLimitMs)) << LogText();
  EXPECT_EQ(form.LastOutcome()->Cause, RunCause::RestartNotConfirmed) << LogText();
  EXPECT_EQ(message.find("was successful."), std::string::npos) << message;
  EXPECT_NE(message.find("did not confirm its restart"), std::string::npos) << message;
}

// The window says in its final message what quorvel-cli says below its run.
TEST_F(WindowRunTest, APortThatRefusesAccessEndsWithTheAdviceOnGettingIt) {
  const std::optional<std::string> refused = test::PortThatRefusesAccess();
  if (!refused) GTEST_SKIP() << "no file here refuses to be opened with EACCES";
  ProgramScope program(1);
  port_ = *refused;
  PortListService::Instance().AddExtraPort(port_);
  TMainForm& form = Prepare("KV-310", br115200);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  std::string message;
  AnswerNextBox(&message, kConfirmYes, kRunLimitMs);
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor([&] { return finished.count() > 0; }, kRunLimitMs)) << LogText();
  ASSERT_TRUE(form.LastOutcome().has_value());
  EXPECT_EQ(form.LastOutcome()->LinkStatus, TLinkStatus::AccessDenied) << LogText();
  EXPECT_NE(message.find("Access denied"), std::string::npos) << message;
  EXPECT_NE(message.find(PortAccessAdvice(port_)), std::string::npos) << message;
}

// Threads of this process now.
int ThreadCount() {
  return static_cast<int>(std::distance(std::filesystem::directory_iterator("/proc/self/task"),
                                        std::filesystem::directory_iterator()));
}

TEST_F(WindowRunTest, ClosingTheMainWindowDuringARunEndsItCleanly) {
  ProgramScope program(1);
  StartSim({"--device", "KV-310", "--baud", "9600"});
  TMainForm& form = Prepare("KV-310", br009600);
  QSignalSpy finished(&form, &TMainForm::runFinished);
  const int threadsBefore = ThreadCount();
  QTest::mouseClick(form.ProgramButton(), Qt::LeftButton);
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return LogText().find("Sending data block") != std::string::npos; }, kRunLimitMs))
      << LogText();
  EXPECT_GT(ThreadCount(), threadsBefore);
  form.close();
  // Ended at once, without a message: the port's threads are gone and the
  // port is free for another program.
  EXPECT_FALSE(form.Running());
  EXPECT_EQ(form.Progress(), nullptr);
  // (Threads of the file dialog may end meanwhile, never one more.)
  EXPECT_LE(ThreadCount(), threadsBefore);
  QTest::qWait(200);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_EQ(finished.count(), 0);
  TComm32Kx other(nullptr, 1);
  other.SetCOMPort(port_);
  if (!other.IsOpen()) other.Open();
  EXPECT_TRUE(other.IsOpen());
  EXPECT_EQ(other.Status(), TLinkStatus::Connected);
  other.Close();
  // The settings were written at the close.
  EXPECT_EQ(QSettings(QStringLiteral("VARNELD"), SettingsApplicationName())
                .value(QStringLiteral("History"))
                .toString()
                .toStdString(),
            SampleHex());
}

}  // namespace
}  // namespace quorvel
