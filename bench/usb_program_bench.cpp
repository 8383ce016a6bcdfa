// Timed programming runs of a 128 KiB image (256-byte blocks) at 115200
// baud, quorvel-cli against the paced simulated instrument, over two paths:
//  - USB: a TRP-40 (USB row) through the built-in D2XX provider, on an FTDI
//    converter of a umockdev bed whose terminal's master side the simulator
//    serves; quorvel-cli runs under umockdev's preload library, which sends
//    every ioctl on the converter's terminal through a socket to this
//    process: a cost per ioctl that a real converter does not have;
//  - serial: a TRP-40 (serial row) on the simulator's own pseudo-terminal.
// Reported: seconds, image bytes per second, and that rate's share of the
// line rate (baud / 10 bytes per second).
// Run: usb_program_bench [runs]   (default 1 run of each)
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_processes.h"
#include "datafile/data_file.h"

#if defined(QUORVEL_UMOCKDEV_PRELOAD)
#include "umockdev_bed.h"
#endif

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using quorvel::bench::Spawn;

constexpr uint32_t kImageSize = 128 * 1024;
constexpr uint32_t kBlockSize = 256;
constexpr uint32_t kBaud = 115200;
constexpr int kRunLimitSeconds = 180;

// The exit code of the program, waiting at most `seconds`; it is killed
// then (-2), -1 when it did not exit normally.
int WaitAtMost(pid_t pid, int seconds) {
  const int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd pfd{pidfd, POLLIN, 0};
    const int ready = poll(&pfd, 1, seconds * 1000);
    close(pidfd);
    if (ready == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
      return -2;
    }
  }
  return quorvel::bench::Wait(pid);
}

struct Result {
  double seconds = 0;
  bool ok = false;
  std::string detail;
};

void Print(const char* path, const Result& r) {
  const double rate = r.seconds > 0 ? kImageSize / r.seconds : 0;
  const double line = kBaud / 10.0;
  std::printf("%-28s %10.2f %12.0f %9.1f%%%s\n", path, r.seconds, rate, rate / line * 100.0,
              r.ok ? "" : "  (run failed)");
  if (!r.ok) std::printf("%s\n", r.detail.c_str());
}

