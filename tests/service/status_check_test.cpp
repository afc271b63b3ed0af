// The status check against a store database on the real Firebird server and the stand-in central
// server process: what it finds, its verdict, its JSON form, and that it changes nothing. The
// service manager's answer is the one seam (the daemon tests ask the real one).
#include "service/status_check.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <nlohmann/json.hpp>

#include "fb_test_env.h"
#include "server_process.h"
#include "replication/cycle_record.h"
#include "service/tavrimondo_client.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "test_util.h"

namespace {

namespace status = service::status;
using Json = nlohmann::json;

constexpr int kLoja = 7;

service::host::ServiceQuery Service(const char* state, bool installed = true, bool known = true) {
  service::host::ServiceQuery q;
  q.known = known;
  q.installed = installed;
  q.state = known ? state : "";
  q.pid = std::string(state) == "stopped" ? 0 : 4321;
  if (!known) q.error = "Access is denied.";
  return q;
}

bool Mentions(const std::vector<std::string>& lines, const std::string& what) {
  for (const auto& l : lines)
    if (l.find(what) != std::string::npos) return true;
  return false;
}

class StatusCheckTest : public ::testing::Test {
 protected:
  testutil::TempDir app;
  fbtest::StoreDb store;
  fbtest::CentralDb central_db;
  std::unique_ptr<testutil::ServerProcess> central;
  std::uint16_t central_port = 0;
  service::host::ServiceQuery service_state = Service("running");

  void SetUp() override {
    settings::SetAppDirectoryOverride(app.path());
    Store("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, " + std::to_string(kLoja) + ")");
    WriteSettings(store.path());
  }
  void TearDown() override {
    central.reset();
    settings::SetAppDirectoryOverride("");
  }

  void WriteSettings(const std::string& caminho, const std::string& extra = "") {
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + caminho + "\r\nVendorLib=\r\n" + extra);
  }
  void StartCentral(std::vector<std::string> faults = {}) {
    std::vector<std::string> args = {"--firebird", central_db.path(), "--firebird-server", fbtest::Host(),
                                     "--firebird-password", fbtest::AdminPassword(), "--branch", std::to_string(kLoja)};
    args.insert(args.end(), faults.begin(), faults.end());
    std::filesystem::create_directories(app / "central");
    central = std::make_unique<testutil::ServerProcess>(TAVRIMONDO_CENTRAL_EXE, app / "central", args);
    central_port = central->port();
  }
  // A port nobody listens on any more.
  void CentralDown() {
    StartCentral();
    central.reset();
  }

  status::StatusResult Check() {
    status::Options o;
    o.central_port = central_port;
    o.query_service = [this](const service::host::RecordedService&) { return service_state; };
    return status::Gather(o);
  }

  void Store(const std::string& sql) { fbtest::Admin(store.path()).Exec(sql); }
  std::string StoreValue(const std::string& sql) { return fbtest::Admin(store.path()).Scalar(sql); }
  std::string CentralValue(const std::string& sql) { return fbtest::Admin(central_db.path()).Scalar(sql); }
  void AddOutgoing(int n) {
    fbtest::Admin db(store.path());
    for (int i = 1; i <= n; ++i)
      db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P" + std::to_string(i) + "', " +
              std::to_string(i) + ".5)");
  }
  // One cycle of the agent's own service object, which writes the cycle record.
  void AgentCycle() {
    replication::MainLoop loop;
    TTavrimondoClient agent(loop);
    auto& params = agent.Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(central_port);
    bool started = true;
    agent.ServiceStart(started);
    agent.Timer1Timer();
  }
  // The agent's folder, without the stand-in server's files.
  std::vector<std::string> AppFiles() {
    std::vector<std::string> names;
    for (auto& f : std::filesystem::directory_iterator(app.path()))
      if (f.is_regular_file() && f.path().filename().string().rfind("central", 0) != 0)
        names.push_back(f.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
  }
};

