#include "serial/port_free_notice.h"

namespace quorvel {

std::optional<std::string> PortFreeNoticeName(const std::vector<NoticeArgument>& arguments,
                                              std::string_view ownToken) {
  using Type = NoticeArgument::Type;
  if (arguments.size() != 2 && arguments.size() != 3) return std::nullopt;
  if (arguments[0].type != Type::String || arguments[1].type != Type::String) return std::nullopt;
  if (arguments.size() == 3 && arguments[2].type != Type::Bytes) return std::nullopt;
  if (arguments[1].value == ownToken) return std::nullopt;
  const std::string& name = arguments.size() == 3 ? arguments[2].value : arguments[0].value;
  if (name.empty() || name.size() > kMaxNoticePortName) return std::nullopt;
  if (name.find('\0') != std::string::npos) return std::nullopt;
  return name;
}

}  // namespace quorvel
