// The fuzz input as a file on disk: the data-file readers take a file name.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace quorvel::fuzz {

// One temporary file per process, removed at exit.
inline const std::string& InputFile() {
  static const std::string name = [] {
    std::string pattern = "/tmp/quorvel-fuzz-XXXXXX";
    const int fd = mkstemp(pattern.data());
    if (fd < 0) std::abort();
    close(fd);
    // A copy the exit handler can use after the string is gone.
    static char removeAtExit[64];
    std::snprintf(removeAtExit, sizeof removeAtExit, "%s", pattern.c_str());
    std::atexit([] { unlink(removeAtExit); });
    return pattern;
  }();
  return name;
}

// Rewrites the input file with this input's bytes.
inline void WriteInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputFile().c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

}  // namespace quorvel::fuzz