TEST_F(StatusCheckTest, HealthyStoreWithABacklogCountsItAndSaysSoInTextAndJson) {
  AddOutgoing(30);
  StartCentral();
  AgentCycle();  // sends the 30 rows: the central index is 30
  AddOutgoing(12);
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kOk) << status::FormatText(r);
  EXPECT_TRUE(r.attention.empty());
  EXPECT_TRUE(r.library_loaded);
  EXPECT_TRUE(r.local_connected);
  EXPECT_EQ(r.store_code, kLoja);
  EXPECT_EQ(r.outgoing_rows, 42);
  EXPECT_EQ(r.highest_sequencial, 42);
  EXPECT_TRUE(r.central_connected);
  EXPECT_EQ(r.index, "30");
  EXPECT_EQ(r.rows_waiting, 12);
  EXPECT_FALSE(r.index_above_local);

  const std::string text = status::FormatText(r);
  EXPECT_EQ(text.substr(0, text.find('\n')),
            "TAVRIMONDO OK - a loja 7 replica; 12 registro(s) aguardam o próximo ciclo | aguardando=12 falhas_seguidas=0");
  for (const char* expected : {"Resultado: OK (código de saída 0)\n", "  Código da loja:      7\n",
                               "  Log de saída:        42 registro(s), maior SEQUENCIAL 42\n", "  Índice da loja:      30\n",
                               "  Aguardando envio:    12\n", "  MonitorarComando  0  (padrão)  registro detalhado desligado\n",
                               "  Registros:           30 lidos, 30 aceitos, 0 recusados\n", "  Índice:              nenhum -> 30\n"})
    EXPECT_NE(text.find(expected), std::string::npos) << expected << "\n" << text;

  // The JSON form parsed back holds the same.
  const Json j = Json::parse(status::FormatJson(r));
  EXPECT_EQ(j["exit_code"], 0);
  EXPECT_EQ(j["result"], "ok");
  EXPECT_EQ(j["local"]["store_code"], kLoja);
  EXPECT_EQ(j["local"]["outgoing_rows"], 42);
  EXPECT_EQ(j["local"]["highest_sequencial"], 42);
  EXPECT_EQ(j["central"]["index"], "30");
  EXPECT_EQ(j["central"]["rows_waiting"], 12);
  EXPECT_EQ(j["central"]["port"], central_port);
  EXPECT_EQ(j["settings"]["values"]["Caminho"]["value"], store.path());
  EXPECT_EQ(j["settings"]["values"]["Caminho"]["default"], false);
  EXPECT_EQ(j["settings"]["values"]["VendorLib"]["default"], false);  // present, though empty
  EXPECT_EQ(j["settings"]["values"]["MonitorarComando"]["default"], true);
  EXPECT_EQ(j["service"]["state"], "running");
  EXPECT_EQ(j["record"]["content"]["last_cycle"]["outcome"], "sent");
  EXPECT_EQ(j["record"]["content"]["counters"]["rows_sent"], 30);
  EXPECT_EQ(j["activity_log"]["last_lines"].size(), 3u);  // the start's two connections and its line
}

TEST_F(StatusCheckTest, CentralDownIsAWarningWithItsError) {
  AddOutgoing(3);
  CentralDown();
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kWarning);
  EXPECT_FALSE(r.central_connected);
  ASSERT_FALSE(r.central_error.empty());
  EXPECT_TRUE(Mentions(r.attention, "O Servidor Central não pode ser usado: " + r.central_error)) << status::FormatText(r);
  EXPECT_EQ(r.outgoing_rows, 3);            // the local side is still told
  EXPECT_EQ(r.rows_waiting, std::nullopt);  // but not what waits above an index nobody gave
  EXPECT_EQ(Json::parse(status::FormatJson(r))["central"]["error"], r.central_error);
}

TEST_F(StatusCheckTest, UnreachableLocalDatabaseIsAWarning) {
  StartCentral();
  WriteSettings(fbtest::DatabaseDir() + "nao-existe.fdb");
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kWarning);
  EXPECT_FALSE(r.local_connected);
  EXPECT_NE(r.local_error.find("nao-existe.fdb"), std::string::npos) << r.local_error;
  EXPECT_TRUE(Mentions(r.attention, "O banco local não pode ser usado: ")) << status::FormatText(r);
  EXPECT_TRUE(r.central_connected);
  EXPECT_FALSE(r.index_read);  // the store code comes from the local database
  EXPECT_NE(status::FormatText(r).find("não lido (o código da loja vem do banco local)"), std::string::npos);
}

