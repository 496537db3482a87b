// SPDX-License-Identifier: BSD-2-Clause
#pragma once

#include <signal.h>

/// Holds the signals that would end the run (hang-up, interrupt, quit,
/// termination, broken pipe, file-size limit, alarms and the user signals)
/// while it lives, so that no file is left half written or behind. One that
/// comes meanwhile waits; when the hold ends it is delivered and the run ends
/// as the signal asks. Signals the run ignores stay as they are.
class HeldSignals {
 public:
  HeldSignals();
  ~HeldSignals();
  HeldSignals(const HeldSignals&) = delete;
  HeldSignals& operator=(const HeldSignals&) = delete;

  /// True when a held signal is waiting: the run should end as soon as its
  /// files are whole.
  bool pending() const;

 private:
  sigset_t held_;
  sigset_t previous_;
};
