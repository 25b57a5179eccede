// The one file layer of the storage engines and the creation tool.
//
// Every system call that opens, reads, writes, reserves, maps, syncs or
// closes a database file goes through the process-wide FileCalls object
// returned by file_calls(). The default object passes each call straight to
// the system. A test installs an object of its own (derived from FileCalls,
// calling the base to reach the system) to record the calls, to learn what
// reached stable storage, or to fail a chosen call; the engines never know.
//
// Also here: UniqueFd, the owner of one descriptor, and pread_full /
// pwrite_full, which retry calls interrupted by a signal and continue short
// transfers, so that neither counts as a failure.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace support {

// The system calls of the file layer. Each member has the contract of the
// system call of its name: the same arguments and result, errno set on
// failure (mmap takes no address hint and returns MAP_FAILED on failure).
class FileCalls {
 public:
  virtual ~FileCalls() = default;

  virtual int open(const char* path, int flags, mode_t mode = 0);
  virtual int close(int fd);
  virtual ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset);
  virtual ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset);
  virtual off_t lseek(int fd, off_t offset, int whence);
  virtual int fallocate(int fd, int mode, off_t offset, off_t length);
  virtual int ftruncate(int fd, off_t length);
  virtual int fsync(int fd);
  virtual int fdatasync(int fd);
  virtual void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset);
  virtual int msync(void* address, std::size_t length, int flags);
  virtual int munmap(void* address, std::size_t length);
  // Makes the entries of the directory `path` durable: opens it, fsyncs and
  // closes it. 0, or -1 with errno from the step that failed.
  virtual int sync_directory(const char* path);
};

// The object every engine call goes through.
FileCalls& file_calls();

// Installs `calls` (null: the default, straight to the system) and returns
// the one installed before. `calls` must outlive its installation.
FileCalls* install_file_calls(FileCalls* calls);

// Installs a FileCalls object for the lifetime of the guard and restores
// the one before it at the end.
class ScopedFileCalls {
 public:
  explicit ScopedFileCalls(FileCalls& calls) : previous_(install_file_calls(&calls)) {}
  ~ScopedFileCalls() { install_file_calls(previous_); }
  ScopedFileCalls(const ScopedFileCalls&) = delete;
  ScopedFileCalls& operator=(const ScopedFileCalls&) = delete;

 private:
  FileCalls* previous_;
};

// The outcome of a whole transfer.
struct Transfer {
  std::size_t done = 0;  // bytes transferred
  int error = 0;         // errno of the call that failed; 0 when none did
  bool complete(std::size_t count) const { return error == 0 && done == count; }
};

// Reads `count` bytes at `offset`, retrying EINTR and continuing short
// reads. Stops early with error 0 at the end of the file.
Transfer pread_full(int fd, void* buffer, std::size_t count, std::uint64_t offset);

// Writes `count` bytes at `offset`, retrying EINTR and continuing short
// writes. A write that makes no progress (returns 0) ends the transfer
// short with error 0. A range the system cannot take fails with EOVERFLOW
// before anything is written.
Transfer pwrite_full(int fd, const void* buffer, std::size_t count, std::uint64_t offset);

// The owner of one open descriptor, closed through file_calls() when the
// owner goes (the result is then ignored: call close() to see it).
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { close(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept;
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool is_open() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  int release();
  // Closes the descriptor now, if any: 0, or -1 with errno from close.
  int close();

 private:
  int fd_ = -1;
};

// Opens `path` through file_calls() and owns the result (not open on
// failure, with errno set).
UniqueFd open_file(const char* path, int flags, mode_t mode = 0);

}  // namespace support
