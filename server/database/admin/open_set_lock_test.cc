// The set lock of open_set against other holders of flock on the same file, and the lock a program
// holds itself across opens of its set.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/open_set.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace {

using mdb::SetLock;
using testing_util::read_file;

// flock locks belong to the open file, so a lock taken on an open file of the test's own stands
// for another process's lock: the engine's opens conflict with it as they would with a server's.
class ForeignLock {
 public:
  ForeignLock(const std::string& path, int operation) : fd_(::open(path.c_str(), O_RDONLY)) {
    EXPECT_EQ(::flock(fd_, operation), 0) << path;
  }
  ~ForeignLock() { ::close(fd_); }

 private:
  int fd_;
};

// True when an exclusive lock on `path` is granted at once to an open file other than the
// engine's.
bool other_process_can_lock(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY);
  const bool locked = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
  ::close(fd);
  return locked;
}

class SetLockTest : public testing::Test {
 protected:
  void SetUp() override {
    mdb::diagnostic_mask().set(0);
    const auto made = testing_util::run_process(VEXMON_DBCREATE, {"-f", "-n", "-d", dir_.file("")});
    ASSERT_EQ(made.exit_code, 0) << made.err;
  }
  void expect_refused(bool read_only) {
    const auto before = read_file(mdb_);
    testing_util::expect_error<mdb::error_in_use>(
        [&] {
          mdb::open_set(mdb_, {{}, read_only});
        },
        "Database in \"" + mdb_ + "\" is in use by another process");
    EXPECT_EQ(read_file(mdb_), before);
  }

  testing_util::TempDir dir_;
  const std::string mdb_ = dir_.file("main.odb");
};

TEST_F(SetLockTest, AnotherProcessHoldingTheFileRefusesTheOpensItConflictsWith) {
  {
    ForeignLock writer(mdb_, LOCK_EX);
    expect_refused(false);
    expect_refused(true);
    EXPECT_THROW(SetLock(mdb_, SetLock::Mode::shared), mdb::error_in_use);
  }
  {
    ForeignLock reader(mdb_, LOCK_SH);
    expect_refused(false);
    mdb::open_set(mdb_, {{}, true});
    mdb::close_set();
  }
  mdb::open_set(mdb_);
  EXPECT_FALSE(other_process_can_lock(mdb_));
  mdb::close_set();
  EXPECT_TRUE(other_process_can_lock(mdb_));
}

TEST_F(SetLockTest, OpenSetUsesTheLockTheProcessHolds) {
  {
    const int fd = ::open(mdb_.c_str(), O_RDWR);
    SetLock lock(fd, SetLock::Mode::exclusive, mdb_);
    ::close(fd);  // the lock has a descriptor of its own
    for (const bool read_only : {true, false}) {
      mdb::open_set(mdb_, {{}, read_only});
      mdb::close_set();
      EXPECT_FALSE(other_process_can_lock(mdb_));
    }
  }
  EXPECT_TRUE(other_process_can_lock(mdb_));
  SetLock shared(mdb_, SetLock::Mode::shared);
  EXPECT_THROW(mdb::open_set(mdb_), mdb::error_internal);
}

}  // namespace
