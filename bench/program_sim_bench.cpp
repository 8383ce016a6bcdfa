// Timed programming runs of a 128 KiB image in 256-byte blocks into the
// paced simulated instrument, with the automatic and the standard frame gap,
// measured against the line:
//  - the share of the line rate: image bytes per second over baud / 10;
//  - the wire model: every byte of every command and reply at the line rate,
//    no gaps at all (no host can be faster);
//  - for the standard gap, the time before the automatic gap existed.
//  - a bare reference host on the same terminal and simulator (see
//    reference_host.h), with no quiet period and with the one the automatic
//    frame gap chooses: what any host loses to the terminal and the
//    simulator, and what Quorvel loses beyond that.
// With --timeline, the time from each data block handed to the link to its
// acknowledgement handled, less the block's own wire time (the host's and
// the simulator's share), as quartiles.
// ref/time: the reference host with the automatic quiet period over the
// row's time.
// --cpu N keeps the benchmark, the simulator and quorvel-cli on CPU N: in a
// virtual machine, waking a thread on another, idle virtual CPU can cost
// up to a few ms, which then counts against every host alike.
// Run: program_sim_bench [--timeline] [--cpu N] [baud...]   (default: 115200 57600 9600)
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "bench_processes.h"
#include "datafile/data_file.h"
#include "reference_host.h"
#include "run/line_settings.h"

namespace {

using quorvel::bench::BaudOrdinal;
using quorvel::bench::Spawn;
using quorvel::bench::Wait;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageSize = 128 * 1024;
constexpr uint32_t kBlockSize = 256;
constexpr uint32_t kImageStart = 0x08000000;
// A write command and its acknowledgement.
constexpr uint32_t kBlockWireBytes = 2 + 4 + 4 + kBlockSize + 2 + 6;

// Image bytes per second before the automatic frame gap (50 ms always).
const std::map<uint32_t, double> kBeforeBytesPerSecond = {
    {115200, 3426}, {57600, 2597}, {9600, 760}};

// Reads the program's output as it comes and notes when each data block was
// handed on and when its acknowledgement was handled: ms from handing on to
// acknowledgement for every block.
std::vector<double> BlockTimes(int fd) {
  std::vector<double> times;
  std::string line;
  std::optional<Clock::time_point> sent;
  char buffer[4096];
  for (;;) {
    const ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    const auto now = Clock::now();
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\n') {
        line += buffer[i];
        continue;
      }
      if (line.find("- Sending data block:") != std::string::npos) sent = now;
      if (line.find("- Writing data block:") != std::string::npos && sent) {
        times.push_back(std::chrono::duration<double, std::milli>(now - *sent).count());
        sent.reset();
      }
      line.clear();
    }
  }
  return times;
}

struct Result {
  double seconds = 0;
  int exitCode = -1;
  std::vector<double> blockMs;
};

// The simulated instrument in its bootloader on the terminal `port`.
pid_t StartSimulator(const fs::path& dir, const std::string& port, uint32_t baud) {
  fs::remove(port);
  const pid_t sim =
      Spawn({QUORVEL_SIM, "--device", "KV-310", "--mode", "boot", "--baud", std::to_string(baud),
             "--block-size", std::to_string(kBlockSize), "--link", port, "--quiet"},
            (dir / "sim.out").string());
  while (!fs::exists(port)) usleep(10000);
  return sim;
}

void StopSimulator(pid_t sim) {
  kill(sim, SIGTERM);
  Wait(sim);
}

