#include "window/window_settings.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <cstdio>

#include "app/globals.h"
#include "net/network_port.h"

namespace quorvel {
namespace {

const QString kOrganization = QStringLiteral("VARNELD");
const QString kDirDataFiles = QStringLiteral("DirDataFiles");
const QString kDirLogFiles = QStringLiteral("DirLogFiles");
const QString kHistory = QStringLiteral("History");
const QString kLastFileIndex = QStringLiteral("LastFileIndex");
const QString kFrameGap = QStringLiteral("FrameGap");
const QString kFrameGapStandard = QStringLiteral("standard");
const QString kFrameGapAuto = QStringLiteral("auto");
const QString kNetworkPorts = QStringLiteral("NetworkPorts");
const QString kHistorySeparator = QStringLiteral("\r\n");

// The settings file of the edition, where QSettings keeps it.
QString SettingsFilePath() {
  return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) + "/" +
         kOrganization + "/" + SettingsApplicationName() + ".conf";
}

// QSettings reads the whole file before it reads or writes a value: a FIFO
// (or a device) there would hold the window for ever. Only a regular file,
// or none yet, is used.
bool SettingsFileUsable() {
  const QFileInfo file(SettingsFilePath());
  if (!file.exists() || file.isFile()) return true;
  std::fprintf(stderr, "%s: not a regular file; the settings are neither read nor written\n",
               qPrintable(file.filePath()));
  return false;
}

QString WithTrailingSlash(QString folder) {
  if (!folder.endsWith(QLatin1Char('/'))) folder += QLatin1Char('/');
  return folder;
}

}  // namespace

QString SettingsApplicationName() {
  return QString::fromLatin1(ProgramName().data(), static_cast<qsizetype>(ProgramName().size()));
}

uint8_t LanguageOf(const QLocale& locale) {
  return locale.language() == QLocale::Polish ? 0 : 1;
}

QString DefaultFolder() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
  if (folder.isEmpty() || !QFileInfo(folder).isDir())
    folder = QCoreApplication::applicationDirPath();
  if (folder.isEmpty()) folder = QDir::homePath();
  return WithTrailingSlash(folder);
}

QStringList HistoryFromText(const QString& text) {
  QStringList history;
  for (const QString& piece : text.split(kHistorySeparator)) {
    if (history.size() >= kHistoryLimit) break;
    if (!piece.isEmpty()) history.append(piece);
  }
  return history;
}

QStringList NetworkPortsFromText(const QString& text) {
  QStringList ports;
  for (const QString& piece : text.split(kHistorySeparator)) {
    if (ParseNetworkPort(piece.toStdString())) ports = WithNetworkPort(ports, piece);
  }
  return ports;
}

QStringList WithNetworkPort(QStringList ports, const QString& name) {
  ports.removeAll(name);
  ports.append(name);
  while (ports.size() > kNetworkPortLimit) ports.removeFirst();
  return ports;
}

bool LoadWindowSettings(WindowSettings& settings) {
  if (!SettingsFileUsable()) return false;
  QSettings stored(kOrganization, SettingsApplicationName());
  if (stored.allKeys().isEmpty()) return false;
  for (const auto& [key, field] : {std::pair{kDirDataFiles, &WindowSettings::DirDataFiles},
                                   std::pair{kDirLogFiles, &WindowSettings::DirLogFiles}}) {
    const QString folder = stored.value(key).toString();
    if (!folder.isEmpty()) settings.*field = WithTrailingSlash(folder);
  }
  settings.History = HistoryFromText(stored.value(kHistory).toString());
  bool isNumber = false;
  const int index = stored.value(kLastFileIndex, -1).toInt(&isNumber);
  settings.LastFileIndex = isNumber && index >= 0 && index < settings.History.size() ? index : -1;
  settings.StandardFrameGap = stored.value(kFrameGap).toString() == kFrameGapStandard;
  settings.NetworkPorts = NetworkPortsFromText(stored.value(kNetworkPorts).toString());
  return true;
}

void SaveWindowSettings(const WindowSettings& settings) {
  if (!SettingsFileUsable()) return;
  QSettings stored(kOrganization, SettingsApplicationName());
  stored.setValue(kDirDataFiles, settings.DirDataFiles);
  stored.setValue(kDirLogFiles, settings.DirLogFiles);
  stored.setValue(kHistory, settings.History.join(kHistorySeparator));
  stored.setValue(kLastFileIndex, settings.LastFileIndex);
  stored.setValue(kFrameGap, settings.StandardFrameGap ? kFrameGapStandard : kFrameGapAuto);
  stored.setValue(kNetworkPorts, settings.NetworkPorts.join(kHistorySeparator));
  stored.sync();
}

}  // namespace quorvel