TEST_F(StatusCheckTest, IndexAboveTheLocalHighestIsFlagged) {
  AddOutgoing(30);
  StartCentral({"--index-text", "500"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kCritical);
  EXPECT_TRUE(r.index_above_local);
  EXPECT_EQ(r.rows_waiting, 0);
  EXPECT_TRUE(Mentions(r.critical, "(500) está acima do que o banco local numerou (gerador RDB$1 em 30, "
                                   "maior SEQUENCIAL 30): o banco da loja foi restaurado ou substituído"))
      << status::FormatText(r);
  EXPECT_EQ(Json::parse(status::FormatJson(r))["central"]["index_above_local"], true);
}

TEST_F(StatusCheckTest, AnIndexNoCycleCanUseIsFlagged) {
  AddOutgoing(3);
  StartCentral({"--index-text", "12abc"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kCritical);
  EXPECT_FALSE(r.rows_waiting_error.empty());
  EXPECT_TRUE(Mentions(r.critical, "Os registros acima do índice do Servidor Central para a loja 7 (\"12abc\") não podem ser selecionados"))
      << status::FormatText(r);
  EXPECT_TRUE(r.local_error.empty());  // the local database itself is fine
}

TEST_F(StatusCheckTest, ChangesNothingWhereACycleWouldLoadSendAndStamp) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 0)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('C', -1.5)");
  AddOutgoing(4);
  StartCentral();  // no index for the store yet: a cycle would seed, send and stamp
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kOk) << status::FormatText(r);
  EXPECT_EQ(r.index, "");
  EXPECT_EQ(r.rows_waiting, 4);
  EXPECT_EQ(r.initial_load_rows, 2);
  EXPECT_TRUE(Mentions(r.notes, "o próximo ciclo primeiro grava no log de saída o estoque de cada produto (2 registros)"));
  EXPECT_EQ(StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "4");
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC"), "0");
  EXPECT_EQ(CentralValue("SELECT COUNT(*) FROM FILIAIS WHERE RPL_ULTIMAATUALIZACAO IS NOT NULL"), "0");
  EXPECT_EQ(AppFiles(), std::vector<std::string>{"kordane.ini"});  // no log line, no record
}

// -status -audit: the differences listed, in text and JSON, and nothing written anywhere: not the
// store, not the central server, not the agent's files.
TEST_F(StatusCheckTest, TheAuditListsTheDifferencesAndChangesNothing) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 4)");
  StartCentral();
  AgentCycle();  // the initial load, sent
  AgentCycle();  // the audit that follows it: nothing differs
  Store("UPDATE PRODUTOS SET ESTOQUEATUAL = 2.5 WHERE CODIGO = 'A'");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('C', 0)");
  auto snapshot = [&] {
    std::vector<std::string> s = {StoreValue("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"),
                                  CentralValue("SELECT COUNT(*) FROM LOGESTOQUEREC")};
    for (const std::string& f : AppFiles()) s.push_back(f + ":" + testutil::ReadFile(app / f));
    return s;
  };
  const std::vector<std::string> before = snapshot();

  status::Options o;
  o.central_port = central_port;
  o.query_service = [this](const service::host::RecordedService&) { return service_state; };
  o.audit = true;
  o.audit_pacing.pause = std::chrono::milliseconds(1);
  o.audit_pacing.step_rows = 1;
  const status::StatusResult r = status::Gather(o);
  EXPECT_EQ(snapshot(), before);
  ASSERT_TRUE(r.audit) << r.audit_error;
  EXPECT_EQ(r.audit->products, 3);
  EXPECT_EQ(r.ExitCode(), status::kWarning);
  EXPECT_TRUE(Mentions(r.warning, "2 de 3 produto(s) têm no Servidor Central um estoque que não é o da loja"));
  const std::string text = status::FormatText(r);
  EXPECT_NE(text.find("  Diferenças:          produto: loja / Servidor Central\n    A: 2,5 / 3\n    C: 0 / nunca enviado\n"),
            std::string::npos)
      << text;
  EXPECT_NE(text.find("  Última auditoria:    "), std::string::npos) << text;
  const Json j = Json::parse(status::FormatJson(r));
  EXPECT_EQ(j["audit"]["differing"], 2);
  EXPECT_EQ(j["audit"]["differences"][0], (Json{{"product", "A"}, {"store", "2.5"}, {"central", "3"}}));
  EXPECT_EQ(j["audit"]["differences"][1]["central"], nullptr);

  // Without an index there is nothing to compare with yet.
  StartCentral({"--index-null"});
  o.central_port = central_port;
  const status::StatusResult fresh = status::Gather(o);
  EXPECT_FALSE(fresh.audit);
  EXPECT_TRUE(Mentions(fresh.unknown,
                       "A auditoria do estoque não pôde ser feita: o Servidor Central ainda não tem índice para a loja"));
}

