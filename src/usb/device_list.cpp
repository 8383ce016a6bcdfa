#include "usb/device_list.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "app/text_utils.h"
#include "run/line_settings.h"

namespace quorvel::usb {
namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::optional<uint32_t> HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return std::nullopt;
}

// Exactly 8 hexadecimal digits.
std::optional<uint32_t> ParseHex8(std::string_view digits) {
  if (digits.size() != 8) return std::nullopt;
  uint32_t value = 0;
  for (char c : digits) {
    const std::optional<uint32_t> digit = HexDigit(c);
    if (!digit) return std::nullopt;
    value = value << 4 | *digit;
  }
  return value;
}

void AppendHex8(std::string& out, uint32_t value) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  for (int shift = 28; shift >= 0; shift -= 4) out += kDigits[(value >> shift) & 0xF];
}

// Well-formed UTF-8: no stray continuation bytes, no overlong forms, no
// surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text) {
  size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    size_t length = 0;
    uint32_t min = 0;
    uint32_t code = 0;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2, min = 0x80, code = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3, min = 0x800, code = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4, min = 0x10000, code = lead & 0x07;
    } else {
      return false;
    }
    if (text.size() - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80) return false;
      code = code << 6 | (next & 0x3F);
    }
    if (code < min || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

// Bytes of a fixed-size driver field up to its first 0x00.
std::string_view FieldText(const char* field, size_t size) {
  return std::string_view(field, strnlen(field, size));
}

std::string_view UpToNul(std::string_view text) {
  return text.substr(0, text.find('\0'));
}

// One device as "location chip-type text" without terminator; nullopt when
// the numbers do not parse or the text is not UTF-8.
std::optional<NoticeDevice> ParseDevice(std::string_view field) {
  if (field.size() < 16) return std::nullopt;
  const std::optional<uint32_t> location = ParseHex8(field.substr(0, 8));
  const std::optional<uint32_t> chipType = ParseHex8(field.substr(8, 8));
  const std::string_view text = field.substr(16);
  if (!location || !chipType || !IsUtf8(text)) return std::nullopt;
  return NoticeDevice{*location, *chipType, std::string(text)};
}

void AppendDevice(std::string& out, const NoticeDevice& device) {
  AppendHex8(out, device.location);
  AppendHex8(out, device.chipType);
  out += UpToNul(device.text);
  out += '\0';
}

}  // namespace

std::string DisplayText(std::string_view description, std::string_view serial) {
  std::string text(description);
  if (!serial.empty()) {
    text += ' ';
    text += serial;
  }
  while (!text.empty() && static_cast<unsigned char>(text.back()) <= ' ') text.pop_back();
  return text;
}

std::string EntryText(uint32_t location, std::string_view displayText) {
  std::string text = std::to_string(location);
  text += '=';
  text += displayText;
  return text;
}

std::string_view EntryName(std::string_view entry) {
  return entry.substr(0, entry.find('='));
}

std::string_view EntryDisplayText(std::string_view entry) {
  const size_t equals = entry.find('=');
  return equals == std::string_view::npos ? std::string_view() : entry.substr(equals + 1);
}

