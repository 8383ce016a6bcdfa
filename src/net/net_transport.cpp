#include "net/net_transport.h"

#include <libtelnet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "app/globals.h"
#include "app/text_utils.h"
#include "link/port_message_window.h"
#include "net/com_port_option.h"
#include "net/tcp_connect.h"

namespace quorvel {
namespace {

constexpr TextPair kClosedByServer{"%s zamknął połączenie", "%s closed the connection"};
constexpr TextPair kConnectionLost{"połączenie z %s przerwane (%s)",
                                   "connection to %s lost (%s)"};
constexpr TextPair kServerSilent{"%s przestał odpowiadać", "%s stopped answering"};
constexpr TextPair kTelnetError{"błąd protokołu telnet od %s", "telnet protocol error from %s"};
constexpr TextPair kNoEvent{"brak deskryptora zdarzeń", "no event descriptor"};

// The socket's own watch for a peer that vanished (a device server switched
// off, a cable pulled): keep-alive probes on an idle connection and a bound
// on unacknowledged data.
constexpr int kKeepIdleS = 5;
constexpr int kKeepIntervalS = 2;
constexpr int kKeepCount = 3;
constexpr unsigned kUserTimeoutMs = 10000;
constexpr size_t kReadBlock = 4096;

// The options the client takes part in: binary both ways (no byte of the
// data is a line ending to translate), suppressed go-ahead, and the
// COM-PORT-OPTION, which the client offers and never asks of the server.
constexpr std::array<telnet_telopt_t, 4> kTelopts{{
    {TELNET_TELOPT_BINARY, TELNET_WILL, TELNET_DO},
    {TELNET_TELOPT_SGA, TELNET_WILL, TELNET_DO},
    {com_port::kOption, TELNET_WILL, TELNET_DONT},
    {-1, 0, 0},
}};

void Signal(int fd) {
  const uint64_t one = 1;
  if (fd >= 0) (void)!write(fd, &one, sizeof one);
}

void TuneSocket(int fd) {
  const int on = 1;
  (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  (void)setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof on);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &kKeepIdleS, sizeof kKeepIdleS);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &kKeepIntervalS, sizeof kKeepIntervalS);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &kKeepCount, sizeof kKeepCount);
  (void)setsockopt(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, &kUserTimeoutMs, sizeof kUserTimeoutMs);
}

}  // namespace

// ---- NetFailureNote ----

void NetFailureNote::Set(const std::string& text) {
  const std::lock_guard<std::mutex> lock(mutex_);
  if (text_.empty()) text_ = text;
}

void NetFailureNote::Clear() {
  const std::lock_guard<std::mutex> lock(mutex_);
  text_.clear();
}

std::string NetFailureNote::Text() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return text_;
}

// ---- NetTransport ----

NetTransport::NetTransport(const NetworkPort& port, const LineSettings& line, bool rts, bool dtr,
                           std::shared_ptr<NetFailureNote> note)
    : port_(port), note_(std::move(note)), deadline_(Clock::now() + kConnectLimit) {
  readyFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (readyFd_ < 0) {
    Fail(kNoEvent.str());
    return;
  }
  if (Telnet()) {
    telnet_ = telnet_init(kTelopts.data(), &NetTransport::TelnetEvent, 0, this);
    if (telnet_ == nullptr) {
      Fail(kTelnetError.str());
      return;
    }
    // Queued now, sent first once connected: the options, then the line and
    // the control lines as the run wants them.
    const std::lock_guard<std::mutex> lock(mutex_);
    telnet_negotiate(telnet_, TELNET_WILL, com_port::kOption);
    telnet_negotiate(telnet_, TELNET_WILL, TELNET_TELOPT_BINARY);
    telnet_negotiate(telnet_, TELNET_DO, TELNET_TELOPT_BINARY);
    for (const com_port::Payload& payload : com_port::LinePayloads(line)) EncodeComPort(payload);
    EncodeComPort(com_port::ControlPayload(dtr ? com_port::kDtrOn : com_port::kDtrOff));
    EncodeComPort(com_port::ControlPayload(rts ? com_port::kRtsOn : com_port::kRtsOff));
  }
  attempt_ = std::make_unique<TcpConnectAttempt>(port_.host, port_.port, kConnectLimit);
}

NetTransport::~NetTransport() {
  Close();
  if (telnet_ != nullptr) telnet_free(telnet_);
  if (readyFd_ >= 0) close(readyFd_);
}

void NetTransport::Fail(const std::string& text) {
  if (note_) note_->Set(text);
  failed_.store(true);
  Signal(readyFd_);
}

// ---- the connection ----

