// What the window keeps between two starts of the program: the folders of
// its file dialogs, the file history with its selection, the frame gap and
// the network ports added to the port list, under
// QSettings("VARNELD", "Quorvel") (the distributor's edition: "QuorvelKMB").
// Read once at start, written once at exit.
#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>
#include <cstdint>

namespace quorvel {

// Entries the file history holds at most.
constexpr int kHistoryLimit = 8;
// Network ports kept at most (the oldest goes first).
constexpr int kNetworkPortLimit = 16;

struct WindowSettings {
  // Folders, each ending with "/".
  QString DirDataFiles;
  QString DirLogFiles;
  // Most recent first.
  QStringList History;
  // Selected entry of History, -1 for none.
  int LastFileIndex = -1;
  // The frame gap of the serial settings dialog: the standard 50 ms for
  // instruments that need it, else chosen from the line ("FrameGap" =
  // "standard" or "auto").
  bool StandardFrameGap = false;
  // The network ports added through the port list ("rfc2217://HOST:PORT",
  // "tcp://HOST:PORT"), oldest first, each once.
  QStringList NetworkPorts;
};

// The QSettings application name of the edition.
QString SettingsApplicationName();

// The program's Language for a system locale: Polish gives 0, every other
// language 1 (English).
uint8_t LanguageOf(const QLocale& locale);

// The current user's documents folder with a trailing "/", or the folder of
// the program when there is none (or it does not exist).
QString DefaultFolder();

// The history as stored ("\r\n" between entries): the non-empty pieces in
// order, at most kHistoryLimit.
QStringList HistoryFromText(const QString& text);

// The network ports as stored ("\r\n" between entries): the well-formed
// names, each once, the newest kNetworkPortLimit.
QStringList NetworkPortsFromText(const QString& text);

// The list with the name added at its end (moved there when it was in it),
// the oldest going beyond kNetworkPortLimit.
QStringList WithNetworkPort(QStringList ports, const QString& name);

// Fills `settings` from the edition's stored values; values not stored (or
// stored empty, for the folders) keep what `settings` held. False when
// nothing of the edition is stored at all.
bool LoadWindowSettings(WindowSettings& settings);

// Writes every value.
void SaveWindowSettings(const WindowSettings& settings);

}  // namespace quorvel
