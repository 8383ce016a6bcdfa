// TComm32Kx on a pseudo-terminal: how received bytes are cut into chunks and
// delivered, what is sent, the transmit queue and the answer watch.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <QTest>
#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <span>
#include <thread>

#include "link/read_thread.h"
#include "serial_test_support.h"

namespace quorvel {
namespace {

using testing::Bytes;
using testing::EventLog;
using testing::Pattern;
using testing::Pty;
using testing::SpinFor;

class Comm32KxIo : public testing::PtyComponentTest {
 protected:
  void TearDown() override {
    StopStream();
    PtyComponentTest::TearDown();
  }

  // The instrument sends `piece` bytes every `everyMs` until stopped.
  void StartStream(size_t piece, int everyMs) {
    streaming_ = true;
    stream_ = std::thread([this, piece, everyMs] {
      uint8_t seed = 0;
      while (streaming_.load()) {
        (void)!write(pty_.Master(), Pattern(piece, seed).data(), piece);
        seed = static_cast<uint8_t>(seed + piece);
        std::this_thread::sleep_for(std::chrono::milliseconds(everyMs));
      }
    });
  }
  void StopStream() {
    streaming_ = false;
    if (stream_.joinable()) stream_.join();
  }

  std::atomic<bool> streaming_{false};
  std::thread stream_;
};

TEST_F(Comm32KxIo, OneBurstGivesOneChunk) {
  ASSERT_TRUE(OpenPort());
  const Bytes burst = Pattern(20);
  ASSERT_TRUE(pty_.Write(burst));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !log_.chunks.empty(); }, 3000));
  SpinFor(200);
  ASSERT_EQ(log_.chunks.size(), 1u);
  EXPECT_EQ(log_.chunks[0], burst);
  // Every chunk first reports "Connected" (StatusONifReceive).
  EXPECT_EQ(log_.statuses, std::vector<TLinkStatus>{TLinkStatus::Connected});
}

TEST_F(Comm32KxIo, BurstsAfterAPauseGiveSeparateChunks) {
  ASSERT_TRUE(OpenPort());
  comm_->SetStatusONifReceive(false);
  const Bytes first = Pattern(12, 1);
  const Bytes second = Pattern(9, 100);
  ASSERT_TRUE(pty_.Write(first));
  SpinFor(200);
  ASSERT_TRUE(pty_.Write(second));
  ASSERT_TRUE(QTest::qWaitFor([&] { return log_.chunks.size() >= 2; }, 3000));
  SpinFor(100);
  ASSERT_EQ(log_.chunks.size(), 2u);
  EXPECT_EQ(log_.chunks[0], first);
  EXPECT_EQ(log_.chunks[1], second);
  EXPECT_TRUE(log_.statuses.empty());
}

TEST_F(Comm32KxIo, LongStreamIsCutIntoChunksThatFitTheBuffer) {
  comm_->SetSizeBufRXD(256);
  comm_->SetTimeOut(50);
  ASSERT_TRUE(OpenPort());
  // 9600 8N1, TimeOut 50: 48 bytes per TimeOut, margin 72.
  const uint32_t limit = 256 - TReadThread::Margin(LineSettings{}, 50);
  ASSERT_EQ(limit, 184u);
  const Bytes stream = Pattern(1500, 3);
  std::thread instrument([&] {
    for (size_t at = 0; at < stream.size(); at += 30) {
      const size_t n = std::min<size_t>(30, stream.size() - at);
      (void)!write(pty_.Master(), stream.data() + at, n);
      std::this_thread::sleep_for(std::chrono::milliseconds(4));
    }
  });
  const bool all = QTest::qWaitFor([&] { return log_.Received().size() >= stream.size(); }, 10000);
  instrument.join();
  ASSERT_TRUE(all);
  EXPECT_EQ(log_.Received(), stream);
  EXPECT_GE(log_.chunks.size(), stream.size() / limit);
  for (const Bytes& chunk : log_.chunks) EXPECT_LE(chunk.size(), limit);
}

