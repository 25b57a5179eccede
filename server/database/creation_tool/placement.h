// The placement test every path of the tool goes through, and the file names
// that are appended to a directory.
#pragma once

#include <ostream>
#include <string>

#include "server/database/creation_tool/settings.h"

namespace creation_tool {

// Tells a directory from a block-special device from anything unusable. When
// the path cannot be examined it prints "Cannot stat given path", when it is
// neither kind "Path not a directory or block device", each as one line on
// `out`; a usable path prints nothing.
placement_kind_t classify_placement(const std::string& path, std::ostream& out);

// `directory` followed by the separator and `file_name`.
std::string path_in_directory(const std::string& directory, const char* file_name);

}  // namespace creation_tool
