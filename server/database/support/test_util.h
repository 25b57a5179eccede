// Helpers for tests: temporary directories, whole-file reads, running a program as a subprocess
// with separate standard output and error, and checking thrown errors and captured standard error.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <string>
#include <typeinfo>
#include <vector>

namespace testing_util {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // path() / name, as a string.
  std::string file(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

std::vector<std::uint8_t> read_file(const std::string& path);
// At most `size` bytes of `path` from byte `offset` (fewer at the end).
std::vector<std::uint8_t> read_range(const std::string& path, std::uint64_t offset,
                                     std::size_t size);
void write_file(const std::string& path, const std::vector<std::uint8_t>& data);

struct ProcessResult {
  std::string out, err;
  int exit_code = -1;  // -1 when the process did not exit normally
};

// Runs `program` with `args`, feeding `input` on standard input (then end of
// input), and collects both output streams.
ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input = "");

// The big-endian bytes of 32-bit `words`, appended to `bytes` when given.
inline std::vector<std::uint8_t> be_words(std::initializer_list<std::uint32_t> words,
                                          std::vector<std::uint8_t> bytes = {}) {
  for (const std::uint32_t w : words) {
    bytes.insert(bytes.end(), {std::uint8_t(w >> 24), std::uint8_t(w >> 16), std::uint8_t(w >> 8),
                               std::uint8_t(w)});
  }
  return bytes;
}

inline void make_zero_file(const std::string& path, std::uint64_t size) {
  std::ofstream(path, std::ios::binary | std::ios::trunc).close();
  std::filesystem::resize_file(path, size);
}

// Runs `action`, which must throw exactly `Error` with description `text`.
template <typename Error, typename Action>
void expect_error(Action&& action, const std::string& text) {
  try {
    action();
    ADD_FAILURE() << "no exception; expected: " << text;
  } catch (const Error& e) {
    EXPECT_EQ(typeid(e), typeid(Error));
    EXPECT_EQ(e.description_text(), text);
  }
}

// Runs `action` and returns what it wrote on standard error.
template <typename Action>
std::string stderr_of(Action&& action) {
  testing::internal::CaptureStderr();
  try {
    action();
  } catch (...) {
    testing::internal::GetCapturedStderr();
    throw;
  }
  return testing::internal::GetCapturedStderr();
}

}  // namespace testing_util
