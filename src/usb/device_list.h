// The list of FTDI devices offered for the USB link, and the rules that keep
// it in step with the other running instances: entries "location=display
// text", the expected-names filter, the enumeration over the D2XX device
// nodes, the order and insertion rules, keeping the selection across a
// rebuild, the retry schedule while devices are busy elsewhere, the change
// notice the instances exchange and the list of devices other programs hold.
// Pure functions over plain data; no Qt, no threads. Bytes from other
// processes (change notices, open-device lists) are untrusted: their readers
// bound the size and reject anything malformed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "usb/d2xx_api.h"

namespace quorvel::usb {

// One entry: "location=display text" (location in decimal) and the device's
// chip type (the D2XX type code).
struct DeviceEntry {
  std::string text;
  uint32_t chipType = d2xx::FT_DEVICE_UNKNOWN;

  bool operator==(const DeviceEntry&) const = default;
};
using DeviceList = std::vector<DeviceEntry>;

// Description, a blank and the serial number (when not empty), with trailing
// blanks and control characters removed.
std::string DisplayText(std::string_view description, std::string_view serial);
std::string EntryText(uint32_t location, std::string_view displayText);
// The part before the first "=" (the whole text when there is none).
std::string_view EntryName(std::string_view entry);
// The part after the first "=" (empty when there is none).
std::string_view EntryDisplayText(std::string_view entry);
// The name part as a location: decimal digits only, within 32 bits.
std::optional<uint32_t> EntryLocation(std::string_view entry);
// True for the entry meaning "no device": its display text is a none-name.
bool IsNoneEntry(std::string_view entry);

// The descriptions of devices the program accepts.
class NameFilter {
 public:
  // devNameExpected: descriptions separated by "|"; empty accepts all.
  NameFilter(std::string_view devNameExpected, bool serviceMode);

  // Every device is accepted (service mode, or no expected names).
  bool TakeAll() const { return takeAll_; }
  // The name, with a trailing unit number " n/m" cut off, is accepted:
  // always when TakeAll, else when it equals one of the expected names
  // ignoring letter case (ASCII and the Polish letters; FTDI descriptions
  // are ASCII in practice).
  bool Accepts(std::string_view name) const;
  // A display text ("description serial") is accepted when its description
  // is: the whole text, or the text without its last blank-separated part
  // (the serial number). Notices and other programs' lists carry display
  // texts, not descriptions.
  bool AcceptsDisplayText(std::string_view text) const;

 private:
  std::vector<std::string> expected_;
  bool takeAll_;
};

// The texts between the "|" separators.
std::vector<std::string> SplitExpectedNames(std::string_view devNameExpected);
// The name without a trailing blank, digits, "/", digits ("Meter 1/2" gives
// "Meter"); other names unchanged.
std::string_view CutUnitNumber(std::string_view name);

// Result of one enumeration of the driver's device nodes.
struct Enumeration {
  // Entries in the driver's order, each text once.
  DeviceList entries;
  // Devices without a location ID plus devices opened by some process.
  uint32_t busyCount = 0;
  bool sawDeviceWithoutLocation = false;
  // 3000 ms when a device without location ID is opened somewhere, else 0.
  uint32_t retryDelayMs = 0;
  // The driver reported at least one device.
  bool devicesSeen = false;
  // Milliseconds ticks around the enumeration; the end is never 0.
  uint32_t startTick = 0;
  uint32_t endTick = 0;
};

inline constexpr uint32_t kBusyNoLocationDelayMs = 3000;
// More devices than any USB tree holds: a count above it is not believed.
inline constexpr uint32_t kMaxDeviceNodes = 1024;

// Builds the entries from device nodes. A node without location is counted
// busy and never listed; a node opened by some process is counted busy and
// listed only when it is the device this instance has open (openLocation).
// Unless the filter takes all, a node whose description it does not accept
// is left out.
Enumeration EnumerateNodes(std::span<const d2xx::FT_DEVICE_LIST_INFO_NODE> nodes,
                           uint32_t openLocation, const NameFilter& filter);

// Asks the driver for its device nodes and enumerates them; nothing is
// listed when either list function is missing or fails. Stamps the ticks.
Enumeration EnumerateDevices(const d2xx::Functions& fn, uint32_t openLocation,
                             const NameFilter& filter);

// Milliseconds of a monotonic clock, wrapping at 32 bits.
uint32_t TickMs();

// Sorts by whole entry text ignoring letter case (equal texts keep their order).
void SortDeviceList(DeviceList& list);

// Where an entry with this location goes: after the first entry whose
// location text orders before it (byte order), else at 0; past an entry
// meaning "no device" found at that position.
size_t InsertionPosition(const DeviceList& list, uint32_t location);
// Inserts the entry at InsertionPosition.
void InsertByLocation(DeviceList& list, uint32_t location, std::string_view displayText,
                      uint32_t chipType);
// True when some entry's name part is this location.
bool HasLocation(const DeviceList& list, uint32_t location);

// Puts "0=żaden" / "0=none" (language 0 Polish, 1 English) at position 0.
void InsertNoneEntry(DeviceList& list, uint8_t language);

// The selection after a rebuild.
struct Selection {
  // -1 for an empty list.
  int index = -1;
  // The location of the entry at index (0 when it does not parse).
  uint32_t location = 0;
};
// Finds the location of the old selected entry in the new list: its index
// there, 0 when it is gone (or the old index lay outside the old list), -1
// when the new list is empty.
Selection KeepSelection(const DeviceList& oldList, int oldIndex, const DeviceList& newList);

// The list changed: a first build, another entry count, or some entry text
// differing ignoring letter case from the one at the same position.
bool ListChanged(const DeviceList& oldList, const DeviceList& newList, bool firstBuild);

// Retries while devices are busy elsewhere.
struct RetryState {
  uint32_t retryCount = 0;
  // 0 while no retry happened.
  uint32_t firstRetryTick = 0;
};
inline constexpr uint32_t kFastRetries = 20;

// The delay before the next retry; retryCount is the count after raising it
// for this retry. Below kFastRetries: the enumeration's own delay, or when
// that is 0 twice the enumeration time capped at 3000 ms; at least 1000 ms.
// From then on by the time since the first retry: 3000 ms up to 30 s, 10000 ms
// up to 60 s, 30000 ms after. Ticks wrap at 32 bits.
uint32_t RetryDelayMs(uint32_t retryCount, uint32_t enumerationDelayMs, uint32_t enumerationMs,
                      uint32_t firstRetryTick, uint32_t now);

// Decides after an enumeration whether to retry, updating the state; the
// delay when a retry is due. sharedOpenCount: devices open in all instances.
std::optional<uint32_t> PlanRetry(RetryState& state, const Enumeration& enumeration,
                                  uint32_t sharedOpenCount, bool repeatIfPortOpen, uint32_t now);

// A device named in a change notice or another program's open-device list.
// Location 0 means no device.
struct NoticeDevice {
  uint32_t location = 0;
  uint32_t chipType = 0;
  std::string text;

