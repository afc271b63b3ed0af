// Answers a DataSnap server may give that the stand-in server never gives, from a scripted
// server: error objects without their outer brace or with a megabyte of text, endless chatter
// instead of an answer, a provider's packet with keys and a string field.
#include <gtest/gtest.h>

#include "common/text.h"
#include "connections/central/central_connection.h"
#include "connections/central/dbx_value.h"
#include "hex.h"
#include "scripted_server.h"

using namespace central;
using namespace centraltest;

namespace {

const Timeouts kGenerous{net::Millis(10000), net::Millis(20000)};

TEST(ScriptedServerTest, HandshakeConnectAndDisconnectBytes) {
  ScriptedServer s({"{\"result\":[3,\"DataSnap\",2]}"});
  TSQLConnection conn;
  conn.timeouts = kGenerous;
  conn.Params[5] = "HostName=127.0.0.1";
  conn.Params[6] = "Port=" + std::to_string(s.Port());
  conn.SetConnected(true);
  conn.SetConnected(false);  // disconnect is sent without waiting for an answer
  std::string received;
  for (const std::string& m : s.WaitForMessages(3)) received += m;
  EXPECT_EQ(received,
            std::string(5, '\x05') +
                "{\"method\":\"connect\",\"params\":[{\"DriverUnit\":\"Data.DBXDataSnap\",\"CommunicationProtocol\":"
                "\"tcp/ip\",\"DatasnapContext\":\"datasnap/\",\"DriverAssemblyLoader\":\"\",\"DriverName\":\"DataSnap\","
                "\"HostName\":\"127.0.0.1\",\"Port\":\"" + std::to_string(s.Port()) + "\",\"Filters\":\"{}\"}]}"
                "{\"method\":\"disconnect\",\"params\":[3]}");
}

TEST(ScriptedServerTest, ErrorObjectWithoutItsOuterBraceIsRaisedAsSent) {
  ScriptedServer s({"{\"error\":{\"name\":\"EX\",\"code\":5,\"message\":\"Remote error: sem chave\\nCaused by: x\"}"});
  TSQLConnection conn;
  conn.timeouts = kGenerous;
  conn.Params[5] = "HostName=127.0.0.1";
  conn.Params[6] = "Port=" + std::to_string(s.Port());
  try {
    conn.SetConnected(true);
    FAIL() << "no error";
  } catch (const RemoteError& e) {
    EXPECT_STREQ(e.what(), "Remote error: sem chave\nCaused by: x");
    EXPECT_EQ(e.code(), 5);
  }
  // A refused connect leaves nothing open for the cycle to go on with.
  EXPECT_FALSE(conn.Connected());
}

// A server's error text goes into the log at every failed connect: a megabyte of it is cut to
// what a report holds, and says so.
TEST(ScriptedServerTest, AHugeErrorTextIsCutAndMarked) {
  ScriptedServer s({"{\"error\":{\"name\":\"EX\",\"code\":5,\"message\":\"Remote error: " + std::string(1 << 20, 'x') + "\"}"});
  TSQLConnection conn;
  conn.timeouts = kGenerous;
  conn.Params[5] = "HostName=127.0.0.1";
  conn.Params[6] = "Port=" + std::to_string(s.Port());
  try {
    conn.SetConnected(true);
    FAIL() << "no error";
  } catch (const RemoteError& e) {
    const std::string m = e.what();
    EXPECT_EQ(m, "Remote error: " + std::string(text::kOutsideTextLimit - 14, 'x') + "...[cortado: 1048590 bytes]");
  }
}

TEST(ScriptedServerTest, AServerThatNeverAnswersButTalksIsCutOff) {
  std::string chatter;
  for (int i = 0; i < 100; ++i) chatter += "{\"metadata\":[0,]}";
  ScriptedServer s({"{\"result\":[0,\"DataSnap\",2]}",
                    "{\"result\":[{\"handle\":[0]},{\"fields\":[0,false]},{\"parameters\":[1,[6,0,1,0,0,\"N\",0,0,0]]}]}",
                    chatter});
  DbxConnection session;
  session.Open("127.0.0.1", s.Port(), {}, kGenerous);
  DbxCommand cmd = session.Prepare("TServerMethods1.X");
  EXPECT_THROW(session.Execute(cmd, {DbxValue::Int(1)}), ProtocolError);
  EXPECT_FALSE(session.IsOpen());
}

TEST(ScriptedServerTest, OpenThenDeltaOfAnEditAndAnInsert) {
  // The provider's answer to the open: ID (a key, PROVFLAGS 7) and NAME string(20), one row (1, "A").
  const std::string meta = Hex(
      "96 19 e0 bd 01 00 00 00 18 00 00 00 02 00 01 00 00 00 01 00 00 00 00 00"
      " 02 'ID' 04 00 01 00 00 00 01 00 09 'PROVFLAGS' 01 00 01 00 07"
      " 04 'NAME' 01 00 49 00 00 00 01 00 05 'WIDTH' 04 00 01 00 14 00 00 00"
      " 00 00"
      " 00 00 01 00 00 00 01 'A'");
  std::string row;
  dbx::AppendNull(row);
  dbx::AppendNull(row);
  dbx::AppendInt(row, 1);
  dbx::AppendNull(row);
  dbx::AppendNull(row);
  dbx::AppendBytes(row, ole::ToStream(ole::Variant::Empty()));
  dbx::AppendBytes(row, ole::ToStream(ole::Variant::Empty()));
  dbx::AppendBytes(row, ole::ToStream(ole::Variant::Bytes(meta)));
  std::string execute = "{\"result\":[";
  AppendDataObject(execute, row, false, false);
  execute += "]}";
  std::string prepare = "{\"result\":[{\"handle\":[0]},{\"fields\":[0,false]},{\"parameters\":[8";
  for (const char* p : {"26,0,1", "6,0,1", "6,0,2", "6,0,1", "26,0,1", "35,0,3", "33,0,3", "35,0,4"})  // an older adapter: a variant ParamReader
    prepare += std::string(",[") + p + ",0,0,\"P\",0,0,0]";
  prepare += "]}]}";
  ScriptedServer s({"{\"result\":[0,\"DataSnap\",2]}", prepare, execute});

  CentralConnection c;
  c.ConnServer.timeouts = kGenerous;
  c.ConnServer.Params[5] = "HostName=127.0.0.1";
  c.ConnServer.Params[6] = "Port=" + std::to_string(s.Port());
  TClientDataSet& ds = c.CDSLogEstoqueRec;
  ds.Open();
  EXPECT_EQ(ds.FieldByName("NAME").AsString(), "A");
  ds.Edit();
  ds.FieldByName("NAME").SetAsString("B");
  ds.Post();
  ds.Insert();
  ds.FieldByName("ID").SetAsInteger(2);
  ds.Post();
  EXPECT_EQ(ds.DeltaPacket(),
            Hex("96 19 e0 bd 01 00 00 00 18 00 00 00 02 00 03 00 00 00 03 00 00 00 65 00"
                " 02 'ID' 04 00 01 00 00 00 01 00 09 'PROVFLAGS' 01 00 01 00 07"
                " 04 'NAME' 01 00 49 00 00 00 01 00 05 'WIDTH' 04 00 01 00 14 00 00 00"
                " 01 00 0d 'DATASET_DELTA' 04 00 02 00 01 00 00 00"
                " 01 00 01 00 00 00 01 'A'"  // the edited row as fetched
                " 08 02 01 'B'"              // its change: ID not changed
                " 04 04 02 00 00 00"));      // the inserted row: NAME null
}

}  // namespace
