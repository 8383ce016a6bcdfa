// OnLinkReceive: received bytes become user-application frames or bootloader
// replies, which move the run on or end it.
#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/utilities.h"
#include "run/log_texts.h"
#include "run/run_engine.h"

namespace quorvel {
namespace {

constexpr size_t kAppAddressOffset = 3;
constexpr size_t kAppCommandOffset = 4;
constexpr size_t kAppDataOffset = 5;

}  // namespace

void RunEngine::OnLinkReceive(const uint8_t* bytes, uint32_t count) {
  RunLink& link = host_.link;
  if (!link.IsOpen()) return;
  if (host_.traffic && bytes != nullptr && count > 0) {
    host_.traffic(TrafficDirection::Received, {bytes, count});
  }
  // Outside a run nothing is awaited: a stray chunk must not start a dialogue.
  if (!rec_.Running || bytes == nullptr) return;
  std::vector<uint8_t> received;
  received.reserve(count);
  echo_.Filter({bytes, count}, protocol_ == TProtocol::App ? StartsAppFrame : StartsBootReply,
               received);
  if (received.empty()) return;
  const auto size = static_cast<uint32_t>(received.size());
  if (protocol_ == TProtocol::App) {
    ReceiveAppFrame(link, received.data(), size);
  } else {
    ReceiveBootBytes(link, received.data(), size);
  }
}

void RunEngine::ReceiveAppFrame(RunLink& link, const uint8_t* bytes, uint32_t count) {
  if (Row().AppSwitch != 1) return;
  std::vector<uint8_t> frame;
  link.HoldReceive();
  const uint32_t length = ExtractAppFrame(appAccumulator_, bytes, count);
  if (length != 0) {
    frame.resize(length);
    if (!appAccumulator_.TakeFront(length, frame.data())) frame.clear();
  }
  link.ReleaseReceive();
  if (!link.IsOpen() || frame.size() < kAppFrameMinLength) return;
  HandleAppFrame(frame);
}

void RunEngine::HandleAppFrame(std::span<const uint8_t> frame) {
  const TDevAvailData& row = Row();
  if (row.AppSwitch != 1 || frame[kAppCommandOffset] != static_cast<uint8_t>(row.DevCode)) {
    EmptyAccumulator();
    StepEngine();
    return;
  }
  if (!rec_.AppConnected) {
    AppendLog(kLogConnected, kArgDeviceProtocol.text());
    rec_.AppConnected = true;
  }
  NoteAnswer();
  const uint8_t address = frame[kAppAddressOffset];
  const bool identifyReply = address == static_cast<uint8_t>(row.AppAddrIdentify + 0x80);
  const bool bootReply = address == static_cast<uint8_t>(row.AppAddrBoot + 0x80);
  const uint16_t code = row.DevCode;
  // On an RS-485 bus a frame is this instrument's only when it carries the
  // run's own bus address.
  const std::optional<uint16_t> busAddress = IsRs485Bus(row) ? BusAddress() : std::nullopt;
  const bool fromThisInstrument =
      !IsRs485Bus(row) || (busAddress && frame.size() > kAppDataOffset + 1 &&
                           WireU16(frame, kAppDataOffset) == *busAddress);
  std::optional<std::string> version;
  if (identifyReply && fromThisInstrument) {
    version = AppVersionFromIdentify(frame, IdentifyTextOffset(row));
    if (version) rec_.AppVersion = version;
    if (EndIfAlreadyCurrent(version)) return;
  }
  std::optional<std::string> badVersion;
  // The lowest version that can be switched remotely is known for these.
  const bool minVersionChecked = code == 2 || IsRs485Bus(row);
  if (version && minVersionChecked && CompareVerArray(*version, row.MinAppVersion) < 0) {
    badVersion = *version;
  }
  bool entered = false;
  if (IsBusDeviceCode(code)) {
    entered = IsRs485Bus(row) && fromThisInstrument && bootReply;
  } else if (HandsOverStartBytes(code) && frame.size() > kAppDataOffset + 1) {
    // The device's bytes go in front of the row's access code; a later
    // reply replaces them. They belong to this run, not to the row.
    rec_.BootRequestData.assign(frame.begin() + kAppDataOffset,
                                frame.begin() + kAppDataOffset + kStartBytesCount);
  }
  if (EntersBootloaderOnAnswer(code)) entered = bootReply;
  if (entered) {
    AppendLog(kLogDeviceReset, kArgOk);
    SetProtocol(TProtocol::Boot);
    rec_.Step = 0;
  }
  EmptyAccumulator();
  if (badVersion) {
    const std::string detail = *badVersion + ", " + kArgRequiredVersion.str() + row.MinAppVersion;
    AppendLog(kLogBadFirmware, detail);
    Fail(RunCause::DeviceMismatch, LogText(kLogBadFirmware) + detail);
    if (!rec_.BootEntered) rec_.NoConnectionAdvice = true;
    EndRun(RunEnd::Error);
  } else {
    StepEngine();
  }
}

// With a version named as current (SkipVersion): whether the version the
// identify reply held is exactly that one, so that the run ends here, before
// the user application is asked to restart and anything is erased. Once
// the bootloader has been entered in this run the instrument may be erased
// already: it is programmed whatever it reports. The version, or the lack of
// one, is written to the log once either way. True when the run ended.
bool RunEngine::EndIfAlreadyCurrent(const std::optional<std::string>& version) {
  const std::string& current = selection_.SkipVersion;
  if (current.empty()) return false;
  const bool same = version && !rec_.BootEntered && VersionParses(*version) &&
                    CompareVerArray(*version, current) == 0;
  if (same) {
    AppendLog(kLogAlreadyCurrent, *version);
    rec_.AppVersionLogged = true;
    EmptyAccumulator();
    EndRun(RunEnd::AlreadyCurrent);
    return true;
  }
  if (!rec_.AppVersionLogged) {
    AppendLog(kLogAppVersion, version && !version->empty() ? *version : kArgNoVersion.str());
    rec_.AppVersionLogged = true;
  }
  return false;
}

void RunEngine::ReceiveBootBytes(RunLink& link, const uint8_t* bytes, uint32_t count) {
  link.HoldReceive();
  const uint32_t expected = ExpectedReplyLength(rec_.Step);
  if (expected == 0) {
    // No command awaits an answer: nothing to collect.
    bootAccumulator_.clear();
    rec_.LastWasError = false;
    link.ReleaseReceive();
    return;
  }
  bootAccumulator_.insert(bootAccumulator_.end(), bytes, bytes + count);
  for (;;) {
    bootAccumulator_.erase(
        bootAccumulator_.begin(),
        bootAccumulator_.begin() + static_cast<std::ptrdiff_t>(BootReplyStart(bootAccumulator_)));
    const size_t stale = StaleReplyLength(bootAccumulator_);
    if (stale == 0) break;
    if (stale > bootAccumulator_.size()) {
      // The rest of a late acknowledgement is still on its way.
      link.ReleaseReceive();
      return;
    }
    // A late answer to an earlier attempt: dropped without a trace, the
    // answer awaited may follow it in the same chunk.
    bootAccumulator_.erase(bootAccumulator_.begin(), bootAccumulator_.begin() + stale);
  }
  const uint32_t length = CompleteBootReplyLength(bootAccumulator_, rec_.Step);
  if (length == 0) {
    rec_.LastWasError = false;
    link.ReleaseReceive();
    return;
  }
  const std::vector<uint8_t> reply(bootAccumulator_.begin(), bootAccumulator_.begin() + length);
  const bool error = HandleBootReply(reply, reply[0] == kBootNegative);
  EmptyAccumulator();
  rec_.LastWasError = error;
  link.ReleaseReceive();
}

// A write acknowledgement that arrives while the engine waits for another
// block's (of a block already acknowledged, after a stall made the engine
// send it again) or for the reset's answer belongs to an earlier attempt.
// Returns its length (more than `bytes` holds while it is incomplete), or 0
// when the bytes do not start such a reply.
size_t RunEngine::StaleReplyLength(std::span<const uint8_t> bytes) const {
  constexpr size_t kWriteAckLength = 6;
  if (bytes.size() < 2 || bytes[0] != kBootPositive || bytes[1] != kBootWrite) return 0;
  if (rec_.Step == kBootReset) return kWriteAckLength;
  if (rec_.Step != kBootWrite) return 0;
  if (bytes.size() < kWriteAckLength) return 0;  // complete soon; judged then
  const uint32_t address = WireU32(bytes, 2);
  if (address == rec_.BlockAddress) return 0;
  for (uint8_t i = 0; i < rec_.AckedCount; ++i) {
    if (rec_.AckedAddresses[i] == address) return kWriteAckLength;
  }
  return 0;
}

bool RunEngine::HandleBootReply(std::span<const uint8_t> reply, bool negative) {
  const uint8_t code = reply[1];
  // A positive reply too short for its own code (say 0x80 0x02 where two
  // bytes were expected) carries no usable content: it is dropped.
  if (!negative && reply.size() < ExpectedReplyLength(code)) {
    return false;
  }
  if (!rec_.BootConnected && (negative || code != 0)) {
    AppendLog(kLogConnected, kArgBootProtocol.text());
    rec_.BootConnected = true;
  }
  if (negative) {
    RefusedCommand();
    // A refusal counts once per command sent: further negative replies to
    // the same command are only errors in a row.
    const bool answersCommand = rec_.AnswerAwaited;
    NoteAnswer();
    if (!rec_.LastWasError) rec_.RetryCount = 0;
    rec_.RetryCount += 1;
    const bool retried = code == kBootErrorErase || code == kBootErrorWrite;
    if (retried && answersCommand && RefusedTooOften(rec_.Step)) {
      AppendLog(code == kBootErrorErase ? kLogErasing : kLogWritingBlock, kArgError.text());
      EndRefused(rec_.Step);
      return true;
    }
    if (rec_.RetryCount > kErrorsInARow) {
      Timeout();
      return true;
    }
    if (code == kBootErrorErase) {
      rec_.Step = kBootConnect;
      AppendLog(kLogErasing, kArgError.text());
    } else if (code == kBootErrorWrite) {
      if (rec_.BytesDone == 0) rec_.Step = kBootErase;
      AppendLog(kLogWritingBlock, kArgError.text());
    } else {
      AppendLog(kLogUnknownError, std::to_string(code));
      Fail(RunCause::DeviceRefused, LogText(kLogUnknownError) + std::to_string(code));
      EndRun(RunEnd::Error);
    }
    return true;
  }

  if (!rec_.LastWasError) rec_.RetryCount = 0;
  rec_.LastAck = code;
  NoteAnswer();
  if (code < 8) rec_.AckedCommands |= static_cast<uint8_t>(1u << code);
  // The write's refusals are of one block: only that block's
  // acknowledgement clears them (HandleWriteAck).
  if (code < rec_.Refusals.size() && code != kBootWrite) rec_.Refusals[code] = 0;
  bool error = false;
  switch (code) {
    case kBootConnect:
      rec_.BootEntered = true;
      AppendLog(kLogEnteringBoot, kArgOk);
      break;
    case kBootReadInfo:
      HandleDeviceInfo(reply);
      error = !BlockSizeUsable();
      if (error && end_ == RunEnd::None) UnusableBlockSize();
      break;
    case kBootErase:
      AppendLog(kLogErasing, kArgOk);
      break;
    case kBootWrite:
      error = !HandleWriteAck(reply);
      break;
    case kBootReset:
      AppendLog(kLogDeviceReset, kArgOk);
      break;
    default:
      break;
  }
  if (end_ == RunEnd::None && rec_.Step >= 1 && rec_.Step <= 4) StepEngine();
  if (code == kBootReset && rec_.Step == kBootReset && rec_.BytesDone == rec_.Total &&
      rec_.Running) {
    rec_.ResetAcked = true;
    EndRun(RunEnd::Success);
  }
  return error;
}

void RunEngine::HandleDeviceInfo(std::span<const uint8_t> reply) {
  const std::optional<DeviceInfo> info = ParseDeviceInfo(reply);
  if (!info) return;
  rec_.SerialPart1 = info->SerialPart1;
  rec_.SerialPart2 = info->SerialPart2;
  rec_.BootVersion = info->BootVersion;
  rec_.DeviceCode = info->DeviceCode;
  rec_.BlockSize = info->BlockSize;
  const std::string deviceName = DeviceNameOf(rec_.DeviceCode);
  AppendLog(kLogDeviceInfo, std::to_string(rec_.DeviceCode) + "  " + deviceName + "  " +
                                std::to_string(rec_.SerialPart1) + "/" +
                                std::to_string(rec_.SerialPart2) + "  " + rec_.BootVersion);
  const TDevAvailData& row = Row();
  rec_.DeviceCheckSkipped =
      rec_.DeviceCode == 65535 || (rec_.DeviceCode >= 1 && rec_.DeviceCode <= 5);
  if (rec_.DeviceCheckSkipped) {
    // Nothing confirms that the instrument is of the selected type: the
    // log says so rather than let the run pass for a checked one.
    const std::string code =
        std::to_string(rec_.DeviceCode) + (deviceName.empty() ? "" : " (" + deviceName + ")");
    AppendLog(kLogDeviceNotChecked, FormatText(kArgNotCompared.text(), {code, row.Name}));
  } else if (rec_.DeviceCode != row.DevCode) {
    const std::string detail = FormatText(kArgSelectedProgrammed.text(), {row.Name, deviceName});
    AppendLog(kLogIncompatibleDevice, detail);
    Fail(RunCause::DeviceMismatch, LogText(kLogIncompatibleDevice) + detail);
    EndRun(RunEnd::Error);
  }
  if (info->ProtocolVersion > kSupportedBootProtocol) {
    const std::string detail = std::to_string(info->ProtocolVersion) + ", " +
                               kArgSupportedVersion.str() + std::to_string(kSupportedBootProtocol);
    AppendLog(kLogIncompatibleBoot, detail);
    Fail(RunCause::DeviceMismatch, LogText(kLogIncompatibleBoot) + detail + "\r\n" +
                                       kArgUpdate.str() + std::string(ProgramName()));
    EndRun(RunEnd::Error);
  }
  // A block the link cannot carry in one frame would be cut and refused by
  // the device's CRC check until the run gives up.
  const RunLink& link = host_.link;
  if (BlockSizeUsable() && uint64_t{rec_.BlockSize} + kWriteCommandOverhead > link.TransmitSize()) {
    const std::string detail = std::to_string(rec_.BlockSize) + ", " + kArgBlockTooLarge.str() +
                               std::to_string(link.TransmitSize() - kWriteCommandOverhead);
    AppendLog(kLogBlockSize, detail);
    Fail(RunCause::DeviceMismatch, LogText(kLogBlockSize) + detail);
    EndRun(RunEnd::Error);
  }
}

// The device information is asked for again after an unusable block size;
// a device that keeps reporting one ends the run as one that keeps answering
// with errors does, instead of being asked for ever.
void RunEngine::UnusableBlockSize() {
  rec_.RetryCount += 1;
  if (rec_.RetryCount <= kErrorsInARow) return;
  const std::string detail = std::to_string(rec_.BlockSize) + ", " + kArgBlockUnusable.str();
  AppendLog(kLogBlockSize, detail);
  Fail(RunCause::DeviceMismatch, LogText(kLogBlockSize) + detail);
  EndRun(RunEnd::Error);
}

bool RunEngine::HandleWriteAck(std::span<const uint8_t> reply) {
  rec_.BlockAcked = WireU32(reply, 2) == rec_.BlockAddress;
  if (rec_.BlockAcked) {
    if (rec_.BlockAddress == rec_.RefusedBlock) rec_.Refusals[kBootWrite] = 0;
    rec_.AckedAddresses[1] = rec_.AckedAddresses[0];
    rec_.AckedAddresses[0] = rec_.BlockAddress;
    if (rec_.AckedCount < 2) ++rec_.AckedCount;
    AppendLog(kLogWritingBlock, AddressRange() + " " + std::string(kArgOk));
    if (rec_.BytesDone + rec_.BlockSize == rec_.Total) {
      AppendLog(kLogBytesWritten, std::to_string(rec_.Total) + " / " + std::to_string(rec_.Total));
    }
    return true;
  }
  AppendLog(kLogWritingBlock, kArgError.str() + ", " + kArgBadBlockAddress.str());
  rec_.RetryCount += 1;
  if (rec_.RetryCount > kErrorsInARow) Timeout();
  return false;
}

}  // namespace quorvel
