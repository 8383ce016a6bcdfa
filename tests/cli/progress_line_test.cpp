// The progress line of quorvel-cli, drawn from the values as the engine
// sets them during a run.
#include "cli/progress_line.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(ProgressLine, FollowsTheAcknowledgedBytes) {
  struct Case {
    uint32_t max;
    uint32_t sent;
    uint32_t written;
    std::string line;
  };
  // The bar with `filled` of its characters done. (Built by appending: gcc 12
  // at -O3 warns falsely about "literal" + std::string temporaries.)
  auto bar = [](size_t filled) {
    std::string text = "[";
    text.append(filled, '#');
    text.append(kProgressBarWidth - filled, '.');
    text += "]";
    return text;
  };
  const Case cases[] = {
      {0, 0, 0, ""},  // the size of the run is not known yet
      {18432, 0, 0, bar(0) + " 0 / 18432  0%"},
      // Sent but not yet acknowledged bytes do not count.
      {18432, 256, 0, bar(0) + " 0 / 18432  0%"},
      {18432, 4864, 4608, bar(10) + " 4608 / 18432  25%"},
      // 12.5 % and 37.5 %: the halves go to the even neighbour.
      {18432, 2304, 2304, bar(5) + " 2304 / 18432  12%"},
      {18432, 6912, 6912, bar(15) + " 6912 / 18432  38%"},
      {18432, 18432, 18176, bar(39) + " 18176 / 18432  99%"},
      {18432, 18432, 18432, bar(40) + " 18432 / 18432  100%"},
      {3, 1, 1, bar(13) + " 1 / 3  33%"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    // In the order of a run: the width first, then the size, then the bytes.
    RunProgress progress;
    progress.Values().SetFullWidth(kProgressBarWidth);
    progress.SetMax(c.max);
    progress.SetSent(c.sent);
    progress.SetWritten(c.written);
    EXPECT_EQ(ProgressLine(progress.Values()), c.line);
  }
}

TEST(ProgressLine, ANewRunStartsFromNothing) {
  RunProgress progress;
  progress.Values().SetFullWidth(kProgressBarWidth);
  progress.SetMax(1000);
  progress.SetWritten(1000);
  progress.SetMax(2000);
  progress.SetSent(0);
  progress.SetWritten(0);
  EXPECT_EQ(ProgressLine(progress.Values()),
            "[" + std::string(kProgressBarWidth, '.') + "] 0 / 2000  0%");
}

}  // namespace
}  // namespace quorvel
