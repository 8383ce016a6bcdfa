#include "app/cli_args.h"

namespace quorvel {

CliArgs ParseCliArgs(const std::vector<std::string>& args,
                     const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions) {
  CliArgs parsed;
  bool optionsEnded = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || word.size() < 3 || word.compare(0, 2, "--") != 0) {
      if (word == "--") {
        optionsEnded = true;
        continue;
      }
      parsed.positionals.push_back(word);
      continue;
    }
    std::string name = word.substr(2);
    std::string value;
    bool hasValue = false;
    if (auto eq = name.find('='); eq != std::string::npos) {
      value = name.substr(eq + 1);
      name.resize(eq);
      hasValue = true;
    }
    if (valueOptions.count(name) != 0) {
      if (!hasValue) {
        if (i + 1 >= args.size()) {
          parsed.error = "--" + name;
          return parsed;
        }
        value = args[++i];
      }
      parsed.options[name] = value;
      parsed.values[name].push_back(value);
    } else if (flagOptions.count(name) != 0 && !hasValue) {
      parsed.flags.insert(name);
    } else {
      parsed.error = "--" + name;
      return parsed;
    }
  }
  return parsed;
}

}  // namespace quorvel
