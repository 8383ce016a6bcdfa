#include "datafile/byte_source.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace quorvel {

ssize_t FileByteSource::Read(void* out, size_t count) {
  for (;;) {
    const ssize_t got = read(fd_, out, count);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

ssize_t FileByteSource::PeekStart(void* out, size_t count) {
  for (;;) {
    const ssize_t got = pread(fd_, out, count, 0);
    if (got < 0 && errno == EINTR) continue;
    return got;
  }
}

ssize_t MemoryByteSource::Read(void* out, size_t count) {
  const size_t take = std::min(count, bytes_.size() - pos_);
  if (take > 0) std::memcpy(out, bytes_.data() + pos_, take);
  pos_ += take;
  return static_cast<ssize_t>(take);
}

ssize_t MemoryByteSource::PeekStart(void* out, size_t count) {
  const size_t take = std::min(count, bytes_.size());
  if (take > 0) std::memcpy(out, bytes_.data(), take);
  return static_cast<ssize_t>(take);
}

}  // namespace quorvel
