// The window's commands on files: opening data files into the file history
// (the data file list), encoding the chosen HEX file into an encoded data
// file and saving the run log, each through its own file dialog. It keeps
// what the window remembers between two starts of the program: the folders
// of those dialogs and the history with its choice (WindowSettings), read
// once at start and written once at exit.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QUrl>
#include <optional>
#include <string>

#include "run/device_types.h"
#include "window/window_settings.h"

class QComboBox;
class QPlainTextEdit;
class QWidget;

namespace quorvel {

class WidgetPrompt;

class FileActions final {
 public:
  // window: the owner of the dialogs. history: the data file list. prompt:
  // where the messages go. All must outlive this.
  FileActions(QWidget* window, QComboBox* history, WidgetPrompt& prompt);

  const WindowSettings& Settings() const { return settings_; }
  // A network port added to the port list: kept with the settings.
  void RememberNetworkPort(const QString& name);

  // Reads the stored settings and puts the stored history and its choice
  // into the list (without its signals: the window handles the choice).
  void RestoreHistory();
  // Writes the settings with the history as the list holds it and the frame
  // gap of the serial settings; only the first call writes.
  void StoreSettingsOnce(bool standardFrameGap);

  // Asks for data files and puts them on top of the history, choosing the
  // first (without the list's signals). How many entries were added above
  // the ones there before; none when no file was chosen.
  std::optional<int> OpenDataFiles();
  // Puts the named data files (relative names taken from the working folder)
  // on top of the history as OpenDataFiles does, choosing the first; how
  // many entries were added. The folder of the first is the one the next
  // Open dialog shows.
  int AddDataFiles(const QStringList& names);
  // A data file dropped onto the window: one local file, opened as
  // OpenDataFiles opens a chosen one; how many entries were added. Several
  // files, a remote one or no file at all are refused with a message, and
  // nothing is added.
  std::optional<int> OpenDroppedFiles(const QList<QUrl>& urls);
  // Encodes the HEX file as an encoded data file for the device row (none:
  // no device type is chosen, which is told), asking for its name beside the
  // HEX file, and tells how it went.
  void EncodeDataFile(const std::string& hexName, const TDevAvailData* row);
  // Saves the log's text with CR LF line ends, asking for the name (the
  // default one dated by when the log began). Nothing for an empty log.
  void SaveLog(const QPlainTextEdit& log, const QDateTime& logStarted);

 private:
  QWidget* window_;
  QComboBox* history_;
  WidgetPrompt& prompt_;
  WindowSettings settings_;
  bool settingsStored_ = false;

  // Puts the names, sorted, on top of the history (a name already there
  // stays where it is) and chooses the first; how many were added.
  int AddToHistory(QStringList names);
  // The name a save dialog was closed with, empty when it was cancelled.
  QString ChooseSaveName(const QString& filter, const QString& folder, const QString& name,
                         const char* extension);
};

}  // namespace quorvel
