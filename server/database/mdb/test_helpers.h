// Shared helpers of the MDB engine's tests: the general ones of
// testing_util under the names the MDB tests use.
#pragma once

#include "server/database/support/test_util.h"

namespace mdb_testing {

using testing_util::expect_error;
using testing_util::make_zero_file;
using testing_util::stderr_of;

}  // namespace mdb_testing
