#include "bridge/Health.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "bridge/Json.h"
#include "bridge/ToolRuns.h"

namespace Health {
namespace {

// Runs kept per box for the median.
constexpr std::size_t RunsKept = 64;
// Bytes of a failure's message or box id the message holds.
constexpr std::size_t TextLimit = 200;

const char* const OutcomeNames[OutcomeCount] = {"sent",        "not_all_sent", "refused",
                                                "too_short",   "busy",         "expired",
                                                "interrupted", "not_present"};

// At most limit bytes of UTF-8 text, never cut inside a character.
std::string Cut(const std::string& text, std::size_t limit) {
  if (text.size() <= limit) {
    return text;
  }
  std::size_t end = limit;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) {
    --end;
  }
  return text.substr(0, end);
}

const char* System() {
#if defined(_WIN32)
  return "windows";
#elif defined(__linux__)
  return "linux";
#else
  return "unknown";
#endif
}

const char* Architecture() {
#if defined(__x86_64__) || defined(_M_X64)
  return "x86_64";
#elif defined(__i386__) || defined(_M_IX86)
  return "i686";
#elif defined(__aarch64__)
  return "aarch64";
#elif defined(__arm__)
  return "armhf";
#else
  return "unknown";
#endif
}

std::string Time(std::int64_t ms) {
  return ms == 0 ? "null" : Json::Quote(IsoTime(ms));
}

long Median(std::deque<long> runs) {
  if (runs.empty()) {
    return 0;
  }
  const auto middle = runs.begin() + static_cast<long>(runs.size() / 2);
  std::nth_element(runs.begin(), middle, runs.end());
  return *middle;
}

std::string Number(std::uint64_t value) {
  return std::to_string(value);
}

}  // namespace

Outcome FromStatus(int status) {
  return status == 0   ? Outcome::Sent
         : status == 2 ? Outcome::Refused
         : status == 3 ? Outcome::TooShort
                       : Outcome::NotAllSent;
}

void Counts::Count(const std::string& box, bool isBox, Outcome outcome, int status,
                   const std::string& command, const std::string& message, long durationMs,
                   bool ran, std::int64_t nowMs) {
  ++ByOutcome[static_cast<int>(outcome)];
  const bool failed = outcome != Outcome::Sent;
  if (failed) {
    FailureMs = nowMs;
    FailureBox = Cut(box, TextLimit);
    FailureHasCommand = command.size() <= ToolRuns::MaximumPayload && ToolRuns::IsUtf8(command);
    FailureCommand = FailureHasCommand ? command : std::string();
    FailureMessage = Cut(message, TextLimit);
  }
  if (!isBox) {
    return;
  }
  BoxCounts& counts = Boxes[box];
  ++counts.Commands;
  counts.Failures += failed ? 1 : 0;
  counts.LastMs = nowMs;
  counts.LastStatus = status;
  counts.LastMessage = Cut(message, TextLimit);
  if (ran) {
    counts.Runs.push_back(durationMs);
    if (counts.Runs.size() > RunsKept) {
      counts.Runs.pop_front();
    }
    counts.Slowest = std::max(counts.Slowest, durationMs);
  }
}