std::optional<uint32_t> EntryLocation(std::string_view entry) {
  const std::string_view name = EntryName(entry);
  if (name.empty() || name.size() > 10) return std::nullopt;
  uint64_t value = 0;
  for (char c : name) {
    if (!IsDigit(c)) return std::nullopt;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return std::nullopt;
  return static_cast<uint32_t>(value);
}

bool IsNoneEntry(std::string_view entry) {
  return IsNoneName(EntryDisplayText(entry));
}

std::vector<std::string> SplitExpectedNames(std::string_view devNameExpected) {
  std::vector<std::string> names;
  size_t start = 0;
  while (true) {
    const size_t bar = devNameExpected.find('|', start);
    names.emplace_back(devNameExpected.substr(start, bar - start));
    if (bar == std::string_view::npos) break;
    start = bar + 1;
  }
  return names;
}

std::string_view CutUnitNumber(std::string_view name) {
  // Scanning from the end: digits, "/", digits, blank.
  size_t end = name.size();
  size_t i = end;
  while (i > 0 && IsDigit(name[i - 1])) --i;
  if (i == end || i == 0 || name[i - 1] != '/') return name;
  end = --i;
  while (i > 0 && IsDigit(name[i - 1])) --i;
  if (i == end || i == 0 || name[i - 1] != ' ') return name;
  return name.substr(0, i - 1);
}

NameFilter::NameFilter(std::string_view devNameExpected, bool serviceMode)
    : takeAll_(serviceMode || devNameExpected.empty()) {
  if (!takeAll_) expected_ = SplitExpectedNames(devNameExpected);
}

bool NameFilter::AcceptsDisplayText(std::string_view text) const {
  if (Accepts(text)) return true;
  const size_t blank = text.rfind(' ');
  return blank != std::string_view::npos && Accepts(text.substr(0, blank));
}

bool NameFilter::Accepts(std::string_view name) const {
  if (takeAll_) return true;
  const std::string_view cut = CutUnitNumber(name);
  return std::any_of(expected_.begin(), expected_.end(),
                     [&](const std::string& expected) { return SameTextNoCase(cut, expected); });
}

Enumeration EnumerateNodes(std::span<const d2xx::FT_DEVICE_LIST_INFO_NODE> nodes,
                           uint32_t openLocation, const NameFilter& filter) {
  Enumeration result;
  for (const d2xx::FT_DEVICE_LIST_INFO_NODE& node : nodes) {
    const bool opened = (node.Flags & d2xx::FT_FLAGS_OPENED) != 0;
    if (node.LocId == 0) {
      ++result.busyCount;
      result.sawDeviceWithoutLocation = true;
      if (opened) result.retryDelayMs = kBusyNoLocationDelayMs;
      continue;
    }
    if (opened) ++result.busyCount;
    const std::string_view description = FieldText(node.Description, sizeof node.Description);
    if (!filter.TakeAll() && !filter.Accepts(description)) continue;
    // A device opened elsewhere is not offered; the one this instance holds
    // stays so that its selection survives the rebuild.
    if (opened && node.LocId != openLocation) continue;
    std::string text =
        EntryText(node.LocId,
                  DisplayText(description, FieldText(node.SerialNumber, sizeof node.SerialNumber)));
    const bool known =
        std::any_of(result.entries.begin(), result.entries.end(),
                    [&](const DeviceEntry& entry) { return SameTextNoCase(entry.text, text); });
    if (!known) result.entries.push_back({std::move(text), node.Type});
  }
  return result;
}

uint32_t TickMs() {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(now).count());
}

Enumeration EnumerateDevices(const d2xx::Functions& fn, uint32_t openLocation,
                             const NameFilter& filter) {
  Enumeration result;
  if (fn.FT_CreateDeviceInfoList == nullptr || fn.FT_GetDeviceInfoList == nullptr) return result;
  result.startTick = TickMs();
  d2xx::DWORD count = 0;
  if (fn.FT_CreateDeviceInfoList(&count) == d2xx::FT_OK && count > 0) {
    std::vector<d2xx::FT_DEVICE_LIST_INFO_NODE> nodes;
    d2xx::DWORD filled = count;
    if (count <= kMaxDeviceNodes) {
      nodes.resize(count);
      if (fn.FT_GetDeviceInfoList(nodes.data(), &filled) == d2xx::FT_OK) {
        nodes.resize(std::min(filled, count));
        const uint32_t startTick = result.startTick;
        result = EnumerateNodes(nodes, openLocation, filter);
        result.startTick = startTick;
      }
    }
    result.devicesSeen = true;
  }
  result.endTick = TickMs();
  if (result.endTick == 0) result.endTick = 1;
  return result;
}

