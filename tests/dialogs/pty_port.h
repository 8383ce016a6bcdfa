// A pseudo-terminal for the settings dialog's tests: the serial link
// component opens the slave by its path; the slave stays open here too, so
// that the pair lives on while the component closes and reopens it, and the
// terminal settings the component set can be read back from it.
#pragma once

#include <fcntl.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace quorvel::testing {

class PtyPort {
 public:
  PtyPort() {
    if (openpty(&master_, &slave_, nullptr, nullptr, nullptr) != 0) return;
    path_ = ttyname(slave_);
  }
  ~PtyPort() {
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }
  PtyPort(const PtyPort&) = delete;
  PtyPort& operator=(const PtyPort&) = delete;

  bool Ok() const { return master_ >= 0 && !path_.empty(); }
  const std::string& Path() const { return path_; }

  // The terminal settings in force on the line.
  std::optional<termios> Settings() const {
    termios tio{};
    if (tcgetattr(slave_, &tio) != 0) return std::nullopt;
    return tio;
  }

 private:
  int master_ = -1;
  int slave_ = -1;
  std::string path_;
};

}  // namespace quorvel::testing
