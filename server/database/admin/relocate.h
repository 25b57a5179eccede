// vexmon-dbadmin relocate: points the MDB header of a copied or moved set
// at its own external journal.
#pragma once

#include <string>

namespace admin {

// Rewrites the header's journal path to `journal` (empty: DIR/main.odbj),
// made absolute, once the checker has found the set sound with that
// journal replayed into memory. Returns the exit status; prints one line.
int relocate(const std::string& directory, const std::string& journal);

}  // namespace admin
