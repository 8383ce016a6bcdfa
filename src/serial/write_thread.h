// TWriteThread: takes frames queued by the component and writes them to the
// port, each in pieces as the driver accepts them, at most SizeBufTXD bytes of
// a frame. Every completed write is posted to the message window when the
// owner had an OnTxdEmpty handler at open.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "serial/port_message_window.h"

namespace quorvel {

class TWriteThread {
 public:
  struct Config {
    int fd = -1;
    const StopEvent* stop = nullptr;
    PortMessageWindow* window = nullptr;
    uint16_t sizeBufTXD = 1024;
    bool reportWrites = false;
  };

  explicit TWriteThread(const Config& config);
  ~TWriteThread();
  TWriteThread(const TWriteThread&) = delete;
  TWriteThread& operator=(const TWriteThread&) = delete;

  bool Start();
  void Join();

  // Main thread: queues bytes for writing. False when stopped, or when there
  // are no bytes.
  bool QueueBytes(const uint8_t* bytes, size_t size);

 private:
  Config config_;
  int wakeFd_ = -1;
  std::thread thread_;
  std::mutex mutex_;
  std::deque<std::vector<uint8_t>> pending_;

  void Execute();
  bool TakeFrame(std::vector<uint8_t>* frame);
  void WriteBytes(const std::vector<uint8_t>& frame);
};

}  // namespace quorvel
