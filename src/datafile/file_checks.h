// Checks before a file is written, the existence test, the text-file writer,
// the atomic replacement of a file's contents and the opening of a file for
// reading.
//
// Attributes on Linux: read-only = the owner has no write permission; hidden =
// the file name starts with "."; system, archive and volume label never occur.
// Reading a file never changes its attributes; a replaced file keeps them.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <string_view>

#include "app/prompt.h"

namespace quorvel {

// True when anything (file, folder, link) exists under the name.
bool PathExists(const std::string& name);

// True when saving under the name may go ahead; asks the user through
// `prompt` about a read-only or hidden file, refuses a folder (and says so
// through `prompt`).
bool CheckFileAttr(const std::string& name, const std::string& caption, Prompt& prompt);

// Writes the text (without any terminating zero) over the file after the
// attribute check through `prompt`; the old content survives every failed
// write. Shows nothing on failure: failureDetail, when given, receives the
// reason (in the program's language; empty when the check declined) and is
// cleared on success. ShowWriteError shows the message of the failure.
bool WriteTextFile(const std::string& name, std::string_view text, Prompt& prompt,
                   std::string* failureDetail = nullptr);

// The message of a failed write: the writing-error text with the file's name
// (shortened for `prompt`) and, on a line of its own, the reason.
std::string WriteErrorText(const std::string& name, const std::string& reason,
                           const Prompt& prompt);

// Shows WriteErrorText through `prompt`, with the error caption.
void ShowWriteError(Prompt& prompt, const std::string& name, const std::string& reason);

// A regular file opened for reading. Opening never blocks: a FIFO or device
// under the name is refused. Nothing about the file is changed.
class RegularFileForReading {
 public:
  explicit RegularFileForReading(const std::string& name);
  ~RegularFileForReading();
  RegularFileForReading(const RegularFileForReading&) = delete;
  RegularFileForReading& operator=(const RegularFileForReading&) = delete;

  bool IsOpen() const { return fd_ >= 0; }
  int Fd() const { return fd_; }
  uint64_t Size() const { return size_; }
  // Why the file is not open, in the program's language; empty when it is.
  const std::string& Failure() const { return failure_; }

 private:
  int fd_ = -1;
  uint64_t size_ = 0;
  std::string failure_;
};

// A file written in pieces that replaces the file under its name only when
// every piece was written and flushed (Commit): the pieces go to a temporary
// file in the target's folder, which is removed when the writing fails or
// the object goes without a Commit. The file that was there before survives
// every failure. The result takes over the permission bits of the file it
// replaces.
class ReplacementFile {
 public:
  explicit ReplacementFile(const std::string& name);
  ~ReplacementFile();
  ReplacementFile(const ReplacementFile&) = delete;
  ReplacementFile& operator=(const ReplacementFile&) = delete;

  // False once anything failed (Failure() says why); nothing more is written.
  bool Write(std::string_view bytes);
  // Flushes and puts the file under its name; false on any failure.
  bool Commit();
  bool Good() const { return fd_ >= 0; }
  // Why the file could not be made, written or put in place, in the
  // program's language (the system's reason where there is one).
  const std::string& Failure() const { return failure_; }

 private:
  void Fail(int error);

  std::string target_;
  std::string tempName_;
  int fd_ = -1;
  bool existed_ = false;
  uid_t uid_ = 0;
  gid_t gid_ = 0;
  mode_t mode_ = 0;
  std::string failure_;
};

// Writes `bytes` to a temporary file in the target's folder and renames it
// over the target only when every byte was written and flushed; the file that
// was there before survives every failed write. The result takes over the
// permission bits of the file it replaces. Returns false on any failure;
// failureDetail, when given, then receives the reason in the program's
// language (the system's reason where there is one).
bool ReplaceFileContents(const std::string& name, std::string_view bytes,
                         std::string* failureDetail = nullptr);

// Makes way for a ReplaceFileContents(name, ...) to come: removes the file
// it would replace (a symbolic link's target), so that no earlier content
// stays under the name whatever ends the program before the write. False,
// with the reason, when the name is there as something other than a regular
// file or its folder cannot take a new file; nothing is removed then. True
// when there is nothing under the name now.
bool ClearFileForReplacement(const std::string& name, std::string* failureDetail = nullptr);

}  // namespace quorvel
