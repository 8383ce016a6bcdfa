#include "cli/progress_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace quorvel {
namespace {

// A descriptor of its own that does not block, on the terminal or pipe the
// stream writes to (opened anew, so that the stream's own descriptor, which
// the shell may share, keeps blocking); -1 for anything else.
int OpenWithoutBlocking(int fd) {
  struct stat info {};
  if (fstat(fd, &info) != 0 || !(S_ISCHR(info.st_mode) || S_ISFIFO(info.st_mode))) return -1;
  const std::string path = "/proc/self/fd/" + std::to_string(fd);
  return open(path.c_str(), O_WRONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
}

}  // namespace

ProgressStream::ProgressStream(std::FILE* stream) {
  std::fflush(stream);
  const int fd = fileno(stream);
  fd_ = OpenWithoutBlocking(fd);
  ownFd_ = fd_ >= 0;
  if (!ownFd_) fd_ = fd;
}

ProgressStream::~ProgressStream() {
  if (ownFd_) close(fd_);
}

void ProgressStream::WriteWaiting() {
  size_t done = 0;
  while (done < waiting_.size()) {
    const ssize_t n = write(fd_, waiting_.data() + done, waiting_.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      break;
    } else {
      done = waiting_.size();  // a reader gone or a stream that fails: nobody to show it to
    }
  }
  waiting_.erase(0, done);
}

bool ProgressStream::Ready() {
  WriteWaiting();
  return waiting_.empty();
}

void ProgressStream::Offer(std::string bytes) {
  waiting_ += bytes;
  WriteWaiting();
}

void ProgressStream::WriteAll(const std::string& bytes) {
  waiting_ += bytes;
  for (WriteWaiting(); !waiting_.empty(); WriteWaiting()) {
    pollfd ready{fd_, POLLOUT, 0};
    if (poll(&ready, 1, -1) < 0 && errno != EINTR) break;
  }
}

}  // namespace quorvel