TEST_F(Comm32KxIo, ChunkLimitLeavesAtLeastHalfTheBufferOnFastLines) {
  EXPECT_EQ(TReadThread::ChunkLimit(1024, 72), 952u);
  EXPECT_EQ(TReadThread::ChunkLimit(1024, 6912), 512u);
  EXPECT_EQ(TReadThread::ChunkLimit(0, 0), 1u);
  EXPECT_EQ(TReadThread::ChunkLimit(1, 5), 1u);
}

TEST_F(Comm32KxIo, NothingIsDeliveredAfterClose) {
  ASSERT_TRUE(OpenPort());
  StartStream(10, 5);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !log_.chunks.empty(); }, 5000));
  comm_->Close();
  const size_t delivered = log_.chunks.size();
  SpinFor(300);
  EXPECT_EQ(log_.chunks.size(), delivered);
  EXPECT_EQ(log_.statuses.back(), TLinkStatus::Disconnected);
}

// Answers to a command given up on must not be taken for answers to the one
// sent next: what waits for the main thread is dropped, what comes later is
// delivered as usual.
TEST_F(Comm32KxIo, DiscardInputDropsWhatWaitsForDelivery) {
  ASSERT_TRUE(OpenPort());
  comm_->SetStatusONifReceive(false);
  ASSERT_TRUE(pty_.Write(Pattern(40, 1)));
  // The main thread is busy: the chunk is cut and waits in the queue.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  comm_->DiscardInput();
  SpinFor(200);
  EXPECT_TRUE(log_.chunks.empty());
  const Bytes later = Pattern(12, 50);
  ASSERT_TRUE(pty_.Write(later));
  ASSERT_TRUE(QTest::qWaitFor([&] { return !log_.chunks.empty(); }, 3000));
  EXPECT_EQ(log_.chunks, std::vector<Bytes>{later});
}

TEST_F(Comm32KxIo, CloseFromInsideOnReceive) {
  ASSERT_TRUE(OpenPort());
  int calls = 0;
  comm_->OnReceive = [&](TComm32Kx* sender, const uint8_t*, uint32_t) {
    ++calls;
    sender->Close();
  };
  StartStream(10, 80);  // one chunk per piece
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls > 0; }, 5000));
  SpinFor(300);
  EXPECT_EQ(calls, 1);
  EXPECT_FALSE(comm_->IsOpen());
  // And it opens again from inside a handler as well.
  comm_->OnReceive = [&](TComm32Kx* sender, const uint8_t*, uint32_t) {
    ++calls;
    sender->Close();
    sender->Open();
  };
  ASSERT_TRUE(comm_->Open());
  ASSERT_TRUE(QTest::qWaitFor([&] { return calls >= 4; }, 5000));
  StopStream();
  comm_->Close();
}

TEST_F(Comm32KxIo, HeldReceptionDeliversALaterChunkAfterTheRunningOne) {
  ASSERT_TRUE(OpenPort());
  comm_->HoldReceive();
  const Bytes first = Pattern(5, 1);
  const Bytes second = Pattern(7, 50);
  int depth = 0;
  int deepest = 0;
  std::vector<std::string> order;
  comm_->OnReceive = [&](TComm32Kx*, const uint8_t* buf, uint32_t size) {
    ++depth;
    deepest = std::max(deepest, depth);
    log_.chunks.emplace_back(buf, buf + size);
    order.push_back("begin " + std::to_string(size));
    if (log_.chunks.size() == 1) {
      // The engine's own message loop while it works on the first chunk.
      EXPECT_TRUE(pty_.Write(second));
      SpinFor(400);
    }
    order.push_back("end " + std::to_string(size));
    --depth;
  };
  ASSERT_TRUE(pty_.Write(first));
  ASSERT_TRUE(QTest::qWaitFor([&] { return log_.chunks.size() >= 2; }, 5000));
  EXPECT_EQ(deepest, 1);
  EXPECT_EQ(order, (std::vector<std::string>{"begin 5", "end 5", "begin 7", "end 7"}));
  EXPECT_EQ(log_.chunks[0], first);
  EXPECT_EQ(log_.chunks[1], second);
  comm_->ReleaseReceive();
  comm_->ReleaseReceive();  // never below zero
  EXPECT_EQ(comm_->ReceiveHoldCount(), 0);
}

