#include "replication/replication_cycle.h"

#include <exception>
#include <optional>
#include <string>

#include <algorithm>

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

std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// Closes a query when the scope ends, also on the way out of an exception.
struct Closing {
  localdb::TFDQuery& q;
  ~Closing() { q.Close(); }
};

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
  // Whatever keeps rows from being sent: the cycle fails, and the activity log hears of it when it
  // appears and then at most hourly while it lasts. `kind` tells one lasting problem from another
  // when its text changes from cycle to cycle; `text` is only built when the line is written.
  void Problem(const std::string& kind, const std::function<std::string()>& text);
  void Problem(const std::string& text) {
    Problem(text, [&] { return text; });
  }
  void Save(const ReplicationState& next);
  void LoadState(std::int32_t loja, const std::string& database);
  bool SameDatabaseByMark();
  // The look at the monitoring tables of this cycle, preceded by the read of the gaps above
  // `from` that it judges. At most once per cycle.
  void EnsureLook(std::int64_t from);
  void Watch(const std::vector<SeqRange>& values);
  bool ResetConfirmed(const std::string& indice);
  void InitialLoad(std::int64_t index, bool reseed);
  void AdvanceCheck(std::int64_t index);
  void WatchLateRows(std::int64_t index);
  bool RestoredBackup(std::int64_t index);
  void RecordHeld();
  int Apply();

  central::CentralConnection& C;
  localdb::LocalConnection& L;
  ReplicationMemory& mem_;
  CycleReport& report_;
  const std::function<bool()>& should_yield_;

  std::optional<MonitorSnapshot> look_;
  std::string last_posted_;
};

