// Recognising what a block device already holds before it is overwritten.
#pragma once

#include <optional>
#include <string>

namespace creation_tool {

// What the device at `path` holds, as a phrase for a refusal ("an ext4 file
// system labelled \"data\"", "a dos partition table", "a Vexmon MDB"), or
// nullopt when neither libblkid nor this project's own magics find
// anything. A device that cannot be read ends the run with the reason.
std::optional<std::string> existing_content(const std::string& path);

}  // namespace creation_tool