TEST_F(Comm32KxIo, CloseWhileTheReceiveThreadWaitsForAHeldChunk) {
  ASSERT_TRUE(OpenPort());
  comm_->HoldReceive();
  bool closed = false;
  comm_->OnReceive = [&](TComm32Kx* sender, const uint8_t*, uint32_t) {
    if (closed) return;
    EXPECT_TRUE(pty_.Write(Pattern(4)));
    SpinFor(200);  // the next chunk now waits in the receive thread
    sender->Close();
    closed = true;
  };
  ASSERT_TRUE(pty_.Write(Pattern(3)));
  ASSERT_TRUE(QTest::qWaitFor([&] { return closed; }, 5000));
  EXPECT_FALSE(comm_->IsOpen());
  comm_->ReleaseReceive();
}

// The far end vanishing (an adapter unplugged, the simulator killed: here
// the master of the pseudo-terminal closed) is reported at once, once, with
// whatever had arrived before it delivered; the component lets the dead port
// go and nothing keeps running.
TEST(Comm32KxFarEnd, VanishedFarEndIsReportedOnceAndReleasesThePort) {
  using Clock = std::chrono::steady_clock;
  struct Case {
    const char* what;
    size_t arrivedBefore;  // bytes of a frame the instrument had begun
    bool frameWaiting;     // a frame waits in the transmit queue
  };
  const std::vector<Case> cases = {
      {"idle", 0, false},
      {"in the middle of a frame", 5, false},
      {"with a frame waiting to go out", 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Pty pty;
    ASSERT_TRUE(pty.Ok());
    testing::SetExtraPorts(pty.Path());
    TComm32Kx comm(nullptr, 1);
    EventLog log;
    log.Attach(comm);
    std::optional<Clock::time_point> reported;
    comm.OnCOMStatus = [&](TComm32Kx* sender, TLinkStatus code, const std::string& text) {
      log.statuses.push_back(code);
      log.statusTexts.push_back(text);
      if (code == TLinkStatus::CommunicationError) {
        reported = Clock::now();
        EXPECT_FALSE(sender->IsOpen()) << "released before it is reported";
      }
    };
    comm.SetStatusONifReceive(false);
    comm.SetTimeOut(300);  // queued frames go out at least 300 ms apart
    comm.SetCOMPort(pty.Path());
    ASSERT_TRUE(comm.IsOpen());
    testing::SettleAfterOpen();
    if (c.frameWaiting) {
      const Bytes frame = Pattern(4);
      ASSERT_TRUE(comm.Send(frame.data(), 4));
      ASSERT_TRUE(comm.Send(frame.data(), 4));
      EXPECT_EQ(pty.Read(4, 1000), frame);
    }
    const Bytes begun = Pattern(c.arrivedBefore, 30);
    if (!begun.empty()) {
      ASSERT_TRUE(pty.Write(begun));
      // Read, and the frame gap is running.
      std::this_thread::sleep_for(std::chrono::milliseconds(60));
    }
    log.Clear();

    const auto closed = Clock::now();
    pty.CloseMaster();
    ASSERT_TRUE(QTest::qWaitFor([&] { return reported.has_value(); }, 3000));
    EXPECT_LE(*reported - closed, std::chrono::milliseconds(200));

    // Afterwards nothing runs: no second report, no answer watch, no thread
    // spinning on the dead descriptor.
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    SpinFor(500);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage& r) {
      return (r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
             (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 200);
    EXPECT_EQ(log.statuses, std::vector<TLinkStatus>{TLinkStatus::CommunicationError});
    EXPECT_EQ(log.statusTexts.back(), "Communication error");
    EXPECT_EQ(log.Received(), begun);
    EXPECT_FALSE(comm.IsOpen());
    EXPECT_EQ(comm.Status(), TLinkStatus::CommunicationError);
    const Bytes frame = Pattern(2);
    EXPECT_FALSE(comm.Send(frame.data(), 2));
    comm.Close();
    EXPECT_EQ(comm.Status(), TLinkStatus::Disconnected);
  }
}

// A frame is sent whole or not at all: a longer one than SizeBufTXD would
// reach the instrument cut short and be refused by its checksum.
TEST_F(Comm32KxIo, FrameLongerThanSizeBufTXDIsRefusedWhole) {
  struct Case {
    uint16_t sizeBufTXD;
    size_t frame;
    bool accepted;
  };
  const std::vector<Case> cases = {
      {1024, 1024, true}, {1024, 1025, false}, {1024, 2000, false},
      {16, 16, true},     {16, 17, false},     {0, 1, false},
  };
  ASSERT_TRUE(OpenPort());  // OnTxdEmpty was set before the open
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.sizeBufTXD) + " / " + std::to_string(c.frame));
    comm_->SetSizeBufTXD(c.sizeBufTXD);  // reopens
    ASSERT_TRUE(comm_->IsOpen());
    testing::SettleAfterOpen();
    log_.Clear();
    const Bytes frame = Pattern(c.frame, 9);
    EXPECT_EQ(comm_->SendEx(frame.data(), static_cast<uint32_t>(frame.size()), false), c.accepted);
    if (c.accepted) {
      EXPECT_EQ(pty_.Read(frame.size(), 3000), frame);
      ASSERT_TRUE(QTest::qWaitFor([&] { return log_.written.size() >= frame.size(); }, 3000));
      EXPECT_EQ(log_.written, frame);
      continue;
    }
    EXPECT_TRUE(pty_.Read(1, 300).empty()) << "no part of a refused frame is sent";
    EXPECT_TRUE(log_.written.empty());
    if (c.sizeBufTXD == 0) continue;
    // The refusal leaves nothing behind in the queue.
    const Bytes next = Pattern(c.sizeBufTXD, 77);
    EXPECT_TRUE(comm_->SendEx(next.data(), static_cast<uint32_t>(next.size()), false));
    EXPECT_EQ(pty_.Read(next.size(), 3000), next);
  }
}

