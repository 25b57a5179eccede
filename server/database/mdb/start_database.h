// Starting an MDB that open_database() has opened.
#pragma once

namespace mdb {

// Starts an MDB that open_database() opened: journal replay, allocation map,
// serialization cache and raw access layer, in this order.
void start_database();

}  // namespace mdb
