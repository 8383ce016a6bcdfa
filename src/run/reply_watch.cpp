#include "run/reply_watch.h"

namespace quorvel {

ReplyWatch::ReplyWatch(TProtocol protocol, std::span<const uint8_t> sent) : protocol_(protocol) {
  if (protocol == TProtocol::Boot && sent.size() >= 2 && sent[0] == kBootCommandPrefix) {
    commandCode_ = sent[1];
  }
  echo_.Expect(sent);
}

bool ReplyWatch::Take(std::span<const uint8_t> received) {
  std::vector<uint8_t> answer;
  echo_.Filter(received, protocol_ == TProtocol::App ? StartsAppFrame : StartsBootReply, answer);
  if (answer.empty()) return false;
  return protocol_ == TProtocol::App ? TakeAppBytes(answer) : TakeBootBytes(answer);
}

bool ReplyWatch::TakeBootBytes(std::span<const uint8_t> bytes) {
  bootReply_.insert(bootReply_.end(), bytes.begin(), bytes.end());
  bootReply_.erase(bootReply_.begin(),
                   bootReply_.begin() + static_cast<std::ptrdiff_t>(BootReplyStart(bootReply_)));
  if (CompleteBootReplyLength(bootReply_, commandCode_) == 0) return false;
  // Bytes beyond the reply go with it, as the reply handling drops them.
  bootReply_.clear();
  return true;
}

bool ReplyWatch::TakeAppBytes(std::span<const uint8_t> bytes) {
  if (ExtractAppFrame(appFrame_, bytes.data(), static_cast<uint32_t>(bytes.size())) == 0) {
    return false;
  }
  appFrame_.Free();
  return true;
}

AnswerComplete ReplyWatch::AsAnswerComplete() && {
  return [watch = std::move(*this)](std::span<const uint8_t> received) mutable {
    return watch.Take(received);
  };
}

}  // namespace quorvel