ByteTransport::Wait NetTransport::AwaitConnection(const StopEvent& stop) {
  if (failed_.load() || !attempt_) return Wait::Gone;
  for (;;) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline_ - Clock::now()).count();
    if (left <= 0 || attempt_->ReadyFd() < 0) {
      Fail(NoConnectionInTimeText(port_.address, kConnectLimit));
      return Wait::Gone;
    }
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {attempt_->ReadyFd(), POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(left));
    if (ready < 0 && errno != EINTR) {
      Fail(FormatText(kConnectionLost.text(), {port_.address, SocketErrorText(errno)}));
      return Wait::Gone;
    }
    if (fds[0].revents != 0 || stop.IsSignalled()) return Wait::Stopped;
    if (!attempt_->Ended()) continue;
    TcpConnectAttempt::Result result = attempt_->Take();
    if (result.fd < 0) {
      Fail(result.problem);
      return Wait::Gone;
    }
    TuneSocket(result.fd);
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      lastHeard_ = Clock::now();
    }
    fd_.store(result.fd);
    connected_.store(true);
    Signal(readyFd_);
    TryFlush();
    return Wait::Bytes;
  }
}

bool NetTransport::AwaitReady(const StopEvent& stop) {
  while (!connected_.load() && !failed_.load()) {
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {readyFd_, POLLIN, 0}};
    if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
    if (fds[0].revents != 0 || stop.IsSignalled()) return false;
  }
  return connected_.load() && !failed_.load();
}

// ---- receiving ----

ByteTransport::Wait NetTransport::PollSocket(const StopEvent& stop, int timeoutMs) {
  for (;;) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      if (!received_.empty()) return Wait::Bytes;
    }
    if (failed_.load()) return Wait::Gone;
    pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd_.load(), POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      Fail(FormatText(kConnectionLost.text(), {port_.address, SocketErrorText(errno)}));
      return Wait::Gone;
    }
    if (fds[0].revents != 0 || stop.IsSignalled()) return Wait::Stopped;
    if (ready == 0) return Wait::Quiet;
    // Bytes, or the end of the connection: Read tells which.
    return Wait::Bytes;
  }
}

bool NetTransport::ServerStillThere() {
  if (!Telnet()) return true;
  bool probe = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A server that refused the option cannot be asked.
    if (comPortRefused_) return true;
    const auto now = Clock::now();
    if (probeSentAt_ && lastHeard_ < *probeSentAt_) {
      if (now - *probeSentAt_ < std::chrono::milliseconds(kServerSilenceMs)) return true;
    } else if (now - lastHeard_ >= std::chrono::milliseconds(kProbeAfterMs)) {
      EncodeComPort(com_port::ProbePayload());
      probeSentAt_ = now;
      probe = true;
    } else {
      return true;
    }
  }
  if (probe) {
    TryFlush();
    return true;
  }
  Fail(FormatText(kServerSilent.text(), {port_.address}));
  return false;
}

ByteTransport::Wait NetTransport::WaitForBytes(const StopEvent& stop) {
  if (!connected_.load()) {
    const Wait connection = AwaitConnection(stop);
    if (connection != Wait::Bytes) return connection;
  }
  for (;;) {
    const Wait wait = PollSocket(stop, Telnet() ? kProbeAfterMs : -1);
    if (wait != Wait::Quiet) return wait;
    if (!ServerStillThere()) return Wait::Gone;
  }
}

ByteTransport::Wait NetTransport::WaitForMore(const StopEvent& stop, uint16_t gapMs) {
  if (!connected_.load()) return Wait::Quiet;
  return PollSocket(stop, gapMs);
}

int64_t NetTransport::Read(uint8_t* buffer, size_t max) {
  int64_t count = 0;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    const int fd = fd_.load();
    if (received_.empty() && fd >= 0) {
      std::array<uint8_t, kReadBlock> raw{};
      ssize_t got = -1;
      do {
        got = recv(fd, raw.data(), raw.size(), MSG_DONTWAIT);
      } while (got < 0 && errno == EINTR);
      if (got == 0) {
        Fail(FormatText(kClosedByServer.text(), {port_.address}));
        return -1;
      }
      if (got < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
        Fail(FormatText(kConnectionLost.text(), {port_.address, SocketErrorText(errno)}));
        return -1;
      }
      lastHeard_ = Clock::now();
      Decode(raw.data(), static_cast<size_t>(got));
      if (telnetError_) {
        Fail(FormatText(kTelnetError.text(), {port_.address}));
        return -1;
      }
    }
    count = static_cast<int64_t>(std::min(max, received_.size()));
    std::copy_n(received_.begin(), count, buffer);
    received_.erase(received_.begin(), received_.begin() + count);
  }
  TryFlush();  // answers to the server's negotiation
  return count;
}

void NetTransport::Decode(const uint8_t* bytes, size_t size) {
  if (!Telnet()) {
    if (!discarding_) received_.insert(received_.end(), bytes, bytes + size);
    return;
  }
  telnet_recv(telnet_, reinterpret_cast<const char*>(bytes), size);
}

// ---- sending ----

void NetTransport::EncodeData(const uint8_t* bytes, size_t size) {
  if (Telnet()) {
    telnet_send(telnet_, reinterpret_cast<const char*>(bytes), size);
  } else {
    pending_.insert(pending_.end(), bytes, bytes + size);
  }
}

