// The hand-over notice another process sends over the session bus when it
// lets a serial port go, as this process reads it: the port's name as text,
// the sender's token, and the name's bytes (a path need not be UTF-8, and a
// port is its exact path; a sender without them names the port by the text
// alone). Any other program on the bus can send such a signal, so anything
// else is no notice: another count or type of arguments, an empty name, a
// name with a zero byte or longer than a path can be. Qt-free, so that it
// can be fuzzed alone.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvel {

// The longest port name a notice may carry (a path on Linux).
constexpr size_t kMaxNoticePortName = 4096;

// One argument of a bus message: a string, a byte array, or anything else.
struct NoticeArgument {
  enum class Type { String, Bytes, Other };
  Type type = Type::Other;
  std::string value;  // the text or the bytes; empty for Other
};

// The port a notice of another process tells of; none when the arguments
// make no notice or the notice is this process's own (ownToken).
std::optional<std::string> PortFreeNoticeName(const std::vector<NoticeArgument>& arguments,
                                              std::string_view ownToken);

}  // namespace quorvel
