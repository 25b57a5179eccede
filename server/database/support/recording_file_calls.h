// A file layer for tests: passes every call to the system, counts and logs
// the calls, and on request fails one chosen call or cuts reads and writes
// short and interrupts them.
//
// Install it with support::ScopedFileCalls around the code under test.
// Calls are numbered from 1 in the order they are made. fail_call(n, code)
// makes call n return failure with errno `code` without reaching the
// system (mmap returns MAP_FAILED, the rest -1); fail_first(name, code)
// does the same to the first call of that name. Every other call goes
// through. A run that first counts its calls with no
// failure and then fails each of them in turn covers every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "server/database/support/file_io.h"

namespace testing_util {

class RecordingFileCalls : public support::FileCalls {
 public:
  // Fails call number n (counted from 1; 0: none) with errno `code`.
  void fail_call(std::uint64_t n, int code) {
    fail_at_ = n;
    fail_code_ = code;
  }
  // Fails the first call named `name` ("fsync", "msync", ...) with `code`.
  void fail_first(const std::string& name, int code) {
    fail_name_ = name;
    fail_code_ = code;
  }
  // Cuts every read and write to at most `bytes` (0: no cut) and makes every
  // other one fail with EINTR first.
  void chop(std::size_t bytes) { chop_ = bytes; }

  std::uint64_t calls() const { return log_.size(); }
  // True once the chosen call has been failed.
  bool failed() const { return fail_at_ != 0 && log_.size() >= fail_at_; }
  // The calls made after the first `from` whose names are among `names`.
  std::size_t count_after(std::size_t from, const std::vector<std::string>& names) const;
  // One line per call: its name and the file it acts on ("mmap main.odbj").
  const std::vector<std::string>& log() const { return log_; }

  int open(const char* path, int flags, mode_t mode) override;
  int close(int fd) override;
  ssize_t pread(int fd, void* buffer, std::size_t count, off_t offset) override;
  ssize_t pwrite(int fd, const void* buffer, std::size_t count, off_t offset) override;
  off_t lseek(int fd, off_t offset, int whence) override;
  int fallocate(int fd, int mode, off_t offset, off_t length) override;
  int ftruncate(int fd, off_t length) override;
  int fsync(int fd) override;
  int fdatasync(int fd) override;
  void* mmap(std::size_t length, int protection, int flags, int fd, off_t offset) override;
  int msync(void* address, std::size_t length, int flags) override;
  int munmap(void* address, std::size_t length) override;
  int sync_directory(const char* path) override;

 protected:
  // The path that open descriptor fd was opened with; empty when unknown.
  std::string path_of(int fd) const;
  // The path of the file mapped at `address` and the file offset there;
  // an empty path when nothing is mapped there.
  std::pair<std::string, std::uint64_t> mapped_at(const void* address) const;

 private:
  // Logs the call; true when it is the one to fail (errno is then set).
  bool record(const char* name, const std::string& file);
  // True when this read or write is to be interrupted (errno is then set).
  bool interrupt();
  std::size_t cut(std::size_t count) const;

  struct Mapping {
    const void* address;
    std::size_t length;
    std::string path;
    std::uint64_t offset;  // of the mapping's first byte in the file
  };
  std::uint64_t fail_at_ = 0;
  std::string fail_name_;
  int fail_code_ = 0;
  std::size_t chop_ = 0;
  std::uint64_t transfers_ = 0;
  std::vector<std::string> log_;
  std::vector<std::pair<int, std::string>> paths_;  // of open descriptors
  std::vector<Mapping> mappings_;
};

}  // namespace testing_util
