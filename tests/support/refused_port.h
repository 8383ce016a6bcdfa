// A port that this process may not open, as a serial port without
// permission: a read-only attribute of sysfs refuses to be opened for
// writing with EACCES, to root as well (a terminal refuses only ordinary
// users).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <optional>
#include <string>

namespace quorvel::test {

// The path, or none where sysfs is not there or answers otherwise (mounted
// read-only, as in some containers).
inline std::optional<std::string> PortThatRefusesAccess() {
  for (const char* path : {"/sys/devices/system/cpu/online", "/sys/devices/system/cpu/possible",
                           "/sys/kernel/mm/transparent_hugepage/hpage_pmd_size"}) {
    const int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
      close(fd);
    } else if (errno == EACCES) {
      return path;
    }
  }
  return std::nullopt;
}

}  // namespace quorvel::test
