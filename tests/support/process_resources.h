// What a long-lived process holds, for the soak tests: open descriptors,
// threads and resident memory, read from /proc/self; and the number of
// rounds a soak test makes (small in the test command, large by hand:
// QUORVEL_SOAK_RUNS=200 and QUORVEL_SOAK_INSTRUMENTS=32, for example).
#pragma once

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <string>
#include <vector>

namespace quorvel::test {

struct ProcessResources {
  int descriptors = 0;
  int threads = 0;
  long residentKiB = 0;
};

inline ProcessResources ReadProcessResources() {
  ProcessResources now;
  for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
    ++now.descriptors;
  }
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("Threads:", 0) == 0) now.threads = std::stoi(line.substr(8));
    if (line.rfind("VmRSS:", 0) == 0) now.residentKiB = std::stol(line.substr(6));
  }
  return now;
}

// A soak setting from the environment, or its default.
inline int SoakSetting(const char* name, int fallback) {
  const char* value = std::getenv(name);
  const int parsed = value != nullptr ? std::atoi(value) : 0;
  return parsed > 0 ? parsed : fallback;
}

// One line per sample: round, descriptors, threads, resident KiB.
inline void PrintSoak(std::ostream& out, const std::string& what,
                      const std::vector<ProcessResources>& samples) {
  out << what << ": round, descriptors, threads, resident KiB\n";
  for (size_t i = 0; i < samples.size(); ++i) {
    // The first rounds, then every tenth, and the last.
    if (i < 3 || i % 10 == 0 || i + 1 == samples.size()) {
      out << "  " << i + 1 << ", " << samples[i].descriptors << ", " << samples[i].threads << ", "
          << samples[i].residentKiB << "\n";
    }
  }
}

}  // namespace quorvel::test
