// quorvel-sim: a simulated instrument on a pseudo-terminal. The program
// under test opens the terminal's device side; this program holds the
// master side, feeds what arrives to the Instrument and sends its answers
// back no sooner than a real line at the chosen rate would deliver them.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "run/device_types.h"
#include "sim/instrument.h"
#include "sim/intel_hex_writer.h"
#include "sim/sim_options.h"

namespace {

using quorvel::sim::Instrument;
using quorvel::sim::InstrumentOutput;
using quorvel::sim::SimOptions;
using Clock = std::chrono::steady_clock;
using Nanos = std::chrono::nanoseconds;

volatile sig_atomic_t gStop = 0;
void OnStopSignal(int) {
  gStop = 1;
}

// How long a device that is about to leave the line waits for the program
// under test to pick up its last answer: the hang-up discards whatever the
// terminal still holds.
constexpr std::chrono::seconds kHangUpGrace{1};

struct PendingWrite {
  Clock::time_point Due;
  std::vector<uint8_t> Bytes;
  size_t Sent = 0;
  uint32_t FreezeMsAfter = 0;
  bool HangUpAfter = false;
};

// The pseudo-terminal: the master we serve, and one descriptor of the
// device side that we keep open ourselves so that the master never reports
// a hang-up while the program under test closes and reopens the port.
struct Terminal {
  int Master = -1;
  int Slave = -1;
  std::string Path;

  // Closing the master hangs up every open descriptor of the device side.
  void Close() {
    if (Master >= 0) close(Master);
    if (Slave >= 0) close(Slave);
    Master = Slave = -1;
  }
};

// The ppoll timeout until `when`; none when unset.
const timespec* TimeoutUntil(const std::optional<Clock::time_point>& when, timespec& storage) {
  if (!when) return nullptr;
  const auto ns = std::max<int64_t>(
      0, std::chrono::duration_cast<std::chrono::nanoseconds>(*when - Clock::now()).count());
  storage.tv_sec = static_cast<time_t>(ns / 1000000000);
  storage.tv_nsec = static_cast<long>(ns % 1000000000);
  return &storage;
}

void MakeRaw(int slave) {
  termios tio{};
  if (tcgetattr(slave, &tio) == 0) {
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
  }
}

bool OpenTerminal(Terminal& t, std::string& error) {
  t.Master = posix_openpt(O_RDWR | O_NOCTTY);
  if (t.Master < 0 || grantpt(t.Master) != 0 || unlockpt(t.Master) != 0) {
    error = std::string("cannot create a pseudo-terminal: ") + std::strerror(errno);
    return false;
  }
  const char* name = ptsname(t.Master);
  if (name == nullptr) {
    error = std::string("ptsname: ") + std::strerror(errno);
    return false;
  }
  t.Path = name;
  t.Slave = open(name, O_RDWR | O_NOCTTY);
  if (t.Slave < 0) {
    error = "cannot open " + t.Path + ": " + std::strerror(errno);
    return false;
  }
  MakeRaw(t.Slave);
  fcntl(t.Master, F_SETFL, fcntl(t.Master, F_GETFL) | O_NONBLOCK);
  return true;
}

// A terminal master that the caller made and handed over (a test that puts
// the terminal's device side where the program under test looks for it).
// As with a terminal of our own, one descriptor of the device side is kept
// open here, so that the master never reports a hang-up while the program
// under test has the device closed.
bool ServeDescriptor(Terminal& t, int fd, std::string& error) {
  const int flags = fcntl(fd, F_GETFL);
  const char* name = flags < 0 ? nullptr : ptsname(fd);
  if (name == nullptr) {
    error = "--fd " + std::to_string(fd) + ": not a terminal master";
    return false;
  }
  t.Master = fd;
  t.Path = name;
  t.Slave = open(name, O_RDWR | O_NOCTTY);
  if (t.Slave < 0) {
    error = "cannot open " + t.Path + ": " + std::strerror(errno);
    return false;
  }
  MakeRaw(t.Slave);
  fcntl(fd, F_SETFL, flags | O_NONBLOCK);
  return true;
}

bool MakeLink(const std::string& target, const std::string& link, std::string& error) {
  struct stat st {};
  if (lstat(link.c_str(), &st) == 0) {
    if (!S_ISLNK(st.st_mode)) {
      error = link + " exists and is not a symbolic link";
      return false;
    }
    unlink(link.c_str());  // a link left by an earlier run
  }
  if (symlink(target.c_str(), link.c_str()) != 0) {
    error = "cannot make the link " + link + ": " + std::strerror(errno);
    return false;
  }
  return true;
}

// Removes the link only while it still names this simulator's terminal: a
// simulator started after this one may have put its own link in its place.
void RemoveOwnLink(const std::string& target, const std::string& link) {
  std::error_code error;
  if (std::filesystem::read_symlink(link, error) == target) unlink(link.c_str());
}

// Writes the file beside its final name first, so that a reader never sees
// half of it.
bool SaveHex(const Instrument& instrument, const std::string& path) {
  const std::string temp = path + ".part";
  {
    std::ofstream out(temp, std::ios::binary | std::ios::trunc);
    out << quorvel::sim::FormatIntelHex(instrument.Flash());
    if (!out.good()) return false;
  }
  return std::rename(temp.c_str(), path.c_str()) == 0;
}

class Simulator {
 public:
  Simulator(const SimOptions& options, Terminal& terminal)
      : options_(options), terminal_(terminal), instrument_(options.Instrument) {
    const uint32_t bytesPerSecond = quorvel::BytesPerSecond(options.Line);
    // In ns: whole microseconds would make the line at 115200 baud about
    // 1 % faster than it is (86 us a byte instead of 86.8).
    byteTime_ = bytesPerSecond == 0 ? Nanos(0) : Nanos(1000000000 / bytesPerSecond);
    savedResets_ = instrument_.ResetCount();
  }

