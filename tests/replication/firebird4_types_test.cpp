// The column types Firebird 4 brings into a store's outgoing log: a stock kept as INT128
// (NUMERIC(19..38)) or DECFLOAT, and a SEQUENCIAL kept as INT128. The cycle end to end, on a 4.0
// server (TAVRIMONDO_FB_VERSION=4); on an older server there are no such types and the tests skip.
#include "cycle_fixture.h"

namespace {

using Lines = std::vector<std::string>;

class Firebird4TypesTest : public cycletest::CycleFixture {
 protected:
  void SetUp() override {
    if (fbtest::ServerVersion() < 4) GTEST_SKIP() << "Firebird " << fbtest::ServerVersion() << " has no INT128 or DECFLOAT";
    CycleFixture::SetUp();
  }
  // The outgoing log made anew with the given column types, as an ERP on 4.0 may declare it.
  void OutgoingLog(const std::string& sequencial, const std::string& estoque) {
    Store("DROP TABLE RPL_LOGESTOQUE_ENV");
    Store("CREATE TABLE RPL_LOGESTOQUE_ENV (SEQUENCIAL " + sequencial +
          " NOT NULL PRIMARY KEY, CODIGOPRODUTO VARCHAR(20), ESTOQUEATUAL " + estoque +
          ", DATAHORA TIMESTAMP DEFAULT CURRENT_TIMESTAMP)");
  }
  void Row(const std::string& sequencial, const std::string& product, const std::string& stock) {
    Store("INSERT INTO RPL_LOGESTOQUE_ENV (SEQUENCIAL, CODIGOPRODUTO, ESTOQUEATUAL) VALUES (" + sequencial + ", '" +
          product + "', " + stock + ")");
  }
};

// A stock goes out exactly when the central server's field (NUMERIC(15,4) on the stand-in server)
// holds it; otherwise its row is named and waits with the rows after it, as any row that cannot
// be sent. The values that fit pass through no binary float: 0.1 stays 0.1.
struct StockCase {
  const char* type;
  const char* unsendable;  // a value of that type the central field cannot take
  const char* why;         // what the log line says about it
};

void PrintTo(const StockCase& k, std::ostream* os) { *os << k.type << " " << k.unsendable; }

class StockTypeTest : public Firebird4TypesTest, public ::testing::WithParamInterface<StockCase> {};

TEST_P(StockTypeTest, AStockIsSentExactlyOrItsRowIsNamedAndWaits) {
  const StockCase& k = GetParam();
  OutgoingLog("BIGINT", k.type);
  Row("1", "P1", "12345678901.2345");  // the central field's 15 digits, all of them
  Row("2", "P2", "0.1");
  Row("3", "P3", "-0.0001");
  Row("4", "P4", k.unsendable);
  Row("5", "P5", "1");
  StartCentral();
  StartAgent();
  Cycle();
  EXPECT_EQ(CentralIndex(), "3");
  EXPECT_EQ(CentralStock("P1"), "12345678901.2345");
  EXPECT_EQ(CentralStock("P2"), "0.1");
  EXPECT_EQ(CentralStock("P3"), "-0.0001");
  EXPECT_EQ(ReceivedCount(), "3") << "the row after the one that cannot be sent waits";
  const Lines log = Log();
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].rfind("SEQUENCIAL 4 (produto P4) não pode ser enviado ao Servidor Central: ", 0), 0u) << log[0];
  EXPECT_NE(log[0].find(k.why), std::string::npos) << log[0];

  // Once the store corrects it, the rows go on.
  Store("UPDATE RPL_LOGESTOQUE_ENV SET ESTOQUEATUAL = 4.5 WHERE SEQUENCIAL = 4");
  Cycle();
  EXPECT_EQ(CentralIndex(), "5");
  EXPECT_EQ(CentralStock("P4"), "4.5");
}

INSTANTIATE_TEST_SUITE_P(
    Firebird4, StockTypeTest,
    ::testing::Values(
        // Within the agent's range, beyond the central field's 15 digits.
        StockCase{"NUMERIC(38,4)", "123456789012.3456", "ESTOQUEATUAL"},
        // Beyond what four decimals in 64 bits hold: named before it reaches the central server.
        StockCase{"NUMERIC(38,4)", "12345678901234567890.1234", "out of range"},
        StockCase{"NUMERIC(38,8)", "1.00005", "more than four decimal places"},
        StockCase{"DECFLOAT(16)", "1.23456", "more than four decimal places"},
        StockCase{"DECFLOAT(34)", "1E+30", "out of range"},
        StockCase{"DECFLOAT(34)", "CAST('NaN' AS DECFLOAT(34))", "not a valid number"}),
    [](const auto& info) {
      std::string name = std::string(info.param.type) + "_" + std::to_string(info.index);
      for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
      return name;
    });

// A SEQUENCIAL kept as INT128 works over the whole range the central server's index has.
TEST_F(Firebird4TypesTest, AnInt128SequencialIsSentUpToTheLargest64BitValue) {
  OutgoingLog("NUMERIC(38,0)", "NUMERIC(15,4)");
  Row("1", "P1", "1");
  Row("9223372036854775806", "P2", "2");
  Row("9223372036854775807", "P3", "3");
  StartCentral();
  StartAgent();
  Cycle();
  EXPECT_EQ(CentralIndex(), "9223372036854775807");
  EXPECT_EQ(Arrivals(), (std::vector<std::int64_t>{1, 9223372036854775806, 9223372036854775807}));
  Cycle();
  EXPECT_EQ(ReceivedCount(), "3") << "nothing sent twice";
}

}  // namespace
