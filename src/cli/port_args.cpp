#include "cli/port_args.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "app/globals.h"
#include "app/text_utils.h"
#include "datafile/system_error_text.h"

namespace quorvel {
namespace {

constexpr TextPair kTooManyPorts{"za dużo portów (najwięcej %s)", "too many ports (at most %s)"};
constexpr TextPair kFileTooLarge{"plik za duży (najwięcej %s bajtów)",
                                 "file too large (at most %s bytes)"};
constexpr TextPair kPortTwice{"port podany dwa razy", "port given twice"};
// A file given for its ports that lists none is the wrong file.
constexpr TextPair kNoPortsInFile{"w pliku nie ma żadnego portu", "no port in the file"};
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r\v\f");
  if (first == std::string_view::npos) return {};
  const size_t last = text.find_last_not_of(" \t\r\v\f");
  return text.substr(first, last - first + 1);
}

// At most kMaxPortsFileBytes of the file; none when it is larger or cannot
// be read (a folder, a file the user may not read).
std::optional<std::string> ReadPortsFile(const std::string& path, std::string& problem) {
  const auto fail = [&](const std::string& why) {
    problem = "--ports-from " + path + " (" + why + ")";
    return std::nullopt;
  };
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return fail(SystemErrorText(errno));
  std::string text(kMaxPortsFileBytes + 1, '\0');
  size_t size = 0;
  while (size < text.size()) {
    const ssize_t n = read(fd, text.data() + size, text.size() - size);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      const int error = errno;
      close(fd);
      return fail(SystemErrorText(error));
    }
    if (n == 0) break;
    size += static_cast<size_t>(n);
  }
  close(fd);
  if (size > kMaxPortsFileBytes) {
    return fail(FormatText(kFileTooLarge.text(), {std::to_string(kMaxPortsFileBytes)}));
  }
  text.resize(size);
  return text;
}

}  // namespace

std::optional<std::vector<std::string>> PortsFromText(std::string_view text, std::string& problem) {
  std::vector<std::string> ports;
  // Some editors start a UTF-8 file with a byte-order mark; it is no part
  // of the first port.
  if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    text.remove_prefix(kByteOrderMark.size());
  }
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
    if (listed && listed->empty()) problem = kNoPortsInFile.str();
    if (!listed || listed->empty()) {
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
