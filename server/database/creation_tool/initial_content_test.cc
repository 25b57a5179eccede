// The initial content end to end: the tool writes a default database set as a subprocess, and the
// test then opens the MDB the way a server would and reads the objects back through the indexes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "server/database/mdb/database.h"
#include "server/database/mdb/format.h"
#include "server/database/mdb/header.h"
#include "server/database/mdb/index_maintenance.h"
#include "server/database/mdb/index_operations.h"
#include "server/database/mdb/object_records.h"
#include "server/database/mdb/object_store.h"
#include "server/database/mdb/property.h"
#include "server/database/mdb/start_database.h"
#include "server/database/mdb/transaction.h"
#include "server/database/support/big_endian.h"
#include "server/database/support/hash.h"
#include "server/database/support/test_util.h"

namespace {

using mdb::NodeId;
using mdb::ObjectRef;
using testing_util::TempDir;

constexpr NodeId kRootDomain{0, 1};
constexpr NodeId kFirstObject{0, 4};
constexpr NodeId kAdministrator{0, 6};

// A database the tool created, opened and started in this process.
class CreatedDatabase {
 public:
  CreatedDatabase(const std::string& dir) {
    opened_ = testing_util::stderr_of([&] {
      mdb::open_store(dir + "/main.odb");
      mdb::open_database();
      mdb::start_database();
      mdb::init_indexes();
      mdb::begin_transaction();
    });
  }
  ~CreatedDatabase() {
    mdb::end_transaction(false);
    testing_util::stderr_of([] {
      mdb::close_database_journal();
      mdb::close_store();
    });
  }
  const std::string& opened() const { return opened_; }

  // The references index `slot` holds under key k, in index order.
  std::vector<ObjectRef> lookup(std::uint32_t slot, NodeId k) {
    std::vector<ObjectRef> found;
    for (mdb::IndexCursor c = mdb::nonuniq_search(slot, k); !c.at_end() && c.entry_key() == k;
         mdb::cursor_next(c)) {
      found.push_back(c.entry_data());
    }
    return found;
  }

  // The bytes of the object at `ref`, from its length word on.
  std::vector<std::uint8_t> object(ObjectRef ref) {
    const mdb::dobj o = mdb::load_object(ref);
    const std::uint8_t* start = o.data.data() + o.offset;
    return {start, start + mdb::object_length(start)};
  }

