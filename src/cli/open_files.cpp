#include "cli/open_files.h"

#include <sys/resource.h>

namespace quorvel {

uint64_t FilesNeeded(size_t runs, bool usb) {
  return kFilesBesideRuns + runs * (usb ? kFilesPerUsbRun : kFilesPerSerialRun);
}

uint64_t RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0) return UINT64_MAX;  // not known: not in the way
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? UINT64_MAX : static_cast<uint64_t>(limit.rlim_cur);
}

}  // namespace quorvel
