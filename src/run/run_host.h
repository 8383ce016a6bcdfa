// What the programming engine is given by its host (the window, the
// command-line tool, the tests): the links, a millisecond tick, the progress
// of the run and a way to let pending events run. The engine never reads a
// clock, a widget or a port itself.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/prompt.h"
#include "run/line_settings.h"

namespace quorvel {

// The quiet period that ends a received chunk and spaces the frames sent:
// chosen by the link from its line (automatic: a few character times, see
// AutoQuietPeriodMs) or fixed in ms ("standard" is kStandardQuietPeriodMs).
struct FrameGapChoice {
  bool automatic = true;
  uint16_t ms = 0;  // fixed period, 1..1000; unused when automatic

  static FrameGapChoice Auto() { return {}; }
  static FrameGapChoice Fixed(uint16_t ms) { return {false, ms}; }
  static FrameGapChoice Standard() { return Fixed(kStandardQuietPeriodMs); }
  bool operator==(const FrameGapChoice&) const = default;
};

// The link contract both link components fulfil, as far as a run uses it.
class RunLink {
 public:
  virtual ~RunLink() = default;

  // Queues bytes for sending; false when they were not accepted.
  virtual bool Send(const uint8_t* bytes, uint32_t count) = 0;

  // Fixed response time-out per frame, ms.
  virtual uint32_t FrameTimeOut() const = 0;
  virtual void SetFrameTimeOut(uint32_t ms) = 0;

  // Receive-hold counter: while above 0 the link delivers no received chunk.
  // ReleaseReceive never goes below 0.
  virtual void HoldReceive() = 0;
  virtual void ReleaseReceive() = 0;

  // Serial: a port is selected and open. USB: the device is open.
  virtual bool IsOpen() const = 0;

  // Last status code (0..9).
  virtual int Status() const = 0;

  // Reports the current status again through the status event.
  virtual void RefreshStatus() = 0;

  // Largest frame Send accepts, in bytes, and a request for a larger one
  // (honoured up to the link's own limit). Changed while the link is closed.
  virtual uint32_t TransmitSize() const { return UINT32_MAX; }
  virtual void SetTransmitSize(uint32_t /*bytes*/) {}

  // Drops whatever was received and not yet delivered: replies to earlier
  // attempts must not be taken for answers to the command sent next.
  virtual void DiscardInput() {}

  // The frame gap in use and a new one (taken at once, also by an open
  // link). A link without such a setting reports automatic and ignores it.
  virtual FrameGapChoice FrameGap() const { return FrameGapChoice::Auto(); }
  virtual void SetFrameGap(FrameGapChoice /*gap*/) {}
  // The link chose its gap itself and it is shorter than the standard one:
  // a device that needs the standard pause may miss commands.
  virtual bool ShortFrameGap() const { return false; }

  // Detaches the status event (changes write no status line) and puts it
  // back. Calls nest: only the outermost resume re-attaches.
  virtual void SuspendStatusEvent() = 0;
  virtual void ResumeStatusEvent() = 0;
};

// The serial link component's part of the contract.
class SerialRunLink : public RunLink {
 public:
  virtual void SetRTSState(bool on) = 0;
  virtual void SetDTRState(bool on) = 0;
  // An empty name closes the port.
  virtual void SetCOMPort(const std::string& name) = 0;
  // 0 closes the port.
  virtual void SetPortNumber(int number) = 0;
  // Selects the port and the line settings and opens it.
  virtual void SetParams(const std::string& portName, const LineSettings& settings) = 0;
};

// The USB link component's part of the contract.
class UsbRunLink : public RunLink {
 public:
  // 0 closes the device; an index of the device list opens that device.
  virtual void SetDeviceIndex(int index) = 0;
  // BaudRate, Parity, DataBits, StopBits (ordinals, baud 14 = 125000).
  virtual void SetLineParams(const LineSettings& settings) = 0;
};

// Milliseconds since an arbitrary start; wraps after 2^32 ms.
class TickSource {
 public:
  virtual ~TickSource() = default;
  virtual uint32_t NowMs() = 0;
};

// Modal results of the progress window that end a run.
constexpr int kModalNone = 0;
constexpr int kModalSuccess = 1;
constexpr int kModalStop = 2;
constexpr int kModalTimeout = 3;
constexpr int kModalError = 7;

// The progress window as the engine sees it.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void SetMax(uint32_t n) = 0;
  virtual uint32_t Max() const = 0;
  virtual void SetSent(uint32_t n) = 0;
  virtual void SetWritten(uint32_t n) = 0;
  // 0 while the run goes on; setting a nonzero value ends the modal loop.
  virtual int ModalResult() const = 0;
  virtual void SetModalResult(int result) = 0;
};

// Everything a run reaches outside the engine. Pointers are not owned; a
// missing link makes every operation on it do nothing.
struct RunSurroundings {
  SerialRunLink* serial = nullptr;
  UsbRunLink* usb = nullptr;
  TickSource* ticks = nullptr;
  // Where the run's messages go (a refused data file's message, the final
  // message): the run's own prompt, never a process-wide one. None: nothing
  // is shown.
  Prompt* prompt = nullptr;
  // Runs a continuation later, after the events already waiting (Stop among
  // them), on the engine's thread: the engine skips a run of empty blocks
  // one block per continuation instead of holding the thread. The host drops
  // continuations of an engine it has destroyed. Empty: the engine goes on
  // at once.
  std::function<void(std::function<void()>)> post;
  // Every received chunk of the active link, for the port-buffer monitor.
  // May be empty.
  std::function<void(const uint8_t* bytes, uint32_t count)> monitorReceived;
};

}  // namespace quorvel
