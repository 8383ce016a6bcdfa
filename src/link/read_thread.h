// TReadThread: waits for bytes on the link's transport, cuts them into
// chunks (a chunk ends after TimeOut ms without a byte, or when it would no
// longer leave room for the bytes of 1.5 TimeOut in the buffer) and posts each
// chunk to the component's message window. Told how to recognise a complete
// answer (ExpectAnswer), it also ends a chunk as soon as an answer is
// complete, without waiting for the silence. Line errors and breaks, where
// the driver reports them, are posted as status 4; so is the device going
// away, after which the thread only waits for the stop.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "link/byte_transport.h"
#include "link/port_message_window.h"
#include "link/waitable_thread.h"
#include "run/line_settings.h"
#include "run/reply_watch.h"

namespace quorvel {

class TReadThread {
 public:
  struct Config {
    ByteTransport* transport = nullptr;
    const StopEvent* stop = nullptr;
    PortMessageWindow* window = nullptr;
    // The component's receive hold count (changed on the main thread only).
    const std::atomic<int32_t>* holdCount = nullptr;
    // The component's TimeOut; a new value takes effect at the next gap.
    const std::atomic<uint16_t>* timeOut = nullptr;
    uint16_t sizeBufRXD = 1024;
    LineSettings line;
  };

  explicit TReadThread(const Config& config);
  ~TReadThread();
  TReadThread(const TReadThread&) = delete;
  TReadThread& operator=(const TReadThread&) = delete;

  // Starts the thread; false when it could not be created.
  bool Start();
  // Waits for the thread to end (after the stop event was signalled).
  void Join();
  // Waits up to ms for the thread to end; true when it has (or never ran).
  bool WaitEnded(int ms);

  // From any thread: how to tell that the bytes received from now on hold a
  // complete answer, replacing the one given before; none: every chunk ends
  // with the silence. Bytes received and not yet handed on count as
  // received from now on.
  void ExpectAnswer(AnswerComplete complete);

  // Largest chunk for a buffer size and margin: the buffer less the margin,
  // or half the buffer when the margin leaves nothing (fast lines with a
  // long TimeOut), at least one byte.
  static uint32_t ChunkLimit(uint32_t sizeBufRXD, uint32_t margin);
  // The margin: bytes of 1.5 TimeOut at the line settings.
  static uint32_t Margin(const LineSettings& line, uint16_t timeOut);

 private:
  enum class ChunkEnd : uint8_t { Idle, Stop, HangUp };

  Config config_;
  WaitableThread thread_;
  std::vector<uint8_t> buffer_;
  uint32_t chunkLimit_ = 1;

  // The answer check handed over by ExpectAnswer, until the thread takes it.
  std::mutex nextAnswerMutex_;
  AnswerComplete nextAnswer_;
  std::atomic<bool> answerChanged_{false};
  // The check in use (this thread only).
  AnswerComplete answer_;

  void Execute();
  ChunkEnd ReadChunks();
  // Takes a check handed over since the last look; true when there was one.
  bool TakeNewAnswerCheck();
  // True when the check in use finds an answer complete with these bytes.
  bool AnswerCompletedBy(const uint8_t* bytes, uint32_t size);
  void ReportLineError();
  void Deliver(uint32_t size);
  void WaitForStop();
};

}  // namespace quorvel
