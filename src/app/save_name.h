// The file name a save command writes to, completed like the save dialog
// completes it for its selected filter.
#pragma once

#include <string>
#include <string_view>

namespace quorvel {

// The name with filterExtension ("qvl", "log"; empty for all files) appended
// after a "." when the name's own extension differs (ignoring case); one
// trailing "." is removed first. Returned as a full path; empty when the
// name has no name part.
std::string EffectiveSaveName(const std::string& name, std::string_view filterExtension);

}  // namespace quorvel
