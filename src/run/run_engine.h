// The programming engine: one run from the "Program" command to the final
// message. It has no thread of its own; the host calls it on one thread for
// the command (StartRun, with the data file the host has read), for every
// received chunk of its link (OnLinkReceive) and every 100 ms (TimerTimer).
// The run comes to its end with a RunEnd (a reply, a time-out, the link, or
// the host's Stop): the host hears it, closes its progress display and calls
// Finish, which finishes the run.
#pragma once

#include <array>
#include <cstdint>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "datafile/data_file.h"
#include "run/bus_frames.h"
#include "run/device_types.h"
#include "run/echo_filter.h"
#include "run/line_settings.h"
#include "run/run_host.h"
#include "run/run_log.h"

namespace quorvel {

// The state of one run; all zero at the start and at the end of every run.
struct RunRecord {
  bool Running = false;
  bool ConnectingLogged = false;
  bool BootConnected = false;
  bool BootEntered = false;
  bool AppConnected = false;
  // Bootloader: code of the last command sent (0 = none yet). User
  // application: 0 = identify not sent yet, 1 = a request was sent.
  uint8_t Step = 0;
  uint8_t LastAck = 0;
  bool LastWasError = false;
  uint16_t SerialPart1 = 0;
  uint16_t SerialPart2 = 0;
  uint16_t DeviceCode = 0;
  uint16_t BlockSize = 0;
  uint32_t BlockAddress = 0;
  uint32_t Total = 0;
  uint32_t Base = 0;
  uint32_t BytesDone = 0;
  uint8_t AddressDigits = 0;
  bool BlockAcked = false;
  // Addresses of the two blocks acknowledged last, newest first: a late
  // acknowledgement of either belongs to an earlier attempt.
  uint32_t AckedAddresses[2] = {0, 0};
  uint8_t AckedCount = 0;
  // The device acknowledged the reset after the whole image.
  bool ResetAcked = false;
  // The device has answered in this run (a bootloader reply or a frame of
  // the user application), and bit c: the bootloader command c was
  // acknowledged.
  bool DeviceAnswered = false;
  // The command sent last has not been answered yet.
  bool AnswerAwaited = false;
  uint8_t AckedCommands = 0;
  // Tick of the device's last answer.
  uint32_t LastAnswerTick = 0;
  // The command sent last followed the device's last answer within the
  // standard frame gap: soon enough for a device that needs that pause to
  // miss it.
  bool SentSoonAfterAnswer = false;
  // A command sent that soon has been answered in this run.
  bool SoonCommandAnswered = false;
  // Bytes of the command sent last.
  uint32_t LastSentCount = 0;
  // A command sent soon after an answer went unanswered although such
  // commands were answered before: the answer to its repetition decides
  // whether the frame gap is to blame.
  bool GapSuspected = false;
  // The link was switched to the standard frame gap for the rest of the run.
  bool StandardGapForced = false;
  // Refusals of each bootloader command (by its code) since the device last
  // acknowledged it; the write's count is of the block at RefusedBlock.
  std::array<uint8_t, 6> Refusals{};
  uint32_t RefusedBlock = 0;
  // The device's type code was not compared with the selected row.
  bool DeviceCheckSkipped = false;
  uint32_t LastSendTick = 0;
  int32_t RetryCount = 0;
  bool Finishing = false;
  bool NoConnectionAdvice = false;
  // Bootloader version text from the device information.
  std::string BootVersion;
  std::string FailureText;
  // The prepared (padded, scrambled) image of Total bytes; exists once
  // ImagePrepared is set.
  std::vector<uint8_t> ImageBuffer;
  bool ImagePrepared = false;
  // Block size and scrambling key the image buffer was prepared with.
  uint16_t PreparedBlockSize = 0;
  uint16_t PreparedKey = 0;
  // The firmware version the user application reported in its identify
  // reply (its texts held one), as it was read.
  std::optional<std::string> AppVersion;
  // The version was written to the log (once per run).
  bool AppVersionLogged = false;
  // The bytes a user application hands over in its identify reply (see
  // HandsOverStartBytes), sent back in front of the row's access code in the
  // enter-bootloader request. Empty until the first such reply of this run.
  std::vector<uint8_t> BootRequestData;
};

// What the user chose for a run (the main window's lists and fields).
struct RunSelection {
  // Item index of the device-type list: the row of the device list.
  int DeviceIndex = 0;
  // The item text of the device-type list.
  std::string DeviceText;
  // The port list's text (serial port name or USB device text) and item
  // index (the USB device index).
  std::string PortName;
  int PortIndex = 0;
  // The data file's name, for the log; the host reads the file.
  std::string FileName;
  // The bus address field (RS-485 rows).
  std::string BusAddressText;
  // Serial line settings of the port.
  LineSettings Serial;
  // Local date and time of the start, for the first log line.
  std::tm StartTime{};
  // The firmware version the user says is current (empty: none). An
  // instrument whose user application reports exactly this version in its
  // identify reply, before the bootloader was entered, is left as it is:
  // the run ends AlreadyCurrent without erasing anything. Whatever leaves a
  // doubt (no identify reply, no version in it, one that does not parse)
  // programs the instrument as usual.
  std::string SkipVersion;
};

// Why a run ended, for callers that act on it (exit codes, reports).
enum class RunCause : uint8_t {
  Success,              // every block and the reset were acknowledged
  RestartNotConfirmed,  // every block was acknowledged, the reset was not
  UserStop,
  NoConnection,    // the bootloader was never reached
  DeviceMismatch,  // another device type, bootloader version or firmware
  FileRefused,     // the data file could not be used
  LinkError,       // the port could not be opened, or was lost
  DeviceRefused,   // the device answered a command with an error
  Timeout,         // the device stopped answering after it was reached
  // The user application reported the version the user named as current:
  // nothing was erased or written. Not a success of programming.
  AlreadyCurrent,
};

// A short English name of a cause ("success", "restart-not-confirmed", ...).
std::string_view RunCauseName(RunCause cause);

// How the last run ended (after FinishRun).
struct RunOutcome {
  // Every block and the reset were acknowledged (a run that found the
  // instrument already current wrote nothing: false, Cause AlreadyCurrent).
  bool Success = false;
  RunCause Cause = RunCause::NoConnection;
  std::string Message;
  uint32_t Icon = 0;
  // The link status that ended the run (LinkError), otherwise none.
  std::optional<TLinkStatus> LinkStatus;
  // What the link knew of the cause beyond its status (the converter held
  // by another program, no permission on its terminal, ...); may be empty.
  std::string LinkProblem;
  // Why the data file was refused (FileRefused): its line and cause.
  DataFileProblem FileProblem;
};

// "yyyy-mm-dd hh:mm:ss".
std::string FormatLogDateTime(const std::tm& time);

// The bus address of an RS-485 device from the text of the address field:
// a whole decimal number from 1 to 65534, otherwise none.
std::optional<uint16_t> ParseBusAddress(std::string_view text);

// The write command around a block: prefix and code, identity words, address
// and CRC.
constexpr uint32_t kWriteCommandOverhead = 2 + 4 + 4 + 2;

class RunEngine {
 public:
  // devices: the host's device list. StartRun copies the selected row into
  // the run; the list itself is only read, never written, so sessions may
  // share it. The engine's runs use the link of its surroundings: rows of
  // that link's kind.
  RunEngine(const TDevAvailArray& devices, RunLog& log, RunSurroundings surroundings);

