// libFuzzer target: ReadHexFile over arbitrary file contents.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datafile/hex_file.h"
#include "dialogs/prompt.h"

namespace {

class SilentPrompt final : public quorvel::Prompt {
 public:
  bool MsgBox(const std::string&, const std::string&, uint32_t) override { return true; }
  bool AskYesNo(const std::string&, const std::string&, uint32_t, bool) override { return false; }
};

// One temporary file per process, rewritten for every input.
const std::string& InputFile() {
  static const std::string name = [] {
    std::string pattern = "/tmp/quorvel-fuzz-hex-XXXXXX";
    int fd = mkstemp(pattern.data());
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

void WriteInput(const uint8_t* data, size_t size) {
  FILE* file = std::fopen(InputFile().c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, file) != size) std::abort();
  std::fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  WriteInput(data, size);
  quorvel::FirmwareImage image;
  const int32_t result = quorvel::ReadHexFile(InputFile(), image);
  if (result != 0 && result != -1 && result != -5) std::abort();
  if (result == 0 && image.ImageSize() > quorvel::kMaxImageSize) std::abort();
  return 0;
}
