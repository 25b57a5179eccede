// The administrator account's password digest.
#include "server/database/dbcache/admin_account.h"

#include "server/database/support/hash.h"

namespace dbcache {

mdb::PropertyString password_digest_property(std::string_view password) {
  return mdb::PropertyString(kPasswordDigestPropertyId, security::md5_hex(password));
}

}  // namespace dbcache
