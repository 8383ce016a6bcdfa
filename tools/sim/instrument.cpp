#include "sim/instrument.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "datafile/utilities.h"
#include "run/bus_frames.h"

namespace quorvel::sim {
namespace {

// A user-application frame longer than this is not taken for one: the
// device's receive buffer is small, and a bogus length must not make it
// swallow the frames that follow.
constexpr size_t kMaxAppFrame = 1024;

// Line noise: none of these bytes starts a bootloader reply (0x80, 0x7F) or a
// user-application frame (0x68).
constexpr std::array<uint8_t, 8> kNoisePattern = {0x00, 0x55, 0xAA, 0x33, 0xCC, 0x0F, 0xF0, 0x11};

void PutText(std::vector<uint8_t>& b, const std::string& text) {
  b.insert(b.end(), text.begin(), text.end());
  b.push_back(0);
}

// A challenge byte must not end or shorten the first text of the identify
// reply, nor make it look like a version text.
bool UsableChallengeByte(uint8_t b) {
  return b != 0 && !(b >= '0' && b <= '9') && b != '.' && b != 'V' && b != 'v';
}

std::vector<uint8_t> Negative(uint8_t code) {
  return {kBootNegative, code};
}
std::vector<uint8_t> Positive(uint8_t code) {
  return {kBootPositive, code};
}

}  // namespace

std::string HexBytes(const std::vector<uint8_t>& bytes, size_t max) {
  std::string out;
  char hex[4];
  for (size_t i = 0; i < bytes.size() && i < max; ++i) {
    std::snprintf(hex, sizeof hex, i == 0 ? "%02X" : " %02X", bytes[i]);
    out += hex;
  }
  if (bytes.size() > max) out += " ... (" + std::to_string(bytes.size()) + " bytes)";
  return out;
}

Instrument::Instrument(InstrumentOptions options) : options_(std::move(options)) {
  appModel_ = options_.AppModel;
  if (appModel_.empty()) {
    // The model name without the link suffix some rows carry ("BTQ-20 .RS485").
    bool found = false;
    appModel_ = DeviceNameOf(options_.Device.DevCode, found);
    if (!found) appModel_ = options_.Device.Name;
  }
  if (!options_.AppVersion.empty()) {
    appVersion_ = options_.AppVersion;
  } else if (!options_.Device.MinAppVersion.empty()) {
    appVersion_ = "V" + options_.Device.MinAppVersion;
  } else {
    appVersion_ = "V1.0.0000";
  }
  mode_ = options_.StartMode.value_or(HasUserApplication() ? InstrumentMode::UserApplication
                                                           : InstrumentMode::Bootloader);
}

bool Instrument::HasUserApplication() const {
  return AddressesApplication(options_.Device);
}

bool Instrument::IsRs485Bus() const {
  return quorvel::IsRs485Bus(options_.Device);
}

std::vector<InstrumentNote> Instrument::TakeNotes() {
  return std::exchange(notes_, {});
}

void Instrument::Note(bool warning, std::string text) {
  notes_.push_back({warning, std::move(text)});
}

uint32_t Instrument::WriteCommandLength() const {
  return 2 + 4 + 4 + options_.BlockSize + 2;
}

bool Instrument::TakenUnheard(size_t length) {
  const uint64_t front = fedCount_ - received_.size();
  const uint64_t first = front - length;
  bool unheard = false;
  for (const auto& [begin, end] : unheard_) {
    if (first >= begin && first < end) unheard = true;
  }
  std::erase_if(unheard_, [front](const auto& range) { return range.second <= front; });
  return unheard;
}

std::vector<InstrumentOutput> Instrument::Feed(const uint8_t* data, size_t count, size_t unheard) {
  std::vector<InstrumentOutput> out;
  if (count == 0 || data == nullptr) return out;
  if (options_.Faults.Echo) {
    out.push_back({InstrumentOutput::Kind::Echo, std::vector<uint8_t>(data, data + count), count});
  }
  const uint64_t front = fedCount_ - received_.size();
  std::erase_if(unheard_, [front](const auto& range) { return range.second <= front; });
  if (unheard > 0) unheard_.emplace_back(fedCount_, fedCount_ + std::min(unheard, count));
  for (size_t i = 0; i < count; ++i) {
    received_.push_back(data[i]);
    ++fedCount_;
    std::vector<uint8_t> message;
    std::vector<uint8_t> answer;
    const bool bootloader = mode_ == InstrumentMode::Bootloader;
    if (bootloader ? !TakeBootCommand(message) : !TakeAppFrame(message)) continue;
    if (TakenUnheard(message.size())) {
      ++unheardCommands_;
      Note(false, "not heard (too soon after the last answer): " + HexBytes(message, 8));
      continue;
    }
    answer = bootloader ? HandleBootCommand(message) : HandleAppFrame(message);
    if (answer.empty()) continue;
    const auto& limit = options_.Faults.AnswersBeforeSilence;
    if (limit && answers_ >= *limit) {
      Note(true, "silent: no answer to " + HexBytes(message, 8));
      continue;
    }
    ++answers_;
    InstrumentOutput output{InstrumentOutput::Kind::Answer, {}, i + 1};
    for (uint32_t n = 0; n < options_.Faults.NoiseBytes; ++n) {
      output.Bytes.push_back(kNoisePattern[n % kNoisePattern.size()]);
    }
    output.Bytes.insert(output.Bytes.end(), answer.begin(), answer.end());
    Note(false, "tx " + HexBytes(output.Bytes));
    if (bootloader && message[1] == kBootWrite && answer[0] == kBootPositive) {
      MarkWriteAck(output);
    }
    out.push_back(std::move(output));
  }
  return out;
}

bool Instrument::TakeBootCommand(std::vector<uint8_t>& command) {
  for (;;) {
    // Whatever precedes a command prefix is noise to the bootloader.
    const auto start = std::find(received_.begin(), received_.end(), kBootCommandPrefix);
    received_.erase(received_.begin(), start);
    if (received_.size() < 2) return false;
    uint32_t length = 0;
    switch (received_[1]) {
      case kBootConnect:
      case kBootReadInfo:
      case kBootReset:
        length = 2;
        break;
      case kBootErase:
        length = 6;
        break;
      case kBootWrite:
        length = WriteCommandLength();
        break;
      default:
        received_.erase(received_.begin());
        continue;
    }
    if (received_.size() < length) return false;
    command.assign(received_.begin(), received_.begin() + length);
    received_.erase(received_.begin(), received_.begin() + length);
    return true;
  }
}

bool Instrument::TakeAppFrame(std::vector<uint8_t>& frame) {
  for (;;) {
    const auto start = std::find(received_.begin(), received_.end(), kAppFrameStart);
    received_.erase(received_.begin(), start);
    if (received_.size() < 3) return false;
    const size_t length = WireU16(received_, 1);
    if (length < kAppFrameMinLength || length > kMaxAppFrame) {
      received_.erase(received_.begin());
      continue;
    }
    if (received_.size() < length) {
      // A frame whose start was lost: when a later start byte begins a frame
      // that ends exactly with the last byte received, that one is taken.
      if (received_.back() != kAppFrameEnd) return false;
      for (size_t k = 1; k + 3 <= received_.size(); ++k) {
        if (received_[k] != kAppFrameStart) continue;
        const size_t inner = WireU16(received_, k + 1);
        if (inner >= kAppFrameMinLength && k + inner == received_.size()) {
          received_.erase(received_.begin(), received_.begin() + static_cast<ptrdiff_t>(k));
          break;
        }
      }
      if (received_.size() < WireU16(received_, 1)) return false;
      continue;
    }
    if (received_[length - 1] != kAppFrameEnd) {
      received_.erase(received_.begin());
      continue;
    }
    frame.assign(received_.begin(), received_.begin() + static_cast<ptrdiff_t>(length));
    received_.erase(received_.begin(), received_.begin() + static_cast<ptrdiff_t>(length));
    return true;
  }
}

void Instrument::MarkWriteAck(InstrumentOutput& output) {
  ++writeAcks_;
  const InstrumentFaults& faults = options_.Faults;
  if (faults.HangUpAfterWrite == writeAcks_) {
    output.HangUpAfter = true;
    Note(true,
         "leaving the line after write acknowledgement " + std::to_string(writeAcks_) + " (fault)");
  } else if (faults.FreezeAfterWrite.AfterWrite == writeAcks_) {
    output.FreezeMsAfter = faults.FreezeAfterWrite.Milliseconds;
    Note(true, "freezing for " + std::to_string(output.FreezeMsAfter) +
                   " ms after write acknowledgement " + std::to_string(writeAcks_) + " (fault)");
  }
}

std::optional<uint8_t> Instrument::TakeNegativeFault(uint8_t command) {
  for (auto& fault : options_.Faults.NegativeReplies) {
    const bool usedUp = fault.Count && *fault.Count == 0;
    if (usedUp || (fault.Command != 0 && fault.Command != command)) continue;
    if (fault.Count) --*fault.Count;
    return fault.ErrorCode;
  }
  return std::nullopt;
}

std::vector<uint8_t> Instrument::HandleBootCommand(const std::vector<uint8_t>& command) {
  const uint8_t code = command[1];
  Note(false, "rx " + HexBytes(command));
  if (const auto error = TakeNegativeFault(code)) {
    Note(true, "negative reply (fault) to command " + std::to_string(code));
    return Negative(*error);
  }
  switch (code) {
    case kBootConnect:
      return Positive(kBootConnect);
    case kBootReadInfo: {
      DeviceInfo info;
      info.SerialPart1 = options_.SerialPart1;
      info.SerialPart2 = options_.SerialPart2;
      info.BootVersion = options_.BootVersion.substr(0, 8);
      info.DeviceCode = options_.DeviceCode.value_or(options_.Device.DevCode);
      info.BlockSize = options_.BlockSize;
      info.ProtocolVersion = options_.ProtocolVersion;
      if (options_.Faults.OddBlockSizeOnce && !oddBlockSizeSent_) {
        oddBlockSizeSent_ = true;
        info.BlockSize = static_cast<uint16_t>(options_.BlockSize + 1);
        Note(true, "reporting the odd block size " + std::to_string(info.BlockSize) + " (fault)");
      }
      return BuildDeviceInfoReply(info);
    }
    case kBootErase:
      if (WireU16(command, 2) != options_.SerialPart1 ||
          WireU16(command, 4) != options_.SerialPart2) {
        Note(true, "erase refused: identity words differ");
        return Negative(kBootErrorErase);
      }
      flash_.Erase();
      erased_ = true;
      return Positive(kBootErase);
    case kBootWrite:
      return HandleWrite(command);
    case kBootReset:
      if (options_.Faults.IgnoreReset) {
        Note(true, "reset ignored (fault): no answer");
        return {};
      }
      ++resets_;
      Note(false, "reset: restarting into the " +
                      std::string(HasUserApplication() ? "user application" : "bootloader"));
      Restart(HasUserApplication() ? InstrumentMode::UserApplication : InstrumentMode::Bootloader);
      return Positive(kBootReset);
    default:
      return {};
  }
}

std::vector<uint8_t> Instrument::HandleWrite(const std::vector<uint8_t>& command) {
  const uint32_t address = WireU32(command, 6);
  const uint32_t blockSize = options_.BlockSize;
  if (WireU16(command, 2) != options_.SerialPart1 || WireU16(command, 4) != options_.SerialPart2) {
    Note(true, "write refused: identity words differ");
    return Negative(kBootErrorWrite);
  }
  const uint16_t crc = CalcCRC16(command.data() + 6, 4 + blockSize, 0xFFFF);
  if (crc != WireU16(command, 10 + blockSize)) {
    Note(true, "write refused: CRC error");
    return Negative(kBootErrorWrite);
  }
  if (!erased_) {
    Note(true, "write refused: memory not erased");
    return Negative(kBootErrorWrite);
  }
  // The host scrambles every 16-bit word with K and its index in the block.
  const uint16_t key = static_cast<uint16_t>(options_.SerialPart1 + options_.SerialPart2);
  std::vector<uint8_t> block(command.begin() + 10, command.begin() + 10 + blockSize);
  for (uint32_t j = 0; 2 * j < blockSize; ++j) {
    const uint16_t mask = static_cast<uint16_t>(key ^ j);
    block[2 * j] ^= static_cast<uint8_t>(mask & 0xFF);
    if (2 * j + 1 < blockSize) block[2 * j + 1] ^= static_cast<uint8_t>(mask >> 8);
  }
  if (!flash_.Write(address, block)) {
    Note(true, "write refused: memory at that address already holds other data, or is full");
    return Negative(kBootErrorWrite);
  }
  uint32_t ackAddress = address;
  if (options_.Faults.WrongAddressAcks > 0) {
    --options_.Faults.WrongAddressAcks;
    ackAddress = address + blockSize;
    Note(true, "acknowledging the write with a wrong address (fault)");
  }
  std::vector<uint8_t> reply = Positive(kBootWrite);
  AppendWireU32(reply, ackAddress);
  return reply;
}

std::vector<uint8_t> Instrument::ExpectedBootRequestData() const {
  return BootRequestData(
      options_.Device, challenge_,
      IsRs485Bus() ? std::optional<uint16_t>(options_.BusAddress) : std::nullopt);
}

std::vector<uint8_t> Instrument::IdentifyReply() {
  const auto& row = options_.Device;
  std::vector<uint8_t> data;
  if (HandsOverStartBytes(row.DevCode)) {
    // A fresh pair of challenge bytes on every identify; the enter-bootloader
    // request must carry them back.
    for (auto& b : challenge_) {
      do {
        challengeSeed_ = challengeSeed_ * 1103515245u + 12345u;
        b = static_cast<uint8_t>(challengeSeed_ >> 16);
      } while (!UsableChallengeByte(b));
    }
    challengeIssued_ = true;
    data.assign(challenge_.begin(), challenge_.end());
  } else if (IsRs485Bus()) {
    AppendWireU16(data, options_.BusAddress);
    data.insert(data.end(), 3, 0);
  }
  PutText(data, appModel_);
  if (!options_.NoAppVersion) PutText(data, appVersion_);
  return BuildAppFrame(static_cast<uint8_t>(row.AppAddrIdentify + 0x80),
                       static_cast<uint8_t>(row.DevCode & 0xFF), data.data(),
                       static_cast<uint16_t>(data.size()));
}

std::vector<uint8_t> Instrument::HandleAppFrame(const std::vector<uint8_t>& frame) {
  const auto& row = options_.Device;
  Note(false, "rx " + HexBytes(frame));
  if (!HasUserApplication()) return {};
  if (frame[4] != (row.DevCode & 0xFF)) return {};
  const std::vector<uint8_t> data(frame.begin() + 5, frame.end() - 1);
  if (frame[3] == row.AppAddrIdentify) {
    if (IsRs485Bus()) {
      if (data != IdentifyRequestData(row, options_.BusAddress)) {
        Note(false, "identify request for another bus address: ignored");
        return {};
      }
    }
    return IdentifyReply();
  }
  if (frame[3] != row.AppAddrBoot) return {};
  if (IsRs485Bus() && (data.size() < 2 || WireU16(data, 0) != options_.BusAddress)) {
    Note(false, "enter-bootloader request for another bus address: ignored");
    return {};
  }
  if ((HandsOverStartBytes(row.DevCode) && !challengeIssued_) ||
      data != ExpectedBootRequestData()) {
    Note(true, "enter-bootloader request with wrong access data " + HexBytes(data) + " (expected " +
                   HexBytes(ExpectedBootRequestData()) + "): no answer");
    return {};
  }
  std::vector<uint8_t> replyData;
  if (IsRs485Bus()) AppendWireU16(replyData, options_.BusAddress);
  Note(false, "restarting into the bootloader");
  Restart(InstrumentMode::Bootloader);
  return BuildAppFrame(static_cast<uint8_t>(row.AppAddrBoot + 0x80),
                       static_cast<uint8_t>(row.DevCode & 0xFF), replyData.data(),
                       static_cast<uint16_t>(replyData.size()));
}

void Instrument::Restart(InstrumentMode mode) {
  mode_ = mode;
  received_.clear();
  erased_ = false;
  challengeIssued_ = false;
}

}  // namespace quorvel::sim
