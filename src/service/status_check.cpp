#include "service/status_check.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <exception>
#include <thread>

#include "common/messages.h"
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
using messages::Format;

int StatusResult::ExitCode() const {
  // The worst found wins; "cannot tell" only when nothing wrong was found.
  if (!critical.empty()) return kCritical;
  if (!warning.empty()) return kWarning;
  if (!unknown.empty()) return kUnknown;
  return kOk;
}

void StatusResult::Add(int level, const messages::Text& text) {
  switch (level) {
    case kCritical: critical.push_back(text.str()); break;
    case kWarning: warning.push_back(text.str()); break;
    case kUnknown: unknown.push_back(text.str()); break;
    default: notes.push_back(text.str()); break;
  }
  if (level == kCritical || level == kWarning) attention.push_back(text.str());
}

namespace {

constexpr std::uint64_t kMaxRecordBytes = 1 << 20;  // a record is a few hundred bytes

// What the check is waiting for, for a time-out to name.
constexpr int kBusyLocal = 1, kBusyCentral = 2, kBusyService = 4;
std::atomic<int> g_busy{0};
struct Busy {
  int bit;
  explicit Busy(int b) : bit(b) { g_busy |= bit; }
  ~Busy() { g_busy &= ~bit; }
};
constexpr std::uint64_t kLogTailBytes = 64 * 1024;  // enough for the last lines of any log

std::string ReadWholeFile(const std::string& path, std::uint64_t limit) {
  os::File f(path, os::File::Mode::kReadOwn);
  const std::uint64_t size = f.Size();
  if (size > limit) throw std::runtime_error("grande demais (" + std::to_string(size) + " bytes)");
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
  os::File f(path, os::File::Mode::kReadOwn);
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
      os::File probe(r.settings_file, settings::SettingsFileMode());
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
    for (const std::string& n : localdb::DefaultClientLibraries()) names += (names.empty() ? "" : ", depois ") + n;
    vendor.meaning = "os nomes padrão: " + names;
  }
  r.settings.push_back(vendor);
  Setting monitor = ReadSetting(ini, "MonitorarComando", "0");
  monitor.meaning = ini.ReadBool(settings::kSettingsSection, "MonitorarComando", false) ? "registro detalhado ligado"
                                                                                        : "registro detalhado desligado";
  r.settings.push_back(monitor);
  Setting audit = ReadSetting(ini, "AuditoriaHora", std::to_string(replication::kDefaultAuditHour));
  const replication::AuditHour hour = replication::ParseAuditHour(audit.is_default ? std::string() : audit.value);
  audit.meaning = !hour.valid ? "não é uma hora (0 a 23, ou -1): o estoque é auditado todo dia às " + TwoDigits(hour.hour) + ":00"
                  : hour.hour < 0 ? std::string("o estoque não é auditado")
                                  : "o estoque é auditado todo dia às " + TwoDigits(hour.hour) + ":00";
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
  // Every file is judged before it loads, as the service judges it: one that others can change, or
  // that is not a Firebird client, never runs in this process either.
  auto refused = [&] {
    for (const localdb::RefusedLibrary& lib : conn.FDPhysFBDriverLink1.Manager().Refused())
      r.refused_libraries.push_back(
          lib.missing_function.empty()
              ? Format(messages::kStLibraryUntrusted, {lib.path, DescribeUntrustedPt(lib.untrusted)}).str()
              : Format(messages::kStLibraryNotClient, {lib.path, lib.missing_function}).str());
  };
  try {
    conn.FDPhysFBDriverLink1.Driver();
    r.library_loaded = true;
    r.library_file = conn.FDPhysFBDriverLink1.Manager().LoadedFile();
    r.library_path = conn.FDPhysFBDriverLink1.Manager().LoadedPath();
  } catch (const std::exception& e) {
    r.library_error = e.what();
    r.local_error = "nenhuma biblioteca cliente do Firebird pode ser carregada";
    refused();
    return;
  }
  refused();
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
      r.local_error = "a tabela PADRAO não tem registro, então o código da loja é desconhecido";
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
  // An answer the check waits for as long as for the connection, not the cycle's minute; both within
  // the check's own bound, so that a server that does not answer is named as such.
  const auto bound = std::chrono::duration_cast<decltype(c.ConnServer.timeouts.connect)>(options.timeout) * 2 / 5;
  if (bound.count() > 0 && bound < c.ConnServer.timeouts.connect) c.ConnServer.timeouts.connect = bound;
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
    r.central_error = std::string("o índice não pode ser lido: ") + e.what();
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

// Whether something is at `path` at all: a link, even one to nowhere, counts.
bool Present(const std::string& path) {
  if (os::FileExists(path)) return true;
  try {
    os::File probe(path, os::File::Mode::kReadOwn);
    return true;
  } catch (const os::ForeignFile&) {
    return true;
  } catch (const os::OsError&) {
    return false;
  }
}

// A file of the agent's that is not its own (a link, a device, a hard link, another account's):
// named, and never read, as this check may run as root where the service's account writes.
void NoteForeign(StatusResult& r, const std::string& what, const std::string& path, const os::ForeignFile& e) {
  r.foreign_files.push_back(Format(messages::kStForeignFile, {what, path, e.what()}).str());
}

// The stock audit against the central index just read, through the check's own connection.
void RunAudit(StatusResult& r, localdb::LocalConnection& conn, const Options& options) {
  const std::optional<std::int64_t> index = ParseIndex(r.index);
  if (!index || *index <= 0) {
    r.audit_error = "o Servidor Central ainda não tem índice para a loja: a carga inicial vem antes";
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
  r.record_exists = Present(r.record_file);
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
  } catch (const os::ForeignFile& e) {
    NoteForeign(r, "O registro de ciclos", r.record_file, e);
    r.record_error = e.what();
  } catch (const std::exception& e) {
    r.record_error = e.what();
  }
}

// The state file is read only for a load that may still wait; whether it is the agent's own is
// told whatever it holds.
void CheckStateFile(StatusResult& r) {
  const std::string path = replication::StateFilePath();
  try {
    os::File probe(path, os::File::Mode::kReadOwn);
  } catch (const os::ForeignFile& e) {
    NoteForeign(r, "O arquivo de estado", path, e);
  } catch (const os::OsError&) {
    // Missing or unreadable: the cycle starts it anew, and the check reads it no further.
  }
}

// Who but the machine's own accounts can change what the service runs. Never the service's
// account, whatever a file in its folders says: what it could write, root's check would load.
void CheckProgramFolder(StatusResult& r) {
  const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths(r.library_path, os::ProgramTrustees());
  if (!found.empty()) r.untrusted = DescribeUntrustedPt(found);
}

void ReadLog(StatusResult& r, std::size_t lines) {
  r.log_file = settings::LogDirectory() + settings::ActivityLog::FileNameFor(os::Now());
  r.log_exists = Present(r.log_file);
  if (!r.log_exists) return;
  try {
    r.log_tail = LastLines(r.log_file, lines);
  } catch (const os::ForeignFile& e) {
    NoteForeign(r, "O log de atividades", r.log_file, e);
    r.log_error = e.what();
  } catch (const std::exception& e) {
    r.log_error = e.what();
  }
}

std::string SameFile(std::string command) {
  if (command.size() >= 2 && command.front() == '"') command = command.substr(1, command.find('"', 1) - 1);
  return command;
}

// Rows held behind a gap, as the cycle record tells them.
messages::Text HeldText(const JsonValue& h) {
  auto number = [&](const char* key) {
    return h.contains(key) && h[key].is_number_integer() ? std::to_string(h[key].get<std::int64_t>()) : std::string("?");
  };
  std::string values = number("first");
  if (number("last") != values) values += " a " + number("last");
  std::string since;
  if (auto t = replication::ParseIsoTime(h.value("since", std::string()))) since = " desde " + DisplayTime(*t);
  const std::string holders = h.value("holders", std::string());
  return Format(messages::kStHeld,
                {number("rows"), values, since, holders.empty() ? "" : ": " + replication::OneLine(holders, 1000)});
}

// A whole number of a record's object, when it holds one.
std::optional<std::int64_t> Integer(const JsonValue& j, const char* key) {
  if (j.is_object() && j.contains(key) && j[key].is_number_integer()) return j[key].get<std::int64_t>();
  return std::nullopt;
}

std::string ServiceWord(const std::string& state) {
  if (state == StateName(1)) return "parado";
  if (state == StateName(2)) return "iniciando";
  if (state == StateName(3)) return "parando";
  if (state == StateName(4)) return "rodando";
  if (state == StateName(5)) return "retomando";
  if (state == StateName(6)) return "pausando";
  if (state == StateName(7)) return "pausado";
  return state;
}

}  // namespace

