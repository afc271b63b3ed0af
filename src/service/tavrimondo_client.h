// The one service object of the agent: it owns every component and carries the service's handlers.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "connections/central/central_connection.h"
#include "connections/local/local_connection.h"
#include "replication/cycle_record.h"
#include "replication/main_loop.h"
#include "replication/replication_cycle.h"
#include "platform/instance_lock.h"
#include "service/service.h"

// The service's name with the service manager, and the name it shows.
inline constexpr const char* kServiceName = "TavrimondoClient";
// Held by the running service in the program's folder: one agent per folder.
inline constexpr const char* kInstanceLockFileName = "Tavrimondo_Agente.lock";
inline constexpr const char* kServiceDisplayName = "Tavrimondo (Sender Client)";

class TTavrimondoClient : public service::TService {
 public:
  static constexpr std::uint32_t kTimerInterval = 10000;  // ms between the end of a cycle and the next

  explicit TTavrimondoClient(replication::MainLoop& loop);
  ~TTavrimondoClient() override;

  service::ControlHandler GetServiceController() override;

  // Components: the central connection with its client datasets, the timer of the replication
  // cycle, and the local connection with its transactions and statements.
  central::CentralConnection Central;
  std::unique_ptr<replication::TTimer> Timer1;
  localdb::LocalConnection Local;

  // Held by a replication cycle and by the start and continue procedures, so that they never use
  // the connections at the same time. A stop does not take it.
  std::recursive_timed_mutex ConnectionLock;
  // What the replication cycle carries from one cycle to the next.
  replication::ReplicationMemory Replication;
  // Taken when the service run reports its first state: a second agent on the same folder would
  // send the same rows, keep the same state file and overwrite the same cycle record as this
  // one. False when another process holds the folder (`holder`: its id, when known).
  bool TakeFolder(long& holder);

  // Whether a stop, shutdown or continue waits, so that a running cycle ends at its next batch
  // boundary instead of making it wait behind the whole backlog.
  bool CycleShouldYield() const;

  // The record of the last cycle and of the service's state, next to the executable, for the
  // status check.
  replication::CycleRecorder Record;

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
  void CDSIndiceReconcileError(central::TClientDataSet& DataSet, const central::EReconcileError& E,
                               central::TUpdateKind UpdateKind, central::TReconcileAction& Action);

  // Warns when others can change what the service runs (the folder, the program, its settings,
  // the client library): at every start and continue.
  void CheckProgramFolder();

  void DoStart(bool& started) override { ServiceStart(started); }
  void DoExecute() override { ServiceExecute(); }
  void DoStop(bool& stopped) override { ServiceStop(stopped); }
  void DoPause(bool& paused) override { ServicePause(paused); }
  void DoContinue(bool& continued) override { ServiceContinue(continued); }
  void DoShutdown() override { ServiceShutdown(); }
  void DoAfterInstall() override { ServiceAfterInstall(); }
  void DoAfterUninstall() override { ServiceAfterUninstall(); }

 protected:
  // Every state reported to the service manager goes into the cycle record too, unless another
  // agent runs from this folder.
  int SendStatus(const service::StatusReport& report) override;

 private:
  std::unique_ptr<os::InstanceLock> instance_;
  bool instance_unavailable_ = false;  // the lock file cannot be opened: run without it
  std::mutex instance_mu_;
};

// The process's one service object; the control callback reaches the service through it.
extern TTavrimondoClient* TavrimondoClient;

// The control callback registered with the service control manager.
void ServiceController(std::uint32_t CtrlCode);
