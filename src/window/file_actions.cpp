#include "window/file_actions.h"

#include <QComboBox>
#include <QFileDialog>
#include <QFileInfo>
#include <QPlainTextEdit>
#include <QSignalBlocker>
#include <algorithm>
#include <array>

#include "app/globals.h"
#include "app/save_name.h"
#include "app/text_utils.h"
#include "datafile/data_file.h"
#include "datafile/file_checks.h"
#include "datafile/hex_encoding.h"
#include "datafile/utilities.h"
#include "dialogs/dialog_support.h"
#include "dialogs/widget_prompt.h"

namespace quorvel {
namespace {

constexpr TextPair kOpenTitle{"Otwórz", "Open"};
constexpr TextPair kSaveTitle{"Zapisz", "Save"};
constexpr TextPair kDataAndHexFilter{"Pliki danych (*.qvl *.hex)", "Data files (*.qvl *.hex)"};
constexpr TextPair kDataFilter{"Pliki danych (*.qvl)", "Data files (*.qvl)"};
constexpr TextPair kLogFilter{"Pliki log (*.log)", "Log files (*.log)"};
constexpr TextPair kAllFilter{"Wszystkie pliki (*)", "All files (*)"};
constexpr TextPair kDeviceNotSelected{"BŁĄD\r\nNie wybrano typu urządzenia.",
                                      "ERROR\r\nDevice not selected."};
constexpr TextPair kEncoded{"Zakodowano dane.\r\nPlik hex:\r\n    %s\r\nPlik zakodowany:\r\n    %s",
                            "Data encoded.\r\nHEX file:\r\n    %s\r\nEncoded file:\r\n    %s"};
constexpr TextPair kOverwrite{"Plik\r\n%s\r\njuż istnieje.\r\nCzy chcesz go zamienić?",
                              "File\r\n%s\r\nalready exists.\r\nOverwrite?"};
constexpr TextPair kErrorCaption{"Błąd", "Error"};
constexpr TextPair kDropOneFile{"Upuść tylko jeden plik danych.", "Drop one data file only."};
constexpr TextPair kDropNotLocal{"Otworzyć można tylko plik z tego komputera:\r\n%s",
                                 "Only a file on this computer can be opened:\r\n%s"};
constexpr TextPair kDropNoFile{"To nie jest plik:\r\n%s", "This is not a file:\r\n%s"};
constexpr std::string_view kLogFileNames[2] = {"Quorvel.log", "QuorvelKMB.log"};

std::string FolderOf(const std::string& fileName) {
  return QFileInfo(ToQString(fileName)).absolutePath().toStdString() + "/";
}

// A save dialog that asks before it replaces a file, and completes the name
// with the extension of the selected filter.
class SaveFileDialog final : public QFileDialog {
 public:
  SaveFileDialog(QWidget* owner, const QString& title, const QStringList& filters,
                 const std::array<const char*, 2>& extensions, const Prompt& measure)
      : QFileDialog(owner, title), extensions_(extensions), measure_(measure) {
    setAcceptMode(QFileDialog::AcceptSave);
    setFileMode(QFileDialog::AnyFile);
    setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::DontConfirmOverwrite);
    setFilter(filter() | QDir::Hidden);
    setNameFilters(filters);
  }

  // The name the dialog was closed with.
  const std::string& Chosen() const { return chosen_; }

  std::string EffectiveName() const {
    const QStringList files = selectedFiles();
    if (files.isEmpty()) return {};
    const int filterIndex = static_cast<int>(nameFilters().indexOf(selectedNameFilter()));
    const char* extension = filterIndex == 0 ? extensions_[0] : extensions_[1];
    return EffectiveSaveName(files.first().toStdString(), extension);
  }

  void accept() override {
    const QStringList files = selectedFiles();
    if (!files.isEmpty() && QFileInfo(files.first()).isDir()) {
      QFileDialog::accept();  // opens the folder
      return;
    }
    const std::string name = EffectiveName();
    if (name.empty()) return;
    if (PathExists(name)) {
      WidgetPrompt prompt(this);
      prompt.SetCenterOverOwner(false);
      const std::string caption = windowTitle().toStdString();
      const std::string text = FormatText(kOverwrite.text(), {DisplayPath(name, measure_)});
      if (!prompt.AskYesNo(text, caption, kIconWarning, true)) return;
      if (!CheckFileAttr(name, caption, prompt)) return;
    }
    chosen_ = name;
    QDialog::accept();
  }

 private:
  std::array<const char*, 2> extensions_;
  const Prompt& measure_;
  std::string chosen_;
};

}  // namespace

FileActions::FileActions(QWidget* window, QComboBox* history, WidgetPrompt& prompt)
    : window_(window), history_(history), prompt_(prompt) {
  settings_.DirDataFiles = DefaultFolder();
  settings_.DirLogFiles = settings_.DirDataFiles;
}

void FileActions::RestoreHistory() {
  LoadWindowSettings(settings_);
  const QSignalBlocker block(history_);
  history_->addItems(settings_.History);
  history_->setCurrentIndex(settings_.LastFileIndex);
}

void FileActions::RememberNetworkPort(const QString& name) {
  settings_.NetworkPorts = WithNetworkPort(settings_.NetworkPorts, name);
}

void FileActions::StoreSettingsOnce(bool standardFrameGap) {
  if (settingsStored_) return;
  settingsStored_ = true;
  settings_.History.clear();
  for (int i = 0; i < history_->count(); ++i) settings_.History.append(history_->itemText(i));
  settings_.LastFileIndex = history_->currentIndex();
  settings_.StandardFrameGap = standardFrameGap;
  SaveWindowSettings(settings_);
}

