#include "sim/sim_options.h"

#include <algorithm>
#include <charconv>
#include <optional>
#include <set>

#include "app/cli_args.h"
#include "run/device_types.h"

namespace quorvel::sim {
namespace {

// Decimal, or hexadecimal with "0x".
std::optional<uint64_t> ParseNumber(const std::string& text, uint64_t max) {
  if (text.empty()) return std::nullopt;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    first += 2;
    base = 16;
  }
  uint64_t value = 0;
  const auto [end, ec] = std::from_chars(first, last, value, base);
  if (ec != std::errc() || end != last || value > max) return std::nullopt;
  return value;
}

std::optional<uint8_t> BaudOrdinal(const std::string& text) {
  const auto value = ParseNumber(text, 0xFFFFFFFFu);
  if (!value) return std::nullopt;
  for (uint8_t i = 0; i < kBaudRateCount; ++i) {
    if (BaudRateValue(i) == *value) return i;
  }
  return std::nullopt;
}

// "4", "4:2", "4:2:7": command code, count, error code.
std::optional<NegativeReplyFault> ParseNegative(const std::string& text) {
  std::vector<std::string> parts{""};
  for (char c : text) {
    if (c == ':') {
      parts.emplace_back();
    } else {
      parts.back() += c;
    }
  }
  if (parts.size() > 3) return std::nullopt;
  const auto command = ParseNumber(parts[0], 5);
  if (!command) return std::nullopt;
  NegativeReplyFault fault;
  fault.Command = static_cast<uint8_t>(*command);
  fault.ErrorCode = *command == 0 ? 4 : static_cast<uint8_t>(*command);
  if (parts.size() > 1) {
    const auto count = ParseNumber(parts[1], 0xFFFFFFFFu);
    if (!count) return std::nullopt;
    // COUNT 0: every such command, for as long as the program runs.
    fault.Count = *count == 0 ? std::nullopt : std::optional<uint32_t>(*count);
  }
  if (parts.size() > 2) {
    const auto code = ParseNumber(parts[2], 255);
    if (!code) return std::nullopt;
    fault.ErrorCode = static_cast<uint8_t>(*code);
  }
  return fault;
}

bool AllDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// "2", "0.5", "1.25": seconds with up to three decimals, as milliseconds.
std::optional<uint32_t> ParseSeconds(const std::string& text, uint32_t maxSeconds) {
  const auto point = text.find('.');
  const std::string whole = text.substr(0, point);
  const std::string decimals = point == std::string::npos ? "" : text.substr(point + 1);
  if (!AllDigits(whole)) return std::nullopt;
  if (point != std::string::npos && (!AllDigits(decimals) || decimals.size() > 3)) {
    return std::nullopt;
  }
  const auto seconds = ParseNumber(whole, maxSeconds);
  if (!seconds) return std::nullopt;
  uint32_t ms = static_cast<uint32_t>(*seconds) * 1000;
  uint32_t scale = 100;
  for (char c : decimals) {
    ms += static_cast<uint32_t>(c - '0') * scale;
    scale /= 10;
  }
  if (ms > maxSeconds * 1000) return std::nullopt;
  return ms;
}

// "K:SECONDS": the write acknowledgement (from 1) and how long to freeze after it.
std::optional<WriteFreezeFault> ParseFreeze(const std::string& text) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) return std::nullopt;
  const auto write = ParseNumber(text.substr(0, colon), 0xFFFFFFFFu);
  const auto ms = ParseSeconds(text.substr(colon + 1), 3600);
  if (!write || *write == 0 || !ms) return std::nullopt;
  return WriteFreezeFault{static_cast<uint32_t>(*write), *ms};
}

// The options that take a value, and the flags (see SimUsage).
const std::set<std::string>& ValueOptions() {
  static const std::set<std::string> names{
      // the instrument and its terminal
      "device", "baud", "mode", "serial", "block-size", "boot-version", "protocol", "device-code",
      "app-model", "app-version", "address", "link", "fd", "save",
      // faults
      "negative", "wrong-address", "echo-gap", "min-command-gap", "noise", "silent-after",
      "freeze-after-block", "hangup-after-block"};
  return names;
}

const std::set<std::string>& FlagOptions() {
  static const std::set<std::string> names{"help",           "list-devices", "log",
                                           "quiet",          "echo",         "silent",
                                           "odd-block-size", "ignore-reset", "no-app-version"};
  return names;
}

std::string UnknownOption(const std::string& word) {
  return "unknown option \"" + word + "\" (see --help)";
}

// The parser stops at an option it does not know, or at an option whose
// value is missing.
std::string ParseError(const CliArgs& parsed) {
  const bool valueMissing = ValueOptions().count(parsed.errorWord.substr(2)) != 0;
  return valueMissing ? parsed.errorWord + " needs a value" : UnknownOption(parsed.errorWord);
}

}  // namespace

