// Hostile and broken answers from a scripted server: each is refused with a clear ProtocolError
// that ends the exchange and closes the connection, and reading it never holds more than the
// answer budget, measured in bytes allocated by the client's thread.
#include <gtest/gtest.h>

#include <cstdio>

#include "alloc_counter.h"
#include "connections/central/central_connection.h"
#include "hex.h"
#include "process_memory.h"
#include "scripted_server.h"

using namespace central;
using namespace centraltest;

namespace {

const Timeouts kGenerous{net::Millis(10000), net::Millis(20000)};

// What reading one answer may hold at most: a message (2 MB) or the stream values of an answer
// (4 MB) with the structures read from them.
constexpr std::size_t kAnswerBudget = 16u << 20;


std::string Chunk(const std::string& bytes, bool last) {
  std::string n = (last ? "-" : "") + std::to_string(bytes.size());
  n.append(n.size() < 9 ? 9 - n.size() : 0, ' ');
  return "{\"result\":[{\"data\":[" + n + "," + bytes + "]}]}";
}

// Answers connect and the prepare of AS_GetRecords, then the open with `result` as the Result's
// variant stream: inline when it fits, else its first 30,000 bytes and the rest through
// more_blob in chunks of 32,736. `endless`: the chunks never end.
ScriptedServer::Responder OpenAnswer(std::string result, bool endless = false) {
  auto sent = std::make_shared<std::size_t>(0);
  return [result = std::move(result), endless, sent](const JValue&, std::size_t i) -> std::string {
    if (i == 0) return "{\"result\":[0,\"DataSnap\",2]}";
    if (i == 1) return kPrepareGetRecords;
    if (i == 2) {
      if (result.size() <= 30000 && !endless) return ExecuteResult(GetRecordsRow(StreamValue(result)));
      *sent = 30000;
      return ExecuteResult(GetRecordsRow(StreamValue(result.substr(0, std::min<std::size_t>(30000, result.size())), /*more=*/true)));
    }
    if (endless) return Chunk(std::string(32736, 'x'), false);
    std::string part = result.substr(std::min(*sent, result.size()), 32736);
    *sent += part.size();
    return Chunk(part, *sent >= result.size());
  };
}

// A packet of `fields` int32 fields named "F" and `rows` rows of nulls.
std::string NullRowsPacket(std::size_t fields, std::size_t rows) {
  std::string p = Hex("96 19 e0 bd 01 00 00 00 18 00 00 00") + std::string{static_cast<char>(fields & 0xFF), static_cast<char>(fields >> 8)} +
                  Le32(static_cast<std::uint32_t>(rows)) + Hex("01 00 00 00 00 00");
  for (std::size_t f = 0; f < fields; ++f) p += Hex("01 'F' 04 00 01 00 00 00 00 00");
  p += Hex("00 00");
  const std::string row = std::string(1, '\0') + std::string((fields + 3) / 4, '\x55');  // every field null
  for (std::size_t r = 0; r < rows; ++r) p += row;
  return p;
}

// The DPIndice packet with `rows` rows.
std::string IndicePacket(std::size_t rows) {
  std::string p = Hex("96 19 e0 bd 01 00 00 00 18 00 00 00 02 00") + Le32(static_cast<std::uint32_t>(rows)) +
                  Hex("01 00 00 00 00 00 0a 'CODIGOLOJA' 04 00 01 00 00 00 00 00 11 'RPL_INDICEESTOQUE' 01 00 49 00 00 00 00 00 00 00");
  for (std::size_t r = 0; r < rows; ++r) p += Hex("00 00 07 00 00 00 01 '1'");
  return p;
}

struct Refusal {
  std::string message;  // of the ProtocolError; empty when none was raised
  bool connected;
  std::size_t peak;  // bytes the client's thread held at most while reading the answer
};

Refusal OpenIndiceAgainst(ScriptedServer::Responder responder) {
  ScriptedServer server(std::move(responder));
  CentralConnection c;
  c.ConnServer.timeouts = kGenerous;
  c.ConnServer.Params[5] = "HostName=127.0.0.1";
  c.ConnServer.Params[6] = "Port=" + std::to_string(server.Port());
  c.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(7);
  Refusal r;
  alloccount::Start();
  try {
    c.CDSIndice.Open();
  } catch (const ProtocolError& e) {
    r.message = e.what();
  }
  alloccount::Stop();
  r.peak = alloccount::Peak();
  r.connected = c.ConnServer.Connected();
  return r;
}

TEST(HostileAnswers, AreRefusedWithinTheBudgetAndEndTheConnection) {
  std::string zeros = "{\"result\":[";
  for (int i = 0; i < 1000000; ++i) zeros += "0,";
  zeros += "0]}";
  const struct {
    const char* what;
    ScriptedServer::Responder answer;
    const char* says;
  } cases[] = {
      {"two MB of [0,0,0,...]: a node per value",
       [&](const JValue&, std::size_t i) -> std::string {
         return i == 0 ? "{\"result\":[0,\"DataSnap\",2]}" : i == 1 ? std::string(kPrepareGetRecords) : zeros;
       },
       "more than 4096 values"},
      {"a message beyond 2 MB",
       [](const JValue&, std::size_t i) -> std::string {
         return i == 0 ? "{\"result\":[0,\"DataSnap\",2]}" : "{\"result\":[\"" + std::string(3u << 20, 'x') + "\"]}";
       },
       "longer than 2097152 bytes"},
      {"more rows than the 500 asked for", OpenAnswer(PacketStream(IndicePacket(501))), "501 rows, more than the 500 asked for"},
      {"20,000 fields of null rows: cells without bytes", OpenAnswer(PacketStream(NullRowsPacket(20000, 10))),
       "take more room than the 65536 cells a packet may hold"},
      {"a result whose chunks never end", OpenAnswer(PacketStream(IndicePacket(1)), /*endless=*/true),
       "more than 4194304 bytes of values"},
  };
  const std::size_t resident_before = ResidentBytes();
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    Refusal r = OpenIndiceAgainst(k.answer);
    EXPECT_NE(r.message.find(k.says), std::string::npos) << r.message;
    EXPECT_FALSE(r.connected);
    EXPECT_LT(r.peak, kAnswerBudget);
    RecordProperty(k.what, std::to_string(r.peak));
  }
  // For the record (the budget above is what is tested): the process's peak against where it
  // stood before the answers, the scripted server's copies of them included.
  std::printf("resident before the hostile answers: %.1f MB; peak: %.1f MB\n", ResidentBytes() ? resident_before / 1048576.0 : 0.0,
              PeakResidentBytes() / 1048576.0);
}

