#include "serial/port_free_notice.h"

namespace quorvel {

std::optional<std::string> PortFreeNoticeName(const std::vector<NoticeArgument>& arguments,
                                              std::string_view ownToken) {
  if (arguments.size() != 2 || !arguments[0] || !arguments[1]) return std::nullopt;
  const std::string& name = *arguments[0];
  if (name.empty() || name.size() > kMaxNoticePortName) return std::nullopt;
  if (name.find('\0') != std::string::npos) return std::nullopt;
  if (*arguments[1] == ownToken) return std::nullopt;
  return name;
}

}  // namespace quorvel
