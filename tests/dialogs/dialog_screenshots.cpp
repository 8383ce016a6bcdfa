// Renders every dialog into PNG files for the documentation, in both
// languages and, where the edition shows, both editions:
//   dialog_screenshots OUTPUT_FOLDER [SUFFIX]
// scripts/screenshots.sh runs it under Xvfb, once per scale factor.
#include <QApplication>
#include <QCursor>
#include <QDir>
#include <QLineEdit>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTimer>
#include <cstdio>
#include <functional>
#include <memory>

#include "app/globals.h"
#include "app/prompt.h"
#include "dialogs/about_box.h"
#include "dialogs/confirmation_box.h"
#include "dialogs/help_window.h"
#include "dialogs/network_port_dialog.h"
#include "dialogs/serial_settings_dialog.h"

namespace quorvel {
namespace {

const char* kLanguageNames[2] = {"pl", "en"};

// Shows the widget, lets it settle and saves it as NAME_LANG[_kmb]SUFFIX.png.
bool Save(QWidget* widget, const QString& folder, const QString& name, const QString& suffix) {
  widget->show();
  for (int i = 0; i < 20; ++i) {
    QApplication::processEvents();
    QEventLoop loop;
    QTimer::singleShot(10, &loop, &QEventLoop::quit);
    loop.exec();
  }
  QString file = QString("%1/%2_%3").arg(folder, name, kLanguageNames[Language]);
  if (Edition == 1) file += "_kmb";
  file += suffix + ".png";
  const bool saved = widget->grab().save(file);
  std::printf("%s %s\n", saved ? "wrote" : "FAILED", file.toLocal8Bit().constData());
  widget->hide();
  return saved;
}

ConfirmRequest Question() {
  ConfirmRequest request;
  request.text = Language == 0 ? QString::fromUtf8(
                                     "Plik\n/home/użytkownik/Dokumenty/GRV-30x "
                                     "v2.74.qvl\njuż istnieje.\nCzy chcesz go "
                                     "zamienić?")
                               : QString(
                                     "File\n/home/user/Documents/GRV-30x v2.74.qvl\nalready "
                                     "exists.\nOverwrite?");
  request.caption = Language == 0 ? QString::fromUtf8("Zapisz jako") : QString("Save as");
  request.flags = kIconWarning;
  request.buttons = ConfirmButtons::YesNo;
  request.focusNo = true;
  return request;
}

ConfirmRequest Message() {
  ConfirmRequest request;
  request.text = Language == 0 ? QString::fromUtf8(
                                     "Programowanie GRV-30x zakończyło się "
                                     "sukcesem.\nR&D: moduł łączności RS-485.")
                               : QString(
                                     "GRV-30x programming was successful.\nR&D: RS-485 "
                                     "communication module.");
  request.caption = QStringLiteral("Quorvel");
  request.flags = kIconInformation;
  request.buttons = ConfirmButtons::Message;
  return request;
}

ConfirmRequest AllButtons() {
  ConfirmRequest request;
  request.text = Language == 0 ? QString::fromUtf8("Zastąpić istniejące pliki?")
                               : QString("Replace the existing files?");
  request.caption = QStringLiteral("Quorvel");
  request.flags = kIconQuestion;
  request.buttons = ConfirmButtons::All;
  return request;
}

int Run(const QString& folder, const QString& suffix) {
  QDir().mkpath(folder);
  // The pointer out of the way, so that no link is drawn as hovered.
  QCursor::setPos(0, 0);
  bool ok = true;
  const LineSettings defaults{br009600, pbNone, dbEight, sbOne};
  const SerialSettings current{{br019200, pbEven, dbEight, sbOne}, FrameGapChoice::Standard()};
  for (uint8_t edition : {0, 1}) {
    for (uint8_t language : {0, 1}) {
      Edition = edition;
      Language = language;
      if (edition == 0) {
        ConfirmationBox question(nullptr, Question());
        ok &= Save(&question, folder, "confirm_question", suffix);
        ConfirmationBox message(nullptr, Message());
        ok &= Save(&message, folder, "confirm_message", suffix);
        ConfirmationBox all(nullptr, AllButtons());
        ok &= Save(&all, folder, "confirm_all", suffix);
        SerialSettingsDialog settings(nullptr, defaults, current);
        ok &= Save(&settings, folder, "serial_settings", suffix);
        NetworkPortDialog network(nullptr);
        network.NameField()->setText(QStringLiteral("rfc2217://ds-hall3.plant:4001"));
        ok &= Save(&network, folder, "network_port", suffix);
      }
      AboutBox about(nullptr, Qt::NoModifier);
      ok &= Save(&about, folder, "about", suffix);
      auto help = std::make_unique<HelpWindow>(nullptr);
      help->setAttribute(Qt::WA_DeleteOnClose, false);
      ok &= Save(help.get(), folder, "help", suffix);
    }
  }
  return ok ? 0 : 1;
}

}  // namespace
}  // namespace quorvel

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: dialog_screenshots OUTPUT_FOLDER [SUFFIX]\n");
    return 2;
  }
  return quorvel::Run(QString::fromLocal8Bit(argv[1]),
                      argc > 2 ? QString::fromLocal8Bit(argv[2]) : QString());
}
