#include "net/network_port.h"

#include <array>
#include <charconv>

namespace quorvel {
namespace {

struct Scheme {
  std::string_view prefix;
  NetworkPort::Kind kind;
};

constexpr std::array<Scheme, 2> kSchemes{{{"tcp://", NetworkPort::Kind::RawTcp},
                                          {"rfc2217://", NetworkPort::Kind::Rfc2217}}};

// The longest host name DNS allows.
constexpr size_t kMaxHostLength = 253;

bool HostCharactersValid(std::string_view host) {
  for (const char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= ' ' || u == 0x7F || c == '/' || c == '@' || c == '[' || c == ']' || c == ':') {
      return false;
    }
  }
  return true;
}

}  // namespace

bool IsNetworkPortName(std::string_view name) {
  for (const Scheme& scheme : kSchemes) {
    if (name.substr(0, scheme.prefix.size()) == scheme.prefix) return true;
  }
  return false;
}

std::optional<NetworkPort> ParseNetworkPort(std::string_view name) {
  for (const Scheme& scheme : kSchemes) {
    if (name.substr(0, scheme.prefix.size()) != scheme.prefix) continue;
    const std::string_view address = name.substr(scheme.prefix.size());
    const size_t colon = address.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    std::string_view host = address.substr(0, colon);
    const std::string_view digits = address.substr(colon + 1);
    if (!host.empty() && host.front() == '[') {
      // An IPv6 address: its colons are inside the brackets.
      if (host.size() < 3 || host.back() != ']') return std::nullopt;
      host = host.substr(1, host.size() - 2);
      for (const char c : host) {
        const bool hex = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!hex && c != ':' && c != '.') return std::nullopt;
      }
    } else if (host.empty() || host.size() > kMaxHostLength || !HostCharactersValid(host)) {
      return std::nullopt;
    }
    if (digits.empty() || digits.size() > 5) return std::nullopt;
    uint32_t port = 0;
    const auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
    if (error != std::errc() || end != digits.data() + digits.size() || port == 0 ||
        port > 65535) {
      return std::nullopt;
    }
    NetworkPort parsed;
    parsed.kind = scheme.kind;
    parsed.host = std::string(host);
    parsed.port = static_cast<uint16_t>(port);
    parsed.address = std::string(address);
    return parsed;
  }
  return std::nullopt;
}

}  // namespace quorvel
