// Measures the monitor's memory: a shown monitor window takes a stream of
// blocks as a programming run makes them (write commands with their echoes
// and replies, or blocks of one length given on the command line) and the
// resident memory is printed as the rows grow to their bound and stay there.
// Not a test: it prints the numbers.
//   vantor_memory_bench [BLOCKS] [BLOCK_LENGTH]
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "app/globals.h"
#include "run/bus_frames.h"
#include "vantor/monitor_window.h"

namespace {

// "VmRSS" or "VmHWM" of this process in KiB.
long StatusKiB(const std::string& key) {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind(key + ":", 0) == 0) return std::stol(line.substr(key.size() + 1));
  }
  return -1;
}

struct Block {
  quorvel::TrafficDirection direction;
  std::vector<uint8_t> bytes;
};

std::vector<Block> RunBlocks(size_t length) {
  using quorvel::TrafficDirection;
  if (length > 0) {
    return {{TrafficDirection::Sent, std::vector<uint8_t>(length, 0x5A)},
            {TrafficDirection::Received, std::vector<uint8_t>(length, 0xA5)}};
  }
  const std::vector<uint8_t> data(256, 0x3C);
  const std::vector<uint8_t> write = quorvel::BuildWriteCommand(0x1234, 0x5678, 0x8000, data);
  return {{TrafficDirection::Sent, write},
          {TrafficDirection::Received, write},
          {TrafficDirection::Received, {quorvel::kBootPositive, quorvel::kBootWrite}}};
}

}  // namespace

int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  quorvel::Language = 1;
  const long blocks = argc > 1 ? std::stol(argv[1]) : 1000000;
  const size_t length = argc > 2 ? std::stoul(argv[2]) : 0;
  const std::vector<Block> cycle = RunBlocks(length);

  quorvel::MonitorWindow window;
  window.SetDevice({0, "/dev/ttyUSB0"});
  window.show();
  QApplication::processEvents();
  std::printf("rows at most %zu, block bytes at most %zu MiB\n", window.Rows().MaxRows(),
              window.Rows().MaxBytes() >> 20);
  std::printf("%10s %10s %10s %12s\n", "blocks", "rows", "RSS KiB", "peak KiB");
  std::printf("%10d %10d %10ld %12ld\n", 0, 0, StatusKiB("VmRSS"), StatusKiB("VmHWM"));
  const auto start = std::chrono::steady_clock::now();
  // One batch per 1000 blocks, with the view's update after it, as a fast
  // run gives the monitor.
  for (long n = 0; n < blocks; ++n) {
    const Block& block = cycle[static_cast<size_t>(n) % cycle.size()];
    window.Rows().AddBlock(block.direction, block.bytes);
    if ((n + 1) % 1000 == 0) {
      window.Rows().Flush();
      QApplication::processEvents();
    }
    if ((n + 1) % 100000 == 0) {
      std::printf("%10ld %10d %10ld %12ld\n", n + 1, window.Rows().rowCount(),
                  StatusKiB("VmRSS"), StatusKiB("VmHWM"));
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("%.0f blocks/s taken in (decoded and shown)\n", static_cast<double>(blocks) / seconds);
  return 0;
}
