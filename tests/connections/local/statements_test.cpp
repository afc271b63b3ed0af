// The three statements as the replication cycle uses them, against the real server.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <optional>
#include <thread>

#include "connections/local/local_connection.h"
#include "fb_test_env.h"

using localdb::LocalConnection;

namespace {

struct Row {
  std::int64_t sequencial;
  std::string codigo;
  std::int64_t estoque;  // times 10 000
  bool operator==(const Row&) const = default;
};

void PrintTo(const Row& r, std::ostream* os) { *os << "{" << r.sequencial << ", " << r.codigo << ", " << r.estoque << "}"; }

class StatementsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Point(c, fbtest::Host());
    c.ConnQuelbrant.SetConnected(true);
  }

  void Point(LocalConnection& conn, const std::string& server) {
    auto& p = conn.ConnQuelbrant.Params;
    p.Set(p.IndexOfName("Server"), "Server=" + server);
    p.Set(p.IndexOfName("Database"), "Database=" + db.path());
    p.Set(p.IndexOfName("Password"), "Password=" + fbtest::AdminPassword());
    conn.FDPhysFBDriverLink1.VendorLib = "";
  }

  // Everything TBLogEstoqueENV returns for the index text, read as the cycle reads it.
  std::vector<Row> Outgoing(const std::string& indice) {
    auto& q = c.TBLogEstoqueENV;
    q.Close();
    q.ParamByName("INDICE").SetAsString(indice);
    q.Open();
    std::vector<Row> rows;
    for (q.First(); !q.Eof(); q.Next())
      rows.push_back({q.FieldByName("SEQUENCIAL").AsLargeInt(), q.FieldByName("CODIGOPRODUTO").AsString(),
                      q.FieldByName("ESTOQUEATUAL").AsCurrency()});
    q.Close();
    return rows;
  }

  fbtest::StoreDb db;
  fbtest::Admin admin{db.path()};
  LocalConnection c;
};

TEST_F(StatementsTest, StoreCodeFromTheFirstRowOfPadrao) {
  admin.Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 17)");
  c.TBPadrao.Open();
  EXPECT_EQ(c.TBPadrao.FieldByName("CODIGOLOJA").AsInteger(), 17);
  c.TBPadrao.Close();
  EXPECT_FALSE(c.TransEscrita.Active());
}

TEST_F(StatementsTest, PadraoWithoutARowIsAnErrorNotAStoreCodeOfZero) {
  c.TBPadrao.Open();
  EXPECT_TRUE(c.TBPadrao.IsEmpty());
  try {
    c.TBPadrao.FieldByName("CODIGOLOJA").AsInteger();
    FAIL() << "read a store code from an empty table";
  } catch (const localdb::EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("TBPadrao"), std::string::npos) << e.what();
    EXPECT_EQ(std::string(e.what()), "TBPadrao: no row to read CODIGOLOJA from (the query returned no rows)");
  }
}

TEST_F(StatementsTest, OutgoingRowsStrictlyAboveTheIndexInAscendingOrder) {
  // Inserted out of order, so that only ORDER BY can put them right.
  for (int seq : {5, 2, 9, 3})
    admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" +
               std::to_string(seq) + ", 'P" + std::to_string(seq) + "', " + std::to_string(seq) + ".5)");
  auto row = [](int seq) { return Row{seq, "P" + std::to_string(seq), seq * 10000 + 5000}; };
  struct Case {
    std::string indice;
    std::vector<Row> expected;
  };
  const Case cases[] = {
      {"0", {row(2), row(3), row(5), row(9)}},
      {"", {row(2), row(3), row(5), row(9)}},  // no index yet: as "0", not a conversion error
      {"3", {row(5), row(9)}},                  // the row equal to the index is not sent again
      {" 4 ", {row(5), row(9)}},
      {"9", {}},
      {"12345", {}},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE("INDICE \"" + k.indice + "\"");
    EXPECT_EQ(Outgoing(k.indice), k.expected);
    EXPECT_FALSE(c.TransLeitura.Active());  // the read-only transaction ends with the cursor
  }
}

TEST_F(StatementsTest, StockKeepsItsFourDecimalsExactly) {
  admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('A', 0.0001)");
  admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('B', -12345678901.2345)");
  admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('C', 0.3)");
  admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) VALUES ('D', NULL)");
  auto rows = Outgoing("0");
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[0].estoque, 1);
  EXPECT_EQ(rows[1].estoque, -123456789012345);
  EXPECT_EQ(rows[2].estoque, 3000);
  EXPECT_EQ(rows[3].estoque, 0);
}

