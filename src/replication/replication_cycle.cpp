#include "replication/replication_cycle.h"

#include <exception>
#include <optional>
#include <string>

#include "replication/seeding.h"
#include "settings/activity_log.h"
#include "settings/ini_file.h"

namespace replication {

using settings::DoSaveLog;

namespace {

using SteadyClock = std::chrono::steady_clock;

// A problem that keeps rows from being sent is logged when it appears, then at most this often
// while it lasts.
constexpr auto kProblemRepeat = std::chrono::hours(1);
// Rows read past a gap first seen in this cycle, to find the gaps further on.
constexpr std::int64_t kReadAhead = 100000;

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

// One cycle's work once both connections are open.
class Cycle {
 public:
  Cycle(central::CentralConnection& c, localdb::LocalConnection& l, ReplicationMemory& mem, CycleReport& report,
        const std::function<bool()>& should_yield)
      : C(c), L(l), mem_(mem), report_(report), should_yield_(should_yield) {}

  void Run();

 private:
  enum class Stop { kNone, kHeld, kRejected, kUnsendable, kYield };

  bool Yield() const { return should_yield_ && should_yield_(); }
  // Whatever keeps rows from being sent: the cycle fails, and the activity log hears of it.
  void Problem(const std::string& text);
  void Save(const ReplicationState& next);
  void LoadState(std::int32_t loja);
  void LookIfNeeded(bool load);
  void InitialLoad();
  void AdvanceCheck();
  int Apply();

  central::CentralConnection& C;
  localdb::LocalConnection& L;
  ReplicationMemory& mem_;
  CycleReport& report_;
  const std::function<bool()>& should_yield_;

