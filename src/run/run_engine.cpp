#include "run/run_engine.h"

#include <algorithm>
#include <bit>
#include <cstdio>

#include "app/globals.h"
#include "app/prompt.h"
#include "app/text_utils.h"
#include "run/log_texts.h"

namespace quorvel {
namespace {

// Response time the link waits for an answer: the erase takes long.
constexpr uint32_t kEraseResponseMs = 20000;
constexpr uint32_t kResponseMs = 8000;

// Timer rules: connect repeats, user-application repeats, waits for an
// answer, and the counters that give up.
constexpr uint32_t kConnectRepeatMs = 100;
constexpr uint32_t kAppRepeatMs = 500;
constexpr uint32_t kEraseWaitMs = 20000;
constexpr uint32_t kCommandWaitMs = 5000;
constexpr int32_t kConnectCountBoot = 1;
constexpr int32_t kConnectCountApp = 5;
constexpr int32_t kProtocolSwitchCount = 50;
constexpr int32_t kConnectGiveUp = 250;

// What a device and the link's threads may add to the line time of a command
// and its answer, for an answer that still counts as prompt.
constexpr uint32_t kPromptAnswerMarginMs = 500;

// The write command of the largest block a device can report.
constexpr uint32_t kLargestWriteCommand = 0xFFFE + kWriteCommandOverhead;

std::string HexAddress(uint32_t value, int digits) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%0*X", digits, value);
  return buffer;
}

// Serial and USB parameters as the "Comm port: " line shows them.
std::string LineSettingsLogText(const std::string& port, const LineSettings& s) {
  return port + "  " + LineSettingsCaption(s);
}

// The failure text as the final message shows it: no leading blanks and
// dashes, ended by a full stop.
std::string MessageDetail(const std::string& failure) {
  size_t start = failure.find_first_not_of(" -");
  std::string detail = start == std::string::npos ? std::string() : failure.substr(start);
  if (detail.empty() || detail.back() != '.') detail += '.';
  return detail;
}

// RAII bracket of the receive-hold counter.
class ReceiveHold {
 public:
  explicit ReceiveHold(RunLink* link) : link_(link) {
    if (link_ != nullptr) link_->HoldReceive();
  }
  ~ReceiveHold() {
    if (link_ != nullptr) link_->ReleaseReceive();
  }
  ReceiveHold(const ReceiveHold&) = delete;
  ReceiveHold& operator=(const ReceiveHold&) = delete;

 private:
  RunLink* link_;
};

}  // namespace

std::string_view RunCauseName(RunCause cause) {
  switch (cause) {
    case RunCause::Success:
      return "success";
    case RunCause::RestartNotConfirmed:
      return "restart-not-confirmed";
    case RunCause::UserStop:
      return "user-stop";
    case RunCause::NoConnection:
      return "no-connection";
    case RunCause::DeviceMismatch:
      return "device-mismatch";
    case RunCause::FileRefused:
      return "file-refused";
    case RunCause::LinkError:
      return "link-error";
    case RunCause::DeviceRefused:
      return "device-refused";
    case RunCause::Timeout:
      return "timeout";
  }
  return "unknown";
}

std::string FormatLogDateTime(const std::tm& time) {
  char buffer[96];
  std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d %02d:%02d:%02d", time.tm_year + 1900,
                time.tm_mon + 1, time.tm_mday, time.tm_hour, time.tm_min, time.tm_sec);
  return buffer;
}

std::optional<uint16_t> ParseBusAddress(std::string_view text) {
  if (text.empty() || text.size() > 5) return std::nullopt;
  uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<uint32_t>(c - '0');
  }
  if (value < 1 || value > 65534) return std::nullopt;
  return static_cast<uint16_t>(value);
}

RunEngine::RunEngine(const TDevAvailArray& devices, RunLog& log, RunSurroundings surroundings)
    : devices_(devices), log_(log), host_(std::move(surroundings)) {}

TLinkKind RunEngine::LinkKind() const {
  return host_.link.Kind();
}

uint32_t RunEngine::Now() {
  const uint32_t now = host_.ticks != nullptr ? host_.ticks->NowMs() : 0;
  // 0 stands for "nothing sent yet".
  return now == 0 ? 1 : now;
}

