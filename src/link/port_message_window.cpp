#include "link/port_message_window.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <cerrno>

#include <utility>

namespace quorvel {

PortMessageWindow::PortMessageWindow() {
  wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

PortMessageWindow::~PortMessageWindow() {
  if (wakeFd_ >= 0) close(wakeFd_);
}

void PortMessageWindow::ResetWake() {
  uint64_t count = 0;
  (void)!read(wakeFd_, &count, sizeof count);
}

bool PortMessageWindow::PushLocked(PortMessage&& message) {
  if (stopped_) return false;
  queue_.push_back(std::move(message));
  if (!wakePending_) {
    wakePending_ = true;
    const uint64_t one = 1;
    (void)!write(wakeFd_, &one, sizeof one);
  }
  return true;
}

bool PortMessageWindow::Post(PortMessage message) {
  std::lock_guard lock(mutex_);
  return PushLocked(std::move(message));
}

bool PortMessageWindow::PostChunk(std::vector<uint8_t> bytes, bool held) {
  std::unique_lock lock(mutex_);
  if (held) receiveFree_.wait(lock, [this] { return stopped_ || !receiveBusy_; });
  return PushLocked(PortMessage{PortMessage::Kind::Received, std::move(bytes)});
}

std::optional<PortMessage> PortMessageWindow::Take(bool blockChunks) {
  std::lock_guard lock(mutex_);
  wakePending_ = false;
  if (queue_.empty()) return std::nullopt;
  if (blockChunks && queue_.front().kind == PortMessage::Kind::Received) return std::nullopt;
  PortMessage message = std::move(queue_.front());
  queue_.pop_front();
  return message;
}

void PortMessageWindow::SetReceiveBusy(bool busy) {
  {
    std::lock_guard lock(mutex_);
    receiveBusy_ = busy;
  }
  if (!busy) receiveFree_.notify_all();
}

void PortMessageWindow::Stop() {
  {
    std::lock_guard lock(mutex_);
    stopped_ = true;
  }
  receiveFree_.notify_all();
}

void PortMessageWindow::Restart() {
  std::lock_guard lock(mutex_);
  stopped_ = false;
}

void PortMessageWindow::Clear() {
  std::lock_guard lock(mutex_);
  queue_.clear();
}

void PortMessageWindow::DropChunks() {
  std::lock_guard lock(mutex_);
  std::erase_if(queue_, [](const PortMessage& m) { return m.kind == PortMessage::Kind::Received; });
}

StopEvent::~StopEvent() {
  if (fd_ >= 0) close(fd_);
}

bool StopEvent::Create() {
  fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  return fd_ >= 0;
}

void StopEvent::Signal() {
  signalled_.store(true);
  const uint64_t one = 1;
  // The counter never overflows with one write per stop; a failure leaves the
  // flag set, which every thread checks before it blocks again.
  (void)!write(fd_, &one, sizeof one);
}

bool StopEvent::IsSignalled() const {
  return signalled_.load();
}

bool StopEvent::WaitFor(int ms) const {
  if (IsSignalled()) return true;
  pollfd fd{fd_, POLLIN, 0};
  while (poll(&fd, 1, ms) < 0 && errno == EINTR) {
  }
  return IsSignalled();
}

}  // namespace quorvel
