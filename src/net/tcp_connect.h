// One attempt to reach a TCP server in the background: the name resolved
// (getaddrinfo, which cannot be interrupted) and each address tried with a
// non-blocking connect, on a thread of its own, so that no caller ever
// waits longer than it chooses. The caller waits on ReadyFd (beside its own
// stop event) and takes the result; an attempt destroyed before it ended is
// abandoned, and the thread lets go of whatever it still gets.
#pragma once

#include <chrono>
#include <memory>
#include <string>

namespace quorvel {

// The reason of a socket error in the program's language ("connection
// refused", "no route to host", ...); the system's text for the rest.
std::string SocketErrorText(int error);

// "no connection to HOST:PORT within N s".
std::string NoConnectionInTimeText(const std::string& address, std::chrono::milliseconds limit);

class TcpConnectAttempt {
 public:
  struct Result {
    int fd = -1;          // a connected, non-blocking socket (the caller's); -1 failed
    std::string problem;  // why not, in the program's language
  };

  // Starts the attempt; `limit` bounds the connects (the resolution is
  // bounded by the caller's wait).
  TcpConnectAttempt(const std::string& host, uint16_t port, std::chrono::milliseconds limit);
  ~TcpConnectAttempt();
  TcpConnectAttempt(const TcpConnectAttempt&) = delete;
  TcpConnectAttempt& operator=(const TcpConnectAttempt&) = delete;

  // Readable once the attempt has ended; -1 when no thread could start (the
  // result is then there at once).
  int ReadyFd() const;
  bool Ended() const;
  // The result once Ended; taken once.
  Result Take();

  // What the caller and the attempt's thread share; it lives as long as
  // either holds it.
  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace quorvel
