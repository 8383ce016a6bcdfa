// The receive thread's chunks on a line that falls quiet only when the test
// lets it: a complete answer goes on with its last byte, everything else
// waits for the frame gap's silence.
#include "link/read_thread.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <utility>

namespace quorvel {
namespace {

using Bytes = std::vector<uint8_t>;

// What the test waits for at most; only a failing test waits that long.
constexpr int kBoundMs = 10000;

// Bytes arrive when the test hands them over, and the silence that ends a
// chunk comes only when the test lets it: a chunk that waits for it is never
// ended by a slow machine.
class ScriptedLine final : public ByteTransport {
 public:
  ScriptedLine() : wake_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~ScriptedLine() override { close(wake_); }
  ScriptedLine(const ScriptedLine&) = delete;
  ScriptedLine& operator=(const ScriptedLine&) = delete;

  void Arrive(const Bytes& bytes) {
    const std::lock_guard<std::mutex> lock(mutex_);
    pending_.insert(pending_.end(), bytes.begin(), bytes.end());
    Wake();
  }

  // The receive thread's wait for more bytes ends with the silence.
  void FallQuiet() {
    const std::lock_guard<std::mutex> lock(mutex_);
    quiet_ = true;
    Wake();
  }

  // True once the receive thread has read everything that arrived and waits
  // for more bytes within a chunk: whatever it was going to hand on at once
  // has gone by then.
  bool ReadAllAndWaitsForMore() {
    std::unique_lock<std::mutex> lock(mutex_);
    return waiting_.wait_for(lock, std::chrono::milliseconds(kBoundMs),
                             [this] { return waitsForMore_ && pending_.empty(); });
  }

  Wait WaitForBytes(const StopEvent& stop) override { return WaitFor(stop, false); }
  Wait WaitForMore(const StopEvent& stop, uint16_t /*gapMs*/) override {
    return WaitFor(stop, true);
  }
  // Runs once, on the receive thread, as it reads next: what happens while
  // it is about to take bytes.
  void BeforeNextRead(std::function<void()> action) {
    const std::lock_guard<std::mutex> lock(mutex_);
    beforeRead_ = std::move(action);
  }

  int64_t Read(uint8_t* buffer, size_t max) override {
    std::function<void()> action;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      action = std::exchange(beforeRead_, nullptr);
    }
    if (action) action();
    const std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (; n < max && !pending_.empty(); ++n) {
      buffer[n] = pending_.front();
      pending_.pop_front();
    }
    return static_cast<int64_t>(n);
  }
  int64_t WriteSome(const uint8_t* /*bytes*/, size_t size, const StopEvent& /*stop*/) override {
    return static_cast<int64_t>(size);
  }
  void DiscardInput() override {}
  void DiscardOutput() override {}
  void Close() override {}

 private:
  Wait WaitFor(const StopEvent& stop, bool more) {
    for (;;) {
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        waitsForMore_ = false;
        if (!pending_.empty()) return Wait::Bytes;
        if (more && quiet_) {
          quiet_ = false;
          return Wait::Quiet;
        }
        waitsForMore_ = more;
        waiting_.notify_all();
      }
      pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {wake_, POLLIN, 0}};
      (void)poll(fds, 2, -1);
      if (fds[0].revents != 0 || stop.IsSignalled()) return Wait::Stopped;
      uint64_t count = 0;
      (void)!read(wake_, &count, sizeof count);
    }
  }

  void Wake() {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof one);
  }

  const int wake_;
  std::mutex mutex_;
  std::condition_variable waiting_;
  std::deque<uint8_t> pending_;
  bool quiet_ = false;
  bool waitsForMore_ = false;
  std::function<void()> beforeRead_;
};

// An answer of `length` bytes: complete with the byte that makes `length`,
// whatever pieces they came in.
AnswerComplete AnswerOf(size_t length) {
  return [length, taken = size_t{0}](std::span<const uint8_t> received) mutable {
    const bool before = taken >= length;
    taken += received.size();
    return !before && taken >= length;
  };
}

class ReadThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(stop_.Create());
    window_.Restart();
    TReadThread::Config config;
    config.transport = &line_;
    config.stop = &stop_;
    config.window = &window_;
    config.holdCount = &holdCount_;
    config.timeOut = &timeOut_;
    config.line = LineSettings{br115200, pbNone, dbEight, sbOne};
    reader_ = std::make_unique<TReadThread>(config);
    ASSERT_TRUE(reader_->Start());
  }
  void TearDown() override {
    stop_.Signal();
    window_.Stop();
    reader_->Join();
  }

  // The next chunk handed on, waiting for it at most kBoundMs.
  std::optional<Bytes> NextChunk() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBoundMs);
    for (;;) {
      if (std::optional<PortMessage> message = window_.Take(false)) {
        if (message->kind == PortMessage::Kind::Received) return message->bytes;
        continue;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd fd{window_.WakeFd(), POLLIN, 0};
      (void)poll(&fd, 1, static_cast<int>(left));
      window_.ResetWake();
    }
  }

  // Nothing has been handed on.
  bool NoChunk() { return !window_.Take(false).has_value(); }

  ScriptedLine line_;
  StopEvent stop_;
  PortMessageWindow window_;
  std::atomic<int32_t> holdCount_{0};
  std::atomic<uint16_t> timeOut_{1};
  std::unique_ptr<TReadThread> reader_;
};

TEST_F(ReadThreadTest, CompleteAnswerGoesOnWithItsLastByteWhileTheLineIsBusy) {
  reader_->ExpectAnswer(AnswerOf(4));
  line_.Arrive({0x80, 0x04});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.Arrive({0x00, 0x10});
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x04, 0x00, 0x10}));
}

TEST_F(ReadThreadTest, BytesThatCompleteNoAnswerWaitForTheSilence) {
  reader_->ExpectAnswer(AnswerOf(4));
  line_.Arrive({0x80, 0x04, 0x00});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.FallQuiet();
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x04, 0x00}));
}

TEST_F(ReadThreadTest, WithoutACheckEveryChunkWaitsForTheSilence) {
  line_.Arrive({0x80, 0x01});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.FallQuiet();
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x01}));

  // A check taken back: none from then on.
  reader_->ExpectAnswer(AnswerOf(2));
  reader_->ExpectAnswer(nullptr);
  line_.Arrive({0x80, 0x01});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.FallQuiet();
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x01}));
}

TEST_F(ReadThreadTest, ACheckGivenWhileBytesAreHeldCountsThem) {
  line_.Arrive({0x80});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  reader_->ExpectAnswer(AnswerOf(2));
  line_.Arrive({0x01});
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x01}));
}

TEST_F(ReadThreadTest, ACheckGivenAsBytesAreReadJudgesThem) {
  // The check of the command before would take the first byte for a whole
  // answer; the one given as the reply's bytes are read waits for all three.
  reader_->ExpectAnswer(AnswerOf(1));
  line_.BeforeNextRead([this] { reader_->ExpectAnswer(AnswerOf(3)); });
  line_.Arrive({0x80, 0x04});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.Arrive({0x00});
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x04, 0x00}));
}

TEST_F(ReadThreadTest, BytesReadWithTheAnswerGoWithItAndLaterOnesStartAChunk) {
  reader_->ExpectAnswer(AnswerOf(2));
  line_.Arrive({0x80, 0x01, 0x55});
  EXPECT_EQ(NextChunk(), (Bytes{0x80, 0x01, 0x55}));
  line_.Arrive({0x56});
  ASSERT_TRUE(line_.ReadAllAndWaitsForMore());
  EXPECT_TRUE(NoChunk());
  line_.FallQuiet();
  EXPECT_EQ(NextChunk(), (Bytes{0x56}));
}

}  // namespace
}  // namespace quorvel
