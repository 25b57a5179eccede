// What a run must never do: write to a device that another program holds or that holds data, give
// one file or device two roles, start writing when a later step is bound to fail or the files do
// not fit, leave a half-made set behind after a failure or an interruption, die of a file size
// limit, or report success when its own output was lost. Devices are loop devices over files in a
// temporary directory, small file systems are tmpfs mounts (root, losetup and mount needed; the
// tests skip otherwise).
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "server/database/support/test_util.h"

namespace {

using testing_util::read_range;
using testing_util::run_process;
using testing_util::TempDir;
using Bytes = std::vector<std::uint8_t>;

const std::string kProgram = VEXMON_DBCREATE;
constexpr std::uint64_t kMiB = 1 << 20;

// A loop device over a file of `size` bytes of 0xA5, detached at the end.
class LoopDevice {
 public:
  LoopDevice(const TempDir& dir, const std::string& name, std::uint64_t size)
      : image_(dir.file(name)) {
    testing_util::write_file(image_, Bytes(size, 0xA5));
    if (::geteuid() != 0) return;
    if (FILE* p = ::popen(("losetup -f --show " + image_ + " 2>/dev/null").c_str(), "r")) {
      char line[256] = {};
      if (std::fgets(line, sizeof line, p)) path_ = line;
      if (::pclose(p) != 0) path_.clear();
      if (!path_.empty() && path_.back() == '\n') path_.pop_back();
    }
  }
  ~LoopDevice() {
    if (!path_.empty()) std::system(("losetup -d " + path_).c_str());
  }
  const std::string& path() const { return path_; }
  // True when the first `size` bytes still hold the pattern.
  bool untouched(std::uint64_t from, std::uint64_t size) const {
    return read_range(path_, from, size) == Bytes(size, 0xA5);
  }

 private:
  std::string image_, path_;
};

#define SKIP_WITHOUT(device) \
  if ((device).path().empty()) GTEST_SKIP() << "needs root and losetup"

// A tmpfs mounted with `options` (and read-only when asked) on a new directory, unmounted at the
// end.
class Tmpfs {
 public:
  Tmpfs(const std::string& path, const char* options, bool read_only = false) : path_(path) {
    std::filesystem::create_directory(path);
    mounted_ = ::mount("tmpfs", path.c_str(), "tmpfs", read_only ? MS_RDONLY : 0, options) == 0;
  }
  ~Tmpfs() {
    if (mounted_) ::umount2(path_.c_str(), MNT_DETACH);
  }
  bool mounted() const { return mounted_; }

