#pragma once
// The one release of what the guard holds, used by a failed start-up and by
// the shutdown export.

enum class ReleaseReason {
  // A start-up step failed: release what the run took, and leave a
  // detection it recorded pending for the next run and its report.
  kFailedStartup,
  // The host shuts the guard down: stop the monitor first, and wipe the
  // hard-cheat exchange too.
  kShutdown,
};

// Releases in one order: the monitor (stopped and waited for), the stop
// event, the device key, the hard-cheat state (shutdown only), the machine
// identity, the core files, the archives, the single-client marker. Each
// step releases only what is held, so it is idempotent: a failed start-up
// releases exactly what it took, a second shutdown releases nothing. False,
// with nothing released, when the monitor could not be waited for:
// releasing what it may still use would be worse than keeping it all.
bool ReleaseGuard(ReleaseReason reason);
