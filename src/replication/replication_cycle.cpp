#include "replication/replication_cycle.h"

#include <algorithm>
#include <charconv>
#include <exception>
#include <optional>
#include <string>
#include <thread>

#include "common/messages.h"
#include "common/text.h"
#include "replication/seeding.h"
#include "settings/activity_log.h"
#include "settings/ini_file.h"

namespace replication {

using settings::DoSaveLog;
using messages::Format;

namespace {

using SteadyClock = std::chrono::steady_clock;

// A problem that keeps rows from being sent is logged when it appears, then at most this often
// while it lasts.
constexpr auto kProblemRepeat = std::chrono::hours(1);
// Rows read past a gap first seen in this cycle, to find the gaps further on.
constexpr std::int64_t kReadAhead = 100000;
// Without a generator to judge by, how far the highest row must lie below the central index before
// the database counts as restored from an older backup: deleting a few of its newest rows (a
// cancelled sale) must not.
constexpr std::int64_t kRestoredDistance = 100;

// The report of the cycle running on this thread, for the reconcile handler; null between cycles.
thread_local CycleReport* t_report = nullptr;

// Opens a connection that is closed; a failure is logged naming the server, when it starts and
// then hourly, and the connection's mending once.
template <class Connection>
void ConnectIfClosed(Connection& conn, settings::ConnectionTrouble& trouble, const std::string& where,
                     CycleReport& report) {
  if (conn.Connected()) return;
  try {
    conn.SetConnected(true);
  } catch (const std::exception& e) {
    if (report.error.empty()) report.error = e.what();
    trouble.Failed(where, e.what());
    return;
  }
  trouble.Succeeded(where);
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
  void Problem(const std::string& kind, const std::function<messages::Text()>& text);
  void Problem(const messages::Text& text) {
    Problem(text.str(), [&] { return text; });
  }
  void Save(const ReplicationState& next);
  void LoadState(std::int32_t loja, const std::string& database);
  bool SameDatabaseByMark();
  // The look at the monitoring tables of this cycle, preceded by the read of the gaps above
  // `from` that it judges. At most once per cycle.
  void EnsureLook(std::int64_t from);
  bool ResetConfirmed(const std::string& indice);
  // A seeding that failed because the outgoing log refuses the agent's inserts: named in one
  // line, and true. Anything else: false.
  bool RefusedInsert(const std::exception& e);
  bool InitialLoad(std::int64_t index, bool reseed);
  void AdvanceCheck(std::int64_t index);
  // One new row with its current stock for each product, protected like every seeding: a product
  // changed beside it is sent once more when the check finds it. False when it could not be done.
  bool Relog(const std::vector<std::string>& products, std::int64_t index, std::int64_t* rows = nullptr);
  // The stock audit, when it is due or asked for; `upto` is the central index after this
  // cycle's send. Never fails the cycle: an audit that cannot finish says why and is tried again.
  void MaybeAudit(std::int64_t index, std::int64_t upto);
  void Audit(std::int64_t index, std::int64_t upto);
  // Gaps a crashed cycle may have passed are watched from the first cycle after it.
  void RecoverPending(std::int64_t index);
  // Makes the gaps the read may pass durable before a batch that passes one is applied.
  void KeepPending(std::int64_t index);
  // What this cycle's read passed and the central server accepted goes into the watch.
  void RecordPassed(std::int64_t index);
  void CheckWatch(std::int64_t index);
  void CheckWatchNow(std::int64_t index);
  bool RestoredBackup(std::int64_t index);
  void AfterRestore(std::int64_t index);
  // A row of the outgoing log above `after` that cannot be read: named, and true. False when the
  // failure is not the row's (the connection is gone): the caller raises it.
  bool UnreadableRow(std::int64_t after, const std::exception& e);
  void RecordHeld();
  int Apply();

  central::CentralConnection& C;
  localdb::LocalConnection& L;
  ReplicationMemory& mem_;
  CycleReport& report_;
  const std::function<bool()>& should_yield_;

  std::optional<MonitorSnapshot> look_;
  std::string last_posted_;
  std::vector<std::string> problems_;  // kinds met this cycle
  // The gaps this cycle's read passed, ascending, and the highest row the central server accepted.
  std::vector<SeqRange> passed_;
  std::optional<std::int64_t> accepted_upto_;
  std::int64_t posted_upto_ = 0;    // the highest row posted
  std::int64_t pending_upto_ = 0;   // pending gaps are durable up to here
  bool pending_written_ = false;
};

void Cycle::Problem(const std::string& kind, const std::function<messages::Text()>& text) {
  report_.outcome = CycleOutcome::kFailed;
  problems_.push_back(kind);
  const auto now = SteadyClock::now();
  auto it = mem_.problems.find(kind);
  if (it != mem_.problems.end() && now - it->second.logged < kProblemRepeat) {
    if (report_.error.empty()) report_.error = it->second.text;
    return;
  }
  ReplicationMemory::Problem& p = mem_.problems[kind];
  p.logged = now;
  const messages::Text line = text();
  p.text = line.str();
  if (report_.error.empty()) report_.error = p.text;
  DoSaveLog(line);
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
      DoSaveLog(Format(messages::kStateUnwritable, {file.Path(), e.what()}));
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
  return !q.IsEmpty() &&
         localdb::DecodeCode(localdb::Schema(L).log_code, q.FieldByName("CODIGOPRODUTO")) == mem_.state.mark_product &&
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
      DoSaveLog(Format(messages::kStateUnreadable, {file.Path(), e.what()}));
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
  mem_.last_audit.reset();
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
    DoSaveLog(Format(messages::kNoMonitor, {std::to_string(GapTracker::kGraceCycles)}));
  }
  const GapTracker::Passed passed = mem_.gaps.Settle(*look_, now);
  if (!passed.after_limit.empty()) {
    DoSaveLog(Format(messages::kGapValve, {DescribeValues(passed.after_limit), DescribeLimit(mem_.gaps.limits.pass_after),
                                           DescribeHolders(passed.holders)}));
  }
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
      return Format(messages::kResetWaiting,
                    {mem_.reset_seen.back(), mem_.last_real_index.empty() ? std::string() : " (" + mem_.last_real_index + ")",
                     std::to_string(kResetCycles)});
    });
    return false;
  }
  const std::int64_t since = mem_.Now() - mem_.state.last_reseed;
  if (mem_.state.last_reseed != 0 && since < std::chrono::duration_cast<std::chrono::seconds>(kReseedInterval).count()) {
    Problem("reset-recent", [&] { return Format(messages::kResetRecent, {mem_.reset_seen.back()}); });
    return false;
  }
  DoSaveLog(Format(messages::kReseed,
                   {seen(), std::to_string(mem_.reset_seen.size()),
                    mem_.last_real_index.empty() ? std::string() : ", depois do índice " + mem_.last_real_index}));
  return true;
}