// An initial load the central server has not stored yet is not run again, and the check says so.
TEST_F(StatusCheckTest, AnInitialLoadStillWaitingIsReportedInsteadOfAnotherToCome) {
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 3)");
  Store("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 4)");
  StartCentral({"--reject-seq", "1"});
  AgentCycle();  // seeds the log with two rows, which the central server refuses
  const status::StatusResult r = Check();
  EXPECT_EQ(r.load_mark, 2) << status::FormatText(r);
  EXPECT_FALSE(r.initial_load_rows);
  EXPECT_TRUE(Mentions(r.notes, "a carga inicial já gravada (até o SEQUENCIAL 2) ainda aguarda o envio"));
  EXPECT_EQ(Json::parse(status::FormatJson(r))["local"]["load_mark"], 2);
}

TEST_F(StatusCheckTest, TheServiceAndTheLastCycleDecideTheResult) {
  AddOutgoing(30);
  StartCentral({"--index-text", "30"});
  const struct {
    service::host::ServiceQuery service;
    int exit_code;
    const char* says;
  } cases[] = {
      {Service("running"), status::kOk, ""},
      {Service("paused"), status::kOk, "O serviço está pausado; seus ciclos continuam mesmo assim."},
      {Service("stopped"), status::kCritical, "O serviço não está rodando, então nada é replicado."},
      {Service("stopped", /*installed=*/false), status::kCritical, "O serviço não está instalado"},
      {Service("", true, /*known=*/false), status::kUnknown, "O estado do serviço não pode ser descoberto: Access is denied."},
  };
  for (const auto& c : cases) {
    service_state = c.service;
    const status::StatusResult r = Check();
    EXPECT_EQ(r.ExitCode(), c.exit_code) << c.says << "\n" << status::FormatText(r);
    EXPECT_NE(status::FormatText(r).find(c.says), std::string::npos) << c.says;
  }

  // A failed last cycle is a warning even when everything answers now.
  service_state = Service("running");
  CentralDown();
  AgentCycle();
  StartCentral({"--index-text", "30"});
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kWarning);
  EXPECT_TRUE(Mentions(r.warning, "O último ciclo falhou (")) << status::FormatText(r);
}

