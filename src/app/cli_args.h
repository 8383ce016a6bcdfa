// Command-line parsing of quorvel-cli and quorvel-sim: "--name value",
// "--name=value", flags and positional arguments.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace quorvel {

// One argument as it was parsed.
struct CliArg {
  enum class Kind : uint8_t {
    Option,        // name and value
    Flag,          // name
    Positional,    // value: the word
    EndOfOptions,  // the "--" after which every word is positional
  };
  Kind kind = Kind::Positional;
  std::string name;
  std::string value;

  // The argument as a word: "--NAME" for an option (without its value) or a
  // flag, the word for a positional, "--" for the end of the options.
  std::string Word() const;

  bool operator==(const CliArg&) const = default;
};

struct CliArgs {
  // The last value of each option, and every value of it in order (for
  // options that may be given more than once).
  std::map<std::string, std::string> options;
  std::map<std::string, std::vector<std::string>> values;
  std::set<std::string> flags;
  std::vector<std::string> positionals;
  // Every argument in the order given, up to an error (for a program where
  // a later option overrides an earlier one of another name, or where the
  // first unusable argument is the one to report).
  std::vector<CliArg> given;
  std::string error;      // not empty when the arguments could not be parsed: "--NAME"
  std::string errorWord;  // the argument that could not be parsed, as given
  size_t errorIndex = 0;  // where errorWord is among the words parsed

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
// An option takes the next word as its value whatever it looks like.
CliArgs ParseCliArgs(const std::vector<std::string>& args,
                     const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions);

// The first option or flag given more than once, as "--NAME", unless its
// name is one of `repeatable` (whose values add up); empty when every other
// one was given at most once. A program that lets a later value win in
// silence would act on a line its user did not mean.
std::string RepeatedOption(const CliArgs& args, const std::set<std::string>& repeatable);

}  // namespace quorvel
