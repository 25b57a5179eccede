// Replays the files of the folder named on the command line, in name order, through a fuzz target:
// the regression test of inputs that once crashed. Memory is capped so that an engine allocating
// without end fails the test rather than the machine.
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

#if defined(__SANITIZE_ADDRESS__)
extern "C" const char* __asan_default_options() { return "hard_rss_limit_mb=2048"; }
#endif

int main(int argc, char** argv) {
#if !defined(__SANITIZE_ADDRESS__)
  const rlimit cap{2ul << 30, 2ul << 30};
  ::setrlimit(RLIMIT_AS, &cap);
#endif
  if (argc != 2) return 2;
  std::vector<std::filesystem::path> files;
  for (const auto& entry :
       std::filesystem::directory_iterator(std::filesystem::absolute(argv[1]))) {
    files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  for (const auto& file : files) {
    std::cerr << "Replaying " << file.filename().string() << std::endl;
    std::ifstream in(file, std::ios::binary);
    const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
  }
  return 0;
}
