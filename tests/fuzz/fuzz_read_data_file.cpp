// libFuzzer target: ReadDataFile over arbitrary file contents, with both
// kinds accepted and in header-only mode.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datafile/data_file.h"
#include "dialogs/prompt.h"
#include "fuzz_input_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quorvel::SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  quorvel::fuzz::WriteInput(data, size);
  uint16_t devCode = 0;
  uint16_t variant = 0;
  quorvel::FirmwareImage image;
  std::string version;
  const int32_t full = quorvel::ReadDataFile(quorvel::fuzz::InputFile(),
                                             quorvel::kAcceptEncoded | quorvel::kAcceptHex, false,
                                             devCode, variant, image, &version);
  if (full < quorvel::kCrcError || full > quorvel::kHexFileLoaded) std::abort();
  if (full >= 0 && image.ImageSize() > quorvel::kMaxImageSize) std::abort();
  quorvel::FirmwareImage untouched;
  untouched.ImageStart = 1;
  const int32_t header = quorvel::ReadDataFile(quorvel::fuzz::InputFile(), quorvel::kAcceptEncoded,
                                               true, devCode, variant, untouched);
  if (header < quorvel::kCrcError || header > quorvel::kEncodedFileLoaded) std::abort();
  if (untouched.ImageStart != 1 || !untouched.ImageData.empty()) std::abort();
  return 0;
}
