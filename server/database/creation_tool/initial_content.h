// The objects every new meta database starts with.
#pragma once

#include <string>
#include <string_view>

namespace creation_tool {

// The default password of the administrator account; only its MD5 digest
// is stored.
inline constexpr const char* kDefaultAdminPassword = "qorvant";

// Opens the new MDB at `mdb_path` as an existing database, initialises the
// NodeId and ParentId indexes and writes the initial objects: the object
// (0.4), the root domain (0.1) and, unless `omit_admin`, the administrator
// account (0.6) with `admin_password` and its time series in the TSDB that
// the creation left open. Then shuts the MDB down again. Fails with mdb and
// tsdb exceptions.
void write_initial_content(const std::string& mdb_path, bool omit_admin,
                           std::string_view admin_password = kDefaultAdminPassword);

}  // namespace creation_tool