std::string SimUsage() {
  return R"(Usage: quorvel-sim --device TEXT [options]

A simulated VARNELD instrument with the Q-LOAD bootloader on a pseudo-terminal.
The first line on standard output is the path of the terminal to open.

  --device TEXT        device type as the device list shows it ("M-530",
                       "BTQ-20 .RS485", "TRP-40 .COM"; letter case ignored)
  --list-devices       print the device texts and exit
  --baud RATE          line rate (default: the device type's rate)
  --mode app|boot      start in the user application or in the bootloader
                       (default: app where the device type can be switched
                       remotely, else boot)
  --serial A/B         identity words SerialPart1/SerialPart2 (default 1234/5678)
  --block-size N       data block size, even, 2..65534 (default 256)
  --boot-version TEXT  bootloader version text, up to 8 characters (default 2.05)
  --protocol N         bootloader protocol version (default 1)
  --device-code N      device code the bootloader reports (default: the type's)
  --app-model TEXT     model text of the identify reply (default: model name)
  --app-version TEXT   version text of the identify reply (default: V + the
                       type's lowest switchable version, or V1.0.0000)
  --no-app-version     the identify reply carries the model text only, no
                       version text
  --address N          RS-485 bus address, 1..65534 (default 1)
  --link PATH          also make a symbolic link PATH to the terminal
  --fd N               serve the terminal master already open as descriptor N
                       (handed over by the caller) instead of making one
  --save FILE          write the received memory as Intel HEX on every
                       acknowledged reset and at exit
  --log                print every command and answer on standard error
  --quiet              print no warnings
  --help               this text

Faults:
  --negative CMD[:COUNT[:ERR]]  answer the next COUNT (default 1) bootloader
                       commands CMD (1..5, 0 = any) with 0x7F ERR (default:
                       the command code; 4 for CMD 0); COUNT 0: every such
                       command; may be repeated
  --wrong-address N    acknowledge the next N writes with a wrong address
  --echo               send every received byte back first (two-wire bus)
  --echo-gap MS        pause between an echo and the answer (default 60)
  --noise N            N noise bytes before every answer
  --min-command-gap MS ignore a command that starts less than MS ms after the
                       end of the last answer (a device that needs a pause
                       between frames; 0, the default: hear every command)
  --silent             never answer
  --silent-after N     stop answering after N answers
  --odd-block-size     report an odd block size in the first device information
  --ignore-reset       never answer the reset command (nor restart); every
                       other command is still answered
  --freeze-after-block K:SECONDS
                       once the acknowledgement of the K-th accepted write
                       (from 1) has been sent, stop for SECONDS (up to 3600,
                       decimals allowed: 0.5) as a stopped process would:
                       nothing is read or answered meanwhile; what arrives is
                       answered afterwards, in order
  --hangup-after-block K
                       once the acknowledgement of the K-th accepted write has
                       been sent, close the terminal (the program under test
                       sees a hang-up) as soon as anything more arrives, or 1 s
                       after the acknowledgement, then save (--save) and exit
                       with 0; with the same K it wins over a freeze
)";
}

bool ParseSimOptions(const std::vector<std::string>& args, SimOptions& options,
                     std::string& error) {
  const CliArgs parsed = ParseCliArgs(args, ValueOptions(), FlagOptions());
  std::optional<uint8_t> baud;
  // In the order given: a later option overrides an earlier one (also one of
  // another name: --silent and --silent-after), and the first unusable
  // argument is the one reported.
  for (const CliArg& given : parsed.given) {
    // Positionals and the "--" before them fall through to "unknown option".
    const std::string arg = given.Word();
    const std::string& text = given.value;
    auto number = [&](uint64_t min, uint64_t max, uint64_t& out) {
      const auto value = ParseNumber(text, max);
      if (!value || *value < min) {
        error = arg + ": expected a number from " + std::to_string(min) + " to " +
                std::to_string(max) + ", got \"" + text + "\"";
        return false;
      }
      out = *value;
      return true;
    };
    auto& inst = options.Instrument;
    auto& faults = inst.Faults;
    uint64_t n = 0;
    if (arg == "--help" || arg == "-h") {
      options.Help = true;
    } else if (arg == "--list-devices") {
      options.ListDevices = true;
    } else if (arg == "--device") {
      options.DeviceText = text;
    } else if (arg == "--baud") {
      baud = BaudOrdinal(text);
      if (!baud) {
        error = "--baud: not a supported rate: \"" + text + "\"";
        return false;
      }
    } else if (arg == "--mode") {
      if (text == "app") {
        inst.StartMode = InstrumentMode::UserApplication;
      } else if (text == "boot") {
        inst.StartMode = InstrumentMode::Bootloader;
      } else {
        error = "--mode: expected app or boot, got \"" + text + "\"";
        return false;
      }
    } else if (arg == "--serial") {
      const auto slash = text.find('/');
      const auto a = ParseNumber(text.substr(0, slash), 0xFFFF);
      const auto b =
          slash == std::string::npos ? std::nullopt : ParseNumber(text.substr(slash + 1), 0xFFFF);
      if (!a || !b) {
        error = "--serial: expected A/B with two numbers up to 65535, got \"" + text + "\"";
        return false;
      }
      inst.SerialPart1 = static_cast<uint16_t>(*a);
      inst.SerialPart2 = static_cast<uint16_t>(*b);
    } else if (arg == "--block-size") {
      if (!number(2, 65534, n)) return false;
      if (n % 2 != 0) {
        error = "--block-size: the block size must be even";
        return false;
      }
      inst.BlockSize = static_cast<uint16_t>(n);
    } else if (arg == "--boot-version") {
      inst.BootVersion = text;
      if (inst.BootVersion.size() > 8) {
        error = "--boot-version: at most 8 characters";
        return false;
      }
    } else if (arg == "--protocol") {
      if (!number(0, 255, n)) return false;
      inst.ProtocolVersion = static_cast<uint8_t>(n);
    } else if (arg == "--device-code") {
      if (!number(0, 65535, n)) return false;
      inst.DeviceCode = static_cast<uint16_t>(n);
    } else if (arg == "--app-model") {
      inst.AppModel = text;
    } else if (arg == "--app-version") {
      inst.AppVersion = text;
    } else if (arg == "--address") {
      if (!number(1, 65534, n)) return false;
      inst.BusAddress = static_cast<uint16_t>(n);
    } else if (arg == "--link") {
      options.LinkPath = text;
    } else if (arg == "--fd") {
      if (!number(0, 65535, n)) return false;
      options.ServeFd = static_cast<int>(n);
    } else if (arg == "--save") {
      options.SavePath = text;
    } else if (arg == "--log") {
      options.Log = true;
    } else if (arg == "--quiet") {
      options.Quiet = true;
    } else if (arg == "--negative") {
      const auto fault = ParseNegative(text);
      if (!fault) {
        error = "--negative: expected CMD[:COUNT[:ERR]], got \"" + text + "\"";
        return false;
      }
      faults.NegativeReplies.push_back(*fault);
    } else if (arg == "--wrong-address") {
      if (!number(0, 0xFFFFFFFFu, n)) return false;
      faults.WrongAddressAcks = static_cast<uint32_t>(n);
    } else if (arg == "--echo") {
      faults.Echo = true;
    } else if (arg == "--echo-gap") {
      if (!number(0, 10000, n)) return false;
      options.EchoGapMs = static_cast<uint32_t>(n);
    } else if (arg == "--min-command-gap") {
      if (!number(0, 10000, n)) return false;
      options.MinCommandGapMs = static_cast<uint32_t>(n);
    } else if (arg == "--noise") {
      if (!number(0, 1024, n)) return false;
      faults.NoiseBytes = static_cast<uint32_t>(n);
    } else if (arg == "--silent") {
      faults.AnswersBeforeSilence = 0;
    } else if (arg == "--silent-after") {
      if (!number(0, 0xFFFFFFFFu, n)) return false;
      faults.AnswersBeforeSilence = static_cast<uint32_t>(n);
    } else if (arg == "--no-app-version") {
      inst.NoAppVersion = true;
    } else if (arg == "--odd-block-size") {
      faults.OddBlockSizeOnce = true;
    } else if (arg == "--ignore-reset") {
      faults.IgnoreReset = true;
    } else if (arg == "--freeze-after-block") {
      const auto freeze = ParseFreeze(text);
      if (!freeze) {
        error =
            "--freeze-after-block: expected K:SECONDS with K from 1 and SECONDS up to 3600 "
            "(at most three decimals), got \"" +
            text + "\"";
        return false;
      }
      faults.FreezeAfterWrite = *freeze;
    } else if (arg == "--hangup-after-block") {
      if (!number(1, 0xFFFFFFFFu, n)) return false;
      faults.HangUpAfterWrite = static_cast<uint32_t>(n);
    } else {
      error = UnknownOption(arg);
      return false;
    }
  }
  if (!parsed.error.empty()) {
    error = ParseError(parsed);
    return false;
  }
  if (options.Help || options.ListDevices) return true;
  if (options.ServeFd >= 0 && !options.LinkPath.empty()) {
    error = "--link needs a terminal of its own; it cannot go with --fd";
    return false;
  }
  if (options.DeviceText.empty()) {
    error = "--device is required (see --list-devices)";
    return false;
  }
  const TDevAvailArray list = BuildDeviceList();
  const int index = FindDeviceByDisplayText(list, options.DeviceText);
  if (index <= 0) {
    error = "--device: no device type \"" + options.DeviceText + "\" (see --list-devices)";
    return false;
  }
  const TDevAvailData& row = list[static_cast<size_t>(index)];
  options.Instrument.Device = row;
  options.Line.Baud = baud.value_or(row.BaudIndex);
  options.Line.Parity = row.ParityIndex;
  options.Line.DataBits = row.DataBitsIndex;
  options.Line.StopBits = row.StopBitsIndex;
  return true;
}

}  // namespace quorvel::sim