std::string Message(const Counts& counts, const std::map<std::string, bool>& present,
                    const Facts& facts, bool withClock) {
  std::string json = "{\"node\":{\"version\":" + Json::Quote(facts.Version) + ",\"system\":\"" +
                     System() + "\",\"architecture\":\"" + Architecture() +
                     "\",\"started\":" + Time(facts.StartedMs);
  if (withClock) {
    json += ",\"uptime_s\":" + std::to_string(facts.UptimeSeconds) +
            ",\"memory_bytes\":" + Number(facts.ResidentBytes);
  }
  json += "},\"broker\":{\"address\":" + Json::Quote(facts.Broker) + ",\"mqtt\":\"" +
          (facts.Version5 ? "5" : "3.1.1") + "\",\"qos\":" + std::to_string(facts.Qos) +
          ",\"connects\":" + Number(facts.Connects) + ",\"last_disconnect\":" +
          (facts.LostMs == 0 ? "null"
                             : "{\"time\":" + Time(facts.LostMs) + ",\"reason\":" +
                                   Json::Quote(Cut(facts.LostReason, TextLimit)) + "}") +
          "},\"commands\":{";
  std::uint64_t failed = 0;
  for (int outcome = 0; outcome < OutcomeCount; ++outcome) {
    json += std::string(outcome > 0 ? "," : "") + "\"" + OutcomeNames[outcome] +
            "\":" + Number(counts.ByOutcome[outcome]);
    failed += outcome > 0 ? counts.ByOutcome[outcome] : 0;
  }
  json += ",\"failed\":" + Number(failed) + ",\"last_failure\":";
  if (counts.FailureMs == 0) {
    json += "null";
  } else {
    json +=
        "{\"time\":" + Time(counts.FailureMs) + ",\"box\":" + Json::Quote(counts.FailureBox) +
        ",\"command\":" + (counts.FailureHasCommand ? Json::Quote(counts.FailureCommand) : "null") +
        ",\"message\":" + Json::Quote(counts.FailureMessage) + "}";
  }
  json += "},\"boxes\":{";
  std::size_t listed = 0;
  const BoxCounts none;
  for (const auto& [id, isPresent] : present) {
    if (listed == BoxesListed) {
      break;
    }
    const auto found = counts.Boxes.find(id);
    const BoxCounts& box = found != counts.Boxes.end() ? found->second : none;
    json += std::string(listed++ > 0 ? "," : "") + Json::Quote(id) +
            ":{\"present\":" + (isPresent ? "true" : "false") +
            ",\"commands\":" + Number(box.Commands) + ",\"failures\":" + Number(box.Failures) +
            ",\"last\":" +
            (box.LastMs == 0 ? "null"
                             : "{\"time\":" + Time(box.LastMs) +
                                   ",\"status\":" + std::to_string(box.LastStatus) +
                                   ",\"message\":" + Json::Quote(box.LastMessage) + "}") +
            ",\"median_ms\":" + std::to_string(Median(box.Runs)) +
            ",\"slowest_ms\":" + std::to_string(box.Slowest) + "}";
  }
  json += "},\"boxes_not_listed\":" + Number(present.size() - listed) +
          ",\"backlog\":{\"queued\":" + Number(facts.Queued) +
          ",\"results_waiting\":" + Number(facts.Outbox) +
          ",\"journal_entries\":" + Number(facts.JournalEntries) +
          ",\"journal_bytes\":" + Number(facts.JournalBytes) + "}}";
  return json;
}

std::string IsoTime(std::int64_t ms) {
  // Days since 1970 to a civil date (proleptic Gregorian), in eras of 400 years.
  std::int64_t seconds = ms / 1000 - (ms % 1000 < 0 ? 1 : 0);
  std::int64_t days = seconds / 86400 - (seconds % 86400 < 0 ? 1 : 0);
  const std::int64_t second = seconds - days * 86400;
  days += 719468;
  const std::int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const std::int64_t dayOfEra = days - era * 146097;
  const std::int64_t yearOfEra =
      (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const std::int64_t shifted = (5 * dayOfYear + 2) / 153;
  const std::int64_t day = dayOfYear - (153 * shifted + 2) / 5 + 1;
  const std::int64_t month = shifted < 10 ? shifted + 3 : shifted - 9;
  const std::int64_t year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
  char text[96];  // room for any year the numbers can hold
  std::snprintf(text, sizeof text, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lldZ",
                static_cast<long long>(year), static_cast<long long>(month),
                static_cast<long long>(day), static_cast<long long>(second / 3600),
                static_cast<long long>(second / 60 % 60), static_cast<long long>(second % 60));
  return text;
}

}  // namespace Health
