// Where the bytes of a data file come from: an open regular file, read in
// chunks as it goes, or a buffer already in memory (the fuzzing and anything
// else that holds a file's bytes). The readers of both file kinds work on
// either, so that a file and the same bytes in memory read alike.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <span>

namespace quorvel {

class ByteSource {
 public:
  virtual ~ByteSource() = default;

  // The next bytes, at most `count`: how many were read, 0 at the end, -1
  // with errno set when reading failed.
  virtual ssize_t Read(void* out, size_t count) = 0;
  // The first bytes of the source, without moving on; as Read.
  virtual ssize_t PeekStart(void* out, size_t count) = 0;
  // The length of the source in bytes.
  virtual uint64_t Size() const = 0;
};

// An open file descriptor, read from its current position.
class FileByteSource final : public ByteSource {
 public:
  FileByteSource(int fd, uint64_t size) : fd_(fd), size_(size) {}
  ssize_t Read(void* out, size_t count) override;
  ssize_t PeekStart(void* out, size_t count) override;
  uint64_t Size() const override { return size_; }

 private:
  int fd_;
  uint64_t size_;
};

// Bytes in memory (not owned; they must outlive the source).
class MemoryByteSource final : public ByteSource {
 public:
  explicit MemoryByteSource(std::span<const uint8_t> bytes) : bytes_(bytes) {}
  ssize_t Read(void* out, size_t count) override;
  ssize_t PeekStart(void* out, size_t count) override;
  uint64_t Size() const override { return bytes_.size(); }

 private:
  std::span<const uint8_t> bytes_;
  size_t pos_ = 0;
};

}  // namespace quorvel
