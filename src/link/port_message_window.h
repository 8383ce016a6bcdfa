// The hand-over point between the port threads and the main thread: an
// ordered queue of messages (received chunks, completed writes, line errors,
// the device going away)
// that the threads post and the main thread takes, plus the receive-free
// hand-shake that keeps chunk delivery from overtaking itself while the
// owner holds reception. No Qt: the component gives a wake function that
// schedules the main thread's drain.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <optional>
#include <vector>

namespace quorvel {

struct PortMessage {
  enum class Kind : uint8_t {
    Received,   // one received chunk
    Written,    // bytes that were written to the line
    LineError,  // a line error or break (status 4)
    HangUp,     // the device went away (status 4; the port is let go)
  };
  Kind kind = Kind::Received;
  std::vector<uint8_t> bytes;
};

class PortMessageWindow {
 public:
  PortMessageWindow();
  ~PortMessageWindow();

  PortMessageWindow(const PortMessageWindow&) = delete;
  PortMessageWindow& operator=(const PortMessageWindow&) = delete;

  // Any thread. False (message dropped) once Stop was called.
  bool Post(PortMessage message);

  // Receive thread. When held, waits until no OnReceive runs on the main
  // thread (or until Stop), then posts. False when stopped (chunk dropped).
  bool PostChunk(std::vector<uint8_t> bytes, bool held);

  // Readable while messages wait to be taken; -1 when it could not be made.
  int WakeFd() const { return wakeFd_; }
  // Main thread: empties the wake descriptor before taking the messages.
  void ResetWake();

  // Main thread: the next message; nothing when the queue is empty or when
  // the head is a chunk and blockChunks is set (a held OnReceive is running).
  std::optional<PortMessage> Take(bool blockChunks);

  // Main thread: an OnReceive starts / has ended (the receive-free event).
  void SetReceiveBusy(bool busy);

  // Main thread. Stop: refuse posts and release a waiting receive thread.
  // Restart: accept posts again (a new pair of threads). Clear: drop all.
  void Stop();
  void Restart();
  void Clear();
  // Main thread: drops the received chunks still waiting; other messages
  // keep their order.
  void DropChunks();

 private:
  int wakeFd_ = -1;
  std::mutex mutex_;
  std::condition_variable receiveFree_;
  std::deque<PortMessage> queue_;
  bool stopped_ = true;
  bool receiveBusy_ = false;
  bool wakePending_ = false;

  bool PushLocked(PortMessage&& message);
};

// The stop event of one pair of port threads: an eventfd that poll() sees,
// plus a flag for the quick checks between steps.
class StopEvent {
 public:
  StopEvent() = default;
  ~StopEvent();
  StopEvent(const StopEvent&) = delete;
  StopEvent& operator=(const StopEvent&) = delete;

  bool Create();
  void Signal();
  bool IsSignalled() const;
  // Waits up to ms for the stop; true when it was signalled.
  bool WaitFor(int ms) const;
  int Fd() const { return fd_; }

 private:
  int fd_ = -1;
  std::atomic<bool> signalled_{false};
};

}  // namespace quorvel
