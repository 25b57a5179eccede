// Fuzz target: opening an MDB (header checks, journal mapping, journal scan
// and replay, allocation map) and placing one object afterwards, which runs
// the allocator and a commit over whatever the open left behind.
#include "server/database/fuzz/fuzz_files.h"
#include "server/database/mdb/object_store.h"
#include "server/database/support/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzzing::write_mdb_files({data, size})) return 0;
  try {
    fuzzing::open_mdb();
    mdb::allocate_object(44);
  } catch (const error::Exception&) {
    // Refusing a damaged file is the expected outcome.
  }
  fuzzing::shut_mdb();
  return 0;
}
