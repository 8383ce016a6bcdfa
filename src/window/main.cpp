// The program an instrument owner starts: quorvel (the maker's edition) and
// quorvel-kmb (the distributor's), built from this file with QUORVEL_EDITION
// 0 and 1. "quorvel FILE" (a desktop's "Open with") opens the window with
// that data file chosen.
#include <signal.h>

#include <QApplication>
#include <QLocale>
#include <QSocketNotifier>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/stop_signals.h"
#include "app/text_utils.h"
#include "dialogs/product_images.h"
#include "serial/port_handover.h"
#include "window/desktop_signals.h"
#include "window/main_form.h"
#include "window/window_arguments.h"
#include "window/window_manual.h"
#include "window/window_settings.h"

#ifndef QUORVEL_EDITION
#define QUORVEL_EDITION 0
#endif

namespace {

constexpr quorvel::TextPair kBadArgument{"Błędny argument: ", "Bad argument: "};

// What the arguments ask for when it is not the window: its answer is
// printed and the program ends with this code.
std::optional<int> AnswerInstead(const quorvel::WindowArguments& call) {
  using Ask = quorvel::WindowArguments::Ask;
  switch (call.ask) {
    case Ask::Window:
      return std::nullopt;
    case Ask::Help:
      std::fputs(quorvel::WindowUsage().c_str(), stdout);
      return 0;
    case Ask::Version:
      std::printf("%s %s\n", quorvel::WindowProgramFile().c_str(), QUORVEL_VERSION);
      return 0;
    case Ask::Problem:
      std::fprintf(stderr, "%s%s\n%s\n", kBadArgument.str().c_str(),
                   quorvel::PrintableText(call.problem).c_str(), quorvel::WindowTryHelp().c_str());
      return 2;
  }
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  quorvel::Edition = QUORVEL_EDITION;
  quorvel::Language = quorvel::LanguageOf(QLocale::system());
  // Help, the version and a word nobody takes need no display: answered
  // before the toolkit starts, unless a toolkit option hides them (then they
  // are below).
  const quorvel::WindowArguments early =
      quorvel::ParseWindowArguments(std::vector<std::string>(argv + 1, argv + argc));
  const bool toolkitWord = early.ask == quorvel::WindowArguments::Ask::Problem &&
                           quorvel::ToolkitMayTake(early.problem);
  if (early.ask != quorvel::WindowArguments::Ask::Window && !toolkitWord) {
    return *AnswerInstead(early);
  }
  QApplication app(argc, argv);
  std::vector<std::string> words;
  for (const QString& word : QCoreApplication::arguments().mid(1)) words.push_back(word.toStdString());
  const quorvel::WindowArguments call = quorvel::ParseWindowArguments(words);
  if (const std::optional<int> answered = AnswerInstead(call)) return *answered;
  // The session bus is joined here, before anything else (the accessibility
  // bridge above all) makes Qt's D-Bus thread some other way.
  if (quorvel::SessionBusExpected()) (void)quorvel::SessionBus();
  const QString name = QString::fromLatin1(quorvel::ProgramName().data(),
                                           static_cast<qsizetype>(quorvel::ProgramName().size()));
  QApplication::setApplicationName(name);
  QApplication::setApplicationDisplayName(name);
  QApplication::setOrganizationName(QStringLiteral("VARNELD"));
  QApplication::setDesktopFileName(quorvel::DesktopEntryId());
  QApplication::setWindowIcon(quorvel::ApplicationIcon());
  quorvel::TMainForm form;
  if (!call.files.empty()) {
    QStringList files;
    for (const std::string& file : call.files) files.append(QString::fromStdString(file));
    form.OpenDataFiles(files);
  }
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
