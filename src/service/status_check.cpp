#include "service/status_check.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <charconv>
#include <exception>
#include <thread>

#include "common/text.h"
#include "connections/central/central_connection.h"
#include "connections/local/local_connection.h"
#include "platform/os.h"
#include "platform/status_io.h"
#include "replication/replication_state.h"
#include "replication/sequence_gaps.h"
#include "service/folder_trust.h"
#include "service/service.h"
#include "service/service_application.h"
#include "service/tavrimondo_client.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "settings/ini_file.h"
#include "settings/text_file.h"

namespace service::status {

using JsonValue = nlohmann::ordered_json;
using replication::DisplayTime;
using replication::TimePoint;

int StatusResult::ExitCode() const {
  if (!attention.empty()) return kNeedsAttention;
  if (!unknown.empty()) return kCannotTell;
  return kHealthy;
}

namespace {

constexpr std::uint64_t kMaxRecordBytes = 1 << 20;  // a record is a few hundred bytes
constexpr std::uint64_t kLogTailBytes = 64 * 1024;  // enough for the last lines of any log

std::string ReadWholeFile(const std::string& path, std::uint64_t limit) {
  os::File f(path, os::File::Mode::kRead);
  const std::uint64_t size = f.Size();
  if (size > limit) throw std::runtime_error("it is too large (" + std::to_string(size) + " bytes)");
  std::string bytes(static_cast<std::size_t>(size), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t n = f.ReadAt(got, bytes.data() + got, bytes.size() - got);
    if (n == 0) break;
    got += n;
  }
  bytes.resize(got);
  return bytes;
}

// The last `n` lines of a text file in the agent's encodings, reading only its end.
std::vector<std::string> LastLines(const std::string& path, std::size_t n) {
  os::File f(path, os::File::Mode::kRead);
  const std::uint64_t size = f.Size();
  char head[3];
  const std::size_t head_n = f.ReadAt(0, head, sizeof head);
  settings::DetectedEncoding enc = settings::DetectEncoding(std::string_view(head, head_n));
  std::uint64_t from = size > enc.bom_size + kLogTailBytes ? size - kLogTailBytes : enc.bom_size;
  const bool utf16 = enc.encoding == settings::FileEncoding::kUtf16LE || enc.encoding == settings::FileEncoding::kUtf16BE;
  if (utf16 && (from - enc.bom_size) % 2 != 0) ++from;
  std::string bytes(static_cast<std::size_t>(size - from), '\0');
  std::size_t got = 0;
  while (got < bytes.size()) {
    const std::size_t r = f.ReadAt(from + got, bytes.data() + got, bytes.size() - got);
    if (r == 0) break;
    got += r;
  }
  bytes.resize(got);
  // Without a mark, a Linux log is UTF-8 (one copied from Windows is not): judged by the lines
  // read, from the first whole one.
  if (enc.bom_size == 0 && os::UnmarkedTextIsUtf8()) {
    const std::size_t whole = from > 0 ? std::min(bytes.find('\n'), bytes.size()) : 0;
    if (text::IsValidUtf8(std::string_view(bytes).substr(whole))) enc.encoding = settings::FileEncoding::kUtf8;
  }
  std::vector<std::string> lines = settings::SplitLines(settings::DecodeText(bytes, enc.encoding));
  if (from > enc.bom_size && !lines.empty()) lines.erase(lines.begin());  // cut through the middle
  if (lines.size() > n) lines.erase(lines.begin(), lines.end() - static_cast<std::ptrdiff_t>(n));
  return lines;
}

std::optional<std::int64_t> ParseIndex(const std::string& s) {
  std::int64_t v = 0;
  const char* b = s.data();
  const char* e = s.data() + s.size();
  while (b < e && *b == ' ') ++b;
  while (e > b && e[-1] == ' ') --e;
  if (b < e && *b == '+') ++b;
  auto [p, ec] = std::from_chars(b, e, v);
  if (ec != std::errc() || p != e || b == e) return std::nullopt;
  return v;
}

std::string TwoDigits(int n) { return (n < 10 ? "0" : "") + std::to_string(n); }

// Reads a key as the service does, and tells whether it was missing (the default then counts):
// two reads with two different defaults give both defaults back only when the key is missing.
Setting ReadSetting(const settings::TIniFile& ini, const std::string& key, const std::string& def) {
  const std::string a = ini.ReadString(settings::kSettingsSection, key, std::string(1, '\x01'));
  const std::string b = ini.ReadString(settings::kSettingsSection, key, std::string(1, '\x02'));
  const bool missing = a == "\x01" && b == "\x02";
  return Setting{key, missing ? def : a, missing, ""};
}

void ReadSettings(StatusResult& r) {
  r.settings_file = settings::SettingsFilePath();
  r.settings_exists = os::FileExists(r.settings_file);
  if (r.settings_exists) {
    try {
      os::File probe(r.settings_file, os::File::Mode::kRead);
    } catch (const std::exception& e) {
      r.settings_error = e.what();
    }
  }
  const settings::TIniFile ini(r.settings_file);
  r.settings.push_back(ReadSetting(ini, "ServidorCentral", "localhost"));
  r.settings.push_back(ReadSetting(ini, "Servidor", "localhost"));
  r.settings.push_back(ReadSetting(ini, "Caminho", "C:\\TESTE SPED\\KORDANE.FDB"));
  Setting vendor = ReadSetting(ini, "VendorLib", "");
  if (vendor.value.empty()) {
    std::string names;
    for (const std::string& n : localdb::DefaultClientLibraries()) names += (names.empty() ? "" : ", then ") + n;
    vendor.meaning = "the default names: " + names;
  }
  r.settings.push_back(vendor);
  Setting monitor = ReadSetting(ini, "MonitorarComando", "0");
  monitor.meaning = ini.ReadBool(settings::kSettingsSection, "MonitorarComando", false) ? "verbose logging on"
                                                                                        : "verbose logging off";
  r.settings.push_back(monitor);
  Setting audit = ReadSetting(ini, "AuditoriaHora", std::to_string(replication::kDefaultAuditHour));
  const replication::AuditHour hour = replication::ParseAuditHour(audit.is_default ? std::string() : audit.value);
  audit.meaning = !hour.valid ? "not an hour (0 to 23, or -1): the stock is audited daily at " + TwoDigits(hour.hour) + ":00"
                  : hour.hour < 0 ? std::string("the stock is not audited")
                                  : "the stock is audited daily at " + TwoDigits(hour.hour) + ":00";
  r.settings.push_back(audit);
}

const std::string& SettingValue(const StatusResult& r, const std::string& key) {
  for (const Setting& s : r.settings)
    if (s.key == key) return s.value;
  static const std::string none;
  return none;
}

// The client library, the connection with the password fallback, the store code and the outgoing
// log's size; the connection stays open for the count of rows waiting.
void CheckLocal(StatusResult& r, localdb::LocalConnection& conn) {
  conn.FDPhysFBDriverLink1.VendorLib = SettingValue(r, "VendorLib");
  try {
    conn.FDPhysFBDriverLink1.Driver();
    r.library_loaded = true;
    r.library_file = conn.FDPhysFBDriverLink1.Manager().LoadedFile();
    r.library_path = conn.FDPhysFBDriverLink1.Manager().LoadedPath();
  } catch (const std::exception& e) {
    r.library_error = e.what();
    r.local_error = "no Firebird client library can be loaded";
    return;
  }
  const localdb::PasswordConnect attempt = localdb::ConnectWithPasswords(conn, r.local_server, r.local_database);
  if (!attempt.connected) {
    r.local_error = attempt.error;
    return;
  }
  r.local_second_password = attempt.second_password;
  r.local_connected = true;
  try {
    // Everything through the read-only transaction: the check cannot change the store.
    localdb::TFDQuery padrao("StatusPadrao", conn.ConnQuelbrant, conn.TransLeitura, localdb::kSqlPadrao);
    padrao.Open();
    if (padrao.IsEmpty()) {
      r.local_error = "the table PADRAO has no row, so the store code is unknown";
    } else {
      r.store_code = padrao.FieldByName("CODIGOLOJA").AsInteger();
    }
    padrao.Close();
    localdb::TFDQuery counts("StatusLog", conn.ConnQuelbrant, conn.TransLeitura,
                             "SELECT COUNT(*) AS LINHAS, MAX(SEQUENCIAL) AS MAIOR FROM RPL_LOGESTOQUE_ENV");
    counts.Open();
    r.outgoing_rows = counts.FieldByName("LINHAS").AsLargeInt();
    if (!counts.FieldByName("MAIOR").IsNull()) r.highest_sequencial = counts.FieldByName("MAIOR").AsLargeInt();
    counts.Close();
    // The generator tells a restored database from one whose newest rows were deleted.
    r.generator = localdb::LogGenerator(conn);
    if (!r.generator.empty()) r.generator_value = localdb::GeneratorValue(conn, r.generator);
  } catch (const std::exception& e) {
    r.local_error = e.what();
  }
}

void ConnectCentral(StatusResult& r, central::CentralConnection& c, const Options& options) {
  auto& params = c.ConnServer.Params;
  const int host = params.IndexOfName("HostName");
  if (host >= 0) params[host] = "HostName=" + r.central_host;
  else params.Add("HostName=" + r.central_host);
  if (options.central_port) params[params.IndexOfName("Port")] = "Port=" + std::to_string(options.central_port);
  r.central_port = params.Values("Port");
  // An answer the check waits for as long as for the connection, not the cycle's minute.
  c.ConnServer.timeouts.exchange = c.ConnServer.timeouts.connect;
  try {
    c.ConnServer.SetConnected(true);
    r.central_connected = true;
  } catch (const std::exception& e) {
    r.central_error = e.what();
  }
}

void ReadIndex(StatusResult& r, central::CentralConnection& c) {
  try {
    c.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(*r.store_code);
    c.CDSIndice.Open();
    r.index_row = !c.CDSIndice.IsEmpty();
    r.index = r.index_row ? c.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString() : std::string();
    r.index_read = true;
  } catch (const std::exception& e) {
    r.central_error = std::string("the index cannot be read: ") + e.what();
  }
  try {
    c.CDSIndice.Close();  // the provider's reset call
  } catch (const std::exception&) {
    // What was read stands; the connection is closed next anyway.
  }
}

void CountWaiting(StatusResult& r, localdb::LocalConnection& conn) {
  const bool initial_load = r.index.empty() || r.index == "0";
  try {
    // The cycle's own selection: rows above the index, compared by the database as the cycle does.
    localdb::TFDQuery waiting("StatusWaiting", conn.ConnQuelbrant, conn.TransLeitura,
                              "SELECT COUNT(*) AS LINHAS FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > :INDICE");
    localdb::TFDParam& indice = waiting.ParamByName("INDICE");
    indice = localdb::TFDParam("INDICE", localdb::TFDParam::DataType::kLargeint);
    indice.EmptyTextMeans = "0";
    indice.SetAsString(r.index);
    waiting.Open();
    r.rows_waiting = waiting.FieldByName("LINHAS").AsLargeInt();
    waiting.Close();
    if (initial_load) {
      // The last initial load may still be waiting to be sent: then the next cycle sends it
      // instead of loading again.
      try {
        const replication::ReplicationState state = replication::StateFile(replication::StateFilePath()).Read();
        if (state.load_mark != 0 && r.store_code && state.store == *r.store_code &&
            state.database == localdb::DatabaseName(conn)) {
          localdb::TFDQuery mark("StatusMark", conn.ConnQuelbrant, conn.TransLeitura, localdb::kSqlExisteSequencial);
          mark.ParamByName("SEQUENCIAL").SetAsLargeInt(state.load_mark);
          mark.Open();
          if (mark.FieldByName("EXISTE").AsLargeInt() > 0) r.load_mark = state.load_mark;
          mark.Close();
        }
      } catch (const replication::StateFileError&) {
        // The cycle discards a damaged state file and loads; so does this account of it.
      }
    }
    if (initial_load && !r.load_mark) {
      localdb::TFDQuery load("StatusLoad", conn.ConnQuelbrant, conn.TransLeitura,
                             "SELECT COUNT(*) AS LINHAS FROM PRODUTOS WHERE COALESCE(ESTOQUEATUAL, 0.000) <> 0.000");
      load.Open();
      r.initial_load_rows = load.FieldByName("LINHAS").AsLargeInt();
      load.Close();
    }
  } catch (const std::exception& e) {
    r.rows_waiting_error = e.what();
  }
}

// The stock audit against the central index just read, through the check's own connection.
void RunAudit(StatusResult& r, localdb::LocalConnection& conn, const Options& options) {
  const std::optional<std::int64_t> index = ParseIndex(r.index);
  if (!index || *index <= 0) {
    r.audit_error = "the central server has no index for the store yet: the initial load comes first";
    return;
  }
  const auto t0 = std::chrono::steady_clock::now();
  try {
    replication::AuditFindings found;
    replication::AuditStock(conn, *index, options.audit_pacing, {}, found);
    r.audit = std::move(found);
  } catch (const std::exception& e) {
    r.audit_error = e.what();
  }
  r.audit_took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

void ReadRecord(StatusResult& r, host::RecordedService& recorded) {
  r.record_file = replication::CycleRecordPath();
  r.record_exists = os::FileExists(r.record_file);
  if (!r.record_exists) return;
  try {
    // Only the fields a record has are kept: whatever else the file holds is never walked.
    const std::string text = replication::SafeCycleRecord(ReadWholeFile(r.record_file, kMaxRecordBytes));
    const JsonValue j = JsonValue::parse(text);
    r.record_text = text;
    if (j.contains("service") && j["service"].is_object()) {
      const JsonValue& s = j["service"];
      recorded.pid = s.value("pid", 0);
      recorded.state = s["state"].is_string() ? s["state"].get<std::string>() : std::string();
      recorded.exe = s.value("exe", std::string());
    }
  } catch (const std::exception& e) {
    r.record_error = e.what();
  }
}

// Who but the machine's own accounts can change what the service runs. The service's own account
// is trusted too: the one that writes the cycle record.
void CheckProgramFolder(StatusResult& r) {
  std::vector<os::AccountId> trusted;
  if (r.record_exists) trusted = os::OwnersOf(r.record_file);
  const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths(r.library_path, trusted);
  if (!found.empty()) r.untrusted = DescribeUntrusted(found);
}

void ReadLog(StatusResult& r, std::size_t lines) {
  r.log_file = settings::AppDirectory() + settings::ActivityLog::FileNameFor(os::Now());
  r.log_exists = os::FileExists(r.log_file);
  if (!r.log_exists) return;
  try {
    r.log_tail = LastLines(r.log_file, lines);
  } catch (const std::exception& e) {
    r.log_error = e.what();
  }
}

std::string SameFile(std::string command) {
  if (command.size() >= 2 && command.front() == '"') command = command.substr(1, command.find('"', 1) - 1);
  return command;
}

// Rows held behind a gap, as the cycle record tells them.
std::string HeldText(const JsonValue& h) {
  auto number = [&](const char* key) {
    return h.contains(key) && h[key].is_number_integer() ? std::to_string(h[key].get<std::int64_t>()) : std::string("?");
  };
  std::string values = number("first");
  if (number("last") != values) values += " to " + number("last");
  const std::string rows = number("rows");
  std::string s = (rows == "?" ? std::string("Rows wait") : rows == "1" ? std::string("1 row waits") : rows + " rows wait") +
                  " behind SEQUENCIAL " + values;
  if (auto t = replication::ParseIsoTime(h.value("since", std::string()))) s += " since " + DisplayTime(*t);
  const std::string holders = h.value("holders", std::string());
  s += holders.empty() ? ", which an open transaction of the local database may still write"
                       : ", which an open transaction of the local database may still write: " + replication::OneLine(holders, 1000);
  return s;
}

// The verdict, from what was found.
void Judge(StatusResult& r) {
  const std::string store = r.store_code ? "store " + std::to_string(*r.store_code) : std::string("the store");
  if (!r.settings_exists)
    r.notes.push_back("There is no settings file " + r.settings_file + ": every setting is its default.");
  if (!r.settings_error.empty())
    r.attention.push_back("The settings file cannot be read (" + r.settings_error +
                          "): the service runs on the defaults.");
  if (!r.library_error.empty()) r.attention.push_back("No Firebird client library can be loaded: " + r.library_error);
  else if (!r.local_error.empty())
    r.attention.push_back("The local database cannot be used: " + replication::OneLine(r.local_error, 1000));
  if (!r.central_error.empty())
    r.attention.push_back("The central server cannot be used: " + replication::OneLine(r.central_error, 1000));

  if (r.index_read) {
    const bool initial_load = r.index.empty() || r.index == "0";
    const std::optional<std::int64_t> index = ParseIndex(r.index);
    if (initial_load && r.load_mark) {
      r.notes.push_back(std::string("The central server has ") +
                        (r.index_row ? "the index \"" + r.index + "\"" : "no index") + " for " + store +
                        ": the initial load already written (up to SEQUENCIAL " + std::to_string(*r.load_mark) +
                        ") is still waiting to be sent; the next cycle sends it instead of loading again.");
    } else if (initial_load) {
      std::string s = std::string("The central server has ") + (r.index_row ? "the index \"" + r.index + "\"" : "no index") +
                      " for " + store + ": the next cycle first seeds the outgoing log with the stock of every product";
      if (r.initial_load_rows) s += " (" + std::to_string(*r.initial_load_rows) + " rows)";
      r.notes.push_back(s + ".");
    } else if (index && r.outgoing_rows &&
               (r.generator_value ? *index > *r.generator_value
                                  : r.highest_sequencial && *index - 100 > *r.highest_sequencial)) {
      r.index_above_local = true;
      const std::string highest = r.highest_sequencial ? std::to_string(*r.highest_sequencial) : std::string("none");
      r.attention.push_back("The central server's index for " + store + " (" + r.index + ") is above " +
                            (r.generator_value ? "what the local database has numbered (generator " + r.generator +
                                                     " at " + std::to_string(*r.generator_value) +
                                                     ", highest SEQUENCIAL " + highest + ")"
                                               : "the highest SEQUENCIAL here (" + highest + ")") +
                            ": the store database was restored or replaced. New rows numbered up to " + r.index +
                            " will never be sent until its generator is set past the index (see the activity log for "
                            "the command).");
    }
  }

  if (!r.rows_waiting_error.empty())
    r.attention.push_back("The rows above the central server's index for " + store + " (\"" + r.index +
                          "\") cannot be selected, and no cycle can select them either: " +
                          replication::OneLine(r.rows_waiting_error, 1000));

  for (const Setting& setting : r.settings)
    if (setting.key == "AuditoriaHora" && !setting.is_default && !replication::ParseAuditHour(setting.value).valid)
      r.notes.push_back("AuditoriaHora=" + setting.value + " is " + setting.meaning + ".");
  if (r.audit_asked && !r.audit) r.unknown.push_back("The stock audit could not be done: " + replication::OneLine(r.audit_error, 1000));
  if (r.audit && !r.audit->differences.empty())
    r.attention.push_back(std::to_string(r.audit->differences.size()) + " of " + std::to_string(r.audit->products) +
                          " products have a stock on the central server that is not the store's (listed under Stock "
                          "audit); the service's next audit sends their stock again.");

  // The service.
  const host::ServiceQuery& s = r.service;
  if (!s.known) {
    r.unknown.push_back("The service's state cannot be found out: " + s.error);
  } else if (!s.installed && s.state == StateName(1)) {
    r.attention.push_back("The service is not installed and not running here, so nothing replicates.");
  } else if (s.state == StateName(1)) {
    r.attention.push_back("The service is not running, so nothing replicates" +
                          (s.detail.empty() ? std::string() : " (" + s.detail + ")") + ".");
  } else if (s.state == StateName(7)) {
    r.notes.push_back("The service is paused; its cycles go on all the same.");
  } else if (s.state != StateName(4)) {
    r.notes.push_back("The service is changing state (" + s.state + ").");
  }
  // Windows paths ignore letter case; two Linux paths that differ only in case are rare enough.
  if (s.installed && !s.command.empty() && !text::EqualsIgnoreCase(SameFile(s.command), r.executable))
    r.notes.push_back("The installed service runs " + s.command + ", not this copy (" + r.executable +
                      "): this check reads this copy's settings, record and log.");

  if (!r.untrusted.empty())
    r.attention.push_back("Others can change what the service runs with full rights: " + r.untrusted +
                          ". Let only the administrators change the program's folder and what it holds.");

  // A service that runs but has finished no cycle for three cycles and an answer's time-out is
  // hung (or its process gone without a word); its process alone cannot tell.
  if ((s.state == StateName(4) || s.state == StateName(7)) && !r.record_text.empty()) {
    const JsonValue j = JsonValue::parse(r.record_text, nullptr, false);
    std::optional<TimePoint> last;
    std::int64_t took_ms = 0;
    if (j.contains("last_cycle") && j["last_cycle"].is_object()) {
      last = replication::ParseIsoTime(j["last_cycle"].value("end", std::string()));
      if (j["last_cycle"].contains("duration_ms") && j["last_cycle"]["duration_ms"].is_number_integer())
        took_ms = std::clamp<std::int64_t>(j["last_cycle"]["duration_ms"].get<std::int64_t>(), 0, 86400000);
    }
    if (!last && j.contains("counters") && j["counters"].is_object())
      last = replication::ParseIsoTime(j["counters"].value("since", std::string()));
    const auto cycle = std::chrono::milliseconds(TTavrimondoClient::kTimerInterval) + std::chrono::milliseconds(took_ms);
    const auto limit = 3 * cycle + std::chrono::milliseconds(central::kExchangeTimeout.count());
    if (last && r.checked_at - *last > limit)
      r.attention.push_back("No cycle completed since " + DisplayTime(*last) + " (" +
                            replication::DisplayDuration(std::chrono::duration_cast<std::chrono::milliseconds>(
                                r.checked_at - *last)) +
                            " ago), though the service " + (s.state == StateName(7) ? "is paused" : "runs") +
                            ": it may be hung.");
  }

  // The last cycle.
  if (!r.record_error.empty()) r.notes.push_back("The cycle record cannot be read: " + r.record_error);
  if (!r.record_text.empty()) {
    const JsonValue j = JsonValue::parse(r.record_text, nullptr, false);
    if (j.is_object() && j.contains("last_cycle") && j["last_cycle"].is_object()) {
      const JsonValue& c = j["last_cycle"];
      if (c.value("outcome", std::string()) == replication::OutcomeName(replication::CycleOutcome::kFailed)) {
        std::string when;
        if (auto t = replication::ParseIsoTime(c.value("end", std::string()))) when = " (" + DisplayTime(*t) + ")";
        r.attention.push_back("The last cycle failed" + when + ": " +
                              replication::OneLine(c.value("error", std::string("(no message)")), 1000));
      }
      if (c.contains("held") && c["held"].is_object()) {
        // Rows wait behind a gap that an open transaction may still fill; after ten minutes
        // someone should look at that transaction (it is passed at thirty).
        const JsonValue& h = c["held"];
        const auto since = replication::ParseIsoTime(h.value("since", std::string()));
        std::string text = HeldText(h);
        if (since && r.checked_at - *since >= replication::GapTracker::Limits{}.report_after)
          r.attention.push_back(text + ".");
        else
          r.notes.push_back(text + ".");
      }
    } else if (s.state == StateName(4) || s.state == StateName(7)) {
      r.notes.push_back("The service has not finished a cycle yet.");
    }
  }
}

}  // namespace

StatusResult Gather(const Options& options) {
  StatusResult r;
  r.checked_at = std::chrono::system_clock::now();
  r.executable = os::ExeName();
  try {
    ReadSettings(r);
    r.central_host = SettingValue(r, "ServidorCentral");
    r.local_server = SettingValue(r, "Servidor");
    r.local_database = SettingValue(r, "Caminho");

    // Both servers at once, so that two time-outs cost the time of one.
    localdb::LocalConnection local;
    central::CentralConnection central;
    std::exception_ptr local_failure, central_failure;
    std::thread local_thread([&] {
      try {
        CheckLocal(r, local);
      } catch (...) {
        local_failure = std::current_exception();
      }
    });
    try {
      ConnectCentral(r, central, options);
    } catch (...) {
      central_failure = std::current_exception();
    }
    local_thread.join();
    if (local_failure) r.local_error = MessageOf(local_failure);
    if (central_failure) r.central_error = MessageOf(central_failure);

    if (r.central_connected && r.store_code) ReadIndex(r, central);
    central.ConnServer.SetConnected(false);
    if (r.index_read && r.local_connected && r.store_code) CountWaiting(r, local);
    r.audit_asked = options.audit;
    if (options.audit) {
      if (r.index_read && r.local_connected && r.store_code) RunAudit(r, local, options);
      else r.audit_error = "both servers must answer";
    }
    local.ConnQuelbrant.SetConnected(false);

    host::RecordedService recorded;
    ReadRecord(r, recorded);
    CheckProgramFolder(r);
    r.service = options.query_service ? options.query_service(recorded) : host::QueryService(kServiceName, recorded);
    ReadLog(r, options.log_lines);
    Judge(r);
  } catch (const std::exception& e) {
    r.unknown.push_back(std::string("The check stopped early: ") + e.what());
  }
  return r;
}

// ---- plain text --------------------------------------------------------------------------------

namespace {

std::string Pad(const std::string& s, std::size_t width) {
  std::size_t chars = 0;
  text::ForEachCodePoint(s, [&](char32_t) { ++chars; });
  return chars >= width ? s + " " : s + std::string(width - chars, ' ');
}

std::string Ago(TimePoint then, TimePoint now) {
  const auto d = std::chrono::duration_cast<std::chrono::milliseconds>(now - then);
  if (d.count() < 0) return "";
  if (d.count() < 60000) return ", " + std::to_string(d.count() / 1000) + " s ago";
  return ", " + replication::DisplayDuration(d) + " ago";
}

std::string TimeOf(const JsonValue& j, const char* key, TimePoint now, bool ago = false) {
  if (!j.contains(key) || !j[key].is_string()) return "never";
  auto t = replication::ParseIsoTime(j[key].get<std::string>());
  if (!t) return j[key].get<std::string>();
  return DisplayTime(*t) + (ago ? Ago(*t, now) : "");
}

std::string Count(const JsonValue& j, const char* key) {
  return j.contains(key) && j[key].is_number_integer() ? std::to_string(j[key].get<std::int64_t>()) : "?";
}

}  // namespace

std::string FormatText(const StatusResult& r) {
  std::string o;
  // Much of what is shown came from outside (servers, the database, files others may write):
  // nothing in it may steer the terminal, start a line of its own or reorder what follows.
  auto line = [&](const std::string& s) { o += text::ForTerminal(s) + "\n"; };
  line("Tavrimondo status check, " + DisplayTime(r.checked_at));
  const int code = r.ExitCode();
  line(std::string("Result: ") +
       (code == kHealthy ? "HEALTHY" : code == kNeedsAttention ? "NEEDS ATTENTION" : "CANNOT TELL") +
       " (exit code " + std::to_string(code) + ")");
  for (const std::string& s : r.attention) line("  ! " + s);
  for (const std::string& s : r.unknown) line("  ? " + s);
  for (const std::string& s : r.notes) line("  - " + s);
  line("");

  line("Settings file: " + r.settings_file + (r.settings_exists ? "" : " (missing)"));
  for (const Setting& s : r.settings) {
    std::string v = s.value.empty() ? "(empty)" : s.value;
    if (s.is_default) v += "  (default)";
    if (!s.meaning.empty()) v += "  " + s.meaning;
    line("  " + Pad(s.key, 18) + v);
  }
  line("Client library: " + (r.library_loaded ? r.library_file : "none loads: " + replication::OneLine(r.library_error, 1000)));
  line("");

  line("Local database: " + r.local_server + ":" + r.local_database);
  if (r.local_connected)
    line(std::string("  Connection:          connected") + (r.local_second_password ? " (with the second password)" : ""));
  else
    line("  Connection:          FAILED");
  if (!r.local_error.empty()) line("  Error:               " + replication::OneLine(r.local_error, 1000));
  if (r.store_code) line("  Store code:          " + std::to_string(*r.store_code));
  if (r.outgoing_rows)
    line("  Outgoing log:        " + std::to_string(*r.outgoing_rows) + " rows, highest SEQUENCIAL " +
         (r.highest_sequencial ? std::to_string(*r.highest_sequencial) : std::string("none")));
  line("");

  line("Central server: " + (r.central_host.empty() ? std::string("(no host)") : r.central_host) + ", port " +
       r.central_port);
  line(std::string("  Connection:          ") + (r.central_connected ? "connected" : "FAILED"));
  if (!r.central_error.empty()) line("  Error:               " + replication::OneLine(r.central_error, 1000));
  if (r.index_read)
    line("  Index for the store: " + (r.index_row ? (r.index.empty() ? std::string("(empty)") : r.index) : "no row for the store") +
         (r.index_above_local ? "  ABOVE THE LOCAL HIGHEST SEQUENCIAL" : ""));
  else if (r.central_connected && !r.store_code)
    line("  Index for the store: not read (the store code comes from the local database)");
  if (!r.rows_waiting_error.empty())
    line("  Rows waiting:        cannot be counted: " + replication::OneLine(r.rows_waiting_error, 1000));
  if (r.rows_waiting)
    line("  Rows waiting:        " + std::to_string(*r.rows_waiting) +
         (r.initial_load_rows ? " (and " + std::to_string(*r.initial_load_rows) + " from the initial load to come)" : ""));
  line("");

  if (r.audit_asked) {
    line("Stock audit (now, read-only):");
    if (!r.audit) {
      line("  Not done:            " + replication::OneLine(r.audit_error, 1000));
    } else {
      const replication::AuditFindings& a = *r.audit;
      line("  Products:            " + std::to_string(a.products) + " read, " + std::to_string(a.differences.size()) +
           " differ from the central server (index " + r.index + ")");
      line("  Took:                " + replication::DisplayDuration(r.audit_took) + " in " + std::to_string(a.steps) +
           " steps (the longest " + replication::DisplayDuration(a.longest_step) + "), " +
           (a.by_index ? std::string("each product's rows looked up by an index on CODIGOPRODUTO")
                       : "the outgoing log read once (" + std::to_string(a.log_rows) + " rows)"));
      if (!a.differences.empty()) line("  Differences:         product: store / central server");
      for (std::size_t i = 0; i < a.differences.size() && i < kAuditTextLines; ++i) {
        const replication::StockDifference& d = a.differences[i];
        line("    " + d.product + ": " + replication::FormatStock(d.store, '.') + " / " +
             (d.logged ? replication::FormatStock(*d.logged, '.') : std::string("never sent")));
      }
      if (a.differences.size() > kAuditTextLines)
        line("    ... and " + std::to_string(a.differences.size() - kAuditTextLines) + " more");
    }
    line("");
  }

  const host::ServiceQuery& s = r.service;
  std::string svc = s.known ? s.state : "unknown (" + s.error + ")";
  if (s.pid) svc += ", process " + std::to_string(s.pid);
  line("Service: " + svc);
  if (s.known)
    line(std::string("  Installed:           ") + (s.installed ? "yes" + (s.command.empty() ? "" : ", " + s.command) : "no"));
  if (!s.detail.empty()) line("  Note:                " + s.detail);

  line("Cycle record: " + r.record_file + (r.record_exists ? "" : " (none yet)"));
  if (!r.record_error.empty()) line("  Error:               " + r.record_error);
  if (!r.record_text.empty()) {
    const JsonValue j = JsonValue::parse(r.record_text, nullptr, false);
    if (j.is_object()) {
      if (j.contains("last_cycle") && j["last_cycle"].is_object()) {
        const JsonValue& c = j["last_cycle"];
        line("  Last cycle:          " + TimeOf(c, "start", r.checked_at, true) + ", took " +
             replication::DisplayDuration(std::chrono::milliseconds(c.value("duration_ms", std::int64_t{0}))) + ": " +
             c.value("outcome", std::string("?")));
        line("  Rows:                " + Count(c, "rows_read") + " read, " + Count(c, "rows_accepted") + " accepted, " +
             Count(c, "rows_rejected") + " rejected");
        const std::string before = c.value("index_before", std::string()), after = c.value("index_after", std::string());
        if (before == after)
          line("  Index:               " + (before.empty() ? std::string("none") : before));
        else
          line("  Index:               " + (before.empty() ? std::string("none") : before) + " -> " + after);
        const std::string error = c.value("error", std::string());
        if (!error.empty()) line("  Error:               " + replication::OneLine(error, 1000));
        if (c.contains("held") && c["held"].is_object()) line("  Held:                " + HeldText(c["held"]));
      } else {
        line("  Last cycle:          none yet");
      }
      if (j.contains("counters") && j["counters"].is_object()) {
        const JsonValue& n = j["counters"];
        line("  Since " + TimeOf(n, "since", r.checked_at) + ": " + Count(n, "cycles") + " cycles (" + Count(n, "sent") +
             " sent, " + Count(n, "idle") + " idle, " + Count(n, "failed") + " failed, " + Count(n, "stopped_early") +
             " stopped early), " + Count(n, "rows_sent") + " rows sent, " + Count(n, "rows_rejected") + " rejected");
        line("  Last success:        " + TimeOf(n, "last_success", r.checked_at, true));
        line("  Last send:           " + TimeOf(n, "last_sent", r.checked_at, true));
        line("  Last failure:        " + TimeOf(n, "last_failure", r.checked_at, true) +
             (Count(n, "consecutive_failures") != "0" ? ", " + Count(n, "consecutive_failures") + " in a row" : ""));
      }
      if (j.contains("last_audit") && j["last_audit"].is_object()) {
        const JsonValue& a = j["last_audit"];
        std::string what = Count(a, "products") + " products read, " + Count(a, "differing") + " differing, " +
                           Count(a, "relogged") + " sent again";
        const std::string error = a.value("error", std::string());
        if (!error.empty()) what = "DID NOT FINISH: " + replication::OneLine(error, 1000) + " (" + what + ")";
        line("  Last audit:          " + TimeOf(a, "start", r.checked_at, true) + ", took " +
             replication::DisplayDuration(std::chrono::milliseconds(a.value("duration_ms", std::int64_t{0}))) + ": " +
             what);
      } else {
        line("  Last audit:          none recorded");
      }
      if (j.contains("written") && j["written"].is_string()) line("  Written:             " + TimeOf(j, "written", r.checked_at, true));
    }
  }
  line("");

  if (!r.log_exists) {
    line("Activity log: " + r.log_file + " (nothing logged this month)");
  } else if (!r.log_error.empty()) {
    line("Activity log: " + r.log_file + " cannot be read: " + r.log_error);
  } else {
    line("Activity log: " + r.log_file + ", last " + std::to_string(r.log_tail.size()) + " lines:");
    for (const std::string& l : r.log_tail) line("  " + l);
  }
  return o;
}

// ---- JSON --------------------------------------------------------------------------------------

namespace {

JsonValue TextOrNull(const std::string& s) { return s.empty() ? JsonValue(nullptr) : JsonValue(s); }

template <class T>
JsonValue OptionalOrNull(const std::optional<T>& v) {
  return v ? JsonValue(*v) : JsonValue(nullptr);
}

}  // namespace

std::string FormatJson(const StatusResult& r) {
  JsonValue j;
  j["checked_at"] = replication::FormatIsoTime(r.checked_at);
  const int code = r.ExitCode();
  j["result"] = code == kHealthy ? "healthy" : code == kNeedsAttention ? "needs attention" : "cannot tell";
  j["exit_code"] = code;
  j["attention"] = r.attention;
  j["unknown"] = r.unknown;
  j["notes"] = r.notes;
  j["executable"] = r.executable;

  JsonValue values = JsonValue::object();
  for (const Setting& s : r.settings) {
    JsonValue v;
    v["value"] = s.value;
    v["default"] = s.is_default;
    if (!s.meaning.empty()) v["meaning"] = s.meaning;
    values[s.key] = v;
  }
  j["settings"] = {{"file", r.settings_file},
                   {"exists", r.settings_exists},
                   {"error", TextOrNull(r.settings_error)},
                   {"values", values}};
  j["client_library"] = {
      {"loaded", r.library_loaded}, {"file", TextOrNull(r.library_file)}, {"error", TextOrNull(r.library_error)}};
  j["local"] = {{"server", r.local_server},
                {"database", r.local_database},
                {"connected", r.local_connected},
                {"second_password", r.local_second_password},
                {"error", TextOrNull(r.local_error)},
                {"store_code", OptionalOrNull(r.store_code)},
                {"outgoing_rows", OptionalOrNull(r.outgoing_rows)},
                {"highest_sequencial", OptionalOrNull(r.highest_sequencial)},
                {"generator", TextOrNull(r.generator)},
                {"generator_value", OptionalOrNull(r.generator_value)},
                {"initial_load_rows", OptionalOrNull(r.initial_load_rows)},
                {"load_mark", OptionalOrNull(r.load_mark)}};
  const std::optional<std::int64_t> port = ParseIndex(r.central_port);
  j["central"] = {{"host", r.central_host},
                  {"port", port ? JsonValue(*port) : JsonValue(r.central_port)},
                  {"connected", r.central_connected},
                  {"error", TextOrNull(r.central_error)},
                  {"index_row", r.index_read ? JsonValue(r.index_row) : JsonValue(nullptr)},
                  {"index", r.index_read ? JsonValue(r.index) : JsonValue(nullptr)},
                  {"rows_waiting", OptionalOrNull(r.rows_waiting)},
                  {"rows_waiting_error", TextOrNull(r.rows_waiting_error)},
                  {"index_above_local", r.index_above_local}};
  if (r.audit_asked) {
    JsonValue audit;
    audit["done"] = r.audit.has_value();
    audit["error"] = TextOrNull(r.audit_error);
    if (r.audit) {
      const replication::AuditFindings& a = *r.audit;
      audit["products"] = a.products;
      audit["differing"] = a.differences.size();
      audit["duration_ms"] = r.audit_took.count();
      audit["steps"] = a.steps;
      audit["longest_step_ms"] = a.longest_step.count();
      audit["by_index"] = a.by_index;
      audit["log_rows"] = a.log_rows;
      // Stocks as decimal texts: exact, as the central server's field holds them.
      JsonValue list = JsonValue::array();
      for (std::size_t i = 0; i < a.differences.size() && i < kAuditJsonEntries; ++i) {
        const replication::StockDifference& d = a.differences[i];
        list.push_back({{"product", d.product},
                        {"store", replication::FormatStock(d.store, '.')},
                        {"central", d.logged ? JsonValue(replication::FormatStock(*d.logged, '.')) : JsonValue(nullptr)}});
      }
      audit["differences"] = list;
    }
    j["audit"] = audit;
  } else {
    j["audit"] = nullptr;
  }
  const host::ServiceQuery& s = r.service;
  j["service"] = {{"known", s.known},
                  {"installed", s.installed},
                  {"state", TextOrNull(s.state)},
                  {"pid", s.pid ? JsonValue(s.pid) : JsonValue(nullptr)},
                  {"command", TextOrNull(s.command)},
                  {"detail", TextOrNull(s.detail)},
                  {"error", TextOrNull(s.error)}};
  JsonValue record = r.record_text.empty() ? JsonValue(nullptr) : JsonValue::parse(r.record_text, nullptr, false);
  if (record.is_discarded()) record = nullptr;
  j["record"] = {{"file", r.record_file}, {"error", TextOrNull(r.record_error)}, {"content", record}};
  j["activity_log"] = {
      {"file", r.log_file}, {"exists", r.log_exists}, {"error", TextOrNull(r.log_error)}, {"last_lines", r.log_tail}};
  // Every character beyond ASCII escaped: a terminal showing the object shows no control of
  // anyone's.
  return j.dump(2, ' ', true, JsonValue::error_handler_t::replace) + "\n";
}

int RunStatusCheck(const std::vector<std::string>& args, const Options& given) {
  const bool json = FindCmdLineSwitch(args, "JSON");
  Options options = given;
  if (FindCmdLineSwitch(args, "AUDIT")) options.audit = true;
  StatusResult r = Gather(options);
  std::string out;
  try {
    out = json ? FormatJson(r) : FormatText(r);
  } catch (const std::exception& e) {
    os::WriteStdout(std::string("The status check failed: ") + e.what() + "\n");
    return kCannotTell;
  }
  if (!os::WriteStdout(out)) return kCannotTell;
  return r.ExitCode();
}

}  // namespace service::status