 private:
  std::string path_;
  bool mounted_;
};

// The dialogue's answers for a 4 MiB journal (internal when `journal` is
// empty) and a TSDB of 3 chains, 8192-byte blocks and `checks` checks.
std::string answers(const std::string& mdb, const std::string& journal, const std::string& tsdb,
                    const std::string& checks = "10") {
  return mdb + "\n" + (journal.empty() ? "i\n" : "e\n" + journal + "\n") + "4\n3\n8192\n" + checks +
         "\n" + tsdb + "\n";
}

testing_util::ProcessResult run_interactive(const std::string& input) {
  return run_process(kProgram, {"-f", "-c", "-i"}, input);
}

// The last line of `text` with its line end.
std::string last_line(const std::string& text) {
  const std::size_t end = text.rfind('\n', text.size() - 2);
  return end == std::string::npos ? text : text.substr(end + 1);
}

std::vector<std::string> entries(const TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A device another program holds is neither opened nor written; one device (here also under
// another name) is refused for two roles, and so is a device as the destination of the default
// mode, which places both MDB and TSDB there.
TEST(CreationSafety, DeviceHeldElsewhereOrGivenTwoRolesIsNeitherOpenedNorWritten) {
  TempDir dir;
  LoopDevice device(dir, "device.img", 12 * kMiB);
  SKIP_WITHOUT(device);
  const std::string d = (dir.path() / "db").string();
  std::filesystem::create_directory(d);
  const std::string& dev = device.path();
  const std::string link = dir.file("link");
  std::filesystem::create_symlink(dev, link);
  // The first three are refused while the device is held, the others for two roles.
  const std::pair<std::string, std::string> cases[] = {
      {answers(dev, "", d), "Unable to open store \"" + dev + "\"\n  Device or resource busy\n"},
      {answers(d, dev, d),
       "MDB I/O error: Cannot open journal in \"" + dev + "\": Device or resource busy\n"},
      {answers(d, "", dev),
       "TSDB I/O error: Unable to open \"" + dev + "\": Device or resource busy\n"},
      {answers(dev, link, d), "Cannot place both the MDB and the journal on \"" + link + "\"\n"},
      {answers(dev, "", link), "Cannot place both the MDB and the TSDB on \"" + link + "\"\n"},
      {answers(d, dev, link), "Cannot place both the journal and the TSDB on \"" + link + "\"\n"},
  };
  const auto r = run_process(kProgram, {"-d", dev});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(r.err,
            "placement path: \"" + dev + "\"\nCannot place both MDB and TSDB in a block special\n");
  const int hold = ::open(dev.c_str(), O_RDWR | O_EXCL);  // like a mount
  ASSERT_GE(hold, 0);
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    if (i == 3) ::close(hold);
    const auto& [input, error] = cases[i];
    const auto r = run_interactive(input);
    EXPECT_EQ(r.exit_code, 1) << error;
    EXPECT_TRUE(r.err.ends_with(error)) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(d)) << error;
  }
  EXPECT_TRUE(device.untouched(0, 12 * kMiB));
}

TEST(CreationSafety, TsdbOnATooSmallDeviceIsRefused) {
  TempDir dir;
  LoopDevice small(dir, "small.img", 8 * kMiB);
  SKIP_WITHOUT(small);
  const std::string d = (dir.path() / "db").string();
  std::filesystem::create_directory(d);
  auto r = run_interactive(answers(d, "", small.path()));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(last_line(r.err), "TSDB Error: Device \"" + small.path() +
                                  "\" holds 8388608 bytes, the TSDB needs "
                                  "10485760\n");
  EXPECT_TRUE(std::filesystem::is_empty(d));
  EXPECT_TRUE(small.untouched(0, 8 * kMiB));
}

TEST(CreationSafety, ForeseeableFailuresStopBeforeAnythingIsWritten) {
  TempDir dir;
  const std::string d = dir.path().string();
  const std::string placed = "placement path: \"" + d + "\"\n";
  // A journal directory whose path leaves no room in the MDB header.
  std::filesystem::path deep = dir.path();
  for (int i = 0; i < 5; ++i) deep /= std::string(200, 'j');
  std::filesystem::create_directories(deep);
  const struct {
    std::string existing, journal_dir, error;
  } cases[] = {
      {"main.odb", "", placed + "Unable to create file \"" + d + "/main.odb\"\n  File exists\n"},
      {"main.tsdb", "", placed + "Unable to create file \"" + d + "/main.tsdb\"\n  File exists\n"},
      {"main.odbj", "", placed + "Unable to create file \"" + d + "/main.odbj\"\n  File exists\n"},
      {"", deep.string(), "\nMDB Error: Too long journal path\n"},
  };
  for (const auto& c : cases) {
    if (!c.existing.empty()) testing_util::write_file(dir.file(c.existing), {7});
    const std::vector<std::string> before = entries(dir);
    const auto r = c.journal_dir.empty() ? run_process(kProgram, {"-f", "-c", "-d", d})
                                         : run_interactive(answers(d, c.journal_dir, d));
    EXPECT_EQ(r.exit_code, 1) << c.error;
    EXPECT_EQ(r.err, c.error);
    EXPECT_EQ(entries(dir), before) << c.error;
    if (!c.existing.empty()) {
      EXPECT_EQ(testing_util::read_file(dir.file(c.existing)), Bytes{7}) << c.error;
      std::filesystem::remove(dir.file(c.existing));
    }
  }
}

// A device that holds a file system, or a set this tool made, is refused without --overwrite and
// left as it was, whatever -f says.
TEST(CreationSafety, DeviceHoldingDataIsRefusedUnlessOverwriteIsGiven) {
  TempDir dir;
  LoopDevice device(dir, "ext4.img", 16 * kMiB);
  SKIP_WITHOUT(device);
  const std::string& dev = device.path();
  if (std::system(("mkfs.ext4 -q -L data " + dev + " 2>/dev/null").c_str()) != 0) {
    GTEST_SKIP() << "needs mkfs.ext4";
  }
  const std::string d = (dir.path() / "db").string();
  std::filesystem::create_directory(d);
  const Bytes before = read_range(dev, 0, 2 * kMiB);
  const std::string refusal = "Device \"" + dev + "\" holds ";
  auto r = run_interactive(answers(dev, "", d));
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(last_line(r.err),
            refusal + "an ext4 file system labelled \"data\"; give --overwrite to replace it\n");
  EXPECT_EQ(read_range(dev, 0, 2 * kMiB), before);
  EXPECT_TRUE(std::filesystem::is_empty(d));

  // The device then holds each file of a set in turn: the MDB the run put there, then the first
  // block of the set's journal and of its TSDB.
  r = run_process(kProgram, {"-f", "-c", "-i", "--overwrite"}, answers(dev, d, d));
  ASSERT_EQ(r.exit_code, 0) << r.err;
  const Bytes journal = read_range(d + "/main.odbj", 0, 4096);
  const Bytes tsdb = read_range(d + "/main.tsdb", 0, 4096);
  std::filesystem::remove(d + "/main.odbj");
  std::filesystem::remove(d + "/main.tsdb");
  for (const auto& [start, held] : {std::pair{Bytes(), "a Vexmon MDB"},
                                    {journal, "a Vexmon MDB journal"},
                                    {tsdb, "a Vexmon TSDB"}}) {
    std::fstream(dev, std::ios::in | std::ios::out | std::ios::binary)
        .write(reinterpret_cast<const char*>(start.data()), start.size());
    r = run_interactive(answers(dev, "", d));
    EXPECT_EQ(last_line(r.err), refusal + held + "; give --overwrite to replace it\n");
  }
}

// Files that do not fit are refused before the first byte, naming the directory and both sizes;
// a read-only mount is refused with the system's reason.
TEST(CreationSafety, FreeSpaceAndReadOnlyMountsAreCheckedBeforeWriting) {
  TempDir dir;
  const std::string small = dir.file("small"), read_only = dir.file("ro");
  const Tmpfs small_fs(small, "size=16m"), read_only_fs(read_only, "size=1m", true);
  if (!small_fs.mounted() || !read_only_fs.mounted()) GTEST_SKIP() << "needs root and mount";
  auto r = run_process(kProgram, {"-f", "-d", small});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(last_line(r.err), "Not enough free space in \"" + small +
                                  "\": 22028288 bytes needed, 16777216 available\n");
  EXPECT_TRUE(std::filesystem::is_empty(small));
  r = run_process(kProgram, {"-f", "-d", read_only});
  EXPECT_TRUE(r.err.ends_with("Unable to create file \"" + read_only +
                              "/main.odb\"\n  Read-only file system\n"))
      << r.err;
}

// A run that fails after it started writing removes exactly the files it created (not a file it
// found) and zeroes the start of a device it wrote, so that the same command then succeeds;
// --no-clean keeps everything. A run whose own output is lost keeps its complete files.
TEST(CreationSafety, FailedRunTakesBackWhatItMadeUnlessNoClean) {
  TempDir dir;
  const std::string d = dir.path().string();
  testing_util::write_file(dir.file("notes"), {1});
  const std::string limited = "ulimit -f 1000; exec " + kProgram + " -f -d " + d;
  auto r = run_process("/bin/sh", {"-c", limited});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(r.err.ends_with("Unable to write to \"" + d + "/main.odb\"\n  File too large\n" +
                              "Removed \"" + d + "/main.odb\"\n"))
      << r.err;
  EXPECT_EQ(entries(dir), std::vector<std::string>{"notes"});
  r = run_process("/bin/sh", {"-c", limited + " --no-clean"});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_EQ(entries(dir), (std::vector<std::string>{"main.odb", "notes"}));
  std::filesystem::remove(dir.file("main.odb"));

  for (const std::string lost : {" >/dev/full", " 2>/dev/full"}) {
    TempDir full;
    r = run_process("/bin/sh",
                    {"-c", "exec " + kProgram + " -f -d " + full.path().string() + lost});
    EXPECT_EQ(r.exit_code, 1) << lost;
    EXPECT_EQ(std::filesystem::file_size(full.file("main.tsdb")), 10 * kMiB) << lost;
  }

  LoopDevice device(dir, "mdb.img", 12 * kMiB);
  SKIP_WITHOUT(device);
  const std::string db = dir.file("db");
  std::filesystem::create_directory(db);
  const std::string run = kProgram + " -f -c -i <<EOF\n" + answers(device.path(), "", db) + "EOF";
  r = run_process("/bin/sh", {"-c", "ulimit -f 1000; " + run});
  EXPECT_EQ(r.exit_code, 1);
  EXPECT_TRUE(r.err.ends_with("Removed \"" + db +
                              "/main.tsdb\"\nZeroed the first 1048576 bytes of \"" + device.path() +
                              "\"\n"))
      << r.err;
  EXPECT_EQ(read_range(device.path(), 0, kMiB), Bytes(kMiB, 0));
  EXPECT_EQ(run_process("/bin/sh", {"-c", run}).exit_code, 0);
}

// SIGINT while the TSDB is zeroed on a device: the run stops, takes back what it made and exits
// with 128 + 2; the same command then succeeds and uses the device's first blocks.
TEST(CreationSafety, InterruptedRunTakesBackWhatItMade) {
  TempDir dir;
  LoopDevice device(dir, "tsdb.img", 256 * kMiB);
  SKIP_WITHOUT(device);
  const std::string d = dir.file("db");
  std::filesystem::create_directory(d);
  const std::string input = answers(d, "", device.path(), "250");
  testing_util::write_file(dir.file("answers"), Bytes(input.begin(), input.end()));
  const std::string err = dir.file("err");
  // SIGINT as soon as the zero fill has begun (at most 10 s of waiting for it). The shell starts
  // its background job with SIGINT ignored; env gives the program the default back.
  const auto r = run_process(
      "/bin/sh", {"-c", "env --default-signal=INT " + kProgram + " -f -i <" + dir.file("answers") +
                            " >/dev/null 2>" + err +
                            " & for i in $(seq 1000); do grep -q Initializing.database " + err +
                            " && break; sleep 0.01; done; kill -INT $!; wait $!; s=$?; cat " + err +
                            " >&2; exit $s"});
  EXPECT_EQ(r.exit_code, 130) << r.err;
  EXPECT_NE(r.err.find("Interrupted by signal 2"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find("Removed \"" + d + "/main.odb\"\n"), std::string::npos) << r.err;
  EXPECT_TRUE(std::filesystem::is_empty(d));
  EXPECT_EQ(read_range(device.path(), 0, kMiB), Bytes(kMiB, 0));
  const auto again = run_process(kProgram, {"-f", "-i"}, input);
  EXPECT_EQ(again.exit_code, 0) << again.err;
  const Bytes header = read_range(device.path(), 0, 4);
  EXPECT_EQ(std::string(header.begin(), header.end()), "TSDB");
  // The TSDB's 32000 blocks are zeroed but for the header, the 12 replicas and the
  // administrator's series; the rest of the device stays.
  EXPECT_EQ(read_range(device.path(), 64 * 8192, 1000 * 8192), Bytes(1000 * 8192, 0));
  EXPECT_TRUE(device.untouched(250 * kMiB, 6 * kMiB));
}

// With standard error on a terminal (script gives the program one) the progress line shows a
// percentage that each update overwrites in place; a pipe gets the plain progress line
// (CreationSequence.DefaultCompletelyEmptyRun compares it).
TEST(CreationSafety, LiveProgressOnATerminal) {
  if (!std::filesystem::exists("/usr/bin/script")) GTEST_SKIP() << "needs /usr/bin/script";
  TempDir dir;
  const std::string command = kProgram + " -f -c -d " + dir.path().string() + " >/dev/null";
  const std::string shown = run_process("/usr/bin/script", {"-qec", command, "/dev/null"}).out;
  const std::size_t start = shown.find("Initializing database...");
  ASSERT_NE(start, std::string::npos) << shown;
  const std::string line = shown.substr(start, shown.find('\n', start) - start);
  EXPECT_NE(line.find("50%\b\b\b"), std::string::npos) << line;
  EXPECT_TRUE(line.ends_with("ok.\r")) << line;
}

}  // namespace