  // The "Program" command up to the first command sent, with the data file
  // as the host read it (ReadFileForRuns; a refused file ends the run with
  // its cause). True when the run goes on: the host then shows its progress
  // window, calls AttachProgress, and calls Finish once the run has ended.
  // False when the run is already over (file, compatibility or busy port:
  // the final message was shown), a run is in progress, or the row is not
  // one of this engine's link.
  bool StartRun(const RunSelection& selection, std::shared_ptr<const DataFileContents> file);

  // Registers the progress window of the run just started; from now on the
  // host hears the run's end (at once when it has already come).
  void AttachProgress(ProgressSink* progress);

  // The Stop button: the run ends as a stopped run.
  void Stop();

  // The host has taken the end (its progress window is closed): finishes
  // the run unless the engine has already done so itself.
  void Finish();

  // How the run came to its end; None while it goes on.
  RunEnd Ending() const { return end_; }

  // Decides and sends the next command.
  void StepEngine();

  // One received chunk of the active link.
  void OnLinkReceive(const uint8_t* bytes, uint32_t count);

  // Every 100 ms, for as long as the host lives.
  void TimerTimer();

  // Switches the protocol the engine speaks and expects.
  void SetProtocol(TProtocol protocol);

  // Writes bytes on the link; true when the link accepted them.
  bool SendRaw(const uint8_t* bytes, uint32_t count);

  // Ends the run: closes the link, writes the result and shows the message.
  void FinishRun();

  // A log line; written only while a run is in progress.
  void AppendLog(int index, std::string_view argument);

  // The status event of the link: the "Comm port: " or "USB device: " line
  // with the status text. A link that is lost during a run ends the run.
  void OnLinkStatus(TLinkStatus status, std::string_view text);

