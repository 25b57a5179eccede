// The set lock of open_set against other processes (forked children taking
// flock on the same file), and the lock a program holds itself across
// opens of its set.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include "server/database/mdb/diagnostics.h"
#include "server/database/mdb/open_set.h"
#include "server/database/support/errors.h"
#include "server/database/support/test_util.h"

namespace {

using mdb::SetLock;
using testing_util::read_file;

// A child process that holds flock(`operation`) on `path` until the
// object goes.
class OtherProcessLock {
 public:
  OtherProcessLock(const std::string& path, int operation) {
    int ready[2];
    EXPECT_EQ(::pipe(ready), 0);
    EXPECT_EQ(::pipe(release_), 0);
    child_ = ::fork();
    if (child_ == 0) {
      const int fd = ::open(path.c_str(), O_RDONLY);
      char byte = ::flock(fd, operation) == 0 ? 1 : 0;
      ::close(release_[1]);
      if (::write(ready[1], &byte, 1) != 1 || ::read(release_[0], &byte, 1) < 0) _exit(1);
      _exit(0);
    }
    ::close(ready[1]);
    ::close(release_[0]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    EXPECT_EQ(byte, 1) << "the child could not lock " << path;
    ::close(ready[0]);
  }
  ~OtherProcessLock() {
    ::close(release_[1]);
    ::waitpid(child_, nullptr, 0);
  }

 private:
  pid_t child_ = -1;
  int release_[2] = {-1, -1};
};

// True when another process gets an exclusive lock on `path` at once.
bool other_process_can_lock(const std::string& path) {
  const pid_t child = ::fork();
  if (child == 0) _exit(::flock(::open(path.c_str(), O_RDONLY), LOCK_EX | LOCK_NB) == 0 ? 0 : 1);
  int status = -1;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
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
        [&] { mdb::open_set(mdb_, {{}, read_only}); },
        "Database in \"" + mdb_ + "\" is in use by another process");
    EXPECT_EQ(read_file(mdb_), before);
  }

  testing_util::TempDir dir_;
  const std::string mdb_ = dir_.file("main.odb");
};

TEST_F(SetLockTest, AnotherProcessHoldingTheFileRefusesTheOpensItConflictsWith) {
  {
    OtherProcessLock writer(mdb_, LOCK_EX);
    expect_refused(false);
    expect_refused(true);
    EXPECT_THROW(SetLock(mdb_, SetLock::Mode::shared), mdb::error_in_use);
  }
  {
    OtherProcessLock reader(mdb_, LOCK_SH);
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
