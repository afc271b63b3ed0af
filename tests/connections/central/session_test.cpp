// The session's own rules, against answers played from memory: a call and all its chunks live
// under one deadline, and closing never opens a connection or throws.
#include <gtest/gtest.h>

#include "connections/central/central_connection.h"
#include "hex.h"
#include "memory_transport.h"
#include "scripted_server.h"

using namespace central;
using namespace centraltest;

namespace {

const std::string kHandshake("\x06\x00\x00\x00\x00", 5);
const std::string kConnected = "{\"result\":[0,\"DataSnap\",2]}";

std::string Prepare(int handle, const std::vector<std::string>& params) {
  std::string s = "{\"result\":[{\"handle\":[" + std::to_string(handle) + "]},{\"fields\":[0,false]},{\"parameters\":[" +
                  std::to_string(params.size());
  for (const std::string& p : params) s += ",[" + p + ",0,0,\"P\",0,0,0]";
  return s + "]}]}";
}
const std::vector<std::string> kGetRecords = {"26,0,1", "6,0,1", "6,0,2", "6,0,1", "26,0,1", "33,0,3", "33,0,3", "35,0,4"};
const std::vector<std::string> kApplyUpdates = {"26,0,1", "35,0,1", "6,0,1", "6,0,2", "33,0,3", "35,0,4"};


// The fields of DPLogEstoqueRec, the product alone, and no rows.
const std::string kStockMeta = Hex(
    "96 19 e0 bd 01 00 00 00 18 00 00 00 01 00 00 00 00 00 01 00 00 00 00 00 0d 'CODIGOPRODUTO' 01 00 49 00 00 00 00 00 00 00");

TEST(Session, AChunkedAnswerLivesUnderTheOneDeadlineOfItsCall) {
  // The result arrives inline in part, then in three chunks; every wait is what is left of the
  // call's deadline, never a fresh allowance per chunk.
  const std::string stream = PacketStream(kStockMeta);
  std::string answers = kHandshake + kConnected + Prepare(0, kGetRecords) +
                        ExecuteResult(GetRecordsRow(StreamValue(stream.substr(0, 10), /*more=*/true)));
  for (std::size_t at = 10; at < stream.size(); at += 20) {
    const std::string part = stream.substr(at, 20);
    const bool last = at + 20 >= stream.size();
    answers += "{\"result\":[{\"data\":[" + std::string(last ? "-" : "") + std::to_string(part.size()) + "," + part + "]}]}";
  }
  MemoryTransport* t = nullptr;
  DbxConnection session;
  session.SetConnector([&](const std::string&, std::uint16_t, net::Millis) {
    auto p = std::make_unique<MemoryTransport>(answers, /*piece=*/16);
    t = p.get();
    return p;
  });
  session.Open("central", 2507, {}, Timeouts{net::Millis(1000), net::Millis(60000)});
  DbxCommand cmd = session.Prepare("TServerMethods1.AS_GetRecords");
  const std::size_t from = t->waits.size();
  t->pause = net::Millis(2);
  std::vector<DbxValue> in(8);
  in[0] = DbxValue::String("DPLogEstoqueRec");
  std::vector<DbxValue> out = session.Execute(cmd, in);
  EXPECT_EQ(out[7].text, stream);
  EXPECT_NE(t->sent.find("more_blob"), std::string::npos);
  ASSERT_GT(t->waits.size(), from + 10);
  for (std::size_t i = from + 1; i < t->waits.size(); ++i) EXPECT_LE(t->waits[i], t->waits[i - 1]) << "wait " << i;
  EXPECT_LT(t->waits.back(), t->waits[from]);  // the clock did move on
}

TEST(Session, ClosingNeverConnectsAndNeverThrows) {
  const std::string answers = kHandshake + kConnected + Prepare(0, kGetRecords) +
                              ExecuteResult(GetRecordsRow(StreamValue(PacketStream(kStockMeta)))) +
                              Prepare(1, kApplyUpdates) +
                              ExecuteResult(ApplyRow());
  int connects = 0;
  MemoryTransport* t = nullptr;
  {
    CentralConnection c;
    c.ConnServer.SetConnector([&](const std::string&, std::uint16_t, net::Millis) -> std::unique_ptr<Transport> {
      if (++connects > 1) throw net::NetError("Cannot connect to central:2507: Connection refused");
      auto p = std::make_unique<MemoryTransport>(answers);
      t = p.get();
      return p;
    });
    TClientDataSet& ds = c.CDSLogEstoqueRec;
    ds.Open();
    ds.Insert();
    ds.FieldByName("CODIGOPRODUTO").SetAsString("P1");
    ds.Post();
    EXPECT_EQ(ds.ApplyUpdates(0), 0);
    // The connection breaks: the first command_close fails, and the rest of the closing goes on
    // without a word to a new connection.
    t->fail_sends = true;
    EXPECT_NO_THROW(c.ConnServer.SetConnected(false));
    EXPECT_FALSE(c.ConnServer.Connected());
    EXPECT_EQ(connects, 1);
    // Closing what is closed does nothing, and so does the destructor.
    EXPECT_NO_THROW(c.ConnServer.SetConnected(false));
  }
  EXPECT_EQ(connects, 1);
}

}  // namespace
