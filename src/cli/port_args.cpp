#include "cli/port_args.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr TextPair kTooManyPorts{"za dużo portów (najwięcej %s)", "too many ports (at most %s)"};
constexpr TextPair kFileTooLarge{"plik za duży (najwięcej %s bajtów)",
                                 "file too large (at most %s bytes)"};
constexpr TextPair kPortTwice{"port podany dwa razy", "port given twice"};

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\v\f");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\v\f");
  return text.substr(first, last - first + 1);
}

// At most kMaxPortsFileBytes of the file; none when it is larger or cannot
// be read.
std::optional<std::string> ReadPortsFile(const std::string& path, std::string& problem) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    problem = "--ports-from " + path + " (" + std::strerror(errno) + ")";
    return std::nullopt;
  }
  std::string text(kMaxPortsFileBytes + 1, '\0');
  in.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<size_t>(in.gcount()));
  if (text.size() > kMaxPortsFileBytes) {
    problem = "--ports-from " + path + " (" +
              FormatText(kFileTooLarge.text(), {std::to_string(kMaxPortsFileBytes)}) + ")";
    return std::nullopt;
  }
  return text;
}

}  // namespace

std::optional<std::vector<std::string>> PortsFromText(std::string_view text, std::string& problem) {
  std::vector<std::string> ports;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = Trimmed(line.substr(0, line.find('#')));
    if (line.empty()) continue;
    if (ports.size() == kMaxPorts) {
      problem = FormatText(kTooManyPorts.text(), {std::to_string(kMaxPorts)});
      return std::nullopt;
    }
    ports.emplace_back(line);
  }
  return ports;
}

std::optional<std::vector<std::string>> PortsFromArgs(const CliArgs& args, std::string& problem) {
  std::vector<std::string> ports = args.GetAll("port");
  for (const std::string& path : args.GetAll("ports-from")) {
    const std::optional<std::string> text = ReadPortsFile(path, problem);
    if (!text) return std::nullopt;
    std::optional<std::vector<std::string>> listed = PortsFromText(*text, problem);
    if (!listed) {
      problem = "--ports-from " + path + " (" + problem + ")";
      return std::nullopt;
    }
    ports.insert(ports.end(), listed->begin(), listed->end());
  }
  if (ports.size() > kMaxPorts) {
    problem = "--port (" + FormatText(kTooManyPorts.text(), {std::to_string(kMaxPorts)}) + ")";
    return std::nullopt;
  }
  if (ports.empty()) {
    problem.clear();
    return std::nullopt;
  }
  for (size_t i = 0; i < ports.size(); ++i) {
    for (size_t j = 0; j < i; ++j) {
      // A port is its exact path: names that differ in case are two ports.
      if (ports[i] == ports[j]) {
        problem = "--port " + ports[i] + " (" + kPortTwice.str() + ")";
        return std::nullopt;
      }
    }
  }
  return ports;
}

}  // namespace quorvel
