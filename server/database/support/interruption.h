// Interruption of a long run by SIGINT, SIGTERM or SIGHUP.
//
// The handler does one thing, which is safe inside a signal handler: it
// stores the signal's number in a lock-free atomic. The run looks at it
// between its steps and inside its long loops (throw_if_interrupted), so
// that it stops at a point where it can still clean up after itself with
// ordinary code. Nothing here allocates or prints.
#pragma once

namespace support {

// Thrown by throw_if_interrupted; not an engine failure, so it belongs to
// neither error family. The program entry catches it.
struct interrupted {
  int signal;
};

// Installs the recording handler for SIGINT, SIGTERM and SIGHUP, except for
// a signal that is ignored when this is called (a run started under nohup
// stays deaf to hang-ups). System calls interrupted by the signal restart.
void catch_interruptions();

// The first interruption signal received since catch_interruptions(), or 0.
int interruption_signal() noexcept;

// Throws `interrupted` when a signal has been received.
void throw_if_interrupted();

}  // namespace support
