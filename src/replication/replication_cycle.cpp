#include "replication/replication_cycle.h"

#include <exception>
#include <optional>
#include <string>

#include "settings/activity_log.h"
#include "settings/ini_file.h"

namespace replication {

using settings::DoSaveLog;

namespace {

// The report of the cycle running on this thread, for the reconcile handler; null between cycles.
thread_local CycleReport* t_report = nullptr;

// Opens a connection that is closed; a failure is logged by its message alone.
template <class Connection>
void ConnectIfClosed(Connection& conn, CycleReport& report) {
  if (conn.Connected()) return;
  try {
    conn.SetConnected(true);
  } catch (const std::exception& e) {
    if (report.error.empty()) report.error = e.what();
    DoSaveLog(e.what());
  }
}

// Runs one step of the closing sequence; the first failure is kept and the sequence goes on.
template <class F>
void Attempt(std::exception_ptr& failure, F&& step) {
  try {
    step();
  } catch (...) {
    if (!failure) failure = std::current_exception();
  }
}

void SendAndStamp(central::CentralConnection& C, localdb::LocalConnection& L, CycleReport& report) {
  // 5. The store code: CODIGOLOJA of the store row, read anew wherever it is needed.
  L.TBPadrao.Open();
  auto CodigoLoja = [&] { return L.TBPadrao.FieldByName("CODIGOLOJA").AsInteger(); };

  // 6. The replication index as the central server reports it.
  C.CDSIndice.Close();
  C.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(CodigoLoja());
  C.CDSIndice.Open();
  auto Indice = [&] { return C.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString(); };

  // 7. Initial load when the central server has received nothing yet.
  std::optional<std::int32_t> RetornoCDS;
  const std::string indice = Indice();
  report.index_before = report.index_after = indice;
  if (indice.empty() || indice == "0") {
    RetornoCDS = 0;
    L.TBCargaInicial.Close();
    L.TBCargaInicial.ExecSQL();
  }

  // 8. The verbose switch, read once per cycle.
  const bool MonitorarComando =
      settings::TIniFile(settings::SettingsFilePath()).ReadBool(settings::kSettingsSection, "MonitorarComando", false);

  // 9. Prepare the send.
  std::int32_t NumeroComandos = 0;
  std::int32_t Contagem = 0;
  C.CDSLogEstoqueRec.Open();
  L.TBLogEstoqueENV.Close();
  L.TBLogEstoqueENV.ParamByName("INDICE").SetAsString(Indice());
  L.TBLogEstoqueENV.Open();

  // An apply's result in the report: stored rows raise the index to the last one posted.
  std::string last_posted;
  auto Apply = [&] {
    const int pending = C.CDSLogEstoqueRec.ChangeCount();
    const int errors = C.CDSLogEstoqueRec.ApplyUpdates(0);
    if (errors == 0) {
      report.rows_accepted += pending;
      if (pending > 0) report.index_after = last_posted;
    } else {
      report.rows_rejected += pending;
    }
    return errors;
  };

  // 10. Send in batches; stop reading at the first batch the server rejects.
  if (!L.TBLogEstoqueENV.IsEmpty()) {
    if (MonitorarComando) DoSaveLog("Iniciou o envio de registros");
    L.TBLogEstoqueENV.First();
    while (!L.TBLogEstoqueENV.Eof()) {
      C.CDSLogEstoqueRec.Insert();
      last_posted = L.TBLogEstoqueENV.FieldByName("SEQUENCIAL").AsString();
      C.CDSLogEstoqueRec.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(last_posted);
      C.CDSLogEstoqueRec.FieldByName("CODIGOLOJA").SetAsInteger(CodigoLoja());
      C.CDSLogEstoqueRec.FieldByName("CODIGOPRODUTO").SetAsString(L.TBLogEstoqueENV.FieldByName("CODIGOPRODUTO").AsString());
      C.CDSLogEstoqueRec.FieldByName("ESTOQUEATUAL").SetAsCurrency(L.TBLogEstoqueENV.FieldByName("ESTOQUEATUAL").AsCurrency());
      C.CDSLogEstoqueRec.Post();
      ++NumeroComandos;
      ++Contagem;
      report.rows_read = Contagem;
      if (NumeroComandos == kBatchSize) {
        if (Apply() != 0) break;
        NumeroComandos = 0;
      }
      L.TBLogEstoqueENV.Next();
    }
    // Whatever is still pending, the rejected rows included, goes once more.
    RetornoCDS = Apply();
    if (MonitorarComando) DoSaveLog("Finalizou o envio de " + std::to_string(Contagem) + " registro(s)");
  }

  // 11. The branch-row stamp, after an initial load, a fully accepted send, or an idle cycle
  // (the branch row then records the store's last contact).
  if (RetornoCDS.value_or(0) != 0) {
    report.outcome = CycleOutcome::kFailed;
  } else if (report.rows_accepted > 0) {
    report.outcome = CycleOutcome::kSent;
  }
  if (RetornoCDS.value_or(0) == 0) {
    try {
      C.CdsFiliais.Close();
      C.CdsFiliais.Params.ParamByName("CODIGO").SetAsInteger(CodigoLoja());
      C.CdsFiliais.Open();
      if (!C.CdsFiliais.IsEmpty()) {
        C.CdsFiliais.Edit();
        C.CdsFiliais.FieldByName("RPL_ULTIMAATUALIZACAO").SetAsDateTime(C.CdsFiliais.FieldByName("DATAHORA").AsDateTime());
        C.CdsFiliais.Post();
        C.CdsFiliais.ApplyUpdates(0);  // a rejection is reported by the reconcile handler
      }
    } catch (const std::exception& e) {
      DoSaveLog(e.what());
    }
  }
}

}  // namespace

const char* OutcomeName(CycleOutcome o) {
  switch (o) {
    case CycleOutcome::kIdle: return "idle";
    case CycleOutcome::kSent: return "sent";
    case CycleOutcome::kFailed: return "failed";
    case CycleOutcome::kStoppedEarly: return "stopped early";
  }
  return "?";
}

void Timer1Timer(CycleParts parts) {
  central::CentralConnection& C = parts.Central;
  localdb::LocalConnection& L = parts.Local;
  CycleReport scratch;
  CycleReport& report = parts.Report ? *parts.Report : scratch;
  report = CycleReport{};
  report.start = std::chrono::system_clock::now();
  t_report = &report;

  // 1. No tick while the cycle runs; every way out passes through the closing sequence.
  parts.Timer1.SetEnabled(false);
  std::exception_ptr failure;
  {
    std::lock_guard connections(parts.ConnectionLock);
    std::lock_guard local(L.Lock);
    try {
      ConnectIfClosed(C.ConnServer, report);     // 2.
      ConnectIfClosed(L.ConnQuelbrant, report);  // 3.
      if (C.ConnServer.Connected() && L.ConnQuelbrant.Connected())  // 4.
        SendAndStamp(C, L, report);
      else
        report.outcome = CycleOutcome::kFailed;
    } catch (...) {
      failure = std::current_exception();
    }
    // 12. Closing sequence: every step is attempted, whatever failed before.
    Attempt(failure, [&] { C.CDSLogEstoqueRec.Close(); });
    Attempt(failure, [&] { C.CDSIndice.Close(); });
    Attempt(failure, [&] { L.TBPadrao.Close(); });
    Attempt(failure, [&] { L.TBLogEstoqueENV.Close(); });
    Attempt(failure, [&] { C.ConnServer.SetConnected(false); });
    Attempt(failure, [&] { L.ConnQuelbrant.SetConnected(false); });
  }
  parts.Timer1.SetEnabled(true);
  t_report = nullptr;
  report.end = std::chrono::system_clock::now();
  if (failure) {
    report.outcome = CycleOutcome::kFailed;
    try {
      std::rethrow_exception(failure);
    } catch (const std::exception& e) {
      report.error = e.what();
    } catch (...) {
      report.error = "Unknown exception";
    }
    std::rethrow_exception(failure);
  }
}

void CDSIndiceReconcileError(central::TClientDataSet& DataSet, const central::EReconcileError& E,
                             central::TUpdateKind, central::TReconcileAction&) {
  if (t_report && t_report->error.empty()) t_report->error = DataSet.Name + " - " + E.what();
  DoSaveLog(DataSet.Name + " - " + E.what());
}

}  // namespace replication
