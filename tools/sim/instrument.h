// The simulated instrument: a VARNELD device's user application and its
// Q-LOAD bootloader as a state machine. It is fed the bytes that arrive on
// its line and answers with the bytes to send back; it does no I/O and reads
// no clock (the host program paces the answers at the line rate).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "run/device_types.h"
#include "sim/flash_memory.h"

namespace quorvel::sim {

enum class InstrumentMode : uint8_t { UserApplication, Bootloader };

// The next Count bootloader commands with code Command (0: any command) are
// answered 0x7F ErrorCode instead of being carried out; without a Count,
// every one of them is.
struct NegativeReplyFault {
  uint8_t Command = 0;
  std::optional<uint32_t> Count = 1;
  uint8_t ErrorCode = 4;
};

// The device stops dead for Milliseconds once its acknowledgement of the
// AfterWrite-th write (counting from 1; 0: never) has been sent.
struct WriteFreezeFault {
  uint32_t AfterWrite = 0;
  uint32_t Milliseconds = 0;
};

struct InstrumentFaults {
  std::vector<NegativeReplyFault> NegativeReplies;
  // The next n write acknowledgements carry another address than the one
  // written (the block is stored all the same).
  uint32_t WrongAddressAcks = 0;
  // Every received byte comes back first, as on a two-wire RS-485 bus.
  bool Echo = false;
  // Bytes that precede every answer (line noise); none of them can start a
  // reply or a frame.
  uint32_t NoiseBytes = 0;
  // Stop answering after this many answers (0: never answer at all).
  std::optional<uint32_t> AnswersBeforeSilence;
  // The first device-information reply reports BlockSize + 1.
  bool OddBlockSizeOnce = false;
  // The bootloader neither carries out nor answers the reset command.
  bool IgnoreReset = false;
  WriteFreezeFault FreezeAfterWrite;
  // The device drops off the line once its acknowledgement of this write
  // (counting from 1; 0: never) has been sent.
  uint32_t HangUpAfterWrite = 0;
};

struct InstrumentOptions {
  TDevAvailData Device;  // the device-type row the instrument plays
  // Start mode; unset: the user application when the row can be reached
  // through it, otherwise the bootloader.
  std::optional<InstrumentMode> StartMode;
  uint16_t SerialPart1 = 1234;
  uint16_t SerialPart2 = 5678;
  std::string BootVersion = "2.05";    // at most 8 characters reach the wire
  std::optional<uint16_t> DeviceCode;  // reported code; unset: the row's DevCode
  uint16_t BlockSize = 256;
  uint8_t ProtocolVersion = 1;
  std::string AppModel;    // empty: the row's Name
  std::string AppVersion;  // empty: "V" + the row's MinAppVersion, or "V1.0.0000"
  // The identify reply carries the model text only, no version text.
  bool NoAppVersion = false;
  uint16_t BusAddress = 1;  // RS-485 rows (device code 11)
  InstrumentFaults Faults;
};

// One chunk to send back.
struct InstrumentOutput {
  enum class Kind : uint8_t { Echo, Answer };
  Kind Type = Kind::Answer;
  std::vector<uint8_t> Bytes;
  // Number of bytes of the fed data up to and including the last byte of the
  // command this output answers (for an echo: all of them). The host times
  // the output from the moment that byte has crossed the line.
  size_t InputEnd = 0;
  // What the device does once the output has been sent (faults): stop for
  // this many milliseconds, reading and answering nothing meanwhile ...
  uint32_t FreezeMsAfter = 0;
  // ... or leave the line for good.
  bool HangUpAfter = false;
};

// What the instrument noticed, for the host's log.
struct InstrumentNote {
  bool Warning = false;
  std::string Text;
};

class Instrument {
 public:
  explicit Instrument(InstrumentOptions options);

  // Takes the bytes received (any chunking) and returns what to send back,
  // in order. The first `unheard` bytes arrived while the device was not
  // listening yet (too soon after its last answer): a command that starts
  // among them is dropped unanswered; they are echoed all the same.
  std::vector<InstrumentOutput> Feed(const uint8_t* data, size_t count, size_t unheard = 0);
  std::vector<InstrumentOutput> Feed(const std::vector<uint8_t>& data, size_t unheard = 0) {
    return Feed(data.data(), data.size(), unheard);
  }

  InstrumentMode Mode() const { return mode_; }
  // The row's user application can be reached (AppSwitch 1, a code with
  // user-application requests).
  bool HasUserApplication() const;
  const FlashMemory& Flash() const { return flash_; }
  uint32_t ResetCount() const { return resets_; }
  uint32_t AnswerCount() const { return answers_; }
  // Positive write replies sent.
  uint32_t WriteAckCount() const { return writeAcks_; }
  // Commands dropped because they started among unheard bytes.
  uint32_t UnheardCount() const { return unheardCommands_; }
  const InstrumentOptions& Options() const { return options_; }
  const std::string& AppModel() const { return appModel_; }
  const std::string& AppVersion() const { return appVersion_; }
  // The two bytes the last identify reply of a device code 6 carried.
  std::array<uint8_t, 2> Challenge() const { return challenge_; }

  // Notes since the last call (warnings always; the others describe every
  // command handled).
  std::vector<InstrumentNote> TakeNotes();

 private:
  // Parses the receive buffer; returns the answer to the first complete
  // command (empty when it gets none) and whether a command was consumed.
  bool TakeBootCommand(std::vector<uint8_t>& command);
  bool TakeAppFrame(std::vector<uint8_t>& frame);
  // Whether the message just taken off the front of received_ started
  // among unheard bytes; forgets ranges that lie behind it.
  bool TakenUnheard(size_t length);
  std::vector<uint8_t> HandleBootCommand(const std::vector<uint8_t>& command);
  std::vector<uint8_t> HandleAppFrame(const std::vector<uint8_t>& frame);
  std::vector<uint8_t> HandleWrite(const std::vector<uint8_t>& command);
  std::optional<uint8_t> TakeNegativeFault(uint8_t command);
  // Counts a positive write reply and attaches the faults due after it.
  void MarkWriteAck(InstrumentOutput& output);
  std::vector<uint8_t> IdentifyReply();
  std::vector<uint8_t> ExpectedBootRequestData() const;
  bool IsRs485Bus() const;
  void Restart(InstrumentMode mode);
  void Note(bool warning, std::string text);
  uint32_t WriteCommandLength() const;

  InstrumentOptions options_;
  std::string appModel_;
  std::string appVersion_;
  InstrumentMode mode_;
  FlashMemory flash_;
  std::vector<uint8_t> received_;
  // Bytes fed so far; received_ holds the last received_.size() of them.
  uint64_t fedCount_ = 0;
  // Ranges [first, end) of fed bytes that were not heard, oldest first.
  std::vector<std::pair<uint64_t, uint64_t>> unheard_;
  uint32_t unheardCommands_ = 0;
  bool erased_ = false;
  bool oddBlockSizeSent_ = false;
  bool challengeIssued_ = false;
  std::array<uint8_t, 2> challenge_{};
  uint32_t challengeSeed_ = 0x2F6Bu;
  uint32_t resets_ = 0;
  uint32_t answers_ = 0;
  uint32_t writeAcks_ = 0;
  std::vector<InstrumentNote> notes_;
};

// "B0 01 ..": bytes as upper-case hexadecimal pairs, shortened after max.
std::string HexBytes(const std::vector<uint8_t>& bytes, size_t max = 24);

}  // namespace quorvel::sim