// The verdict, from what was found: critical when the store has not replicated for longer than the
// threshold or never will by itself, a warning when it is behind or a cycle failed, unknown when
// something essential could not be found out.
void Judge(StatusResult& r, const Options& options) {
  const std::string store = r.store_code ? "loja " + std::to_string(*r.store_code) : std::string("loja");
  if (!r.settings_exists) r.Add(kNote, Format(messages::kStNoSettings, {r.settings_file}));
  if (!r.settings_error.empty()) r.Add(kWarning, Format(messages::kStSettingsUnreadable, {r.settings_error}));
  if (!r.library_error.empty()) r.Add(kCritical, Format(messages::kStNoLibrary, {r.library_error}));
  else if (!r.local_error.empty())
    r.Add(kWarning, Format(messages::kStLocalFailed, {replication::OneLine(r.local_error, 1000)}));
  if (!r.central_error.empty())
    r.Add(kWarning, Format(messages::kStCentralFailed, {replication::OneLine(r.central_error, 1000)}));

  if (r.index_read) {
    const bool initial_load = r.index.empty() || r.index == "0";
    const std::optional<std::int64_t> index = ParseIndex(r.index);
    const std::string has = r.index_row ? "o índice \"" + r.index + "\"" : std::string("nenhum índice");
    if (initial_load && r.load_mark) {
      r.Add(kNote, Format(messages::kStLoadWaiting, {has, store, std::to_string(*r.load_mark)}));
    } else if (initial_load) {
      r.Add(kNote, Format(messages::kStLoadNext,
                          {has, store,
                           r.initial_load_rows ? " (" + std::to_string(*r.initial_load_rows) + " registros)" : ""}));
    } else if (index && r.outgoing_rows &&
               (r.generator_value ? *index > *r.generator_value
                                  : r.highest_sequencial && *index - 100 > *r.highest_sequencial)) {
      r.index_above_local = true;
      const std::string highest = r.highest_sequencial ? std::to_string(*r.highest_sequencial) : std::string("nenhum");
      r.Add(kCritical, Format(messages::kStRestored,
                              {store, r.index,
                               r.generator_value ? "do que o banco local numerou (gerador " + r.generator + " em " +
                                                       std::to_string(*r.generator_value) + ", maior SEQUENCIAL " +
                                                       highest + ")"
                                                 : "do maior SEQUENCIAL daqui (" + highest + ")"}));
    }
  }

  if (!r.rows_waiting_error.empty())
    r.Add(kCritical, Format(messages::kStRowsUnselectable,
                            {store, r.index, replication::OneLine(r.rows_waiting_error, 1000)}));

  for (const Setting& setting : r.settings)
    if (setting.key == "AuditoriaHora" && !setting.is_default && !replication::ParseAuditHour(setting.value).valid)
      r.Add(kNote, Format(messages::kStAuditHourInvalid,
                          {setting.value, TwoDigits(replication::ParseAuditHour(setting.value).hour) + ":00"}));
  if (r.audit_asked && !r.audit)
    r.Add(kUnknown, Format(messages::kStAuditNotDone, {replication::OneLine(r.audit_error, 1000)}));
  if (r.audit && !r.audit->differences.empty())
    r.Add(kWarning, Format(messages::kStAuditDiffers, {std::to_string(r.audit->differences.size()),
                                                       std::to_string(r.audit->products)}));

  // The service.
  const host::ServiceQuery& s = r.service;
  if (!s.known) {
    r.Add(kUnknown, Format(messages::kStServiceUnknown, {s.error}));
  } else if (!s.installed && s.state == StateName(1)) {
    r.Add(kCritical, Format(messages::kStNotInstalled));
  } else if (s.state == StateName(1)) {
    r.Add(kCritical, Format(messages::kStNotRunning, {s.detail.empty() ? std::string() : " (" + s.detail + ")"}));
  } else if (s.state == StateName(7)) {
    r.Add(kNote, Format(messages::kStPaused));
  } else if (s.state != StateName(4)) {
    r.Add(kNote, Format(messages::kStChanging, {ServiceWord(s.state)}));
  }
  // Windows paths ignore letter case; two Linux paths that differ only in case are rare enough.
  if (s.installed && !s.command.empty() && !text::EqualsIgnoreCase(SameFile(s.command), r.executable))
    r.Add(kNote, Format(messages::kStOtherCopy, {s.command, r.executable}));

  if (!r.untrusted.empty()) r.Add(kWarning, Format(messages::kStUntrusted, {r.untrusted}));
  for (const std::string& t : r.refused_libraries) {
    r.warning.push_back(t);
    r.attention.push_back(t);
  }
  for (const std::string& t : r.foreign_files) {
    r.warning.push_back(t);
    r.attention.push_back(t);
  }

  const JsonValue j = r.record_text.empty() ? JsonValue() : JsonValue::parse(r.record_text, nullptr, false);
  const bool runs = s.state == StateName(4) || s.state == StateName(7);
  // A service that runs but has finished no cycle for three cycles and an answer's time-out is
  // hung (or its process gone without a word); its process alone cannot tell.
  if (runs && j.is_object()) {
    std::optional<TimePoint> last;
    std::int64_t took_ms = 0;
    if (j.contains("last_cycle") && j["last_cycle"].is_object()) {
      last = replication::ParseIsoTime(j["last_cycle"].value("end", std::string()));
      if (auto d = Integer(j["last_cycle"], "duration_ms")) took_ms = std::clamp<std::int64_t>(*d, 0, 86400000);
    }
    if (!last && j.contains("counters") && j["counters"].is_object())
      last = replication::ParseIsoTime(j["counters"].value("since", std::string()));
    const auto cycle = std::chrono::milliseconds(TTavrimondoClient::kTimerInterval) + std::chrono::milliseconds(took_ms);
    const auto limit = 3 * cycle + std::chrono::milliseconds(central::kExchangeTimeout.count());
    if (last && r.checked_at - *last > limit)
      r.Add(kCritical,
            Format(messages::kStHung, {DisplayTime(*last),
                                       replication::DisplayDuration(
                                           std::chrono::duration_cast<std::chrono::milliseconds>(r.checked_at - *last)),
                                       s.state == StateName(7) ? "pausado" : "rodando"}));
  }

  // The last cycle.
  if (!r.record_error.empty()) r.Add(kNote, Format(messages::kStRecordUnreadable, {r.record_error}));
  if (j.is_object()) {
    if (j.contains("last_cycle") && j["last_cycle"].is_object()) {
      const JsonValue& c = j["last_cycle"];
      if (c.value("outcome", std::string()) == replication::OutcomeName(replication::CycleOutcome::kFailed)) {
        std::string when;
        if (auto t = replication::ParseIsoTime(c.value("end", std::string()))) when = " (" + DisplayTime(*t) + ")";
        r.Add(kWarning, Format(messages::kStLastCycleFailed,
                               {when, replication::OneLine(c.value("error", std::string("(sem mensagem)")), 1000)}));
        // Failing for longer than the threshold: the store does not replicate.
        if (j.contains("counters") && j["counters"].is_object()) {
          const JsonValue& n = j["counters"];
          const std::int64_t failures = Integer(n, "consecutive_failures").value_or(0);
          // A service that has not succeeded since it started counts from its start.
          const auto time_of = [&](const char* key) {
            return n.contains(key) && n[key].is_string() ? replication::ParseIsoTime(n[key].get<std::string>())
                                                         : std::nullopt;
          };
          std::optional<TimePoint> since = time_of("last_success");
          if (!since) since = time_of("since");
          if (failures > 0 && since && r.checked_at - *since >= options.critical_after)
            r.Add(kCritical, Format(messages::kStFailingSince,
                                    {DisplayTime(*since),
                                     replication::DisplayDuration(
                                         std::chrono::duration_cast<std::chrono::milliseconds>(r.checked_at - *since)),
                                     std::to_string(failures)}));
        }
      }
      if (c.contains("held") && c["held"].is_object()) {
        // Rows wait behind a gap that an open transaction may still fill: a cycle or two is an ERP
        // at work, a minute is a store behind, and after ten someone should look at that
        // transaction (it is passed at thirty).
        const JsonValue& h = c["held"];
        const auto since = replication::ParseIsoTime(h.value("since", std::string()));
        const auto held_for = since ? r.checked_at - *since : std::chrono::system_clock::duration::zero();
        r.Add(held_for >= replication::GapTracker::Limits{}.report_after ? kCritical
              : held_for >= std::chrono::minutes(1)                        ? kWarning
                                                                            : kNote,
              HeldText(h));
      }
    } else if (runs) {
      r.Add(kNote, Format(messages::kStNoCycleYet));
    }
  }
}


