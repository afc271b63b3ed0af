// libFuzzer target for the whole exchange: the input is everything a central server sends, played
// through the connection object while the agent makes the calls of a cycle (the index, a batch of
// stock rows, the branch stamp, the closing sequence). A broken or hostile answer must end in one
// of the errors the agent handles; a crash, a sanitizer report, another exception, a hang or an
// allocation beyond the fuzzer's limits is a finding.
#include <cstdint>
#include <string_view>
#include <typeinfo>

#include "connections/central/central_connection.h"
#include "../memory_transport.h"

using namespace central;

namespace {

// The errors a cycle meets and handles: the server's word, a broken answer, the network, a value
// the server's fields cannot hold, a field or dataset state the answer did not allow for.
template <class F>
void Step(F&& f) {
  try {
    f();
  } catch (const ProtocolError&) {
  } catch (const RemoteError&) {
  } catch (const net::NetError&) {
  } catch (const EConvertError&) {
  } catch (const std::logic_error& e) {
    if (typeid(e) != typeid(std::logic_error) && typeid(e) != typeid(std::out_of_range)) throw;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view answers(reinterpret_cast<const char*>(data), size);
  int connects = 0;
  CentralConnection c;
  // Memory never waits; the deadline only has to outlast a slow sanitized run.
  c.ConnServer.timeouts = Timeouts{net::Millis(5000), net::Millis(5000)};
  // Every connection hears the same answers from the start; a few reconnections at most.
  c.ConnServer.SetConnector([&](const std::string&, std::uint16_t, net::Millis) -> std::unique_ptr<Transport> {
    if (++connects > 3) throw net::NetError("Cannot connect to the server");
    return std::make_unique<centraltest::MemoryTransport>(answers);
  });
  std::size_t reported = 0;
  c.SetReconcileErrorHandler([&](TClientDataSet&, const EReconcileError& e, TUpdateKind, TReconcileAction&) {
    reported += std::string_view(e.what()).size();
  });

  Step([&] {
    c.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(7);
    c.CDSIndice.Open();
    c.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString();
  });
  Step([&] {
    TClientDataSet& ds = c.CDSLogEstoqueRec;
    ds.Open();
    for (int i = 1; i <= 3; ++i) {
      ds.Insert();
      ds.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(std::to_string(i));
      ds.FieldByName("CODIGOLOJA").SetAsInteger(7);
      ds.FieldByName("CODIGOPRODUTO").SetAsString("PRODUTO-\xC3\xA7" + std::to_string(i));
      ds.FieldByName("ESTOQUEATUAL").SetAsCurrency(125000 * i);
      ds.Post();
    }
    ds.ApplyUpdates(0);
  });
  Step([&] {
    TClientDataSet& f = c.CdsFiliais;
    f.Params.ParamByName("CODIGO").SetAsInteger(7);
    f.Open();
    if (f.IsEmpty()) return;
    f.Edit();
    f.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(f.FieldByName("DATAHORA").AsDateTime());
    f.Post();
    f.ApplyUpdates(0);
  });
  Step([&] { c.CDSLogEstoqueRec.Close(); });
  Step([&] { c.CDSIndice.Close(); });
  Step([&] { c.CdsFiliais.Close(); });
  c.ConnServer.SetConnected(false);  // never throws
  return 0;
}
