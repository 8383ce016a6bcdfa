// libFuzzer target: the Intel HEX reader over arbitrary file contents, in
// memory (the file reader is a shell over the same parser). Besides the
// result code, checks what a successful read promises: every line starting
// with ':' up to the end-of-file record was a whole record of hexadecimal
// digits (trailing blanks and tabs aside), and the end-of-file record was
// there. A refusal always names its cause, and its line lies in the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/prompt.h"
#include "datafile/hex_file.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

bool IsHexDigit(char c) {
  return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

// The digits of a record line after its colon, without trailing blanks and
// tabs; false when anything else is left or the digits do not pair up.
bool RecordDigits(std::string_view line, std::string_view& digits) {
  line.remove_prefix(1);
  while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
  for (char c : line) {
    if (!IsHexDigit(c)) return false;
  }
  digits = line;
  return line.size() % 2 == 0 && line.size() >= 10;
}

// True when the text, read line by line up to its end-of-file record, has
// only whole record lines and does have that record.
bool LooksWhole(std::string_view text) {
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (line.empty() || line.front() != ':') continue;
    std::string_view digits;
    if (!RecordDigits(line, digits)) return false;
    if (digits.substr(6, 2) == "01") return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static quorvel::SilentPrompt silent;
  quorvel::SetPrompt(&silent);
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  quorvel::FirmwareImage image;
  quorvel::DataFileProblem problem{7, "stale"};
  const int32_t result = quorvel::ReadHexBytes({data, size}, image, &problem);
  Check(result == 0 || result == -1 || result == -5);
  if (result < 0) {
    Check(!problem.Cause.empty());
    size_t lines = 1;
    for (char c : text) lines += c == '\n' ? 1 : 0;
    Check(problem.Line <= lines);
    return 0;
  }
  Check(problem.Line == 0 && problem.Cause.empty());
  Check(LooksWhole(text));
  Check(image.ImageSize() <= quorvel::kMaxImageSize);
  // An image without bytes may still have a start address: a data record
  // of byte count 0 takes part in the span with its address alone.
  if (!image.ImageData.empty()) {
    Check(static_cast<uint64_t>(image.ImageStart) + image.ImageSize() <= 0xFFFFFFFFull);
  }
  return 0;
}
