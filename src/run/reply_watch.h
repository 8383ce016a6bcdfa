// When an answer is complete, as the receiving side can tell: the bytes that
// arrive after a command (or a user-application request) was sent, taken as
// the reply handling takes them, until they hold a whole bootloader reply or
// user-application frame. A link told this hands an answer on as soon as its
// last byte is in, instead of after the frame gap's silence.
//
// The watch only says when; the reply handling still decides what the bytes
// are. Taken for complete too soon, the bytes reach it in one chunk more;
// not taken for complete, they reach it after the frame gap.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "run/bus_frames.h"
#include "run/echo_filter.h"

namespace quorvel {

// Told the bytes received after a frame was sent, in order: true when an
// answer became complete with the last of them.
using AnswerComplete = std::function<bool(std::span<const uint8_t> received)>;

class ReplyWatch {
 public:
  // After `sent` went out in `protocol`: a bootloader command (0xB0, its
  // code, ...) or a user-application frame.
  ReplyWatch(TProtocol protocol, std::span<const uint8_t> sent);

  // Takes the bytes received next; true when an answer became complete with
  // them. The echo of the frame sent is no answer, nor is anything before a
  // byte that can begin one. After a complete answer the watch looks for the
  // next: a late answer to an earlier attempt may come before the one
  // awaited.
  bool Take(std::span<const uint8_t> received);

  // The watch as a link takes it.
  AnswerComplete AsAnswerComplete() &&;

 private:
  bool TakeBootBytes(std::span<const uint8_t> bytes);
  bool TakeAppBytes(std::span<const uint8_t> bytes);

  TProtocol protocol_;
  // The command's code; its answer's length follows from it.
  uint8_t commandCode_ = 0;
  EchoFilter echo_;
  std::vector<uint8_t> bootReply_;
  ByteBlock appFrame_;
};

}  // namespace quorvel
