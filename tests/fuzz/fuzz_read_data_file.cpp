// libFuzzer target: the data-file reader over arbitrary file contents, in
// memory (the file reader is a shell over the same parser), with both kinds
// accepted and in header-only mode. Every refusal names its cause.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "app/prompt.h"
#include "datafile/data_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

// A refusal has a cause that the one-line text carries; a loaded file has
// none.
void CheckProblem(const quorvel::DataFileContents& contents) {
  const quorvel::DataFileProblem& problem = contents.Problem;
  if (contents.Loaded()) {
    Check(problem.Line == 0 && problem.Cause.empty());
    return;
  }
  Check(!problem.Cause.empty());
  const std::string name = "input";
  const std::string text = quorvel::DataFileProblemText(name, problem);
  Check(text.starts_with(name + ": ") && text.ends_with(problem.Cause));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quorvel::SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  using quorvel::DataFileResult;
  const quorvel::DataFileContents full =
      quorvel::ReadDataBytes({data, size}, quorvel::kAcceptEncoded | quorvel::kAcceptHex);
  const auto code = static_cast<int32_t>(full.Result);
  Check(code >= static_cast<int32_t>(DataFileResult::CrcError) &&
        code <= static_cast<int32_t>(DataFileResult::HexFileLoaded));
  Check(full.Image.ImageSize() <= quorvel::kMaxImageSize);
  Check(full.Loaded() || full.Image.ImageData.empty());
  CheckProblem(full);
  const quorvel::DataFileContents header = quorvel::ReadDataBytesHeader({data, size});
  Check(header.Result != DataFileResult::HexFileLoaded);
  Check(header.Image.ImageStart == 0 && header.Image.ImageData.empty());
  CheckProblem(header);
  return 0;
}