void NetTransport::EncodeComPort(const std::vector<uint8_t>& payload) {
  telnet_subnegotiation(telnet_, com_port::kOption, reinterpret_cast<const char*>(payload.data()),
                        payload.size());
}

int64_t NetTransport::WriteSome(const uint8_t* bytes, size_t size, const StopEvent& stop) {
  if (!AwaitReady(stop)) return -1;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    EncodeData(bytes, size);
  }
  return FlushPending(stop) ? static_cast<int64_t>(size) : -1;
}

bool NetTransport::FlushPending(const StopEvent& stop) {
  const std::lock_guard<std::mutex> writing(writeMutex_);
  const int fd = fd_.load();
  for (;;) {
    std::vector<uint8_t> out;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      out.swap(pending_);
    }
    if (out.empty()) return true;
    size_t done = 0;
    while (done < out.size()) {
      if (failed_.load()) return false;
      const ssize_t sent = send(fd, out.data() + done, out.size() - done,
                                MSG_DONTWAIT | MSG_NOSIGNAL);
      if (sent > 0) {
        done += static_cast<size_t>(sent);
        continue;
      }
      if (sent < 0 && errno == EINTR) continue;
      if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        pollfd fds[2] = {{stop.Fd(), POLLIN, 0}, {fd, POLLOUT, 0}};
        if (poll(fds, 2, -1) < 0 && errno != EINTR) return false;
        if (fds[0].revents != 0 || stop.IsSignalled()) return false;
        continue;
      }
      Fail(FormatText(kConnectionLost.text(), {port_.address, SocketErrorText(errno)}));
      return false;
    }
  }
}

void NetTransport::TryFlush() {
  const int fd = fd_.load();
  if (fd < 0 || failed_.load()) return;
  const std::unique_lock<std::mutex> writing(writeMutex_, std::try_to_lock);
  // The write that holds the lock sends what is pending after its own.
  if (!writing.owns_lock()) return;
  const std::lock_guard<std::mutex> lock(mutex_);
  while (!pending_.empty()) {
    const ssize_t sent = send(fd, pending_.data(), pending_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (sent > 0) {
      pending_.erase(pending_.begin(), pending_.begin() + sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    // A full socket: the rest goes with the next write. An error: the
    // receive thread hears of it from the socket.
    return;
  }
}

void NetTransport::SendControl(const std::vector<uint8_t>& payload) {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    EncodeComPort(payload);
  }
  TryFlush();
}

void NetTransport::DiscardInput() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    received_.clear();
    const int fd = fd_.load();
    if (fd >= 0) {
      // What already came is decoded and dropped (the telnet layer keeps its
      // state); the end of the connection is left for Read to find.
      discarding_ = true;
      std::array<uint8_t, kReadBlock> raw{};
      for (;;) {
        const ssize_t got = recv(fd, raw.data(), raw.size(), MSG_DONTWAIT);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        lastHeard_ = Clock::now();
        Decode(raw.data(), static_cast<size_t>(got));
      }
      discarding_ = false;
    }
  }
  if (Telnet()) SendControl(com_port::PurgePayload(com_port::kPurgeReceive));
}

void NetTransport::DiscardOutput() {
  // What is pending here is on its way already (the opening among it); the
  // server drops what it still holds for the line.
  if (Telnet()) SendControl(com_port::PurgePayload(com_port::kPurgeTransmit));
}

bool NetTransport::SetRTS(bool on) {
  if (!Telnet()) return false;
  SendControl(com_port::ControlPayload(on ? com_port::kRtsOn : com_port::kRtsOff));
  return true;
}

bool NetTransport::SetDTR(bool on) {
  if (!Telnet()) return false;
  SendControl(com_port::ControlPayload(on ? com_port::kDtrOn : com_port::kDtrOff));
  return true;
}

void NetTransport::Close() {
  attempt_.reset();  // an attempt still running is abandoned
  const int fd = fd_.exchange(-1);
  if (fd >= 0) close(fd);
  connected_.store(false);
}

// ---- telnet ----

void NetTransport::TelnetEvent(telnet_t* /*telnet*/, telnet_event_t* event, void* self) {
  static_cast<NetTransport*>(self)->OnTelnetEvent(*event);
}

void NetTransport::OnTelnetEvent(const telnet_event_t& event) {
  // Called from inside telnet_* calls, which run under mutex_.
  switch (event.type) {
    case TELNET_EV_DATA:
      if (!discarding_) {
        const auto* bytes = reinterpret_cast<const uint8_t*>(event.data.buffer);
        received_.insert(received_.end(), bytes, bytes + event.data.size);
      }
      break;
    case TELNET_EV_SEND: {
      const auto* bytes = reinterpret_cast<const uint8_t*>(event.data.buffer);
      pending_.insert(pending_.end(), bytes, bytes + event.data.size);
      break;
    }
    case TELNET_EV_DONT:
      if (event.neg.telopt == com_port::kOption) comPortRefused_ = true;
      break;
    case TELNET_EV_ERROR:
      telnetError_ = true;
      break;
    default:
      break;
  }
}

}  // namespace quorvel
