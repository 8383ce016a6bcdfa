// The ports of quorvel-cli program: every --port and the lines of a
// --ports-from file.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/cli_args.h"

namespace quorvel {

// A ports file is a short list written by hand: anything larger is not one.
constexpr size_t kMaxPortsFileBytes = 64 * 1024;
constexpr size_t kMaxPorts = 256;

// One port per line; blanks around a name are dropped, and so is everything
// from a '#' to the end of its line; empty lines are skipped, and so is a
// UTF-8 byte-order mark at the start. None when the text holds more than
// kMaxPorts ports (`problem` says so).
std::optional<std::vector<std::string>> PortsFromText(std::string_view text, std::string& problem);

// The --port values, then the ports of every --ports-from file, in order.
// None with the offending argument and why in `problem` when a file cannot
// be read, is too large or lists no port, when no port is given at all
// (problem empty) or a port is named twice.
std::optional<std::vector<std::string>> PortsFromArgs(const CliArgs& args, std::string& problem);

}  // namespace quorvel
