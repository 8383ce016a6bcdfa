#include "serial/read_thread.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>

#include "serial/serial_port_io.h"

namespace quorvel {

TReadThread::TReadThread(const Config& config) : config_(config) {}

TReadThread::~TReadThread() {
  Join();
}

bool TReadThread::Start() {
  try {
    thread_ = std::thread([this] { Execute(); });
  } catch (...) {
    return false;
  }
  return true;
}

void TReadThread::Join() {
  if (thread_.joinable()) thread_.join();
}

uint32_t TReadThread::Margin(const LineSettings& line, uint16_t timeOut) {
  return BytesInTimeMs(line, timeOut) * 3 / 2;
}

uint32_t TReadThread::ChunkLimit(uint32_t sizeBufRXD, uint32_t margin) {
  const uint32_t limit = margin < sizeBufRXD ? sizeBufRXD - margin : sizeBufRXD / 2;
  return std::max<uint32_t>(limit, 1);
}

void TReadThread::Execute() {
  if (config_.fd < 0) return;
  const uint32_t margin = Margin(config_.line, config_.timeOut->load());
  if (config_.stop->IsSignalled()) return;
  try {
    buffer_.assign(std::max<uint32_t>(config_.sizeBufRXD, 1), 0);
  } catch (...) {
    return;  // no buffer: the port stays open but silent
  }
  chunkLimit_ = std::min<uint32_t>(ChunkLimit(config_.sizeBufRXD, margin), buffer_.size());
  countsErrors_ = ReadLineErrorCount(config_.fd, &errorCount_);

  for (;;) {
    pollfd fds[2] = {{config_.stop->Fd(), POLLIN, 0}, {config_.fd, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      WaitForStop();
      return;
    }
    if (fds[0].revents != 0 || config_.stop->IsSignalled()) return;
    if (fds[1].revents == 0) continue;
    const ChunkEnd end = ReadChunks();
    if (end == ChunkEnd::Stop) return;
    const bool brokenOnly =
        (fds[1].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0 && (fds[1].revents & POLLIN) == 0;
    if (end == ChunkEnd::HangUp || brokenOnly) {
      // The device went away (adapter unplugged, the other end of a virtual
      // port closed). Say so once and wait for the main thread to let the
      // port go, instead of spinning on a descriptor that stays readable.
      config_.window->Post(PortMessage{PortMessage::Kind::HangUp, {}});
      WaitForStop();
      return;
    }
  }
}

TReadThread::ChunkEnd TReadThread::ReadChunks() {
  uint32_t total = 0;
  for (;;) {
    if (config_.stop->IsSignalled()) return ChunkEnd::Stop;
    const ssize_t got = read(config_.fd, buffer_.data() + total, chunkLimit_ - total);
    if (got > 0) {
      total += static_cast<uint32_t>(got);
      if (LineErrorSeen()) {
        // The chunk holds a damaged character: drop it with whatever else is
        // waiting, report, and go on receiving.
        DiscardInput(config_.fd);
        config_.window->Post(PortMessage{PortMessage::Kind::LineError, {}});
        return ChunkEnd::Idle;
      }
      if (total >= chunkLimit_) {
        Deliver(total);
        total = 0;
        continue;
      }
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
      Deliver(total);
      return ChunkEnd::HangUp;
    }
    if (total == 0) return ChunkEnd::Idle;

    // Wait for the next byte at most TimeOut ms; a quiet gap ends the chunk.
    pollfd fds[2] = {{config_.stop->Fd(), POLLIN, 0}, {config_.fd, POLLIN, 0}};
    const int ready = poll(fds, 2, config_.timeOut->load());
    if (ready < 0 && errno != EINTR) {
      Deliver(total);
      return ChunkEnd::Idle;
    }
    if (fds[0].revents != 0) return ChunkEnd::Stop;
    if (ready == 0) {
      Deliver(total);
      return ChunkEnd::Idle;
    }
  }
}

bool TReadThread::LineErrorSeen() {
  if (!countsErrors_) return false;
  uint64_t count = 0;
  if (!ReadLineErrorCount(config_.fd, &count)) return false;
  const bool seen = count != errorCount_;
  errorCount_ = count;
  return seen;
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
