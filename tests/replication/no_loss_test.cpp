// No stock change is lost when the central server, or the Firebird server, dies at any moment of
// a cycle.
//
// The stand-in central server process is killed with SIGKILL at random moments while the agent's
// cycles run (its answers are delayed so that kills land in the middle of exchanges), sometimes
// restarted at once on the same port (the cycle may then reach the new process half-way), sometimes
// left down for a whole cycle. Now and then it is frozen (SIGSTOP) instead: connected clients get
// no answer at all, and only the client's exchange time-out ends the cycle. After every cycle the central database must hold exactly the store's
// rows up to its index: a row below the index that is missing there would never be sent again.
// A cycle that neither throws nor logs must have sent everything. At the end, with the server up,
// cycles must bring every store row to the central database.
//
// The seed is printed; TAVRIMONDO_NOLOSS_SEED=<n> replays a run.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <thread>

#include "central_child.h"
#include "fb_test_env.h"
#include "service/tavrimondo_client.h"
#include "settings/app_dir.h"
#include "test_util.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kLoja = 7;
constexpr int kRounds = 100;
constexpr int kFirebirdRounds = 40;  // each kill costs a server restart
constexpr int kDelayMs = 15;  // before every answer of the server

using fbtest::CentralDb;

// What one side holds of the store's rows: how many, and the sum and highest of their SEQUENCIAL.
struct RowSet {
  std::string count, sum, max;
  bool operator==(const RowSet& o) const { return count == o.count && sum == o.sum && max == o.max; }
};
std::ostream& operator<<(std::ostream& os, const RowSet& s) {
  return os << "{count " << s.count << ", sum " << s.sum << ", max " << s.max << "}";
}

class NoLossTest : public ::testing::Test {
 protected:
  testutil::TempDir app;
  fbtest::StoreDb store;
  CentralDb central_db;
  std::unique_ptr<central_child::Server> central;
  replication::MainLoop loop;
  std::unique_ptr<TTavrimondoClient> agent;
  int next_product = 1;

