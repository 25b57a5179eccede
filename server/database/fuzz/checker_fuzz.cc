// Fuzz target: the set checker on a damaged MDB and journal (the input as
// for mdb_open) and on the same bytes taken as a TSDB. The checker must
// report what it finds, never crash, hang or change the files.
#include <fstream>

#include "server/database/checker/mdb_check.h"
#include "server/database/checker/mdb_layout.h"
#include "server/database/checker/tsdb_check.h"
#include "server/database/fuzz/fuzz_files.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!fuzzing::write_mdb_files({data, size})) return 0;
  checker::Report report;
  try {
    checker::check_mdb({fuzzing::kMdbFile, "", "."}, true, report);
  } catch (const checker::Unopenable&) {
  }
  const std::vector<std::uint8_t> image = fuzzing::expand({data, size});
  std::ofstream("main.tsdb", std::ios::binary | std::ios::trunc)
      .write(reinterpret_cast<const char*>(image.data()), static_cast<std::streamsize>(image.size()));
  try {
    checker::check_tsdb("main.tsdb", report);
  } catch (const checker::Unopenable&) {
  }
  return 0;
}
