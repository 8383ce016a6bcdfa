// Test surroundings of the programming engine: a fake clock, a fake serial
// link that records what is sent, a recording prompt, a scripted instrument
// (user application and bootloader) and a harness that drives a run in
// simulated time without sleeping.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "app/globals.h"
#include "app/prompt.h"
#include "recording_prompt.h"
#include "run/device_types.h"
#include "run/progress_values.h"
#include "run/run_engine.h"
#include "run/run_host.h"
#include "run/run_log.h"

namespace quorvel::test {

using Bytes = std::vector<uint8_t>;

class FakeClock final : public TickSource {
 public:
  uint32_t NowMs() override { return now; }
  uint32_t now = 1000;
};

// As the serial link component's adapter: RTS and DTR first, then the port
// closed, the transmit size enlarged and the port opened, all without a
// status report.
class FakeSerialLink final : public RunLink {
 public:
  TLinkKind Kind() const override { return TLinkKind::Serial; }
  void Open(const LinkOpening& opening) override {
    if (opening.Lines) {
      rts = opening.Lines->Rts;
      dtr = opening.Lines->Dtr;
    }
    ++suspended;
    SetCOMPort("");
    if (transmitSize < opening.TransmitSize) SetTransmitSize(opening.TransmitSize);
    SetParams(opening.PortName, opening.Line);
    --suspended;
  }
  void Close() override {
    ++suspended;
    SetPortNumber(0);
    --suspended;
  }
  bool Send(const uint8_t* bytes, uint32_t count) override {
    if (!open || refuseSends || count > transmitSize) return false;
    sent.emplace_back(bytes, bytes + count);
    timeOutAtSend.push_back(frameTimeOut);
    return true;
  }
  void ExpectAnswer(AnswerComplete complete) override {
    answerComplete = std::move(complete);
    ++answerChecks;
  }
  uint32_t FrameTimeOut() const override { return frameTimeOut; }
  void SetFrameTimeOut(uint32_t ms) override { frameTimeOut = ms; }
  void HoldReceive() override { ++holds; }
  void ReleaseReceive() override {
    if (holds > 0) --holds;
  }
  bool IsOpen() const override { return open; }
  TLinkStatus Status() const override { return status; }
  void RefreshStatus() override { Report(); }
  // As the serial component: a transmit size of up to 65535 bytes, changed
  // only while the port is closed.
  uint32_t TransmitSize() const override { return transmitSize; }
  void SetTransmitSize(uint32_t bytes) {
    calls.push_back("TransmitSize=" + std::to_string(bytes) + (open ? " (open)" : ""));
    transmitSize = std::min<uint32_t>(bytes, 65535);
  }
  void DiscardInput() override { ++discards; }
  // As the serial component: an automatic gap of autoGapMs at the line.
  FrameGapChoice FrameGap() const override { return frameGap; }
  void SetFrameGap(FrameGapChoice gap) override {
    frameGap = gap;
    gapChanges.push_back(gap);
  }
  bool ShortFrameGap() const override {
    return frameGap.automatic && autoGapMs < kStandardFrameGapMs;
  }
  void SetCOMPort(const std::string& name) {
    calls.push_back("COMPort=" + name);
    if (name.empty()) ClosePort();
  }
  void SetPortNumber(int number) {
    calls.push_back("PortNumber=" + std::to_string(number));
    if (number == 0) ClosePort();
  }
  void SetParams(const std::string& portName, const LineSettings& settings) {
    calls.push_back("SetParams=" + portName);
    params = settings;
    status = statusOnOpen;
    open = status == TLinkStatus::Connected;
    Report();
  }

  void ClosePort() {
    open = false;
    status = TLinkStatus::Disconnected;
    Report();
  }
  void Report() {
    if (suspended == 0 && onStatus) onStatus(status, StatusText(status));
  }

