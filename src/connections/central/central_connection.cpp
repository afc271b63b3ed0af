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
    settings::DoSaveLog("Conectou no Servidor Central");
  } catch (const std::exception& e) {
    settings::DoSaveLog(e.what());
  }
}

}  // namespace central
