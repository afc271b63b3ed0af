// The one service object of the agent: it owns every component and carries the service's handlers.
#pragma once

#include <cstdint>
#include <memory>

#include "service/main_loop.h"
#include "service/service.h"

class TTavrimondoClient : public service::TService {
 public:
  static constexpr std::uint32_t kTimerInterval = 10000;  // ms between the end of a cycle and the next

  explicit TTavrimondoClient(service::MainLoop& loop);
  ~TTavrimondoClient() override;

  service::ControlHandler GetServiceController() override;

  // Components.
  std::unique_ptr<service::TTimer> Timer1;

  // Handlers.
  void ServiceStart(bool& Started);
  void ServiceExecute();
  void ServiceStop(bool& Stopped);
  void ServicePause(bool& Paused);
  void ServiceContinue(bool& Continued);
  void ServiceShutdown();
  void ServiceAfterInstall();
  void ServiceAfterUninstall();
  void Timer1Timer();

  void DoStart(bool& started) override { ServiceStart(started); }
  void DoExecute() override { ServiceExecute(); }
  void DoStop(bool& stopped) override { ServiceStop(stopped); }
  void DoPause(bool& paused) override { ServicePause(paused); }
  void DoContinue(bool& continued) override { ServiceContinue(continued); }
  void DoShutdown() override { ServiceShutdown(); }
  void DoAfterInstall() override { ServiceAfterInstall(); }
  void DoAfterUninstall() override { ServiceAfterUninstall(); }
};

// The process's one service object; the control callback reaches the service through it.
extern TTavrimondoClient* TavrimondoClient;

// The control callback registered with the service control manager.
void ServiceController(std::uint32_t CtrlCode);
