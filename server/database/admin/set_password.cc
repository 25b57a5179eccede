// Setting the administrator's password. Before anything is written the
// set must be sound, its header must name the journal a server would use,
// and it must hold the administrator account; then the account object is
// rewritten through the object layer with only its digest property
// changed, in a transaction of its own that the commit syncs.
#include "server/database/admin/set_password.h"

#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>

#include "server/database/admin/set_access.h"
#include "server/database/dbcache/admin_account.h"
#include "server/database/dbcache/node_type_property.h"
#include "server/database/dbcache/password_input.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/errors.h"
#include "server/database/support/text_format.h"

namespace admin {

namespace {

namespace fs = std::filesystem;

// A stored property record added to the serialization cache byte for byte,
// so that the rewritten object keeps every property it does not change.
class StoredRecord final : public mdb::Property {
 public:
  explicit StoredRecord(const mdb::PropertyRecord& record)
      : Property(record.id, (record.type_word & mdb::kPropertyFlagBit) ? 1 : 0), record_(record) {}

  std::uint32_t type_code() const override { return record_.type_word & ~mdb::kPropertyFlagBit; }
  std::uint32_t value_size(std::uint32_t) const override {
    return static_cast<std::uint32_t>(record_.bytes.size()) - mdb::kPropertyHeaderSize;
  }
  void serialize(std::uint8_t* record) const override {
    std::memcpy(record, record_.bytes.data(), record_.bytes.size());
  }
  std::uint32_t deserialize(std::span<const std::uint8_t>) override {
    throw mdb::error_internal("A stored record is not read back");
  }

 private:
  mdb::PropertyRecord record_;
};

std::span<const std::uint8_t> object_bytes(const mdb::dobj& object) {
  return std::span<const std::uint8_t>(object.data).subspan(object.offset);
}

// The administrator account: the user object 0.6 named "admin".
std::optional<mdb::dobj> load_administrator() {
  const std::optional<mdb::ObjectRef> ref = mdb::find_object(dbcache::kAdministratorNodeId);
  if (!ref) return std::nullopt;
  mdb::dobj object = mdb::load_object(*ref);
  const auto bytes = object_bytes(object);
  const auto type = mdb::find_record(bytes, dbcache::kNodeTypePropertyId);
  const auto name = mdb::find_record(bytes, dbcache::kNamePropertyId);
  if (!type || !name) return std::nullopt;
  dbcache::NodeTypeProperty type_property;
  mdb::PropertyString name_property;
  type_property.deserialize(type->bytes);
  name_property.deserialize(name->bytes);
  if (type_property.value() != dbcache::node_type_t::user ||
      name_property.value() != dbcache::kAdministratorName) {
    return std::nullopt;
  }
  return object;
}

// Looks for the account in the set opened read-only; an index that cannot
// be searched holds no account either (an empty set has no index roots).
bool holds_administrator(const SetFiles& files) {
  mdb::open_set(files.mdb, {{}, true});
  bool found = false;
  try {
    found = load_administrator().has_value();
  } catch (const error::Exception&) {
  }
  mdb::close_set();
  return found;
}

// A copied set whose header still names the original's journal would
// write into that journal.
void require_own_journal(const SetFiles& files) {
  const mdb::HeaderImage header = read_header(files.mdb);
  if (!has_external_journal(header, files.mdb)) return;
  const std::string named = mdb::decode_header_image(header).journal_path;
  std::error_code error;
  if (!fs::exists(files.journal, error) || fs::equivalent(named, files.journal, error)) return;
  throw Failure{kRefused, "the header names the journal " + named + ", not " + files.journal +
                              ", and a server would open " + named +
                              ": run vexmon-dbadmin relocate " + files.directory + " first"};
}

void write_digest(const mdb::dobj& account, const std::string& password) {
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  // The digest takes the place of the old one; an account without one
  // gets it last.
  for (const mdb::PropertyRecord& record : mdb::object_records(object_bytes(account))) {
    if (record.id == dbcache::kPasswordDigestPropertyId) {
      cache.add(dbcache::password_digest_property(password));
    } else {
      cache.add(StoredRecord(record));
    }
  }
  cache.add(dbcache::password_digest_property(password));
  mdb::begin_transaction();
  mdb::write_object({account.block, account.offset});
  mdb::end_transaction(false);
}

}  // namespace

int set_password(const std::string& directory, const std::string& pwfile) {
  const SetFiles files = set_files(directory);
  const auto lock = lock_set(files);
  require_own_journal(files);
  require_sound(files, {}, "the set is not sound: ");
  if (!holds_administrator(files)) {
    throw Failure{kRefused,
                  "the set in " + directory +
                      " has no administrator account (a set made with -n or -c has none)"};
  }
  dbcache::PasswordRead read =
      pwfile.empty() ? dbcache::read_password_twice() : dbcache::read_password_file(pwfile);
  if (!read.ok()) throw Failure{kRefused, read.refusal};
  mdb::open_set(files.mdb);
  const std::optional<mdb::dobj> account = load_administrator();
  if (!account) throw mdb::error_internal("The administrator account vanished");
  write_digest(*account, read.password);
  ::explicit_bzero(read.password.data(), read.password.size());
  mdb::close_set();
  std::cout << "the administrator's password of the set in " << directory << " is set\n";
  return kDone;
}

}  // namespace admin
