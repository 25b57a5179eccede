// See paths.h.
#include "server/database/support/paths.h"

#include <filesystem>

namespace support {

std::string absolute_path(const std::string& path, std::error_code& error) {
  namespace fs = std::filesystem;
  error.clear();
  if (fs::path(path).is_absolute()) return path;
  const fs::path absolute = fs::absolute(path, error);
  if (error) return {};
  fs::path cleaned = absolute.root_path();
  for (const fs::path& part : absolute.relative_path()) {
    if (!part.empty() && part != ".") cleaned /= part;
  }
  return cleaned.string();
}

std::string parent_directory(const std::string& path) {
  const std::filesystem::path parent = std::filesystem::path(path).parent_path();
  return parent.empty() ? "." : parent.string();
}

}  // namespace support
