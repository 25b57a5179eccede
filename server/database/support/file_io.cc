// The file layer's default calls, the installed object, the whole-transfer
// helpers and the descriptor owner. See file_io.h.
//
// Invariant: file_calls() always returns a usable object, the installed
// one or the default. A transfer helper returns error 0 with fewer bytes
// than asked only when a call made no progress (a read at the end of the
// file, a write of which the system took nothing).
#include "server/database/support/file_io.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <limits>

namespace support {

namespace {

FileCalls& default_calls() {
  static FileCalls calls;
  return calls;
}

FileCalls*& installed() {
  static FileCalls* calls = nullptr;
  return calls;
}

constexpr std::uint64_t kMaxOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

}  // namespace

int FileCalls::open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int FileCalls::close(int fd) { return ::close(fd); }

ssize_t FileCalls::pread(int fd, void* buffer, std::size_t count, off_t offset) {
  return ::pread(fd, buffer, count, offset);
}

ssize_t FileCalls::pwrite(int fd, const void* buffer, std::size_t count, off_t offset) {
  return ::pwrite(fd, buffer, count, offset);
}

off_t FileCalls::lseek(int fd, off_t offset, int whence) { return ::lseek(fd, offset, whence); }

int FileCalls::fallocate(int fd, int mode, off_t offset, off_t length) {
  return ::fallocate(fd, mode, offset, length);
}

int FileCalls::ftruncate(int fd, off_t length) { return ::ftruncate(fd, length); }

int FileCalls::fsync(int fd) { return ::fsync(fd); }

int FileCalls::fdatasync(int fd) { return ::fdatasync(fd); }

void* FileCalls::mmap(std::size_t length, int protection, int flags, int fd, off_t offset) {
  return ::mmap(nullptr, length, protection, flags, fd, offset);
}

int FileCalls::msync(void* address, std::size_t length, int flags) {
  return ::msync(address, length, flags);
}

int FileCalls::munmap(void* address, std::size_t length) { return ::munmap(address, length); }

int FileCalls::sync_directory(const char* path) {
  const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return -1;
  const int synced = ::fsync(fd);
  const int code = errno;
  if (::close(fd) != 0) return -1;
  errno = code;
  return synced;
}

FileCalls& file_calls() {
  FileCalls* calls = installed();
  return calls != nullptr ? *calls : default_calls();
}

FileCalls* install_file_calls(FileCalls* calls) {
  FileCalls* previous = installed();
  installed() = calls;
  return previous;
}

Transfer pread_full(int fd, void* buffer, std::size_t count, std::uint64_t offset) {
  Transfer t;
  auto* bytes = static_cast<std::uint8_t*>(buffer);
  while (t.done < count) {
    if (offset + t.done > kMaxOffset) {
      t.error = EOVERFLOW;
      break;
    }
    const ssize_t got =
        file_calls().pread(fd, bytes + t.done, count - t.done, static_cast<off_t>(offset + t.done));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      t.error = errno;
      break;
    }
    if (got == 0) break;  // end of file
    t.done += static_cast<std::size_t>(got);
  }
  return t;
}

Transfer pwrite_full(int fd, const void* buffer, std::size_t count, std::uint64_t offset) {
  Transfer t;
  if (count > kMaxOffset || offset > kMaxOffset - count) {
    t.error = EOVERFLOW;
    return t;
  }
  const auto* bytes = static_cast<const std::uint8_t*>(buffer);
  while (t.done < count) {
    const ssize_t written = file_calls().pwrite(fd, bytes + t.done, count - t.done,
                                                static_cast<off_t>(offset + t.done));
    if (written < 0 && errno == EINTR) continue;
    if (written < 0) t.error = errno;
    if (written <= 0) break;
    t.done += static_cast<std::size_t>(written);
  }
  return t;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
  }
  return *this;
}

int UniqueFd::release() {
  const int fd = fd_;
  fd_ = -1;
  return fd;
}

int UniqueFd::close() {
  if (fd_ < 0) return 0;
  return file_calls().close(release());
}

UniqueFd open_file(const char* path, int flags, mode_t mode) {
  return UniqueFd(file_calls().open(path, flags, mode));
}

}  // namespace support
