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
#include "app/prompt.h"
#include "app/text_utils.h"
#include "datafile/system_error_text.h"
#include "datafile/utilities.h"

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
constexpr TextPair kNoName{"brak nazwy pliku", "no file name"};
constexpr TextPair kNotRegular{"to nie jest zwykły plik (kolejka FIFO, gniazdo lub urządzenie)",
                               "not a regular file (a FIFO, socket or device)"};

// Prefix and random part of a temporary file's name: short, so that a
// temporary file can be made beside a target whose name has the greatest
// length the file system allows.
constexpr const char* kTempPrefix = ".qv";
constexpr size_t kTempRandomChars = 10;

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

// A symbolic link is replaced through its target, so the link stays a link;
// also a link whose target is not there (yet, or any more: it is made).
std::string ResolveTarget(const std::string& name) {
  struct stat st {};
  if (lstat(name.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return name;
  if (char* resolved = realpath(name.c_str(), nullptr)) {
    std::string target(resolved);
    std::free(resolved);
    return target;
  }
  std::string target(PATH_MAX, '\0');
  const ssize_t length = readlink(name.c_str(), target.data(), target.size());
  if (length <= 0 || static_cast<size_t>(length) >= target.size()) return name;
  target.resize(static_cast<size_t>(length));
  return target.front() == '/' ? target : FolderOf(name) + "/" + target;
}

// False with errno set when not every byte could be written.
bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t written = write(fd, bytes.data(), bytes.size());
    if (written < 0 && errno == EINTR) continue;
    if (written == 0) errno = ENOSPC;
    if (written <= 0) return false;
    bytes.remove_prefix(static_cast<size_t>(written));
  }
  return true;
}

