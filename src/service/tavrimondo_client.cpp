#include "service/tavrimondo_client.h"

#include "settings/activity_log.h"

using settings::DoSaveLog;

TTavrimondoClient* TavrimondoClient = nullptr;

void ServiceController(std::uint32_t CtrlCode) {
  if (TavrimondoClient) TavrimondoClient->Controller(CtrlCode);
}

TTavrimondoClient::TTavrimondoClient(service::MainLoop& loop)
    : TService("TavrimondoClient", "Tavrimondo (Sender Client)") {
  // Armed as soon as the service object exists; its ticks arrive on the main thread.
  Timer1 = std::make_unique<service::TTimer>(loop, kTimerInterval, [this] { Timer1Timer(); });
}

TTavrimondoClient::~TTavrimondoClient() = default;

service::ControlHandler TTavrimondoClient::GetServiceController() { return &ServiceController; }

void TTavrimondoClient::ServiceStart(bool&) { DoSaveLog("Iniciou o Serviço"); }

void TTavrimondoClient::ServiceExecute() {
  Timer1->SetEnabled(true);
  while (!Terminated()) ServiceThread()->ProcessRequests(true);
  Timer1->SetEnabled(false);
}

void TTavrimondoClient::ServiceStop(bool&) { DoSaveLog("Parou o Serviço"); }
void TTavrimondoClient::ServicePause(bool&) { DoSaveLog("Pausou o Serviço"); }
void TTavrimondoClient::ServiceContinue(bool&) { DoSaveLog("Reiniciou o Serviço"); }
void TTavrimondoClient::ServiceShutdown() { DoSaveLog("Fechou o Serviço"); }
void TTavrimondoClient::ServiceAfterInstall() { DoSaveLog("Instalou o Serviço"); }
void TTavrimondoClient::ServiceAfterUninstall() { DoSaveLog("Desinstalou o Serviço"); }

// The replication cycle runs here once the connections exist.
void TTavrimondoClient::Timer1Timer() {}