  std::vector<Bytes> sent;
  std::vector<uint32_t> timeOutAtSend;
  // How the engine told the link to recognise the answer to what it sends
  // next, and how often it did.
  AnswerComplete answerComplete;
  int answerChecks = 0;
  std::vector<std::string> calls;
  FrameGapChoice frameGap;
  uint16_t autoGapMs = kStandardFrameGapMs;
  std::vector<FrameGapChoice> gapChanges;
  uint32_t frameTimeOut = 8000;
  uint32_t transmitSize = 1024;
  int discards = 0;
  int holds = 0;
  int suspended = 0;
  bool open = false;
  bool refuseSends = false;
  TLinkStatus status = TLinkStatus::Disconnected;
  TLinkStatus statusOnOpen = TLinkStatus::Connected;
  bool rts = false;
  bool dtr = false;
  LineSettings params;
  std::function<void(TLinkStatus, std::string_view)> onStatus;
};

// As the USB link component's adapter: the device closed, its line set and
// the device of the index opened, all without a status report.
class FakeUsbLink final : public RunLink {
 public:
  TLinkKind Kind() const override { return TLinkKind::Usb; }
  void Open(const LinkOpening& opening) override {
    ++suspended;
    SetDeviceIndex(0);
    params = opening.Line;
    SetDeviceIndex(opening.PortIndex);
    --suspended;
  }
  void Close() override {
    ++suspended;
    SetDeviceIndex(0);
    --suspended;
  }
  bool Send(const uint8_t* bytes, uint32_t count) override {
    if (!open) return false;
    sent.emplace_back(bytes, bytes + count);
    return true;
  }
  uint32_t FrameTimeOut() const override { return frameTimeOut; }
  void SetFrameTimeOut(uint32_t ms) override { frameTimeOut = ms; }
  void HoldReceive() override {}
  void ReleaseReceive() override {}
  bool IsOpen() const override { return open; }
  TLinkStatus Status() const override { return status; }
  void RefreshStatus() override {}
  std::string FailureDetail() const override { return open ? std::string() : failureDetail; }
  void SetDeviceIndex(int index) {
    calls.push_back("DeviceIndex=" + std::to_string(index) + (suspended > 0 ? " (quiet)" : ""));
    open = index != 0 && statusOnOpen == TLinkStatus::Connected;
    status = index == 0 ? TLinkStatus::Disconnected : statusOnOpen;
  }

  std::vector<Bytes> sent;
  std::vector<std::string> calls;
  uint32_t frameTimeOut = 8000;
  int suspended = 0;
  bool open = false;
  TLinkStatus status = TLinkStatus::Disconnected;
  TLinkStatus statusOnOpen = TLinkStatus::Connected;
  // What the converter tells of a failed open beyond its status.
  std::string failureDetail;
  LineSettings params;
};

// A user-application frame: 0x68, LEN, address, command, data, 0x16.
Bytes AppFrame(uint8_t address, uint8_t command, const Bytes& data);
// CRC-16/MODBUS, computed here independently of the program's own.
uint16_t ModbusCrc(const uint8_t* bytes, size_t count);
void PutLe(Bytes& out, uint32_t value, int count);

// A scripted instrument: its user application (when it has one) answers
// identify and enter-bootloader frames; its Q-LOAD bootloader answers the
// 0xB0 commands, checks identity words and CRCs and keeps what was written
// (unscrambled) by address.
class TestInstrument {
 public:
  // Bootloader side.
  uint16_t serialPart1 = 4660;
  uint16_t serialPart2 = 66;
  std::string bootVersion = "1.05";
  uint16_t deviceCode = 12;
  uint16_t blockSize = 256;
  uint8_t protocolVersion = 1;
  bool inBootloader = true;
  // User-application side (when it starts outside the bootloader).
  uint8_t addrIdentify = 0x01;
  uint8_t addrBoot = 0x66;
  uint8_t appCommand = 0;
  Bytes identifyData;  // data of the identify reply
  Bytes bootReplyData;
  std::vector<Bytes> appRequests;