// The largest answer the limits let through, as one variant stream of many small values of one
// kind: each value takes far more to hold than its bytes in the stream, so the count of values is
// capped, and reading stays within the budget whatever the kind.
TEST(HostileAnswers, AVariantStreamOfManySmallValuesStaysWithinTheBudget) {
  const std::size_t budget_bytes = (4u << 20) - 64;  // the values of one answer, less the array's head
  const struct {
    const char* kind;
    std::string value;  // one element, as the variant streamer writes it
  } kinds[] = {
      {"empty", Le32(0)},
      {"null", Le32(1)},
      {"integer", Le32(3) + Le32(7)},
      {"double", Le32(5) + std::string(8, '\0')},
      {"empty text", Le32(8) + Le32(0)},
      {"by reference", Le32(0x400C) + Le32(1)},
      {"empty array", Le32(0x200C) + Le32(1) + Le32(0) + Le32(0xFFFFFFFF)},
      {"byte array", Le32(0x2011) + Le32(1) + Le32(0) + Le32(0) + Le32(1) + "x"},
  };
  for (const auto& k : kinds) {
    SCOPED_TRACE(k.kind);
    const std::size_t n = budget_bytes / k.value.size();
    std::string stream = "\x02" + Le32(0x200C) + Le32(1) + Le32(0) + Le32(static_cast<std::uint32_t>(n - 1));
    stream.reserve(stream.size() + n * k.value.size());
    for (std::size_t i = 0; i < n; ++i) stream += k.value;
    Refusal r = OpenIndiceAgainst(OpenAnswer(stream));
    EXPECT_NE(r.message.find("more than 65536 values"), std::string::npos) << r.message;
    EXPECT_FALSE(r.connected);
    EXPECT_LT(r.peak, kAnswerBudget);
    RecordProperty(k.kind, std::to_string(r.peak));
  }
}

