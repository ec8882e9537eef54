// The journal of taken commands: every command the bridge takes is written to a file before it is
// handled, with all it needs to be answered, and is dropped once its result is acknowledged by
// the broker. What a crash, an OOM kill or a power loss leaves in it is answered at the next
// start, each exactly once: a command not yet run is run (or answered expired), a run under way
// is never run again, and a result not yet acknowledged is published again. A QoS 2 command is
// taken when its PUBLISH arrives, before its PUBREC leaves, and keeps its packet id until the
// broker releases it (PUBREL): a resend under that id, from this run or after a crash, is known
// for one and not taken again.
//
// The file is a magic number and then records, each its length, its CRC-32 and its body, written
// through (fdatasync) where a crash must not lose it: once per batch of messages from the network,
// before their acknowledgements leave (Hold, Flush), or at once. A batch's records go in one write
// at its end, or before a result leaves (Sync). A record cut short by a crash is
// recognised by its length or CRC and skipped. The file is rewritten with only its live entries
// when the dropped ones outnumber them. One bridge at a time: a lock beside it (PATH.lock) is held
// from before the first read until the bridge ends, so that no other rewrites it under this one.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "bridge/ToolRuns.h"

namespace Journal {

struct Entry {
  std::uint64_t Id = 0;
  std::int64_t ArrivedMs = 0;  // wall clock, milliseconds since the epoch: it outlives the process
  std::int64_t ExpiresMs = 0;  // when it is too old to run
  std::string Box;
  std::string Payload;
  bool HasCorrelation = false;
  std::string CorrelationData;
  std::string ResponseTopic;
  bool Started = false;   // its run began
  bool Answered = false;  // its result is known (Outcome), and on its way to the broker
  ToolRuns::Outcome Outcome;
  long DurationMs = 0;
  int Mid = 0;  // a QoS 2 command's packet id until the broker releases it; 0: none
  // Its result is with the broker; the entry stays until the release, to know a resend.
  bool Acknowledged = false;
};

class File {
 public:
  File() = default;
  ~File();
  File(const File&) = delete;
  File& operator=(const File&) = delete;

  // Takes the journal at path for this process, creating it (and its folder) when missing, so
  // that only the bridge's user may read it. left: the entries an earlier run left, in the order
  // they were taken; note: a line for the log when a torn last record was skipped. false with
  // the reason, the holder's process id among it when another bridge has it.
  bool Open(const std::string& path, std::vector<Entry>& left, std::string& note,
            std::string& error);
  // The most entries it holds at once (the queues' room and the runs under way): Take refuses
  // beyond it.
  void SetLimit(std::size_t limit);
  // Writes the entry (through, or with its batch: Hold) and gives it its id; 0 when the journal
  // is full or cannot be written (error says why). A failure to write is logged, once while it
  // lasts. An entry with a packet id (Mid) that a held one has already: when resent (the PUBLISH's
  // dup flag) with the same box, payload and correlation data, it is that one again, whose id is
  // returned with duplicate set; otherwise the broker has released the held one and reused its id.
  // A resend of one of the last commands released is a duplicate too (duplicate set, 0 returned).
  std::uint64_t Take(Entry entry, std::string& error, bool resent = false,
                     bool* duplicate = nullptr);
  // The broker released the QoS 2 command with this packet id (its PUBREL); 0: all of them (it
  // kept no session, and will release none).
  void Release(int mid);
  // Written through before the run begins: a run under way at a crash is never run again.
  bool Start(std::uint64_t id, std::string& error);
  // The result, and how many messages carry it; the entry is dropped once each is acknowledged
  // (or dropped for good).
  void Answer(std::uint64_t id, const ToolRuns::Outcome& outcome, long durationMs, int messages);
  void Acknowledged(std::uint64_t id);
  std::size_t Live() const;
  // The file's size, in bytes.
  std::uint64_t Bytes() const;
  // A batch of messages from the network is handed over: until Flush, the records (a command
  // taken, a result's entry dropped or kept) wait, and Flush writes them, through, at once. A
  // run's start is written through at once all the same; Sync writes what waits before a result
  // leaves, through when a command taken is among it. A failure to write is logged.
  void Hold();
  void Flush();
  void Sync();

 private:
  bool Read(const std::string& path, std::vector<Entry>& left, std::string& note,
            std::string& error);
  void Close();
  // Later: lost with a power cut, harmlessly; Batch: before the batch's acknowledgements leave
  // (at once when none is held); Now: before it returns. Written at once, or with the batch.
  enum class Through { Later, Batch, Now };
  bool Append(const std::string& body, Through when, std::string& error);
  // What is not yet written, through when asked (or the whole file, after a failed write).
  bool Write(bool through, std::string& error);
  void MaybeCompact();  // once the dropped entries' records outnumber the live ones
  bool Compact(std::string& error);
  void Failed(const std::string& error);  // logs the first failure of a run of them
  Entry* Find(std::uint64_t id);
  void Drop(std::size_t index);  // its record written through
  void Release(Entry& entry);

  mutable std::mutex Lock_;  // the connection thread takes commands and sees acknowledgements
  std::string Path_;
  std::intptr_t Held_ = -1;  // the lock beside it
  std::intptr_t Handle_ = -1;
  std::vector<Entry> Entries_;  // live, by id
  std::vector<int> Pending_;    // beside each: its result's messages not yet acknowledged
  std::uint64_t NextId_ = 1;
  std::size_t Limit_ = 0;
  std::size_t Records_ = 0;  // in the file, live or not
  std::uint64_t Bytes_ = 0;
  bool Failing_ = false;        // the last write failed (logged once)
  bool Holding_ = false;        // a batch is being handed over (Hold)
  bool Unsynced_ = false;       // a record of the batch is not yet written through
  bool TakenUnsynced_ = false;  // a command among them
  std::string Unwritten_;       // records of the batch, not yet written
  bool Rewrite_ = false;        // a write failed: the file may end in a torn record
  // The packet ids and contents of the last QoS 2 commands released. Mosquitto 2.0.11 has more
  // in flight than it restores at its restart, and sends those beyond again as new messages,
  // released or not; it numbers a client's messages in turn, so an id comes back only 65,535
  // messages later.
  std::deque<std::pair<int, std::uint64_t>> Released_;
};

// The file's bytes for these records, and what reading them back gives: for the unit tests.
std::string Encode(const std::vector<Entry>& entries);
std::vector<Entry> Decode(const std::string& bytes, std::string& note);

}  // namespace Journal