// The store's database may keep stock with other scales than four decimals, or as text.
TEST_F(StatementsTest, OtherNumericTypesConvertToFourDecimalsRoundingHalfAwayFromZero) {
  struct Case {
    const char* expr;
    std::int64_t currency;
    std::int64_t largeint;
    const char* text;
  };
  const Case cases[] = {
      {"CAST(1.23455 AS NUMERIC(18,5))", 12346, 1, "1.23455"},
      {"CAST(-1.23455 AS NUMERIC(18,5))", -12346, -1, "-1.23455"},
      {"CAST(-2.5 AS NUMERIC(9,2))", -25000, -3, "-2.5"},
      {"CAST(7 AS SMALLINT)", 70000, 7, "7"},
      {"CAST(9223372036854775807 AS BIGINT)", 0, 9223372036854775807, "9223372036854775807"},
      {"CAST(' 12.75 ' AS VARCHAR(10))", 127500, 13, " 12.75 "},
      {"CAST(0.00005 AS DOUBLE PRECISION)", 1, 0, "5e-05"},
  };
  for (const Case& k : cases) {
    SCOPED_TRACE(k.expr);
    localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura, std::string("SELECT ") + k.expr + " AS V FROM RDB$DATABASE");
    q.Open();
    auto v = q.FieldByName("V");
    EXPECT_EQ(v.AsString(), k.text);
    EXPECT_EQ(v.AsLargeInt(), k.largeint);
    if (k.largeint == 9223372036854775807)
      EXPECT_THROW(v.AsCurrency(), localdb::EDatabaseError);  // too large for four decimals
    else
      EXPECT_EQ(v.AsCurrency(), k.currency);
  }
}

// A number that reaches the agent as text goes out exactly or not at all: a text column, and on
// Firebird 4 INT128 and DECFLOAT, which the connection has the server send as text.
TEST_F(StatementsTest, NumbersHeldAsTextAreTakenOnlyExactly) {
  struct Case {
    const char* expr;
    int since;                              // the server version that has the type
    std::optional<std::int64_t> currency;   // nullopt: refused
    std::optional<std::int64_t> largeint;
  };
  const Case cases[] = {
      {"CAST('1.5E+3' AS VARCHAR(10))", 3, 15000000, 1500},
      {"CAST('-0.000100000000' AS VARCHAR(20))", 3, -1, 0},
      {"CAST('12.34567' AS VARCHAR(10))", 3, std::nullopt, 12},
      {"CAST('NaN' AS VARCHAR(10))", 3, std::nullopt, std::nullopt},
      {"CAST(922337203685477.5807 AS NUMERIC(38,4))", 4, 9223372036854775807, 922337203685478},
      {"CAST(922337203685477.5808 AS NUMERIC(38,4))", 4, std::nullopt, 922337203685478},
      {"CAST(9223372036854775808 AS NUMERIC(38,0))", 4, std::nullopt, std::nullopt},
      {"CAST(-9223372036854775807 AS NUMERIC(38,0))", 4, std::nullopt, -9223372036854775807},
      {"CAST(0.1 AS DECFLOAT(16))", 4, 1000, 0},
      {"CAST(-1.23E-2 AS DECFLOAT(34))", 4, -123, 0},
      {"CAST(1.23456 AS DECFLOAT(34))", 4, std::nullopt, 1},
      {"CAST('Infinity' AS DECFLOAT(16))", 4, std::nullopt, std::nullopt},
  };
  for (const Case& k : cases) {
    if (fbtest::ServerVersion() < k.since) continue;
    SCOPED_TRACE(k.expr);
    localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura, std::string("SELECT ") + k.expr + " AS V FROM RDB$DATABASE");
    q.Open();
    auto v = q.FieldByName("V");
    if (k.currency)
      EXPECT_EQ(v.AsCurrency(), *k.currency);
    else
      EXPECT_THROW(v.AsCurrency(), localdb::EDatabaseError);
    if (k.largeint)
      EXPECT_EQ(v.AsLargeInt(), *k.largeint);
    else
      EXPECT_THROW(v.AsLargeInt(), localdb::EDatabaseError);
    q.Close();
  }
}

