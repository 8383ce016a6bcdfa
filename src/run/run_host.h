// What the programming engine is given by its host (the window, the
// command-line tool, the tests): its link, a millisecond tick, the progress
// of the run and a way to let pending events run. The engine never reads a
// clock, a widget, a file or a port itself.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>

#include "app/prompt.h"
#include "run/device_types.h"
#include "run/line_settings.h"
#include "run/reply_watch.h"
#include "run/traffic_decoder.h"

namespace quorvel {

// How a run opens its link: the port the user chose and the line the run
// needs.
struct LinkOpening {
  // Serial: the port's name. USB: the device's text (for the log) and its
  // index in the component's device list.
  std::string PortName;
  int PortIndex = 0;
  // Serial: the user's settings; USB: the device row's.
  LineSettings Line;
  // Serial: the RTS and DTR states the device row asks for, set before the
  // port opens; none leaves both as the link has them.
  struct ControlLines {
    bool Rts = false;
    bool Dtr = false;
  };
  std::optional<ControlLines> Lines;
  // The largest frame the run sends; a link that takes less is enlarged
  // before it opens.
  uint32_t TransmitSize = 0;
};

// One link as a run uses it, whatever its kind: the serial and the USB link
// components each have an adapter that fulfils it.
class RunLink {
 public:
  virtual ~RunLink() = default;

  // The kind of link (a device row's LinkKind).
  virtual TLinkKind Kind() const = 0;

  // Closes the link and opens it for the run. Neither the closing nor the
  // opening reports a status: the run asks for it (RefreshStatus) once the
  // link is open.
  virtual void Open(const LinkOpening& opening) = 0;
  // Closes the link without reporting a status.
  virtual void Close() = 0;

  // Queues bytes for sending; false when they were not accepted.
  virtual bool Send(const uint8_t* bytes, uint32_t count) = 0;
  // How to tell that the bytes received from now on hold a complete answer
  // (given before the frame is sent): the link may then hand it on as soon
  // as its last byte is in. A link that always waits for the frame gap's
  // silence ignores it.
  virtual void ExpectAnswer(AnswerComplete /*complete*/) {}

  // Fixed response time-out per frame, ms.
  virtual uint32_t FrameTimeOut() const = 0;
  virtual void SetFrameTimeOut(uint32_t ms) = 0;

  // Receive-hold counter: while above 0 the link delivers no received chunk.
  // ReleaseReceive never goes below 0.
  virtual void HoldReceive() = 0;
  virtual void ReleaseReceive() = 0;

  // Serial: a port is selected and open. USB: the device is open.
  virtual bool IsOpen() const = 0;

  // The status reported last.
  virtual TLinkStatus Status() const = 0;

  // Reports the current status again through the status event.
  virtual void RefreshStatus() = 0;

  // What the link knows of why it did not open beyond its status, as a log
  // line's text in the current Language; empty when it knows nothing more.
  virtual std::string FailureDetail() const { return {}; }

  // Largest frame Send accepts, in bytes.
  virtual uint32_t TransmitSize() const { return UINT32_MAX; }

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
};

// Milliseconds since an arbitrary start; wraps after 2^32 ms.
class TickSource {
 public:
  virtual ~TickSource() = default;
  virtual uint32_t NowMs() = 0;
};

// How a run comes to its end, as the progress window's results number it
// (the log and the texts know them by these values).
enum class RunEnd : uint8_t {
  None = 0,     // the run goes on
  Success = 1,  // the reset after the whole image was acknowledged
  Stop = 2,     // the user stopped it
  Timeout = 3,  // the device stopped answering, or never answered
  Error = 7,    // the device, the file or the link made it fail
  // The instrument already runs the firmware version the user named; the
  // run ends before anything is erased (see RunSelection::SkipVersion).
  AlreadyCurrent = 8,
};

// The progress of a run as the engine reports it.
class ProgressSink {
 public:
  virtual ~ProgressSink() = default;
  virtual void SetMax(uint32_t n) = 0;
  virtual uint32_t Max() const = 0;
  virtual void SetSent(uint32_t n) = 0;
  virtual void SetWritten(uint32_t n) = 0;
};

// Everything a run reaches outside the engine. Nothing here is owned.
struct RunSurroundings {
  explicit RunSurroundings(RunLink& runLink) : link(runLink) {}

  // The link of the engine's runs.
  RunLink& link;
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
  // The bytes on the line, for the port-buffer monitor and traces: every
  // block the link accepted for sending, and every received chunk before
  // the engine handles it, in that order. May be empty.
  std::function<void(TrafficDirection direction, std::span<const uint8_t> bytes)> traffic;
  // The run has come to its end (once per run, and only after the host has
  // taken the run on with AttachProgress): the host closes its progress
  // display and calls Finish. May be empty.
  std::function<void(RunEnd end)> ended;
};

}  // namespace quorvel
