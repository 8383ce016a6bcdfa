// libFuzzer target: the readers of bytes that other processes send the USB
// link (a change notice, a list of devices open elsewhere). Besides not
// crashing: what a notice parse promises survives writing it again, applying
// it moves at most one entry each way and never touches the "none" entry,
// and an open-device list gives no more devices than it has entries.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "usb/device_list.h"

namespace {

void Check(bool condition) {
  if (!condition) std::abort();
}

using namespace quorvel::usb;

void CheckNotice(std::string_view bytes) {
  const ParsedNotice parsed = ParseChangeNotice(bytes);
  if (!parsed.readable) {
    Check(parsed.notice.expectedNames.empty() && !parsed.releasedParsed && !parsed.takenParsed);
  }
  if (parsed.releasedParsed) Check(parsed.notice.released.chipType <= kMaxChipType);
  if (parsed.takenParsed) Check(parsed.notice.taken.chipType <= kMaxChipType);
  if (parsed.readable && parsed.releasedParsed && parsed.takenParsed) {
    const ParsedNotice again = ParseChangeNotice(EncodeChangeNotice(parsed.notice));
    Check(again.readable && again.releasedParsed && again.takenParsed);
    Check(again.notice.expectedNames == parsed.notice.expectedNames);
    Check(again.notice.released == parsed.notice.released);
    Check(again.notice.taken == parsed.notice.taken);
  }
  for (const bool serviceMode : {false, true}) {
    DeviceList list = {{"0=none", 3}, {"17=VARNELD MT A1", 5}, {"18=VARNELD MT", 6}};
    const size_t before = list.size();
    const NoticeOutcome outcome =
        ApplyChangeNotice(list, parsed, NameFilter("VARNELD MT", serviceMode));
    Check(list.size() + 1 >= before && list.size() <= before + 1);
    Check(list[0].text == "0=none");
    Check(outcome.changed || list.size() == before);
    if (outcome.result != NoticeResult::Applied) Check(!outcome.changed && list.size() == before);
  }
}

void CheckOpenDeviceList(std::string_view bytes) {
  const std::vector<NoticeDevice> devices = ParseOpenDeviceList(bytes);
  size_t separators = 0;
  for (char c : bytes) separators += c == '\0' ? 1 : 0;
  Check(devices.size() <= separators + 1);
  DeviceList list = {{"0=none", 3}};
  MergeOpenDevices(list, devices, NameFilter("", true));
  Check(list.size() <= devices.size() + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  CheckNotice(bytes);
  CheckOpenDeviceList(bytes);
  return 0;
}