// Creates a new, empty file with a name that did not exist, in the folder of
// the target, with the default permissions of the process (umask applies).
// -1 with errno set on failure.
int CreateTempBeside(const std::string& target, std::string& tempName) {
  static constexpr char kChars[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::random_device seed;
  std::mt19937 random(seed());
  std::uniform_int_distribution<size_t> pick(0, sizeof(kChars) - 2);
  const std::string folder = FolderOf(target);
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string suffix(kTempRandomChars, '_');
    for (char& c : suffix) c = kChars[pick(random)];
    tempName = folder + "/" + kTempPrefix + suffix;
    int fd = open(tempName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

// Why a folder cannot take a new file (a temporary one, then the rename), as
// an errno value; 0 when it can.
int FolderRefusal(const std::string& folder) {
  struct stat st {};
  if (stat(folder.c_str(), &st) != 0) return errno;
  if (!S_ISDIR(st.st_mode)) return ENOTDIR;
  return access(folder.c_str(), W_OK | X_OK) == 0 ? 0 : errno;
}

// The reason for a file that is there but cannot be read or replaced as a
// plain file.
std::string NotRegularText(mode_t mode) {
  return S_ISDIR(mode) ? SystemErrorText(EISDIR) : kNotRegular.str();
}

void SetDetail(std::string* failureDetail, std::string text) {
  if (failureDetail != nullptr) *failureDetail = std::move(text);
}

}  // namespace

bool PathExists(const std::string& name) {
  struct stat st {};
  return !name.empty() && lstat(name.c_str(), &st) == 0;
}

bool CheckFileAttr(const std::string& name, const std::string& caption, Prompt& prompt) {
  struct stat st {};
  if (stat(name.c_str(), &st) != 0 && lstat(name.c_str(), &st) != 0) return true;
  if (S_ISDIR(st.st_mode)) {
    prompt.MsgBox(FormatText(kCannotCreate.text(), {DisplayPath(name, prompt), kWordFolder.text()}),
                  caption, kIconWarning);
    return false;
  }
  std::string words;
  if (!S_ISLNK(st.st_mode) && (st.st_mode & S_IWUSR) == 0) words = kWordReadOnly.str();
  if (IsHiddenName(name)) {
    if (!words.empty()) words += ", ";
    words += kWordHidden.text();
  }
  if (words.empty()) return true;
  return prompt.AskYesNo(FormatText(kHasAttributes.text(), {DisplayPath(name, prompt), words}),
                         caption, kIconWarning, true);
}

bool WriteTextFile(const std::string& name, std::string_view text, Prompt& prompt,
                   std::string* failureDetail) {
  SetDetail(failureDetail, {});
  if (PathExists(name) && !CheckFileAttr(name, kCaptionSave.str(), prompt)) return false;
  return ReplaceFileContents(name, text, failureDetail);
}

std::string WriteErrorText(const std::string& name, const std::string& reason,
                           const Prompt& prompt) {
  std::string text = FormatText(kWriteError.text(), {DisplayPath(name, prompt)});
  if (!reason.empty()) text += "\r\n" + reason;
  return text;
}

void ShowWriteError(Prompt& prompt, const std::string& name, const std::string& reason) {
  prompt.MsgBox(WriteErrorText(name, reason, prompt), kCaptionError.str(), kIconWarning);
}

ReplacementFile::ReplacementFile(const std::string& name) {
  if (name.empty()) {
    failure_ = kNoName.str();
    return;
  }
  target_ = ResolveTarget(name);
  struct stat original {};
  existed_ = stat(target_.c_str(), &original) == 0;
  if (existed_ && !S_ISREG(original.st_mode)) {
    failure_ = NotRegularText(original.st_mode);
    return;
  }
  uid_ = original.st_uid;
  gid_ = original.st_gid;
  mode_ = original.st_mode & 07777;
  fd_ = CreateTempBeside(target_, tempName_);
  if (fd_ < 0) failure_ = SystemErrorText(errno);
}

ReplacementFile::~ReplacementFile() {
  Fail(0);
}

void ReplacementFile::Fail(int error) {
  if (fd_ >= 0) {
    close(fd_);
    fd_ = -1;
    unlink(tempName_.c_str());
  }
  if (error != 0 && failure_.empty()) failure_ = SystemErrorText(error);
}

bool ReplacementFile::Write(std::string_view bytes) {
  if (fd_ < 0) return false;
  if (!WriteAll(fd_, bytes)) {
    Fail(errno);
    return false;
  }
  return true;
}

bool ReplacementFile::Commit() {
  if (fd_ < 0) return false;
  if (fsync(fd_) != 0) {
    Fail(errno);
    return false;
  }
  if (existed_) {
    // Keeping another owner works only for a privileged process; without it
    // the file belongs to the writer, as a newly created file would.
    if (fchown(fd_, uid_, gid_) != 0) {
      // Not an error: the permission bits below are what matter.
    }
    if (fchmod(fd_, mode_) != 0) {
      Fail(errno);
      return false;
    }
  }
  const int fd = fd_;
  fd_ = -1;
  if (close(fd) != 0 || rename(tempName_.c_str(), target_.c_str()) != 0) {
    const int error = errno;
    unlink(tempName_.c_str());
    failure_ = SystemErrorText(error);
    return false;
  }
  // Make the rename itself durable.
  const int dirFd = open(FolderOf(target_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);
    close(dirFd);
  }
  return true;
}

bool ReplaceFileContents(const std::string& name, std::string_view bytes,
                         std::string* failureDetail) {
  ReplacementFile file(name);
  const bool ok = file.Write(bytes) && file.Commit();
  SetDetail(failureDetail, ok ? std::string() : file.Failure());
  return ok;
}

RegularFileForReading::RegularFileForReading(const std::string& name) {
  const int fd = open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    failure_ = SystemErrorText(errno);
    return;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    failure_ = SystemErrorText(errno);
    close(fd);
    return;
  }
  if (!S_ISREG(st.st_mode)) {
    failure_ = NotRegularText(st.st_mode);
    close(fd);
    return;
  }
  fd_ = fd;
  size_ = static_cast<uint64_t>(st.st_size);
}

RegularFileForReading::~RegularFileForReading() {
  if (fd_ >= 0) close(fd_);
}

bool ClearFileForReplacement(const std::string& name, std::string* failureDetail) {
  SetDetail(failureDetail, {});
  if (name.empty()) {
    SetDetail(failureDetail, kNoName.str());
    return false;
  }
  const std::string target = ResolveTarget(name);
  struct stat st {};
  const bool existed = stat(target.c_str(), &st) == 0;
  if (existed && !S_ISREG(st.st_mode)) {
    SetDetail(failureDetail, NotRegularText(st.st_mode));
    return false;
  }
  const int refused = FolderRefusal(FolderOf(target));
  if (refused != 0) {
    SetDetail(failureDetail, SystemErrorText(refused));
    return false;
  }
  if (existed && unlink(target.c_str()) != 0 && errno != ENOENT) {
    SetDetail(failureDetail, SystemErrorText(errno));
    return false;
  }
  return true;
}

}  // namespace quorvel
