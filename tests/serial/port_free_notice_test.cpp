// The hand-over notice as read from the session bus, where any program may
// send a signal of that name.
#include "serial/port_free_notice.h"

#include <gtest/gtest.h>

namespace quorvel {
namespace {

NoticeArgument Text(std::string value) {
  return {NoticeArgument::Type::String, std::move(value)};
}
NoticeArgument Bytes(std::string value) {
  return {NoticeArgument::Type::Bytes, std::move(value)};
}
const NoticeArgument kNumber{};

TEST(PortFreeNotice, OnlyANoticeOfAnotherProcessWithAUsableNameCounts) {
  const std::string own = "100:0";
  const std::string longest(kMaxNoticePortName, 'p');
  const std::string notUtf8 = "/dev/serial/\xFF\xFE";
  struct Case {
    const char* what;
    std::vector<NoticeArgument> arguments;
    std::optional<std::string> port;
  } cases[] = {
      {"a notice", {Text("/dev/ttyUSB0"), Text("200:1"), Bytes("/dev/ttyUSB0")}, "/dev/ttyUSB0"},
      {"the bytes name the port", {Text("/dev/serial/??"), Text("200:1"), Bytes(notUtf8)}, notUtf8},
      {"a sender without the bytes", {Text("/dev/ttyUSB0"), Text("200:1")}, "/dev/ttyUSB0"},
      {"the longest name", {Text(longest), Text("200:1")}, longest},
      {"our own", {Text("/dev/ttyUSB0"), Text(own), Bytes("/dev/ttyUSB0")}, std::nullopt},
      {"no arguments", {}, std::nullopt},
      {"no token", {Text("/dev/ttyUSB0")}, std::nullopt},
      {"one too many", {Text("/dev/ttyUSB0"), Text("200:1"), Bytes("x"), Bytes("x")},
       std::nullopt},
      {"a number for the name", {kNumber, Text("200:1")}, std::nullopt},
      {"a number for the token", {Text("/dev/ttyUSB0"), kNumber}, std::nullopt},
      {"text where the bytes go", {Text("/dev/ttyUSB0"), Text("200:1"), Text("/x")}, std::nullopt},
      {"an empty name", {Text(""), Text("200:1")}, std::nullopt},
      {"empty bytes", {Text("/dev/ttyUSB0"), Text("200:1"), Bytes("")}, std::nullopt},
      {"a zero byte in the name", {Text(std::string("/dev/tty\0S0", 11)), Text("200:1")},
       std::nullopt},
      {"a name longer than a path", {Text(longest + "p"), Text("200:1")}, std::nullopt},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(PortFreeNoticeName(c.arguments, own), c.port) << c.what;
  }
}

}  // namespace
}  // namespace quorvel
