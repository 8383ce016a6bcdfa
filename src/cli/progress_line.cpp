#include "cli/progress_line.h"

#include <algorithm>

namespace quorvel {

std::string ProgressLine(const ProgressValues& values) {
  if (values.Max() == 0) return {};
  const int width = std::max(values.FullWidth(), 0);
  std::string bar(static_cast<size_t>(std::clamp(values.WrittenBarWidth(), 0, width)), '#');
  bar.resize(static_cast<size_t>(width), '.');
  return "[" + bar + "] " + std::to_string(values.Written()) + " / " +
         std::to_string(values.Max()) + "  " + values.Label();
}

}  // namespace quorvel
