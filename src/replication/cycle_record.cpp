#include "replication/cycle_record.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <exception>
#include <map>

#include "common/text.h"
#include "platform/os.h"
#include "platform/status_io.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"

namespace replication {

using JsonValue = nlohmann::ordered_json;

std::string CycleRecordPath() { return settings::StateDirectory() + kCycleRecordFileName; }

// ---- counters and the summary line ---------------------------------------------------------

void CycleCounters::Count(const CycleReport& r) {
  ++cycles;
  switch (r.outcome) {
    case CycleOutcome::kIdle: ++idle; break;
    case CycleOutcome::kSent: ++sent; break;
    case CycleOutcome::kFailed: ++failed; break;
    case CycleOutcome::kStoppedEarly: ++stopped_early; break;
  }
  rows_sent += r.rows_accepted;
  rows_rejected += r.rows_rejected;
  if (r.rows_accepted > 0) last_sent = r.end;
  if (r.outcome == CycleOutcome::kFailed) {
    ++consecutive_failures;
    last_failure = r.end;
  } else {
    consecutive_failures = 0;
    last_success = r.end;
  }
}

namespace {

std::string Rows(std::int64_t n) { return std::to_string(n) + (n == 1 ? " row" : " rows"); }

std::string IndexText(const std::string& index) { return index.empty() ? "none" : index; }

std::chrono::milliseconds Duration(const CycleReport& r) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(r.end - r.start);
}

std::string HeldValues(const CycleReport::Held& h) {
  return std::to_string(h.first) + (h.last != h.first ? "-" + std::to_string(h.last) : std::string());
}

// Rows held behind a gap: ", 20 rows held behind SEQUENCIAL 4711 since 10/12/2026 14:03:13".
std::string HeldText(const CycleReport& r) {
  if (!r.held) return {};
  const CycleReport::Held& h = *r.held;
  return ", " + (h.rows >= 0 ? Rows(h.rows) : std::string("rows")) + " held behind SEQUENCIAL " + HeldValues(h) +
         " since " + DisplayTime(h.since);
}

// What the cycle did, without the time: "sent 120 rows, index 0 -> 120".
std::string WhatItDid(const CycleReport& r) {
  const std::string index = r.index_before == r.index_after
                                ? "index " + IndexText(r.index_before)
                                : "index " + IndexText(r.index_before) + " -> " + IndexText(r.index_after);
  switch (r.outcome) {
    case CycleOutcome::kIdle: return (r.held ? "nothing sent, " : "nothing to send, ") + index + HeldText(r);
    case CycleOutcome::kSent: return "sent " + Rows(r.rows_accepted) + ", " + index + HeldText(r);
    case CycleOutcome::kStoppedEarly: return "stopped early after sending " + Rows(r.rows_accepted) + ", " + index;
    case CycleOutcome::kFailed: {
      std::string s = "FAILED";
      if (r.rows_accepted > 0) s += " after sending " + Rows(r.rows_accepted);
      if (r.rows_rejected > 0) s += ", " + Rows(r.rows_rejected) + " rejected";
      return s + ": " + (r.error.empty() ? std::string("(no message)") : OneLine(r.error, 200));
    }
  }
  return {};
}

}  // namespace

std::string CycleSummary(const std::optional<CycleReport>& last, const CycleCounters& c) {
  std::string s;
  if (last) {
    s = "Last cycle " + DisplayTime(last->start) + " (" + DisplayDuration(Duration(*last)) + "): " + WhatItDid(*last) + ".";
  } else {
    s = "No cycle yet.";
  }
  s += " Since " + DisplayTime(c.since) + ": " + std::to_string(c.cycles) + (c.cycles == 1 ? " cycle" : " cycles");
  if (c.cycles > 0) {
    s += " (" + std::to_string(c.sent) + " sent, " + std::to_string(c.idle) + " idle, " + std::to_string(c.failed) +
         " failed";
    if (c.stopped_early) s += ", " + std::to_string(c.stopped_early) + " stopped early";
    s += ")";
  }
  s += ", " + Rows(c.rows_sent) + " sent";
  if (c.consecutive_failures > 1) s += ", " + std::to_string(c.consecutive_failures) + " failures in a row";
  return s + ".";
}

// ---- times -----------------------------------------------------------------------------------

std::string FormatIsoTime(TimePoint t) {
  const os::ZonedTime z = os::ToLocal(t);
  const int off = z.utc_offset_minutes < 0 ? -z.utc_offset_minutes : z.utc_offset_minutes;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03d%c%02d:%02d", z.local.year, z.local.month,
                z.local.day, z.local.hour, z.local.minute, z.local.second, z.local.millisecond,
                z.utc_offset_minutes < 0 ? '-' : '+', off / 60, off % 60);
  return buf;
}

