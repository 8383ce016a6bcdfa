#include "link/waitable_thread.h"

#include <chrono>
#include <utility>

namespace quorvel {

WaitableThread::~WaitableThread() {
  Join();
}

bool WaitableThread::Start(std::function<void()> body) {
  try {
    thread_ = std::thread([this, body = std::move(body)] {
      body();
      const std::lock_guard lock(endMutex_);
      ended_ = true;
      endSignal_.notify_all();
    });
  } catch (...) {
    return false;
  }
  return true;
}

bool WaitableThread::WaitEnded(int ms) {
  if (!thread_.joinable()) return true;
  std::unique_lock lock(endMutex_);
  return endSignal_.wait_for(lock, std::chrono::milliseconds(ms), [this] { return ended_; });
}

void WaitableThread::Join() {
  if (thread_.joinable()) thread_.join();
}

}  // namespace quorvel