TEST_F(Comm32KxIo, WriteReportsOnlyWhenTheHandlerWasSetAtOpen) {
  comm_->OnTxdEmpty = nullptr;
  ASSERT_TRUE(OpenPort());
  int reports = 0;
  comm_->OnTxdEmpty = [&](TComm32Kx*, const uint8_t*, uint32_t) { ++reports; };
  const Bytes frame = Pattern(8);
  EXPECT_TRUE(comm_->Send(frame.data(), 8));
  EXPECT_EQ(pty_.Read(8, 2000), frame);
  SpinFor(150);
  EXPECT_EQ(reports, 0);
  comm_->SetSizeBufTXD(1024);  // reopens, now with the handler
  testing::SettleAfterOpen();
  EXPECT_TRUE(comm_->Send(frame.data(), 8));
  EXPECT_EQ(pty_.Read(8, 2000), frame);
  EXPECT_TRUE(QTest::qWaitFor([&] { return reports > 0; }, 3000));
}

TEST_F(Comm32KxIo, WithoutQueueLimitAFrameWaitingToGoOutRefusesTheNext) {
  comm_->SetTimeOut(300);  // frames go out at least 300 ms apart
  ASSERT_TRUE(OpenPort());
  const Bytes a = Pattern(3, 1), b = Pattern(4, 2), c = Pattern(5, 3);
  EXPECT_TRUE(comm_->Send(a.data(), 3));   // goes out at once
  EXPECT_TRUE(comm_->Send(b.data(), 4));   // waits for the send timer
  EXPECT_FALSE(comm_->Send(c.data(), 5));  // the queue is not empty: dropped
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  EXPECT_EQ(pty_.Read(3, 2000), a);
  Bytes rest;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const Bytes got = pty_.Read(4, 10);
        rest.insert(rest.end(), got.begin(), got.end());
        return rest.size() >= 4;
      },
      3000));
  EXPECT_EQ(rest, b);
  SpinFor(500);
  EXPECT_TRUE(pty_.Read(1, 50).empty());
}