TEST_F(StatementsTest, ColonsInsideQuotesAndCommentsAreNoParameters) {
  localdb::TFDQuery q("Q", c.ConnQuelbrant, c.TransLeitura,
                      "SELECT ':NOPE' AS A, /* :NOPE */ CAST(:YES AS VARCHAR(5)) AS B -- :NOPE\n"
                      "FROM RDB$DATABASE");
  EXPECT_THROW(q.ParamByName("NOPE"), localdb::EDatabaseError);
  q.ParamByName("yes").SetAsString("ok");
  q.Open();
  EXPECT_EQ(q.FieldByName("A").AsString(), ":NOPE");
  EXPECT_EQ(q.FieldByName("b").AsString(), "ok");
}

TEST_F(StatementsTest, AnIndexThatIsNoNumberRaisesTheServersConversionError) {
  auto& q = c.TBLogEstoqueENV;
  q.ParamByName("INDICE").SetAsString("abc");
  try {
    q.Open();
    FAIL() << "opened with a text index";
  } catch (const localdb::EFirebirdError& e) {
    EXPECT_NE(std::string(e.what()).find("conversion error from string \"abc\""), std::string::npos) << e.what();
    EXPECT_NE(std::string(e.what()).find("\r\n"), std::string::npos) << "all lines of the status vector";
  }
  EXPECT_FALSE(q.Active());
  EXPECT_FALSE(c.TransLeitura.Active());
  EXPECT_TRUE(Outgoing("0").empty());  // the connection is still usable
}

TEST_F(StatementsTest, InitialLoadCopiesEveryNonZeroStock) {
  admin.Exec(
      "INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) "
      "SELECT 'A', 10.5 FROM RDB$DATABASE UNION ALL SELECT 'B', NULL FROM RDB$DATABASE UNION ALL "
      "SELECT 'C', 0 FROM RDB$DATABASE UNION ALL SELECT 'D', -3.25 FROM RDB$DATABASE UNION ALL "
      "SELECT 'E', 0.0001 FROM RDB$DATABASE");
  c.TBCargaInicial.ExecSQL();
  EXPECT_FALSE(c.TransEscrita.Active());
  auto rows = Outgoing("0");
  std::vector<std::pair<std::string, std::int64_t>> got;
  for (auto& r : rows) got.emplace_back(r.codigo, r.estoque);
  std::sort(got.begin(), got.end());
  EXPECT_EQ(got, (std::vector<std::pair<std::string, std::int64_t>>{{"A", 105000}, {"D", -32500}, {"E", 1}}));
  for (std::size_t i = 1; i < rows.size(); ++i) EXPECT_LT(rows[i - 1].sequencial, rows[i].sequencial);
}

TEST_F(StatementsTest, AFailedInitialLoadLeavesTheOutgoingLogUnchanged) {
  admin.Exec("ALTER TABLE RPL_LOGESTOQUE_ENV ADD CONSTRAINT SMALL_STOCK CHECK (ESTOQUEATUAL < 1000)");
  admin.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 1)");
  admin.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('B', 5000)");
  try {
    c.TBCargaInicial.ExecSQL();
    FAIL() << "the load broke a check constraint and succeeded";
  } catch (const localdb::EFirebirdError& e) {
    EXPECT_NE(std::string(e.what()).find("SMALL_STOCK"), std::string::npos) << e.what();
  }
  EXPECT_FALSE(c.TransEscrita.Active());
  EXPECT_EQ(admin.Scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "0");
}

// Within one cycle the store row is read, the load runs and the outgoing rows are read in another
// transaction: the loaded rows must be committed by then, even while TBPadrao still holds a cursor
// in the same transaction (a PADRAO with more than one row).
TEST_F(StatementsTest, LoadedRowsAreVisibleToTheReadingTransactionAtOnce) {
  admin.Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (1, 7)");
  admin.Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (2, 8)");
  admin.Exec("INSERT INTO PADRAO (CODIGO, CODIGOLOJA) VALUES (3, 9)");
  admin.Exec("INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 2)");
  c.TBPadrao.Open();
  c.TBCargaInicial.ExecSQL();
  EXPECT_EQ(Outgoing("").size(), 1u);
  EXPECT_TRUE(c.TBPadrao.FieldByName("CODIGOLOJA").AsInteger() >= 7);
  c.TBPadrao.Close();
  c.ConnQuelbrant.SetConnected(false);
  EXPECT_EQ(admin.Scalar("SELECT COUNT(*) FROM RPL_LOGESTOQUE_ENV"), "1");
}

