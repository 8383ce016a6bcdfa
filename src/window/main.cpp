// The program an instrument owner starts: quorvel (the maker's edition) and
// quorvel-kmb (the distributor's), built from this file with QUORVEL_EDITION
// 0 and 1.
#include <signal.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <memory>

#include "app/globals.h"
#include "app/stop_signals.h"
#include "dialogs/product_images.h"
#include "serial/port_handover.h"
#include "window/main_form.h"
#include "window/window_settings.h"

#ifndef QUORVEL_EDITION
#define QUORVEL_EDITION 0
#endif

int main(int argc, char** argv) {
  quorvel::Edition = QUORVEL_EDITION;
  QApplication app(argc, argv);
  // The session bus is joined here, before anything else (the accessibility
  // bridge above all) makes Qt's D-Bus thread some other way.
  if (quorvel::SessionBusExpected()) (void)quorvel::SessionBus();
  const QString name = QString::fromLatin1(quorvel::ProgramName().data(),
                                           static_cast<qsizetype>(quorvel::ProgramName().size()));
  QApplication::setApplicationName(name);
  QApplication::setApplicationDisplayName(name);
  QApplication::setOrganizationName(QStringLiteral("VARNELD"));
  QApplication::setWindowIcon(quorvel::ApplicationIcon());
  quorvel::Language = quorvel::LanguageOf(QLocale::system());
  quorvel::TMainForm form;
  // A desktop logout (SIGTERM) or a closed terminal (SIGHUP) closes the
  // window as its close button does: the run ends and the settings are kept.
  quorvel::StopSignals stop({SIGTERM, SIGHUP, SIGINT});
  std::unique_ptr<QSocketNotifier> stopNotice;
  if (stop.Fd() >= 0) {
    stopNotice = std::make_unique<QSocketNotifier>(stop.Fd(), QSocketNotifier::Read);
    QObject::connect(stopNotice.get(), &QSocketNotifier::activated, &form, [&form, &stop] {
      stop.Drain();
      form.close();
    });
  }
  form.show();
  // Without a window manager (a kiosk, a virtual display) nobody else gives
  // the new window the keyboard.
  form.activateWindow();
  const int result = QApplication::exec();
  // The ports and converters the window let go are announced before it ends.
  quorvel::FlushSessionBus();
  return result;
}
