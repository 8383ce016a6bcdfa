// Command-line parsing of quorvel-cli: "--name value", "--name=value",
// flags and positional arguments.
#pragma once

#include <map>
#include <set>
#include <string>
#include <vector>

namespace quorvel {

struct CliArgs {
  // The last value of each option, and every value of it in order (for
  // options that may be given more than once).
  std::map<std::string, std::string> options;
  std::map<std::string, std::vector<std::string>> values;
  std::set<std::string> flags;
  std::vector<std::string> positionals;
  std::string error;  // not empty when the arguments could not be parsed

  bool Has(const std::string& option) const { return options.count(option) != 0; }
  std::string Get(const std::string& option) const {
    auto it = options.find(option);
    return it == options.end() ? std::string() : it->second;
  }
  std::vector<std::string> GetAll(const std::string& option) const {
    auto it = values.find(option);
    return it == values.end() ? std::vector<std::string>() : it->second;
  }
  bool Flag(const std::string& flag) const { return flags.count(flag) != 0; }
};

// Parses args (the words after the subcommand). valueOptions take a value,
// flagOptions do not; any other "--" word is an error. "--" ends the options.
CliArgs ParseCliArgs(const std::vector<std::string>& args,
                     const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions);

}  // namespace quorvel