  std::optional<MonitorSnapshot> look_;
  std::string last_posted_;
};

void Cycle::Problem(const std::string& text) {
  report_.outcome = CycleOutcome::kFailed;
  report_.error = text;
  const auto now = SteadyClock::now();
  if (text == mem_.problem && now - mem_.problem_logged < kProblemRepeat) return;
  mem_.problem = text;
  mem_.problem_logged = now;
  DoSaveLog(text);
}

void Cycle::Save(const ReplicationState& next) {
  mem_.state = next;
  StateFile file(StateFilePath());
  try {
    file.Write(next);
    mem_.state_trouble_logged = false;
  } catch (const std::exception& e) {
    // The state stays in memory for as long as the service runs; only a restart forgets it.
    if (mem_.state_trouble_logged) return;
    mem_.state_trouble_logged = true;
    try {
      DoSaveLog("Não foi possível gravar o arquivo de estado " + file.Path() + ": " + e.what());
    } catch (const std::exception&) {
    }
  }
}

void Cycle::LoadState(std::int32_t loja) {
  const std::string database = localdb::DatabaseName(L);
  if (!mem_.state_read) {
    mem_.state_read = true;
    StateFile file(StateFilePath());
    try {
      mem_.state = file.Read();
    } catch (const StateFileError& e) {
      // Never a reason to stop replicating: without a mark the worst is one more initial load.
      mem_.state = {};
      DoSaveLog("Arquivo de estado " + file.Path() + " ilegível (" + e.what() + "); foi descartado");
      Save(mem_.state);
    }
  }
  if (mem_.state.store != loja || mem_.state.database != database) {
    mem_.state = {};
    mem_.state.store = loja;
    mem_.state.database = database;
  }
}

void Cycle::LookIfNeeded(bool load) {
  if (!load && !mem_.state.check && !mem_.gaps.NeedsSnapshot()) return;
  look_ = LookAtOpenTransactions(L);
  if (!look_->complete && !mem_.monitor_warned) {
    mem_.monitor_warned = true;
    DoSaveLog("Sem acesso às tabelas de monitoramento do banco local: lacunas de SEQUENCIAL serão liberadas após " +
              std::to_string(GapTracker::kGraceCycles) + " ciclos");
  }
  mem_.gaps.Settle(*look_);
}

void Cycle::InitialLoad() {
  L.TBCargaInicial.Close();
  const SeedingResult r = RunInitialLoad(L, [&](const SeedingResult& r) {
    if (r.rows == 0) return;
    // Durable before the rows exist: a crash between the two leaves a mark whose row is missing,
    // which is forgotten, never rows without their mark.
    ReplicationState next = mem_.state;
    next.load_mark = r.upto;
    SeedingCheck check = CheckFor(r, look_ ? &*look_ : nullptr);
    if (next.check) {
      next.check->Merge(check);
    } else {
      next.check = check;
    }
    Save(next);
    mem_.check_cycle = mem_.cycles;
  });
  if (r.rows > 0) DoSaveLog("Realizou a carga inicial de " + std::to_string(r.rows) + " registro(s)");
}

void Cycle::AdvanceCheck() {
  SeedingCheck& check = *mem_.state.check;
  bool settled;
  if (look_->complete && look_->next_transaction > 0) {
    if (check.horizon == 0) {
      // The first look since the seeding committed: every transaction that ran beside it is below.
      ReplicationState next = mem_.state;
      next.check->horizon = look_->next_transaction;
      Save(next);
    }
    settled = look_->OpenBelow(mem_.state.check->horizon).empty();
  } else {
    settled = mem_.cycles - mem_.check_cycle >= GapTracker::kGraceCycles;
  }
  if (!settled) return;
  const SeedingResult r = RefreshProducts(L, *mem_.state.check, [&](const SeedingResult& r) {
    ReplicationState next = mem_.state;
    if (r.rows > 0) {
      next.check = CheckFor(r, &*look_);
    } else {
      next.check.reset();
    }
    Save(next);
    mem_.check_cycle = mem_.cycles;
  });
  if (r.rows > 0)
    DoSaveLog("Reenviou o estoque de " + std::to_string(r.rows) + " produto(s) alterado(s) durante a carga inicial");
}

int Cycle::Apply() {
  const int pending = C.CDSLogEstoqueRec.ChangeCount();
  const int errors = C.CDSLogEstoqueRec.ApplyUpdates(0);
  if (errors == 0) {
    report_.rows_accepted += pending;
    if (pending > 0) report_.index_after = last_posted_;
  } else {
    report_.rows_rejected += pending;
  }
  return errors;
}

void Cycle::Run() {
  // 5. The store code: CODIGOLOJA of the store row. Without one no row may go out: it would be
  // stored as another store's.
  L.TBPadrao.Open();
  if (L.TBPadrao.IsEmpty())
    return Problem("A tabela PADRAO do banco local não tem registro: nenhum registro de estoque é enviado sem o código da loja");
  if (L.TBPadrao.FieldByName("CODIGOLOJA").IsNull())
    return Problem("PADRAO.CODIGOLOJA está vazio no banco local: nenhum registro de estoque é enviado sem o código da loja");
  const std::int32_t CodigoLoja = L.TBPadrao.FieldByName("CODIGOLOJA").AsInteger();
  // Read once; the store row's transaction must not stay open beside the seeding's.
  L.TBPadrao.Close();

  // 6. The replication index as the central server reports it.
  C.CDSIndice.Close();
  C.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(CodigoLoja);
  C.CDSIndice.Open();
  const std::string indice = C.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString();
  report_.index_before = report_.index_after = indice;
  const std::optional<std::int64_t> index = IndexValue(indice);
  mem_.gaps.BeginCycle(index.value_or(0));
  LoadState(CodigoLoja);

  // 7. Initial load when the central server has received nothing yet, unless the last one is
  // still waiting to be sent.
  std::optional<std::int32_t> RetornoCDS;
  bool load = indice.empty() || indice == "0";
  if (mem_.state.load_mark != 0) {
    bool forget;
    if (load) {
      localdb::TFDQuery& q = L.TBExisteSequencial;
      q.ParamByName("SEQUENCIAL").SetAsLargeInt(mem_.state.load_mark);
      q.Open();
      forget = q.FieldByName("EXISTE").AsLargeInt() == 0;  // the rows are gone
      q.Close();
      load = forget;
    } else {
      forget = index && *index >= mem_.state.load_mark;  // the central server has them all
    }
    if (forget) {
      ReplicationState next = mem_.state;
      next.load_mark = 0;
      Save(next);
    }
  }
  LookIfNeeded(load);
  if (load) {
    RetornoCDS = 0;
    InitialLoad();
  } else if (mem_.state.check) {
    AdvanceCheck();
  }

  // 8. The verbose switch, read once per cycle.
  const bool MonitorarComando =
      settings::TIniFile(settings::SettingsFilePath()).ReadBool(settings::kSettingsSection, "MonitorarComando", false);

  // 9. Prepare the send.
  std::int32_t NumeroComandos = 0;
  std::int32_t Contagem = 0;
  C.CDSLogEstoqueRec.Open();
  L.TBLogEstoqueENV.Close();
  L.TBLogEstoqueENV.ParamByName("INDICE").SetAsString(indice);
  L.TBLogEstoqueENV.Open();

  // 10. Send in batches, in SEQUENCIAL order. Reading stops at the first batch the server
  // rejects, at a gap that a running transaction may still fill, at a row the central server
  // cannot take, or when a stop or continue is waiting.
  Stop stop = Stop::kNone;
  if (!L.TBLogEstoqueENV.IsEmpty()) {
    if (MonitorarComando) DoSaveLog("Iniciou o envio de registros");
    std::int64_t previous = index.value_or(0);
    std::int64_t read_ahead = -1;  // counts rows read past a new gap; -1 while sending
    for (L.TBLogEstoqueENV.First(); !L.TBLogEstoqueENV.Eof(); L.TBLogEstoqueENV.Next()) {
      const std::int64_t sequencial = L.TBLogEstoqueENV.FieldByName("SEQUENCIAL").AsLargeInt();
      if (index && sequencial > previous + 1) {
        const GapTracker::Verdict v = mem_.gaps.Judge(previous + 1, sequencial - 1);
        if (v != GapTracker::Verdict::kPass && read_ahead < 0) {
          stop = Stop::kHeld;
          if (v == GapTracker::Verdict::kHeld) break;
          read_ahead = 0;
        }
      }
      previous = sequencial;
      if (read_ahead >= 0) {
        if (++read_ahead >= kReadAhead) break;
        continue;
      }

      std::string produto;
      try {
        produto = L.TBLogEstoqueENV.FieldByName("CODIGOPRODUTO").AsString();
        C.CDSLogEstoqueRec.Insert();
        C.CDSLogEstoqueRec.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(std::to_string(sequencial));
        C.CDSLogEstoqueRec.FieldByName("CODIGOLOJA").SetAsInteger(CodigoLoja);
        C.CDSLogEstoqueRec.FieldByName("CODIGOPRODUTO").SetAsString(produto);
        C.CDSLogEstoqueRec.FieldByName("ESTOQUEATUAL").SetAsCurrency(L.TBLogEstoqueENV.FieldByName("ESTOQUEATUAL").AsCurrency());
        C.CDSLogEstoqueRec.Post();
      } catch (const std::exception& e) {
        // Only a value this row holds gets here (a text too long or in a character set the
        // central field cannot hold, a number out of its range). Skipping the row would lose it:
        // the rows before it go, it and those after it wait, and someone is told why.
        if (!dynamic_cast<const localdb::EDatabaseError*>(&e) && !dynamic_cast<const central::EConvertError*>(&e))
          throw;
        C.CDSLogEstoqueRec.Cancel();
        stop = Stop::kUnsendable;
        Problem("SEQUENCIAL " + std::to_string(sequencial) + (produto.empty() ? "" : " (produto " + produto + ")") +
                " não pode ser enviado ao Servidor Central: " + e.what() + "; os registros seguintes aguardam");
        break;
      }
      last_posted_ = std::to_string(sequencial);
      ++NumeroComandos;
      ++Contagem;
      report_.rows_read = Contagem;
      if (NumeroComandos == kBatchSize) {
        if (Apply() != 0) {
          stop = Stop::kRejected;
          break;
        }
        NumeroComandos = 0;
        if (Yield()) {
          stop = Stop::kYield;
          break;
        }
      }
    }
    // Whatever is still pending, the rejected rows included, goes once more.
    RetornoCDS = Apply();
    if (MonitorarComando) DoSaveLog("Finalizou o envio de " + std::to_string(Contagem) + " registro(s)");
  }
  if (stop != Stop::kUnsendable) mem_.problem.clear();

  if (stop == Stop::kYield) {
    report_.outcome = CycleOutcome::kStoppedEarly;
  } else if (stop == Stop::kUnsendable || RetornoCDS.value_or(0) != 0) {
    report_.outcome = CycleOutcome::kFailed;
  } else if (report_.rows_accepted > 0) {
    report_.outcome = CycleOutcome::kSent;
  }

  for (const std::string& line : mem_.gaps.LongHeld(SteadyClock::now())) DoSaveLog(line);

  // 11. The branch-row stamp, after an initial load, a fully accepted send, or an idle cycle
  // (the branch row then records the store's last contact); not when rows wait behind one the
  // central server cannot take, nor when the service is stopping.
  if (RetornoCDS.value_or(0) == 0 && stop != Stop::kUnsendable && stop != Stop::kYield) {
    try {
      C.CdsFiliais.Close();
      C.CdsFiliais.Params.ParamByName("CODIGO").SetAsInteger(CodigoLoja);
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

std::optional<std::int64_t> IndexValue(const std::string& text) {
  std::size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  while (n > i && text[n - 1] == ' ') --n;
  if (i == n) return text.empty() ? std::optional<std::int64_t>(0) : std::nullopt;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  std::int64_t v = 0;
  bool digits = false;
  for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) {
    digits = true;
    if (__builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, text[i] - '0', &v)) return std::nullopt;
  }
  if (i < n && text[i] == '.') {
    ++i;
    bool up = i < n && text[i] >= '5' && text[i] <= '9';
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i) digits = true;
    if (up && __builtin_add_overflow(v, 1, &v)) return std::nullopt;
  }
  if (!digits || i != n) return std::nullopt;
  return negative ? -v : v;
}

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
  ++parts.Memory.cycles;

  // 1. No tick while the cycle runs; every way out passes through the closing sequence.
  parts.Timer1.SetEnabled(false);
  std::exception_ptr failure;
  if (parts.ShouldYield && parts.ShouldYield()) {
    // A stop or continue is waiting: it goes first, and this cycle's work waits for the next.
    report.outcome = CycleOutcome::kStoppedEarly;
  } else {
    std::lock_guard connections(parts.ConnectionLock);
    std::lock_guard local(L.Lock);
    try {
      ConnectIfClosed(C.ConnServer, report);     // 2.
      ConnectIfClosed(L.ConnQuelbrant, report);  // 3.
      if (C.ConnServer.Connected() && L.ConnQuelbrant.Connected())  // 4.
        Cycle(C, L, parts.Memory, report, parts.ShouldYield).Run();
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
