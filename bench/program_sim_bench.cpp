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
// ref0/time: the bare reference host (no quiet period) over the row's time.
// Every run checks that the simulator's memory holds the image.
// --runs N repeats the rounds and ends with the median and the spread of
// Quorvel's share, the bare reference's and their ratio (each round's
// Quorvel run over the same round's reference).
// --compare-only runs only the bare reference and Quorvel with the
// automatic gap.
// --cpu N keeps the benchmark, the simulator and quorvel-cli on CPU N: in a
// virtual machine, waking a thread on another, idle virtual CPU can cost
// up to a few ms, which then counts against every host alike.
// Run: program_sim_bench [--timeline] [--runs N] [--compare-only] [--cpu N] [baud...]
//      (default: 115200 57600 9600)
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
#include <random>
#include <string>
#include <vector>

#include "bench_processes.h"
#include "datafile/data_file.h"
#include "datafile/hex_file.h"
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
  // A flag, not an optional: gcc 12 at -O2 takes its value for uninitialised.
  Clock::time_point sent{};
  bool blockSent = false;
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
      if (line.find("- Sending data block:") != std::string::npos) {
        sent = now;
        blockSent = true;
      }
      if (line.find("- Writing data block:") != std::string::npos && blockSent) {
        times.push_back(std::chrono::duration<double, std::milli>(now - sent).count());
        blockSent = false;
      }
      line.clear();
    }
  }
  return times;
}

struct Result {
  double seconds = 0;
  int exitCode = -1;
  // The simulator's memory held the image, byte for byte, and nothing else.
  bool imageWhole = false;
  std::vector<double> blockMs;
  bool Ok() const { return exitCode == 0 && imageWhole; }
};

// The simulated instrument in its bootloader on the terminal `port`; it
// saves what it received to `saved`.
pid_t StartSimulator(const fs::path& dir, const std::string& port, uint32_t baud,
                     const std::string& saved) {
  fs::remove(port);
  fs::remove(saved);
  const pid_t sim = Spawn(
      {QUORVEL_SIM, "--device", "KV-310", "--mode", "boot", "--baud", std::to_string(baud),
       "--block-size", std::to_string(kBlockSize), "--link", port, "--save", saved, "--quiet"},
      (dir / "sim.out").string());
  while (!fs::exists(port)) usleep(10000);
  return sim;
}

// Stops the simulator (it saves its memory at exit) and compares what it
// received with the image.
bool StopSimulatorHolding(pid_t sim, const std::string& saved, const std::vector<uint8_t>& image) {
  kill(sim, SIGTERM);
  if (Wait(sim) != 0) return false;
  quorvel::FirmwareImage received;
  if (quorvel::ReadHexFile(saved, received) != 0) return false;
  return received.ImageStart == kImageStart && received.ImageData == image;
}

Result RunReference(const fs::path& dir, const std::vector<uint8_t>& image, uint32_t baud,
                    int quietMs) {
  const std::string port = (dir / "port").string();
  const std::string saved = (dir / "received.hex").string();
  const pid_t sim = StartSimulator(dir, port, baud, saved);
  Result result;
  const auto start = Clock::now();
  {
    quorvel::bench::ReferenceHost host(port, quietMs);
    result.exitCode = host.Program(image, kImageStart) ? 0 : 1;
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  result.imageWhole = StopSimulatorHolding(sim, saved, image);
  return result;
}

Result RunOnce(const fs::path& dir, const std::string& file, const std::vector<uint8_t>& image,
               uint32_t baud, const std::string& gap, bool timeline) {
  const std::string port = (dir / "port").string();
  const std::string saved = (dir / "received.hex").string();
  const pid_t sim = StartSimulator(dir, port, baud, saved);
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
  result.imageWhole = StopSimulatorHolding(sim, saved, image);
  return result;
}

double Quantile(std::vector<double> values, double q) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  return values[static_cast<size_t>(q * static_cast<double>(values.size() - 1))];
}

// Shares of the line rate of one rate over the runs, for the summary.
struct RateRuns {
  std::vector<double> quorvel;    // Quorvel, automatic gap, % of the line rate
  std::vector<double> reference;  // bare reference host, % of the line rate
  std::vector<double> ratio;      // Quorvel over the bare reference of the same round
  int failed = 0;                 // runs that failed or left another image
};

// "median (lowest-highest)".
std::string Spread(const std::vector<double>& values, const char* format) {
  if (values.empty()) return "-";
  char median[32], low[32], high[32];
  std::snprintf(median, sizeof median, format, Quantile(values, 0.5));
  std::snprintf(low, sizeof low, format, Quantile(values, 0.0));
  std::snprintf(high, sizeof high, format, Quantile(values, 1.0));
  return std::string(median) + " (" + low + "-" + high + ")";
}

}  // namespace

