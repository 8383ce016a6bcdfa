// The program an instrument owner starts: quorvel (the maker's edition) and
// quorvel-kmb (the distributor's), built from this file with QUORVEL_EDITION
// 0 and 1.
#include <QApplication>
#include <QLocale>

#include "app/globals.h"
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
  form.show();
  // Without a window manager (a kiosk, a virtual display) nobody else gives
  // the new window the keyboard.
  form.activateWindow();
  const int result = QApplication::exec();
  // The ports and converters the window let go are announced before it ends.
  quorvel::FlushSessionBus();
  return result;
}