Result RunReference(const fs::path& dir, const std::vector<uint8_t>& image, uint32_t baud,
                    int quietMs) {
  const std::string port = (dir / "port").string();
  const pid_t sim = StartSimulator(dir, port, baud);
  Result result;
  const auto start = Clock::now();
  {
    quorvel::bench::ReferenceHost host(port, quietMs);
    result.exitCode = host.Program(image, kImageStart) ? 0 : 1;
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  StopSimulator(sim);
  return result;
}

Result RunOnce(const fs::path& dir, const std::string& file, uint32_t baud, const std::string& gap,
               bool timeline) {
  const std::string port = (dir / "port").string();
  const pid_t sim = StartSimulator(dir, port, baud);
  std::vector<std::string> args{QUORVEL_CLI,   "program", "--device", "KV-310",
                                "--port",      port,      "--baud",   std::to_string(baud),
                                "--frame-gap", gap,       file};
  Result result;
  const auto start = Clock::now();
  if (timeline) {
    // The log through a pipe, each line timed as it arrives.
    const std::string fifo = (dir / "log.fifo").string();
    mkfifo(fifo.c_str(), 0600);
    // Open for reading first: the program's side would wait for a reader
    // inside the spawn, which waits for it.
    const int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    const pid_t cli = Spawn(args, fifo);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    result.blockMs = BlockTimes(fd);
    close(fd);
    result.exitCode = Wait(cli);
    fs::remove(fifo);
  } else {
    result.exitCode = Wait(Spawn(args, (dir / "cli.out").string()));
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  StopSimulator(sim);
  return result;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
  bool timeline = false;
  std::vector<uint32_t> rates;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--timeline") {
      timeline = true;
    } else if (arg == "--cpu" && i + 1 < argc) {
      // Inherited by every process the benchmark starts.
      cpu_set_t set;
      CPU_ZERO(&set);
      CPU_SET(std::stoi(argv[++i]), &set);
      if (sched_setaffinity(0, sizeof set, &set) != 0) {
        std::perror("sched_setaffinity");
        return 1;
      }
    } else {
      rates.push_back(static_cast<uint32_t>(std::stoul(arg)));
    }
  }
  if (rates.empty()) rates = {115200, 57600, 9600};

  const fs::path dir = fs::temp_directory_path() / ("quorvel-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 random(7);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  const std::string file = (dir / "image.qvl").string();
  if (!quorvel::WriteDataFile(file, image, nullptr, 1, 0, kImageStart)) return 1;

  // Bytes on the wire: connect, device information, erase, every block and
  // the reset, each with its reply.
  const uint32_t blocks = kImageSize / kBlockSize;
  const uint64_t wireBytes =
      (2 + 2) + (2 + 20) + (6 + 2) + uint64_t{blocks} * kBlockWireBytes + (2 + 2);

  std::printf(
      "image %u bytes, block %u bytes, %llu bytes on the wire (ceiling %.1f %% of the "
      "line rate)\n",
      kImageSize, kBlockSize, static_cast<unsigned long long>(wireBytes),
      100.0 * kImageSize / static_cast<double>(wireBytes));
  std::printf("%7s %-16s %9s %9s %8s %9s %10s %9s %10s%s\n", "baud", "host, gap", "elapsed", "B/s",
              "line %", "wire s", "wire/time", "ref/time", "vs before",
              timeline ? "   block excess ms (q1/median/q3/max, sum s)" : "");
  for (uint32_t baud : rates) {
    const quorvel::LineSettings line{BaudOrdinal(baud, quorvel::br009600), quorvel::pbNone,
                                     quorvel::dbEight, quorvel::sbOne};
    const double lineRate = baud / 10.0;
    const double wireSeconds = static_cast<double>(wireBytes) / lineRate;
    const double blockWireMs = kBlockWireBytes * 1000.0 / lineRate;
    const int autoQuietMs = quorvel::AutoFrameGapMs(line);

    // The reference with the automatic gap's quiet period first: the
    // Quorvel rows are compared with it.
    const Result reference = RunReference(dir, image, baud, autoQuietMs);
    const Result bare = RunReference(dir, image, baud, 0);
    const auto printRow = [&](const std::string& host, const Result& r, const std::string& before) {
      const double bytesPerSecond = kImageSize / r.seconds;
      std::printf("%7u %-16s %8.2fs %9.0f %7.1f%% %8.2fs %9.1f%% %8.1f%% %10s", baud, host.c_str(),
                  r.seconds, bytesPerSecond, 100.0 * bytesPerSecond / lineRate, wireSeconds,
                  100.0 * wireSeconds / r.seconds, 100.0 * reference.seconds / r.seconds,
                  before.c_str());
      if (timeline && !r.blockMs.empty()) {
        double sum = 0;
        for (double ms : r.blockMs) sum += ms - blockWireMs;
        std::printf("   %.2f/%.2f/%.2f/%.2f, %.2f", Quantile(r.blockMs, 0.25) - blockWireMs,
                    Quantile(r.blockMs, 0.5) - blockWireMs, Quantile(r.blockMs, 0.75) - blockWireMs,
                    Quantile(r.blockMs, 1.0) - blockWireMs, sum / 1000.0);
      }
      std::printf("%s\n", r.exitCode == 0 ? "" : "  (run failed)");
      std::fflush(stdout);
    };
    printRow("reference, " + std::to_string(autoQuietMs) + " ms", reference, "-");
    printRow("reference, 0 ms", bare, "-");
    for (const std::string gap : {"auto", "standard"}) {
      const Result r = RunOnce(dir, file, baud, gap, timeline);
      std::string before = "-";
      if (gap == "standard" && kBeforeBytesPerSecond.count(baud) != 0) {
        char text[32];
        std::snprintf(text, sizeof text, "%.3fx",
                      r.seconds / (kImageSize / kBeforeBytesPerSecond.at(baud)));
        before = text;
      }
      printRow("quorvel, " + gap, r, before);
    }
  }
  fs::remove_all(dir);
  return 0;
}
