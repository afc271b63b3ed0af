// The cycle record: a small JSON file in the agent's data folder that says what the service's last
// cycle did and what the service has done since it started, for the status check and for anyone
// who looks. The service replaces it in one step after every cycle and at every change of its
// state, so a reader sees either the old record or the new one, never a mix.
//
// Writing it never fails a cycle: a record that cannot be written is reported once to the error
// sink (the event log), and again only after a write has succeeded in between.
//
// Thread-safety: CycleRecorder may be called from any thread (cycles run on the main thread, state
// changes arrive on the service thread).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "replication/replication_cycle.h"

namespace replication {

inline constexpr const char* kCycleRecordFileName = "Tavrimondo_cycle.json";
inline constexpr int kCycleRecordFormat = 1;

// The record in the executable's directory.
std::string CycleRecordPath();

using TimePoint = std::chrono::system_clock::time_point;

// What the service has done since its process started.
struct CycleCounters {
  TimePoint since{};
  std::int64_t cycles = 0, sent = 0, idle = 0, failed = 0, stopped_early = 0;
  std::int64_t rows_sent = 0;      // rows the central server stored
  std::int64_t rows_rejected = 0;  // rows of rejected applies
  std::int64_t consecutive_failures = 0;
  std::optional<TimePoint> last_success;  // end of the last cycle that did not fail
  std::optional<TimePoint> last_sent;     // end of the last cycle in which rows were stored
  std::optional<TimePoint> last_failure;

  void Count(const CycleReport& r);
};

// One line for people: the last cycle and the counters ("Last cycle 09/02/2018 14:05:33 (1.2 s):
// sent 120 rows, index 0 -> 120. Since ...: 42 cycles (1 sent, 40 idle, 1 failed), 120 rows sent.").
std::string CycleSummary(const std::optional<CycleReport>& last, const CycleCounters& c);

// ISO 8601 local time with its UTC offset and milliseconds: "2018-02-09T14:05:33.120-02:00".
std::string FormatIsoTime(TimePoint t);
// The instant such a text names; nullopt when it is not one.
std::optional<TimePoint> ParseIsoTime(const std::string& s);
// Local time as the activity log writes it: "09/02/2018 14:05:33".
std::string DisplayTime(TimePoint t);
// "350 ms", "1.2 s", "3 min 20 s".
std::string DisplayDuration(std::chrono::milliseconds d);
// A message on one line: line breaks become " / ", other control characters blanks, and a very
// long text is cut.
std::string OneLine(const std::string& message, std::size_t max_bytes = 300);

// A record as a reader may trust it, whoever wrote the file: the fields a record has, each of its
// own type, and nothing else. The text is never held nested deeper than a record is (whatever lies
// deeper is skipped while parsing), so a hostile file cannot exhaust the reader's stack or memory.
// Returns the record again as JSON text; throws std::runtime_error when `text` is not JSON, or not
// a cycle record of this format.
std::string SafeCycleRecord(std::string_view text);

class CycleRecorder {
 public:
  using ErrorSink = std::function<void(const std::string& message)>;

  // `path`: the record file; `on_error` gets the text of a write failure.
  explicit CycleRecorder(std::string path, ErrorSink on_error = {});

  // Counts the cycle, replaces the record and returns the summary line.
  std::string RecordCycle(const CycleReport& report);
  // The service's state as it was last reported ("running", "paused", ...); replaces the record.
  void RecordServiceState(const std::string& state);

  std::string Summary() const;
  CycleCounters Counters() const;
  // The record's text as it is written now.
  std::string Json() const;

 private:
  std::string JsonLocked() const;
  void WriteLocked();

  const std::string path_;
  const ErrorSink on_error_;
  const int pid_;
  const std::string exe_;
  mutable std::mutex mu_;
  CycleCounters counters_;
  std::optional<CycleReport> last_;
  std::string state_;
  TimePoint state_since_{};
  bool failing_ = false;  // the last write failed and that was reported
};

}  // namespace replication
