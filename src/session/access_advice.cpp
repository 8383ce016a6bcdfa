#include "session/access_advice.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>

#include <optional>
#include <vector>

#include "app/globals.h"
#include "app/text_utils.h"

namespace quorvel {
namespace {

constexpr TextPair kJoinGroup{
    "Aby uzyskać dostęp do %s, dodaj swoje konto do grupy %s, do której należy port "
    "(sudo usermod -aG %s $USER), a następnie wyloguj się i zaloguj ponownie.",
    "To get access to %s, add your account to the group %s that owns the port "
    "(sudo usermod -aG %s $USER), then log out and in again."};
constexpr TextPair kOwnerOnly{
    "Aby uzyskać dostęp do %s, poproś administratora o prawo odczytu i zapisu: port "
    "jest dostępny tylko dla właściciela (%s), członkostwo w grupie %s nie wystarczy.",
    "To get access to %s, ask the administrator for read and write permission: the port "
    "is open to its owner (%s) only, membership of the group %s is not enough."};

// The device file's owner and group by name (by number where the system
// has no name for it).
struct DeviceOwnership {
  std::string user;
  std::string group;
  bool groupMayReadWrite = false;
};

std::optional<DeviceOwnership> OwnershipOf(const std::string& devicePath) {
  struct stat info {};
  if (stat(devicePath.c_str(), &info) != 0) return std::nullopt;
  DeviceOwnership owner{std::to_string(info.st_uid), std::to_string(info.st_gid),
                        (info.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)};
  std::vector<char> buffer(16384);
  passwd user{};
  passwd* userFound = nullptr;
  if (getpwuid_r(info.st_uid, &user, buffer.data(), buffer.size(), &userFound) == 0 && userFound) {
    owner.user = userFound->pw_name;
  }
  group entry{};
  group* groupFound = nullptr;
  if (getgrgid_r(info.st_gid, &entry, buffer.data(), buffer.size(), &groupFound) == 0 &&
      groupFound) {
    owner.group = groupFound->gr_name;
  }
  return owner;
}

}  // namespace

std::string PortAccessAdvice(const std::string& devicePath) {
  // "dialout" owns serial ports on the usual systems.
  const DeviceOwnership owner =
      OwnershipOf(devicePath).value_or(DeviceOwnership{"root", "dialout", true});
  return owner.groupMayReadWrite
             ? FormatText(kJoinGroup.text(), {devicePath, owner.group, owner.group})
             : FormatText(kOwnerOnly.text(), {devicePath, owner.user, owner.group});
}

}  // namespace quorvel
