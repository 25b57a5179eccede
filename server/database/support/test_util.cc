// Temporary directories, file reads and subprocesses for the tests.
#include "server/database/support/test_util.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>

namespace testing_util {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vexmon-test-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    throw std::runtime_error("mkdtemp failed");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return (path_ / name).string(); }

std::vector<std::uint8_t> read_file(const std::string& path) {
  return read_range(path, 0, std::filesystem::file_size(path));
}

std::vector<std::uint8_t> read_range(const std::string& path, std::uint64_t offset,
                                     std::size_t size) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  std::vector<std::uint8_t> data(size);
  in.seekg(static_cast<std::streamoff>(offset));
  in.read(reinterpret_cast<char*>(data.data()), static_cast<std::streamsize>(size));
  data.resize(static_cast<std::size_t>(in.gcount()));
  return data;
}

void write_file(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const std::string& input) {
  // The input comes from a file and both outputs go to files, so that the
  // child never waits on a pipe the test does not read.
  const TempDir io;
  const std::string in = io.file("in"), out = io.file("out"), err = io.file("err");
  write_file(in, std::vector<std::uint8_t>(input.begin(), input.end()));
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    const int fds[3] = {::open(in.c_str(), O_RDONLY),
                        ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600),
                        ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)};
    for (int i = 0; i < 3; ++i) ::dup2(fds[i], i);
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program.c_str(), argv.data());
    ::_exit(127);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  const auto text = [](const std::string& path) {
    const std::vector<std::uint8_t> bytes = read_file(path);
    return std::string(bytes.begin(), bytes.end());
  };
  return {text(out), text(err), WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

}  // namespace testing_util