TEST(HostileAnswers, AWellBehavedLargeAnswerIsRead) {
  // 500 rows in chunks: within every limit.
  Refusal r = OpenIndiceAgainst(OpenAnswer(PacketStream(IndicePacket(500))));
  EXPECT_EQ(r.message, "");
  EXPECT_TRUE(r.connected);
}

// ---- the error count -----------------------------------------------------------------------------

TEST(HostileAnswers, AnErrorCountThatCannotBeTrustedIsAnErrorAndNothingLeavesTheChangeLog) {
  // DPLogEstoqueRec's fields: the product alone is enough for the delta.
  const std::string meta = Hex(
      "96 19 e0 bd 01 00 00 00 18 00 00 00 01 00 00 00 00 00 01 00 00 00 00 00 0d 'CODIGOPRODUTO' 01 00 49 00 00 00 00 00 00 00");
  // One rejected row, as a provider's error packet holds it.
  const std::string error_packet = Hex(
      "96 19 e0 bd 01 00 00 00 18 00 00 00 02 00 01 00 00 00 01 00 00 00 00 00"
      " 0e 'ERROR_RECORDNO' 04 00 01 00 00 00 00 00 0d 'ERROR_MESSAGE' 01 00 49 00 00 00 00 00 00 00"
      " 00 00 01 00 00 00 04 'nope'");
  const struct {
    const char* what;
    std::string error_count;  // the ErrorCount value of the answer's row
    std::string result;       // its Result value
    const char* says;
  } cases[] = {
      {"2^31: would read as a negative count", Hex("64 80 00 00 00"), Hex("c0"), "outside the range of its type"},
      {"2^32: would truncate to 0", Hex("65 01 00 00 00 00"), Hex("c0"), "outside the range of its type"},
      {"missing", Hex("c0"), Hex("c0"), "holds no error count"},
      {"negative", Hex("21 01"), Hex("c0"), "negative error count"},
      {"0 beside a rejected row", Hex("60"), StreamValue(PacketStream(error_packet)), "reported no errors but rejected 1 row"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string apply = ExecuteResult(Hex("c0 c0 c0") + k.error_count + StreamValue(UnassignedStream()) + k.result);
    ScriptedServer server({"{\"result\":[0,\"DataSnap\",2]}", kPrepareGetRecords,
                           ExecuteResult(GetRecordsRow(StreamValue(PacketStream(meta)))), kPrepareApplyUpdates, apply});
    CentralConnection c;
    c.ConnServer.timeouts = kGenerous;
    c.ConnServer.Params[5] = "HostName=127.0.0.1";
    c.ConnServer.Params[6] = "Port=" + std::to_string(server.Port());
    TClientDataSet& ds = c.CDSLogEstoqueRec;
    ds.Open();
    ds.Insert();
    ds.FieldByName("CODIGOPRODUTO").SetAsString("P1");
    ds.Post();
    try {
      ds.ApplyUpdates(0);
      ADD_FAILURE() << "no error";
    } catch (const ProtocolError& e) {
      EXPECT_NE(std::string(e.what()).find(k.says), std::string::npos) << e.what();
    }
    EXPECT_EQ(ds.ChangeCount(), 1);  // the row is still to be sent
    EXPECT_FALSE(c.ConnServer.Connected());
  }
}

}  // namespace