std::optional<int> FileActions::OpenDataFiles() {
  window_->repaint();
  const QString folder =
      PathExists(settings_.DirDataFiles.toStdString()) ? settings_.DirDataFiles : DefaultFolder();
  QFileDialog dialog(window_, Text(kOpenTitle), folder);
  dialog.setOptions(QFileDialog::DontUseNativeDialog | QFileDialog::ReadOnly);
  dialog.setFileMode(QFileDialog::ExistingFiles);
  dialog.setFilter(dialog.filter() | QDir::Hidden);
  dialog.setNameFilters({Text(kDataAndHexFilter), Text(kAllFilter)});
  if (dialog.exec() != QDialog::Accepted) return std::nullopt;
  const QStringList names = dialog.selectedFiles();
  if (names.isEmpty()) return std::nullopt;
  return AddDataFiles(names);
}

std::optional<int> FileActions::OpenDroppedFiles(const QList<QUrl>& urls) {
  if (urls.size() != 1) {
    prompt_.MsgBox(kDropOneFile.str(), kErrorCaption.str(), kIconWarning);
    return std::nullopt;
  }
  const QUrl& url = urls.first();
  const std::string shown = url.toDisplayString(QUrl::PreferLocalFile).toStdString();
  if (!url.isLocalFile()) {
    prompt_.MsgBox(FormatText(kDropNotLocal.text(), {PrintableText(shown)}), kErrorCaption.str(),
                   kIconWarning);
    return std::nullopt;
  }
  // What the Open dialog lets through: an existing file, not a folder.
  const QString name = url.toLocalFile();
  if (!QFileInfo(name).isFile()) {
    prompt_.MsgBox(FormatText(kDropNoFile.text(), {DisplayPath(name.toStdString(), prompt_)}),
                   kErrorCaption.str(), kIconWarning);
    return std::nullopt;
  }
  return AddDataFiles({name});
}

int FileActions::AddDataFiles(const QStringList& names) {
  QStringList absolute;
  for (const QString& name : names) {
    const QFileInfo file(name);
    absolute.append(file.isRelative() ? file.absoluteFilePath() : name);
  }
  if (absolute.isEmpty()) return 0;
  settings_.DirDataFiles = QFileInfo(absolute.first()).absolutePath() + QLatin1Char('/');
  return AddToHistory(absolute);
}

int FileActions::AddToHistory(QStringList names) {
  std::sort(names.begin(), names.end(), [](const QString& a, const QString& b) {
    return CompareTextNoCase(a.toStdString(), b.toStdString()) < 0;
  });
  int added = 0;
  const QSignalBlocker block(history_);
  for (auto name = names.crbegin(); name != names.crend(); ++name) {
    int found = -1;
    // A file is its exact path: fw.hex and FW.hex are two files.
    for (int i = 0; i < history_->count(); ++i) {
      if (history_->itemText(i) == *name) {
        found = i;
        break;
      }
    }
    if (found < 0) {
      history_->insertItem(0, *name);
      found = 0;
      ++added;
    }
    history_->setCurrentIndex(found);
  }
  return added;
}

QString FileActions::ChooseSaveName(const QString& filter, const QString& folder,
                                    const QString& name, const char* extension) {
  SaveFileDialog dialog(window_, Text(kSaveTitle), {filter, Text(kAllFilter)}, {extension, ""},
                        prompt_);
  dialog.setDirectory(folder);
  dialog.selectFile(name);
  if (dialog.exec() != QDialog::Accepted) return {};
  return ToQString(dialog.Chosen());
}

void FileActions::EncodeDataFile(const std::string& hexName, const TDevAvailData* row) {
  window_->repaint();
  const std::string caption(ProgramName());
  if (row == nullptr) {
    prompt_.MsgBox(kDeviceNotSelected.str(), caption, kIconWarning);
    return;
  }
  const QFileInfo hex(ToQString(hexName));
  const HexEncoding encoding = EncodeHexFile(hexName, row->DevCode, row->Variant, [&] {
    return ChooseSaveName(Text(kDataFilter), hex.absolutePath(),
                          hex.completeBaseName() + QStringLiteral(".qvl"), "qvl")
        .toStdString();
  });
  const std::string& target = encoding.Target;
  switch (encoding.End) {
    case HexEncodingEnd::HexRefused:
      ShowDataFileError(prompt_, encoding.Hex, hexName);
      return;
    case HexEncodingEnd::NoTarget:
      return;
    case HexEncodingEnd::WriteFailed:
      ShowWriteError(prompt_, target, encoding.WriteFailure);
      break;
    case HexEncodingEnd::Written:
      prompt_.MsgBox(FormatText(kEncoded.text(),
                                {DisplayPath(hexName, prompt_), DisplayPath(target, prompt_)}),
                     caption, kIconInformation);
      break;
  }
  settings_.DirDataFiles = ToQString(FolderOf(target));
}

void FileActions::SaveLog(const QPlainTextEdit& log, const QDateTime& logStarted) {
  if (log.document()->isEmpty()) return;
  window_->repaint();
  const QString name = logStarted.toString(QStringLiteral("yyyy MM dd ")) +
                       ToQString(kLogFileNames[Edition == 0 ? 0 : 1]);
  const QString chosen = ChooseSaveName(Text(kLogFilter), settings_.DirLogFiles, name, "log");
  if (chosen.isEmpty()) return;
  const std::string target = chosen.toStdString();
  QString text = log.toPlainText();
  text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
  std::string failure;
  if (!WriteTextFile(target, text.toStdString(), prompt_, &failure) && !failure.empty()) {
    ShowWriteError(prompt_, target, failure);
  }
  settings_.DirLogFiles = ToQString(FolderOf(target));
}

}  // namespace quorvel
