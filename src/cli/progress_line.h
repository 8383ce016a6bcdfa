// The progress bar of quorvel-cli as one line of text, drawn from the
// progress values the engine keeps up to date.
#pragma once

#include <string>

#include "run/progress_values.h"

namespace quorvel {

// Characters between the brackets of the bar; the values' full width is set
// to it, so that their bar of acknowledged bytes is the number of '#'.
constexpr int kProgressBarWidth = 40;

// "[#####...] 2304 / 18432  13%"; empty while the run's size is not known.
std::string ProgressLine(const ProgressValues& values);

}  // namespace quorvel
