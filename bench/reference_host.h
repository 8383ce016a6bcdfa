// The least a host can spend on the simulated line: a bare program on the
// same terminal and simulator that programs the same image with the same
// commands, without a link component, an engine or a log. It knows each
// reply's length and sends the next command as soon as the reply is in,
// after an optional quiet period (silence on the line after the reply, as a
// link that cannot know the length must wait for). What it loses against
// the wire model is the terminal's and the simulator's share; what Quorvel
// loses against it is Quorvel's own.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "run/bus_frames.h"

namespace quorvel::bench {

class ReferenceHost {
 public:
  // quietMs: the silence waited for after each complete reply (0: none).
  ReferenceHost(const std::string& port, int quietMs) : quietMs_(quietMs) {
    fd_ = open(port.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd_, TCSANOW, &tio);
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
  }
  ~ReferenceHost() {
    if (fd_ >= 0) close(fd_);
  }
  ReferenceHost(const ReferenceHost&) = delete;
  ReferenceHost& operator=(const ReferenceHost&) = delete;

  // Connect, device information, erase, every block from `start`, reset.
  // False at the first reply that is missing or negative.
  bool Program(std::span<const uint8_t> image, uint32_t start) {
    if (fd_ < 0 || !Exchange(BuildBootCommand(kBootConnect), kBootConnect)) return false;
    if (!Exchange(BuildBootCommand(kBootReadInfo), kBootReadInfo)) return false;
    const std::optional<DeviceInfo> info = ParseDeviceInfo(reply_);
    if (!info || info->BlockSize == 0) return false;
    if (!Exchange(BuildEraseCommand(info->SerialPart1, info->SerialPart2), kBootErase)) {
      return false;
    }
    // Whole blocks, padded as erased flash, in the words the bootloader takes.
    const size_t blocks = (image.size() + info->BlockSize - 1) / info->BlockSize;
    std::vector<uint8_t> sent(blocks * info->BlockSize, 0xFF);
    std::copy(image.begin(), image.end(), sent.begin());
    ScrambleImageWords(sent, static_cast<uint16_t>(info->SerialPart1 + info->SerialPart2),
                       info->BlockSize);
    for (size_t at = 0; at < sent.size(); at += info->BlockSize) {
      const std::span<const uint8_t> block(sent.data() + at, info->BlockSize);
      if (!Exchange(BuildWriteCommand(info->SerialPart1, info->SerialPart2,
                                      start + static_cast<uint32_t>(at), block),
                    kBootWrite)) {
        return false;
      }
    }
    return Exchange(BuildBootCommand(kBootReset), kBootReset);
  }

 private:
  static constexpr int kReplyTimeOutMs = 5000;

  bool Exchange(const std::vector<uint8_t>& command, uint8_t code) {
    for (size_t sent = 0; sent < command.size();) {
      const ssize_t n = write(fd_, command.data() + sent, command.size() - sent);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    const size_t length = ExpectedReplyLength(code);
    reply_.clear();
    while (reply_.size() < length) {
      if (!ReadWithin(kReplyTimeOutMs)) return false;
      if (reply_[0] != kBootPositive) return false;
    }
    // Anything more within the quiet period would belong to this reply.
    while (quietMs_ > 0 && ReadWithin(quietMs_)) {
    }
    return reply_.size() == length;
  }

  // Appends what arrives within ms; false when nothing did.
  bool ReadWithin(int ms) {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, ms) <= 0) return false;
    uint8_t buffer[512];
    const ssize_t n = read(fd_, buffer, sizeof buffer);
    if (n <= 0) return false;
    reply_.insert(reply_.end(), buffer, buffer + n);
    return true;
  }

  int fd_ = -1;
  int quietMs_ = 0;
  std::vector<uint8_t> reply_;
};

}  // namespace quorvel::bench