// A record no cycle has replaced for long means a hung agent, whatever its process looks like; a
// record someone crafted shows nothing but its known fields, and nothing that steers a terminal.
TEST_F(StatusCheckTest, AStaleRecordIsCriticalAndAHostileOneIsShownHarmlessly) {
  AddOutgoing(30);
  StartCentral({"--index-text", "30"});
  const std::string then = replication::FormatIsoTime(std::chrono::system_clock::now() - std::chrono::minutes(10));
  const std::string deep = std::string(100000, '[') + std::string(100000, ']');
  testutil::WriteFile(app / "Tavrimondo_cycle.json",
                      "{\"format\": 1, \"written\": \"" + then + "\", \"junk\": " + deep +
                          ", \"summary\": \"a\\r\\nb\", \"service\": {\"state\": \"running\", \"pid\": 1, \"extra\": " + deep +
                          "}, \"last_cycle\": {\"end\": \"" + then +
                          "\", \"duration_ms\": 120, \"outcome\": \"idle\", \"index_before\": \"30\\u001b[2J\\u001b[32mHEALTHY\", "
                          "\"index_after\": \"30\\u202e\", \"error\": \"\", \"held\": " + deep + "}}");
  const status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kCritical);
  EXPECT_TRUE(Mentions(r.critical, "Nenhum ciclo terminou desde ")) << status::FormatText(r);
  EXPECT_TRUE(Mentions(r.critical, "), embora o serviço esteja rodando: ele pode estar travado.")) << status::FormatText(r);

  const std::string text = status::FormatText(r);
  EXPECT_EQ(text.find('\x1B'), std::string::npos) << text;
  EXPECT_EQ(text.find("\xE2\x80\xAE"), std::string::npos) << "no bidi override";
  EXPECT_NE(text.find("  Índice:              30 [2J [32mHEALTHY -> 30\n"), std::string::npos) << text;

  const Json j = Json::parse(status::FormatJson(r));
  const Json& record = j["record"]["content"];
  EXPECT_FALSE(record.contains("junk"));
  EXPECT_FALSE(record["service"].contains("extra"));
  EXPECT_FALSE(record["last_cycle"].contains("held")) << "not a known object where it stands: dropped";
  EXPECT_EQ(record["last_cycle"]["index_before"], "30\x1B[2J\x1B[32mHEALTHY");
}

// Root's check reads files in a folder the service's account may write: none of them may take it
// anywhere else (a link to a root-only file, a second name of one, a pipe that would block it).
// Only a plain file of one name that root or the service's account owns is read; anything else is
// named, and not read.
TEST_F(StatusCheckTest, TheAgentsFilesAreReadOnlyWhenTheyAreItsOwn) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to give files other owners";
  StartCentral();
  testutil::TempDir elsewhere;
  const std::string secret = elsewhere / "shadow";
  const std::string secret_text = "SEGREDO-DE-ROOT {\"format\": 1}";
  testutil::WriteFile(secret, secret_text + "\n");
  ::chmod(secret.c_str(), 0600);
  const std::string month = settings::ActivityLog::FileNameFor(os::Now());
  const std::string files[] = {app / month, app / "Tavrimondo_cycle.json", app / "Tavrimondo_Estado.txt"};
  const std::string names[] = {"O log de atividades", "O registro de ciclos", "O arquivo de estado"};
  const std::string record = "{\"format\": 1, \"service\": {\"state\": \"running\", \"pid\": 1}}";

  auto make_secret_everywhere = [&](const std::function<void(const std::string&)>& plant) {
    for (const std::string& f : files) {
      std::filesystem::remove(f);
      plant(f);
    }
  };
  const struct {
    const char* how;
    std::function<void(const std::string&)> plant;
    const char* why;
  } cases[] = {
      {"a link", [&](const std::string& f) { ASSERT_EQ(::symlink(secret.c_str(), f.c_str()), 0); }, "it is a link"},
      {"a second name", [&](const std::string& f) { ASSERT_EQ(::link(secret.c_str(), f.c_str()), 0); }, "names (hard links)"},
      {"a pipe", [&](const std::string& f) { ASSERT_EQ(::mkfifo(f.c_str(), 0666), 0); }, "not a plain file"},
      {"another account's file",
       [&](const std::string& f) {
         testutil::WriteFile(f, record);
         ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
       },
       "belongs to nobody"},
  };
  for (const auto& c : cases) {
    make_secret_everywhere(c.plant);
    status::Options o;
    o.central_port = central_port;
    o.query_service = [this](const service::host::RecordedService&) { return service_state; };
    o.service_accounts = [] { return std::vector<os::AccountId>{}; };
    const status::StatusResult r = status::Gather(o);
    const std::string text = status::FormatText(r), json = status::FormatJson(r);
    EXPECT_EQ(text.find("SEGREDO"), std::string::npos) << c.how << "\n" << text;
    EXPECT_EQ(json.find("SEGREDO"), std::string::npos) << c.how << "\n" << json;
    EXPECT_TRUE(r.record_text.empty()) << c.how;
    for (std::size_t i = 0; i < 3; ++i) {
      EXPECT_TRUE(Mentions(r.attention, names[i] + " " + files[i] + " não é um arquivo do próprio agente (")) << c.how << "\n" << text;
      EXPECT_TRUE(Mentions(r.attention, c.why)) << c.how << "\n" << text;
    }
  }

  // The service's account, as the service manager names it (never as the file says), owns what
  // it writes: its record is read.
  make_secret_everywhere([&](const std::string& f) {
    testutil::WriteFile(f, record);
    ASSERT_EQ(::chown(f.c_str(), 65534, 65534), 0);
  });
  status::Options o;
  o.central_port = central_port;
  o.query_service = [this](const service::host::RecordedService&) { return service_state; };
  o.service_accounts = [] { return std::vector<os::AccountId>{"65534"}; };
  const status::StatusResult r = status::Gather(o);
  EXPECT_FALSE(r.record_text.empty());
  EXPECT_TRUE(r.foreign_files.empty()) << status::FormatText(r);
  for (const std::string& f : files) std::filesystem::remove(f);
}

