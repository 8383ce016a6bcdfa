#include "net/tcp_connect.h"

#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <mutex>
#include <thread>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/system_error_text.h"

namespace quorvel {
namespace {

constexpr TextPair kUnknownHost{"nieznany host %s (%s)", "unknown host %s (%s)"};
constexpr TextPair kNoAddress{"host %s nie ma adresu", "host %s has no address"};
constexpr TextPair kConnectFailed{"brak połączenia z %s (%s)", "no connection to %s (%s)"};
constexpr TextPair kConnectTimedOut{"brak połączenia z %s w ciągu %s s",
                                    "no connection to %s within %s s"};
constexpr TextPair kNoThread{"nie można uruchomić wątku połączenia",
                             "the connection thread could not start"};

struct SocketError {
  int error;
  TextPair text;
};

constexpr SocketError kSocketErrors[] = {
    {ECONNREFUSED, {"połączenie odrzucone", "connection refused"}},
    {ECONNRESET, {"połączenie zerwane przez serwer", "connection reset by the server"}},
    {ECONNABORTED, {"połączenie przerwane", "connection aborted"}},
    {EPIPE, {"połączenie zamknięte", "connection closed"}},
    {ETIMEDOUT, {"serwer nie odpowiada", "the server does not answer"}},
    {EHOSTUNREACH, {"brak trasy do hosta", "no route to host"}},
    {ENETUNREACH, {"sieć nieosiągalna", "network unreachable"}},
    {EHOSTDOWN, {"host nie działa", "host is down"}},
    {ENETDOWN, {"sieć nie działa", "network is down"}},
};

}  // namespace

std::string NoConnectionInTimeText(const std::string& address, std::chrono::milliseconds limit) {
  return FormatText(kConnectTimedOut.text(), {address, std::to_string((limit.count() + 999) / 1000)});
}

std::string SocketErrorText(int error) {
  for (const SocketError& known : kSocketErrors) {
    if (known.error == error) return known.text.str();
  }
  return SystemErrorText(error);
}

struct TcpConnectAttempt::State {
  std::mutex mutex;
  bool ended = false;
  bool abandoned = false;
  Result result;
  int readyFd = -1;  // eventfd: signalled when the attempt ended
  int cancelFd = -1;  // eventfd: signalled when the attempt is abandoned

  State() {
    readyFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }
  ~State() {
    if (result.fd >= 0) close(result.fd);
    if (readyFd >= 0) close(readyFd);
    if (cancelFd >= 0) close(cancelFd);
  }
  State(const State&) = delete;
  State& operator=(const State&) = delete;

  void Finish(Result outcome) {
    const std::lock_guard<std::mutex> lock(mutex);
    if (abandoned && outcome.fd >= 0) {
      close(outcome.fd);
      outcome.fd = -1;
    }
    result = std::move(outcome);
    ended = true;
    const uint64_t one = 1;
    if (readyFd >= 0) (void)!write(readyFd, &one, sizeof one);
  }

  bool Abandoned() {
    const std::lock_guard<std::mutex> lock(mutex);
    return abandoned;
  }
};

namespace {

// Connects one address within the time left; the socket, or -1 with errno's
// reason in `error` (ETIMEDOUT when the time ran out, ECANCELED when the
// attempt was abandoned).
int ConnectAddress(const addrinfo& address, int cancelFd,
                   std::chrono::steady_clock::time_point deadline, int* error) {
  const int fd = socket(address.ai_family, address.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC,
                        address.ai_protocol);
  if (fd < 0) {
    *error = errno;
    return -1;
  }
  if (connect(fd, address.ai_addr, address.ai_addrlen) == 0) return fd;
  if (errno != EINPROGRESS) {
    *error = errno;
    close(fd);
    return -1;
  }
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      *error = ETIMEDOUT;
      close(fd);
      return -1;
    }
    pollfd fds[2] = {{fd, POLLOUT, 0}, {cancelFd, POLLIN, 0}};
    const int ready = poll(fds, 2, static_cast<int>(left.count()));
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0 || fds[1].revents != 0) {
      *error = ready < 0 ? errno : ECANCELED;
      close(fd);
      return -1;
    }
    if (ready == 0) continue;
    int soError = 0;
    socklen_t length = sizeof soError;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &length) != 0) soError = errno;
    if (soError == 0) return fd;
    *error = soError;
    close(fd);
    return -1;
  }
}

TcpConnectAttempt::Result Attempt(const std::shared_ptr<TcpConnectAttempt::State>& state,
                                  const std::string& host, uint16_t port,
                                  std::chrono::milliseconds limit);

}  // namespace

TcpConnectAttempt::TcpConnectAttempt(const std::string& host, uint16_t port,
                                     std::chrono::milliseconds limit)
    : state_(std::make_shared<State>()) {
  try {
    std::thread([state = state_, host, port, limit] {
      state->Finish(Attempt(state, host, port, limit));
    }).detach();
  } catch (...) {
    state_->Finish(Result{-1, kNoThread.str()});
  }
}

TcpConnectAttempt::~TcpConnectAttempt() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  state_->abandoned = true;
  const uint64_t one = 1;
  if (state_->cancelFd >= 0) (void)!write(state_->cancelFd, &one, sizeof one);
}

int TcpConnectAttempt::ReadyFd() const {
  return state_->readyFd;
}

bool TcpConnectAttempt::Ended() const {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  return state_->ended;
}

TcpConnectAttempt::Result TcpConnectAttempt::Take() {
  const std::lock_guard<std::mutex> lock(state_->mutex);
  Result taken = std::move(state_->result);
  state_->result = Result{};
  return taken;
}

namespace {

TcpConnectAttempt::Result Attempt(const std::shared_ptr<TcpConnectAttempt::State>& state,
                                  const std::string& host, uint16_t port,
                                  std::chrono::milliseconds limit) {
  const std::string address =
      (host.find(':') != std::string::npos ? "[" + host + "]" : host) + ":" + std::to_string(port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const int resolved = getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (resolved != 0) {
    const std::string reason =
        resolved == EAI_SYSTEM ? SystemErrorText(errno) : std::string(gai_strerror(resolved));
    return {-1, FormatText(kUnknownHost.text(), {host, reason})};
  }
  const auto deadline = std::chrono::steady_clock::now() + limit;
  int error = 0;
  int fd = -1;
  for (const addrinfo* entry = found; entry != nullptr && fd < 0; entry = entry->ai_next) {
    if (state->Abandoned()) break;
    fd = ConnectAddress(*entry, state->cancelFd, deadline, &error);
    if (error == ETIMEDOUT || error == ECANCELED) break;
  }
  const bool none = found == nullptr;
  freeaddrinfo(found);
  if (fd >= 0) return {fd, {}};
  if (none) return {-1, FormatText(kNoAddress.text(), {host})};
  if (error == ETIMEDOUT) {
    return {-1, NoConnectionInTimeText(address, limit)};
  }
  return {-1, FormatText(kConnectFailed.text(), {address, SocketErrorText(error)})};
}

}  // namespace

}  // namespace quorvel