int main(int argc, char** argv) {
  bool timeline = false;
  bool compareOnly = false;
  int runs = 1;
  std::vector<uint32_t> rates;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--timeline") {
      timeline = true;
    } else if (arg == "--compare-only") {
      compareOnly = true;
    } else if (arg == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::stoi(argv[++i]));
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
              "line %", "wire s", "wire/time", "ref0/time", "vs before",
              timeline ? "   block excess ms (q1/median/q3/max, sum s)" : "");
  std::map<uint32_t, RateRuns> summary;
  for (int run = 0; run < runs; ++run) {
    for (uint32_t baud : rates) {
      const quorvel::LineSettings line{BaudOrdinal(baud, quorvel::br009600), quorvel::pbNone,
                                       quorvel::dbEight, quorvel::sbOne};
      const double lineRate = baud / 10.0;
      const double wireSeconds = static_cast<double>(wireBytes) / lineRate;
      const double blockWireMs = kBlockWireBytes * 1000.0 / lineRate;
      const int autoQuietMs = quorvel::AutoFrameGapMs(line);
      const auto lineShare = [&](const Result& r) {
        return 100.0 * kImageSize / r.seconds / lineRate;
      };

      // The bare reference first: the other rows of the round are compared
      // with it.
      const Result bare = RunReference(dir, image, baud, 0);
      const auto printRow = [&](const std::string& host, const Result& r,
                                const std::string& before) {
        std::printf("%7u %-16s %8.2fs %9.0f %7.1f%% %8.2fs %9.1f%% %8.1f%% %10s", baud,
                    host.c_str(), r.seconds, kImageSize / r.seconds, lineShare(r), wireSeconds,
                    100.0 * wireSeconds / r.seconds, 100.0 * bare.seconds / r.seconds,
                    before.c_str());
        if (timeline && !r.blockMs.empty()) {
          double sum = 0;
          for (double ms : r.blockMs) sum += ms - blockWireMs;
          std::printf("   %.2f/%.2f/%.2f/%.2f, %.2f", Quantile(r.blockMs, 0.25) - blockWireMs,
                      Quantile(r.blockMs, 0.5) - blockWireMs,
                      Quantile(r.blockMs, 0.75) - blockWireMs,
                      Quantile(r.blockMs, 1.0) - blockWireMs, sum / 1000.0);
        }
        if (r.exitCode != 0) {
          std::printf("  (run failed)");
        } else if (!r.imageWhole) {
          std::printf("  (image differs)");
        }
        std::printf("\n");
        std::fflush(stdout);
      };
      printRow("reference, 0 ms", bare, "-");
      if (!compareOnly) {
        const Result reference = RunReference(dir, image, baud, autoQuietMs);
        printRow("reference, " + std::to_string(autoQuietMs) + " ms", reference, "-");
      }
      RateRuns& rate = summary[baud];
      for (const std::string gap : {"auto", "standard"}) {
        if (compareOnly && gap != "auto") continue;
        const Result r = RunOnce(dir, file, image, baud, gap, timeline);
        std::string before = "-";
        if (gap == "standard" && kBeforeBytesPerSecond.count(baud) != 0) {
          char text[32];
          std::snprintf(text, sizeof text, "%.3fx",
                        r.seconds / (kImageSize / kBeforeBytesPerSecond.at(baud)));
          before = text;
        }
        printRow("quorvel, " + gap, r, before);
        if (gap != "auto") continue;
        if (!r.Ok() || !bare.Ok()) {
          ++rate.failed;
          continue;
        }
        rate.quorvel.push_back(lineShare(r));
        rate.reference.push_back(lineShare(bare));
        rate.ratio.push_back(bare.seconds / r.seconds);
      }
    }
  }

  std::printf("\nshare of the line rate over %d run(s): median (lowest-highest)\n", runs);
  std::printf("%7s %-24s %-24s %-24s %s\n", "baud", "quorvel, auto", "bare reference",
              "quorvel / reference", "failed or image differs");
  for (uint32_t baud : rates) {
    const RateRuns& rate = summary[baud];
    std::printf("%7u %-24s %-24s %-24s %d\n", baud, Spread(rate.quorvel, "%.2f%%").c_str(),
                Spread(rate.reference, "%.2f%%").c_str(), Spread(rate.ratio, "%.4f").c_str(),
                rate.failed);
  }
  fs::remove_all(dir);
  return 0;
}