TEST_F(StatusCheckTest, RowsHeldBehindAGapAreANoteThenAWarningThenCritical) {
  AddOutgoing(2);
  StartCentral({"--index-text", "2"});
  // A program of the store holds value 3 open; 4 is committed above it.
  fbtest::Admin erp(store.path());
  localdb::TFDTransaction tx(erp.connection(), false);
  tx.StartTransaction();
  localdb::TFDQuery("ERP", erp.connection(), tx, "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('X', 1)")
      .ExecSQL();
  AddOutgoing(1);
  AgentCycle();
  status::StatusResult r = Check();
  EXPECT_EQ(r.ExitCode(), status::kOk) << status::FormatText(r);
  EXPECT_TRUE(Mentions(r.notes, "1 registro(s) aguarda(m) atrás do SEQUENCIAL 3 desde ")) << status::FormatText(r);
  EXPECT_NE(status::FormatText(r).find("  Retidos:             1 registro(s) aguarda(m) atrás do SEQUENCIAL 3"),
            std::string::npos);
  EXPECT_TRUE(Mentions(r.notes, "que uma transação aberta do banco local ainda pode gravar: transação "));

  // Held for minutes the store is behind; for more than ten someone should look at that transaction.
  const std::string path = app / replication::kCycleRecordFileName;
  Json record = Json::parse(testutil::ReadFile(path));
  for (const auto& [minutes, code] : {std::pair{2, status::kWarning}, std::pair{11, status::kCritical}}) {
    record["last_cycle"]["held"]["since"] =
        replication::FormatIsoTime(std::chrono::system_clock::now() - std::chrono::minutes(minutes));
    testutil::WriteFile(path, record.dump());
    r = Check();
    EXPECT_EQ(r.ExitCode(), code) << minutes << " min";
    EXPECT_TRUE(Mentions(r.attention, "1 registro(s) aguarda(m) atrás do SEQUENCIAL 3")) << status::FormatText(r);
  }
  tx.Rollback();
}

TEST_F(StatusCheckTest, SecondPasswordIsUsedAsTheServiceWouldAndNothingIsLogged) {
  AddOutgoing(2);
  CentralDown();
  fbtest::SysdbaPassword changed(localdb::kSecondPassword);
  const status::StatusResult r = Check();
  EXPECT_TRUE(r.local_connected) << r.local_error;
  EXPECT_TRUE(r.local_second_password);
  EXPECT_EQ(r.outgoing_rows, 2);
  EXPECT_TRUE(fbtest::LogMessages(app.path()).empty());
}

}  // namespace

namespace {

// What a check found, as Judge weighs it: a store that answers, a running service and its record.
status::StatusResult Found(const std::string& outcome = "idle", int failures = 0,
                           std::chrono::minutes since_success = std::chrono::minutes(0),
                           std::chrono::minutes ended = std::chrono::minutes(0)) {
  const auto now = std::chrono::system_clock::now();
  status::StatusResult r;
  r.checked_at = now;
  r.settings_exists = true;
  r.library_loaded = true;
  r.local_connected = r.central_connected = r.index_read = r.index_row = true;
  r.store_code = kLoja;
  r.index = "30";
  r.outgoing_rows = r.highest_sequencial = r.generator_value = 30;
  r.rows_waiting = 0;
  r.service = Service("running");
  Json record = {{"format", 1},
                 {"last_cycle",
                  {{"end", replication::FormatIsoTime(now - ended)},
                   {"duration_ms", 50},
                   {"outcome", outcome},
                   {"error", outcome == "failed" ? "Cannot connect to central:2507" : ""}}},
                 {"counters",
                  {{"since", replication::FormatIsoTime(now - std::chrono::hours(1))},
                   {"consecutive_failures", failures},
                   {"last_success", replication::FormatIsoTime(now - since_success)}}}};
  r.record_text = record.dump();
  return r;
}

}  // namespace

