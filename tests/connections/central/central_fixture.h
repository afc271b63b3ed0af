// A client CentralConnection against a stand-in central server process, with the steps the
// replication cycle takes; shared by the round-trip tests.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "connections/central/central_connection.h"
#include "server_process.h"
#include "test_util.h"

namespace centraltest {

using namespace central;

inline const Timeouts kShort{net::Millis(3000), net::Millis(1500)};

struct Rejection {
  std::string dataset, message;
};

class CentralTest : public ::testing::Test {
 protected:
  testutil::TempDir dir;
  std::unique_ptr<testutil::ServerProcess> server;
  CentralConnection c;
  std::vector<Rejection> rejections;

  void Start(std::vector<std::string> args) {
    server = std::make_unique<testutil::ServerProcess>(TAVRIMONDO_CENTRAL_EXE, dir.path(), std::move(args));
    PointAt(server->port());
    c.ConnServer.timeouts = kShort;
    c.SetReconcileErrorHandler([this](TClientDataSet& ds, const EReconcileError& e, TUpdateKind, TReconcileAction&) {
      rejections.push_back({ds.Name, e.what()});
    });
  }
  void PointAt(std::uint16_t port) {
    c.ConnServer.Params[c.ConnServer.Params.IndexOfName("HostName")] = "HostName=127.0.0.1";
    c.ConnServer.Params[c.ConnServer.Params.IndexOfName("Port")] = "Port=" + std::to_string(port);
  }
  std::string Index(std::int32_t loja) {
    c.CDSIndice.Close();
    c.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(loja);
    c.CDSIndice.Open();
    return c.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString();
  }
  // Posts one outgoing stock row the way the replication cycle does.
  void PostRow(std::int64_t seq, std::int32_t loja, const std::string& produto, std::int64_t estoque) {
    TClientDataSet& ds = c.CDSLogEstoqueRec;
    ds.Insert();
    ds.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(std::to_string(seq));
    ds.FieldByName("CODIGOLOJA").SetAsInteger(loja);
    ds.FieldByName("CODIGOPRODUTO").SetAsString(produto);
    ds.FieldByName("ESTOQUEATUAL").SetAsCurrency(estoque);
    ds.Post();
  }
  int StoredRows() {
    std::string d = server->Dump();
    int n = 0;
    for (std::size_t p = d.find("row "); p != std::string::npos; p = d.find("row ", p + 1)) ++n;
    return n;
  }
};

}  // namespace centraltest
