// The status check: `SrvTavrimondoClient /STATUS` tells a support technician, in seconds, whether
// the store replicates and, if not, why. `/STATUS /JSON` gives the same as one JSON object.
//
// It only reads: the settings file, the local database (through the read-only transaction), the
// central server's index for the store, the cycle record, the service manager's view of the
// service and the activity log. It never runs an initial load, applies, stamps, logs or writes a
// file. It connects the way the service does (same settings, same password fallback and client
// library rules, same 15 s connect time-out), without the connection procedures, which log.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "replication/cycle_record.h"
#include "replication/stock_audit.h"
#include "service/service_host.h"

namespace service::status {

// Exit codes of the check.
inline constexpr int kHealthy = 0;
inline constexpr int kNeedsAttention = 1;
inline constexpr int kCannotTell = 2;

struct Setting {
  std::string key;
  std::string value;  // as the service reads it (the default when the key is missing)
  bool is_default = false;
  std::string meaning;  // what the value amounts to, when that is not the value itself
};

struct StatusResult {
  replication::TimePoint checked_at{};
  std::string executable;

  // Settings.
  std::string settings_file;
  bool settings_exists = false;
  std::string settings_error;
  std::vector<Setting> settings;

  // The Firebird client library.
  bool library_loaded = false;
  std::string library_file;
  std::string library_path;  // the full path of the file loaded
  std::string library_error;

  // Who but the machine's own accounts can change the program's folder, the program, its
  // settings or the client library ("" when no one).
  std::string untrusted;

  // The local database.
  std::string local_server, local_database;
  bool local_connected = false;
  bool local_second_password = false;  // the first built-in password was refused
  std::string local_error;
  std::optional<std::int32_t> store_code;
  std::optional<std::int64_t> outgoing_rows;
  std::optional<std::int64_t> highest_sequencial;  // none when the outgoing log is empty
  std::string generator;                           // what numbers the rows; empty when it cannot be told
  std::optional<std::int64_t> generator_value;     // its current value
  std::optional<std::int64_t> initial_load_rows;   // products the next initial load would copy
  std::optional<std::int64_t> load_mark;           // an initial load still waiting to be sent, up to here

  // The central server.
  std::string central_host;
  std::string central_port;
  bool central_connected = false;
  std::string central_error;
  bool index_read = false;
  bool index_row = false;  // the central server has a row for the store
  std::string index;
  std::optional<std::int64_t> rows_waiting;
  std::string rows_waiting_error;  // the rows above the index cannot be selected (as the cycle selects them)
  bool index_above_local = false;

  // The stock audit asked for with /AUDIT, run by the check itself, read-only.
  bool audit_asked = false;
  std::optional<replication::AuditFindings> audit;
  std::string audit_error;  // why it was not run, or did not finish
  std::chrono::milliseconds audit_took{0};

  // The cycle record (its JSON text as read, when it could be read).
  std::string record_file;
  bool record_exists = false;
  std::string record_error;
  std::string record_text;

  // The service.
  host::ServiceQuery service;

  // This month's activity log.
  std::string log_file;
  bool log_exists = false;
  std::string log_error;
  std::vector<std::string> log_tail;

  // The verdict: each entry one sentence for the technician.
  std::vector<std::string> attention;  // something is wrong
  std::vector<std::string> unknown;    // something could not be found out
  std::vector<std::string> notes;      // worth knowing, not wrong

  int ExitCode() const;
};

struct Options {
  std::uint16_t central_port = 0;  // 0: the connection's own port (2507); tests use others
  // The service manager's answer; empty means the platform's (host::QueryService).
  std::function<host::ServiceQuery(const host::RecordedService&)> query_service;
  std::size_t log_lines = 10;
  // Runs the stock audit too (read-only: it reports the differences and repairs nothing).
  bool audit = false;
  replication::AuditPacing audit_pacing;
};

// Differing products the audit lists: in the text, and in the JSON object.
inline constexpr std::size_t kAuditTextLines = 100;
inline constexpr std::size_t kAuditJsonEntries = 1000;

StatusResult Gather(const Options& options = {});
std::string FormatText(const StatusResult& r);
std::string FormatJson(const StatusResult& r);

// The /STATUS run: gathers (with "AUDIT" the stock audit too), writes the text (or with "JSON" the
// JSON object) to the standard output, and returns the exit code.
int RunStatusCheck(const std::vector<std::string>& args, const Options& options = {});

}  // namespace service::status