TEST_F(StatementsTest, ClosingTheConnectionCommitsAnActiveTransaction) {
  c.TransEscrita.StartTransaction();
  localdb::TFDQuery insert("Insert", c.ConnQuelbrant, c.TransEscrita,
                           "INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES ('A', 1)");
  insert.ExecSQL();
  EXPECT_TRUE(c.TransEscrita.Active());  // started explicitly: its statements do not end it
  c.ConnQuelbrant.SetConnected(false);
  EXPECT_FALSE(c.TransEscrita.Active());
  EXPECT_EQ(admin.Scalar("SELECT COUNT(*) FROM PRODUTOS"), "1");
}

TEST_F(StatementsTest, Latin1TextsRoundTripAndUnrepresentableTextsAreRefused) {
  localdb::TFDQuery insert("Insert", c.ConnQuelbrant, c.TransEscrita,
                           "INSERT INTO PRODUTOS (CODIGO, ESTOQUEATUAL) VALUES (:CODIGO, 1)");
  insert.ParamByName("CODIGO").SetAsString("Ação");
  insert.ExecSQL();
  c.TBCargaInicial.ExecSQL();
  auto rows = Outgoing("0");
  ASSERT_EQ(rows.size(), 1u);
  EXPECT_EQ(rows[0].codigo, "Ação");
  // Stored as four ISO8859_1 characters, not as the six bytes of its UTF-8 form.
  EXPECT_EQ(admin.Scalar("SELECT OCTET_LENGTH(CODIGOPRODUTO) FROM RPL_LOGESTOQUE_ENV"), "4");

  insert.ParamByName("CODIGO").SetAsString("€uro");
  try {
    insert.ExecSQL();
    FAIL() << "sent a text that ISO8859_1 cannot hold";
  } catch (const localdb::EDatabaseError& e) {
    EXPECT_NE(std::string(e.what()).find("ISO8859_1"), std::string::npos) << e.what();
  }
  EXPECT_EQ(admin.Scalar("SELECT COUNT(*) FROM PRODUTOS"), "1");
  EXPECT_FALSE(c.TransEscrita.Active());
}

TEST_F(StatementsTest, AMissingTableGivesTheServersMessage) {
  admin.Exec("DROP TABLE RPL_LOGESTOQUE_ENV");
  c.TBLogEstoqueENV.ParamByName("INDICE").SetAsString("0");
  try {
    c.TBLogEstoqueENV.Open();
    FAIL();
  } catch (const localdb::EFirebirdError& e) {
    EXPECT_EQ(std::string(e.what()),
              "Dynamic SQL Error\r\nSQL error code = -204\r\nTable unknown\r\nRPL_LOGESTOQUE_ENV\r\nAt line 4, column 6");
  }
  EXPECT_FALSE(c.TransLeitura.Active());
}

// A TCP relay between the client and the server that can cut every connection at once, as a
// server that dies or a network that drops would.
class Relay {
 public:
  explicit Relay(int target_port) : target_port_(target_port) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listener_, 4);
    socklen_t len = sizeof a;
    ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { Run(); });
  }
  ~Relay() {
    Cut();
    thread_.join();
    ::close(listener_);
  }
  int port() const { return port_; }
  void Cut() { cut_ = true; }

 private:
  void Run() {
    int client = -1, server = -1;
    while (!cut_) {
      pollfd fds[3] = {{listener_, POLLIN, 0}, {client, POLLIN, 0}, {server, POLLIN, 0}};
      if (::poll(fds, 3, 20) <= 0) continue;
      if (fds[0].revents & POLLIN) {
        client = ::accept(listener_, nullptr, nullptr);
        server = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(target_port_));
        ::connect(server, reinterpret_cast<sockaddr*>(&a), sizeof a);
      }
      char buf[65536];
      for (int i : {1, 2}) {
        if (!(fds[i].revents & (POLLIN | POLLHUP))) continue;
        ssize_t n = ::read(fds[i].fd, buf, sizeof buf);
        if (n <= 0) {
          cut_ = true;
          break;
        }
        ::send(i == 1 ? server : client, buf, static_cast<size_t>(n), MSG_NOSIGNAL);
      }
    }
    if (client >= 0) ::close(client);
    if (server >= 0) ::close(server);
  }

  int target_port_;
  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> cut_{false};
  std::thread thread_;
};

