#include "cli/line_args.h"

#include <algorithm>
#include <string_view>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr TextPair kNoFourBitCharacters{" (port szeregowy nie przesyła znaków 4-bitowych)",
                                        " (a serial port cannot send 4-bit characters)"};
constexpr TextPair kOneAndHalfNeedsFive{" (1.5 bitu stopu tylko z --data-bits 5)",
                                        " (1.5 stop bits only with --data-bits 5)"};

constexpr TextPair kFrameGapValues{" (dozwolone: standard, auto lub liczba ms od 1 do 1000)",
                                   " (accepted: standard, auto or a number of ms from 1 to 1000)"};
constexpr uint32_t kLongestFixedFrameGapMs = 1000;

constexpr std::string_view kParityWords[] = {"none", "odd", "even", "mark", "space"};

std::string Problem(const char* option, std::string_view value, std::string_view reason = {}) {
  return std::string("--") + option + " " + std::string(value) + std::string(reason);
}

// The ordinal whose text (any of `texts`) is the option's value, letter case
// ignored; the field stays as it is when the option is absent.
template <typename... TextOf>
bool Pick(const CliArgs& args, const char* option, size_t count, uint8_t& field,
          std::string& problem, TextOf... texts) {
  if (!args.Has(option)) return true;
  const std::string value = args.Get(option);
  for (size_t i = 0; i < count; ++i) {
    const auto ordinal = static_cast<uint8_t>(i);
    if ((SameTextNoCase(value, texts(ordinal)) || ...)) {
      field = ordinal;
      return true;
    }
  }
  problem = Problem(option, value);
  return false;
}

}  // namespace

std::optional<LineSettings> LineSettingsFromArgs(const CliArgs& args, LineSettings settings,
                                                 std::string& problem) {
  problem.clear();
  const bool known =
      Pick(args, "baud", kBaudRateCount, settings.Baud, problem, BaudText) &&
      Pick(
          args, "parity", kParityCount, settings.Parity, problem,
          [](uint8_t i) { return kParityWords[i]; }, ParityLetter) &&
      Pick(args, "data-bits", kDataBitsCount, settings.DataBits, problem, DataBitsText) &&
      Pick(args, "stop-bits", kStopBitsCount, settings.StopBits, problem, StopBitsText);
  if (!known) return std::nullopt;
  // termios has no 4-bit character size, and its one "two stop bits" flag
  // means 1.5 stop bits only with 5-bit characters.
  if (settings.DataBits == dbFour) {
    problem = Problem("data-bits", DataBitsText(dbFour), kNoFourBitCharacters.text());
    return std::nullopt;
  }
  if (settings.StopBits == sbOnePointFive && settings.DataBits != dbFive) {
    problem = Problem("stop-bits", StopBitsText(sbOnePointFive), kOneAndHalfNeedsFive.text());
    return std::nullopt;
  }
  return settings;
}

std::optional<FrameGapChoice> FrameGapFromArgs(const CliArgs& args, std::string& problem) {
  problem.clear();
  if (!args.Has("frame-gap")) return FrameGapChoice::Auto();
  const std::string value = args.Get("frame-gap");
  if (SameTextNoCase(value, "auto")) return FrameGapChoice::Auto();
  if (SameTextNoCase(value, "standard")) return FrameGapChoice::Standard();
  uint32_t ms = 0;
  const bool digits =
      !value.empty() && value.size() <= 4 &&
      std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
  if (digits) {
    for (char c : value) ms = ms * 10 + static_cast<uint32_t>(c - '0');
  }
  if (!digits || ms < 1 || ms > kLongestFixedFrameGapMs) {
    problem = Problem("frame-gap", value, kFrameGapValues.text());
    return std::nullopt;
  }
  return FrameGapChoice::Fixed(static_cast<uint16_t>(ms));
}

}  // namespace quorvel
