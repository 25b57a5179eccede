// The recording file layer of the tests. See recording_file_calls.h.
#include "server/database/support/recording_file_calls.h"

#include <sys/mman.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>

namespace testing_util {

bool RecordingFileCalls::record(const char* name, const std::string& file) {
  log_.push_back(std::string(name) + " " + file);
  if (!fail_name_.empty() && fail_name_ == name) {
    fail_name_.clear();
    fail_at_ = log_.size();
  }
  if (log_.size() != fail_at_) return false;
  errno = fail_code_;
  return true;
}

std::size_t RecordingFileCalls::count_after(std::size_t from,
                                            const std::vector<std::string>& names) const {
  return static_cast<std::size_t>(std::count_if(
      log_.begin() + static_cast<std::ptrdiff_t>(std::min(from, log_.size())), log_.end(),
      [&names](const std::string& line) {
        return std::find(names.begin(), names.end(), line.substr(0, line.find(' '))) != names.end();
      }));
}

namespace {

std::string name_of(const std::string& path) {
  return path.empty() ? "?" : std::filesystem::path(path).filename().string();
}

}  // namespace

std::string RecordingFileCalls::path_of(int fd) const {
  for (const auto& [open_fd, path] : paths_) {
    if (open_fd == fd) return path;
  }
  return {};
}

std::pair<std::string, std::uint64_t> RecordingFileCalls::mapped_at(const void* address) const {
  const auto* byte = static_cast<const std::uint8_t*>(address);
  for (const Mapping& m : mappings_) {
    const auto* start = static_cast<const std::uint8_t*>(m.address);
    if (byte >= start && byte < start + m.length) {
      return {m.path, m.offset + static_cast<std::uint64_t>(byte - start)};
    }
  }
  return {};
}

bool RecordingFileCalls::interrupt() {
  if (chop_ == 0 || ++transfers_ % 2 == 0) return false;
  errno = EINTR;
  return true;
}

std::size_t RecordingFileCalls::cut(std::size_t count) const {
  return chop_ == 0 ? count : std::min(count, chop_);
}

int RecordingFileCalls::open(const char* path, int flags, mode_t mode) {
  if (record("open", name_of(path))) return -1;
  const int fd = FileCalls::open(path, flags, mode);
  if (fd >= 0) paths_.emplace_back(fd, path);
  return fd;
}

int RecordingFileCalls::close(int fd) {
  const std::string path = path_of(fd);
  std::erase_if(paths_, [fd](const auto& entry) { return entry.first == fd; });
  // A failed close has still released the descriptor, as the system's does.
  const bool fail = record("close", name_of(path));
  const int result = FileCalls::close(fd);
  if (fail) errno = fail_code_;
  return fail ? -1 : result;
}

ssize_t RecordingFileCalls::pread(int fd, void* buffer, std::size_t count, off_t offset) {
  if (record("pread", name_of(path_of(fd)))) return -1;
  if (interrupt()) return -1;
  return FileCalls::pread(fd, buffer, cut(count), offset);
}

ssize_t RecordingFileCalls::pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
  if (record("pwrite", name_of(path_of(fd)))) return -1;
  if (interrupt()) return -1;
  return FileCalls::pwrite(fd, buffer, cut(count), offset);
}

off_t RecordingFileCalls::lseek(int fd, off_t offset, int whence) {
  if (record("lseek", name_of(path_of(fd)))) return -1;
  return FileCalls::lseek(fd, offset, whence);
}

int RecordingFileCalls::fallocate(int fd, int mode, off_t offset, off_t length) {
  if (record("fallocate", name_of(path_of(fd)))) return -1;
  return FileCalls::fallocate(fd, mode, offset, length);
}

int RecordingFileCalls::ftruncate(int fd, off_t length) {
  if (record("ftruncate", name_of(path_of(fd)))) return -1;
  return FileCalls::ftruncate(fd, length);
}

int RecordingFileCalls::fsync(int fd) {
  if (record("fsync", name_of(path_of(fd)))) return -1;
  return FileCalls::fsync(fd);
}

int RecordingFileCalls::fdatasync(int fd) {
  if (record("fdatasync", name_of(path_of(fd)))) return -1;
  return FileCalls::fdatasync(fd);
}

void* RecordingFileCalls::mmap(std::size_t length, int protection, int flags, int fd,
                               off_t offset) {
  const std::string path = path_of(fd);
  if (record("mmap", name_of(path))) return MAP_FAILED;
  void* address = FileCalls::mmap(length, protection, flags, fd, offset);
  if (address != MAP_FAILED) {
    mappings_.push_back({address, length, path, static_cast<std::uint64_t>(offset)});
  }
  return address;
}

int RecordingFileCalls::msync(void* address, std::size_t length, int flags) {
  if (record("msync", name_of(mapped_at(address).first))) return -1;
  return FileCalls::msync(address, length, flags);
}

int RecordingFileCalls::munmap(void* address, std::size_t length) {
  if (record("munmap", name_of(mapped_at(address).first))) return -1;
  std::erase_if(mappings_, [address](const Mapping& m) { return m.address == address; });
  return FileCalls::munmap(address, length);
}

int RecordingFileCalls::sync_directory(const char* path) {
  if (record("sync_directory", name_of(path))) return -1;
  return FileCalls::sync_directory(path);
}

}  // namespace testing_util