std::optional<TimePoint> ParseIsoTime(const std::string& s) {
  // YYYY-MM-DDTHH:MM:SS[.fff](Z|+HH:MM|-HH:MM)
  auto digits = [&](std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size()) return false;
    out = 0;
    for (std::size_t i = pos; i < pos + n; ++i) {
      if (s[i] < '0' || s[i] > '9') return false;
      out = out * 10 + (s[i] - '0');
    }
    return true;
  };
  int y, mo, d, h, mi, se, ms = 0;
  if (!digits(0, 4, y) || s.size() < 19 || s[4] != '-' || !digits(5, 2, mo) || s[7] != '-' || !digits(8, 2, d) ||
      s[10] != 'T' || !digits(11, 2, h) || s[13] != ':' || !digits(14, 2, mi) || s[16] != ':' || !digits(17, 2, se))
    return std::nullopt;
  std::size_t p = 19;
  if (p < s.size() && s[p] == '.') {
    std::size_t q = p + 1;
    int scale = 100;
    while (q < s.size() && s[q] >= '0' && s[q] <= '9') {
      ms += (s[q] - '0') * scale;
      scale /= 10;
      ++q;
    }
    if (q == p + 1) return std::nullopt;
    p = q;
  }
  int offset = 0;
  if (p < s.size() && s[p] == 'Z') {
    ++p;
  } else if (p < s.size() && (s[p] == '+' || s[p] == '-')) {
    int oh, om;
    if (!digits(p + 1, 2, oh) || p + 3 >= s.size() || s[p + 3] != ':' || !digits(p + 4, 2, om)) return std::nullopt;
    offset = (oh * 60 + om) * (s[p] == '-' ? -1 : 1);
    p += 6;
  } else {
    return std::nullopt;
  }
  if (p != s.size()) return std::nullopt;
  using namespace std::chrono;
  const year_month_day ymd{year{y}, month{static_cast<unsigned>(mo)}, day{static_cast<unsigned>(d)}};
  // Only what the clock's time points can hold (about 1678 to 2261): a year beyond them would
  // overflow.
  if (!ymd.ok() || y < 1700 || y > 2200 || h > 23 || mi > 59 || se > 60) return std::nullopt;
  const auto t = sys_days{ymd} + hours{h} + minutes{mi} + seconds{se} + milliseconds{ms} - minutes{offset};
  return time_point_cast<system_clock::duration>(t);
}

std::string DisplayTime(TimePoint t) { return settings::ActivityLog::TimeStamp(os::ToLocal(t).local); }

std::string DisplayDuration(std::chrono::milliseconds d) {
  const long long ms = d.count() < 0 ? 0 : d.count();
  char buf[48];
  if (ms < 1000) {
    std::snprintf(buf, sizeof buf, "%lld ms", ms);
  } else if (ms < 60000) {
    std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000.0);
  } else if (ms < 3600000) {
    std::snprintf(buf, sizeof buf, "%lld min %lld s", ms / 60000, (ms / 1000) % 60);
  } else {
    std::snprintf(buf, sizeof buf, "%lld h %lld min", ms / 3600000, (ms / 60000) % 60);
  }
  return buf;
}

std::string OneLine(const std::string& message, std::size_t max_bytes) {
  std::string out;
  for (std::size_t i = 0; i < message.size(); ++i) {
    const char c = message[i];
    if (c == '\r' || c == '\n') {
      if (c == '\r' && i + 1 < message.size() && message[i + 1] == '\n') ++i;
      if (i + 1 < message.size()) out += " / ";
    } else {
      out += c;
    }
  }
  // Nothing else that would steer a terminal or the journal either.
  out = text::FlattenControls(out);
  if (out.size() > max_bytes) {
    std::size_t cut = max_bytes;
    while (cut > 0 && (static_cast<unsigned char>(out[cut]) & 0xC0) == 0x80) --cut;  // whole characters
    out = out.substr(0, cut) + "...";
  }
  return out;
}

// ---- reading a record --------------------------------------------------------------------------