// Only the first end counts: it is the one that ended the run. The host
// hears it once it has taken the run on.
void RunEngine::EndRun(RunEnd end) {
  if (end == RunEnd::None || end_ != RunEnd::None) return;
  end_ = end;
  if (finishAwaited_ && host_.ended) host_.ended(end);
}

void RunEngine::Stop() {
  if (rec_.Running) EndRun(RunEnd::Stop);
}

void RunEngine::EmptyAccumulator() {
  ReceiveHold hold(&host_.link);
  appAccumulator_.Free();
  bootAccumulator_.clear();
}

std::optional<uint16_t> RunEngine::BusAddress() const {
  return ParseBusAddress(selection_.BusAddressText);
}

bool RunEngine::CanAddressApplication() const {
  return AddressesApplication(Row());
}

void RunEngine::AppendLog(int index, std::string_view argument) {
  log_.AppendLog(rec_.Running, index, argument);
}

void RunEngine::OnLinkStatus(TLinkStatus status, std::string_view text) {
  switch (LinkKind()) {
    case TLinkKind::Serial:
      AppendLog(kLogCommPort, text);
      break;
    case TLinkKind::Usb:
      AppendLog(kLogUsbDevice, text);
      break;
    case TLinkKind::None:
      return;
  }
  // A port that vanished (adapter unplugged, the other end gone) cannot
  // bring the run any further: waiting for the timer would only add half a
  // minute of retries before the same failure.
  if (!rec_.Running || rec_.Finishing || end_ != RunEnd::None) return;
  if (!host_.link.IsOpen() || status == TLinkStatus::PortNotFound ||
      status == TLinkStatus::PortError) {
    // The status names one of ten states; the link may know the real cause
    // (a network connection refused or closed by the server).
    linkProblem_ = host_.link.FailureDetail();
    if (!linkProblem_.empty()) {
      AppendLog(LinkKind() == TLinkKind::Usb ? kLogUsbDevice : kLogCommPort, linkProblem_);
    }
    LinkFailure(status);
    EndRun(RunEnd::Error);
  }
}

void RunEngine::Fail(RunCause cause, std::string failureText) {
  failureCause_ = cause;
  rec_.FailureText = std::move(failureText);
}

void RunEngine::LinkFailure(TLinkStatus status) {
  const bool usb = LinkKind() == TLinkKind::Usb;
  Fail(RunCause::LinkError, LogText(usb ? kLogUsbDevice : kLogCommPort) +
                                std::string(usb ? UsbStatusText(status) : StatusText(status)));
  failureStatus_ = status;
}

void RunEngine::SetProtocol(TProtocol protocol) {
  if (protocol == protocol_) return;
  EmptyAccumulator();
  protocol_ = protocol;
  rec_.ConnectingLogged = false;
  if (protocol == TProtocol::Boot) {
    rec_.BootConnected = false;
  } else {
    rec_.AppConnected = false;
  }
}

bool RunEngine::SendRaw(const uint8_t* bytes, uint32_t count) {
  RunLink& link = host_.link;
  const bool erase = count >= 2 && bytes[0] == kBootCommandPrefix && bytes[1] == kBootErase;
  const uint32_t responseMs = erase ? kEraseResponseMs : kResponseMs;
  if (link.FrameTimeOut() != responseMs) link.SetFrameTimeOut(responseMs);
  link.ExpectAnswer(ReplyWatch(protocol_, {bytes, count}).AsAnswerComplete());
  const bool accepted = link.Send(bytes, count);
  if (!accepted) return false;
  echo_.Expect({bytes, count});
  if (host_.traffic) host_.traffic(TrafficDirection::Sent, {bytes, count});
  return true;
}

// --- Start ---------------------------------------------------------------

