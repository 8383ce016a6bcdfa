// libFuzzer target: the hand-over notice that any program on the session
// bus may send, as this process reads it. The input is cut into arguments
// (a type byte, a length byte, the bytes); whatever they are, a notice is
// taken only from a name and a token of another process (and the name's
// bytes), with a usable name.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "serial/port_free_notice.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

constexpr std::string_view kOwnToken = "4242:0";

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<quorvel::NoticeArgument> arguments;
  size_t at = 0;
  while (at + 2 <= size && arguments.size() < 8) {
    const auto type = static_cast<quorvel::NoticeArgument::Type>(data[at] % 3);
    const size_t length = std::min<size_t>(data[at + 1] * 20u, size - at - 2);
    std::string text(reinterpret_cast<const char*>(data + at + 2), length);
    at += 2 + length;
    arguments.push_back({type, std::move(text)});
  }
  const std::optional<std::string> port = quorvel::PortFreeNoticeName(arguments, kOwnToken);
  using Type = quorvel::NoticeArgument::Type;
  if (port) {
    Check(arguments.size() == 2 || arguments.size() == 3);
    Check(arguments[0].type == Type::String && arguments[1].type == Type::String);
    Check(arguments[1].value != kOwnToken);
    Check(*port == (arguments.size() == 3 ? arguments[2].value : arguments[0].value));
    if (arguments.size() == 3) Check(arguments[2].type == Type::Bytes);
    Check(!port->empty() && port->size() <= quorvel::kMaxNoticePortName);
    Check(port->find('\0') == std::string::npos);
  }
  return 0;
}
