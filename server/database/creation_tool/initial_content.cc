// The initial content of a new MDB, written through the ordinary engine
// path: open, start (journal replay, allocation map), index roots, then one
// write_object per object, each its own transaction that also enters the
// object into the indexes. Properties are added in a fixed order, which is
// the order they keep in the stored object.
#include "server/database/creation_tool/initial_content.h"

#include "server/database/dbcache/admin_account.h"
#include "server/database/dbcache/node_type_property.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/object_write.h"
#include "server/database/mdb/open_set.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/serialization_cache.h"
#include "server/database/tsdb/series_allocation.h"

namespace creation_tool {

namespace {

using mdb::NodeId;
using Value32 = mdb::PropertySomething32<unsigned int, 1>;
using CheckIdValue = mdb::PropertySomething32<unsigned int, 9>;

// Property ids of the initial objects.
constexpr std::uint32_t kOwnId = 0;
constexpr std::uint32_t kValue = 1;
constexpr std::uint32_t kParentId = 2;
constexpr std::uint32_t kName = dbcache::kNamePropertyId;
constexpr std::uint32_t kFirstDomainValue = 100;  // 100 to 104
constexpr std::uint32_t kDomainString = 512;
constexpr std::uint32_t kAccountDescription = 900;
constexpr std::uint32_t kAccountCheckId = 2601;
constexpr std::uint32_t kFirstObjectValue = 2901;

constexpr NodeId kRootDomain{0, 1};
constexpr NodeId kFirstObject{0, 4};
constexpr NodeId kAdministrator = dbcache::kAdministratorNodeId;

// The thirteen boolean settings of the account, in the order they are
// stored; all true.
constexpr std::uint32_t kAccountSettings[] = {902, 913, 914, 903, 904, 905, 906,
                                              907, 908, 909, 910, 911, 912};

// The administrator's series: datatype 4, one level of 102400 records with
// level parameter 1.
const tsdb::SeriesDescription kAdministratorSeries{4, {{102400, 1}}};

// Stores what the serialization cache holds as a new object.
void write_new_object() { mdb::write_object(mdb::ObjectRef{0xFFFFFFFFu, 0xFFFFFFFFu}); }

void write_first_object() {
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  cache.add(mdb::PropertyNodeId(kOwnId, kFirstObject));
  cache.add(Value32(kFirstObjectValue, 12));
  write_new_object();
}

void write_root_domain() {
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  cache.add(mdb::PropertyNodeId(kOwnId, kRootDomain));
  cache.add(mdb::PropertyNodeId(kParentId, NodeId{0, 0}));
  cache.add(Value32(kValue, 0));
  cache.add(dbcache::node_type_property(dbcache::node_type_t::domain));
  cache.add(mdb::PropertyString(kName, "Root domain"));
  cache.add(mdb::PropertyString(kDomainString, ""));
  for (std::uint32_t id = kFirstDomainValue; id < kFirstDomainValue + 5; ++id) {
    cache.add(Value32(id, 0));
  }
  write_new_object();
}

void write_administrator(std::string_view password) {
  const std::uint32_t check_id = tsdb::allocate_described_ts(kAdministratorSeries);
  mdb::SerializationCache& cache = mdb::serialization_cache();
  cache.reset();
  cache.add(mdb::PropertyNodeId(kOwnId, kAdministrator));
  cache.add(mdb::PropertyNodeId(kParentId, kRootDomain));
  cache.add(Value32(kValue, 0));
  cache.add(dbcache::node_type_property(dbcache::node_type_t::user));
  cache.add(mdb::PropertyString(kName, std::string(dbcache::kAdministratorName)));
  cache.add(dbcache::password_digest_property(password));
  for (std::uint32_t id : kAccountSettings) {
    cache.add(mdb::PropertyBool(id, true));
  }
  cache.add(mdb::PropertyString(kAccountDescription, "Administrator account"));
  cache.add(CheckIdValue(kAccountCheckId, check_id));
  write_new_object();
}

}  // namespace

void write_initial_content(const std::string& mdb_path, bool omit_admin,
                           std::string_view admin_password) {
  mdb::open_set(mdb_path);

  write_first_object();
  write_root_domain();
  if (!omit_admin) write_administrator(admin_password);

  // Syncs the journal and the MDB file before the run reports success.
  mdb::close_set();
}

}  // namespace creation_tool