bool RunEngine::StartRun(const RunSelection& selection,
                         std::shared_ptr<const DataFileContents> file) {
  if (rec_.Running || file == nullptr) return false;
  if (selection.DeviceIndex < 0 || selection.DeviceIndex >= static_cast<int>(devices_.size()) ||
      devices_[static_cast<size_t>(selection.DeviceIndex)].LinkKind != LinkKind()) {
    return false;
  }
  progress_ = nullptr;
  finishAwaited_ = false;
  end_ = RunEnd::None;
  file_ = std::move(file);
  selection_ = selection;
  row_ = devices_[static_cast<size_t>(selection.DeviceIndex)];
  if (protocol_ == TProtocol::App) {
    SetProtocol(TProtocol::Boot);
  } else {
    EmptyAccumulator();
  }
  log_.Clear();
  rec_ = RunRecord{};
  rec_.Running = true;
  ++runNumber_;
  stepping_ = false;
  echo_.Forget();
  failureCause_ = RunCause::NoConnection;
  failureStatus_.reset();
  linkProblem_.clear();

  AppendLog(kLogDate, FormatLogDateTime(selection_.StartTime));
  AppendLog(kLogDeviceType, selection_.DeviceText);
  if (LinkKind() == TLinkKind::Serial) {
    AppendLog(kLogCommPort, LineSettingsLogText(selection_.PortName, selection_.Serial));
  } else if (LinkKind() == TLinkKind::Usb) {
    AppendLog(kLogUsbDevice, selection_.PortName);
  }
  AppendLog(kLogDataFile, selection_.FileName);

  if (!ImageUsable()) return false;
  AppendLog(kLogDataSize, std::to_string(ImageSize()));

  OpenLink();
  if (LinkUnusable()) return false;
  host_.link.RefreshStatus();
  StepEngine();
  return true;
}

// The data file as the host read it: refused, without data, or made for
// another device type, it ends the run before the link is opened.
bool RunEngine::ImageUsable() {
  const DataFileContents& file = *file_;
  fileProblem_ = file.Problem;
  DataFileResult result = file.Result;
  // A file without data (a HEX file without data records) would only get
  // the instrument erased: it is refused like a badly formed file.
  if (file.Loaded() && file.Image.ImageSize() == 0) {
    result = DataFileResult::BadFormat;
    fileProblem_ = DataFileProblem{0, kArgNoData.str()};
  }
  if (result != DataFileResult::EncodedFileLoaded && result != DataFileResult::HexFileLoaded) {
    std::string cause = DataFileShortText(result);
    if (cause.empty()) cause = std::to_string(static_cast<int32_t>(result));
    AppendLog(kLogDataFileError, cause);
    Fail(RunCause::FileRefused, LogText(kLogDataFileError) + cause);
    StopBeforeProgress();
    return false;
  }
  const TDevAvailData& row = Row();
  if (result == DataFileResult::EncodedFileLoaded &&
      (file.DevCode != row.DevCode || file.Variant != row.Variant)) {
    std::string detail;
    if (file.DevCode == row.DevCode) {
      detail = kArgSelected.str() + " " + kArgAndDataFile.str();
    } else {
      detail = kArgSelected.str() + " (" + row.Name + ") " + kArgAndDataFile.str() + " (" +
               DeviceNameOf(file.DevCode) + ")";
    }
    AppendLog(kLogIncompatibleDevice, detail);
    Fail(RunCause::DeviceMismatch, LogText(kLogIncompatibleDevice) + detail);
    StopBeforeProgress();
    return false;
  }
  return true;
}

// A serial port runs at the user's settings, a USB device at its row's; the
// link takes the largest write command a device can ask for.
void RunEngine::OpenLink() {
  const TDevAvailData& row = Row();
  LinkOpening opening;
  opening.PortName = selection_.PortName;
  opening.PortIndex = selection_.PortIndex;
  if (LinkKind() == TLinkKind::Usb) {
    opening.Line = {row.BaudIndex, row.ParityIndex, row.DataBitsIndex, row.StopBitsIndex};
  } else {
    opening.Line = selection_.Serial;
    if (row.RtsState != 0 || row.DtrState != 0) {
      opening.Lines = LinkOpening::ControlLines{row.RtsState != 0, row.DtrState != 0};
    }
  }
  opening.TransmitSize = kLargestWriteCommand;
  line_ = opening.Line;
  host_.link.Open(opening);
}

// A link that did not open ends the run at once with its own status text
// ("Access denied", "Busy", "Port not found", ...): no instrument can answer
// through it.
bool RunEngine::LinkUnusable() {
  RunLink& link = host_.link;
  TLinkStatus status = link.Status();
  if (link.IsOpen() && status != TLinkStatus::AccessDenied && status != TLinkStatus::Busy)
    return false;
  // A closed link that reports a working status still cannot carry a run.
  if (status == TLinkStatus::Connected || status == TLinkStatus::Disconnected)
    status = TLinkStatus::PortError;
  const int logIndex = LinkKind() == TLinkKind::Usb ? kLogUsbDevice : kLogCommPort;
  AppendLog(logIndex, LinkKind() == TLinkKind::Usb ? UsbStatusText(status) : StatusText(status));
  // The status names one of ten states; the link may know the real cause.
  linkProblem_ = link.FailureDetail();
  if (!linkProblem_.empty()) AppendLog(logIndex, linkProblem_);
  LinkFailure(status);
  StopBeforeProgress();
  return true;
}