  int Run() {
    // Answers are due to the microsecond; the kernel's default timer slack
    // (50 us) would make the device slower than the line.
    (void)prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    sigset_t blocked, waitMask;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGHUP);
    sigprocmask(SIG_BLOCK, &blocked, &waitMask);
    sigdelset(&waitMask, SIGINT);
    sigdelset(&waitMask, SIGTERM);
    sigdelset(&waitMask, SIGHUP);

    while (!gStop && terminal_.Master >= 0) {
      // Frozen, the device neither reads nor writes: what the program under
      // test sends meanwhile waits in the terminal.
      const bool frozen = frozenUntil_ && Clock::now() < *frozenUntil_;
      pollfd pfd{frozen ? -1 : terminal_.Master, POLLIN, 0};
      std::optional<Clock::time_point> wake;
      if (frozen) {
        wake = frozenUntil_;
      } else if (hangUpAt_) {
        wake = hangUpAt_;
      } else if (!pending_.empty()) {
        if (pending_.front().Due <= Clock::now()) {
          pfd.events |= POLLOUT;
        } else {
          wake = pending_.front().Due;
        }
      }
      timespec timeout{};
      const int ready = ppoll(&pfd, 1, TimeoutUntil(wake, timeout), &waitMask);
      if (ready < 0) {
        if (errno == EINTR) continue;
        std::cerr << "quorvel-sim: poll: " << std::strerror(errno) << "\n";
        return 1;
      }
      if (frozen) continue;
      frozenUntil_.reset();
      if (hangUpAt_) {
        // Anything more from the program under test shows it has taken the
        // last answer.
        if ((pfd.revents & POLLIN) || Clock::now() >= *hangUpAt_) HangUp();
        continue;
      }
      if (pfd.revents & POLLIN) Receive();
      if (pfd.revents & (POLLERR | POLLNVAL)) {
        std::cerr << "quorvel-sim: the terminal failed\n";
        return 1;
      }
      SendDue();
      // The memory is saved once the reset's answer is out: writing the file
      // must not hold the answer back.
      if (saveWhenAnswered_ && pending_.empty()) {
        saveWhenAnswered_ = false;
        SaveIfWanted();
      }
    }
    return 0;
  }

