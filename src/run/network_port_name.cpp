#include "run/network_port_name.h"

#include <array>
#include <utility>

#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr std::array<std::pair<std::string_view, NetworkPortKind>, 2> kSchemes{
    {{"rfc2217://", NetworkPortKind::Rfc2217}, {"tcp://", NetworkPortKind::Tcp}}};

// The longest host name DNS allows.
constexpr size_t kHostLimit = 253;

std::optional<NetworkPortKind> SchemeOf(std::string_view name, size_t* length) {
  for (const auto& [scheme, kind] : kSchemes) {
    if (name.substr(0, scheme.size()) == scheme) {
      *length = scheme.size();
      return kind;
    }
  }
  return std::nullopt;
}

bool IsHostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_';
}

bool IsHostName(std::string_view host) {
  if (host.empty() || host.size() > kHostLimit) return false;
  if (host.front() == '.' || host.front() == '-' || host.find("..") != std::string_view::npos)
    return false;
  for (char c : host) {
    if (!IsHostNameChar(c)) return false;
  }
  return true;
}

bool IsIpv6Text(std::string_view host) {
  if (host.size() < 2 || host.size() > 45) return false;
  bool colon = false;
  for (char c : host) {
    const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (c == ':') colon = true;
    if (!hex && c != ':' && c != '.') return false;
  }
  return colon;
}

std::optional<uint16_t> PortNumber(std::string_view text) {
  const std::optional<uint32_t> value = ParseDigits(text, 5);
  if (!value || *value == 0 || *value > 65535) return std::nullopt;
  return static_cast<uint16_t>(*value);
}

}  // namespace

bool LooksLikeNetworkPortName(std::string_view name) {
  size_t length = 0;
  return SchemeOf(name, &length).has_value();
}

std::optional<NetworkPortName> ParseNetworkPortName(std::string_view name) {
  size_t length = 0;
  const std::optional<NetworkPortKind> kind = SchemeOf(name, &length);
  if (!kind) return std::nullopt;
  std::string_view rest = name.substr(length);
  std::string_view host;
  if (!rest.empty() && rest.front() == '[') {
    const size_t close = rest.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    host = rest.substr(1, close - 1);
    if (!IsIpv6Text(host)) return std::nullopt;
    rest = rest.substr(close + 1);
    if (rest.empty() || rest.front() != ':') return std::nullopt;
    rest = rest.substr(1);
  } else {
    const size_t colon = rest.find(':');
    if (colon == std::string_view::npos) return std::nullopt;
    host = rest.substr(0, colon);
    if (!IsHostName(host)) return std::nullopt;
    rest = rest.substr(colon + 1);
  }
  const std::optional<uint16_t> port = PortNumber(rest);
  if (!port) return std::nullopt;
  return NetworkPortName{*kind, std::string(host), *port};
}

size_t NetworkPortNameLength(std::string_view list) {
  size_t length = 0;
  if (!SchemeOf(list, &length)) return 0;
  size_t hostEnd = length;
  if (hostEnd < list.size() && list[hostEnd] == '[') {
    const size_t close = list.find(']', hostEnd);
    hostEnd = close == std::string_view::npos ? list.size() : close + 1;
  } else {
    const size_t colon = list.find(':', hostEnd);
    hostEnd = colon == std::string_view::npos ? list.size() : colon;
  }
  // HOST, its colon, then PORT up to the next colon of the list.
  if (hostEnd >= list.size()) return list.size();
  const size_t next = list.find(':', hostEnd + 1);
  return next == std::string_view::npos ? list.size() : next;
}

}  // namespace quorvel