void RunEngine::StopBeforeProgress() {
  FinishRun();
}

void RunEngine::AttachProgress(ProgressSink* progress) {
  progress_ = progress;
  finishAwaited_ = progress != nullptr;
  // An end that came while the run was starting is heard now.
  if (finishAwaited_ && end_ != RunEnd::None && host_.ended) host_.ended(end_);
}

void RunEngine::Finish() {
  if (!finishAwaited_) return;
  finishAwaited_ = false;
  FinishRun();
}

// --- StepEngine ----------------------------------------------------------

void RunEngine::StepEngine() {
  if (!rec_.Running || rec_.Finishing) return;
  if (protocol_ == TProtocol::Boot) {
    StepBootloader();
  } else {
    StepApplication();
  }
}

bool RunEngine::BlockSizeUsable() const {
  return rec_.BlockSize != 0 && rec_.BlockSize % 2 == 0;
}

// The image buffer fits the device that answered last: same block size and
// same identity words (the scrambling key).
bool RunEngine::PreparedForDevice() const {
  return rec_.ImagePrepared && rec_.PreparedBlockSize == rec_.BlockSize &&
         rec_.PreparedKey == static_cast<uint16_t>(rec_.SerialPart1 + rec_.SerialPart2);
}

RunEngine::Command RunEngine::ChooseBootCommand(bool skippedBefore) {
  switch (rec_.Step) {
    case 0:
      return Command::Connect;
    case 1:
      return Command::ReadInfo;
    case 2:
      return BlockSizeUsable() ? Command::Erase : Command::ReadInfo;
    case 3:
      if (ImageSize() == 0) return Command::None;
      // The device information changed under us: ask again rather than
      // divide by a zero block size.
      if (!BlockSizeUsable()) return Command::ReadInfo;
      if (!PreparedForDevice()) PrepareImage();
      // Writing starts over after every erase; blocks skipped before do not
      // count for the new pass.
      rec_.BytesDone = 0;
      rec_.BlockAddress = rec_.BlockSize >= rec_.Total ? rec_.Base : rec_.Base + rec_.BlockSize;
      rec_.BlockAcked = false;
      rec_.AckedCount = 0;
      return Command::Write;
    case 4:
      if (!rec_.ImagePrepared) return Command::None;
      if (!BlockSizeUsable() || !PreparedForDevice()) return Command::ReadInfo;
      // The reset was sent and not answered: send it again, the image
      // stays counted once.
      if (rec_.BytesDone >= rec_.Total) return Command::Reset;
      if (skippedBefore || rec_.BlockAcked) {
        if (progress_ != nullptr) {
          if (progress_->Max() == 0) progress_->SetMax(rec_.Total);
          progress_->SetWritten(rec_.BytesDone);
        }
        rec_.BytesDone += rec_.BlockSize;
        rec_.BlockAddress += rec_.BlockSize;
        if (rec_.BlockAddress - rec_.Base >= rec_.Total) rec_.BlockAddress = rec_.Base;
        if (rec_.BytesDone < rec_.Total) {
          rec_.BlockAcked = false;
          return Command::Write;
        }
        // The progress counts a block when the next one goes out; the last
        // block has no next one, so the whole image is counted here.
        if (progress_ != nullptr) progress_->SetWritten(rec_.BytesDone);
        return Command::Reset;
      }
      return Command::Write;
    default:
      return Command::None;
  }
}

void RunEngine::StepBootloader() {
  StepBootloaderFrom(false);
}

void RunEngine::StepBootloaderFrom(bool skipped) {
  for (;;) {
    Command command = ChooseBootCommand(skipped);
    skipped = false;
    if (command == Command::Write && !BlockInBuffer()) command = Command::ReadInfo;
    if (command == Command::Write && rec_.BytesDone <= rec_.Total && BlockIsEmpty()) {
      AppendLog(kLogEmptyBlock, AddressRange());
      rec_.BlockAcked = false;
      rec_.Step = kBootWrite;
      if (progress_ != nullptr && host_.post) {
        // The next block after the events that wait: Stop stays usable
        // through a long run of empty blocks.
        stepping_ = true;
        host_.post([this, run = runNumber_] { ContinueAfterSkip(run); });
        return;
      }
      skipped = true;
      continue;
    }
    if (command != Command::None) SendBootCommand(command);
    return;
  }
}

