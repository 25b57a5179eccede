// The placement test: one stat() of the path decides whether the tool may put
// a database there. A directory receives a default file name, a block-special
// device is used as the store itself, everything else is refused.
#include "server/database/creation_tool/placement.h"

#include <sys/stat.h>

namespace creation_tool {

placement_kind_t classify_placement(const std::string& path, std::ostream& out) {
  struct stat attributes;
  if (::stat(path.c_str(), &attributes) != 0) {
    out << "Cannot stat given path" << std::endl;
    return placement_bad;
  }
  if (S_ISDIR(attributes.st_mode)) return placement_dir;
  if (S_ISBLK(attributes.st_mode)) return placement_blockdev;
  out << "Path not a directory or block device" << std::endl;
  return placement_bad;
}

std::string path_in_directory(const std::string& directory, const char* file_name) {
  return directory + kSeparator + file_name;
}

}  // namespace creation_tool