void SortDeviceList(DeviceList& list) {
  std::stable_sort(list.begin(), list.end(), [](const DeviceEntry& a, const DeviceEntry& b) {
    return CompareTextNoCase(a.text, b.text) < 0;
  });
}

size_t InsertionPosition(const DeviceList& list, uint32_t location) {
  const std::string name = std::to_string(location);
  size_t position = 0;
  for (size_t i = 0; i < list.size(); ++i) {
    if (EntryName(list[i].text) < name) {
      position = i + 1;
      break;
    }
  }
  if (position < list.size() && IsNoneEntry(list[position].text)) ++position;
  return position;
}

void InsertByLocation(DeviceList& list, uint32_t location, std::string_view displayText,
                      uint32_t chipType) {
  const size_t position = InsertionPosition(list, location);
  list.insert(list.begin() + static_cast<std::ptrdiff_t>(position),
              DeviceEntry{EntryText(location, displayText), chipType});
}

bool HasLocation(const DeviceList& list, uint32_t location) {
  const std::string name = std::to_string(location);
  return std::any_of(list.begin(), list.end(),
                     [&](const DeviceEntry& entry) { return EntryName(entry.text) == name; });
}

void InsertNoneEntry(DeviceList& list, uint8_t language) {
  list.insert(list.begin(), DeviceEntry{EntryText(0, NoneText(language)), d2xx::FT_DEVICE_UNKNOWN});
}

Selection KeepSelection(const DeviceList& oldList, int oldIndex, const DeviceList& newList) {
  Selection selection;
  if (newList.empty()) return selection;
  selection.index = 0;
  if (oldIndex >= 0 && static_cast<size_t>(oldIndex) < oldList.size()) {
    const std::string_view name = EntryName(oldList[static_cast<size_t>(oldIndex)].text);
    for (size_t i = 0; i < newList.size(); ++i) {
      if (EntryName(newList[i].text) == name) {
        selection.index = static_cast<int>(i);
        break;
      }
    }
  }
  selection.location =
      EntryLocation(newList[static_cast<size_t>(selection.index)].text).value_or(0);
  return selection;
}

bool ListChanged(const DeviceList& oldList, const DeviceList& newList, bool firstBuild) {
  if (firstBuild || oldList.size() != newList.size()) return true;
  for (size_t i = 0; i < oldList.size(); ++i) {
    if (!SameTextNoCase(oldList[i].text, newList[i].text)) return true;
  }
  return false;
}

uint32_t RetryDelayMs(uint32_t retryCount, uint32_t enumerationDelayMs, uint32_t enumerationMs,
                      uint32_t firstRetryTick, uint32_t now) {
  if (retryCount < kFastRetries) {
    uint32_t delay = enumerationDelayMs;
    if (delay == 0) delay = static_cast<uint32_t>(std::min<uint64_t>(2ull * enumerationMs, 3000));
    return std::max<uint32_t>(delay, 1000);
  }
  const uint32_t sinceFirst = now - firstRetryTick;
  if (sinceFirst <= 30000) return 3000;
  if (sinceFirst <= 60000) return 10000;
  return 30000;
}

std::optional<uint32_t> PlanRetry(RetryState& state, const Enumeration& enumeration,
                                  uint32_t sharedOpenCount, bool repeatIfPortOpen, uint32_t now) {
  if (!enumeration.sawDeviceWithoutLocation) state = RetryState{};
  const bool due = enumeration.devicesSeen && enumeration.sawDeviceWithoutLocation &&
                   enumeration.busyCount != sharedOpenCount && repeatIfPortOpen &&
                   (state.retryCount < kFastRetries || state.firstRetryTick != 0);
  if (!due) return std::nullopt;
  if (state.retryCount < UINT32_MAX) ++state.retryCount;
  const uint32_t delay =
      RetryDelayMs(state.retryCount, enumeration.retryDelayMs,
                   enumeration.endTick - enumeration.startTick, state.firstRetryTick, now);
  if (state.firstRetryTick == 0) state.firstRetryTick = enumeration.endTick;
  return delay;
}