void RunEngine::ContinueAfterSkip(uint64_t run) {
  // A continuation of a run that has ended since is void.
  if (run != runNumber_ || !stepping_) return;
  stepping_ = false;
  if (!rec_.Running || rec_.Finishing) return;
  if (end_ != RunEnd::None) {
    finishAwaited_ = false;
    FinishRun();
    return;
  }
  StepBootloaderFrom(true);
}

bool RunEngine::BlockInBuffer() const {
  const uint64_t offset = rec_.BlockAddress - rec_.Base;
  return offset + rec_.BlockSize <= rec_.ImageBuffer.size();
}

bool RunEngine::BlockIsEmpty() const {
  const uint16_t key = static_cast<uint16_t>(rec_.SerialPart1 + rec_.SerialPart2);
  const size_t offset = rec_.BlockAddress - rec_.Base;
  const uint8_t* block = rec_.ImageBuffer.data() + offset;
  for (uint32_t i = 0; i < rec_.BlockSize / 2u; ++i) {
    const uint16_t word = static_cast<uint16_t>(block[2 * i] | (block[2 * i + 1] << 8));
    if (static_cast<uint16_t>(word ^ key ^ i) != 0xFFFF) return false;
  }
  return rec_.BlockSize != 0;
}

void RunEngine::PrepareImage() {
  const FirmwareImage& image = file_->Image;
  const uint32_t size = image.ImageSize();
  const uint32_t blockSize = rec_.BlockSize;
  rec_.Total = size == 0 ? 0 : ((size - 1) / blockSize + 1) * blockSize;
  rec_.AddressDigits =
      rec_.Total == 0 ? 2 : static_cast<uint8_t>((std::bit_width(rec_.Total) - 1 + 4) / 4);
  rec_.Base = image.ImageStart;
  if (progress_ != nullptr) progress_->SetMax(rec_.Total);
  rec_.ImageBuffer.assign(rec_.Total, 0xFF);
  std::copy(image.ImageData.begin(), image.ImageData.end(), rec_.ImageBuffer.begin());
  const uint16_t key = static_cast<uint16_t>(rec_.SerialPart1 + rec_.SerialPart2);
  ScrambleImageWords(rec_.ImageBuffer, key, blockSize);
  rec_.ImagePrepared = true;
  rec_.PreparedBlockSize = rec_.BlockSize;
  rec_.PreparedKey = key;
  AppendLog(kLogBlockSize, std::to_string(rec_.BlockSize));
  AppendLog(kLogTotalSize, std::to_string(rec_.Total));
}

std::string RunEngine::AddressRange() const {
  const uint32_t end = rec_.BlockAddress + rec_.BlockSize - 1;
  return "0x" + HexAddress(rec_.BlockAddress, rec_.AddressDigits) + " - 0x" +
         HexAddress(end, rec_.AddressDigits);
}

void RunEngine::SendBootCommand(Command command) {
  uint8_t code = 0;
  switch (command) {
    case Command::Connect:
      code = kBootConnect;
      break;
    case Command::ReadInfo:
      code = kBootReadInfo;
      break;
    case Command::Erase:
      code = kBootErase;
      break;
    case Command::Write:
      code = kBootWrite;
      break;
    case Command::Reset:
      code = kBootReset;
      break;
    case Command::None:
      return;
  }
  EmptyAccumulator();
  rec_.Step = code;
  std::vector<uint8_t> bytes;
  if (command == Command::Erase) {
    bytes = BuildEraseCommand(rec_.SerialPart1, rec_.SerialPart2);
  } else if (command == Command::Write) {
    const std::span<const uint8_t> block(rec_.ImageBuffer.data() + (rec_.BlockAddress - rec_.Base),
                                         rec_.BlockSize);
    bytes = BuildWriteCommand(rec_.SerialPart1, rec_.SerialPart2, rec_.BlockAddress, block);
  } else {
    bytes = BuildBootCommand(code);
  }
  const auto count = static_cast<uint32_t>(bytes.size());
  NoteSent(SendRaw(bytes.data(), count), count);
  switch (command) {
    case Command::Connect:
      if (!rec_.ConnectingLogged) {
        AppendLog(kLogConnectingBoot, kArgPending);
        rec_.ConnectingLogged = true;
      }
      break;
    case Command::ReadInfo:
      AppendLog(kLogReadingInfo, kArgPending);
      break;
    case Command::Reset:
      AppendLog(kLogDeviceReset, kArgPending);
      break;
    case Command::Erase:
      AppendLog(kLogErasing, kArgPending);
      break;
    case Command::Write:
      AppendLog(kLogSendingBlock, AddressRange() + " " + std::string(kArgPending));
      if (progress_ != nullptr) {
        if (progress_->Max() == 0) progress_->SetMax(rec_.Total);
        progress_->SetSent(rec_.BytesDone);
      }
      break;
    case Command::None:
      break;
  }
}