 private:
  std::string opened_;
};

std::vector<std::uint32_t> record_ids(const std::vector<std::uint8_t>& object) {
  std::vector<std::uint32_t> ids;
  for (const mdb::PropertyRecord& r : mdb::object_records(object)) {
    ids.push_back(r.id);
  }
  return ids;
}

template <typename P>
P read_property(const std::vector<std::uint8_t>& object, std::uint32_t id) {
  const auto record = mdb::find_record(object, id);
  EXPECT_TRUE(record.has_value()) << "property " << id;
  P property;
  if (record) property.deserialize(record->bytes);
  return property;
}

TEST(InitialContent, DefaultRunWritesThreeObjectsAndTheAccountSeries) {
  TempDir dir;
  const std::string d = dir.path().string();
  const auto r = testing_util::run_process(VEXMON_DBCREATE, {"-f", "-d", d});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const std::string reopen =
      "Journal in sync. Ready for shutdown.\n"
      "Using 8192 byte MDB blocks\n"
      "Will use 8388608 as journal length\n"
      "Journal: [0 : 8388608)\n"
      "End of valid transaction-begin entries in journal.\n"
      "Empty blocks: 2097152\nUsed blocks: 0\nFull blocks: 0\n"
      "Root index blocks: 0\nNon-root index blocks: 0\nLeaf blocks: 0\n"
      "Lob blocks: 0\n"
      "Created root index node at block 257\n"
      "Created root index node at block 258\n"
      "Node ID and Parent ID indexes are initialized\n"
      "Phase shift from LBlock chain 0 to chain 1 complete!\n"
      "Phase shift from Head chain 0 to chain 1 complete!\n"
      "Phase shift from Tail chain 0 to chain 1 complete!\n"
      "Phase shift from Check chain 0 to chain 1 complete!\n"
      "Journal in sync. Ready for shutdown.\n";
  EXPECT_TRUE(r.err.ends_with(reopen)) << r.err;

  CreatedDatabase db(d);
  // The roots exist already: this open creates nothing.
  EXPECT_EQ(db.opened().find("Created root index node"), std::string::npos);

  const std::vector<ObjectRef> first = db.lookup(0, kFirstObject);
  const std::vector<ObjectRef> domain = db.lookup(0, kRootDomain);
  const std::vector<ObjectRef> admin = db.lookup(0, kAdministrator);
  ASSERT_EQ(first.size(), 1u);
  ASSERT_EQ(domain.size(), 1u);
  ASSERT_EQ(admin.size(), 1u);

  const std::vector<std::uint8_t> o1 = db.object(first[0]);
  EXPECT_EQ(o1.size(), 44u);
  EXPECT_EQ(record_ids(o1), (std::vector<std::uint32_t>{0, 2901}));
  EXPECT_EQ((read_property<mdb::PropertySomething32<unsigned, 1>>(o1, 2901).value()), 12u);

  const std::vector<std::uint8_t> o2 = db.object(domain[0]);
  EXPECT_EQ(o2.size(), 204u);
  EXPECT_EQ(record_ids(o2),
            (std::vector<std::uint32_t>{0, 2, 1, 3, 51, 512, 100, 101, 102, 103, 104}));
  EXPECT_EQ(read_property<mdb::PropertyString>(o2, 51).value(), "Root domain");
  EXPECT_TRUE(read_property<mdb::PropertyNodeId>(o2, 2).value().is_null());
  EXPECT_EQ(support::load_be32(mdb::find_record(o2, 3)->bytes.data() + 12), 1u);

  const std::vector<std::uint8_t> o3 = db.object(admin[0]);
  EXPECT_EQ(o3.size(), 420u);
  EXPECT_EQ(record_ids(o3),
            (std::vector<std::uint32_t>{0,   2,   1,   3,   51,  901, 902, 913, 914, 903, 904,
                                        905, 906, 907, 908, 909, 910, 911, 912, 900, 2601}));
  EXPECT_EQ(read_property<mdb::PropertyNodeId>(o3, 2).value(), kRootDomain);
  EXPECT_EQ(support::load_be32(mdb::find_record(o3, 3)->bytes.data() + 12), 2u);
  EXPECT_EQ(read_property<mdb::PropertyString>(o3, 51).value(), "admin");
  EXPECT_EQ(read_property<mdb::PropertyString>(o3, 901).value(), security::md5_hex("qorvant"));
  EXPECT_TRUE(read_property<mdb::PropertyBool>(o3, 914).value());
  // The first check id of a new TSDB.
  EXPECT_EQ((read_property<mdb::PropertySomething32<unsigned, 9>>(o3, 2601).value()), 0u);

  // The ParentId index: the account is the root domain's one child; the
  // root domain itself is filed under the null id.
  EXPECT_EQ(db.lookup(1, kRootDomain), admin);
  EXPECT_EQ(db.lookup(1, NodeId{0, 0}), domain);
}

// A password chosen with --pwfile is stored as its digest; a relative -d stores the journal path
// made absolute.
TEST(InitialContent, ChosenPasswordAndAbsoluteJournalPath) {
  TempDir dir;
  const std::string d = dir.path().string();
  std::filesystem::create_directory(d + "/set");
  testing_util::write_file(d + "/pw", {'s', '3', 'c', 'r', 'e', 't', '\n'});
  const auto r = testing_util::run_process(
      "/bin/sh", {"-c", "cd " + d + " && exec " VEXMON_DBCREATE " -f --pwfile pw -d ./set"});
  ASSERT_EQ(r.exit_code, 0) << r.err;
  mdb::HeaderImage header;
  const std::vector<std::uint8_t> block0 = testing_util::read_range(d + "/set/main.odb", 0, 1024);
  std::copy(block0.begin(), block0.end(), header.begin());
  EXPECT_EQ(mdb::decode_header_image(header).journal_path, d + "/set/main.odbj");
  CreatedDatabase db(d + "/set");
  const std::vector<ObjectRef> admin = db.lookup(0, kAdministrator);
  ASSERT_EQ(admin.size(), 1u);
  EXPECT_EQ(read_property<mdb::PropertyString>(db.object(admin[0]), 901).value(),
            security::md5_hex("s3cret"));
}

}  // namespace
