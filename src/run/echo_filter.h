// The echo of the last command on a line that hears itself (a two-wire
// RS-485 bus, a converter that echoes): the bytes sent come back before the
// device's answer, cut into chunks wherever the receiver's frame gap
// fell, possibly glued to the start of the answer in one chunk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace quorvel {

class EchoFilter {
 public:
  // Whether a byte can begin an answer of the protocol spoken.
  using AnswerStart = bool (*)(uint8_t);

  // The bytes just sent: their echo may come next. Replaces an earlier
  // frame and any part of its echo still held.
  void Expect(std::span<const uint8_t> sent);

  // Forgets the frame sent: nothing more is taken for its echo.
  void Forget();

  // Takes one received chunk and appends to `out` the bytes that are not
  // the echo, in order. The echo is matched byte by byte against the frame
  // sent, across chunks; matching bytes are held back until the echo is
  // complete (then dropped, once) or a byte differs (then they are handed
  // on, except those that may still begin the echo). A match may
  // begin anywhere until a byte that can begin an answer has been handed on:
  // the echo precedes the answer, and data inside an answer that happens to
  // look like the command is the answer's. A chunk that is exactly the frame
  // sent is its echo wherever it comes.
  void Filter(std::span<const uint8_t> chunk, AnswerStart answerStart, std::vector<uint8_t>& out);

  // Bytes held as a possible start of the echo.
  size_t Held() const { return matched_; }

 private:
  void Take(uint8_t byte, AnswerStart answerStart, std::vector<uint8_t>& out);
  void HandOn(uint8_t byte, AnswerStart answerStart, std::vector<uint8_t>& out);

  std::vector<uint8_t> sent_;
  // border_[k - 1]: the longest proper prefix of the first k bytes of sent_
  // that is also their suffix, so that a failed match falls back without
  // looking at any byte twice (a frame can be 64 KiB long).
  std::vector<uint32_t> border_;
  // Bytes of sent_ matched so far (held back).
  size_t matched_ = 0;
  bool answerBegun_ = false;
};

}  // namespace quorvel