// What the timer and the frame-gap rules need to know of the command just
// sent.
void RunEngine::NoteSent(bool accepted, uint32_t count) {
  const uint32_t now = Now();
  rec_.AnswerAwaited = accepted;
  rec_.LastSentCount = count;
  rec_.SentSoonAfterAnswer = rec_.DeviceAnswered && now - rec_.LastAnswerTick < kStandardFrameGapMs;
  rec_.LastSendTick = now;
}

void RunEngine::StepApplication() {
  const TDevAvailData& row = Row();
  if (!CanAddressApplication()) return;
  const uint16_t code = row.DevCode;
  const std::optional<uint16_t> busAddress = IsRs485Bus(row) ? BusAddress() : std::nullopt;
  std::vector<uint8_t> data;
  uint8_t address = 0;
  int logIndex = -1;
  if (rec_.Step == 0) {
    address = row.AppAddrIdentify;
    data = IdentifyRequestData(row, busAddress);
    if (!rec_.ConnectingLogged) {
      logIndex = kLogConnectingApp;
      rec_.ConnectingLogged = true;
    }
  } else if (rec_.AppConnected) {
    address = row.AppAddrBoot;
    data = BootRequestData(row, rec_.BootRequestData, busAddress);
    logIndex = kLogDeviceReset;
  } else {
    return;
  }
  // Larger data cannot be framed (the length field is 16 bits).
  if (data.size() > 0xFFFF - kAppFrameMinLength) data.resize(0xFFFF - kAppFrameMinLength);
  const std::vector<uint8_t> frame = BuildAppFrame(address, static_cast<uint8_t>(code), data.data(),
                                                   static_cast<uint16_t>(data.size()));
  const auto count = static_cast<uint32_t>(frame.size());
  NoteSent(SendRaw(frame.data(), count), count);
  rec_.Step = 1;
  if (logIndex >= 0) AppendLog(logIndex, kArgPending);
}

// --- Timer ----------------------------------------------------------------

void RunEngine::TimerTimer() {
  if (!rec_.Running || rec_.LastSendTick == 0) return;
  // Not while StepEngine lets other events run, nor once the run is ending.
  if (stepping_ || rec_.Finishing || end_ != RunEnd::None) return;
  const uint32_t now = Now();
  const uint32_t elapsed = now - rec_.LastSendTick;
  if (rec_.Step == 1) {
    const bool boot = protocol_ == TProtocol::Boot;
    if (elapsed < (boot ? kConnectRepeatMs : kAppRepeatMs)) return;
    MissedCommand();
    rec_.RetryCount += boot ? kConnectCountBoot : kConnectCountApp;
    if (rec_.RetryCount > kConnectGiveUp) {
      Timeout();
      return;
    }
    rec_.LastSendTick = now;
    // Rows whose user application cannot be addressed stay with the
    // bootloader until the counter gives up.
    if (rec_.RetryCount % kProtocolSwitchCount == 0 && (!boot || CanAddressApplication())) {
      SetProtocol(boot ? TProtocol::App : TProtocol::Boot);
    }
    if (protocol_ == TProtocol::App && rec_.AppConnected) {
      StepEngine();
    } else {
      rec_.Step = 0;
      StepEngine();
    }
    return;
  }
  if (protocol_ != TProtocol::Boot) return;
  if (elapsed < (rec_.Step == kBootErase ? kEraseWaitMs : kCommandWaitMs)) return;
  MissedCommand();
  rec_.RetryCount += 1;
  if (rec_.RetryCount > kErrorsInARow) {
    Timeout();
    return;
  }
  rec_.LastSendTick = now;
  rec_.Step = rec_.LastAck;
  // Whatever the device still sends for the command given up on belongs
  // to the earlier attempt, not to the one about to be sent.
  host_.link.DiscardInput();
  StepEngine();
}

