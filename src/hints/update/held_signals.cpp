// SPDX-License-Identifier: BSD-2-Clause
#include "hints/update/held_signals.h"

#include <array>

namespace {

/// Every signal whose default action ends the process and that a user, a
/// terminal, a pipe or a resource limit may send; KILL and STOP cannot be held.
constexpr std::array kEndingSignals{SIGHUP,  SIGINT,  SIGQUIT, SIGTERM, SIGPIPE,  SIGXFSZ,
                                    SIGXCPU, SIGALRM, SIGUSR1, SIGUSR2, SIGVTALRM, SIGPROF};

bool is_ignored(int signal_number) {
  struct sigaction action {};
  return sigaction(signal_number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN;
}

}  // namespace

HeldSignals::HeldSignals() {
  sigemptyset(&held_);
  // An ignored signal must stay ignored: held, it would wait and end the run
  // on release although the caller asked for it to be dropped.
  for (const int signal_number : kEndingSignals) {
    if (!is_ignored(signal_number)) sigaddset(&held_, signal_number);
  }
  sigprocmask(SIG_BLOCK, &held_, &previous_);
}

HeldSignals::~HeldSignals() { sigprocmask(SIG_SETMASK, &previous_, nullptr); }

bool HeldSignals::pending() const {
  sigset_t waiting;
  if (sigpending(&waiting) != 0) return false;
  for (const int signal_number : kEndingSignals) {
    if (sigismember(&held_, signal_number) == 1 && sigismember(&waiting, signal_number) == 1)
      return true;
  }
  return false;
}