  bool operator==(const NoticeDevice&) const = default;
};

// The device an instance released and the one it took.
struct ChangeNotice {
  // The sender's expected names ("|"-separated).
  std::string expectedNames;
  NoticeDevice released;
  NoticeDevice taken;
};

// Notices from other processes larger than this are not read (the
// receiver then builds its list again); only very long expected names make
// a notice that large.
inline constexpr size_t kMaxChangeNoticeSize = 4096;
inline constexpr uint32_t kMaxChipType = 9;

// Expected names, 0x00, then each device as 8 upper-case hexadecimal digits
// of location, 8 of chip type, its text and 0x00: the texts' lengths + 35
// bytes. Texts are cut at a 0x00 inside them.
std::string EncodeChangeNotice(const ChangeNotice& notice);

struct ParsedNotice {
  // Some bytes were there and the expected names ended with their 0x00;
  // false for no bytes, oversized input or a missing terminator.
  bool readable = false;
  ChangeNotice notice;
  // A device half parsed: its terminator, hexadecimal fields, chip type at
  // most 9 and UTF-8 text. A half that did not parse has an empty text.
  bool releasedParsed = false;
  bool takenParsed = false;
};
// Reads untrusted notice bytes; bytes after the taken half are ignored.
ParsedNotice ParseChangeNotice(std::string_view bytes);

// What applying a notice did to the list.
enum class NoticeResult {
  Ignored,  // the sender's expected names do not concern this instance
  Rebuild,  // a half did not parse: the list must be built again
  Applied,  // taken device removed, released device inserted (as far as they apply)
};
struct NoticeOutcome {
  NoticeResult result = NoticeResult::Ignored;
  bool changed = false;
};
// The notice concerns this instance when it was not readable, when the
// sender's expected names are empty, or when one of them is accepted here.
bool NoticeConcerns(const ParsedNotice& parsed, const NameFilter& filter);
// Removes the taken device's entry and inserts the released device (when no
// entry has its location and the filter accepts its text).
NoticeOutcome ApplyChangeNotice(DeviceList& list, const ParsedNotice& parsed,
                                const NameFilter& filter);

// Open-device lists of other programs larger than this are not read.
inline constexpr size_t kMaxOpenDeviceListSize = 65536;
// Reads an untrusted open-device list: entries separated by 0x00, each 8
// hexadecimal digits of location, 8 of chip type and the display text.
// Entries whose numbers do not parse or whose text is not UTF-8 are left out.
std::vector<NoticeDevice> ParseOpenDeviceList(std::string_view bytes);
// Inserts the devices other programs hold: each accepted text whose location
// the list does not have yet, by the insertion rule.
void MergeOpenDevices(DeviceList& list, std::span<const NoticeDevice> devices,
                      const NameFilter& filter);

}  // namespace quorvel::usb
