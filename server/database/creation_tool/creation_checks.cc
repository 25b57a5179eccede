// The checks before the first write. Each target is examined without
// writing: a file in a directory must not exist and its directory must let
// it be created; a device is opened exclusively, as the store that uses it
// will be, measured and closed again. Two targets are the same when they
// are the same device (st_rdev) or the same name in the same directory
// (st_dev and st_ino of the directory), whatever path led to them.
#include "server/database/creation_tool/creation_checks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "server/database/creation_tool/device_probe.h"
#include "server/database/creation_tool/run_failure.h"
#include "server/database/support/errors.h"
#include "server/database/support/file_io.h"
#include "server/database/support/paths.h"
#include "server/database/support/text_format.h"
#include "server/database/tsdb/creation.h"

namespace creation_tool {
namespace {

// One role's target, as given and as found.
struct target {
  const char* role;
  const std::string& path;
  placement_kind_t placement;
};

// What identifies the file or device a target names: a device by its
// device number, a file by its directory and its name. nullopt when it
// cannot be examined (the role's own check reports that).
using file_identity = std::tuple<bool, std::uint64_t, std::uint64_t, std::string>;

std::optional<file_identity> identity(const target& t) {
  struct stat status {};
  if (t.placement == placement_blockdev) {
    if (::stat(t.path.c_str(), &status) != 0) return std::nullopt;
    return file_identity{true, status.st_rdev, 0, ""};
  }
  const std::filesystem::path path(t.path);
  if (::stat(path.parent_path().c_str(), &status) != 0) return std::nullopt;
  return file_identity{false, status.st_dev, status.st_ino, path.filename().string()};
}

void check_distinct(const std::vector<target>& targets) {
  for (std::size_t i = 0; i < targets.size(); ++i) {
    for (std::size_t j = i + 1; j < targets.size(); ++j) {
      const auto a = identity(targets[i]);
      if (a && a == identity(targets[j])) {
        refuse(std::string("Cannot place both the ") + targets[i].role + " and the " +
               targets[j].role + " on " + support::quoted(targets[j].path));
      }
    }
  }
}

// A file about to be created with O_CREAT|O_EXCL in an existing directory.
void check_new_file(const std::string& path) {
  struct stat status {};
  const std::string parent = support::parent_directory(path);
  const std::string line = "Unable to create file " + support::quoted(path);
  if (::lstat(path.c_str(), &status) == 0) refuse_with_reason(line, EEXIST);
  // EACCES for the permissions, EROFS for a read-only mount.
  if (::access(parent.c_str(), W_OK | X_OK) != 0) refuse_with_reason(line, errno);
}

// Refuses a device that already holds something, unless the run may
// overwrite it.
void check_device_empty(const std::string& path, bool overwrite) {
  if (overwrite) return;
  if (const auto content = existing_content(path)) {
    refuse("Device " + support::quoted(path) + " holds " + *content +
           "; give --overwrite to replace it");
  }
}

// The files of the set grouped by the file system that will hold them, each
// group compared with what that file system has free for this user.
struct file_need {
  std::string directory;
  std::uint64_t bytes;
};

void check_free_space(const std::vector<file_need>& needs) {
  struct group {
    dev_t device;
    std::string directory;
    std::uint64_t bytes;
  };
  std::vector<group> groups;
  for (const file_need& need : needs) {
    struct stat status {};
    if (::stat(need.directory.c_str(), &status) != 0) continue;
    bool joined = false;
    for (group& g : groups) {
      if (g.device == status.st_dev) {
        g.bytes += need.bytes;
        joined = true;
      }
    }
    if (!joined) groups.push_back({status.st_dev, need.directory, need.bytes});
  }
  for (const group& g : groups) {
    struct statvfs volume {};
    if (::statvfs(g.directory.c_str(), &volume) != 0) {
      refuse_with_reason(
          "Unable to get free space information from " + support::quoted(g.directory), errno);
    }
    const std::uint64_t available = std::uint64_t{volume.f_bavail} * std::uint64_t{volume.f_frsize};
    if (g.bytes > available) {
      refuse("Not enough free space in " + support::quoted(g.directory) + ": " +
             support::text_u64(g.bytes) + " bytes needed, " + support::text_u64(available) +
             " available");
    }
  }
}

// Opens a device exclusively and returns its size in bytes, or nullopt
// (errno set) when it cannot be opened.
std::optional<std::uint64_t> device_size(const std::string& path) {
  const support::UniqueFd fd = support::open_file(path.c_str(), O_RDWR | O_EXCL | O_CLOEXEC);
  if (!fd.is_open()) return std::nullopt;
  const off_t end = support::file_calls().lseek(fd.get(), 0, SEEK_END);
  return end > 0 ? static_cast<std::uint64_t>(end) : 0;
}

void check_device_room(const std::string& path, std::uint64_t size, std::uint64_t needed,
                       const char* role) {
  if (size < needed) {
    refuse("Device " + support::quoted(path) + " holds " + support::text_u64(size) +
           " bytes, the " + role + " needs " + support::text_u64(needed));
  }
}

}  // namespace

void check_before_writing(const creation_settings& settings, const creation_plan& plan,
                          const run_flags& flags) {
  const std::uint64_t tsdb_bytes =
      std::uint64_t{tsdb::initial_block_count(settings.tsdb_chains, settings.tsdb_block_size,
                                              settings.tsdb_initial_checks)} *
      settings.tsdb_block_size;
  std::vector<file_need> needs;
  const bool external = settings.journal_type == kJournalExternal;
  std::vector<target> targets{{"MDB", settings.mdb_path, settings.mdb_placement}};
  if (external) {
    targets.push_back({"journal", settings.journal_path, settings.journal_placement});
  }
  targets.push_back({"TSDB", settings.tsdb_path, settings.tsdb_placement});
  check_distinct(targets);

  if (settings.mdb_placement == placement_dir) {
    check_new_file(settings.mdb_path);
    needs.push_back({support::parent_directory(settings.mdb_path), plan.mdb_bytes});
  } else {
    const auto size = device_size(settings.mdb_path);
    if (!size) {
      refuse_with_reason("Unable to open store " + support::quoted(settings.mdb_path), errno);
    }
    check_device_room(settings.mdb_path, *size, plan.mdb_bytes, "MDB");
    check_device_empty(settings.mdb_path, flags.overwrite);
  }
  mdb::encode_header_image(plan.header);  // "Too long journal path"

  if (external && settings.journal_placement == placement_dir) {
    check_new_file(settings.journal_path);
    needs.push_back({support::parent_directory(settings.journal_path), plan.journal_bytes});
  } else if (external) {
    const auto size = device_size(settings.journal_path);
    if (!size) {
      // The journal's own open error (JournalFile::open).
      throw mdb::error_open("Cannot open journal in " + support::quoted(settings.journal_path) +
                            ": " + error::system_error_text(static_cast<std::uint32_t>(errno)));
    }
    check_device_room(settings.journal_path, *size, plan.journal_bytes, "journal");
    check_device_empty(settings.journal_path, flags.overwrite);
  }

  if (settings.tsdb_placement == placement_dir) {
    check_new_file(settings.tsdb_path);
    needs.push_back({support::parent_directory(settings.tsdb_path), tsdb_bytes});
  } else {
    tsdb::check_store(settings.tsdb_path, settings.tsdb_chains, settings.tsdb_block_size,
                      settings.tsdb_initial_checks);
    check_device_empty(settings.tsdb_path, flags.overwrite);
  }
  check_free_space(needs);
}

}  // namespace creation_tool
