// The central server connection as the service owns it: the DataSnap connection `ConnServer`,
// the provider connection `DSPServer` on the server class "TServerMethods1", and the three
// client datasets on its providers.
//
// Thread-safety: the service thread (start, continue) and the main thread (cycles) share these
// objects. Hold Lock around every use (ConfiguraConexaoCentral takes it itself).
#pragma once

#include <mutex>

#include "connections/central/client_dataset.h"
#include "connections/central/provider_connection.h"
#include "settings/connection_trouble.h"

namespace central {

class CentralConnection {
 public:
  CentralConnection();
  ~CentralConnection();
  CentralConnection(const CentralConnection&) = delete;
  CentralConnection& operator=(const CentralConnection&) = delete;

  std::recursive_mutex Lock;

  TSQLConnection ConnServer;
  TDSProviderConnection DSPServer;
  TClientDataSet CDSLogEstoqueRec;  // provider "DPLogEstoqueRec", no parameters
  TClientDataSet CdsFiliais;        // provider "DPFiliais", CODIGO integer
  TClientDataSet CDSIndice;         // provider "DPIndice", CODIGO declared as text
  // What the activity log has heard of this connection's failures.
  settings::ConnectionTrouble Trouble{messages::kCentralConnectFailed, messages::kCentralReconnected};

  // The host and port it connects to, as its failures name them.
  std::string Where() const;

  // Binds one reconcile handler to all three datasets.
  void SetReconcileErrorHandler(const TReconcileErrorEvent& handler);
  // Binds where an exception escaping that handler goes (see TClientDataSet::OnHandlerException).
  void SetHandlerExceptionSink(const std::function<void(const std::exception&)>& sink);
};

// Points ConnServer at the host named by "ServidorCentral" in the settings file (default
// "localhost") and connects, logging "Conectou no Servidor Central" or the failure, naming the host.
// Exceptions from before the connect attempt reach the caller; so does a failure to log the
// failure of writing the success line.
void ConfiguraConexaoCentral(CentralConnection& c);

}  // namespace central