namespace {

// The fields of a record, by the object that holds them ("" is the record itself), each with the
// kind of value the recorder writes there. Objects nest two deep at most (last_cycle.held).
enum class Kind {
  kObject,        // one of the record's own objects
  kObjectOrNull,  // one of them, or null when there is none
  kCount,         // a whole number
  kCountOrNull,   // a whole number, or null when unknown
  kText,          // a string
  kTextOrNull,    // a string, or null when there is none
};

const std::map<std::string, std::map<std::string, Kind>>& RecordFields() {
  using K = Kind;
  static const std::map<std::string, std::map<std::string, Kind>> fields = {
      {"",
       {{"format", K::kCount}, {"written", K::kText}, {"summary", K::kText}, {"service", K::kObject},
        {"last_cycle", K::kObjectOrNull}, {"counters", K::kObject}, {"last_audit", K::kObjectOrNull}}},
      {"service", {{"state", K::kTextOrNull}, {"since", K::kTextOrNull}, {"pid", K::kCount}, {"exe", K::kText}}},
      {"last_cycle",
       {{"start", K::kText}, {"end", K::kText}, {"duration_ms", K::kCount}, {"outcome", K::kText},
        {"rows_read", K::kCount}, {"rows_accepted", K::kCount}, {"rows_rejected", K::kCount},
        {"index_before", K::kText}, {"index_after", K::kText}, {"error", K::kText}, {"held", K::kObjectOrNull}}},
      {"held",
       {{"first", K::kCount}, {"last", K::kCount}, {"gaps", K::kCount}, {"rows", K::kCountOrNull},
        {"since", K::kText}, {"holders", K::kText}}},
      {"last_audit",
       {{"start", K::kText}, {"end", K::kText}, {"duration_ms", K::kCount}, {"products", K::kCount},
        {"differing", K::kCount}, {"relogged", K::kCount}, {"error", K::kText}}},
      {"counters",
       {{"since", K::kText}, {"cycles", K::kCount}, {"sent", K::kCount}, {"idle", K::kCount}, {"failed", K::kCount},
        {"stopped_early", K::kCount}, {"rows_sent", K::kCount}, {"rows_rejected", K::kCount},
        {"consecutive_failures", K::kCount}, {"last_success", K::kTextOrNull}, {"last_sent", K::kTextOrNull},
        {"last_failure", K::kTextOrNull}}},
  };
  return fields;
}

constexpr int kMaxDepth = 2;  // the record is depth 0, last_cycle 1, held 2

// A value of the kind the recorder writes there. Numbers are whole: a fraction, or a number too
// large for 64 bits (which the parser keeps as a double), would overflow whoever reads a count.
bool OfKind(const JsonValue& v, Kind kind) {
  switch (kind) {
    case Kind::kObject: return v.is_object();
    case Kind::kObjectOrNull: return v.is_object() || v.is_null();
    case Kind::kCount: return v.is_number_integer();
    case Kind::kCountOrNull: return v.is_number_integer() || v.is_null();
    case Kind::kText: return v.is_string();
    case Kind::kTextOrNull: return v.is_string() || v.is_null();
  }
  return false;
}

// Copies the known fields of `from` (an object named `name`) that hold the kind of value the
// recorder writes there; a field that holds anything else is left out, as if missing.
JsonValue KnownFields(const JsonValue& from, const std::string& name) {
  JsonValue out = JsonValue::object();
  const auto& known = RecordFields().at(name);
  for (auto it = from.begin(); it != from.end(); ++it) {
    const auto field = known.find(it.key());
    if (field == known.end() || !OfKind(it.value(), field->second)) continue;
    out[it.key()] = it.value().is_object() ? KnownFields(it.value(), it.key()) : it.value();
  }
  return out;
}

}  // namespace

std::string SafeCycleRecord(std::string_view text) {
  // Deeper structures are dropped as they are parsed (the parser itself keeps no recursion).
  const JsonValue::parser_callback_t shallow = [](int depth, JsonValue::parse_event_t event, JsonValue&) {
    return !((event == JsonValue::parse_event_t::object_start || event == JsonValue::parse_event_t::array_start) &&
             depth > kMaxDepth);
  };
  JsonValue j;
  try {
    j = JsonValue::parse(text.begin(), text.end(), shallow);
  } catch (const JsonValue::exception& e) {
    throw std::runtime_error(std::string("it is not JSON: ") + e.what());
  }
  if (!j.is_object() || !j.contains("format") || !j["format"].is_number_integer() ||
      j["format"].get<std::int64_t>() != kCycleRecordFormat)
    throw std::runtime_error("it is not a cycle record of this version");
  return KnownFields(j, "").dump(-1, ' ', false, JsonValue::error_handler_t::replace);
}

// ---- the recorder ----------------------------------------------------------------------------

namespace {

JsonValue OptionalTime(const std::optional<TimePoint>& t) { return t ? JsonValue(FormatIsoTime(*t)) : JsonValue(nullptr); }

}  // namespace

CycleRecorder::CycleRecorder(std::string path, ErrorSink on_error)
    : path_(std::move(path)), on_error_(std::move(on_error)), pid_(os::CurrentProcessId()), exe_(os::ExeName()) {
  counters_.since = std::chrono::system_clock::now();
}

std::string CycleRecorder::RecordCycle(const CycleReport& report) {
  std::lock_guard lock(mu_);
  counters_.Count(report);
  last_ = report;
  WriteLocked();
  return CycleSummary(last_, counters_);
}