StatusResult Gather(const Options& options) {
  StatusResult r;
  r.checked_at = std::chrono::system_clock::now();
  r.executable = os::ExeName();
  try {
    // The service's account, whose files in the data folders are the agent's own, as the service
    // manager has it: never from the files being read.
    os::SetAgentAccounts(options.service_accounts ? options.service_accounts()
                                                  : host::ServiceAccounts(kServiceName, /*ask_manager=*/true));
    ReadSettings(r);
    r.central_host = SettingValue(r, "ServidorCentral");
    r.local_server = SettingValue(r, "Servidor");
    r.local_database = SettingValue(r, "Caminho");

    // Both servers at once, so that two time-outs cost the time of one.
    localdb::LocalConnection local;
    central::CentralConnection central;
    std::exception_ptr local_failure, central_failure;
    std::thread local_thread([&] {
      Busy busy(kBusyLocal);
      try {
        CheckLocal(r, local);
      } catch (...) {
        local_failure = std::current_exception();
      }
    });
    try {
      Busy busy(kBusyCentral);
      ConnectCentral(r, central, options);
    } catch (...) {
      central_failure = std::current_exception();
    }
    local_thread.join();
    if (local_failure) r.local_error = MessageOf(local_failure);
    if (central_failure) r.central_error = MessageOf(central_failure);

    {
      Busy busy(kBusyCentral);
      if (r.central_connected && r.store_code) ReadIndex(r, central);
      central.ConnServer.SetConnected(false);
    }
    {
      Busy busy(kBusyLocal);
      if (r.index_read && r.local_connected && r.store_code) CountWaiting(r, local);
      r.audit_asked = options.audit;
      if (options.audit) {
        if (r.index_read && r.local_connected && r.store_code) RunAudit(r, local, options);
        else r.audit_error = "os dois servidores precisam responder";
      }
      local.ConnQuelbrant.SetConnected(false);
    }

    host::RecordedService recorded;
    ReadRecord(r, recorded);
    CheckStateFile(r);
    CheckProgramFolder(r);
    {
      Busy busy(kBusyService);
      r.service = options.query_service ? options.query_service(recorded) : host::QueryService(kServiceName, recorded);
    }
    ReadLog(r, options.log_lines);
    Judge(r, options);
  } catch (const std::exception& e) {
    r.Add(kUnknown, Format(messages::kStStoppedEarly, {e.what()}));
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
  if (d.count() < 60000) return ", há " + std::to_string(d.count() / 1000) + " s";
  return ", há " + replication::DisplayDuration(d);
}

std::string TimeOf(const JsonValue& j, const char* key, TimePoint now, bool ago = false) {
  if (!j.contains(key) || !j[key].is_string()) return "nunca";
  auto t = replication::ParseIsoTime(j[key].get<std::string>());
  if (!t) return j[key].get<std::string>();
  return DisplayTime(*t) + (ago ? Ago(*t, now) : "");
}

std::string Count(const JsonValue& j, const char* key) {
  return j.contains(key) && j[key].is_number_integer() ? std::to_string(j[key].get<std::int64_t>()) : "?";
}

std::string OutcomeWord(const std::string& outcome) {
  using replication::CycleOutcome;
  if (outcome == replication::OutcomeName(CycleOutcome::kSent)) return "enviou";
  if (outcome == replication::OutcomeName(CycleOutcome::kIdle)) return "nada a enviar";
  if (outcome == replication::OutcomeName(CycleOutcome::kFailed)) return "FALHOU";
  if (outcome == replication::OutcomeName(CycleOutcome::kStoppedEarly)) return "parou antes do fim";
  return outcome;
}

std::string ResultWord(int code) {
  switch (code) {
    case kOk: return "OK";
    case kWarning: return "ATENÇÃO";
    case kCritical: return "CRÍTICO";
    default: return "INDETERMINADO";
  }
}

// The first line, as monitoring plugins give it: the state, what matters most, and figures for
// graphs after "|".
std::string PluginLine(const StatusResult& r) {
  const int code = r.ExitCode();
  std::string what;
  if (code == kCritical) what = r.critical.front();
  else if (code == kWarning) what = r.warning.front();
  else if (code == kUnknown) what = r.unknown.front();
  else
    what = (r.store_code ? "a loja " + std::to_string(*r.store_code) : std::string("a loja")) + " replica" +
           (r.rows_waiting ? "; " + std::to_string(*r.rows_waiting) + " registro(s) aguardam o próximo ciclo" : "");
  std::string line = std::string("TAVRIMONDO ") + ResultName(code) + " - " + replication::OneLine(what, 400);
  std::string perf;
  if (r.rows_waiting) perf += " aguardando=" + std::to_string(*r.rows_waiting);
  const JsonValue j = r.record_text.empty() ? JsonValue() : JsonValue::parse(r.record_text, nullptr, false);
  if (j.is_object() && j.contains("counters") && j["counters"].is_object())
    if (auto f = Integer(j["counters"], "consecutive_failures")) perf += " falhas_seguidas=" + std::to_string(*f);
  if (!perf.empty()) line += " |" + perf;
  return line;
}

}  // namespace

