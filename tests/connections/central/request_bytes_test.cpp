// What the client sends, byte for byte, for every call the agent makes, against bytes written by
// hand from the wire's description: the stand-in server shares the client's codec, so only these
// catch a mistake made the same way on both sides.
#include <gtest/gtest.h>

#include <cstring>

#include "connections/central/central_connection.h"
#include "hex.h"
#include "scripted_server.h"

using namespace central;
using namespace centraltest;

namespace {

const Timeouts kGenerous{net::Millis(10000), net::Millis(20000)};

std::string Le16(std::size_t n) { return {static_cast<char>(n & 0xFF), static_cast<char>(n >> 8)}; }

std::string Double(double d) {
  std::string s(8, '\0');
  std::memcpy(s.data(), &d, 8);
  return s;
}

std::string Execute(int handle, const std::string& row) {
  return "{\"method\":\"execute\",\"params\":[{\"handle\":[" + std::to_string(handle) + "]}," + DataObject(row) + "]}";
}

// ---- what the scripted server answers -----------------------------------------------------------

const std::string kProvFlagsKey = Hex("01 00 09 'PROVFLAGS' 01 00 01 00 07");
const std::string kWidth20 = Hex("01 00 05 'WIDTH' 04 00 01 00 14 00 00 00");

// DPIndice: CODIGOLOJA (int32, key), RPL_INDICEESTOQUE (string 20); the row (7, "120").
const std::string kIndicePacket =
    Hex("96 19 e0 bd 01 00 00 00 18 00 00 00 02 00 01 00 00 00 01 00 00 00 00 00 0a 'CODIGOLOJA' 04 00 01 00 00 00") +
    kProvFlagsKey + Hex("11 'RPL_INDICEESTOQUE' 01 00 49 00 00 00") + kWidth20 + Hex("00 00 00 00 07 00 00 00 03 '120'");

// The fields of DPLogEstoqueRec: the sequence (int64) and the store (int32) as keys, the product
// (string 20) and the stock, BCD(15,4) declared in 10 bytes.
const std::string kStockFields =
    Hex("14 'SEQUENCIALLOJAORIGEM' 08 00 01 00 00 00") + kProvFlagsKey + Hex("0a 'CODIGOLOJA' 04 00 01 00 00 00") +
    kProvFlagsKey + Hex("0d 'CODIGOPRODUTO' 01 00 49 00 00 00") + kWidth20 +
    Hex("0c 'ESTOQUEATUAL' 0a 00 05 00 00 00 02 00 05 'WIDTH' 04 00 01 00 0f 00 00 00 08 'DECIMALS' 04 00 01 00 04 00 00 00");
const std::string kStockPacket =
    Hex("96 19 e0 bd 01 00 00 00 18 00 00 00 04 00 00 00 00 00 01 00 00 00 00 00") + kStockFields + Hex("00 00");

// DPFiliais: CODIGO (int32, key), DATAHORA and RPL_ULTIMAATUALIZACAO (time stamps in ms).
const double kDataHora = 63850000000000.0, kUltima = 63800000000000.0;
const std::string kBranchFields = Hex("06 'CODIGO' 04 00 01 00 00 00") + kProvFlagsKey +
                                  Hex("08 'DATAHORA' 08 00 08 00 00 00 00 00 15 'RPL_ULTIMAATUALIZACAO' 08 00 08 00 00 00 00 00");
const std::string kBranchPacket = Hex("96 19 e0 bd 01 00 00 00 18 00 00 00 03 00 01 00 00 00 01 00 00 00 00 00") +
                                  kBranchFields + Hex("00 00 00 00 07 00 00 00") + Double(kDataHora) + Double(kUltima);

// ---- what the client must send ---------------------------------------------------------------

// The datasets' parameters packed: [["CODIGO", 7, ftInteger, ptInput, 0, 0, 0]].
const std::string kCodigo7 = Hex(
    "02 0c 20 00 00 01 00 00 00 00 00 00 00 00 00 00 00"
    " 0c 20 00 00 01 00 00 00 00 00 00 00 06 00 00 00"
    " 08 00 00 00 06 00 00 00 43 00 4f 00 44 00 49 00 47 00 4f 00"
    " 03 00 00 00 07 00 00 00 03 00 00 00 03 00 00 00 03 00 00 00 01 00 00 00"
    " 03 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00 03 00 00 00 00 00 00 00");
const std::string kUnassigned = Hex("10 00 05 02 00 00 00 00");

// Open: Count 500, Options 1 (field definitions), no command text, the parameters, OwnerData
// Unassigned, Result null.
std::string OpenRow(const std::string& provider, const std::string& params) {
  return std::string(1, static_cast<char>(0x20 | provider.size())) + provider + Hex("62 01 f4 c0 61 01 20") + params +
         kUnassigned + Hex("c0");
}
// Close: Count 0, Options 2 (reset), Params Unassigned.
std::string ResetRow(const std::string& provider) {
  return std::string(1, static_cast<char>(0x20 | provider.size())) + provider + Hex("60 c0 61 02 20") + kUnassigned +
         kUnassigned + Hex("c0");
}
std::string ApplyInputRow(const std::string& provider, const std::string& delta) {
  return std::string(1, static_cast<char>(0x20 | provider.size())) + provider + StreamValue(PacketStream(delta)) +
         Hex("60 c0") + kUnassigned + Hex("c0");
}
// A delta: the provider's fields, DATASET_DELTA, the rows; the header gives the metadata's length.
std::string Delta(std::size_t fields, std::size_t rows, const std::string& field_bytes, const std::string& row_bytes) {
  const std::string params = Hex("01 00 0d 'DATASET_DELTA' 04 00 02 00 01 00 00 00");
  return Hex("96 19 e0 bd 01 00 00 00 18 00 00 00") + Le16(fields) + Le32(static_cast<std::uint32_t>(rows)) +
         Hex("03 00 00 00") + Le16(24 + field_bytes.size() + params.size()) + field_bytes + params + row_bytes;
}

TEST(RequestBytes, EveryCallOfACycleAsTheWireDescribesIt) {
  // The branch packet comes in two parts: the first inline, the rest through more_blob.
  const std::string branch_stream = PacketStream(kBranchPacket);
  const std::string first = branch_stream.substr(0, 40), rest = branch_stream.substr(40);
  std::string rest_reply = "{\"result\":[{\"data\":[-" + std::to_string(rest.size());
  rest_reply.append(9 - (rest_reply.size() - rest_reply.rfind('[') - 1), ' ');
  rest_reply += "," + rest + "]}]}";
  ScriptedServer server({"{\"result\":[3,\"DataSnap\",2]}", kPrepareGetRecords,
                         ExecuteResult(GetRecordsRow(StreamValue(PacketStream(kIndicePacket)))),
                         ExecuteResult(GetRecordsRow(StreamValue(PacketStream(kStockPacket)))), kPrepareApplyUpdates,
                         ExecuteResult(ApplyRow()), ExecuteResult(GetRecordsRow(StreamValue(first, /*more=*/true))),
                         rest_reply, ExecuteResult(ApplyRow()),
                         ExecuteResult(GetRecordsRow(StreamValue(UnassignedStream()))),
                         ExecuteResult(GetRecordsRow(StreamValue(UnassignedStream())))});
  {
    CentralConnection c;
    c.ConnServer.timeouts = kGenerous;
    c.ConnServer.Params[5] = "HostName=127.0.0.1";
    c.ConnServer.Params[6] = "Port=" + std::to_string(server.Port());
    // The cycle's calls, in its order.
    c.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(7);
    c.CDSIndice.Open();
    EXPECT_EQ(c.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString(), "120");
    TClientDataSet& log = c.CDSLogEstoqueRec;
    log.Open();
    log.Insert();
    log.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString("10");
    log.FieldByName("CODIGOLOJA").SetAsInteger(7);
    log.FieldByName("CODIGOPRODUTO").SetAsString("P01");
    log.FieldByName("ESTOQUEATUAL").SetAsCurrency(125000);
    log.Post();
    EXPECT_EQ(log.ApplyUpdates(0), 0);
    TClientDataSet& branch = c.CdsFiliais;
    branch.Params.ParamByName("CODIGO").SetAsInteger(7);
    branch.Open();
    branch.Edit();
    branch.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(branch.FieldByName("DATAHORA").AsDateTime());
    branch.Post();
    EXPECT_EQ(branch.ApplyUpdates(0), 0);
    log.Close();
    c.CDSIndice.Close();
    c.ConnServer.SetConnected(false);
  }

  const std::string stock_delta =
      Delta(4, 1, kStockFields,
            Hex("04 00 0a 00 00 00 00 00 00 00 07 00 00 00 03 'P01' 0f 04 00 00 00 00 01 25 00 00 00 00 00 00 00 00 00 00"));
  // The edited branch row: as fetched (status 1), then the change (status 8) with CODIGO and
  // DATAHORA marked not changed.
  const std::string branch_delta =
      Delta(3, 2, kBranchFields,
            Hex("01 00 07 00 00 00") + Double(kDataHora) + Double(kUltima) + Hex("08 0a") + Double(kDataHora));
  const struct {
    const char* what;
    std::string bytes;
  } expected[] = {
      {"filter query", Hex("05 05 05 05 05")},
      {"connect",
       "{\"method\":\"connect\",\"params\":[{\"DriverUnit\":\"Data.DBXDataSnap\",\"CommunicationProtocol\":\"tcp/ip\","
       "\"DatasnapContext\":\"datasnap/\",\"DriverAssemblyLoader\":\"\",\"DriverName\":\"DataSnap\","
       "\"HostName\":\"127.0.0.1\",\"Port\":\"" + std::to_string(server.Port()) + "\",\"Filters\":\"{}\"}]}"},
      {"prepare AS_GetRecords",
       "{\"method\":\"prepare\",\"params\":[-1,false,\"DataSnap.ServerMethod\",\"TServerMethods1.AS_GetRecords\"]}"},
      {"open DPIndice", Execute(0, OpenRow("DPIndice", StreamValue(kCodigo7)))},
      {"open DPLogEstoqueRec (no parameters: null)", Execute(0, OpenRow("DPLogEstoqueRec", Hex("c0")))},
      {"prepare AS_ApplyUpdates",
       "{\"method\":\"prepare\",\"params\":[-1,false,\"DataSnap.ServerMethod\",\"TServerMethods1.AS_ApplyUpdates\"]}"},
      {"apply the stock rows", Execute(1, ApplyInputRow("DPLogEstoqueRec", stock_delta))},
      {"open DPFiliais", Execute(0, OpenRow("DPFiliais", StreamValue(kCodigo7)))},
      {"more_blob for the result (third execute of the command, ordinal 7)",
       "{\"method\":\"more_blob\",\"params\":[0,3,0,7,true,0]}"},
      {"apply the branch stamp", Execute(1, ApplyInputRow("DPFiliais", branch_delta))},
      {"close (reset) DPLogEstoqueRec", Execute(0, ResetRow("DPLogEstoqueRec"))},
      {"close (reset) DPIndice", Execute(0, ResetRow("DPIndice"))},
      {"command_close AS_ApplyUpdates", "{\"method\":\"command_close\",\"params\":[1]}"},
      {"command_close AS_GetRecords", "{\"method\":\"command_close\",\"params\":[0]}"},
      {"disconnect, with the handle connect gave", "{\"method\":\"disconnect\",\"params\":[3]}"},
  };
  const std::size_t n = sizeof expected / sizeof expected[0];
  std::vector<std::string> got = server.WaitForMessages(n);
  ASSERT_EQ(got.size(), n);
  for (std::size_t i = 0; i < n; ++i) EXPECT_EQ(got[i], expected[i].bytes) << expected[i].what;
}

}  // namespace
