// Debian's ser2net as the tests' device server: started on 127.0.0.1 on a
// free port with a YAML configuration written to the test's folder,
// bridging that port (raw TCP or telnet with RFC 2217) to a terminal
// device. It can be paused (SIGSTOP: a server that stops answering) and
// killed (a connection dropped).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace quorvel::test {

class Ser2net {
 public:
  enum class Mode { Raw, Rfc2217 };

  // `line` is ser2net's setting of the device ("9600n81"). Started() tells
  // whether it listens (within 30 s); Log() holds what it printed.
  Ser2net(Mode mode, const std::string& device, const std::string& folder,
          const std::string& line = "9600n81");
  ~Ser2net();
  Ser2net(const Ser2net&) = delete;
  Ser2net& operator=(const Ser2net&) = delete;

  bool Started() const { return listening_; }
  uint16_t Port() const { return port_; }
  // tcp://127.0.0.1:PORT or rfc2217://127.0.0.1:PORT
  std::string Url() const;
  std::string Log() const;

  void Pause();
  void Resume();
  void Kill();

 private:
  Mode mode_;
  std::string folder_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
  bool listening_ = false;
};

// A TCP port on 127.0.0.1 that nothing listens on (it was free a moment ago).
uint16_t FreeTcpPort();

}  // namespace quorvel::test
