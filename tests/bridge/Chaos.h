// The chaos run of the bridge: faults of every kind at seeded random moments while commands
// flow, and the invariants checked at the end (Chaos.cpp).
#pragma once

namespace Chaos {

struct Options {
  int Seconds = 60;
  unsigned Seed = 0;
  int MaxQos = 2;          // the broker's: 1 makes "exactly one result" "at least one"
  bool Sanitized = false;  // a sanitizer build, whose memory is not held to the limit
};

// Returns the exit status: 0 when every invariant held, 1 otherwise, 2 when it cannot run.
int Go(const Options& options);

}  // namespace Chaos