  void SetUp() override {
    settings::SetAppDirectoryOverride(app.path());
    fbtest::Admin(store.path()).Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, " + std::to_string(kLoja) + ")");
    std::filesystem::create_directories(app / "central");
    central = std::make_unique<central_child::Server>(
        TAVRIMONDO_CENTRAL_EXE, app / "central/",
        std::vector<std::string>{"--firebird", central_db.path(), "--firebird-server", fbtest::Host(),
                                 "--firebird-password", fbtest::AdminPassword(), "--branch", std::to_string(kLoja),
                                 "--delay-ms", std::to_string(kDelayMs)});
  }
  void TearDown() override {
    agent.reset();
    central.reset();
    settings::SetAppDirectoryOverride("");
  }

  void StartAgent() {
    testutil::WriteFile(app / "kordane.ini", "[Kordane]\r\nServidorCentral=127.0.0.1\r\nServidor=" + fbtest::Host() +
                                                 "\r\nCaminho=" + store.path() + "\r\nMonitorarComando=0\r\n");
    agent = std::make_unique<TTavrimondoClient>(loop);
    auto& params = agent->Central.ConnServer.Params;
    params[params.IndexOfName("Port")] = "Port=" + std::to_string(central->port());
    // Short time-outs keep a cycle facing a dead server brief; they bound every cycle. They are
    // set before the start, whose connection the first cycle goes on using.
    agent->Central.ConnServer.timeouts.connect = std::chrono::milliseconds(2000);
    agent->Central.ConnServer.timeouts.exchange = std::chrono::milliseconds(2000);
    bool started = true;
    agent->ServiceStart(started);
    ASSERT_TRUE(started);
  }

  void AddOutgoing(int n) {
    fbtest::Admin db(store.path());
    for (int i = 0; i < n; ++i, ++next_product)
      db.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('P" + std::to_string(next_product) +
              "', " + std::to_string(next_product) + ".5)");
  }

  std::string CentralIndex() {
    return fbtest::Admin(central_db.path()).Scalar("SELECT RPL_INDICEESTOQUE FROM FILIAIS WHERE CODIGO = 7");
  }
  RowSet Central() {
    fbtest::Admin db(central_db.path());
    const std::string from = " FROM LOGESTOQUEREC WHERE CODIGOLOJA = 7";
    return {db.Scalar("SELECT COUNT(*)" + from), db.Scalar("SELECT COALESCE(SUM(SEQUENCIALLOJAORIGEM), 0)" + from),
            db.Scalar("SELECT COALESCE(MAX(SEQUENCIALLOJAORIGEM), 0)" + from)};
  }
  // The store's rows, all of them or those up to `index`.
  RowSet Local(const std::string& index = "") {
    fbtest::Admin db(store.path());
    const std::string from = " FROM RPL_LOGESTOQUE_ENV" + (index.empty() ? "" : " WHERE SEQUENCIAL <= " + index);
    return {db.Scalar("SELECT COUNT(*)" + from), db.Scalar("SELECT COALESCE(SUM(SEQUENCIAL), 0)" + from),
            db.Scalar("SELECT COALESCE(MAX(SEQUENCIAL), 0)" + from)};
  }

  struct Outcome {
    bool threw = false;
    std::string error;  // what it threw
    std::vector<std::string> log;
  };

  // After every cycle: everything up to the central index arrived, nothing above it, so the next
  // cycle starts from there; and a cycle that reports nothing wrong sent every row there was when
  // it began.
  void CheckAfterCycle(const RowSet& before, const Outcome& o) {
    const std::string index = CentralIndex();
    const RowSet got = Central();
    if (index.empty()) {
      EXPECT_EQ(got.count, "0");
    } else {
      EXPECT_EQ(got, Local(index)) << "central index " << index;
      EXPECT_EQ(got.max, index);
    }
    if (!o.threw && o.log.empty()) {
      EXPECT_EQ(got, before) << "a cycle reported success without sending everything";
    }
  }

  // Everything up again: the rows still missing arrive within a few cycles, as they were, and a
  // last cycle finds nothing to do and says nothing.
  void CheckEverythingArrives() {
    central->Start();
    AddOutgoing(25);
    const RowSet all = Local();
    for (int i = 0; i < 5 && !(Central() == all); ++i) Cycle();
    EXPECT_EQ(Central(), all);
    EXPECT_EQ(CentralIndex(), all.max);
    EXPECT_EQ(fbtest::Admin(central_db.path())
                  .Scalar("SELECT COUNT(*) FROM LOGESTOQUEREC WHERE CODIGOLOJA <> 7 OR CODIGOPRODUTO <> 'P' || "
                          "SEQUENCIALLOJAORIGEM OR ESTOQUEATUAL <> SEQUENCIALLOJAORIGEM + 0.5"),
              "0")
        << "rows stored with the wrong store code, product or stock";
    Outcome last = Cycle();
    EXPECT_FALSE(last.threw) << last.error;
    EXPECT_TRUE(last.log.empty());
    if (HasFailure()) {
      std::ifstream log(app / "central/server.log");
      std::string line, tail[40];
      int n = 0;
      while (std::getline(log, line)) tail[n++ % 40] = line;
      std::cout << "the central server's last lines:\n";
      for (int i = std::max(0, n - 40); i < n; ++i) std::cout << "  " << tail[i % 40] << "\n";
    }
  }

  // The Firebird server the tests use, as scripts/firebird.sh runs it: killed outright through
  // its PID file, started again by the script.
  static std::string FirebirdPidFile() {
    const char* dir = std::getenv("TAVRIMONDO_STATE_DIR");
    return std::string(dir && *dir ? dir : "/tmp/tavrimondo-fb") + "/firebird.pid";
  }
  static void KillFirebird() {
    std::ifstream in(FirebirdPidFile());
    pid_t pid = 0;
    if (in >> pid && pid > 0) ::kill(pid, SIGKILL);
  }
  static void StartFirebird() {
    const std::string cmd = std::string("bash '") + TAVRIMONDO_FIREBIRD_SCRIPT + "' start >/dev/null 2>&1";
    for (int attempt = 0; attempt < 3; ++attempt) {
      if (std::system(cmd.c_str()) == 0) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the killed one still shutting down
    }
    ADD_FAILURE() << "the Firebird server did not start again";
  }

  // Random choices from a printed seed; TAVRIMONDO_NOLOSS_SEED=<n> replays a run.
  std::mt19937 rng;
  unsigned SeedRandom() {
    unsigned seed = std::random_device{}();
    if (const char* s = std::getenv("TAVRIMONDO_NOLOSS_SEED")) seed = static_cast<unsigned>(std::stoul(s));
    std::cout << "TAVRIMONDO_NOLOSS_SEED=" << seed << std::endl;
    RecordProperty("seed", std::to_string(seed));
    rng.seed(seed);
    return seed;
  }
  bool chance(int percent) { return static_cast<int>(rng() % 100) < percent; }

  void ClearLog() {
    for (auto& f : std::filesystem::directory_iterator(app.path()))
      if (f.path().extension() == ".LOG") std::filesystem::remove(f.path());
  }

  // One cycle on this thread, as the timer would run it.
  Outcome Cycle() {
    ClearLog();
    Outcome o;
    const auto t0 = Clock::now();
    try {
      agent->Timer1Timer();
    } catch (const std::exception& e) {
      o.threw = true;
      o.error = e.what();
    }
    // The client's time-outs bound a cycle (connect 2 s, each exchange 2 s, a handful of
    // exchanges); far beyond that it hung on something that never answers.
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    EXPECT_LT(took, 30000) << "a cycle hung";
    o.log = fbtest::LogMessages(app.path());
    return o;
  }
};

