// libFuzzer target: ReadDataFile over arbitrary file contents, with both
// kinds accepted and in header-only mode.
#include <unistd.h>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "datafile/data_file.h"
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
    std::string pattern = "/tmp/quorvel-fuzz-qvl-XXXXXX";
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
  uint16_t devCode = 0;
  uint16_t variant = 0;
  quorvel::FirmwareImage image;
  std::string version;
  const int32_t full =
      quorvel::ReadDataFile(InputFile(), quorvel::kAcceptEncoded | quorvel::kAcceptHex, false,
                            devCode, variant, image, &version);
  if (full < quorvel::kCrcError || full > quorvel::kHexFileLoaded) std::abort();
  if (full >= 0 && image.ImageSize() > quorvel::kMaxImageSize) std::abort();
  quorvel::FirmwareImage untouched;
  untouched.ImageStart = 1;
  const int32_t header = quorvel::ReadDataFile(InputFile(), quorvel::kAcceptEncoded, true, devCode,
                                               variant, untouched);
  if (header < quorvel::kCrcError || header > quorvel::kEncodedFileLoaded) std::abort();
  if (untouched.ImageStart != 1 || !untouched.ImageData.empty()) std::abort();
  return 0;
}