void CycleRecorder::RecordServiceState(const std::string& state) {
  std::lock_guard lock(mu_);
  if (state != state_) state_since_ = std::chrono::system_clock::now();
  state_ = state;
  WriteLocked();
}

std::string CycleRecorder::Summary() const {
  std::lock_guard lock(mu_);
  return CycleSummary(last_, counters_);
}

CycleCounters CycleRecorder::Counters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

std::string CycleRecorder::Json() const {
  std::lock_guard lock(mu_);
  return JsonLocked();
}

std::string CycleRecorder::JsonLocked() const {
  JsonValue j;
  j["format"] = kCycleRecordFormat;
  j["written"] = FormatIsoTime(std::chrono::system_clock::now());
  j["summary"] = CycleSummary(last_, counters_);
  JsonValue svc;
  svc["state"] = state_.empty() ? JsonValue(nullptr) : JsonValue(state_);
  svc["since"] = state_.empty() ? JsonValue(nullptr) : JsonValue(FormatIsoTime(state_since_));
  svc["pid"] = pid_;
  svc["exe"] = exe_;
  j["service"] = svc;
  if (last_) {
    const CycleReport& r = *last_;
    JsonValue c;
    c["start"] = FormatIsoTime(r.start);
    c["end"] = FormatIsoTime(r.end);
    c["duration_ms"] = Duration(r).count();
    c["outcome"] = OutcomeName(r.outcome);
    c["rows_read"] = r.rows_read;
    c["rows_accepted"] = r.rows_accepted;
    c["rows_rejected"] = r.rows_rejected;
    c["index_before"] = r.index_before;
    c["index_after"] = r.index_after;
    c["error"] = r.error;
    if (r.held) {
      const CycleReport::Held& h = *r.held;
      c["held"] = {{"first", h.first},
                   {"last", h.last},
                   {"gaps", h.gaps},
                   {"rows", h.rows >= 0 ? JsonValue(h.rows) : JsonValue(nullptr)},
                   {"since", FormatIsoTime(h.since)},
                   {"holders", h.holders}};
    } else {
      c["held"] = nullptr;
    }
    j["last_cycle"] = c;
  } else {
    j["last_cycle"] = nullptr;
  }
  JsonValue n;
  n["since"] = FormatIsoTime(counters_.since);
  n["cycles"] = counters_.cycles;
  n["sent"] = counters_.sent;
  n["idle"] = counters_.idle;
  n["failed"] = counters_.failed;
  n["stopped_early"] = counters_.stopped_early;
  n["rows_sent"] = counters_.rows_sent;
  n["rows_rejected"] = counters_.rows_rejected;
  n["consecutive_failures"] = counters_.consecutive_failures;
  n["last_success"] = OptionalTime(counters_.last_success);
  n["last_sent"] = OptionalTime(counters_.last_sent);
  n["last_failure"] = OptionalTime(counters_.last_failure);
  j["counters"] = n;
  if (last_ && last_->last_audit) {
    const AuditSummary& a = *last_->last_audit;
    j["last_audit"] = {{"start", FormatIsoTime(a.start)},
                       {"end", FormatIsoTime(a.end)},
                       {"duration_ms", std::chrono::duration_cast<std::chrono::milliseconds>(a.end - a.start).count()},
                       {"products", a.products},
                       {"differing", a.differing},
                       {"relogged", a.relogged},
                       {"error", a.error}};
  } else {
    j["last_audit"] = nullptr;
  }
  // Messages come from servers and may hold anything: broken UTF-8 is replaced, never fatal.
  return j.dump(2, ' ', false, JsonValue::error_handler_t::replace) + "\n";
}

void CycleRecorder::WriteLocked() {
  const std::string tmp = path_ + ".tmp";
  try {
    const std::string text = JsonLocked();
    {
      os::File f(tmp, os::File::Mode::kCreate);
      f.Write(text.data(), text.size());
    }
    // Without waiting for the disk: a record a power cut spoils is rewritten at the next start and
    // the next cycle, and waiting every ten seconds would cost an idle cycle a tenth of its time.
    os::ReplaceFileUnsynced(tmp, path_);
    failing_ = false;
  } catch (const std::exception& e) {
    os::RemoveFile(tmp);
    if (!failing_ && on_error_) {
      try {
        on_error_(e.what());
      } catch (...) {
        // Reporting is best effort: the cycle goes on whatever happens here.
      }
    }
    failing_ = true;
  } catch (...) {
    os::RemoveFile(tmp);
    if (!failing_ && on_error_) {
      try {
        on_error_("?");
      } catch (...) {
      }
    }
    failing_ = true;
  }
}

}  // namespace replication
