// Renders the main window (idle with a device, port and file chosen, and
// during a run) and the progress window (a third written, with its rate and
// time left) into PNG files for the
// documentation, in both languages and both editions:
//   window_screenshots OUTPUT_FOLDER [SUFFIX]
// The run programs quorvel-sim on a pseudo-terminal. scripts/screenshots.sh
// runs it under Xvfb, once per scale factor.
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <memory>

#include "app/globals.h"
#include "process_runner.h"
#include "serial/port_list_service.h"
#include "window/main_form.h"
#include "window/progress_form.h"

namespace quorvel {
namespace {

const char* kLanguageNames[2] = {"pl", "en"};

// Runs the event loop for ms milliseconds.
void Settle(int ms) {
  QEventLoop loop;
  QTimer::singleShot(ms, &loop, &QEventLoop::quit);
  loop.exec();
}

bool Save(QWidget* widget, const QString& folder, const QString& name, const QString& suffix) {
  QString file = QString("%1/%2_%3").arg(folder, name, kLanguageNames[Language]);
  if (Edition == 1) file += "_kmb";
  file += suffix + ".png";
  const bool saved = widget->grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", file.toLocal8Bit().constData());
  return saved;
}

bool Choose(QComboBox* list, const QString& text) {
  const int index = list->findText(text);
  if (index >= 0) list->setCurrentIndex(index);
  return index >= 0;
}

bool ShootEdition(const QString& folder, const QString& suffix, const QTemporaryDir& work) {
  const QString firmware = work.filePath(QStringLiteral("KV-310 v2.74.hex"));
  QFile::remove(firmware);
  QFile::copy(QStringLiteral(QUORVEL_SOURCE_DIR "/samples/sample_firmware.hex"), firmware);
  const std::string port = work.filePath(QStringLiteral("ttyVIRT0")).toStdString();
  test::BackgroundProcess sim(
      {QUORVEL_SIM, "--device", "KV-310", "--baud", "9600", "--link", port, "--quiet"});
  if (sim.FirstLine().empty()) return false;
  PortListService::Instance().AddExtraPort(port);
  bool saved = true;
  {
    TMainForm form;
    form.show();
    Settle(100);
    saved &= Choose(form.DeviceList(), QStringLiteral("KV-310"));
    saved &= Choose(form.PortList(), QString::fromStdString(port));
    form.FileList()->addItem(firmware);
    form.FileList()->setCurrentIndex(0);
    Settle(200);
    saved &= Save(&form, folder, "main_idle", suffix);
    form.ProgramButton()->click();
    QDeadlineTimer limit(30000);
    // A third written, and the rate and the time left known.
    while (form.Progress() != nullptr &&
           (form.Progress()->Panel()->WrittenBarWidth() < form.Progress()->FullWidth() / 3 ||
            !form.Progress()->Times().leftMs.has_value())) {
      if (limit.hasExpired()) return false;
      Settle(50);
    }
    if (form.Progress() == nullptr) return false;
    Settle(100);
    saved &= Save(&form, folder, "main_run", suffix);
    saved &= Save(form.Progress(), folder, "progress", suffix);
    // Closing the window ends the run.
    form.close();
  }
  PortListService::Instance().RemoveExtraPort(port);
  return saved;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  QTemporaryDir work;
  if (!work.isValid()) return 1;
  // The screenshots' own settings, never the user's.
  qputenv("XDG_CONFIG_HOME", work.filePath(QStringLiteral("config")).toLocal8Bit());
  QApplication app(argc, argv);
  const QString folder = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(".");
  const QString suffix = argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString();
  QDir().mkpath(folder);
  bool ok = true;
  for (uint8_t edition : {0, 1}) {
    for (uint8_t language : {0, 1}) {
      quorvel::Edition = edition;
      quorvel::Language = language;
      ok &= quorvel::ShootEdition(folder, suffix, work);
    }
  }
  return ok ? 0 : 1;
}
