// Fuzz target: the creation tool's reopen of an existing MDB, which starts it, creates the index
// roots and writes the first object and the root domain through the object and index layers.
#include "server/database/creation_tool/initial_content.h"
#include "server/database/fuzz/fuzz_files.h"
#include "server/database/support/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzzing::write_mdb_files({data, size})) return 0;
  try {
    creation_tool::write_initial_content(fuzzing::kMdbFile, true);
  } catch (const error::Exception&) {
    // Refusing a damaged file is the expected outcome.
  }
  fuzzing::shut_mdb();
  return 0;
}
