// libFuzzer target: the hand-over notice that any program on the session
// bus may send, as this process reads it. The input is cut into arguments
// (a type byte, a length byte, the bytes); whatever they are, a notice is
// taken only from two strings of another process, with a usable name.
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
    const bool isString = data[at] % 4 != 0;
    const size_t length = std::min<size_t>(data[at + 1] * 20u, size - at - 2);
    std::string text(reinterpret_cast<const char*>(data + at + 2), length);
    at += 2 + length;
    if (isString) {
      arguments.emplace_back(std::move(text));
    } else {
      arguments.emplace_back(std::nullopt);
    }
  }
  const std::optional<std::string> port = quorvel::PortFreeNoticeName(arguments, kOwnToken);
  if (port) {
    Check(arguments.size() == 2 && arguments[0] && arguments[1]);
    Check(*port == *arguments[0] && *arguments[1] != kOwnToken);
    Check(!port->empty() && port->size() <= quorvel::kMaxNoticePortName);
    Check(port->find('\0') == std::string::npos);
  }
  return 0;
}
