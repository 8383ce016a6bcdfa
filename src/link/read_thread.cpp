#include "link/read_thread.h"

#include <poll.h>
#include <sys/prctl.h>

#include <algorithm>
#include <cerrno>

namespace quorvel {

TReadThread::TReadThread(const Config& config) : config_(config) {}

TReadThread::~TReadThread() {
  Join();
}

bool TReadThread::Start() {
  return thread_.Start([this] { Execute(); });
}

bool TReadThread::WaitEnded(int ms) {
  return thread_.WaitEnded(ms);
}

void TReadThread::Join() {
  thread_.Join();
}

void TReadThread::ExpectAnswer(AnswerComplete complete) {
  const std::lock_guard<std::mutex> lock(nextAnswerMutex_);
  nextAnswer_ = std::move(complete);
  answerChanged_.store(true);
}

bool TReadThread::TakeNewAnswerCheck() {
  if (!answerChanged_.load()) return false;
  AnswerComplete taken;
  {
    const std::lock_guard<std::mutex> lock(nextAnswerMutex_);
    taken = std::move(nextAnswer_);
    nextAnswer_ = nullptr;
    answerChanged_.store(false);
  }
  answer_ = std::move(taken);
  return true;
}

bool TReadThread::AnswerCompletedBy(const uint8_t* bytes, uint32_t size) {
  if (!answer_ || size == 0) return false;
  try {
    return answer_({bytes, size});
  } catch (...) {
    answer_ = nullptr;  // out of memory: the chunk ends with the silence
    return false;
  }
}

uint32_t TReadThread::Margin(const LineSettings& line, uint16_t timeOut) {
  return BytesInTimeMs(line, timeOut) * 3 / 2;
}

uint32_t TReadThread::ChunkLimit(uint32_t sizeBufRXD, uint32_t margin) {
  const uint32_t limit = margin < sizeBufRXD ? sizeBufRXD - margin : sizeBufRXD / 2;
  return std::max<uint32_t>(limit, 1);
}

void TReadThread::Execute() {
  if (config_.transport == nullptr) return;
  // The frame gap that ends a chunk is a millisecond or two on a fast
  // line: the kernel's default timer slack (50 us) would add to every reply.
  (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  const uint32_t margin = Margin(config_.line, config_.timeOut->load());
  if (config_.stop->IsSignalled()) return;
  try {
    buffer_.assign(std::max<uint32_t>(config_.sizeBufRXD, 1), 0);
  } catch (...) {
    return;  // no buffer: the port stays open but silent
  }
  chunkLimit_ = std::min<uint32_t>(ChunkLimit(config_.sizeBufRXD, margin), buffer_.size());

  for (;;) {
    switch (config_.transport->WaitForBytes(*config_.stop)) {
      case ByteTransport::Wait::Stopped:
        return;
      case ByteTransport::Wait::LineError:
        ReportLineError();
        continue;
      case ByteTransport::Wait::Gone:
        // The device went away (adapter unplugged, the other end of a
        // virtual port closed). Say so once and wait for the main thread to
        // let the port go, instead of spinning on a device that stays ready.
        config_.window->Post(PortMessage{PortMessage::Kind::HangUp, {}});
        WaitForStop();
        return;
      case ByteTransport::Wait::Bytes:
      case ByteTransport::Wait::Quiet:
        break;
    }
    const ChunkEnd end = ReadChunks();
    if (end == ChunkEnd::Stop) return;
    if (end == ChunkEnd::HangUp) {
      config_.window->Post(PortMessage{PortMessage::Kind::HangUp, {}});
      WaitForStop();
      return;
    }
  }
}

TReadThread::ChunkEnd TReadThread::ReadChunks() {
  ByteTransport& transport = *config_.transport;
  uint32_t total = 0;
  for (;;) {
    if (config_.stop->IsSignalled()) return ChunkEnd::Stop;
    const int64_t got = transport.Read(buffer_.data() + total, chunkLimit_ - total);
    if (got < 0) {
      Deliver(total);
      return ChunkEnd::HangUp;
    }
    if (got > 0) {
      // A check given since the last read judges these bytes, and takes the
      // bytes still held as its first: the check it replaces belongs to the
      // command before.
      const uint32_t first = TakeNewAnswerCheck() ? 0 : total;
      total += static_cast<uint32_t>(got);
      if (transport.TakeLineError()) {
        // The chunk holds a damaged character: drop it with whatever else is
        // waiting, report, and go on receiving.
        ReportLineError();
        return ChunkEnd::Idle;
      }
      // A complete answer goes on at once: nothing more belongs to it.
      if (AnswerCompletedBy(buffer_.data() + first, total - first) || total >= chunkLimit_) {
        Deliver(total);
        total = 0;
        continue;
      }
    }
    if (total == 0) return ChunkEnd::Idle;

    // Wait for the next byte at most TimeOut ms; a gap that long ends the chunk.
    switch (transport.WaitForMore(*config_.stop, config_.timeOut->load())) {
      case ByteTransport::Wait::Stopped:
        return ChunkEnd::Stop;
      case ByteTransport::Wait::Bytes:
        continue;
      case ByteTransport::Wait::LineError:
        ReportLineError();
        return ChunkEnd::Idle;
      case ByteTransport::Wait::Gone:
        Deliver(total);
        return ChunkEnd::HangUp;
      case ByteTransport::Wait::Quiet:
        Deliver(total);
        return ChunkEnd::Idle;
    }
  }
}

void TReadThread::ReportLineError() {
  config_.transport->DiscardInput();
  config_.window->Post(PortMessage{PortMessage::Kind::LineError, {}});
}

void TReadThread::Deliver(uint32_t size) {
  if (size == 0 || config_.stop->IsSignalled()) return;
  std::vector<uint8_t> chunk;
  try {
    chunk.assign(buffer_.begin(), buffer_.begin() + size);
  } catch (...) {
    return;  // out of memory: the chunk is lost, the answer watch reports it
  }
  config_.window->PostChunk(std::move(chunk), config_.holdCount->load() > 0);
}

void TReadThread::WaitForStop() {
  while (!config_.stop->IsSignalled()) {
    pollfd fd{config_.stop->Fd(), POLLIN, 0};
    if (poll(&fd, 1, -1) < 0 && errno != EINTR) return;
  }
}

}  // namespace quorvel
