// Paths stored in a set's files.
#pragma once

#include <string>
#include <system_error>

namespace support {

// `path` as a file stored in a set should name it, whatever the working
// directory of a later reader: an absolute path stays byte for byte as it
// is; a relative one is made absolute from the working directory, without
// its "." and empty components. Symbolic links are not resolved and ".."
// stays (after a link it would not name the same place), so the result
// names what the user named. Empty, with `error` set, when the working
// directory cannot be found.
std::string absolute_path(const std::string& path, std::error_code& error);

// The directory that holds `path`: its parent, or "." for a bare name.
std::string parent_directory(const std::string& path);

}  // namespace support
