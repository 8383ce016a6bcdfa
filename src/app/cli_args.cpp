#include "app/cli_args.h"

namespace quorvel {

std::string CliArg::Word() const {
  switch (kind) {
    case Kind::Option:
    case Kind::Flag:
      return "--" + name;
    case Kind::Positional:
      return value;
    case Kind::EndOfOptions:
      break;
  }
  return "--";
}

CliArgs ParseCliArgs(const std::vector<std::string>& args,
                     const std::set<std::string>& valueOptions,
                     const std::set<std::string>& flagOptions) {
  CliArgs parsed;
  size_t i = 0;
  auto fail = [&parsed, &i](const std::string& name, const std::string& word) {
    parsed.error = "--" + name;
    parsed.errorWord = word;
    parsed.errorIndex = i;
    return parsed;
  };
  bool optionsEnded = false;
  for (; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (optionsEnded || word.size() < 3 || word.compare(0, 2, "--") != 0) {
      if (word == "--") {
        optionsEnded = true;
        parsed.given.push_back({CliArg::Kind::EndOfOptions, {}, {}});
        continue;
      }
      parsed.positionals.push_back(word);
      parsed.given.push_back({CliArg::Kind::Positional, {}, word});
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
        if (i + 1 >= args.size()) return fail(name, word);
        value = args[++i];
      }
      parsed.options[name] = value;
      parsed.values[name].push_back(value);
      parsed.given.push_back({CliArg::Kind::Option, name, value});
    } else if (flagOptions.count(name) != 0 && !hasValue) {
      parsed.flags.insert(name);
      parsed.given.push_back({CliArg::Kind::Flag, name, {}});
    } else {
      return fail(name, word);
    }
  }
  return parsed;
}

std::string RepeatedOption(const CliArgs& args, const std::set<std::string>& repeatable) {
  std::set<std::string> seen;
  for (const CliArg& arg : args.given) {
    if (arg.kind != CliArg::Kind::Option && arg.kind != CliArg::Kind::Flag) continue;
    if (repeatable.count(arg.name) != 0) continue;
    if (!seen.insert(arg.name).second) return arg.Word();
  }
  return {};
}

}  // namespace quorvel