  const RunRecord& Record() const { return rec_; }
  bool Running() const { return rec_.Running; }
  TProtocol Protocol() const { return protocol_; }
  const RunOutcome& LastOutcome() const { return outcome_; }
  RunLink& Link() const { return host_.link; }

 private:
  enum class Command { None, Connect, ReadInfo, Erase, Write, Reset };

  // Errors in a row (negative replies, wrongly addressed acknowledgements,
  // unusable device information, commands the timer repeated) after which
  // the run gives up.
  static constexpr int32_t kErrorsInARow = 5;
  // Refusals of one command (of one block, for the write) after which the
  // run gives up, whatever the device acknowledged in between.
  static constexpr uint8_t kRefusalLimit = 3;

  const TDevAvailData& Row() const { return row_; }
  TLinkKind LinkKind() const;
  uint32_t Now();
  void EndRun(RunEnd end);
  void EmptyAccumulator();
  bool CanAddressApplication() const;
  std::optional<uint16_t> BusAddress() const;

  // Start of a run, split up.
  bool ImageUsable();
  void OpenLink();
  bool LinkUnusable();
  void StopBeforeProgress();

  // StepEngine of each protocol.
  void StepBootloader();
  void StepBootloaderFrom(bool skippedBefore);
  void ContinueAfterSkip(uint64_t run);
  void StepApplication();
  Command ChooseBootCommand(bool skippedBefore);
  bool BlockSizeUsable() const;
  bool PreparedForDevice() const;
  void PrepareImage();
  bool BlockInBuffer() const;
  bool BlockIsEmpty() const;
  void SendBootCommand(Command command);
  void NoteSent(bool accepted, uint32_t count);
  std::string AddressRange() const;

  // Reply handling.
  void ReceiveAppFrame(RunLink& link, const uint8_t* bytes, uint32_t count);
  void ReceiveBootBytes(RunLink& link, const uint8_t* bytes, uint32_t count);
  void HandleAppFrame(std::span<const uint8_t> frame);
  bool EndIfAlreadyCurrent(const std::optional<std::string>& version);
  bool HandleBootReply(std::span<const uint8_t> reply, bool negative);
  void HandleDeviceInfo(std::span<const uint8_t> reply);
  bool HandleWriteAck(std::span<const uint8_t> reply);
  void UnusableBlockSize();
  size_t StaleReplyLength(std::span<const uint8_t> bytes) const;
  void Timeout();
  void NoteAnswer();
  bool AnsweredPromptly();
  void MissedCommand();
  void RefusedCommand();
  void UseStandardFrameGap();
  bool RefusedTooOften(uint8_t command);
  void EndRefused(uint8_t command);
  std::string RefusedCommandText(uint8_t command) const;
  void Fail(RunCause cause, std::string failureText);
  void LinkFailure(TLinkStatus status);

  const TDevAvailArray& devices_;
  RunLog& log_;
  RunSurroundings host_;
  RunSelection selection_;
  // The run's copy of the selected row of devices_.
  TDevAvailData row_;
  // The data file of the run; released when the run ends.
  std::shared_ptr<const DataFileContents> file_;
  uint32_t ImageSize() const { return file_ ? file_->Image.ImageSize() : 0; }
  RunRecord rec_;
  TProtocol protocol_ = TProtocol::Boot;
  // The user-application side keeps its bytes in the frame accumulator, the
  // bootloader side in the reply accumulator; "empty" empties both.
  ByteBlock appAccumulator_;
  std::vector<uint8_t> bootAccumulator_;
  // Drops the echo of the last bytes the link accepted.
  EchoFilter echo_;
  // The line the run's link was opened with.
  LineSettings line_;
  // The link's frame gap before the run switched it to the standard one;
  // given back when the run ends.
  std::optional<FrameGapChoice> gapBeforeRun_;
  ProgressSink* progress_ = nullptr;
  // The host has taken the run on (AttachProgress) and its Finish still has
  // to finish the run.
  bool finishAwaited_ = false;
  // How the run came to its end; the first end counts.
  RunEnd end_ = RunEnd::None;
  // StepEngine is skipping empty blocks: the next block waits in a posted
  // continuation of run number runNumber_.
  bool stepping_ = false;
  uint64_t runNumber_ = 0;
  RunOutcome outcome_;
  // Cause of the failure FailureText describes.
  RunCause failureCause_ = RunCause::NoConnection;
  std::optional<TLinkStatus> failureStatus_;
  std::string linkProblem_;
  DataFileProblem fileProblem_;
};

}  // namespace quorvel
