// Several simulated instruments programmed by one quorvel-cli process
// against one instrument alone: the runs share one main thread and event
// loop (each port has its own I/O threads), so four together should take
// about as long as one.
// Run: multi_program_bench [instruments [image KiB [baud]]]   (default: 4 64 115200)
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
#include "run/line_settings.h"

namespace {

using quorvel::bench::BaudOrdinal;
using quorvel::bench::Spawn;
using quorvel::bench::Wait;

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

// Programs `count` instruments from one quorvel-cli; the wall time in s, or
// a negative value when a run failed.
double ProgramTogether(const fs::path& dir, int count, uint32_t baud, const std::string& file) {
  std::vector<pid_t> sims;
  std::vector<std::string> cli{QUORVEL_CLI, "program", "--device",
                               "KV-310",    "--baud",  std::to_string(baud)};
  for (int i = 0; i < count; ++i) {
    const std::string port = (dir / ("port" + std::to_string(i))).string();
    fs::remove(port);
    sims.push_back(Spawn({QUORVEL_SIM, "--device", "KV-310", "--mode", "boot", "--baud",
                          std::to_string(baud), "--link", port, "--quiet"},
                         (dir / ("sim" + std::to_string(i) + ".out")).string()));
    cli.insert(cli.end(), {"--port", port});
  }
  for (int i = 0; i < count; ++i) {
    while (!fs::exists(dir / ("port" + std::to_string(i)))) usleep(10000);
  }
  cli.push_back(file);
  const auto start = Clock::now();
  const int code = Wait(Spawn(cli, (dir / "cli.out").string()));
  const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
  for (pid_t sim : sims) kill(sim, SIGTERM);
  for (pid_t sim : sims) Wait(sim);
  if (code != 0) {
    std::system(("tail -n 15 '" + (dir / "cli.out").string() + "'").c_str());
    return -1;
  }
  return elapsed;
}

}  // namespace

int main(int argc, char** argv) {
  const int count = argc > 1 ? std::stoi(argv[1]) : 4;
  const uint32_t kib = argc > 2 ? static_cast<uint32_t>(std::stoul(argv[2])) : 64;
  const uint32_t baud = argc > 3 ? static_cast<uint32_t>(std::stoul(argv[3])) : 115200;

  const fs::path dir = fs::temp_directory_path() / ("quorvel-multi-" + std::to_string(getpid()));
  fs::create_directories(dir);
  std::vector<uint8_t> image(kib * 1024);
  std::mt19937 random(7);
  for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
  const std::string file = (dir / "image.qvl").string();
  if (!quorvel::WriteDataFile(file, image, nullptr, 1, 0, 0x08000000)) return 1;

  const quorvel::LineSettings line{BaudOrdinal(baud, quorvel::br115200), quorvel::pbNone,
                                   quorvel::dbEight, quorvel::sbOne};
  const double lineRate = quorvel::BytesPerSecond(line);
  const double alone = ProgramTogether(dir, 1, baud, file);
  const double together = ProgramTogether(dir, count, baud, file);
  fs::remove_all(dir);
  if (alone < 0 || together < 0) {
    std::printf("a run failed\n");
    return 1;
  }
  std::printf("image %u bytes at %u baud (line rate %.0f B/s)\n", kib * 1024, baud, lineRate);
  std::printf("one alone:       %8.2f s  %7.0f B/s per instrument  %.3f of the line rate\n", alone,
              image.size() / alone, image.size() / alone / lineRate);
  std::printf("%d together:      %8.2f s  %7.0f B/s per instrument  %.3f of the line rate\n", count,
              together, image.size() / together, image.size() / together / lineRate);
  std::printf("together / alone: %.3f (limit 1.15)\n", together / alone);
  return together / alone <= 1.15 ? 0 : 2;
}
