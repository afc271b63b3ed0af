// The stand-in central server backed by a real Firebird central database: what the client sends
// lands in the tables, all or nothing, once per row, and the index follows it.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>

#include "central_fixture.h"
#include "fb_test_env.h"

using namespace centraltest;

namespace {

using fbtest::CentralDb;

class FirebirdCentralTest : public CentralTest {
 protected:
  CentralDb db;
  void StartOnDb(std::vector<std::string> more) {
    std::vector<std::string> args = {"--firebird", db.path(), "--firebird-server", fbtest::Host(),
                                     "--firebird-password", fbtest::AdminPassword(), "--branch", "7"};
    args.insert(args.end(), more.begin(), more.end());
    Start(args);
  }
  std::string Sql(const std::string& q) { return fbtest::Admin(db.path()).Scalar(q); }
};

TEST_F(FirebirdCentralTest, RowsLandOnceAndTheIndexFollows) {
  StartOnDb({});
  EXPECT_EQ(Index(7), "");
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 60; ++i) PostRow(1000 + i, 7, "P" + std::to_string(i), -i * 10000 - 1);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  for (int i = 1; i <= 10; ++i) PostRow(1000 + i, 7, "OUTRO", 0);  // sent again
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 0);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM LOGESTOQUEREC"), "60");
  EXPECT_EQ(Sql("SELECT ESTOQUEATUAL FROM LOGESTOQUEREC WHERE SEQUENCIALLOJAORIGEM = 1001"), "-1.0001");
  EXPECT_EQ(Sql("SELECT CODIGOPRODUTO FROM LOGESTOQUEREC WHERE SEQUENCIALLOJAORIGEM = 1010"), "P10");
  EXPECT_EQ(Index(7), "1060");
  EXPECT_NE(server->Dump().find("row 7 1060 P60 -60.0001\n"), std::string::npos);
}

TEST_F(FirebirdCentralTest, ARejectedRowLeavesTheDatabaseUntouched) {
  StartOnDb({"--reject-seq", "25"});
  c.CDSLogEstoqueRec.Open();
  for (int i = 1; i <= 50; ++i) PostRow(i, 7, "P", 10000);
  EXPECT_EQ(c.CDSLogEstoqueRec.ApplyUpdates(0), 1);
  EXPECT_EQ(Sql("SELECT COUNT(*) FROM LOGESTOQUEREC"), "0");
  EXPECT_EQ(Sql("SELECT COALESCE(RPL_INDICEESTOQUE, -1) FROM FILIAIS WHERE CODIGO = 7"), "-1");
  EXPECT_EQ(rejections.size(), 1u);
}

TEST_F(FirebirdCentralTest, BranchStampCopiesDataHoraToTheMillisecond) {
  StartOnDb({});
  fbtest::Admin(db.path()).Exec("UPDATE FILIAIS SET DATAHORA = TIMESTAMP '2026-03-04 05:06:07.891' WHERE CODIGO = 7");
  TClientDataSet& f = c.CdsFiliais;
  f.Params.ParamByName("CODIGO").SetAsInteger(7);
  f.Open();
  ASSERT_FALSE(f.IsEmpty());
  EXPECT_EQ(f.FieldByName("DATAHORA").AsString(), "04/03/2026 05:06:07");
  f.Edit();
  f.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(f.FieldByName("DATAHORA").AsDateTime());
  f.Post();
  EXPECT_EQ(f.ApplyUpdates(0), 0);
  EXPECT_EQ(Sql("SELECT CASE WHEN RPL_ULTIMAATUALIZACAO = DATAHORA THEN 'igual' ELSE 'diferente' END FROM FILIAIS"),
            "igual");
}

}  // namespace