  void SaveIfWanted() {
    if (options_.SavePath.empty()) return;
    if (!SaveHex(instrument_, options_.SavePath)) {
      std::cerr << "quorvel-sim: cannot write " << options_.SavePath << "\n";
    } else if (options_.Log) {
      std::cerr << "quorvel-sim: saved " << instrument_.Flash().WrittenCount() << " bytes to "
                << options_.SavePath << "\n";
    }
  }

 private:
  void Receive() {
    uint8_t buffer[4096];
    const ssize_t n = read(terminal_.Master, buffer, sizeof buffer);
    if (n <= 0) return;
    const auto now = Clock::now();
    // The bytes cross the line one after the other: the first has just
    // arrived unless the line is still busy with earlier ones.
    const auto chunkStart = std::max(now, rxLineFree_);
    rxLineFree_ = chunkStart + byteTime_ * n;
    const size_t unheard = UnheardBytes(chunkStart, static_cast<size_t>(n));
    for (const InstrumentOutput& out : instrument_.Feed(buffer, static_cast<size_t>(n), unheard)) {
      const auto arrived = chunkStart + byteTime_ * static_cast<int64_t>(out.InputEnd);
      if (out.Type == InstrumentOutput::Kind::Echo) {
        // The echo is the line itself: each byte comes back as it crosses
        // it; the device answers after a pause.
        QueueEcho(chunkStart, out.Bytes);
        txLineFree_ =
            std::max(txLineFree_, arrived + std::chrono::milliseconds(options_.EchoGapMs));
        continue;
      }
      const auto start = std::max(arrived, txLineFree_);
      txLineFree_ = start + byteTime_ * static_cast<int64_t>(out.Bytes.size());
      lastAnswerEnd_ = txLineFree_;
      pending_.push_back({txLineFree_, out.Bytes, 0, out.FreezeMsAfter, out.HangUpAfter});
    }
    for (const auto& note : instrument_.TakeNotes()) {
      if (note.Warning ? !options_.Quiet : options_.Log) {
        std::cerr << "quorvel-sim: " << note.Text << "\n";
      }
    }
    if (instrument_.ResetCount() != savedResets_) {
      savedResets_ = instrument_.ResetCount();
      saveWhenAnswered_ = true;
    }
  }

  // How many of n bytes whose first crosses the line at `start` arrive
  // before the device listens again after its last answer.
  size_t UnheardBytes(Clock::time_point start, size_t n) const {
    if (options_.MinCommandGapMs == 0 || !lastAnswerEnd_) return 0;
    const auto listening = *lastAnswerEnd_ + std::chrono::milliseconds(options_.MinCommandGapMs);
    size_t unheard = 0;
    while (unheard < n && start + byteTime_ * static_cast<int64_t>(unheard) < listening) {
      ++unheard;
    }
    return unheard;
  }

  // The echo in pieces of about a millisecond of line time, each due when
  // its last byte has crossed.
  void QueueEcho(Clock::time_point start, const std::vector<uint8_t>& bytes) {
    const size_t piece = std::max<size_t>(1, quorvel::BytesPerSecond(options_.Line) / 1000);
    for (size_t first = 0; first < bytes.size(); first += piece) {
      const size_t end = std::min(bytes.size(), first + piece);
      pending_.push_back({start + byteTime_ * static_cast<int64_t>(end),
                          std::vector<uint8_t>(bytes.begin() + static_cast<std::ptrdiff_t>(first),
                                               bytes.begin() + static_cast<std::ptrdiff_t>(end))});
    }
  }

