// The hand-over notice as read from the session bus, where any program may
// send a signal of that name.
#include "serial/port_free_notice.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

TEST(PortFreeNotice, OnlyTwoStringsOfAnotherProcessWithAUsableNameAreANotice) {
  const std::string own = "100:0";
  const std::string longest(kMaxNoticePortName, 'p');
  struct Case {
    const char* what;
    std::vector<NoticeArgument> arguments;
    std::optional<std::string> port;
  } cases[] = {
      {"a notice", {"/dev/ttyUSB0", "200:1"}, "/dev/ttyUSB0"},
      {"the longest name", {longest, "200:1"}, longest},
      {"our own", {"/dev/ttyUSB0", own}, std::nullopt},
      {"no arguments", {}, std::nullopt},
      {"no token", {"/dev/ttyUSB0"}, std::nullopt},
      {"one too many", {"/dev/ttyUSB0", "200:1", "x"}, std::nullopt},
      {"a number for the name", {std::nullopt, "200:1"}, std::nullopt},
      {"a number for the token", {"/dev/ttyUSB0", std::nullopt}, std::nullopt},
      {"an empty name", {"", "200:1"}, std::nullopt},
      {"a zero byte in the name", {std::string("/dev/tty\0S0", 11), "200:1"}, std::nullopt},
      {"a name longer than a path", {longest + "p", "200:1"}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PortFreeNoticeName(c.arguments, own), c.port) << c.what;
  }
}

}  // namespace
}  // namespace quorvel
