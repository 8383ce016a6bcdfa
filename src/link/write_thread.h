// TWriteThread: takes frames queued by the component and writes them to the
// port, each whole, in pieces as the driver accepts them (the component never
// queues a frame longer than SizeBufTXD). Every completed write is posted to
// the message window when the owner had an OnTxdEmpty handler at open.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "link/byte_transport.h"
#include "link/port_message_window.h"
#include "link/waitable_thread.h"

namespace quorvel {

class TWriteThread {
 public:
  struct Config {
    ByteTransport* transport = nullptr;
    const StopEvent* stop = nullptr;
    PortMessageWindow* window = nullptr;
    // Post every completed write to the window (for a handler on the main
    // thread).
    bool reportWrites = false;
    // Called on this thread after each whole frame was written (for a
    // handler that runs on the transmit thread).
    std::function<void(const uint8_t* bytes, size_t size)> frameWritten;
  };

  explicit TWriteThread(const Config& config);
  ~TWriteThread();
  TWriteThread(const TWriteThread&) = delete;
  TWriteThread& operator=(const TWriteThread&) = delete;

  bool Start();
  void Join();
  // Waits up to ms for the thread to end; true when it has (or never ran).
  bool WaitEnded(int ms);

  // Main thread: queues bytes for writing. False when stopped, or when there
  // are no bytes.
  bool QueueBytes(const uint8_t* bytes, size_t size);

 private:
  Config config_;
  int wakeFd_ = -1;
  WaitableThread thread_;
  std::mutex mutex_;
  std::deque<std::vector<uint8_t>> pending_;

  void Execute();
  bool TakeFrame(std::vector<uint8_t>* frame);
  void WriteBytes(const std::vector<uint8_t>& frame);
};

}  // namespace quorvel