TEST_F(Comm32KxIo, QueueLimitAdmitsUpToMaxQueueFramesInOrder) {
  comm_->SetTimeOut(20);
  ASSERT_TRUE(OpenPort());
  comm_->SetQueueLimit(true);
  comm_->SetMaxQueue(3);
  std::vector<bool> admitted;
  Bytes expected;
  for (uint8_t i = 0; i < 5; ++i) {
    const Bytes frame = Pattern(4, static_cast<uint8_t>(i * 16));
    const bool ok = comm_->Send(frame.data(), 4);
    admitted.push_back(ok);
    if (ok) expected.insert(expected.end(), frame.begin(), frame.end());
  }
  // The first goes out at once; three more wait; the fifth finds three.
  EXPECT_EQ(admitted, (std::vector<bool>{true, true, true, true, false}));
  Bytes sent;
  ASSERT_TRUE(QTest::qWaitFor(
      [&] {
        const Bytes got = pty_.Read(expected.size(), 10);
        sent.insert(sent.end(), got.begin(), got.end());
        return sent.size() >= expected.size();
      },
      5000));
  EXPECT_EQ(sent, expected);
}

// Open itself does not wait (the main thread never does); the time a port
// gets after the open before its first frame is kept by the transmit queue:
// frames sent at once are admitted as usual and go out after it, in order.
TEST_F(Comm32KxIo, OpenReportsConnectedAtOnceAndTheFirstFrameWaitsForTheSettleTime) {
  using Clock = std::chrono::steady_clock;
  struct Case {
    bool queueLimit;
    int frames;
  };
  // The first threads of a process cost a sanitizer many milliseconds.
  comm_->SetCOMPort(pty_.Path());
  for (const Case& c : {Case{false, 1}, Case{true, 3}}) {
    SCOPED_TRACE(c.frames);
    comm_->SetCOMPort("none");
    comm_->SetQueueLimit(c.queueLimit);
    comm_->SetMaxQueue(3);
    comm_->SetTimeOut(1);  // queued frames follow each other closely
    log_.Clear();

    const auto start = Clock::now();
    comm_->SetCOMPort(pty_.Path());
    const auto opened = Clock::now();
    ASSERT_TRUE(comm_->IsOpen());
    EXPECT_EQ(log_.statuses.back(), TLinkStatus::Connected) << "reported before Open returns";
    // A few ms of work (more under a sanitizer), never the settle time.
    RecordProperty(
        "open_us",
        static_cast<int>(
            std::chrono::duration_cast<std::chrono::microseconds>(opened - start).count()));
    EXPECT_LT(opened - start, std::chrono::milliseconds(TComm32Kx::kSettleAfterOpenMs));

    Bytes expected;
    for (int i = 0; i < c.frames; ++i) {
      const Bytes frame = Pattern(5, static_cast<uint8_t>(i * 40));
      EXPECT_TRUE(comm_->SendEx(frame.data(), 5, false)) << "queued, not refused";
      expected.insert(expected.end(), frame.begin(), frame.end());
    }
    Bytes sent;
    std::optional<Clock::time_point> firstByte;
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
          uint8_t buf[64];
          const ssize_t got = read(pty_.Master(), buf, sizeof buf);  // the master never blocks
          if (got > 0 && !firstByte) firstByte = Clock::now();
          if (got > 0) sent.insert(sent.end(), buf, buf + got);
          return sent.size() >= expected.size();
        },
        3000));
    EXPECT_EQ(sent, expected);
    EXPECT_GE(*firstByte - start, std::chrono::milliseconds(TComm32Kx::kSettleAfterOpenMs));
  }
}

TEST_F(Comm32KxIo, SendOnAClosedPortFails) {
  const Bytes frame = Pattern(4);
  EXPECT_FALSE(comm_->Send(frame.data(), 4));
  ASSERT_TRUE(OpenPort());
  EXPECT_FALSE(comm_->Send(frame.data(), 0));
  EXPECT_FALSE(comm_->Send(nullptr, 4));
}

TEST_F(Comm32KxIo, ComputedResponseTimeOut) {
  comm_->SetBaudRate(br115200);
  comm_->SetTimeOut(50);
  ASSERT_TRUE(OpenPort());
  const Bytes frame = Pattern(10);
  ASSERT_TRUE(comm_->Send(frame.data(), 10));
  // 1034 bytes at 11520 bytes/s (90 ms) + 250 + 50 + 1000.
  EXPECT_EQ(comm_->ResponseTimeOut(), 1390u);
  EXPECT_EQ(comm_->ComputedResponseTimeOut(10), 1390u);
  comm_->SetFrameTimeOut(20000);
  SpinFor(100);
  ASSERT_TRUE(comm_->Send(frame.data(), 10));
  EXPECT_EQ(comm_->ResponseTimeOut(), 20000u);
}

