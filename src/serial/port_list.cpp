#include "serial/port_list.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>

#include "app/text_utils.h"

namespace quorvel {
namespace {

namespace fs = std::filesystem;

std::string Bracketed(std::string_view name) {
  std::string text = "<";
  text += name;
  text += '>';
  return text;
}

// The 8250 driver registers every legacy ttyS line whether a UART answers
// there or not; the unused ones report type 0 (unknown).
bool LegacyPortPresent(const fs::path& entry) {
  std::ifstream typeFile(entry / "type");
  int type = -1;
  if (!(typeFile >> type)) return true;  // no type to tell: keep the port
  return type != 0;
}

void AddName(PortScan* scan, std::string& seen, const std::string& name) {
  scan->names.push_back(name);
  const std::string bracketed = Bracketed(name);
  if (NameListHas(seen, name) && !NameListHas(scan->duplicates, name)) {
    scan->duplicates += bracketed;
  }
  seen += bracketed;
}

}  // namespace

bool NameListHas(std::string_view list, std::string_view name) {
  return list.find(Bracketed(name)) != std::string_view::npos;
}

PortScan ScanPorts(const std::string& sysClassTty, const std::vector<std::string>& extraPorts) {
  PortScan scan;
  std::string seen;

  std::vector<std::string> system;
  std::error_code error;
  for (fs::directory_iterator it(sysClassTty, error), end; !error && it != end;
       it.increment(error)) {
    const fs::path entry = it->path();
    const std::string name = entry.filename().string();
    std::error_code statError;
    if (!fs::exists(entry / "device", statError)) continue;  // virtual console, ptmx
    if (name.rfind("ttyS", 0) == 0 && !LegacyPortPresent(entry)) continue;
    system.push_back(name);
  }
  // Directory order is arbitrary; a stable order keeps the duplicate list stable.
  std::sort(system.begin(), system.end());
  for (const std::string& name : system) AddName(&scan, seen, name);
  for (const std::string& path : extraPorts) {
    if (!path.empty()) AddName(&scan, seen, path);
  }
  return scan;
}

PortScan ScanPorts(const std::string& sysClassTty, std::string_view extraPorts) {
  return ScanPorts(sysClassTty, SplitPortList(extraPorts));
}

namespace {

// Where the entry starting at `start` ends when it is a network port name
// (tcp://HOST:PORT, rfc2217://HOST:PORT, HOST maybe an IPv6 address in
// brackets), whose colons are its own: at the colon after its port.
std::optional<size_t> NetworkNameEnd(std::string_view list, size_t start) {
  for (const std::string_view scheme : {std::string_view("tcp://"), std::string_view("rfc2217://")}) {
    if (list.substr(start, scheme.size()) != scheme) continue;
    size_t hostEnd = start + scheme.size();
    if (hostEnd < list.size() && list[hostEnd] == '[') {
      hostEnd = list.find(']', hostEnd);
      if (hostEnd != std::string_view::npos) ++hostEnd;
    } else {
      hostEnd = list.find(':', hostEnd);
    }
    // Cut short: the rest is one entry, which is refused with its reason
    // when it is used, rather than pieces that look like paths.
    if (hostEnd >= list.size()) return list.size();
    if (list[hostEnd] != ':') return list.find(':', hostEnd);
    return list.find(':', hostEnd + 1);
  }
  return std::nullopt;
}

}  // namespace

std::vector<std::string> SplitPortList(std::string_view list) {
  std::vector<std::string> paths;
  size_t start = 0;
  while (start <= list.size()) {
    size_t colon = NetworkNameEnd(list, start).value_or(list.find(':', start));
    if (colon == std::string_view::npos) colon = list.size();
    const std::string_view path = list.substr(start, colon - start);
    if (!path.empty()) paths.emplace_back(path);
    start = colon + 1;
  }
  return paths;
}

std::string ExtraPortsFromEnvironment() {
  const char* value = std::getenv(kExtraPortsVariable);
  return value != nullptr ? std::string(value) : std::string();
}

std::string PaddedPortKey(std::string_view name, int length) {
  std::string key(name);
  size_t digit = key.find_first_of("0123456789");
  if (digit == std::string::npos) digit = key.size();
  const int missing = length - Utf8Length(key);
  if (missing > 0) key.insert(digit, static_cast<size_t>(missing), '0');
  return key;
}

std::vector<std::string> SortPortNames(std::vector<std::string> names) {
  int length = 0;
  for (const std::string& name : names) length = std::max(length, Utf8Length(name));
  std::vector<std::pair<std::string, std::string>> keyed;
  keyed.reserve(names.size());
  for (std::string& name : names) keyed.emplace_back(PaddedPortKey(name, length), std::move(name));
  std::stable_sort(keyed.begin(), keyed.end(), [](const auto& a, const auto& b) {
    return CompareTextNoCase(a.first, b.first) < 0;
  });
  std::vector<std::string> sorted;
  sorted.reserve(keyed.size());
  for (auto& entry : keyed) sorted.push_back(std::move(entry.second));
  return sorted;
}

}  // namespace quorvel
