// See cleanup.h. The records live for the process: the creation is run once
// per process, and the program entry cleans up after it.
#include "server/database/creation_tool/cleanup.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

#include "server/database/creation_tool/run_failure.h"
#include "server/database/support/file_io.h"
#include "server/database/support/paths.h"
#include "server/database/support/text_format.h"

namespace creation_tool {
namespace {

// The largest start of a device that the clean-up zeroes: it holds every
// header the run writes (MDB, journal, TSDB).
constexpr std::uint64_t kDeviceStartBytes = std::uint64_t{1} << 20;

struct created_file {
  std::string path;
  dev_t device;
  ino_t inode;
};

struct written_device {
  std::string path;
  std::uint64_t bytes;
};

std::vector<created_file> files;
std::vector<written_device> devices;

// Overwrites the first `bytes` of `path` with zeros and syncs them.
bool zero_start(const std::string& path, std::uint64_t bytes) {
  support::UniqueFd fd = support::open_file(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (!fd.is_open()) return false;
  const std::vector<char> zeros(static_cast<std::size_t>(bytes), 0);
  const bool ok =
      support::pwrite_full(fd.get(), zeros.data(), zeros.size(), 0).complete(zeros.size()) &&
      support::file_calls().fsync(fd.get()) == 0;
  return fd.close() == 0 && ok;
}

}  // namespace

void note_created_file(const std::string& path) {
  struct stat status {};
  if (::lstat(path.c_str(), &status) != 0) return;
  files.push_back({path, status.st_dev, status.st_ino});
}

void note_device_written(const std::string& path, std::uint64_t bytes) {
  for (written_device& d : devices) {
    if (d.path == path) {
      d.bytes = std::max(d.bytes, bytes);
      return;
    }
  }
  devices.push_back({path, bytes});
}

void clean_up_created(std::ostream& err) {
  std::vector<std::string> directories;
  for (const created_file& f : files) {
    struct stat status {};
    if (::lstat(f.path.c_str(), &status) != 0 || status.st_dev != f.device ||
        status.st_ino != f.inode) {
      continue;  // no longer the file this run made: not ours to remove
    }
    if (::unlink(f.path.c_str()) != 0) {
      err << "Unable to remove " << support::quoted(f.path) << '\n' << reason_line(errno);
      continue;
    }
    err << "Removed " << support::quoted(f.path) << '\n';
    const std::string directory = support::parent_directory(f.path);
    if (std::find(directories.begin(), directories.end(), directory) == directories.end()) {
      directories.push_back(directory);
    }
  }
  for (const std::string& directory : directories) {
    if (support::file_calls().sync_directory(directory.c_str()) != 0) {
      err << "Unable to sync directory " << support::quoted(directory) << '\n'
          << reason_line(errno);
    }
  }
  for (const written_device& d : devices) {
    const std::uint64_t bytes = std::min(d.bytes, kDeviceStartBytes);
    if (zero_start(d.path, bytes)) {
      err << "Zeroed the first " << support::text_u64(bytes) << " bytes of "
          << support::quoted(d.path) << '\n';
    } else {
      err << "Unable to zero the start of " << support::quoted(d.path) << '\n'
          << reason_line(errno);
    }
  }
  err << std::flush;
  forget_created();
}

void forget_created() {
  files.clear();
  devices.clear();
}

}  // namespace creation_tool
