#include "link/write_thread.h"

#include <errno.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace quorvel {

TWriteThread::TWriteThread(const Config& config) : config_(config) {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

TWriteThread::~TWriteThread() {
  Join();
  if (wakeFd_ >= 0) close(wakeFd_);
}

bool TWriteThread::Start() {
  if (wakeFd_ < 0) return false;
  return thread_.Start([this] { Execute(); });
}

bool TWriteThread::WaitEnded(int ms) {
  return thread_.WaitEnded(ms);
}

void TWriteThread::Join() {
  thread_.Join();
}

bool TWriteThread::QueueBytes(const uint8_t* bytes, size_t size) {
  if (bytes == nullptr || size == 0 || config_.stop->IsSignalled()) return false;
  try {
    std::lock_guard lock(mutex_);
    pending_.emplace_back(bytes, bytes + size);
  } catch (...) {
    return false;
  }
  const uint64_t one = 1;
  return write(wakeFd_, &one, sizeof one) == static_cast<ssize_t>(sizeof one);
}

bool TWriteThread::TakeFrame(std::vector<uint8_t>* frame) {
  std::lock_guard lock(mutex_);
  if (pending_.empty()) return false;
  *frame = std::move(pending_.front());
  pending_.pop_front();
  return true;
}

void TWriteThread::Execute() {
  for (;;) {
    pollfd fds[2] = {{config_.stop->Fd(), POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds[0].revents != 0 || config_.stop->IsSignalled()) return;
    if (fds[1].revents != 0) {
      uint64_t count = 0;
      (void)!read(wakeFd_, &count, sizeof count);
    }
    std::vector<uint8_t> frame;
    while (TakeFrame(&frame)) {
      if (config_.stop->IsSignalled()) return;
      WriteBytes(frame);
    }
  }
}

void TWriteThread::WriteBytes(const std::vector<uint8_t>& frame) {
  size_t offset = 0;
  while (offset < frame.size()) {
    const int64_t written =
        config_.transport->WriteSome(frame.data() + offset, frame.size() - offset, *config_.stop);
    // A failed write ends the frame; the answer watch reports it.
    if (written <= 0) return;
    if (config_.reportWrites) {
      try {
        std::vector<uint8_t> copy(frame.begin() + offset, frame.begin() + offset + written);
        config_.window->Post(PortMessage{PortMessage::Kind::Written, std::move(copy)});
      } catch (...) {
        // out of memory: this write report is dropped
      }
    }
    offset += static_cast<size_t>(written);
  }
  if (config_.frameWritten) config_.frameWritten(frame.data(), frame.size());
}

}  // namespace quorvel
