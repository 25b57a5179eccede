// Prints a failed internal check and aborts.
#include "server/database/mdb/fatal_assertion.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace mdb {

void assertion_failed(std::string_view text) {
  const std::string line = "Assertion failed: " + std::string(text) + "\n";
  std::fputs(line.c_str(), stderr);
  std::fflush(stderr);
  std::abort();
}

}  // namespace mdb
