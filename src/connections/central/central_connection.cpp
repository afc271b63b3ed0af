#include "connections/central/central_connection.h"

#include "settings/activity_log.h"
#include "settings/ini_file.h"

namespace central {

CentralConnection::CentralConnection()
    : DSPServer(ConnServer, "TServerMethods1"),
      CDSLogEstoqueRec("CDSLogEstoqueRec", DSPServer, "DPLogEstoqueRec"),
      CdsFiliais("CdsFiliais", DSPServer, "DPFiliais"),
      CDSIndice("CDSIndice", DSPServer, "DPIndice") {
  CdsFiliais.Params.Add(TParam("CODIGO", ole::ftInteger, ole::ptInput));
  CDSIndice.Params.Add(TParam("CODIGO", ole::ftString, ole::ptInput));
}

CentralConnection::~CentralConnection() {
  // DSPServer closes its commands while ConnServer disconnects, so that must happen while both live.
  ConnServer.SetConnected(false);
}

void CentralConnection::SetReconcileErrorHandler(const TReconcileErrorEvent& handler) {
  CDSLogEstoqueRec.OnReconcileError = handler;
  CdsFiliais.OnReconcileError = handler;
  CDSIndice.OnReconcileError = handler;
}

void CentralConnection::SetHandlerExceptionSink(const std::function<void(const std::exception&)>& sink) {
  CDSLogEstoqueRec.OnHandlerException = sink;
  CdsFiliais.OnHandlerException = sink;
  CDSIndice.OnHandlerException = sink;
}

std::string CentralConnection::Where() const {
  return ConnServer.Params.Values("HostName") + ":" + ConnServer.Params.Values("Port");
}

void ConfiguraConexaoCentral(CentralConnection& c) {
  std::lock_guard lock(c.Lock);
  c.ConnServer.SetConnected(false);
  std::string host;
  {
    settings::TIniFile ini(settings::SettingsFilePath());
    host = ini.ReadString(settings::kSettingsSection, "ServidorCentral", "localhost");
  }
  const int i = c.ConnServer.Params.IndexOfName("HostName");
  if (i >= 0) c.ConnServer.Params[i] = "HostName=" + host;
  else c.ConnServer.Params.Add("HostName=" + host);
  try {
    c.ConnServer.SetConnected(true);
    c.Trouble.Succeeded(c.Where(), /*quiet=*/true);
    settings::DoSaveLog(messages::Format(messages::kCentralConnected));
  } catch (const std::exception& e) {
    c.Trouble.Failed(c.Where(), e.what(), /*always=*/true);
  }
}

}  // namespace central