  void SendDue() {
    const auto now = Clock::now();
    while (!pending_.empty() && pending_.front().Due <= now) {
      PendingWrite& w = pending_.front();
      const ssize_t n = write(terminal_.Master, w.Bytes.data() + w.Sent, w.Bytes.size() - w.Sent);
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) return;  // wait for room (POLLOUT)
        std::cerr << "quorvel-sim: write: " << std::strerror(errno) << "\n";
        pending_.pop_front();
        continue;
      }
      w.Sent += static_cast<size_t>(n);
      if (w.Sent < w.Bytes.size()) return;
      const uint32_t freezeMs = w.FreezeMsAfter;
      const bool hangUp = w.HangUpAfter;
      pending_.pop_front();
      if (hangUp) {
        // Nothing more comes from this device.
        pending_.clear();
        hangUpAt_ = Clock::now() + kHangUpGrace;
        return;
      }
      if (freezeMs > 0) {
        // Answers already queued go out after the pause, at once.
        frozenUntil_ = Clock::now() + std::chrono::milliseconds(freezeMs);
        return;
      }
    }
  }

  void HangUp() {
    if (!options_.Quiet) std::cerr << "quorvel-sim: leaving the line (fault)\n";
    terminal_.Close();
    hangUpAt_.reset();
  }

  const SimOptions& options_;
  Terminal& terminal_;
  Instrument instrument_;
  Nanos byteTime_{0};
  Clock::time_point rxLineFree_{};
  Clock::time_point txLineFree_{};
  std::deque<PendingWrite> pending_;
  uint32_t savedResets_ = 0;
  bool saveWhenAnswered_ = false;
  std::optional<Clock::time_point> frozenUntil_;
  std::optional<Clock::time_point> hangUpAt_;
  // When the last byte of the device's latest answer crosses the line.
  std::optional<Clock::time_point> lastAnswerEnd_;
};

std::string ModeName(const Instrument& instrument) {
  return instrument.Mode() == quorvel::sim::InstrumentMode::Bootloader ? "bootloader"
                                                                       : "user application";
}

}  // namespace

int main(int argc, char** argv) {
  SimOptions options;
  std::string error;
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (!quorvel::sim::ParseSimOptions(args, options, error)) {
    std::cerr << "quorvel-sim: " << error << "\n";
    return 2;
  }
  if (options.Help) {
    std::cout << quorvel::sim::SimUsage();
    return 0;
  }
  if (options.ListDevices) {
    const auto list = quorvel::BuildDeviceList();
    const auto texts = quorvel::DeviceDisplayTexts(list);
    for (size_t i = 1; i < texts.size(); ++i) std::cout << texts[i] << "\n";
    return 0;
  }

  Terminal terminal;
  if (options.ServeFd >= 0) {
    if (!ServeDescriptor(terminal, options.ServeFd, error)) {
      std::cerr << "quorvel-sim: " << error << "\n";
      return 1;
    }
  } else if (!OpenTerminal(terminal, error)) {
    std::cerr << "quorvel-sim: " << error << "\n";
    return 1;
  }
  if (!options.LinkPath.empty() && !MakeLink(terminal.Path, options.LinkPath, error)) {
    std::cerr << "quorvel-sim: " << error << "\n";
    return 1;
  }

  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::cout << terminal.Path << std::endl;

  Simulator simulator(options, terminal);
  if (!options.Quiet) {
    const Instrument probe(options.Instrument);
    const auto& inst = options.Instrument;
    std::cerr << "quorvel-sim: " << options.Instrument.Device.Name << " (device code "
              << inst.DeviceCode.value_or(inst.Device.DevCode) << ") on " << terminal.Path
              << (options.LinkPath.empty() ? "" : " (" + options.LinkPath + ")") << ", "
              << quorvel::LineSettingsCaption(options.Line) << ", starting in the "
              << ModeName(probe) << ", serial " << inst.SerialPart1 << "/" << inst.SerialPart2
              << ", block size " << inst.BlockSize << "\n";
  }
  const int result = simulator.Run();
  simulator.SaveIfWanted();
  if (!options.LinkPath.empty()) RemoveOwnLink(terminal.Path, options.LinkPath);
  terminal.Close();
  return result;
}