TEST_F(StatementsTest, AConnectionLostMidCursorIsAnErrorAndTheConnectionStillCloses) {
  admin.Exec(
      "INSERT INTO RPL_LOGESTOQUE_ENV (CODIGOPRODUTO, ESTOQUEATUAL) "
      "WITH RECURSIVE N AS (SELECT 1 AS I FROM RDB$DATABASE UNION ALL SELECT I + 1 FROM N WHERE I < 300) "
      "SELECT 'P' || A.I, B.I FROM N A CROSS JOIN N B");
  Relay relay(fbtest::Port());
  LocalConnection viaRelay;
  Point(viaRelay, "127.0.0.1/" + std::to_string(relay.port()));
  viaRelay.ConnQuelbrant.SetConnected(true);
  auto& q = viaRelay.TBLogEstoqueENV;
  q.ParamByName("INDICE").SetAsString("0");
  q.Open();
  relay.Cut();
  std::int64_t read = 0;
  EXPECT_THROW(
      {
        while (!q.Eof()) {
          q.Next();
          ++read;
        }
      },
      localdb::EFirebirdError);
  EXPECT_LT(read, 90000);
  EXPECT_TRUE(q.Eof());  // a loop that swallows the error still ends
  viaRelay.ConnQuelbrant.SetConnected(false);
  EXPECT_FALSE(viaRelay.ConnQuelbrant.Connected());
}

}  // namespace

namespace {

// What the cycle asks of the store beyond its statements: the server's version, the gaps between
// the outgoing rows, the rows at given values.
class StoreQueriesTest : public StatementsTest {
 protected:
  void Rows(std::initializer_list<int> values) {
    for (int v : values)
      admin.Exec("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + std::to_string(v) +
                 ", 'P" + std::to_string(v) + "', 1)");
  }
};

TEST_F(StoreQueriesTest, TheServersVersionDecidesWhatItCanAnswer) {
  const localdb::ServerCapabilities& caps = localdb::Capabilities(c);
  EXPECT_EQ(caps.major, fbtest::ServerVersion());
  EXPECT_TRUE(caps.table_stats && caps.record_version && caps.database_owner);
  c.ForcedEngineVersion = std::make_pair(2, 5);
  EXPECT_EQ(localdb::Capabilities(c).major, fbtest::ServerVersion()) << "decided once per connection";
  c.ConnQuelbrant.SetConnected(false);
  c.ConnQuelbrant.SetConnected(true);
  const localdb::ServerCapabilities& forced = localdb::Capabilities(c);
  EXPECT_EQ(forced.major, 2);
  EXPECT_FALSE(forced.table_stats || forced.record_version || forced.database_owner);

  struct Case {
    const char* text;
    std::optional<std::pair<int, int>> version;
  } cases[] = {{"3.0.11", std::make_pair(3, 0)}, {"2.5.9", std::make_pair(2, 5)}, {"5.0", std::make_pair(5, 0)},
               {"", std::nullopt},               {"LI-V3.0", std::nullopt},        {"3", std::nullopt}};
  for (const Case& k : cases) EXPECT_EQ(localdb::ParseEngineVersion(k.text), k.version) << k.text;
}

TEST_F(StoreQueriesTest, TheServerListsTheGapsWithinItsBoundsAndSaysWhenItStoppedEarly) {
  Rows({1, 2, 5, 6, 9, 20});
  using G = std::vector<localdb::SeqRange>;
  localdb::GapScan all = localdb::ListGaps(c, c.TransLeitura, 0, 0, 100);
  EXPECT_EQ(all.gaps, (G{{3, 4}, {7, 8}, {10, 19}}));
  EXPECT_EQ(all.rows, 6);
  EXPECT_EQ(all.last, 20);
  EXPECT_TRUE(all.complete);

  localdb::GapScan above = localdb::ListGaps(c, c.TransLeitura, 5, 0, 2);  // reads 6 and 9 only
  EXPECT_EQ(above.gaps, (G{{7, 8}}));
  EXPECT_EQ(above.last, 9);
  EXPECT_FALSE(above.complete);

  // Below a bound, the values between the last row and the bound are missing too.
  EXPECT_EQ(localdb::ListGaps(c, c.TransLeitura, 2, 9, 100).gaps, (G{{3, 4}, {7, 8}}));
  EXPECT_EQ(localdb::ListGaps(c, c.TransLeitura, 0, 30, 100).gaps, (G{{3, 4}, {7, 8}, {10, 19}, {21, 29}}));

  const std::vector<localdb::OutgoingRow> rows = localdb::RowsIn(c, c.TransLeitura, {{2, 5}, {9, 9}, {30, 40}});
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].sequencial, 2);
  EXPECT_EQ(rows[1].produto, "P5");
  EXPECT_EQ(rows[2].sequencial, 9);
}

}  // namespace
