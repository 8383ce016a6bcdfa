// The signals that ask a program to stop (Ctrl-C, SIGTERM from a service
// manager or a desktop logout, SIGHUP when the terminal goes), turned into
// bytes on a pipe that the program's event loop watches: the handler itself
// only writes a byte, everything else happens on the main thread. While an
// object lives, a first signal of each kind is caught; a second one of the
// same kind ends the program at once (the handler is reset after it runs).
#pragma once

#include <initializer_list>
#include <vector>

namespace quorvel {

class StopSignals {
 public:
  explicit StopSignals(std::initializer_list<int> numbers);
  // Puts back the default handling.
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // Readable when a signal came; -1 when no pipe could be made (then no
  // signal is caught and each ends the program as usual).
  int Fd() const;
  // Takes in what the pipe holds.
  void Drain();

 private:
  std::vector<int> numbers_;
};

}  // namespace quorvel
