#include "app/stop_signals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace quorvel {
namespace {

// One pipe per process: a signal handler can reach nothing else.
int stopPipe[2] = {-1, -1};

void OnStopSignal(int) {
  const char byte = 1;
  [[maybe_unused]] const ssize_t written = write(stopPipe[1], &byte, 1);
}

}  // namespace

StopSignals::StopSignals(std::initializer_list<int> numbers) : numbers_(numbers) {
  if (stopPipe[0] < 0 && pipe2(stopPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART | SA_RESETHAND;
  for (int number : numbers_) sigaction(number, &action, nullptr);
}

StopSignals::~StopSignals() {
  for (int number : numbers_) signal(number, SIG_DFL);
  Drain();
}

int StopSignals::Fd() const {
  return stopPipe[0];
}

void StopSignals::Drain() {
  char bytes[16];
  while (stopPipe[0] >= 0 && read(stopPipe[0], bytes, sizeof bytes) > 0) {
  }
}

}  // namespace quorvel