const char* ResultName(int exit_code) {
  switch (exit_code) {
    case kOk: return "OK";
    case kWarning: return "WARNING";
    case kCritical: return "CRITICAL";
    default: return "UNKNOWN";
  }
}

std::string FormatText(const StatusResult& r) {
  std::string o;
  // Much of what is shown came from outside (servers, the database, files others may write):
  // nothing in it may steer the terminal, start a line of its own or reorder what follows.
  auto line = [&](const std::string& s) { o += text::ForTerminal(s) + "\n"; };
  line(PluginLine(r));
  line("Verificação do Tavrimondo, " + DisplayTime(r.checked_at));
  const int code = r.ExitCode();
  line("Resultado: " + ResultWord(code) + " (" +
       (ResultWord(code) == ResultName(code) ? std::string() : std::string(ResultName(code)) + ", ") +
       "código de saída " + std::to_string(code) + ")");
  for (const std::string& s : r.critical) line("  !! " + s);
  for (const std::string& s : r.warning) line("  ! " + s);
  for (const std::string& s : r.unknown) line("  ? " + s);
  for (const std::string& s : r.notes) line("  - " + s);
  line("");

  line("Arquivo de configurações: " + r.settings_file + (r.settings_exists ? "" : " (não existe)"));
  for (const Setting& s : r.settings) {
    std::string v = s.value.empty() ? "(vazio)" : s.value;
    if (s.is_default) v += "  (padrão)";
    if (!s.meaning.empty()) v += "  " + s.meaning;
    line("  " + Pad(s.key, 18) + v);
  }
  line("Biblioteca cliente: " +
       (r.library_loaded ? r.library_file : "nenhuma carrega: " + replication::OneLine(r.library_error, 1000)));
  line("");

  line("Banco local: " + r.local_server + ":" + r.local_database);
  if (r.local_connected)
    line(std::string("  Conexão:             conectado") + (r.local_second_password ? " (com a segunda senha)" : ""));
  else
    line("  Conexão:             FALHOU");
  if (!r.local_error.empty()) line("  Erro:                " + replication::OneLine(r.local_error, 1000));
  if (r.store_code) line("  Código da loja:      " + std::to_string(*r.store_code));
  if (r.outgoing_rows)
    line("  Log de saída:        " + std::to_string(*r.outgoing_rows) + " registro(s), maior SEQUENCIAL " +
         (r.highest_sequencial ? std::to_string(*r.highest_sequencial) : std::string("nenhum")));
  line("");

  line("Servidor Central: " + (r.central_host.empty() ? std::string("(sem host)") : r.central_host) + ", porta " +
       r.central_port);
  line(std::string("  Conexão:             ") + (r.central_connected ? "conectado" : "FALHOU"));
  if (!r.central_error.empty()) line("  Erro:                " + replication::OneLine(r.central_error, 1000));
  if (r.index_read)
    line("  Índice da loja:      " +
         (r.index_row ? (r.index.empty() ? std::string("(vazio)") : r.index) : "a loja não tem linha") +
         (r.index_above_local ? "  ACIMA DO QUE O BANCO LOCAL NUMEROU" : ""));
  else if (r.central_connected && !r.store_code)
    line("  Índice da loja:      não lido (o código da loja vem do banco local)");
  if (!r.rows_waiting_error.empty())
    line("  Aguardando envio:    não podem ser contados: " + replication::OneLine(r.rows_waiting_error, 1000));
  if (r.rows_waiting)
    line("  Aguardando envio:    " + std::to_string(*r.rows_waiting) +
         (r.initial_load_rows ? " (e " + std::to_string(*r.initial_load_rows) + " da carga inicial por vir)" : ""));
  line("");

  if (r.audit_asked) {
    line("Auditoria do estoque (agora, só leitura):");
    if (!r.audit) {
      line("  Não feita:           " + replication::OneLine(r.audit_error, 1000));
    } else {
      const replication::AuditFindings& a = *r.audit;
      line("  Produtos:            " + std::to_string(a.products) + " lido(s), " + std::to_string(a.differences.size()) +
           " diferente(s) do Servidor Central (índice " + r.index + ")");
      line("  Levou:               " + replication::DisplayDuration(r.audit_took) + " em " + std::to_string(a.steps) +
           " etapa(s) (a mais longa " + replication::DisplayDuration(a.longest_step) + "), " +
           (a.by_index ? std::string("os registros de cada produto buscados por um índice em CODIGOPRODUTO")
                       : "o log de saída lido uma vez (" + std::to_string(a.log_rows) + " registros)"));
      if (!a.differences.empty()) line("  Diferenças:          produto: loja / Servidor Central");
      for (std::size_t i = 0; i < a.differences.size() && i < kAuditTextLines; ++i) {
        const replication::StockDifference& d = a.differences[i];
        line("    " + d.product + ": " + replication::FormatStock(d.store, ',') + " / " +
             (d.logged ? replication::FormatStock(*d.logged, ',') : std::string("nunca enviado")));
      }
      if (a.differences.size() > kAuditTextLines)
        line("    ... e mais " + std::to_string(a.differences.size() - kAuditTextLines));
    }
    line("");
  }

  const host::ServiceQuery& s = r.service;
  std::string svc = s.known ? ServiceWord(s.state) : "desconhecido (" + s.error + ")";
  if (s.pid) svc += ", processo " + std::to_string(s.pid);
  line("Serviço: " + svc);
  if (s.known)
    line(std::string("  Instalado:           ") + (s.installed ? "sim" + (s.command.empty() ? "" : ", " + s.command) : "não"));
  if (!s.detail.empty()) line("  Nota:                " + s.detail);

  line("Registro de ciclos: " + r.record_file + (r.record_exists ? "" : " (ainda não existe)"));
  if (!r.record_error.empty()) line("  Erro:                " + r.record_error);
  if (!r.record_text.empty()) {
    const JsonValue j = JsonValue::parse(r.record_text, nullptr, false);
    if (j.is_object()) {
      if (j.contains("last_cycle") && j["last_cycle"].is_object()) {
        const JsonValue& c = j["last_cycle"];
        line("  Último ciclo:        " + TimeOf(c, "start", r.checked_at, true) + ", levou " +
             replication::DisplayDuration(std::chrono::milliseconds(c.value("duration_ms", std::int64_t{0}))) + ": " +
             OutcomeWord(c.value("outcome", std::string("?"))));
        line("  Registros:           " + Count(c, "rows_read") + " lidos, " + Count(c, "rows_accepted") + " aceitos, " +
             Count(c, "rows_rejected") + " recusados");
        const std::string before = c.value("index_before", std::string()), after = c.value("index_after", std::string());
        if (before == after)
          line("  Índice:              " + (before.empty() ? std::string("nenhum") : before));
        else
          line("  Índice:              " + (before.empty() ? std::string("nenhum") : before) + " -> " + after);
        const std::string error = c.value("error", std::string());
        if (!error.empty()) line("  Erro:                " + replication::OneLine(error, 1000));
        if (c.contains("held") && c["held"].is_object()) line("  Retidos:             " + HeldText(c["held"]).str());
      } else {
        line("  Último ciclo:        nenhum ainda");
      }
      if (j.contains("counters") && j["counters"].is_object()) {
        const JsonValue& n = j["counters"];
        line("  Desde " + TimeOf(n, "since", r.checked_at) + ": " + Count(n, "cycles") + " ciclos (" + Count(n, "sent") +
             " enviaram, " + Count(n, "idle") + " sem nada a enviar, " + Count(n, "failed") + " falharam, " +
             Count(n, "stopped_early") + " pararam antes do fim), " + Count(n, "rows_sent") + " registros enviados, " +
             Count(n, "rows_rejected") + " recusados");
        line("  Último sucesso:      " + TimeOf(n, "last_success", r.checked_at, true));
        line("  Último envio:        " + TimeOf(n, "last_sent", r.checked_at, true));
        line("  Última falha:        " + TimeOf(n, "last_failure", r.checked_at, true) +
             (Count(n, "consecutive_failures") != "0" ? ", " + Count(n, "consecutive_failures") + " seguida(s)" : ""));
      }
      if (j.contains("last_audit") && j["last_audit"].is_object()) {
        const JsonValue& a = j["last_audit"];
        std::string what = Count(a, "products") + " produto(s) lido(s), " + Count(a, "differing") + " diferente(s), " +
                           Count(a, "relogged") + " reenviado(s)";
        const std::string error = a.value("error", std::string());
        if (!error.empty()) what = "NÃO TERMINOU: " + replication::OneLine(error, 1000) + " (" + what + ")";
        line("  Última auditoria:    " + TimeOf(a, "start", r.checked_at, true) + ", levou " +
             replication::DisplayDuration(std::chrono::milliseconds(a.value("duration_ms", std::int64_t{0}))) + ": " +
             what);
      } else {
        line("  Última auditoria:    nenhuma registrada");
      }
      if (j.contains("written") && j["written"].is_string())
        line("  Gravado:             " + TimeOf(j, "written", r.checked_at, true));
    }
  }
  line("");

  if (!r.log_exists) {
    line("Log de atividades: " + r.log_file + " (nada registrado neste mês)");
  } else if (!r.log_error.empty()) {
    line("Log de atividades: " + r.log_file + " não pode ser lido: " + r.log_error);
  } else {
    line("Log de atividades: " + r.log_file + ", últimas " + std::to_string(r.log_tail.size()) + " linhas:");
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
  j["result"] = text::ToLowerAscii(ResultName(code));
  j["exit_code"] = code;
  j["critical"] = r.critical;
  j["warning"] = r.warning;
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
  j["client_library"] = {{"loaded", r.library_loaded},
                         {"file", TextOrNull(r.library_file)},
                         {"error", TextOrNull(r.library_error)},
                         {"refused", r.refused_libraries}};
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
  if (FindCmdLineSwitch(args, "AUDIT")) {
    options.audit = true;
    options.timeout = options.audit_timeout;
  }
  // "/TIMEOUT N": the whole check within N seconds.
  for (std::size_t i = 0; i + 1 < args.size(); ++i) {
    const std::string& a = args[i];
    if (a.size() > 1 && (a[0] == '-' || a[0] == '/') && text::EqualsIgnoreCase(a.substr(1), "TIMEOUT")) {
      int seconds = 0;
      const std::string& v = args[i + 1];
      auto [p, ec] = std::from_chars(v.data(), v.data() + v.size(), seconds);
      if (ec != std::errc() || p != v.data() + v.size() || seconds < 1 || seconds > 3600) {
        os::WriteStdout("TAVRIMONDO UNKNOWN - -timeout quer um número de segundos entre 1 e 3600, não \"" +
                        text::ForTerminal(v) + "\"\n");
        return kUnknown;
      }
      options.timeout = std::chrono::seconds(seconds);
    }
  }
  auto write = [&](const StatusResult& r) {
    std::string out;
    try {
      out = json ? FormatJson(r) : FormatText(r);
    } catch (const std::exception& e) {
      os::WriteStdout("TAVRIMONDO UNKNOWN - " + Format(messages::kStOutputFailed, {e.what()}).str() + "\n");
      return kUnknown;
    }
    if (!os::WriteStdout(out)) return kUnknown;
    return r.ExitCode();
  };

  // The check runs beside this thread, which answers at the time-out with what could not be found
  // out: a monitoring tool must never wait on a server that does not answer.
  struct Shared {
    std::mutex mu;
    std::condition_variable cv;
    bool done = false;
    StatusResult result;
  };
  auto shared = std::make_shared<Shared>();
  std::thread worker([shared, options] {
    StatusResult r = Gather(options);
    std::lock_guard lock(shared->mu);
    shared->result = std::move(r);
    shared->done = true;
    shared->cv.notify_all();
  });
  {
    std::unique_lock lock(shared->mu);
    if (shared->cv.wait_for(lock, options.timeout, [&] { return shared->done; })) {
      lock.unlock();
      worker.join();
      return write(shared->result);
    }
  }
  worker.detach();
  StatusResult late;
  late.checked_at = std::chrono::system_clock::now();
  const int busy = g_busy.load();
  std::string who;
  auto add = [&](const char* name) { who += (who.empty() ? "" : " e ") + std::string(name); };
  if (busy & kBusyLocal) add("o banco local");
  if (busy & kBusyCentral) add("o Servidor Central");
  if (busy & kBusyService) add("o gerenciador de serviços");
  if (who.empty()) who = "a verificação";
  late.Add(kUnknown, Format(messages::kStTimedOut, {std::to_string(options.timeout.count()), who}));
  const int code = write(late);
  // The check still waits on a server: the process ends without it.
  os::EndProcessNow(code);
}

}  // namespace service::status