  std::map<uint32_t, Bytes> flash;
  std::vector<uint32_t> writeOrder;
  int erases = 0;
  int resets = 0;
  int crcErrors = 0;
  // Return a reply to override the normal answer; an empty optional keeps
  // the normal answer; an empty reply means silence.
  std::function<std::optional<Bytes>(const Bytes& command)> fault;

  // The answer to the bytes the engine sent (empty: no answer).
  Bytes Answer(const Bytes& sent);

  // The plain bytes written from `start` for `count` bytes (0xFF where
  // nothing was written).
  Bytes Read(uint32_t start, uint32_t count) const;

 private:
  Bytes AnswerBootloader(const Bytes& command);
  Bytes AnswerApplication(const Bytes& frame);
};

// One run: the engine with its surroundings, the device list, a temporary
// folder for data files, and simulated time.
class EngineHarness {
 public:
  EngineHarness();
  ~EngineHarness();

  // Row of the device list by its Name (and link kind when names repeat).
  int RowIndex(const std::string& name, TLinkKind linkKind = TLinkKind::Serial) const;
  // Writes an encoded data file; returns its path.
  std::string WriteQvl(const std::string& name, const Bytes& image, uint16_t devCode,
                       uint16_t variant, uint32_t start);
  // Writes an Intel HEX file with the image at `start`; returns its path.
  std::string WriteHex(const std::string& name, const Bytes& image, uint32_t start);

  // Starts a run for the row as a host does: reads the data file (a
  // refusal's message to the run's prompt) and puts the engine on the link
  // of the row's kind; attaches the progress sink when the run goes on.
  bool Start(int row, const std::string& file, const std::string& busAddress = "");

  // Delivers the instrument's answers to everything sent so far, until
  // nothing new is sent.
  void Pump();
  // Delivers one chunk as received bytes.
  void Feed(const Bytes& chunk);
  // Advances time by steps of 100 ms with the timer and the instrument's
  // answers until the run has come to its end or `ms` have passed; then, if
  // it has ended, closes the progress window. Returns elapsed ms.
  uint32_t RunFor(uint32_t ms);
  // Advances time by ms in one step and fires the timer once.
  void Tick(uint32_t ms);

  // The commands the engine sent with the given bootloader code.
  std::vector<Bytes> SentWithCode(uint8_t code) const;
  std::vector<uint32_t> WriteAddresses() const;
  bool LogHas(const std::string& line) const;
  int LogCount(const std::string& line) const;
  const std::vector<std::string>& Lines() const { return log.Lines(); }

  std::filesystem::path dir;
  FakeClock clock;
  FakeSerialLink serial;
  FakeUsbLink usb;
  // The run's own prompt, and the process-wide one nothing may reach.
  RecordingPrompt prompt;
  RecordingPrompt processPrompt;
  TDevAvailArray devices;
  RunLog log;
  RunProgress progress;
  TestInstrument instrument;
  bool autoAnswer = true;
  // Serial line settings of the runs started.
  LineSettings line{br038400, pbNone, dbEight, sbOne};
  // The version the runs' selection names as current (none: empty).
  std::string skipVersion;
  // Delivers the instrument's reply to a command sent (Pump); none: the
  // reply arrives as one chunk, at once.
  std::function<void(const Bytes& sent, const Bytes& reply)> deliver;
  // Called before each posted continuation runs (the events that waited).
  std::function<void()> onPendingEvents;
  std::deque<std::function<void()>> posted;
  std::optional<RunEngine> engine;
  // How the last run came to its end, as the host heard it (None: not yet),
  // and how many ends it heard.
  RunEnd ended = RunEnd::None;
  int endsHeard = 0;
  size_t answered = 0;
  int progressClosed = 0;
  // The bytes on the line as the engine reports them to its host.
  std::vector<std::pair<TrafficDirection, Bytes>> traffic;

 private:
  // A new engine on the link of the kind.
  void MakeEngine(TLinkKind linkKind);

  uint8_t savedLanguage_;
};

}  // namespace quorvel::test
