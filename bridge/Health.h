// The node's health: what its commands came to since the start, counted by outcome and by box,
// and the message that says it with the node's, the broker's and the backlog's state. Its size
// is bounded whatever the boxes and the senders do.
#pragma once

#include <cstdint>
#include <deque>
#include <map>
#include <string>

namespace Health {

enum class Outcome { Sent, NotAllSent, Refused, TooShort, Busy, Expired, Interrupted, NotPresent };
constexpr int OutcomeCount = 8;

// What a result with this status of the tool's comes to, when nothing else says more.
Outcome FromStatus(int status);

struct BoxCounts {
  std::uint64_t Commands = 0;
  std::uint64_t Failures = 0;
  std::int64_t LastMs = 0;  // the last result's time; 0: none yet
  int LastStatus = 0;
  std::string LastMessage;
  std::deque<long> Runs;  // the durations of its last runs of the tool, for their median
  long Slowest = 0;
};

struct Counts {
  std::uint64_t ByOutcome[OutcomeCount] = {};
  std::int64_t FailureMs = 0;  // the last failure; 0: none yet
  std::string FailureBox;
  bool FailureHasCommand = false;  // its command is text the message can hold
  std::string FailureCommand;
  std::string FailureMessage;
  std::map<std::string, BoxCounts> Boxes;  // boxes that exist; ids of no box are not kept

  // A result: of a box the node has (counted per box too) or not; ran: the tool ran for it.
  void Count(const std::string& box, bool isBox, Outcome outcome, int status,
             const std::string& command, const std::string& message, long durationMs, bool ran,
             std::int64_t nowMs);
};

struct Facts {
  // The node.
  std::string Version;
  std::int64_t StartedMs = 0;
  long UptimeSeconds = 0;
  std::size_t ResidentBytes = 0;
  // The broker.
  std::string Broker;
  bool Version5 = true;
  int Qos = 2;
  std::uint64_t Connects = 0;
  std::int64_t LostMs = 0;  // 0: no connection ended yet
  std::string LostReason;
  // The backlog.
  std::size_t Queued = 0;
  std::size_t Outbox = 0;
  std::size_t JournalEntries = 0;
  std::uint64_t JournalBytes = 0;
};

// How many boxes the message lists; beyond, it says how many it left out.
constexpr std::size_t BoxesListed = 32;

// The message as JSON. withClock false leaves out what changes by itself (uptime and memory):
// that message changes only when something happened.
std::string Message(const Counts& counts, const std::map<std::string, bool>& present,
                    const Facts& facts, bool withClock);

// Milliseconds since 1970 as ISO 8601, UTC, to the second: "2026-12-09T11:54:42Z".
std::string IsoTime(std::int64_t ms);

}  // namespace Health
