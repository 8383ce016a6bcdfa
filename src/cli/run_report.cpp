#include "cli/run_report.h"

#include <algorithm>
#include <cstdio>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr TextPair kColumnPort{"port", "port"};
constexpr TextPair kColumnResult{"wynik", "result"};
constexpr TextPair kColumnCause{"przyczyna", "cause"};
constexpr TextPair kColumnBytes{"bajty", "bytes"};
constexpr TextPair kColumnTime{"czas", "time"};
constexpr TextPair kResultOk{"OK", "OK"};
constexpr TextPair kResultUnconfirmed{"NIEPOTWIERDZONY", "UNCONFIRMED"};
constexpr TextPair kResultFailed{"BŁĄD", "FAILED"};
constexpr TextPair kResultCurrent{"AKTUALNE", "CURRENT"};
constexpr TextPair kCounts{"zaprogramowane: %s, już aktualne: %s, nieudane: %s",
                           "programmed: %s, already current: %s, failed: %s"};
constexpr TextPair kCountUnconfirmed{", bez potwierdzenia restartu: %s",
                                     ", restart not confirmed: %s"};

// Two hexadecimal digits a byte: a name byte for byte, whatever it holds.
std::string HexBytes(std::string_view bytes) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string hex;
  hex.reserve(bytes.size() * 2);
  for (const char c : bytes) {
    const auto byte = static_cast<uint8_t>(c);
    hex.append(1, kHex[byte >> 4]).append(1, kHex[byte & 0x0F]);
  }
  return hex;
}

std::string JsonNumberOrNull(bool present, uint64_t value) {
  return present ? std::to_string(value) : "null";
}

std::string ObjectJson(const InstrumentResult& r, const std::string& indent) {
  const std::string in = indent + "  ";
  std::string json = "{\n";
  const auto field = [&](const char* name, const std::string& value, bool last = false) {
    json += in + "\"" + name + "\": " + value + (last ? "\n" : ",\n");
  };
  field("port", JsonString(r.port));
  field("port_bytes", JsonString(HexBytes(r.port)));
  field("device", JsonString(r.device));
  std::string serial = "null";
  if (r.facts.InfoReported) {
    serial.assign(1, '[');
    serial.append(std::to_string(r.facts.SerialPart1)).append(", ");
    serial.append(std::to_string(r.facts.SerialPart2)).append("]");
  }
  field("serial", serial);
  field("device_code", JsonNumberOrNull(r.facts.InfoReported, r.facts.DeviceCode));
  field("boot_version", r.facts.InfoReported ? JsonString(r.facts.BootVersion) : "null");
  std::string deviceCheck = "null";
  if (r.facts.InfoReported) deviceCheck = r.facts.DeviceCheckSkipped ? "\"skipped\"" : "\"done\"";
  field("device_check", deviceCheck);
  field("app_version", r.facts.AppVersion ? JsonString(*r.facts.AppVersion) : "null");
  field("bytes_written", std::to_string(r.facts.BytesWritten));
  field("bytes_total", std::to_string(r.facts.BytesTotal));
  field("blocks_skipped", std::to_string(r.facts.BlocksSkipped));
  field("duration_ms", std::to_string(r.facts.Duration.count()));
  field("cause", JsonString(RunCauseName(r.cause)));
  field("link_problem", r.linkProblem.empty() ? "null" : JsonString(r.linkProblem));
  field("exit_code", std::to_string(r.exitCode));
  field("message", JsonString(r.message), true);
  return json + indent + "}";
}

int Severity(int code) {
  switch (code) {
    case 0:
      return 0;
    case 3:
      return 1;
    default:
      return 2;
  }
}

std::string PadRight(const std::string& text, int width) {
  return text + std::string(static_cast<size_t>(std::max(0, width - Utf8Length(text))), ' ');
}

