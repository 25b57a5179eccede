#include "server/database/creation_tool/creation_sequence.h"

#include <iostream>

namespace creation_tool {

int create_databases(creation_settings&, const run_flags&) {
  std::cerr << "Creating the database files is not available yet" << std::endl;
  return 1;
}

}  // namespace creation_tool