// Every answer of the device: what it says about the frame gap (see
// MissedCommand), and that the device is there.
void RunEngine::NoteAnswer() {
  if (rec_.AnswerAwaited) {
    if (rec_.SentSoonAfterAnswer) rec_.SoonCommandAnswered = true;
    if (rec_.GapSuspected) {
      rec_.GapSuspected = false;
      if (AnsweredPromptly()) UseStandardFrameGap();
    }
  }
  rec_.DeviceAnswered = true;
  rec_.AnswerAwaited = false;
  rec_.LastAnswerTick = Now();
}

// Within the line time of the command sent last and its answer, and a
// margin: a device that had stopped and goes on answers the repetition
// when it wakes, seconds after it was sent, if at all.
bool RunEngine::AnsweredPromptly() {
  const uint32_t lineMs =
      TransmissionTimeMs(line_, rec_.LastSentCount + ExpectedReplyLength(rec_.Step));
  return Now() - rec_.LastSendTick <= lineMs + kPromptAnswerMarginMs;
}

// A device that has answered in this run and then lets a command go
// unanswered is there. A device that needs the standard pause misses a
// command sent within a few character times of its last answer, and does
// so every time; a device that stopped for a while misses whatever comes,
// its repetitions too.
// - The command came long after the device's last answer (a repetition):
//   the gap is not the cause.
// - No command sent that soon after an answer has been answered in this
//   run: the gap is the likely cause, the standard one is used at once.
// - Such commands were answered before: a stopped device looks the same so
//   far. The repetition tells: answered promptly, the gap was the cause;
//   missed too, or answered late, the device had stopped.
void RunEngine::MissedCommand() {
  if (!rec_.DeviceAnswered || !rec_.AnswerAwaited) return;
  if (!rec_.SentSoonAfterAnswer) {
    rec_.GapSuspected = false;
  } else if (rec_.SoonCommandAnswered) {
    rec_.GapSuspected = true;
  } else {
    UseStandardFrameGap();
  }
}

// A refusal of a command the device acknowledged before (a write after
// acknowledged writes) is the same sign: its start was cut off.
void RunEngine::RefusedCommand() {
  if (rec_.Step < 8 && (rec_.AckedCommands & (1u << rec_.Step)) != 0) UseStandardFrameGap();
}

// Once per run, and only where the link chose a short gap itself (a gap the
// user fixed is kept); the run then goes on by its usual retry rules.
void RunEngine::UseStandardFrameGap() {
  RunLink& link = host_.link;
  if (rec_.StandardGapForced || !link.ShortFrameGap()) return;
  rec_.StandardGapForced = true;
  if (!gapBeforeRun_) gapBeforeRun_ = link.FrameGap();
  link.SetFrameGap(FrameGapChoice::Standard());
  AppendLog(kLogFrameGap,
            std::to_string(kStandardFrameGapMs) + " ms" + kArgDeviceNotKeepingUp.str());
}

// Counts a refusal of the command with this code (for the write: of the
// block being written). True once the device has refused it kRefusalLimit
// times without acknowledging it in between: positive answers to other
// commands (the reconnect after a failed erase) do not make it a run that
// gets anywhere.
bool RunEngine::RefusedTooOften(uint8_t command) {
  if (command >= rec_.Refusals.size()) return false;
  if (command == kBootWrite && rec_.RefusedBlock != rec_.BlockAddress) {
    rec_.RefusedBlock = rec_.BlockAddress;
    rec_.Refusals[command] = 0;
  }
  return ++rec_.Refusals[command] >= kRefusalLimit;
}

// The run ends saying what the device refused and how often.
void RunEngine::EndRefused(uint8_t command) {
  const std::string refused = RefusedCommandText(command) + " " +
                              std::to_string(rec_.Refusals[command]) + " " + kArgTimes.str();
  AppendLog(kLogDeviceRefused, refused);
  Fail(RunCause::DeviceRefused, LogText(kLogDeviceRefused) + refused);
  EndRun(RunEnd::Error);
}

