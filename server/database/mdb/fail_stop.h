// The MDB engine's fail-stop rule.
//
// The first call of the file layer that fails on the store or the journal
// of a set open for writing (a sync above all, but equally a read, a write,
// the time stamp of a journal sync or a close) stops the engine: that error
// is kept, and every later begin, update, commit, checkpoint, sync, store
// write and close_set fails with it and writes nothing. A failed fsync or
// msync may already have dropped the dirty pages it was to write, so no
// later sync that succeeds proves that earlier commits are on the disk; and
// a transaction that an error broke off cannot be taken back. Going on would
// acknowledge commits that the files may not hold. The stopped state lasts
// until a store is opened again (a new session, which replays the journal).
#pragma once

#include <exception>

namespace mdb {

// Throws the error that stopped the engine, if one did.
void throw_if_stopped();

bool engine_stopped();

// Stops the engine with `error` unless it has stopped already, then throws
// the error that stopped it.
[[noreturn]] void stop_engine(std::exception_ptr error);
template <typename Error>
[[noreturn]] void stop_engine(const Error& error) {
  stop_engine(std::make_exception_ptr(error));
}

// Forgets the stopped state: a store is being opened.
void clear_stopped_state();

}  // namespace mdb
