// The byte transport of a network port: a TCP connection to a device
// server, raw ("tcp://") or telnet with the COM-PORT-OPTION ("rfc2217://",
// through libtelnet: 0xFF in the data is escaped both ways, the line
// settings, RTS/DTR and purges go to the server).
//
// The connection is made in the background (TcpConnectAttempt): the
// transport exists at once, the receive thread waits for the connection
// within kConnectLimit, and the transmit thread waits for it before its
// first write. Whatever ends the connection (refused, unknown host, no
// connection in time, the server closed it, a socket error, a telnet server
// that stopped answering) makes the transport report Gone, and its reason
// goes to the NetFailureNote the opener gave it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "link/byte_transport.h"
#include "net/network_port.h"
#include "run/line_settings.h"

struct telnet_t;
union telnet_event_t;

namespace quorvel {

class TcpConnectAttempt;

// The reason the last connection of a link failed, kept for the run after
// the transport is gone. Any thread.
class NetFailureNote {
 public:
  // Keeps the first reason given since Clear.
  void Set(const std::string& text);
  void Clear();
  std::string Text() const;

 private:
  mutable std::mutex mutex_;
  std::string text_;
};

class NetTransport final : public ByteTransport {
 public:
  // How long name resolution and the connect may take together.
  static constexpr std::chrono::milliseconds kConnectLimit{5000};
  // A telnet server (which answers every COM-PORT request unless it refused
  // the option) is asked after this much silence whether it is still there...
  static constexpr int kProbeAfterMs = 1000;
  // ...and counts as stopped when nothing came back this long after.
  static constexpr int kServerSilenceMs = 5000;

  NetTransport(const NetworkPort& port, const LineSettings& line, bool rts, bool dtr,
               std::shared_ptr<NetFailureNote> note);
  ~NetTransport() override;
  NetTransport(const NetTransport&) = delete;
  NetTransport& operator=(const NetTransport&) = delete;

  Wait WaitForBytes(const StopEvent& stop) override;
  Wait WaitForMore(const StopEvent& stop, uint16_t gapMs) override;
  int64_t Read(uint8_t* buffer, size_t max) override;
  int64_t WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) override;
  void DiscardInput() override;
  void DiscardOutput() override;
  bool SetRTS(bool on) override;
  bool SetDTR(bool on) override;
  void Close() override;

 private:
  using Clock = std::chrono::steady_clock;

  const NetworkPort port_;
  const std::shared_ptr<NetFailureNote> note_;
  const Clock::time_point deadline_;  // for the connection
  std::unique_ptr<TcpConnectAttempt> attempt_;  // receive thread, then Close

  std::atomic<int> fd_{-1};
  std::atomic<bool> connected_{false};
  std::atomic<bool> failed_{false};
  int readyFd_ = -1;  // eventfd: readable once connected or failed

  // Guards the telnet state, the bytes to send and the bytes received.
  std::mutex mutex_;
  telnet_t* telnet_ = nullptr;
  std::vector<uint8_t> pending_;   // encoded, not yet on the socket
  std::vector<uint8_t> received_;  // decoded, not yet read
  bool discarding_ = false;
  bool telnetError_ = false;
  bool comPortRefused_ = false;  // the server refused the option: no probes
  Clock::time_point lastHeard_;
  std::optional<Clock::time_point> probeSentAt_;

  // Serialises the writes to the socket (never held while mutex_ is waited
  // for by a write).
  std::mutex writeMutex_;

  bool Telnet() const { return port_.kind == NetworkPort::Kind::Rfc2217; }
  void Fail(const std::string& text);
  Wait AwaitConnection(const StopEvent& stop);
  bool AwaitReady(const StopEvent& stop);
  Wait PollSocket(const StopEvent& stop, int timeoutMs);
  bool ServerStillThere();
  // Under mutex_: data and subnegotiations encoded into pending_.
  void EncodeData(const uint8_t* bytes, size_t size);
  void EncodeComPort(const std::vector<uint8_t>& payload);
  // Under mutex_: socket bytes decoded into received_ (dropped while
  // discarding_).
  void Decode(const uint8_t* bytes, size_t size);
  // Sends what is pending: blocking (the transmit thread), or without
  // waiting when no other write runs (any thread; what does not go now goes
  // with the next write).
  bool FlushPending(const StopEvent& stop);
  void TryFlush();
  void SendControl(const std::vector<uint8_t>& payload);

  static void TelnetEvent(telnet_t* telnet, telnet_event_t* event, void* self);
  void OnTelnetEvent(const telnet_event_t& event);
};

}  // namespace quorvel
