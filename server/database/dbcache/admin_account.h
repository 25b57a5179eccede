// The administrator account of a set: the user object named "admin" that
// the creation tool writes, and its password digest property.
//
// Only the digest of the password is stored: its MD5 as 32 lower-case
// hexadecimal digits, in a string property of its own, with no salt.
#pragma once

#include <cstdint>
#include <string_view>

#include "server/database/mdb/node_id.h"
#include "server/database/mdb/property.h"

namespace dbcache {

inline constexpr mdb::NodeId kAdministratorNodeId{0, 6};
inline constexpr std::uint32_t kNamePropertyId = 51;
inline constexpr std::uint32_t kPasswordDigestPropertyId = 901;
inline constexpr std::string_view kAdministratorName = "admin";

// The account's password digest property (id 901) for `password`.
mdb::PropertyString password_digest_property(std::string_view password);

}  // namespace dbcache
