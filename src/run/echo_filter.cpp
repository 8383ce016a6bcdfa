#include "run/echo_filter.h"

#include <algorithm>

namespace quorvel {

void EchoFilter::Expect(std::span<const uint8_t> sent) {
  sent_.assign(sent.begin(), sent.end());
  border_.assign(sent_.size(), 0);
  uint32_t k = 0;
  for (size_t i = 1; i < sent_.size(); ++i) {
    while (k > 0 && sent_[i] != sent_[k]) k = border_[k - 1];
    if (sent_[i] == sent_[k]) ++k;
    border_[i] = k;
  }
  matched_ = 0;
  answerBegun_ = false;
}

void EchoFilter::Forget() {
  sent_.clear();
  border_.clear();
  matched_ = 0;
}

void EchoFilter::Filter(std::span<const uint8_t> chunk, AnswerStart answerStart,
                        std::vector<uint8_t>& out) {
  if (matched_ == 0 && !sent_.empty() && std::ranges::equal(chunk, sent_)) {
    Forget();
    return;
  }
  for (size_t i = 0; i < chunk.size(); ++i) {
    if (sent_.empty()) {
      out.insert(out.end(), chunk.begin() + static_cast<std::ptrdiff_t>(i), chunk.end());
      return;
    }
    Take(chunk[i], answerStart, out);
  }
}

void EchoFilter::Take(uint8_t byte, AnswerStart answerStart, std::vector<uint8_t>& out) {
  for (;;) {
    if (byte == sent_[matched_] && (matched_ > 0 || !answerBegun_)) {
      if (++matched_ == sent_.size()) Forget();
      return;
    }
    if (matched_ == 0) {
      HandOn(byte, answerStart, out);
      return;
    }
    // Not the echo after all: the held bytes go on as data, except the
    // longest tail of them that may still begin the echo, and only while no
    // answer has begun.
    const size_t keep = border_[matched_ - 1];
    for (size_t i = 0; i < matched_ - keep; ++i) HandOn(sent_[i], answerStart, out);
    if (answerBegun_) {
      for (size_t i = matched_ - keep; i < matched_; ++i) HandOn(sent_[i], answerStart, out);
      matched_ = 0;
    } else {
      matched_ = keep;
    }
  }
}

void EchoFilter::HandOn(uint8_t byte, AnswerStart answerStart, std::vector<uint8_t>& out) {
  if (answerStart != nullptr && answerStart(byte)) answerBegun_ = true;
  out.push_back(byte);
}

}  // namespace quorvel
