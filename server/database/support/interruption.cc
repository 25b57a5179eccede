// See interruption.h. The flag is written only by the handler and read by
// the run; the first signal wins, so a second Ctrl-C during the clean-up
// does not change the reported cause.
#include "server/database/support/interruption.h"

#include <atomic>
#include <csignal>

namespace support {
namespace {

std::atomic<int> received{0};
static_assert(std::atomic<int>::is_always_lock_free);

extern "C" void record_signal(int signal) {
  int none = 0;
  received.compare_exchange_strong(none, signal);
}

}  // namespace

void catch_interruptions() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction current {};
    if (::sigaction(signal, nullptr, &current) != 0) continue;
    if (current.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = record_signal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    ::sigaction(signal, &action, nullptr);
  }
}

int interruption_signal() noexcept { return received.load(); }

void throw_if_interrupted() {
  if (const int signal = received.load()) throw interrupted{signal};
}

}  // namespace support
