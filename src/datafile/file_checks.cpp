#include "datafile/file_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <random>
#include <vector>

#include "app/globals.h"
#include "app/text_utils.h"
#include "dialogs/prompt.h"

namespace quorvel {
namespace {

constexpr TextPair kCaptionSave{"Zapisz", "Save"};
constexpr TextPair kCaptionError{"Błąd", "Error"};
constexpr TextPair kWordFolder{"folder", "directory"};
constexpr TextPair kWordReadOnly{"'tylko do odczytu'", "'read only'"};
constexpr TextPair kWordHidden{"'ukryty'", "'hidden'"};
constexpr TextPair kCannotCreate{
    "Plik\r\n%s\r\nnie może zostać utworzony,\r\nponieważ już istnieje %s o tej nazwie.",
    "File\r\n%s\r\ncannot be created, because %s\r\nwith the same name already exists."};
constexpr TextPair kHasAttributes{"Plik\r\n%s\r\nposiada atrybut %s\r\nZapisać mimo to?",
                                  "File\r\n%s\r\nhas attributes %s\r\nSave anyway?"};
constexpr TextPair kWriteError{"Wystąpił błąd podczas zapisu pliku:\r\n%s",
                               "Data writing error in file:\r\n%s"};

// The last component of a path, which decides whether the file is hidden.
std::string_view BaseName(std::string_view name) {
  while (name.size() > 1 && name.back() == '/') name.remove_suffix(1);
  size_t slash = name.rfind('/');
  return slash == std::string_view::npos ? name : name.substr(slash + 1);
}

bool IsHiddenName(std::string_view name) {
  std::string_view base = BaseName(name);
  return !base.empty() && base.front() == '.' && base != "." && base != "..";
}

std::string FolderOf(const std::string& name) {
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return name.substr(0, slash);
}

// A symbolic link is replaced through its target, so the link stays a link.
std::string ResolveTarget(const std::string& name) {
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
  char* resolved = realpath(name.c_str(), nullptr);
  if (resolved == nullptr) return name;
  std::string target(resolved);
  std::free(resolved);
  return target;
}

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Creates a new, empty file with a name that did not exist, in the folder of
// the target, with the default permissions of the process (umask applies).
int CreateTempBeside(const std::string& target, std::string& tempName) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<size_t> pick(0, sizeof(kChars) - 2);
  std::string folder = FolderOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(8, '_');
    for (char& c : suffix) c = kChars[pick(random)];
    tempName = folder + "/." + std::string(BaseName(target)) + "." + suffix + ".tmp";
    int fd = open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool PathExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && lstat(name.c_str(), &st) == 0;
}

bool CheckFileAttr(const std::string& name, const std::string& caption) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 && lstat(name.c_str(), &st) != 0) return true;
  if (S_ISDIR(st.st_mode)) {
    CurrentPrompt().MsgBox(
        FormatText(kCannotCreate.text(), {DisplayPath(name), kWordFolder.text()}), caption,
        kIconWarning);
    return false;
  }
  std::string words;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) words = kWordReadOnly.str();
  if (IsHiddenName(name)) {
    if (!words.empty()) words += ", ";
    words += kWordHidden.text();
  }
  if (words.empty()) return true;
  return CurrentPrompt().AskYesNo(FormatText(kHasAttributes.text(), {DisplayPath(name), words}),
                                  caption, kIconWarning, true);
}

bool WriteTextFile(const std::string& name, std::string_view text) {
  if (PathExists(name) && !CheckFileAttr(name, kCaptionSave.str())) return false;
  if (ReplaceFileContents(name, text)) return true;
  CurrentPrompt().MsgBox(FormatText(kWriteError.text(), {DisplayPath(name)}), kCaptionError.str(),
                         kIconWarning);
  return false;
}

AttributeGuard::AttributeGuard(const std::string& name) : name_(name) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0) return;
  mode_ = st.st_mode & 07777;
  if ((st.st_mode & S_IWUSR) == 0) chmod(name.c_str(), *mode_ | S_IWUSR);
}

AttributeGuard::~AttributeGuard() {
  if (mode_.has_value() && !name_.empty()) {
    struct stat st {};
    // Only put the mode back when it differs: a file of another owner may
    // refuse chmod, and nothing needs doing then.
    if (stat(name_.c_str(), &st) == 0 && (st.st_mode & 07777) != *mode_) {
      chmod(name_.c_str(), *mode_);
    }
  }
}

void AttributeGuard::RestoreOnto(const std::string& target) {
  if (mode_.has_value()) chmod(target.c_str(), *mode_);
  name_.clear();
}

bool ReplaceFileContents(const std::string& name, std::string_view bytes) {
  if (name.empty()) return false;
  const std::string target = ResolveTarget(name);
  struct stat original {};
  const bool existed = stat(target.c_str(), &original) == 0;
  if (existed && !S_ISREG(original.st_mode)) return false;

  std::string tempName;
  int fd = CreateTempBeside(target, tempName);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes) && fsync(fd) == 0;
  if (ok && existed) {
    // Keeping another owner works only for a privileged process; without it
    // the file belongs to the writer, as a newly created file would.
    if (fchown(fd, original.st_uid, original.st_gid) != 0) {
      // Not an error: the permission bits below are what matter.
    }
    ok = fchmod(fd, original.st_mode & 07777) == 0;
  }
  if (close(fd) != 0) ok = false;
  if (ok) ok = rename(tempName.c_str(), target.c_str()) == 0;
  if (!ok) {
    unlink(tempName.c_str());
    return false;
  }
  // Make the rename itself durable.
  int dirFd = open(FolderOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

RegularFileForReading::RegularFileForReading(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;
  struct stat st {};
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
}

RegularFileForReading::~RegularFileForReading() {
  if (fd_ >= 0) close(fd_);
}

}  // namespace quorvel
