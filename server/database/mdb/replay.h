// The replay at open: writes into the MDB file whatever committed
// transactions a previous run left in the journal, then starts a new turn.
#pragma once

namespace mdb {

// Checks the journal header, chooses the index pointer of the newest turn,
// writes every complete, current, CRC-correct transaction from there into
// the MDB file (extending it where needed), syncs the MDB file and flips to
// the other half with the next serial.
// REQUIRES: the store is open and the journal mapped (open_database).
void replay_at_open();

}  // namespace mdb
