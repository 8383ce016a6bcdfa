#include "app/save_name.h"

#include <filesystem>
#include <system_error>

#include "app/text_utils.h"

namespace quorvel {

std::string EffectiveSaveName(const std::string& name, std::string_view filterExtension) {
  namespace fs = std::filesystem;
  const fs::path path(name);
  if (path.stem().empty() || path.stem() == "." || path.filename().empty()) return {};
  std::string completed = name;
  if (completed.back() == '.') completed.pop_back();
  std::string extension = fs::path(completed).extension().string();
  if (!extension.empty()) extension.erase(0, 1);
  if (!filterExtension.empty() && !SameTextNoCase(extension, filterExtension)) {
    completed += '.';
    completed += filterExtension;
  }
  std::error_code error;
  fs::path full = fs::absolute(completed, error);
  return error ? completed : full.lexically_normal().string();
}

}  // namespace quorvel