void Cycle::Problem(const std::string& kind, const std::function<std::string()>& text) {
  report_.outcome = CycleOutcome::kFailed;
  const auto now = SteadyClock::now();
  if (kind == mem_.problem && now - mem_.problem_logged < kProblemRepeat) {
    report_.error = mem_.problem_text;
    return;
  }
  mem_.problem = kind;
  mem_.problem_logged = now;
  mem_.problem_text = report_.error = text();
  DoSaveLog(report_.error);
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

bool Cycle::SameDatabaseByMark() {
  // The marked row, as the load wrote it, in the database reached now.
  localdb::TFDQuery& q = L.TBLinhaSequencial;
  Closing closing{q};
  q.ParamByName("SEQUENCIAL").SetAsLargeInt(mem_.state.load_mark);
  q.Open();
  return !q.IsEmpty() && q.FieldByName("CODIGOPRODUTO").AsString() == mem_.state.mark_product &&
         q.FieldByName("ESTOQUE").AsString() == mem_.state.mark_stock;
}

void Cycle::LoadState(std::int32_t loja, const std::string& database) {
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
  if (mem_.state.store == loja && mem_.state.database == database) return;
  if (mem_.state.store == loja && mem_.state.load_mark != 0 && !mem_.state.mark_product.empty() && SameDatabaseByMark()) {
    // The same database under another name ("127.0.0.1" for "localhost", other letter case): what
    // is remembered of it stands.
    ReplicationState next = mem_.state;
    next.database = database;
    Save(next);
    return;
  }
  mem_.state = {};
  mem_.state.store = loja;
  mem_.state.database = database;
  mem_.reset_seen.clear();
}

void Cycle::Watch(const std::vector<SeqRange>& values) {
  if (values.empty()) return;
  ReplicationState next = mem_.state;
  const std::int64_t now = UnixNow();
  for (const SeqRange& v : values) next.watch.push_back({v, now});
  std::sort(next.watch.begin(), next.watch.end(),
            [](const WatchedGap& a, const WatchedGap& b) { return a.values.first < b.values.first; });
  // A value is watched once; a range passed again replaces what it overlaps.
  std::vector<WatchedGap> merged;
  for (const WatchedGap& w : next.watch) {
    if (!merged.empty() && w.values.first <= merged.back().values.last) {
      merged.back().values.last = std::max(merged.back().values.last, w.values.last);
      merged.back().passed_at = std::max(merged.back().passed_at, w.passed_at);
    } else {
      merged.push_back(w);
    }
  }
  if (merged.size() > kMaxStateList) {
    merged.resize(kMaxStateList);
    if (!mem_.watch_full_warned) {
      mem_.watch_full_warned = true;
      DoSaveLog("Há mais de " + std::to_string(kMaxStateList) +
                " lacunas de SEQUENCIAL liberadas sem confirmação; as mais altas não serão vigiadas");
    }
  }
  next.watch = std::move(merged);
  Save(next);
}

void Cycle::EnsureLook(std::int64_t from) {
  if (look_) return;
  const auto now = SteadyClock::now();
  // The gaps first, then the look: whoever took a value of a gap was open before this read.
  const localdb::GapScan scan = localdb::ListGaps(L, L.TransLeitura, from, 0, kReadAhead);
  mem_.gaps.Learn(scan.gaps, from + 1, scan.last, now);
  look_ = LookAtOpenTransactions(L);
  if (!look_->complete && !mem_.monitor_warned) {
    mem_.monitor_warned = true;
    DoSaveLog("Sem acesso às tabelas de monitoramento do banco local: lacunas de SEQUENCIAL serão liberadas após " +
              std::to_string(GapTracker::kGraceCycles) + " ciclos");
  }
  const GapTracker::Passed passed = mem_.gaps.Settle(*look_, now);
  if (!passed.after_limit.empty()) {
    DoSaveLog("SEQUENCIAL " + DescribeValues(passed.after_limit) + " aguardou mais de " +
              DescribeLimit(mem_.gaps.limits.pass_after) +
              " por transações do banco local e foi liberado: os registros seguintes serão enviados e, se ele aparecer "
              "depois, o estoque do produto será reenviado; retido por: " +
              DescribeHolders(passed.holders));
  }
  std::vector<SeqRange> watch = passed.after_limit;
  watch.insert(watch.end(), passed.without_view.begin(), passed.without_view.end());
  Watch(watch);
}

bool Cycle::ResetConfirmed(const std::string& indice) {
  // A store that had a real index sees "" or "0": seeded again only when that lasts, and not twice
  // within a day, so that a central server that flips its answer cannot make the agent reload the
  // outgoing log over and over.
  mem_.reset_seen.push_back('"' + indice + '"');
  const auto seen = [&] {
    std::string out;
    for (const std::string& s : mem_.reset_seen) out += (out.empty() ? "" : ", ") + s;
    return out;
  };
  if (static_cast<int>(mem_.reset_seen.size()) < kResetCycles) {
    Problem("reset", [&] {
      return "O Servidor Central informou o índice " + mem_.reset_seen.back() + " para a loja, que já tinha índice" +
             (mem_.last_real_index.empty() ? std::string() : " (" + mem_.last_real_index + ")") +
             "; nada é enviado, e uma nova carga inicial só será feita se ele continuar assim por " +
             std::to_string(kResetCycles) + " ciclos";
    });
    return false;
  }
  const std::int64_t since = UnixNow() - mem_.state.last_reseed;
  if (mem_.state.last_reseed != 0 && since < std::chrono::duration_cast<std::chrono::seconds>(kReseedInterval).count()) {
    Problem("reset-recent", [&] {
      return "O Servidor Central informou o índice " + mem_.reset_seen.back() +
             " de novo, mas a última nova carga inicial foi há menos de 24 horas; nada é enviado até lá";
    });
    return false;
  }
  DoSaveLog("Nova carga inicial: o Servidor Central informou o índice " + seen() + " em " +
            std::to_string(mem_.reset_seen.size()) + " ciclos seguidos" +
            (mem_.last_real_index.empty() ? std::string() : ", depois do índice " + mem_.last_real_index));
  return true;
}

void Cycle::InitialLoad(std::int64_t index, bool reseed) {
  L.TBCargaInicial.Close();
  const SeedingResult r = RunInitialLoad(L, index, [&](const SeedingResult& r) {
    ReplicationState next = mem_.state;
    if (reseed) {
      // Seeded again: the store counts as new until the central server reports an index.
      next.had_index = false;
      next.last_reseed = UnixNow();
    }
    if (r.rows > 0) {
      // Durable before the rows exist: a crash between the two leaves a mark whose row is missing,
      // which is forgotten, never rows without their mark.
      next.load_mark = r.upto;
      localdb::TFDQuery& q = L.TBLinhaSequencial;
      Closing closing{q};
      q.ParamByName("SEQUENCIAL").SetAsLargeInt(r.upto);
      q.Open();
      next.mark_product = q.FieldByName("CODIGOPRODUTO").AsString();
      next.mark_stock = q.FieldByName("ESTOQUE").AsString();
      if (std::optional<SeedingCheck> check = CheckFor(r, look_ ? &*look_ : nullptr)) {
        if (next.check) {
          next.check->Merge(*check);
        } else {
          next.check = check;
        }
      }
    }
    if (!(next == mem_.state)) Save(next);
    mem_.check_cycle = mem_.cycles;
  });
  if (reseed) mem_.reset_seen.clear();
  if (r.rows > 0) DoSaveLog("Realizou a carga inicial de " + std::to_string(r.rows) + " registro(s)");
}

void Cycle::AdvanceCheck(std::int64_t index) {
  const SeedingCheck& check = *mem_.state.check;
  bool settled;
  if (look_->complete && look_->horizon > 0) {
    if (check.horizon == 0) {
      // The first look since the seeding committed: every transaction that ran beside it is below.
      ReplicationState next = mem_.state;
      next.check->horizon = look_->horizon;
      Save(next);
    }
    settled = look_->WritersBelow(mem_.state.check->horizon).empty();
  } else {
    settled = mem_.cycles - mem_.check_cycle >= GapTracker::kGraceCycles;
  }
  if (!settled) return;
  SeedingResult r;
  try {
    const std::vector<std::string> products = ProductsChangedBeside(L, *mem_.state.check);
    std::optional<SeedingCheck> next_check;
    // The refresh's rows come after everything the seedings wrote.
    r = RefreshProducts(L, products, index, std::max(index, mem_.state.check->upto), [&](const SeedingResult& r) {
      if (r.rows > 0) next_check = CheckFor(r, &*look_);
    });
    // Replaced only once the refresh committed: a refresh that fails leaves the check it was
    // making good, to be tried again.
    ReplicationState next = mem_.state;
    next.check = next_check;
    Save(next);
    mem_.check_cycle = mem_.cycles;
    mem_.check_failures = 0;
  } catch (const std::exception& e) {
    // A check that cannot be made must not keep every later cycle from sending.
    if (++mem_.check_failures < 3) throw;
    mem_.check_failures = 0;
    ReplicationState next = mem_.state;
    next.check.reset();
    Save(next);
    DoSaveLog(std::string("A conferência da carga inicial falhou em 3 ciclos seguidos e foi descartada: ") + e.what());
    return;
  }
  if (r.rows > 0)
    DoSaveLog("Reenviou o estoque de " + std::to_string(r.rows) + " produto(s) alterado(s) durante a carga inicial");
}

void Cycle::WatchLateRows(std::int64_t index) {
  const std::int64_t now = UnixNow();
  const std::int64_t keep = std::chrono::duration_cast<std::chrono::seconds>(kWatchFor).count();
  ReplicationState next = mem_.state;
  std::erase_if(next.watch, [&](const WatchedGap& w) { return now - w.passed_at >= keep; });
  if (next.watch.empty()) {
    if (!(next == mem_.state)) Save(next);
    return;
  }
  std::vector<SeqRange> values;
  for (const WatchedGap& w : next.watch) values.push_back(w.values);
  const std::vector<localdb::OutgoingRow> rows = localdb::RowsIn(L, L.TransLeitura, values);
  std::vector<localdb::OutgoingRow> late;
  std::vector<std::string> products;
  for (const localdb::OutgoingRow& row : rows) {
    // Above the index the row is simply sent in its turn.
    if (row.sequencial > index) continue;
    late.push_back(row);
    if (std::find(products.begin(), products.end(), row.produto) == products.end()) products.push_back(row.produto);
  }
  // Values that now hold a row are watched no more.
  std::vector<WatchedGap> left;
  std::size_t k = 0;
  for (const WatchedGap& w : next.watch) {
    std::int64_t from = w.values.first;
    while (k < rows.size() && rows[k].sequencial < from) ++k;
    for (; k < rows.size() && rows[k].sequencial <= w.values.last; ++k) {
      if (rows[k].sequencial > from) left.push_back({{from, rows[k].sequencial - 1}, w.passed_at});
      from = rows[k].sequencial + 1;
    }
    if (from <= w.values.last) left.push_back({{from, w.values.last}, w.passed_at});
  }
  next.watch = std::move(left);
  if (!late.empty()) {
    RefreshProducts(L, products, index, index, {});
    for (const localdb::OutgoingRow& row : late)
      DoSaveLog("SEQUENCIAL " + std::to_string(row.sequencial) + " (produto " + row.produto +
                ") apareceu depois de liberado e ficou abaixo do índice do Servidor Central; o estoque atual do "
                "produto foi reenviado");
  }
  if (!(next == mem_.state)) Save(next);
}

bool Cycle::RestoredBackup(std::int64_t index) {
  localdb::TFDQuery& q = L.TBAlcancaIndice;
  {
    Closing closing{q};
    q.ParamByName("INDICE").SetAsLargeInt(index);
    q.Open();
    if (q.FieldByName("ALCANCA").AsInteger() != 0 || q.FieldByName("ALGUM").AsInteger() == 0) return false;
  }
  Problem("restored", [&] {
    localdb::TFDQuery& m = L.TBMaiorSequencial;
    Closing closing{m};
    m.Open();
    const std::string highest = m.FieldByName("MAIOR").AsString();
    return "O índice do Servidor Central para a loja (" + std::to_string(index) +
           ") está acima do maior SEQUENCIAL do banco local (" + highest +
           "): o banco parece restaurado de um backup antigo, e os registros novos não serão enviados até que o "
           "SEQUENCIAL passe do índice";
  });
  return true;
}

void Cycle::RecordHeld() {
  const std::optional<GapTracker::HeldSummary> held = mem_.gaps.Held();
  if (!held) return;
  CycleReport::Held h;
  h.first = held->first.first;
  h.last = held->first.last;
  h.gaps = static_cast<std::int64_t>(held->gaps);
  h.since = std::chrono::system_clock::now() -
            std::chrono::duration_cast<std::chrono::system_clock::duration>(SteadyClock::now() - held->since);
  h.holders = DescribeHolders(held->holders);
  try {
    localdb::TFDQuery q("TBRetidos", L.ConnQuelbrant, L.TransLeitura,
                        "SELECT COUNT(*) AS LINHAS FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > " + std::to_string(h.last));
    Closing closing{q};
    q.Open();
    h.rows = q.FieldByName("LINHAS").AsLargeInt();
  } catch (const localdb::EDatabaseError&) {
    // The count is for the record only.
  }
  report_.held = h;
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
  const std::string database = localdb::DatabaseName(L);
  mem_.gaps.BeginCycle(database, index.value_or(0));
  LoadState(CodigoLoja, database);

  // 7. Initial load when the central server has received nothing yet, unless the last one is
  // still waiting to be sent, or the store had an index and its loss is not confirmed yet.
  std::optional<std::int32_t> RetornoCDS;
  bool load = indice.empty() || indice == "0";
  if (!load) {
    mem_.reset_seen.clear();
    if (index && *index > 0) {
      mem_.last_real_index = indice;
      if (!mem_.state.had_index) {
        ReplicationState next = mem_.state;
        next.had_index = true;
        Save(next);
      }
    }
  }
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
      next.mark_product.clear();
      next.mark_stock.clear();
      Save(next);
    }
  }
  const bool reseed = load && mem_.state.had_index;
  if (reseed && !ResetConfirmed(indice)) return;
  // One look serves the seeding, its check and the gaps; it must follow the read of the gaps.
  if (load || mem_.state.check) EnsureLook(index.value_or(0));
  if (load) {
    RetornoCDS = 0;
    InitialLoad(index.value_or(0), reseed);
  } else if (mem_.state.check) {
    AdvanceCheck(index.value_or(0));
  }
  if (index && !mem_.state.watch.empty()) WatchLateRows(*index);

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
  const bool read_empty = L.TBLogEstoqueENV.IsEmpty();
  if (!read_empty) {
    if (MonitorarComando) DoSaveLog("Iniciou o envio de registros");
    std::int64_t previous = index.value_or(0);
    mem_.gaps.Rewind(previous);
    localdb::TFDQuery& q = L.TBLogEstoqueENV;
    q.First();
    while (!q.Eof()) {
      const std::int64_t sequencial = q.FieldByName("SEQUENCIAL").AsLargeInt();
      if (index && sequencial > previous + 1) {
        const GapTracker::Verdict v = mem_.gaps.Judge(previous + 1, sequencial - 1);
        if (v == GapTracker::Verdict::kLook) {
          // Judge the gaps ahead with this cycle's look, then read again from here: only a read
          // that follows the look may go past a gap.
          EnsureLook(previous);
          q.Close();
          q.ParamByName("INDICE").SetAsString(std::to_string(previous));
          q.Open();
          mem_.gaps.Rewind(previous);
          continue;
        }
        if (v == GapTracker::Verdict::kHeld) {
          stop = Stop::kHeld;
          break;
        }
      }
      previous = sequencial;

      std::string produto;
      try {
        produto = q.FieldByName("CODIGOPRODUTO").AsString();
        C.CDSLogEstoqueRec.Insert();
        C.CDSLogEstoqueRec.FieldByName("SEQUENCIALLOJAORIGEM").SetAsString(std::to_string(sequencial));
        C.CDSLogEstoqueRec.FieldByName("CODIGOLOJA").SetAsInteger(CodigoLoja);
        C.CDSLogEstoqueRec.FieldByName("CODIGOPRODUTO").SetAsString(produto);
        C.CDSLogEstoqueRec.FieldByName("ESTOQUEATUAL").SetAsCurrency(q.FieldByName("ESTOQUEATUAL").AsCurrency());
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
      q.Next();
    }
    // Whatever is still pending, the rejected rows included, goes once more.
    RetornoCDS = Apply();
    if (MonitorarComando) DoSaveLog("Finalizou o envio de " + std::to_string(Contagem) + " registro(s)");
  }
  // The outgoing log ends below the central index: every new row would stay unread.
  const bool restored = read_empty && index && *index > 0 && RestoredBackup(*index);
  if (stop != Stop::kUnsendable && !restored) mem_.problem.clear();

  if (stop == Stop::kYield) {
    report_.outcome = CycleOutcome::kStoppedEarly;
  } else if (stop == Stop::kUnsendable || restored || RetornoCDS.value_or(0) != 0) {
    report_.outcome = CycleOutcome::kFailed;
  } else if (report_.rows_accepted > 0) {
    report_.outcome = CycleOutcome::kSent;
  }

  const auto now = SteadyClock::now();
  for (const std::string& line : mem_.gaps.LongHeld(now)) DoSaveLog(line);
  bool held_long = false;
  if (stop == Stop::kHeld) {
    RecordHeld();
    const std::optional<GapTracker::HeldSummary> held = mem_.gaps.Held();
    held_long = held && now - held->since >= mem_.gaps.limits.report_after;
  }

  // 11. The branch-row stamp, after an initial load, a fully accepted send, or an idle cycle
  // (the branch row then records the store's last contact); not when rows wait behind one the
  // central server cannot take or behind a gap held for long, when the outgoing log ends below
  // the index, nor when the service is stopping: the central server can then see that the store
  // is behind.
  if (RetornoCDS.value_or(0) == 0 && stop != Stop::kUnsendable && stop != Stop::kYield && !restored && !held_long) {
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
