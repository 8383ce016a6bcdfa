// Checks before a file is written, the existence test, the text-file writer
// and the attribute handling around file access.
//
// Attributes on Linux: read-only = the owner has no write permission; hidden =
// the file name starts with "."; system, archive and volume label never occur.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace quorvel {

// True when anything (file, folder, link) exists under the name.
bool PathExists(const std::string& name);

// True when saving under the name may go ahead; asks the user through the
// current prompt about a read-only or hidden file, refuses a folder.
bool CheckFileAttr(const std::string& name, const std::string& caption);

// Writes the text (without any terminating zero) over the file; the old
// content survives every failed write. Shows its own message on failure.
bool WriteTextFile(const std::string& name, std::string_view text);

// The file attributes that reading or writing clears for the access and puts
// back afterwards. On Linux only the owner's write permission is cleared
// (read-only); a hidden file stays hidden because hiding is its name.
class AttributeGuard {
 public:
  // Remembers the attributes of an existing file and makes it writable; does
  // nothing when nothing exists under the name.
  explicit AttributeGuard(const std::string& name);
  // Puts the remembered attributes back.
  ~AttributeGuard();
  AttributeGuard(const AttributeGuard&) = delete;
  AttributeGuard& operator=(const AttributeGuard&) = delete;

  bool existed() const { return mode_.has_value(); }
  // Permission bits the file had, for a replacement file to take over.
  std::optional<mode_t> mode() const { return mode_; }
  // Applies the remembered attributes to `target` (a file that replaced the
  // original) instead of the original name, and to nothing else afterwards.
  void RestoreOnto(const std::string& target);

 private:
  std::string name_;
  std::optional<mode_t> mode_;
};

// A regular file opened for reading. Opening never blocks: a FIFO or device
// under the name is refused like a missing file.
class RegularFileForReading {
 public:
  explicit RegularFileForReading(const std::string& name);
  ~RegularFileForReading();
  RegularFileForReading(const RegularFileForReading&) = delete;
  RegularFileForReading& operator=(const RegularFileForReading&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint64_t Size() const { return size_; }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
};

// Writes `bytes` to a temporary file in the target's folder and renames it
// over the target only when every byte was written and flushed; the file that
// was there before survives every failed write. The result takes over the
// permission bits of the file it replaces. Returns false on any failure.
bool ReplaceFileContents(const std::string& name, std::string_view bytes);

}  // namespace quorvel
