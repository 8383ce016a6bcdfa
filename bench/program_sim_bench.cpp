// Timed programming runs of a 128 KiB image into the paced simulated
// instrument, at 9600 and 115200 baud, against two references:
//  - the line limit: every byte of every command and reply at the line rate;
//  - the protocol model: the line limit plus one quiet gap (the receiver's
//    TimeOut, 50 ms) per reply, which is how a reply is known to be complete.
// Run: program_sim_bench [baud...]   (default: 9600 115200)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench_processes.h"
#include "datafile/data_file.h"
#include "serial/line_settings.h"

namespace {

using quorvel::bench::BaudOrdinal;
using quorvel::bench::Spawn;
using quorvel::bench::Wait;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kImageSize = 128 * 1024;
constexpr uint32_t kBlockSize = 256;
constexpr uint32_t kReceiveGapMs = 50;

}  // namespace

int main(int argc, char** argv) {
  std::vector<uint32_t> rates;
  for (int i = 1; i < argc; ++i) rates.push_back(static_cast<uint32_t>(std::stoul(argv[i])));
  if (rates.empty()) rates = {9600, 115200};

  const fs::path dir = fs::temp_directory_path() / ("quorvel-bench-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kImageSize);
  std::mt19937 random(7);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  const std::string file = (dir / "image.qvl").string();
  if (!quorvel::WriteDataFile(file, image, nullptr, 1, 0, 0x08000000)) return 1;

  // Bytes on the wire: connect, device information, erase, every block and
  // the reset, each with its reply.
  const uint32_t blocks = kImageSize / kBlockSize;
  const uint64_t wireBytes =
      (2 + 2) + (2 + 20) + (6 + 2) + uint64_t{blocks} * (2 + 4 + 4 + kBlockSize + 2 + 6) + (2 + 2);
  const uint32_t replies = blocks + 4;

  std::printf("image %u bytes, block %u bytes, %u replies, %llu bytes on the wire\n", kImageSize,
              kBlockSize, replies, static_cast<unsigned long long>(wireBytes));
  std::printf("%8s %12s %12s %14s %10s\n", "baud", "elapsed s", "line limit", "protocol model",
              "vs model");
  for (uint32_t baud : rates) {
    const std::string port = (dir / "port").string();
    const pid_t sim =
        Spawn({QUORVEL_SIM, "--device", "KV-310", "--mode", "boot", "--baud", std::to_string(baud),
               "--block-size", std::to_string(kBlockSize), "--link", port, "--quiet"},
              (dir / "sim.out").string());
    while (!fs::exists(port)) usleep(10000);

    const auto start = Clock::now();
    const pid_t cli = Spawn({QUORVEL_CLI, "program", "--device", "KV-310", "--port", port, "--baud",
                             std::to_string(baud), file},
                            (dir / "cli.out").string());
    const int code = Wait(cli);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    kill(sim, SIGTERM);
    Wait(sim);

    const quorvel::LineSettings line{BaudOrdinal(baud, quorvel::br009600), quorvel::pbNone,
                                     quorvel::dbEight, quorvel::sbOne};
    const double lineLimit = static_cast<double>(wireBytes) / quorvel::BytesPerSecond(line);
    const double model = lineLimit + replies * kReceiveGapMs / 1000.0;
    std::printf("%8u %12.2f %12.2f %14.2f %+9.1f%%%s\n", baud, elapsed, lineLimit, model,
                (elapsed / model - 1.0) * 100.0, code == 0 ? "" : "  (run failed)");
    if (code != 0) std::system(("tail -n 15 '" + (dir / "cli.out").string() + "'").c_str());
  }
  fs::remove_all(dir);
  return 0;
}
