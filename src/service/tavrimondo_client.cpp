#include "service/tavrimondo_client.h"

#include <stdexcept>
#include <string>

#include "common/messages.h"
#include "platform/os.h"
#include "replication/replication_cycle.h"
#include "service/folder_trust.h"
#include "service/service_application.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"

using messages::Format;
using settings::DoSaveLog;

namespace {
constexpr std::uint32_t kControlStop = 1, kControlContinue = 3, kControlShutdown = 5;
}  // namespace

TTavrimondoClient* TavrimondoClient = nullptr;

void ServiceController(std::uint32_t CtrlCode) {
  if (TavrimondoClient) TavrimondoClient->Controller(CtrlCode);
}

TTavrimondoClient::TTavrimondoClient(replication::MainLoop& loop)
    : TService(kServiceName, kServiceDisplayName),
      // A record that cannot be written is worth one event-log entry, never a failed cycle.
      Record(replication::CycleRecordPath(), [this](const std::string& message) {
        LogMessage(Format(messages::kEvRecordUnwritable, {replication::CycleRecordPath(), message}));
      }) {
  // Armed as soon as the service object exists; its ticks arrive on the main thread.
  Timer1 = std::make_unique<replication::TTimer>(loop, kTimerInterval, [this] { Timer1Timer(); });
  Central.SetReconcileErrorHandler(
      [this](central::TClientDataSet& ds, const central::EReconcileError& e, central::TUpdateKind k,
             central::TReconcileAction& a) { CDSIndiceReconcileError(ds, e, k, a); });
  // A reconcile report that cannot be written goes where errors escaping the main thread go.
  Central.SetHandlerExceptionSink([](const std::exception& e) {
    os::WriteEventLog(service::TServiceApplication::EventSource(), Format(messages::kEvCycleFailed, {e.what()}));
  });
}

TTavrimondoClient::~TTavrimondoClient() = default;

service::ControlHandler TTavrimondoClient::GetServiceController() { return &ServiceController; }

bool TTavrimondoClient::TakeFolder(long& holder) {
  std::lock_guard lock(instance_mu_);
  holder = 0;
  if (instance_ || instance_unavailable_) return true;
  try {
    instance_ = os::InstanceLock::TryTake(settings::StateDirectory() + kInstanceLockFileName, holder);
  } catch (const os::OsError& e) {
    // A folder where the lock cannot even be created is no reason to stop replicating.
    instance_unavailable_ = true;
    LogMessage(Format(messages::kEvNoFolderLock, {e.what()}));
    return true;
  }
  return instance_ != nullptr;
}

void TTavrimondoClient::ServiceStart(bool&) {
  long holder = 0;
  if (!TakeFolder(holder))
    throw messages::EventError(
        Format(messages::kEvAnotherAgent, {holder > 0 ? " (processo " + std::to_string(holder) + ")" : std::string()}));
  // Held through the log line too, so that a cycle's lines never fall between the connection
  // procedures' lines and this one.
  std::lock_guard lock(ConnectionLock);
  central::ConfiguraConexaoCentral(Central);
  localdb::ConfiguraConexaoLocal(Local);
  DoSaveLog(Format(messages::kStarted));
  LogMessage(Format(messages::kEvStarted, {Name(), settings::LogDirectory()}));
  CheckProgramFolder();
}

void TTavrimondoClient::ServiceExecute() {
  Timer1->SetEnabled(true);
  while (!Terminated()) ServiceThread()->ProcessRequests(true);
  Timer1->SetEnabled(false);
}

void TTavrimondoClient::ServiceStop(bool&) {
  DoSaveLog(Format(messages::kStopped));
  LogMessage(Format(messages::kEvStopped, {Name()}));
}
void TTavrimondoClient::ServicePause(bool&) { DoSaveLog(Format(messages::kPaused)); }
void TTavrimondoClient::ServiceContinue(bool& Continued) {
  // Waits for a cycle in progress, which ends at its next batch boundary on seeing this request.
  // A stop or shutdown that comes meanwhile is not kept waiting behind it: the continue gives way.
  std::unique_lock lock(ConnectionLock, std::defer_lock);
  while (!lock.try_lock_for(std::chrono::milliseconds(100))) {
    if (ControlWaiting({kControlStop, kControlShutdown})) {
      Continued = false;
      return;
    }
  }
  central::ConfiguraConexaoCentral(Central);
  localdb::ConfiguraConexaoLocal(Local);
  DoSaveLog(Format(messages::kContinued));
  CheckProgramFolder();
}

void TTavrimondoClient::CheckProgramFolder() {
  // After the connection procedures: the client library they loaded is checked too (it was judged
  // before it loaded; this says so again should it have become changeable since), and the files
  // they refused to load are named.
  service::WarnIfProgramFolderUntrusted(Local.FDPhysFBDriverLink1.Manager().LoadedPath(), Name());
  service::ReportRefusedLibraries(Local.FDPhysFBDriverLink1.Manager().Refused(), Name());
}
void TTavrimondoClient::ServiceShutdown() { DoSaveLog(Format(messages::kShutdown)); }
void TTavrimondoClient::ServiceAfterInstall() { DoSaveLog(Format(messages::kInstalled)); }
void TTavrimondoClient::ServiceAfterUninstall() { DoSaveLog(Format(messages::kUninstalled)); }

bool TTavrimondoClient::CycleShouldYield() const {
  return Stopping() || ControlWaiting({kControlStop, kControlContinue, kControlShutdown});
}

void TTavrimondoClient::Timer1Timer() {
  replication::CycleReport report;
  // The record is written whatever the cycle's end; a failure then goes on to the event log.
  auto record = [&] {
    try {
      service::host::SetStatusText(Record.RecordCycle(report));
    } catch (...) {
      // Nothing about the record may change how the cycle ends.
    }
  };
  // Every cycle names the client libraries found and not loaded: whoever planted one, or put the
  // wrong file there, is seen in any month's log.
  auto name_refused = [&] { service::ReportRefusedLibraries(Local.FDPhysFBDriverLink1.Manager().Refused(), Name()); };
  try {
    replication::Timer1Timer(
        {Central, Local, *Timer1, ConnectionLock, Replication, [this] { return CycleShouldYield(); }, &report});
  } catch (...) {
    record();
    name_refused();
    throw;
  }
  record();
  name_refused();
}

int TTavrimondoClient::SendStatus(const service::StatusReport& report) {
  // Recorded before it is reported: a status check never reads an older state than the service
  // manager shows, and once stopped is reported the process may end at any moment. Not by a
  // second agent on this folder, which must leave the running one's record alone.
  long holder = 0;
  if (TakeFolder(holder)) Record.RecordServiceState(service::StateName(report.current_state));
  return TService::SendStatus(report);
}

void TTavrimondoClient::CDSIndiceReconcileError(central::TClientDataSet& DataSet, const central::EReconcileError& E,
                                                central::TUpdateKind UpdateKind, central::TReconcileAction& Action) {
  replication::CDSIndiceReconcileError(DataSet, E, UpdateKind, Action);
}