// Starts args[0] with its standard output on a pipe; -1 when it could not
// be started.
pid_t SpawnPiped(std::vector<std::string> args, int* output) {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return -1;
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  pid_t pid = -1;
  if (posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  *output = fds[0];
  return pid;
}

// One quorvel-cli run; the simulator is already serving. Timed from the
// start to the acknowledged reset (the run's last exchange), so that the
// figure is the programming and not the process's end.
Result RunCli(const std::vector<std::string>& args) {
  Result result;
  const auto start = Clock::now();
  int output = -1;
  const pid_t cli = SpawnPiped(args, &output);
  if (cli <= 0) return {0, false, "quorvel-cli did not start"};
  std::string printed;
  bool reset = false;
  const auto limit = start + std::chrono::seconds(kRunLimitSeconds);
  while (Clock::now() < limit) {
    pollfd pfd{output, POLLIN, 0};
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
    if (poll(&pfd, 1, static_cast<int>(std::max<long long>(left, 1))) <= 0) break;
    char buffer[4096];
    const ssize_t n = read(output, buffer, sizeof buffer);
    if (n <= 0) break;
    printed.append(buffer, static_cast<size_t>(n));
    if (!reset && printed.find("Device reset: OK") != std::string::npos) {
      reset = true;
      result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
  }
  close(output);
  // The process ends within seconds of the reset, or it is stuck at the
  // close.
  const int code = WaitAtMost(cli, reset ? 10 : 1);
  result.ok =
      reset && code == 0 && printed.find("programming was successful.") != std::string::npos;
  if (!result.ok) {
    result.detail =
        std::string(reset ? "reset acknowledged; " : "no reset; ") + "exit " +
        std::to_string(code) + (code == -2 ? " (killed: it did not end)" : "") +
        "; last output: " + printed.substr(printed.size() > 400 ? printed.size() - 400 : 0);
  }
  return result;
}

Result SerialRun(const fs::path& dir, const std::string& file) {
  const std::string port = (dir / "port").string();
  fs::remove(port);
  const pid_t sim = Spawn(
      {QUORVEL_SIM, "--device", "TRP-40 .COM", "--mode", "boot", "--baud", std::to_string(kBaud),
       "--block-size", std::to_string(kBlockSize), "--link", port, "--quiet"},
      (dir / "sim.out").string());
  // The simulator prints the terminal's path once the link is there.
  for (int i = 0; i < 500 && !fs::exists(port); ++i) usleep(10000);
  const Result result = RunCli({QUORVEL_CLI, "program", "--device", "TRP-40 .COM", "--port", port,
                                "--baud", std::to_string(kBaud), file});
  kill(sim, SIGTERM);
  quorvel::bench::Wait(sim);
  return result;
}

#if defined(QUORVEL_UMOCKDEV_PRELOAD)
Result UsbRun(const std::string& file, unsigned run) {
  quorvel::testing::UmockdevBed bed;
  quorvel::testing::Converter converter;
  converter.tty = "ttyUSB" + std::to_string(run);
  converter.minor = run;
  converter.product = "TRP-40";
  converter.serial = "BENCH1";
  if (!bed.Add(converter)) return {0, false, "the bed refused the converter"};

  // The simulator serves the master side, handed over as descriptor 3.
  std::vector<std::string> simArgs{QUORVEL_SIM,
                                   "--fd",
                                   "3",
                                   "--device",
                                   "TRP-40 .USB",
                                   "--mode",
                                   "boot",
                                   "--baud",
                                   std::to_string(kBaud),
                                   "--block-size",
                                   std::to_string(kBlockSize),
                                   "--quiet"};
  std::vector<char*> argv;
  for (std::string& a : simArgs) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, bed.Master(converter), 3);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t sim = -1;
  if (posix_spawn(&sim, QUORVEL_SIM, &actions, nullptr, argv.data(), environ) != 0) sim = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (sim <= 0) return {0, false, "the simulator did not start"};

  // quorvel-cli sees the bed (UMOCKDEV_DIR, set by the bed) through the
  // preload library, and uses the built-in provider.
  setenv("LD_PRELOAD", QUORVEL_UMOCKDEV_PRELOAD, 1);
  setenv("QUORVEL_D2XX_LIBRARY", "builtin", 1);
  const Result result =
      RunCli({QUORVEL_CLI, "program", "--device", "TRP-40 .USB", "--port", "TRP-40 BENCH1", file});
  unsetenv("LD_PRELOAD");
  kill(sim, SIGTERM);
  quorvel::bench::Wait(sim);
  return result;
}
#endif

}  // namespace

int main(int argc, char** argv) {
  const unsigned runs = argc > 1 ? static_cast<unsigned>(std::stoul(argv[1])) : 1;
  const fs::path dir = fs::temp_directory_path() / ("quorvel-usbbench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 random(7);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  // TRP-40: device code 2; the USB row is variant 0, the serial row 1.
  const std::string usbFile = (dir / "usb.qvl").string();
  const std::string serialFile = (dir / "serial.qvl").string();
  if (!quorvel::WriteDataFile(usbFile, image, nullptr, 2, 0, 0x08000000) ||
      !quorvel::WriteDataFile(serialFile, image, nullptr, 2, 1, 0x08000000)) {
    std::fprintf(stderr, "cannot write the data files\n");
    return 1;
  }

  std::printf("image %u bytes, block %u bytes, %u baud (line rate %.0f bytes/s)\n", kImageSize,
              kBlockSize, kBaud, kBaud / 10.0);
  std::printf("%-28s %10s %12s %10s\n", "path", "seconds", "bytes/s", "of line");
  for (unsigned run = 0; run < runs; ++run) {
#if defined(QUORVEL_UMOCKDEV_PRELOAD)
    Print("USB built-in (umockdev)", UsbRun(usbFile, run));
#endif
    Print("serial (pty)", SerialRun(dir, serialFile));
  }
#if defined(QUORVEL_UMOCKDEV_PRELOAD)
  std::printf(
      "note: under umockdev every ioctl on the converter's terminal (the provider's status and\n"
      "queue queries, several per reply) crosses a socket to the bed in this process: the USB\n"
      "figure carries that cost, which a real converter does not have.\n");
#else
  std::printf("USB path not measured: umockdev was not found when this program was built.\n");
#endif
  fs::remove_all(dir);
  return 0;
}