// What the device refused, as the line after "- The device refused " says it.
std::string RunEngine::RefusedCommandText(uint8_t command) const {
  switch (command) {
    case kBootConnect:
      return kArgRefusedConnect.str();
    case kBootReadInfo:
      return kArgRefusedReadInfo.str();
    case kBootErase:
      return kArgRefusedErase.str();
    case kBootWrite:
      return kArgRefusedWrite.str() + AddressRange();
    case kBootReset:
      return kArgRefusedReset.str();
    default:
      return std::to_string(command);
  }
}

void RunEngine::Timeout() {
  rec_.NoConnectionAdvice = true;
  AppendLog(kLogTimeout, "");
  Fail(rec_.BootEntered ? RunCause::Timeout : RunCause::NoConnection, kFailureTimeout.str());
  EndRun(RunEnd::Timeout);
}

// --- End of the run ---------------------------------------------------------

void RunEngine::FinishRun() {
  rec_.Finishing = true;
  if (progress_ != nullptr) {
    if (end_ == RunEnd::Stop) {
      AppendLog(kLogUserAbort, "");
      Fail(RunCause::UserStop, kFailureUserAbort.str());
    }
    progress_ = nullptr;
    finishAwaited_ = false;
  }
  host_.link.Close();
  // The standard gap was this run's remedy for this device; the next run
  // (perhaps another device) starts from the link's own choice again.
  if (gapBeforeRun_) {
    host_.link.SetFrameGap(*gapBeforeRun_);
    gapBeforeRun_.reset();
  }
  file_.reset();
  EmptyAccumulator();

  std::string name = DeviceNameOf(rec_.DeviceCode);
  if (name.empty() || SameTextNoCase(name, kUnknownDevice.pl) ||
      SameTextNoCase(name, kUnknownDevice.en)) {
    name = kResultGenericDevice.str();
  }
  if (rec_.SerialPart1 >= 1 && rec_.SerialPart1 <= 65534 &&
      !(rec_.DeviceCode >= 1 && rec_.DeviceCode <= 5)) {
    name.append(" ").append(kResultSerialWord.text()).append(" ");
    name.append(std::to_string(rec_.SerialPart1));
    if (rec_.SerialPart2 >= 1 && rec_.SerialPart2 <= 65534) {
      name.append("/").append(std::to_string(rec_.SerialPart2));
    }
  }

  // Success needs the reset's acknowledgement too: an image that is in the
  // device but whose restart was never confirmed may not run.
  const bool written = rec_.BytesDone != 0 && rec_.BytesDone >= rec_.Total;
  const bool success = written && rec_.ResetAcked;
  RunCause cause = failureCause_;
  std::string status;
  if (success) {
    cause = RunCause::Success;
    status = kResultSuccess.str();
  } else if (written) {
    cause = RunCause::RestartNotConfirmed;
    status = kResultUnconfirmed.str();
  } else {
    status = kResultFailure.str();
  }
  AppendLog(kLogResult, FormatText(kResultFormat.text(), {name, status}));
  if (written && !success) {
    if (!rec_.FailureText.empty()) status += "\r\n\r\n" + MessageDetail(rec_.FailureText);
    status += "\r\n\r\n" + kUnconfirmedAdvice.str();
  } else if (!success) {
    if (rec_.NoConnectionAdvice && !rec_.BootEntered) {
      status += "\r\n\r\n" + kNoConnectionAdvice.str();
    } else if (!rec_.FailureText.empty()) {
      status += "\r\n\r\n" + MessageDetail(rec_.FailureText);
    }
  }
  rec_ = RunRecord{};
  outcome_ = RunOutcome{};
  outcome_.Success = success;
  outcome_.Cause = cause;
  if (cause == RunCause::LinkError) {
    outcome_.LinkStatus = failureStatus_;
    outcome_.LinkProblem = linkProblem_;
  }
  if (cause == RunCause::FileRefused) outcome_.FileProblem = fileProblem_;
  outcome_.Message = FormatText(kResultFormat.text(), {name, status});
  outcome_.Icon = success ? kIconInformation : kIconWarning;
  stepping_ = false;
  if (host_.prompt != nullptr) {
    host_.prompt->MsgBox(outcome_.Message, std::string(ProgramName()), outcome_.Icon);
  }
}

}  // namespace quorvel
