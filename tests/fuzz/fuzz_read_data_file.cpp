// libFuzzer target: ReadDataFile over arbitrary file contents, with both
// kinds accepted and in header-only mode. Every refusal names its cause.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "datafile/data_file.h"
#include "app/prompt.h"
#include "fuzz_input_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A negative result has a cause that the one-line text carries; any other
// result has none.
void CheckProblem(int32_t result, const quorvel::DataFileProblem& problem) {
  if (result >= 0) {
    Check(problem.Line == 0 && problem.Cause.empty());
    return;
  }
  Check(!problem.Cause.empty());
  const std::string& name = quorvel::fuzz::InputFile();
  const std::string text = quorvel::DataFileProblemText(name, problem);
  Check(text.starts_with(name + ": ") && text.ends_with(problem.Cause));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quorvel::SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  quorvel::fuzz::WriteInput(data, size);
  uint16_t devCode = 0;
  uint16_t variant = 0;
  quorvel::FirmwareImage image;
  std::string version;
  quorvel::DataFileProblem problem{7, "stale"};
  const int32_t full = quorvel::ReadDataFile(quorvel::fuzz::InputFile(),
                                             quorvel::kAcceptEncoded | quorvel::kAcceptHex, false,
                                             devCode, variant, image, &version, &problem);
  Check(full >= quorvel::kCrcError && full <= quorvel::kHexFileLoaded);
  Check(full < 0 || image.ImageSize() <= quorvel::kMaxImageSize);
  CheckProblem(full, problem);
  quorvel::FirmwareImage untouched;
  untouched.ImageStart = 1;
  problem = {7, "stale"};
  const int32_t header =
      quorvel::ReadDataFile(quorvel::fuzz::InputFile(), quorvel::kAcceptEncoded, true, devCode,
                            variant, untouched, nullptr, &problem);
  Check(header >= quorvel::kCrcError && header <= quorvel::kEncodedFileLoaded);
  Check(untouched.ImageStart == 1 && untouched.ImageData.empty());
  CheckProblem(header, problem);
  return 0;
}
