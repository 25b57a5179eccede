// Internal consistency checks of the engine that ordinary operation cannot
// fail: a failed one prints "Assertion failed: <text>" on standard error and
// ends the process abnormally, since the engine's state can no longer be
// trusted.
#pragma once

#include <string_view>

namespace mdb {

[[noreturn]] void assertion_failed(std::string_view text);

}  // namespace mdb