bool Cycle::RefusedInsert(const std::exception& e) {
  if (!dynamic_cast<const localdb::EDatabaseError*>(&e)) return false;
  std::vector<std::string> columns;
  try {
    columns = localdb::ColumnsThatRefuseAnInsert(L);
  } catch (const localdb::EDatabaseError&) {
    return false;
  }
  if (columns.empty()) return false;
  std::string names;
  for (const std::string& c : columns) names += (names.empty() ? "" : ", ") + c;
  Problem("insert-refused", [&] { return Format(messages::kInsertRefused, {names, columns.front(), e.what()}); });
  return true;
}

bool Cycle::InitialLoad(std::int64_t index, bool reseed) {
  L.TBCargaInicial.Close();
  SeedingResult r;
  try {
    r = RunInitialLoad(L, index, [&](const SeedingResult& r) {
      ReplicationState next = mem_.state;
      if (reseed) {
        // Seeded again: the store counts as new until the central server reports an index.
        next.had_index = false;
        next.last_reseed = mem_.Now();
      }
      if (r.rows > 0) {
        // Durable before the rows exist: a crash between the two leaves a mark whose row is missing,
        // which is forgotten, never rows without their mark.
        next.load_mark = r.upto;
        localdb::TFDQuery& q = L.TBLinhaSequencial;
        Closing closing{q};
        q.ParamByName("SEQUENCIAL").SetAsLargeInt(r.upto);
        q.Open();
        next.mark_product = localdb::DecodeCode(localdb::Schema(L).log_code, q.FieldByName("CODIGOPRODUTO"));
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
  } catch (const std::exception& e) {
    if (RefusedInsert(e)) return false;
    throw;
  }
  if (reseed) mem_.reset_seen.clear();
  if (r.rows > 0) DoSaveLog(Format(messages::kInitialLoad, {std::to_string(r.rows)}));
  return true;
}

void Cycle::AdvanceCheck(std::int64_t index) {
  // Settled once the central server has every row of the seedings: a row written beside them that
  // is committed by now is found here; one committed later appears at a value the index passed
  // while it was missing, and the watch sends its product again.
  if (index < mem_.state.check->upto) return;
  SeedingResult r;
  try {
    const std::vector<std::string> products = ProductsChangedBeside(L, *mem_.state.check);
    std::optional<SeedingCheck> next_check;
    if (!products.empty()) EnsureLook(index);
    // The refresh's rows come after everything the seedings wrote.
    r = RefreshProducts(L, products, index, std::max(index, mem_.state.check->upto), [&](const SeedingResult& r) {
      if (r.rows > 0) next_check = CheckFor(r, look_ ? &*look_ : nullptr);
    });
    // Replaced only once the refresh committed: a refresh that fails leaves the check it was
    // making good, to be tried again.
    ReplicationState next = mem_.state;
    next.check = next_check;
    Save(next);
    mem_.check_cycle = mem_.cycles;
    mem_.check_failures = 0;
  } catch (const std::exception& e) {
    if (RefusedInsert(e)) return;
    // A check that cannot be made must not keep every later cycle from sending.
    if (++mem_.check_failures < 3) throw;
    mem_.check_failures = 0;
    ReplicationState next = mem_.state;
    next.check.reset();
    Save(next);
    DoSaveLog(Format(messages::kCheckDiscarded, {e.what()}));
    return;
  }
  if (r.rows > 0)
    DoSaveLog(Format(messages::kCheckRefreshed, {std::to_string(r.rows)}));
}

bool Cycle::Relog(const std::vector<std::string>& products, std::int64_t index, std::int64_t* rows) {
  if (products.empty()) return true;
  EnsureLook(index);
  try {
    const SeedingResult written = RefreshProducts(L, products, index, index, [&](const SeedingResult& r) {
      if (r.rows == 0) return;
      std::optional<SeedingCheck> check = CheckFor(r, look_ ? &*look_ : nullptr);
      if (!check) return;
      ReplicationState next = mem_.state;
      if (next.check) next.check->Merge(*check);
      else next.check = check;
      Save(next);
    });
    if (rows) *rows += written.rows;
  } catch (const std::exception& e) {
    if (RefusedInsert(e)) return false;
    throw;
  }
  return true;
}

namespace {

// "4,2 s", "350 ms": how long something took, for the activity log.
std::string Took(std::chrono::milliseconds d) {
  if (d.count() < 1000) return std::to_string(d.count()) + " ms";
  const std::int64_t tenths = d.count() / 100;
  return std::to_string(tenths / 10) + "," + std::to_string(tenths % 10) + " s";
}

AuditSummary SummaryOf(const ReplicationState::LastAudit& a) {
  AuditSummary s;
  s.start = std::chrono::system_clock::from_time_t(static_cast<std::time_t>(a.start));
  s.end = s.start + std::chrono::milliseconds(a.duration_ms);
  s.products = a.products;
  s.differing = a.differing;
  s.relogged = a.relogged;
  return s;
}

}  // namespace

void Cycle::MaybeAudit(std::int64_t index, std::int64_t upto) {
  const std::int64_t now = mem_.Now();
  const AuditHour hour = ReadAuditHour();
  if (!hour.valid && mem_.audit_hour_warned != hour.written) {
    mem_.audit_hour_warned = hour.written;
    DoSaveLog(Format(messages::kAuditHourInvalid, {hour.written, std::to_string(kDefaultAuditHour)}));
  }
  if (mem_.state.audit_since == 0) {
    // Audits are counted from the first cycle that knows of them: the first comes at the next
    // audit hour, not in the middle of the day an agent was installed or upgraded.
    ReplicationState next = mem_.state;
    next.audit_since = now;
    Save(next);
  }
  if (hour.hour < 0 || upto <= 0 || now < mem_.audit_retry_at) return;
  if (mem_.state.audit_requested || AuditDue(now, hour.hour, mem_.state.audit_since)) Audit(index, upto);
}

void Cycle::Audit(std::int64_t index, std::int64_t upto) {
  AuditSummary summary;
  summary.start = std::chrono::system_clock::now();
  const auto t0 = SteadyClock::now();
  const std::int64_t began = mem_.Now();
  AuditFindings found;
  std::int64_t relogged = 0;
  try {
    AuditStock(L, upto, mem_.audit_pacing, should_yield_, found);
    summary.differing = static_cast<std::int64_t>(found.differences.size());
    // The differing products get one row each with their stock as it is now, checked like every
    // seeding, in transactions of a few hundred products.
    for (std::size_t from = 0; from < found.differences.size(); from += kAuditRelogChunk) {
      if (from > 0) {
        if (Yield()) throw AuditInterrupted("o serviço está parando");
        if (mem_.audit_pacing.wait) mem_.audit_pacing.wait(mem_.audit_pacing.pause);
        else std::this_thread::sleep_for(mem_.audit_pacing.pause);
      }
      std::vector<std::string> chunk;
      for (std::size_t i = from; i < found.differences.size() && i < from + kAuditRelogChunk; ++i)
        chunk.push_back(found.differences[i].product);
      if (!Relog(chunk, index, &relogged))
        throw AuditInterrupted("a tabela RPL_LOGESTOQUE_ENV recusou o reenvio do estoque");
    }
  } catch (const AuditInterrupted& e) {
    summary.error = e.what();
  } catch (const localdb::EDatabaseError& e) {
    summary.error = text::CapText(text::FlattenControls(e.what()));
  }
  summary.products = found.products;
  summary.relogged = relogged;
  summary.end = std::chrono::system_clock::now();
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(SteadyClock::now() - t0);
  mem_.last_audit = summary;
  if (!summary.error.empty()) {
    // Once the service stops, the next start finds the audit still due; any other failure waits
    // an hour, so that a database that refuses it is not read every ten seconds.
    const bool stopping = Yield();
    if (!stopping) mem_.audit_retry_at = mem_.Now() + 3600;
    DoSaveLog(Format(messages::kAuditFailed,
                     {summary.products > 0 ? " (" + std::to_string(summary.products) + " produto(s) lido(s))" : std::string(),
                      summary.error,
                      stopping ? "; será feita de novo no próximo início" : "; será tentada de novo em 1 hora",
                      relogged > 0 ? "; " + std::to_string(relogged) + " produto(s) já reenviado(s)" : std::string()}));
    return;
  }
  ReplicationState next = mem_.state;
  next.audit_since = began;
  next.audit_requested = false;
  next.last_audit = ReplicationState::LastAudit{began, took.count(), summary.products, summary.differing, relogged};
  Save(next);
  DoSaveLog(Format(messages::kAuditDone, {std::to_string(summary.products), std::to_string(summary.differing),
                                          std::to_string(relogged), Took(took)}));
  for (std::size_t i = 0; i < found.differences.size() && i < kAuditLines; ++i) {
    const StockDifference& d = found.differences[i];
    DoSaveLog(Format(messages::kAuditProduct,
                     {d.product, FormatStock(d.store),
                      d.logged ? "o Servidor Central recebeu " + FormatStock(*d.logged)
                               : std::string("nunca foi enviado ao Servidor Central")}));
  }
}

void Cycle::RecoverPending(std::int64_t index) {
  if (mem_.state.pending.Empty()) return;
  // A cycle ended before it recorded what it passed. What the central index has passed since is
  // watched; a row that was sent in between is taken for a late one, which only sends its stock
  // once more.
  ReplicationState next = mem_.state;
  const std::int64_t now = mem_.Now();
  for (const SeqRange& r : next.pending.MissingValues()) {
    if (r.first > index) break;
    const std::int64_t last = std::min(r.last, index);
    next.watch.AddPassed(r.first, last, {{r.first, last}}, now);
  }
  next.pending = {};
  Save(next);
}

void Cycle::KeepPending(std::int64_t index) {
  if (passed_.empty() || (pending_written_ && passed_.back().last <= pending_upto_)) return;
  const std::vector<SeqRange> passable = mem_.gaps.Passable(index);
  ReplicationState next = mem_.state;
  next.pending = {};
  const std::int64_t now = mem_.Now();
  for (const SeqRange& r : passable) next.pending.AddPassed(r.first, r.last, {r}, now);
  for (const SeqRange& r : passed_) next.pending.AddPassed(r.first, r.last, {r}, now);
  pending_upto_ = std::max(passable.empty() ? index : passable.back().last, passed_.back().last);
  pending_written_ = true;
  Save(next);
}

void Cycle::RecordPassed(std::int64_t index) {
  if (!accepted_upto_ && !pending_written_) return;
  ReplicationState next = mem_.state;
  if (accepted_upto_ && *accepted_upto_ > index) {
    std::vector<SeqRange> gaps;
    for (const SeqRange& r : passed_) {
      if (r.first > *accepted_upto_) break;
      gaps.push_back({r.first, std::min(r.last, *accepted_upto_)});
    }
    next.watch.AddPassed(index + 1, *accepted_upto_, gaps, mem_.Now());
    const std::vector<SeqRange> dropped = next.watch.Trim();
    if (!dropped.empty())
      DoSaveLog(Format(messages::kWatchFull, {std::to_string(PassedWatch::kMaxBytes >> 20), DescribeValues(dropped)}));
  }
  next.pending = {};
  if (!(next == mem_.state)) Save(next);
}

void Cycle::CheckWatch(std::int64_t index) {
  try {
    CheckWatchNow(index);
  } catch (const localdb::EDatabaseError& e) {
    // The watch must never keep the store from sending: what it could not check now it checks in
    // a later cycle.
    Problem("watch", [&] { return Format(messages::kWatchCheckFailed, {e.what()}); });
  }
  const std::vector<SeqRange> overdue = mem_.state.watch.DropOverdue(mem_.Now());
  if (!overdue.empty()) {
    Save(mem_.state);
    DoSaveLog(Format(messages::kWatchOverdue, {DescribeValues(overdue)}));
  }
}

void Cycle::CheckWatchNow(std::int64_t index) {
  const std::int64_t now = mem_.Now();
  PassedWatch& watch = mem_.state.watch;
  const std::vector<std::int64_t> due = watch.DueAt(now);
  if (due.empty()) return;
  const PassedWatch before = watch;

  // The windows' aggregates, in as few statements as hold them; a window whose figures are what it
  // expects is checked.
  std::vector<std::int64_t> read;  // entries to read row by row
  std::vector<std::int64_t> windows;
  for (std::int64_t base : due) {
    const PassedWatch::Entry& e = watch.At(base);
    if (e.dirty) read.push_back(base);
    else windows.push_back(base);
  }
  constexpr std::size_t kPerStatement = 200;
  constexpr std::int64_t kSpan = std::int64_t{1} << 40;  // sums stay far from 2^63
  for (std::size_t i = 0; i < windows.size();) {
    const std::int64_t b0 = windows[i];
    const PassedWatch::Entry& first = watch.At(b0);
    if (first.run) {
      // A run of whole windows: whether any row has appeared in it.
      localdb::TFDQuery q("TBVigiaFaixa", L.ConnQuelbrant, L.TransLeitura,
                          "SELECT COUNT(*) AS N FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL BETWEEN " +
                              std::to_string(first.from) + " AND " + std::to_string(first.upto));
      Closing closing{q};
      q.Open();
      if (!watch.Confirm(b0, q.FieldByName("N").AsLargeInt(), first.sum, now)) read.push_back(b0);
      ++i;
      continue;
    }
    std::size_t j = i;
    std::string where;
    while (j < windows.size() && j - i < kPerStatement && !watch.At(windows[j]).run && windows[j] - b0 < kSpan) {
      const PassedWatch::Entry& e = watch.At(windows[j]);
      where += (where.empty() ? "" : "\n   OR ") + std::string("SEQUENCIAL BETWEEN ") + std::to_string(e.from) + " AND " +
               std::to_string(e.upto);
      ++j;
    }
    const std::string base = std::to_string(b0);
    localdb::TFDQuery q("TBVigia", L.ConnQuelbrant, L.TransLeitura,
                        "SELECT (SEQUENCIAL - " + base + ") / " + std::to_string(PassedWatch::kWindow) +
                            " AS J, COUNT(*) AS N, SUM(SEQUENCIAL - " + base + ") AS S\nFROM RPL_LOGESTOQUE_ENV\nWHERE " +
                            where + "\nGROUP BY 1");
    std::map<std::int64_t, std::pair<std::int64_t, std::int64_t>> found;  // window base -> rows, sum
    {
      Closing closing{q};
      for (q.Open(); !q.Eof(); q.Next()) {
        const std::int64_t w = b0 + q.FieldByName("J").AsLargeInt() * PassedWatch::kWindow;
        const std::int64_t n = q.FieldByName("N").AsLargeInt();
        found[w] = {n, q.FieldByName("S").AsLargeInt() - n * (w - b0)};
      }
    }
    for (std::size_t k = i; k < j; ++k) {
      const auto it = found.find(windows[k]);
      const auto [n, sum] = it == found.end() ? std::pair<std::int64_t, std::int64_t>{0, 0} : it->second;
      if (!watch.Confirm(windows[k], n, sum, now)) read.push_back(windows[k]);
    }
    i = j;
  }

  // The windows whose figures changed, row by row: a row at a value that was missing and is at or
  // below the index now came late.
  struct Read {
    std::int64_t base, rows = 0, sum = 0;
    std::vector<std::int64_t> late;
  };
  std::vector<Read> reads;
  std::vector<localdb::OutgoingRow> late_rows;
  std::vector<std::string> products;
  const localdb::CodeColumn& code = localdb::Schema(L).log_code;
  for (std::int64_t base : read) {
    const PassedWatch::Entry& e = watch.At(base);
    Read r;
    r.base = base;
    localdb::TFDQuery q("TBVigiaLinhas", L.ConnQuelbrant, L.TransLeitura,
                        "SELECT SEQUENCIAL, " + localdb::CodeSelect(code, "CODIGOPRODUTO") +
                            " AS CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL BETWEEN " + std::to_string(e.from) +
                            " AND " + std::to_string(e.upto) + " ORDER BY SEQUENCIAL");
    Closing closing{q};
    for (q.Open(); !q.Eof(); q.Next()) {
      const std::int64_t v = q.FieldByName("SEQUENCIAL").AsLargeInt();
      ++r.rows;
      // Wrapping: a run may span more than the sum can hold, and only equality matters.
      r.sum = static_cast<std::int64_t>(static_cast<std::uint64_t>(r.sum) + static_cast<std::uint64_t>(v) -
                                        static_cast<std::uint64_t>(base));
      if (!e.Missing(v) || v > index) continue;  // above the index it is simply sent in its turn
      r.late.push_back(v);
      const std::string product = localdb::DecodeCode(code, q.FieldByName("CODIGOPRODUTO"));
      late_rows.push_back({v, product});
      if (std::find(products.begin(), products.end(), product) == products.end()) products.push_back(product);
    }
    reads.push_back(std::move(r));
  }
  // Watched no more only once their products' stock is on its way.
  if (!Relog(products, index)) {
    watch = before;
    return;
  }
  for (const Read& r : reads) watch.Resolve(r.base, r.late, r.rows, r.sum, now);
  watch.DropExpired(now);
  std::sort(late_rows.begin(), late_rows.end(),
            [](const localdb::OutgoingRow& a, const localdb::OutgoingRow& b) { return a.sequencial < b.sequencial; });
  for (std::size_t k = 0; k < late_rows.size() && k < kLateLinesPerCycle; ++k)
    DoSaveLog(Format(messages::kLateRow, {std::to_string(late_rows[k].sequencial), late_rows[k].produto}));
  if (late_rows.size() > kLateLinesPerCycle)
    DoSaveLog(Format(messages::kLateRowsMore,
                     {std::to_string(late_rows.size() - kLateLinesPerCycle), std::to_string(products.size())}));
  // Only what a crash would lose is written: the times of the checks alone can be done again.
  bool changed = before.Size() != watch.Size() || !late_rows.empty();
  for (auto it = watch.Entries().begin(); !changed && it != watch.Entries().end(); ++it) {
    const PassedWatch::Entry& b = before.At(it->first);
    changed = b.rows != it->second.rows || b.sum != it->second.sum || b.dirty != it->second.dirty;
  }
  if (changed) Save(mem_.state);
}

bool Cycle::RestoredBackup(std::int64_t index) {
  // Judged by the generator, not by the highest row: an ERP that deletes its newest row (a
  // cancelled sale) leaves the generator where it was.
  const std::string& name = localdb::LogGenerator(L);
  std::optional<std::int64_t> generator;
  if (!name.empty()) {
    generator = localdb::GeneratorValue(L, name);
    if (*generator >= index) return false;
  } else {
    localdb::TFDQuery& q = L.TBAlcancaIndice;
    Closing closing{q};
    q.ParamByName("INDICE").SetAsLargeInt(index);
    q.Open();
    if (q.FieldByName("ALCANCA").AsInteger() != 0 || q.FieldByName("ALGUM").AsInteger() == 0) return false;
  }
  std::int64_t highest = 0;
  {
    localdb::TFDQuery& m = L.TBMaiorSequencial;
    Closing closing{m};
    m.Open();
    highest = m.FieldByName("MAIOR").AsLargeInt();
  }
  // Without a generator, a few rows deleted at the top are told from a restore by the distance.
  if (!generator && (index < kRestoredDistance || highest >= index - kRestoredDistance)) return false;
  if (!mem_.state.restored_highest) {
    // The values above what the restored database holds are now another database's; the rows
    // written there until the generator passes the index are sent again afterwards.
    ReplicationState next = mem_.state;
    next.restored_highest = highest;
    next.watch.ForgetAbove(highest);
    Save(next);
  }
  Problem("restored", [&] {
    const std::string above =
        generator ? "do gerador de SEQUENCIAL do banco local (" + name + ", em " + std::to_string(*generator) +
                        "; maior SEQUENCIAL " + std::to_string(highest) + ")"
                  : "do maior SEQUENCIAL do banco local (" + std::to_string(highest) + ")";
    const std::string todo =
        generator ? ". Para voltar a enviar, ajuste o gerador para que o próximo SEQUENCIAL passe do índice: " +
                        localdb::RestartCommand(L, index + 1)
                  : ". Para voltar a enviar, ajuste o que numera SEQUENCIAL (o gerador do gatilho da tabela) para que o "
                    "próximo passe de " + std::to_string(index);
    return Format(messages::kRestored, {std::to_string(index), above, todo});
  });
  return true;
}

void Cycle::AfterRestore(std::int64_t index) {
  const std::int64_t highest = *mem_.state.restored_highest;
  std::vector<std::string> products;
  std::int64_t rows = 0;
  if (index > highest) {
    const localdb::CodeColumn& code = localdb::Schema(L).log_code;
    localdb::TFDQuery q("TBGravadosAbaixo", L.ConnQuelbrant, L.TransLeitura,
                        "SELECT " + localdb::CodeSelect(code, "CODIGOPRODUTO") +
                            " AS CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > " + std::to_string(highest) +
                            " AND SEQUENCIAL <= " + std::to_string(index));
    Closing closing{q};
    for (q.Open(); !q.Eof(); q.Next()) {
      ++rows;
      const std::string p = localdb::DecodeCode(code, q.FieldByName("CODIGOPRODUTO"));
      if (std::find(products.begin(), products.end(), p) == products.end()) products.push_back(p);
    }
  }
  if (!Relog(products, index)) return;
  ReplicationState next = mem_.state;
  next.restored_highest.reset();
  Save(next);
  DoSaveLog(Format(messages::kRestoreCleared,
                   {std::to_string(index),
                    rows == 0 ? std::string("nenhum registro foi gravado abaixo dele enquanto isso")
                              : "o estoque atual de " + std::to_string(products.size()) + " produto(s) dos " +
                                    std::to_string(rows) + " registro(s) gravados abaixo dele enquanto isso (SEQUENCIAL " +
                                    std::to_string(highest + 1) + " a " + std::to_string(index) + ") foi reenviado"}));
}

bool Cycle::UnreadableRow(std::int64_t after, const std::exception& e) {
  std::int64_t sequencial = 0;
  try {
    localdb::TFDQuery q("TBProximoSequencial", L.ConnQuelbrant, L.TransLeitura,
                        "SELECT FIRST 1 SEQUENCIAL FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > " + std::to_string(after) +
                            " ORDER BY SEQUENCIAL");
    Closing closing{q};
    q.Open();
    if (q.IsEmpty()) return false;
    sequencial = q.FieldByName("SEQUENCIAL").AsLargeInt();
  } catch (const localdb::EDatabaseError&) {
    return false;  // not the row: the database cannot be read at all
  }
  Problem(Format(messages::kUnreadableRow, {std::to_string(sequencial), e.what()}));
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
    if (pending > 0) {
      report_.index_after = last_posted_;
      accepted_upto_ = posted_upto_;
    }
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
    return Problem(Format(messages::kNoStoreRow));
  if (L.TBPadrao.FieldByName("CODIGOLOJA").IsNull())
    return Problem(Format(messages::kNoStoreCode));
  const std::int32_t CodigoLoja = L.TBPadrao.FieldByName("CODIGOLOJA").AsInteger();
  // Read once; the store row's transaction must not stay open beside the seeding's.
  L.TBPadrao.Close();
  localdb::FitStatementsToSchema(L);

  // 6. The replication index as the central server reports it.
  C.CDSIndice.Close();
  C.CDSIndice.Params.ParamByName("CODIGO").SetAsInteger(CodigoLoja);
  C.CDSIndice.Open();
  const std::string indice = C.CDSIndice.FieldByName("RPL_INDICEESTOQUE").AsString();
  report_.index_before = report_.index_after = indice;
  const std::optional<std::int64_t> parsed = IndexValue(indice);
  if (!parsed)
    return Problem("index", [&] { return Format(messages::kBadIndex, {text::CapText(text::FlattenControls(indice))}); });
  const std::int64_t index = *parsed;
  const std::string database = localdb::DatabaseName(L);
  mem_.gaps.BeginCycle(database, index);
  LoadState(CodigoLoja, database);
  if (!mem_.last_audit && mem_.state.last_audit) mem_.last_audit = SummaryOf(*mem_.state.last_audit);
  RecoverPending(index);

  // 7. Initial load when the central server has received nothing yet, unless the last one is
  // still waiting to be sent, or the store had an index and its loss is not confirmed yet.
  std::optional<std::int32_t> RetornoCDS;
  bool load = indice.empty() || indice == "0";
  if (!load) {
    mem_.reset_seen.clear();
    if (index > 0) {
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
      forget = index >= mem_.state.load_mark;  // the central server has them all
    }
    if (forget) {
      ReplicationState next = mem_.state;
      next.load_mark = 0;
      next.mark_product.clear();
      next.mark_stock.clear();
      // A load the central server has whole is audited at once: what it did not copy (a product
      // without stock, say) is found before the night.
      if (!load) next.audit_requested = true;
      Save(next);
    }
  }
  const bool reseed = load && mem_.state.had_index;
  if (reseed && !ResetConfirmed(indice)) return;
  // One look serves the seeding, its check and the gaps; it must follow the read of the gaps.
  if (load) {
    EnsureLook(index);
    RetornoCDS = 0;
    // Without its load a new store must send nothing: the central server would take the rows
    // for the whole stock.
    if (!InitialLoad(index, reseed)) return;
  } else if (mem_.state.check) {
    AdvanceCheck(index);
  }
  if (!mem_.state.watch.Empty()) CheckWatch(index);

  // 8. The verbose switch, read once per cycle.
  const bool MonitorarComando =
      settings::TIniFile(settings::SettingsFilePath()).ReadBool(settings::kSettingsSection, "MonitorarComando", false);

  // 9. Prepare the send.
  std::int32_t NumeroComandos = 0;
  std::int32_t Contagem = 0;
  C.CDSLogEstoqueRec.Open();
  localdb::TFDQuery& q = L.TBLogEstoqueENV;
  q.Close();
  q.ParamByName("INDICE").SetAsString(indice);
  Stop stop = Stop::kNone;
  // A row the server cannot deliver (a value it cannot convert) is named, and the rows after it
  // wait; one that fails because the database went away fails the cycle.
  auto unreadable = [&](std::int64_t after, const localdb::EDatabaseError& e) {
    if (!q.FetchFailed() || !UnreadableRow(after, e)) throw;
    stop = Stop::kUnsendable;
  };
  try {
    q.Open();
  } catch (const localdb::EDatabaseError& e) {
    unreadable(index, e);
  }

  // 10. Send in batches, in SEQUENCIAL order. Reading stops at the first batch the server
  // rejects, at a gap that a running transaction may still fill, at a row the central server
  // cannot take, or when a stop or continue is waiting.
  const bool read_empty = stop == Stop::kNone && q.IsEmpty();
  if (!q.IsEmpty() || stop != Stop::kNone) {
    if (MonitorarComando) DoSaveLog(Format(messages::kSendStarted));
    std::int64_t previous = index;
    mem_.gaps.Rewind(previous);
    while (stop == Stop::kNone && !q.Eof()) {
      const std::int64_t sequencial = q.FieldByName("SEQUENCIAL").AsLargeInt();
      if (sequencial > previous + 1) {
        const GapTracker::Verdict v = mem_.gaps.Judge(previous + 1, sequencial - 1);
        if (v == GapTracker::Verdict::kLook) {
          // Judge the gaps ahead with this cycle's look, then read again from here: only a read
          // that follows the look may go past a gap.
          EnsureLook(previous);
          q.Close();
          q.ParamByName("INDICE").SetAsString(std::to_string(previous));
          try {
            q.Open();
          } catch (const localdb::EDatabaseError& e) {
            unreadable(previous, e);
          }
          mem_.gaps.Rewind(previous);
          continue;
        }
        if (v == GapTracker::Verdict::kHeld) {
          stop = Stop::kHeld;
          break;
        }
        passed_.push_back({previous + 1, sequencial - 1});
      }
      previous = sequencial;

      std::string produto;
      try {
        produto = localdb::DecodeCode(localdb::Schema(L).log_code, q.FieldByName("CODIGOPRODUTO"));
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
        Problem(Format(messages::kUnsendableRow,
                       {std::to_string(sequencial) + (produto.empty() ? "" : " (produto " + produto + ")"), e.what()}));
        break;
      }
      last_posted_ = std::to_string(sequencial);
      posted_upto_ = sequencial;
      ++NumeroComandos;
      ++Contagem;
      report_.rows_read = Contagem;
      if (NumeroComandos == kBatchSize) {
        KeepPending(index);
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
      try {
        q.Next();
      } catch (const localdb::EDatabaseError& e) {
        unreadable(previous, e);
      }
    }
    // Whatever is still pending, the rejected rows included, goes once more.
    KeepPending(index);
    RetornoCDS = Apply();
    if (MonitorarComando) DoSaveLog(Format(messages::kSendFinished, {std::to_string(Contagem)}));
  }
  RecordPassed(index);
  // The outgoing log ends below the central index: every new row would stay unread.
  const bool restored = read_empty && index > 0 && RestoredBackup(index);
  if (!restored && mem_.state.restored_highest) AfterRestore(index);
  // The audit compares with what the central server has now; not while anything keeps rows from
  // being sent or the cycle is ending early.
  if ((stop == Stop::kNone || stop == Stop::kHeld) && !restored && RetornoCDS.value_or(0) == 0 && problems_.empty())
    MaybeAudit(index, accepted_upto_.value_or(index));
  std::erase_if(mem_.problems, [&](const auto& p) {
    return std::find(problems_.begin(), problems_.end(), p.first) == problems_.end();
  });

  if (stop == Stop::kYield) {
    report_.outcome = CycleOutcome::kStoppedEarly;
  } else if (stop == Stop::kUnsendable || restored || RetornoCDS.value_or(0) != 0 || !problems_.empty()) {
    report_.outcome = CycleOutcome::kFailed;
  } else if (report_.rows_accepted > 0) {
    report_.outcome = CycleOutcome::kSent;
  }

  const auto now = SteadyClock::now();
  for (const messages::Text& line : mem_.gaps.LongHeld(now)) DoSaveLog(line);
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
      DoSaveLog(Format(messages::kStampFailed, {e.what()}));
    }
  }
}

}  // namespace

std::optional<std::int64_t> IndexValue(const std::string& text) {
  std::size_t i = 0, n = text.size();
  while (i < n && text[i] == ' ') ++i;
  while (n > i && text[n - 1] == ' ') --n;
  if (i == n) return text.empty() ? std::optional<std::int64_t>(0) : std::nullopt;
  std::int64_t v = 0;
  const char* first = text.data() + i + (text[i] == '+' ? 1 : 0);
  if (first < text.data() + n && *first == '-' && text[i] == '+') return std::nullopt;
  auto [p, ec] = std::from_chars(first, text.data() + n, v);
  if (ec != std::errc() || p != text.data() + n) return std::nullopt;
  return v;
}

std::int64_t ReplicationMemory::Now() const {
  if (clock) return clock();
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
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
      ConnectIfClosed(C.ConnServer, C.Trouble, C.Where(), report);                         // 2.
      ConnectIfClosed(L.ConnQuelbrant, L.Trouble, localdb::DatabaseName(L), report);  // 3.
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
  report.last_audit = parts.Memory.last_audit;
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
  // Said in words a technician knows: which of the agent's exchanges the central server refused.
  const messages::Text line = DataSet.Name == "CDSLogEstoqueRec" ? Format(messages::kRowsRejected, {E.what()})
                              : DataSet.Name == "CdsFiliais"     ? Format(messages::kStampRejected, {E.what()})
                                                                 : Format(messages::kOtherRejected, {DataSet.Name, E.what()});
  if (t_report && t_report->error.empty()) t_report->error = line.str();
  DoSaveLog(line);
}

}  // namespace replication