std::string EncodeChangeNotice(const ChangeNotice& notice) {
  std::string out;
  out += UpToNul(notice.expectedNames);
  out += '\0';
  AppendDevice(out, notice.released);
  AppendDevice(out, notice.taken);
  return out;
}

ParsedNotice ParseChangeNotice(std::string_view bytes) {
  ParsedNotice parsed;
  if (bytes.empty() || bytes.size() > kMaxChangeNoticeSize) return parsed;
  const size_t namesEnd = bytes.find('\0');
  if (namesEnd == std::string_view::npos) return parsed;
  parsed.readable = true;
  parsed.notice.expectedNames = std::string(bytes.substr(0, namesEnd));
  std::string_view rest = bytes.substr(namesEnd + 1);
  // Each half up to its own 0x00; a half without one does not parse.
  auto nextHalf = [&rest](NoticeDevice& device) {
    const size_t end = rest.find('\0');
    if (end == std::string_view::npos) {
      rest = {};
      return false;
    }
    const std::optional<NoticeDevice> read = ParseDevice(rest.substr(0, end));
    rest.remove_prefix(end + 1);
    if (!read || read->chipType > kMaxChipType) return false;
    device = *read;
    return true;
  };
  parsed.releasedParsed = nextHalf(parsed.notice.released);
  parsed.takenParsed = nextHalf(parsed.notice.taken);
  return parsed;
}

bool NoticeConcerns(const ParsedNotice& parsed, const NameFilter& filter) {
  if (!parsed.readable || parsed.notice.expectedNames.empty() || filter.TakeAll()) return true;
  const std::vector<std::string> names = SplitExpectedNames(parsed.notice.expectedNames);
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& name) { return filter.Accepts(name); });
}

NoticeOutcome ApplyChangeNotice(DeviceList& list, const ParsedNotice& parsed,
                                const NameFilter& filter) {
  NoticeOutcome outcome;
  if (!NoticeConcerns(parsed, filter)) return outcome;
  const NoticeDevice& released = parsed.notice.released;
  const NoticeDevice& taken = parsed.notice.taken;
  if (released.text.empty() || taken.text.empty()) {
    outcome.result = NoticeResult::Rebuild;
    return outcome;
  }
  outcome.result = NoticeResult::Applied;
  if (taken.location != 0 && !IsNoneName(taken.text)) {
    const std::string text = EntryText(taken.location, taken.text);
    const auto found = std::find_if(list.begin(), list.end(), [&](const DeviceEntry& entry) {
      return SameTextNoCase(entry.text, text);
    });
    if (found != list.end()) {
      list.erase(found);
      outcome.changed = true;
    }
  }
  if (released.location != 0 && !HasLocation(list, released.location) &&
      filter.AcceptsDisplayText(released.text)) {
    InsertByLocation(list, released.location, released.text, released.chipType);
    outcome.changed = true;
  }
  return outcome;
}

std::vector<NoticeDevice> ParseOpenDeviceList(std::string_view bytes) {
  std::vector<NoticeDevice> devices;
  if (bytes.size() > kMaxOpenDeviceListSize) return devices;
  while (!bytes.empty()) {
    const size_t end = bytes.find('\0');
    const std::string_view field = bytes.substr(0, end);
    bytes.remove_prefix(end == std::string_view::npos ? bytes.size() : end + 1);
    if (std::optional<NoticeDevice> device = ParseDevice(field)) devices.push_back(*device);
  }
  return devices;
}

void MergeOpenDevices(DeviceList& list, std::span<const NoticeDevice> devices,
                      const NameFilter& filter) {
  for (const NoticeDevice& device : devices) {
    if (!filter.AcceptsDisplayText(device.text) || HasLocation(list, device.location)) continue;
    InsertByLocation(list, device.location, device.text, device.chipType);
  }
}

}  // namespace quorvel::usb
