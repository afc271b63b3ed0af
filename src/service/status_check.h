// The status check: `SrvTavrimondoClient /STATUS` tells a support technician, and a monitoring
// tool, whether the store replicates and, if not, why, within a time-out (`/TIMEOUT N`, 20 s by
// default). `/STATUS /JSON` gives the same as one JSON object. Its texts are Portuguese, as the
// activity log's; the JSON keys are English.
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

#include <chrono>

#include "common/messages.h"
#include "replication/cycle_record.h"
#include "replication/stock_audit.h"
#include "service/service_host.h"

namespace service::status {

// Exit codes of the check, those of the monitoring plugins' convention (Nagios, Icinga, Zabbix).
inline constexpr int kOk = 0;        // the store replicates
inline constexpr int kWarning = 1;   // it is behind, or a cycle failed
inline constexpr int kCritical = 2;  // it has not replicated for longer than the threshold, or never will by itself
inline constexpr int kUnknown = 3;   // the check cannot tell
inline constexpr int kNote = -1;     // worth knowing, not wrong (not an exit code)

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
  // Files found and not loaded: others can change them, or they are no Firebird client.
  std::vector<std::string> refused_libraries;

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

  // Files of the agent's data folders that were not read, as they are not its own (a link, a
  // device, a file of more than one name, another account's).
  std::vector<std::string> foreign_files;

  // The verdict: each entry one sentence for the technician.
  std::vector<std::string> critical;   // the store does not replicate, or will not by itself
  std::vector<std::string> warning;    // it is behind, or something is wrong that does not stop it yet
  std::vector<std::string> attention;  // both of the above, in the order found
  std::vector<std::string> unknown;    // something could not be found out
  std::vector<std::string> notes;      // worth knowing, not wrong

  void Add(int level, const messages::Text& text);
  int ExitCode() const;
};

struct Options {
  std::uint16_t central_port = 0;  // 0: the connection's own port (2507); tests use others
  // The service manager's answer; empty means the platform's (host::QueryService).
  std::function<host::ServiceQuery(const host::RecordedService&)> query_service;
  // The service's accounts; empty means the platform's (host::ServiceAccounts).
  std::function<std::vector<os::AccountId>()> service_accounts;
  std::size_t log_lines = 10;
  // Failing for this long, the store counts as not replicating (critical).
  std::chrono::minutes critical_after{10};
  // The whole check's bound: what has not answered by then makes it "cannot tell".
  std::chrono::seconds timeout{20};
  // With /AUDIT and no /TIMEOUT: an audit reads both tables whole, seconds to minutes in a large store.
  std::chrono::seconds audit_timeout{600};
  // Runs the stock audit too (read-only: it reports the differences and repairs nothing).
  bool audit = false;
  replication::AuditPacing audit_pacing;
};

// The words of an exit code: OK, WARNING, CRITICAL, UNKNOWN.
const char* ResultName(int exit_code);

// Differing products the audit lists: in the text, and in the JSON object.
inline constexpr std::size_t kAuditTextLines = 100;
inline constexpr std::size_t kAuditJsonEntries = 1000;

StatusResult Gather(const Options& options = {});
// The verdict on what Gather found: the reasons and their levels, hence the exit code.
void Judge(StatusResult& r, const Options& options = {});
std::string FormatText(const StatusResult& r);
std::string FormatJson(const StatusResult& r);

// The /STATUS run: gathers (with "AUDIT" the stock audit too), writes the text (or with "JSON" the
// JSON object) to the standard output, and returns the exit code.
int RunStatusCheck(const std::vector<std::string>& args, const Options& options = {});

}  // namespace service::status