// The exit code a monitoring tool sees for each state of a store: 0 OK, 1 WARNING (behind, or a
// failure), 2 CRITICAL (not replicating for longer than the threshold, or never by itself), 3
// UNKNOWN (cannot tell, and nothing wrong found).
TEST(StatusExitCodes, EachStateHasItsPluginCode) {
  using std::chrono::minutes;
  // Rows waiting behind a gap for so long, as the record tells them.
  const auto held = [](minutes how_long) {
    return [how_long](status::StatusResult& r) {
      Json j = Json::parse(r.record_text);
      j["last_cycle"]["held"] = {{"first", 31}, {"last", 31}, {"rows", 4},
                                 {"since", replication::FormatIsoTime(r.checked_at - how_long)}};
      r.record_text = j.dump();
    };
  };
  const struct {
    const char* state;
    std::function<void(status::StatusResult&)> make;
    int code;
  } cases[] = {
      {"replicating", [](status::StatusResult&) {}, status::kOk},
      {"paused (cycles go on)", [](status::StatusResult& r) { r.service = Service("paused"); }, status::kOk},
      {"one failed cycle", [](status::StatusResult& r) { r = Found("failed", 1, minutes(0)); }, status::kWarning},
      {"failing for 9 minutes", [](status::StatusResult& r) { r = Found("failed", 54, minutes(9)); }, status::kWarning},
      {"failing for 11 minutes", [](status::StatusResult& r) { r = Found("failed", 66, minutes(11)); }, status::kCritical},
      {"failing since the start an hour ago",
       [](status::StatusResult& r) {
         r = Found("failed", 360);
         Json j = Json::parse(r.record_text);
         j["counters"]["last_success"] = nullptr;
         r.record_text = j.dump();
       },
       status::kCritical},
      {"the central server down now", [](status::StatusResult& r) { r.central_error = "Connection refused"; },
       status::kWarning},
      {"rows held for 2 minutes", held(minutes(2)), status::kWarning},
      {"rows held for 11 minutes", held(minutes(11)), status::kCritical},
      {"a restored backup", [](status::StatusResult& r) { r.index = "500"; }, status::kCritical},
      {"a stale record", [](status::StatusResult& r) { r = Found("idle", 0, minutes(10), minutes(10)); },
       status::kCritical},
      {"the service stopped", [](status::StatusResult& r) { r.service = Service("stopped"); }, status::kCritical},
      {"no client library", [](status::StatusResult& r) { r.library_error = "Cannot load the Firebird client library"; },
       status::kCritical},
      {"others can change the program", [](status::StatusResult& r) { r.untrusted = "C:\\Tavrimondo (por Users)"; },
       status::kWarning},
      {"the service manager cannot be asked",
       [](status::StatusResult& r) { r.service = Service("", true, /*known=*/false); }, status::kUnknown},
      {"cannot tell, and a failed cycle",
       [](status::StatusResult& r) {
         r = Found("failed", 1);
         r.service = Service("", true, /*known=*/false);
       },
       status::kWarning},
  };
  for (const auto& c : cases) {
    status::StatusResult r = Found();
    c.make(r);
    status::Judge(r);
    EXPECT_EQ(r.ExitCode(), c.code) << c.state << "\n" << status::FormatText(r);
    const std::string first = status::FormatText(r).substr(0, status::FormatText(r).find('\n'));
    EXPECT_EQ(first.rfind(std::string("TAVRIMONDO ") + status::ResultName(c.code) + " - ", 0), 0u) << first;
    EXPECT_EQ(Json::parse(status::FormatJson(r))["exit_code"], c.code) << c.state;
  }
}
