// The file layer: whole transfers over calls that are interrupted and cut
// short, through an installed FileCalls object, on a real file.
#include "server/database/support/file_io.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <numeric>
#include <vector>

#include "server/database/support/test_util.h"

namespace {

// Every other call fails with EINTR; the others move at most 3 bytes, or
// nothing at all once `stall` is set.
class ChoppingCalls : public support::FileCalls {
 public:
  ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override {
    if (interrupt()) return -1;
    return FileCalls::pread(fd, buffer, std::min<std::size_t>(count, 3), offset);
  }
  ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) override {
    if (interrupt()) return -1;
    if (stall) return 0;
    return FileCalls::pwrite(fd, buffer, std::min<std::size_t>(count, 3), offset);
  }
  int calls = 0;
  bool stall = false;

 private:
  bool interrupt() {
    errno = EINTR;
    return ++calls % 2 == 1;
  }
};

TEST(FileLayer, WholeTransfersSurviveInterruptedAndShortCallsAndStopAtTheEnd) {
  testing_util::TempDir dir;
  ChoppingCalls chopping;
  support::ScopedFileCalls scope(chopping);
  support::UniqueFd fd =
      support::open_file(dir.file("f").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  ASSERT_TRUE(fd.is_open());
  std::vector<std::uint8_t> data(100);
  std::iota(data.begin(), data.end(), 1);
  EXPECT_TRUE(support::pwrite_full(fd.get(), data.data(), 100, 5).complete(100));
  EXPECT_GT(chopping.calls, 60);
  std::vector<std::uint8_t> back(200);
  const support::Transfer read = support::pread_full(fd.get(), back.data(), 200, 5);
  EXPECT_EQ(read.done, 100u);  // the end of the file ends the read quietly
  EXPECT_EQ(read.error, 0);
  back.resize(100);
  EXPECT_EQ(back, data);
  chopping.stall = true;
  const support::Transfer stalled = support::pwrite_full(fd.get(), data.data(), 10, 0);
  EXPECT_FALSE(stalled.complete(10));
  EXPECT_EQ(stalled.error, 0);
  EXPECT_EQ(support::pwrite_full(fd.get(), data.data(), 10, ~std::uint64_t{0} - 4).error,
            EOVERFLOW);
  EXPECT_EQ(fd.close(), 0);
  EXPECT_FALSE(fd.is_open());
}

}  // namespace