TEST_F(Comm32KxIo, MissingAnswerEndsInResponseTimeOver) {
  struct Case {
    bool waitToResponse;
    bool answer;
    bool statusLost;
    bool timeOver;
  };
  const std::vector<Case> cases = {
      {true, false, true, true},
      {false, false, false, true},
      {true, true, false, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.waitToResponse) + std::to_string(c.answer));
    ASSERT_TRUE(OpenPort());
    comm_->SetWaitToResponse(c.waitToResponse);
    comm_->SetFrameTimeOut(300);
    const Bytes frame = Pattern(2);
    ASSERT_TRUE(comm_->Send(frame.data(), 2));
    if (c.answer) {
      EXPECT_EQ(pty_.Read(2, 1000), frame);
      ASSERT_TRUE(pty_.Write(Pattern(2, 0x80)));
    }
    SpinFor(1200);
    EXPECT_EQ(log_.respTimeOvers, c.timeOver ? 1 : 0);
    const bool lost = std::find(log_.statuses.begin(), log_.statuses.end(),
                                TLinkStatus::CommunicationLost) != log_.statuses.end();
    EXPECT_EQ(lost, c.statusLost);
    if (c.statusLost) {
      EXPECT_EQ(comm_->Status(), TLinkStatus::CommunicationLost);
    }
    comm_->SetCOMPort("none");
    (void)pty_.Read(4096, 20);
  }
}

// An answer of two bytes: complete once two have come.
AnswerComplete TwoByteAnswer() {
  return [taken = size_t{0}](std::span<const uint8_t> received) mutable {
    const bool before = taken >= 2;
    taken += received.size();
    return !before && taken >= 2;
  };
}

TEST_F(Comm32KxIo, CompleteAnswerGoesOnWhileTheLineIsStillBusyWithTheShortAutomaticGap) {
  // 1200 baud: the automatic gap (25 ms) is short. The instrument keeps the
  // line busy after its answer (a byte every 10 ms), so only the answer's
  // completeness can end the chunk before the buffer fills (10 s).
  comm_->SetBaudRate(br001200);
  ASSERT_TRUE(OpenPort());
  ASSERT_TRUE(comm_->ShortFrameGap());
  comm_->ExpectAnswer(TwoByteAnswer());
  const Bytes answer = {0x80, 0x01};
  ASSERT_TRUE(pty_.Write(answer));
  StartStream(1, 10);
  ASSERT_TRUE(QTest::qWaitFor([&] { return !log_.chunks.empty(); }, 3000));
  StopStream();
  ASSERT_GE(log_.chunks[0].size(), 2u);
  EXPECT_EQ(Bytes(log_.chunks[0].begin(), log_.chunks[0].begin() + 2), answer);
}

TEST_F(Comm32KxIo, AFixedGapEndsEveryChunkWithItsSilence) {
  // A fixed gap ignores the answer check, also one given before the gap was
  // fixed (the run falling back to the standard gap): the complete answer
  // waits for the whole silence.
  struct Case {
    const char* name;
    bool fixedBeforeTheCheck;
  };
  const Case cases[] = {{"fixed gap", true}, {"gap fixed after the check", false}};
  constexpr uint16_t kGapMs = 1000;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    comm_->SetFrameGap(FrameGapChoice::Auto());
    ASSERT_TRUE(OpenPort());
    if (c.fixedBeforeTheCheck) comm_->SetFrameGap(FrameGapChoice::Fixed(kGapMs));
    comm_->ExpectAnswer(TwoByteAnswer());
    if (!c.fixedBeforeTheCheck) comm_->SetFrameGap(FrameGapChoice::Fixed(kGapMs));
    const auto written = std::chrono::steady_clock::now();
    ASSERT_TRUE(pty_.Write({0x80, 0x01}));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !log_.chunks.empty(); }, 3 * kGapMs + 5000));
    EXPECT_GE(std::chrono::steady_clock::now() - written, std::chrono::milliseconds(kGapMs));
    EXPECT_EQ(log_.chunks[0], (Bytes{0x80, 0x01}));
  }
}

}  // namespace
}  // namespace quorvel