std::string ResultWord(const InstrumentResult& r) {
  if (r.cause == RunCause::AlreadyCurrent) return kResultCurrent.str();
  const int exitCode = r.exitCode;
  if (exitCode == 0) return kResultOk.str();
  if (exitCode == 3) return kResultUnconfirmed.str();
  return kResultFailed.str();
}

std::string Seconds(int64_t ms) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%.1f s", static_cast<double>(ms) / 1000.0);
  return buffer;
}

}  // namespace

std::string JsonString(std::string_view text) {
  std::string json = "\"";
  for (size_t i = 0; i < text.size();) {
    const char c = text[i];
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      json += "\\ufffd";
      ++i;
      continue;
    }
    if (length > 1) {
      json.append(text.substr(i, length));
      i += length;
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        json += "\\\"";
        break;
      case '\\':
        json += "\\\\";
        break;
      case '\n':
        json += "\\n";
        break;
      case '\r':
        json += "\\r";
        break;
      case '\t':
        json += "\\t";
        break;
      case '\b':
        json += "\\b";
        break;
      case '\f':
        json += "\\f";
        break;
      default:
        if (static_cast<uint8_t>(c) < 0x20 || c == 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
          json += escaped;
        } else {
          json += c;
        }
    }
  }
  return json + "\"";
}

std::string ReportJson(const std::vector<InstrumentResult>& results) {
  if (results.size() == 1) return ObjectJson(results.front(), "") + "\n";
  std::string json = "[";
  for (size_t i = 0; i < results.size(); ++i) {
    json += (i == 0 ? "\n  " : ",\n  ") + ObjectJson(results[i], "  ");
  }
  return json + "\n]\n";
}

std::string SummaryTable(const std::vector<InstrumentResult>& results) {
  std::vector<std::vector<std::string>> rows;
  rows.push_back({kColumnPort.str(), kColumnResult.str(), kColumnCause.str(), kColumnBytes.str(),
                  kColumnTime.str()});
  for (const InstrumentResult& r : results) {
    rows.push_back(
        {PrintableText(r.port), ResultWord(r), std::string(RunCauseName(r.cause)),
         std::to_string(r.facts.BytesWritten) + " / " + std::to_string(r.facts.BytesTotal),
         Seconds(r.facts.Duration.count())});
  }
  std::vector<int> widths(rows.front().size(), 0);
  for (const auto& row : rows) {
    for (size_t c = 0; c < row.size(); ++c) widths[c] = std::max(widths[c], Utf8Length(row[c]));
  }
  std::string table;
  for (const auto& row : rows) {
    std::string line;
    for (size_t c = 0; c < row.size(); ++c) {
      line += c + 1 < row.size() ? PadRight(row[c], widths[c]) + "  " : row[c];
    }
    table += line + "\n";
  }
  return table;
}

std::string SummaryCounts(const std::vector<InstrumentResult>& results) {
  size_t programmed = 0;
  size_t current = 0;
  size_t unconfirmed = 0;
  for (const InstrumentResult& r : results) {
    if (r.cause == RunCause::AlreadyCurrent) {
      ++current;
    } else if (r.exitCode == 0) {
      ++programmed;
    } else if (r.exitCode == 3) {
      ++unconfirmed;
    }
  }
  const size_t failed = results.size() - programmed - current - unconfirmed;
  std::string counts =
      FormatText(kCounts.text(),
                 {std::to_string(programmed), std::to_string(current), std::to_string(failed)});
  // Written, but whether it runs is not known: neither programmed nor failed.
  if (unconfirmed != 0) {
    counts += FormatText(kCountUnconfirmed.text(), {std::to_string(unconfirmed)});
  }
  return counts;
}

int CombinedExitCode(const std::vector<int>& codes) {
  // No run at all programmed nothing: never a success.
  if (codes.empty()) return 1;
  int combined = 0;
  for (int code : codes) {
    if (Severity(code) > Severity(combined)) combined = code;
  }
  return combined;
}

}  // namespace quorvel
