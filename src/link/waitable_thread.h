// WaitableThread: a thread whose end can be waited for with a bound. The
// link ends its receive and transmit threads by interrupting the driver
// again and again until both have ended; std::thread only offers a join,
// which would wait forever on a thread caught in a driver wait.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace quorvel {

class WaitableThread {
 public:
  WaitableThread() = default;
  ~WaitableThread();
  WaitableThread(const WaitableThread&) = delete;
  WaitableThread& operator=(const WaitableThread&) = delete;

  // Runs body on a new thread; false when the thread could not be created.
  bool Start(std::function<void()> body);
  // Waits up to ms for body to return; true when it has (or never ran).
  bool WaitEnded(int ms);
  // Waits for the thread to end.
  void Join();

 private:
  std::thread thread_;
  std::mutex endMutex_;
  std::condition_variable endSignal_;
  bool ended_ = false;
};

}  // namespace quorvel
