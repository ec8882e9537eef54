#include "bridge/Journal.h"

#include <algorithm>
#include <array>

#include "bridge/Log.h"
#include "bridge/system/BridgeSystem.h"

namespace Journal {
namespace {

const std::string Magic = "zendrocast-mqtt journal 1\n";
// A body is far smaller (box id, payload, correlation data and response topic are bounded): a
// larger length is a torn or foreign record.
constexpr std::uint32_t LargestBody = 64 * 1024;

std::uint32_t Crc32(const std::string& bytes) {
  static const std::array<std::uint32_t, 256> table = [] {
    std::array<std::uint32_t, 256> made{};
    for (std::uint32_t n = 0; n < 256; ++n) {
      std::uint32_t c = n;
      for (int k = 0; k < 8; ++k) {
        c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
      }
      made[n] = c;
    }
    return made;
  }();
  std::uint32_t crc = 0xFFFFFFFFu;
  for (const char c : bytes) {
    crc = table[(crc ^ static_cast<unsigned char>(c)) & 0xFF] ^ (crc >> 8);
  }
  return crc ^ 0xFFFFFFFFu;
}

void PutNumber(std::string& out, std::uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) {
    out += static_cast<char>((value >> (8 * i)) & 0xFF);
  }
}

void PutText(std::string& out, const std::string& text) {
  PutNumber(out, text.size(), 4);
  out += text;
}

// Reads a body back; false when it runs short.
struct Reader {
  const std::string& Bytes;
  std::size_t At = 0;
  bool Number(std::uint64_t& value, int bytes) {
    if (Bytes.size() - At < static_cast<std::size_t>(bytes)) {
      return false;
    }
    value = 0;
    for (int i = 0; i < bytes; ++i) {
      value |= static_cast<std::uint64_t>(static_cast<unsigned char>(Bytes[At + i])) << (8 * i);
    }
    At += static_cast<std::size_t>(bytes);
    return true;
  }
  bool Text(std::string& text) {
    std::uint64_t length = 0;
    if (!Number(length, 4) || Bytes.size() - At < length) {
      return false;
    }
    text = Bytes.substr(At, length);
    At += length;
    return true;
  }
};

// What tells a resent command from another under the same packet id.
std::uint64_t Digest(const Entry& entry) {
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a
  for (const std::string* text : {&entry.Box, &entry.Payload, &entry.CorrelationData}) {
    for (const char c : *text + '\0') {
      hash = (hash ^ static_cast<unsigned char>(c)) * 1099511628211ull;
    }
  }
  return hash ^ (entry.HasCorrelation ? 1 : 0);
}

// Released commands remembered: far more than any broker has in flight to one client.
constexpr std::size_t ReleasedKept = 1024;

std::string Framed(const std::string& body) {
  std::string record;
  PutNumber(record, body.size(), 4);
  PutNumber(record, Crc32(body), 4);
  return record + body;
}

std::string Body(char type, std::uint64_t id) {
  std::string body(1, type);
  PutNumber(body, id, 8);
  return body;
}

std::string TakenBody(const Entry& entry) {
  std::string body = Body('T', entry.Id);
  PutNumber(body, static_cast<std::uint64_t>(entry.ArrivedMs), 8);
  PutNumber(body, static_cast<std::uint64_t>(entry.ExpiresMs), 8);
  PutText(body, entry.Box);
  PutText(body, entry.Payload);
  PutNumber(body, entry.HasCorrelation ? 1 : 0, 1);
  PutText(body, entry.CorrelationData);
  PutText(body, entry.ResponseTopic);
  PutNumber(body, static_cast<std::uint64_t>(entry.Mid), 2);
  return body;
}

std::string AnsweredBody(std::uint64_t id, const ToolRuns::Outcome& outcome, long durationMs) {
  std::string body = Body('R', id);
  PutNumber(body, static_cast<std::uint32_t>(outcome.Status), 4);
  PutNumber(body, static_cast<std::uint32_t>(outcome.ReportsWritten), 4);
  PutNumber(body, static_cast<std::uint64_t>(durationMs), 8);
  PutText(body, outcome.Message);
  return body;
}

// Applies one record's body to the entries; false when it does not read as one.
bool Apply(const std::string& body, std::vector<Entry>& entries) {
  Reader reader{body};
  std::uint64_t type = 0;
  std::uint64_t id = 0;
  if (!reader.Number(type, 1) || !reader.Number(id, 8)) {
    return false;
  }
  const auto found = std::find_if(entries.begin(), entries.end(),
                                  [id](const Entry& entry) { return entry.Id == id; });
  if (type == 'T') {
    Entry entry;
    entry.Id = id;
    std::uint64_t arrived = 0;
    std::uint64_t expires = 0;
    std::uint64_t correlation = 0;
    if (!reader.Number(arrived, 8) || !reader.Number(expires, 8) || !reader.Text(entry.Box) ||
        !reader.Text(entry.Payload) || !reader.Number(correlation, 1) ||
        !reader.Text(entry.CorrelationData) || !reader.Text(entry.ResponseTopic)) {
      return false;
    }
    entry.ArrivedMs = static_cast<std::int64_t>(arrived);
    entry.ExpiresMs = static_cast<std::int64_t>(expires);
    entry.HasCorrelation = correlation != 0;
    std::uint64_t mid = 0;
    if (reader.Number(mid, 2)) {  // absent from a journal written before QoS 2 was taken so
      entry.Mid = static_cast<int>(mid);
    }
    if (found == entries.end()) {
      entries.push_back(entry);
    }
  } else if (type == 'S') {
    if (found != entries.end()) {
      found->Started = true;
    }
  } else if (type == 'R') {
    std::uint64_t status = 0;
    std::uint64_t reports = 0;
    std::uint64_t duration = 0;
    ToolRuns::Outcome outcome;
    if (!reader.Number(status, 4) || !reader.Number(reports, 4) || !reader.Number(duration, 8) ||
        !reader.Text(outcome.Message)) {
      return false;
    }
    outcome.Status = static_cast<std::int32_t>(status);
    outcome.ReportsWritten = static_cast<std::int32_t>(reports);
    if (found != entries.end()) {
      found->Answered = true;
      found->Outcome = outcome;
      found->DurationMs = static_cast<long>(static_cast<std::int64_t>(duration));
    }
  } else if (type == 'P') {
    if (found != entries.end()) {
      found->Mid = 0;
    }
  } else if (type == 'A') {
    if (found != entries.end()) {
      found->Acknowledged = true;
    }
  } else if (type == 'D') {
    if (found != entries.end()) {
      entries.erase(found);
    }
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::string Encode(const std::vector<Entry>& entries) {
  std::string bytes = Magic;
  for (const Entry& entry : entries) {
    bytes += Framed(TakenBody(entry));
    if (entry.Started) {
      bytes += Framed(Body('S', entry.Id));
    }
    if (entry.Answered) {
      bytes += Framed(AnsweredBody(entry.Id, entry.Outcome, entry.DurationMs));
    }
    if (entry.Acknowledged) {
      bytes += Framed(Body('A', entry.Id));
    }
  }
  return bytes;
}

std::vector<Entry> Decode(const std::string& bytes, std::string& note) {
  std::vector<Entry> entries;
  std::size_t at = Magic.size();
  while (at < bytes.size()) {
    Reader reader{bytes, at};
    std::uint64_t length = 0;
    std::uint64_t crc = 0;
    const bool whole = reader.Number(length, 4) && reader.Number(crc, 4) && length <= LargestBody &&
                       bytes.size() - reader.At >= length;
    const std::string body = whole ? bytes.substr(reader.At, length) : std::string();
    if (!whole || Crc32(body) != crc || !Apply(body, entries)) {
      // Records are only ever appended: what does not read is what a crash cut short.
      note = "the journal's last record was torn (" + std::to_string(bytes.size() - at) +
             " bytes, from a crash): skipped";
      break;
    }
    at = reader.At + length;
  }
  return entries;
}

File::~File() {
  Close();
}

void File::Close() {
  if (Handle_ >= 0) {
    BridgeSystem::CloseFile(Handle_);
  }
  if (Held_ >= 0) {
    BridgeSystem::CloseFile(Held_);
  }
  Handle_ = -1;
  Held_ = -1;
}

bool File::Open(const std::string& path, std::vector<Entry>& left, std::string& note,
                std::string& error) {
  // Before anything is read or written: two bridges on one file would drop each other's entries
  // at every rewrite, and answer each other's commands at a start.
  long holder = 0;
  if (!BridgeSystem::LockBeside(path, Held_, holder, error)) {
    if (holder != 0) {
      error = path + ": in use by another bridge" +
              (holder > 0 ? " (process " + std::to_string(holder) + ")" : std::string()) +
              ": each bridge on a machine needs a journal of its own (the journal key)";
    }
    return false;
  }
  if (Read(path, left, note, error)) {
    return true;
  }
  Close();  // not taken: nothing holds it
  return false;
}

bool File::Read(const std::string& path, std::vector<Entry>& left, std::string& note,
                std::string& error) {
  std::string bytes;
  if (!BridgeSystem::OpenPrivateFile(path, Handle_, bytes, error)) {
    return false;
  }
  Path_ = path;
  if (!bytes.empty() && bytes.compare(0, Magic.size(), Magic) != 0) {
    error = path + ": not a journal of zendrocast-mqtt (move it away, or set 'journal')";
    return false;
  }
  std::lock_guard<std::mutex> guard(Lock_);
  Entries_ = Decode(bytes, note);
  Pending_.assign(Entries_.size(), 0);
  for (const Entry& entry : Entries_) {
    NextId_ = std::max(NextId_, entry.Id + 1);
  }
  left = Entries_;
  // A fresh file, private whatever the old one's access was, with the live entries alone: what a
  // torn record left is gone from it too.
  std::string reason;
  if (!Compact(reason)) {
    error = path + ": cannot write the journal (" + reason + ")";
    return false;
  }
  return true;
}

void File::SetLimit(std::size_t limit) {
  std::lock_guard<std::mutex> guard(Lock_);
  Limit_ = limit;
}

std::size_t File::Live() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return Entries_.size();
}

std::uint64_t File::Bytes() const {
  std::lock_guard<std::mutex> guard(Lock_);
  return Bytes_;
}

Entry* File::Find(std::uint64_t id) {
  const auto found = std::find_if(Entries_.begin(), Entries_.end(),
                                  [id](const Entry& entry) { return entry.Id == id; });
  return found == Entries_.end() ? nullptr : &*found;
}

void File::Failed(const std::string& error) {
  if (!Failing_) {
    BridgeLog::Log("cannot write the journal: " + error);  // once while it lasts
  }
  Failing_ = true;
}

bool File::Append(const std::string& body, Through when, std::string& error) {
  const std::string record = Framed(body);
  Unwritten_ += record;
  ++Records_;
  Bytes_ += record.size();
  Unsynced_ = Unsynced_ || when != Through::Later;
  TakenUnsynced_ = TakenUnsynced_ || (when != Through::Later && body[0] == 'T');
  // Within a batch all but a run's start waits for its end, and goes in one write.
  if (Holding_ && when != Through::Now) {
    return true;
  }
  return Write(when != Through::Later, error);
}

bool File::Write(bool through, std::string& error) {
  if (Rewrite_) {
    if (!Compact(error)) {
      Failed(error);
      return false;
    }
  } else if (!Unwritten_.empty() || (through && Unsynced_)) {
    const bool written =
        BridgeSystem::AppendToFile(Handle_, Unwritten_, through && Unsynced_, error);
    Unwritten_.clear();
    if (!written) {
      // A write cut short leaves a torn record, and a start reads nothing after one: the file is
      // written anew, from the live entries, by the next write.
      Rewrite_ = true;
      error = Path_ + ": " + error;
      Failed(error);
      return false;
    }
    if (through) {
      Unsynced_ = false;
      TakenUnsynced_ = false;
    }
  }
  if (Failing_) {
    BridgeLog::Log("the journal is written again: " + Path_);
  }
  Failing_ = false;
  return true;
}

void File::MaybeCompact() {
  std::string error;
  if (Records_ > 4 * (Entries_.size() + 16) && !Compact(error)) {
    Failed(error);  // the old file stays as it was, and still reads
  }
}

bool File::Compact(std::string& error) {
  const std::string bytes = Encode(Entries_);
  if (!BridgeSystem::ReplacePrivateFile(Path_, bytes, Handle_, error)) {
    return false;
  }
  Records_ = Entries_.size();
  Bytes_ = bytes.size();
  Unwritten_.clear();  // the new file holds it, written through
  Unsynced_ = false;
  TakenUnsynced_ = false;
  Rewrite_ = false;
  return true;
}

void File::Hold() {
  std::lock_guard<std::mutex> guard(Lock_);
  Holding_ = true;
}

void File::Flush() {
  std::lock_guard<std::mutex> guard(Lock_);
  Holding_ = false;
  std::string error;  // logged
  Write(true, error);
}

void File::Sync() {
  std::lock_guard<std::mutex> guard(Lock_);
  // Written, so that a crash keeps what the result follows from; through, when a command taken
  // is among it.
  if (!Unwritten_.empty() || TakenUnsynced_ || Rewrite_) {
    std::string error;  // logged
    Write(TakenUnsynced_, error);
  }
}

std::uint64_t File::Take(Entry entry, std::string& error, bool resent, bool* duplicate) {
  std::lock_guard<std::mutex> guard(Lock_);
  const auto held = std::find_if(Entries_.begin(), Entries_.end(), [&](const Entry& taken) {
    return entry.Mid != 0 && taken.Mid == entry.Mid;
  });
  if (held != Entries_.end()) {
    if (resent && held->Box == entry.Box && held->Payload == entry.Payload &&
        held->HasCorrelation == entry.HasCorrelation &&
        held->CorrelationData == entry.CorrelationData) {
      if (duplicate != nullptr) {
        *duplicate = true;
      }
      return held->Id;
    }
    Release(*held);  // its PUBREL came and went unseen: the id is a new command's
  } else if (entry.Mid != 0) {
    const std::pair<int, std::uint64_t> key(entry.Mid, Digest(entry));
    const auto released = std::find(Released_.begin(), Released_.end(), key);
    if (released != Released_.end() && resent) {
      if (duplicate != nullptr) {
        *duplicate = true;
      }
      return 0;
    }
    if (released != Released_.end()) {
      Released_.erase(released);  // sent anew: the broker has reused the id
    }
  }
  if (Entries_.size() >= Limit_) {
    return 0;
  }
  const std::uint64_t id = NextId_;
  entry.Id = id;
  // Among the live entries first: a rewrite after a failed write holds it.
  Entries_.push_back(std::move(entry));
  Pending_.push_back(0);
  if (!Append(TakenBody(Entries_.back()), Through::Batch, error)) {
    Entries_.pop_back();
    Pending_.pop_back();
    return 0;
  }
  ++NextId_;
  MaybeCompact();
  return id;
}

bool File::Start(std::uint64_t id, std::string& error) {
  std::lock_guard<std::mutex> guard(Lock_);
  Entry* entry = Find(id);
  if (entry == nullptr) {
    return true;
  }
  entry->Started = true;
  const bool written = Append(Body('S', id), Through::Now, error);
  MaybeCompact();
  return written;
}

void File::Answer(std::uint64_t id, const ToolRuns::Outcome& outcome, long durationMs,
                  int messages) {
  std::lock_guard<std::mutex> guard(Lock_);
  Entry* entry = Find(id);
  if (entry == nullptr) {
    return;
  }
  entry->Answered = true;
  entry->Outcome = outcome;
  entry->DurationMs = durationMs;
  Pending_[static_cast<std::size_t>(entry - Entries_.data())] = messages;
  // Not written through: lost with a power cut, the entry is answered as interrupted instead.
  std::string error;
  Append(AnsweredBody(id, outcome, durationMs), Through::Later, error);
  MaybeCompact();
}

void File::Acknowledged(std::uint64_t id) {
  std::lock_guard<std::mutex> guard(Lock_);
  Entry* entry = Find(id);
  if (entry == nullptr) {
    return;
  }
  const auto index = static_cast<std::size_t>(entry - Entries_.data());
  if (--Pending_[index] > 0) {
    return;
  }
  if (entry->Mid == 0) {
    Drop(index);
    return;
  }
  // Kept until the broker releases it, which a broker that restarted may not have done yet.
  entry->Acknowledged = true;
  std::string error;
  Append(Body('A', id), Through::Batch, error);
  MaybeCompact();
}

void File::Drop(std::size_t index) {
  const std::uint64_t id = Entries_[index].Id;
  Entries_.erase(Entries_.begin() + static_cast<std::ptrdiff_t>(index));
  Pending_.erase(Pending_.begin() + static_cast<std::ptrdiff_t>(index));
  std::string error;
  // Written through, with the batch that brought the acknowledgement: a result the broker has must
  // not be published again after a power cut.
  Append(Body('D', id), Through::Batch, error);
  MaybeCompact();
}

void File::Release(Entry& entry) {
  Released_.emplace_back(entry.Mid, Digest(entry));
  if (Released_.size() > ReleasedKept) {
    Released_.pop_front();
  }
  if (entry.Acknowledged) {
    Drop(static_cast<std::size_t>(&entry - Entries_.data()));
    return;
  }
  entry.Mid = 0;
  // Not written through: a process that ends keeps what it wrote, and after a power cut a
  // command resent under the id is still told from a new one by its dup flag and content.
  std::string error;
  Append(Body('P', entry.Id), Through::Later, error);
  MaybeCompact();
}

void File::Release(int mid) {
  std::lock_guard<std::mutex> guard(Lock_);
  for (std::size_t index = Entries_.size(); index-- > 0;) {
    if (Entries_[index].Mid != 0 && (mid == 0 || Entries_[index].Mid == mid)) {
      Release(Entries_[index]);
    }
  }
}

}  // namespace Journal
