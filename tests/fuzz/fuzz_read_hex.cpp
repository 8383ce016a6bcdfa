// libFuzzer target: ReadHexFile over arbitrary file contents.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datafile/hex_file.h"
#include "dialogs/prompt.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quorvel::SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  quorvel::fuzz::WriteInput(data, size);
  quorvel::FirmwareImage image;
  const int32_t result = quorvel::ReadHexFile(quorvel::fuzz::InputFile(), image);
  if (result != 0 && result != -1 && result != -5) std::abort();
  if (result == 0 && image.ImageSize() > quorvel::kMaxImageSize) std::abort();
  return 0;
}