TEST_F(NoLossTest, CentralServerKilledAtRandomMomentsLosesNoRow) {
  const unsigned seed = SeedRandom();

  AddOutgoing(300);
  central->Start();
  StartAgent();

  int kills = 0, freezes = 0, threw = 0, logged = 0, clean = 0;
  for (int round = 0; round < kRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    if (chance(40)) AddOutgoing(1 + static_cast<int>(rng() % 80));
    if (!central->Running() && !chance(30)) central->Start();  // else it stays down for this cycle

    // The killer: a random moment into the cycle (sending a few hundred rows takes a few hundred
    // ms at this delay), then sometimes an immediate restart on the same port.
    const RowSet before = Local();
    const bool kill = central->Running() && chance(75);
    const int at_ms = static_cast<int>(rng() % 400);
    const bool restart = chance(50);
    const bool freeze = kill && chance(8);
    std::atomic<bool> cycle_over{false};
    std::thread killer;
    if (kill) {
      killer = std::thread([&, at_ms, restart, freeze] {
        std::this_thread::sleep_for(std::chrono::milliseconds(at_ms));
        if (freeze) {
          ::kill(central->pid(), SIGSTOP);
          while (!cycle_over) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        central->Kill();
        try {
          if (restart) central->Start();
        } catch (const std::exception&) {
          // Left down; the next round starts it again on this thread, where a failure is reported.
        }
      });
    }
    Outcome o = Cycle();
    cycle_over = true;
    if (killer.joinable()) killer.join();
    kills += kill && !freeze;
    freezes += freeze;
    o.threw ? ++threw : !o.log.empty() ? ++logged : ++clean;

    CheckAfterCycle(before, o);
    if (HasFailure()) break;
  }
  std::cout << kRounds << " cycles: " << kills << " kills, " << freezes << " freezes; " << threw << " cycles threw, "
            << logged << " logged a failure, " << clean << " clean" << std::endl;
  CheckEverythingArrives();
}

// The same with the Firebird server killed instead, under both the agent and the central server
// (whose central database lives on it too): in the middle of reading the outgoing log, of the
// initial load, of an apply on the central side. It comes back at once or only after the cycle.
TEST_F(NoLossTest, FirebirdServerKilledAtRandomMomentsLosesNoRow) {
  const unsigned seed = SeedRandom();

  // Whatever happens, the server is up again for the tests that follow.
  struct Restarter {
    ~Restarter() { StartFirebird(); }
  } restarter;
  AddOutgoing(300);
  central->Start();
  StartAgent();

  int kills = 0, threw = 0, logged = 0, clean = 0;
  for (int round = 0; round < kFirebirdRounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round) + ", seed " + std::to_string(seed));
    if (chance(40)) AddOutgoing(1 + static_cast<int>(rng() % 80));
    const RowSet before = Local();
    const bool kill = chance(70);
    const int at_ms = static_cast<int>(rng() % 400);
    const bool restart = chance(50);
    std::thread killer;
    if (kill) {
      killer = std::thread([&, at_ms, restart] {
        std::this_thread::sleep_for(std::chrono::milliseconds(at_ms));
        KillFirebird();
        if (restart) StartFirebird();
      });
    }
    Outcome o = Cycle();
    if (killer.joinable()) killer.join();
    StartFirebird();  // for the checks, if it was left down
    kills += kill;
    o.threw ? ++threw : !o.log.empty() ? ++logged : ++clean;
    CheckAfterCycle(before, o);
    if (HasFailure()) break;
  }
  std::cout << kFirebirdRounds << " cycles: " << kills << " Firebird kills; " << threw << " cycles threw, " << logged
            << " logged a failure, " << clean << " clean" << std::endl;
  CheckEverythingArrives();
}

}  // namespace
