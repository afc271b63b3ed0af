#include "replication/sequence_gaps.h"

#include <algorithm>
#include <map>

namespace replication {

namespace {

// Appends a range, joined to the last one when they touch.
void AddRange(std::vector<SeqRange>& to, std::int64_t first, std::int64_t last) {
  if (!to.empty() && to.back().last + 1 >= first) {
    to.back().last = std::max(to.back().last, last);
  } else {
    to.push_back({first, last});
  }
}

}  // namespace

std::vector<OpenTransaction> MonitorSnapshot::WritersBelow(std::int64_t horizon) const {
  std::vector<OpenTransaction> out;
  for (const OpenTransaction& t : open)
    if (t.writer && t.id < horizon) out.push_back(t);
  return out;
}

std::string DescribeHolders(const std::vector<OpenTransaction>& holders) {
  std::string out;
  for (const OpenTransaction& t : holders) {
    if (!out.empty()) out += "; ";
    out += "transação " + std::to_string(t.id);
    std::string details;
    auto add = [&](const char* what, const std::string& value) {
      if (value.empty()) return;
      details += (details.empty() ? "" : ", ") + std::string(what) + " " + value;
    };
    add("usuário", t.user);
    add("endereço", t.address);
    add("programa", t.program);
    if (!details.empty()) out += " (" + details + ")";
  }
  return out;
}

std::string DescribeValues(const std::vector<SeqRange>& values, std::size_t at_most) {
  std::string out;
  for (std::size_t i = 0; i < values.size() && i < at_most; ++i) {
    if (i > 0) out += ", ";
    out += std::to_string(values[i].first);
    if (values[i].last != values[i].first) out += " a " + std::to_string(values[i].last);
  }
  if (values.size() > at_most) out += " e mais " + std::to_string(values.size() - at_most) + " lacuna(s)";
  return out;
}

std::string DescribeLimit(std::chrono::steady_clock::duration d) {
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(d).count();
  if (seconds % 60 == 0 && seconds > 0) return std::to_string(seconds / 60) + (seconds == 60 ? " minuto" : " minutos");
  return std::to_string(seconds) + (seconds == 1 ? " segundo" : " segundos");
}

void GapTracker::BeginCycle(const std::string& database, std::int64_t index) {
  if (database != database_) {
    // Values of another database say nothing about this one.
    gaps_.clear();
    inserts_before_.clear();
    looked_before_ = false;
    database_ = database;
  }
  ++cycle_;
  looked_ = false;
  pos_ = 0;
  std::erase_if(gaps_, [&](const Gap& g) { return g.last <= index; });
}

void GapTracker::Learn(const std::vector<SeqRange>& found, std::int64_t span_first, std::int64_t span_last,
                       Clock::time_point now) {
  std::vector<Gap> out;
  out.reserve(gaps_.size() + found.size());
  auto piece = [](const Gap& g, std::int64_t a, std::int64_t b) {
    Gap p = g;
    p.first = a;
    p.last = b;
    return p;
  };
  const std::size_t n = gaps_.size();
  std::size_t i = 0;
  // Below the span nothing changes; a gap reaching into it is cut there.
  for (; i < n && gaps_[i].first < span_first; ++i) {
    out.push_back(piece(gaps_[i], gaps_[i].first, std::min(gaps_[i].last, span_first - 1)));
    if (gaps_[i].last >= span_first) break;
  }
  auto start = [&](std::size_t k) { return std::max(gaps_[k].first, span_first); };
  // Within the span: the values found missing, with what is known of each kept.
  for (const SeqRange& f : found) {
    std::int64_t next = f.first;
    while (next <= f.last) {
      while (i < n && gaps_[i].last < next) ++i;
      if (i < n && start(i) <= next) {
        const std::int64_t end = std::min(gaps_[i].last, f.last);
        out.push_back(piece(gaps_[i], next, end));
        next = end + 1;
      } else {
        std::int64_t end = f.last;
        if (i < n) end = std::min(end, start(i) - 1);
        Gap g;
        g.first = next;
        g.last = end;
        g.seen_at = now;
        g.seen_in_cycle = cycle_;
        out.push_back(g);
        next = end + 1;
      }
    }
  }
  // Above the span nothing changes either.
  for (; i < n; ++i) {
    if (gaps_[i].last <= span_last) continue;
    out.push_back(piece(gaps_[i], std::max(gaps_[i].first, span_last + 1), gaps_[i].last));
  }
  gaps_ = std::move(out);
  pos_ = 0;
}

GapTracker::Passed GapTracker::Settle(const MonitorSnapshot& snapshot, Clock::time_point now) {
  Passed passed;
  looked_ = true;
  holder_sets_.clear();
  std::map<std::int64_t, int> set_of_horizon;  // -1: no holders
  // A transaction that runs nothing holds a gap only if it inserted since the look before.
  auto holds = [&](const OpenTransaction& t) {
    if (t.running) return true;
    if (!looked_before_) return true;
    const auto it = inserts_before_.find({t.attachment, t.started});
    return it == inserts_before_.end() || it->second != t.inserts;
  };
  for (Gap& g : gaps_) {
    if (g.state == State::kSettled || g.state == State::kPassed) continue;
    g.holders = -1;
    if (!snapshot.complete) {
      if (cycle_ - g.seen_in_cycle >= kGraceCycles) {
        g.state = State::kPassed;
        AddRange(passed.without_view, g.first, g.last);
      } else {
        g.state = State::kHeld;
      }
      continue;
    }
    if (g.horizon == 0) g.horizon = snapshot.horizon;
    auto [it, fresh] = set_of_horizon.emplace(g.horizon, -1);
    if (fresh) {
      std::vector<OpenTransaction> holders = snapshot.WritersBelow(g.horizon);
      std::erase_if(holders, [&](const OpenTransaction& t) { return !holds(t); });
      if (!holders.empty()) {
        it->second = static_cast<int>(holder_sets_.size());
        holder_sets_.push_back(std::move(holders));
      }
    }
    if (it->second < 0) {
      g.state = State::kSettled;
      continue;
    }
    const std::vector<OpenTransaction>& holders = holder_sets_[static_cast<std::size_t>(it->second)];
    const bool running = std::any_of(holders.begin(), holders.end(), [](const OpenTransaction& t) { return t.running; });
    if (!running && cycle_ - g.seen_in_cycle >= kGraceCycles) {
      // Only transactions that inserted once and run nothing now: perhaps a till that committed
      // with COMMIT RETAIN. What they may still commit is caught by the watch.
      g.state = State::kPassed;
      AddRange(passed.idle, g.first, g.last);
    } else if (running && now - g.seen_at >= limits.pass_after) {
      g.state = State::kPassed;
      AddRange(passed.after_limit, g.first, g.last);
      for (const OpenTransaction& t : holders)
        if (std::none_of(passed.holders.begin(), passed.holders.end(), [&](const OpenTransaction& h) { return h.id == t.id; }))
          passed.holders.push_back(t);
    } else {
      g.state = State::kHeld;
      g.holders = it->second;
    }
  }
  if (snapshot.complete) {
    inserts_before_.clear();
    for (const OpenTransaction& t : snapshot.open) inserts_before_[{t.attachment, t.started}] = t.inserts;
    looked_before_ = true;
  }
  return passed;
}

void GapTracker::Rewind(std::int64_t from) {
  pos_ = static_cast<std::size_t>(
      std::partition_point(gaps_.begin(), gaps_.end(), [&](const Gap& g) { return g.last <= from; }) - gaps_.begin());
}

GapTracker::Verdict GapTracker::Judge(std::int64_t first, std::int64_t last) {
  const Verdict open = looked_ ? Verdict::kHeld : Verdict::kLook;
  const std::size_t n = gaps_.size();
  while (pos_ < n && gaps_[pos_].last < first) ++pos_;
  Verdict v = Verdict::kPass;
  std::int64_t next = first;
  for (std::size_t i = pos_; next <= last; ++i) {
    if (i >= n || gaps_[i].first > next) return open;  // values nothing is known of
    if (gaps_[i].state != State::kSettled && gaps_[i].state != State::kPassed) v = open;
    next = gaps_[i].last + 1;
  }
  return v;
}

std::vector<messages::Text> GapTracker::LongHeld(Clock::time_point now) {
  std::map<int, std::vector<SeqRange>> groups;
  for (Gap& g : gaps_) {
    if (g.state != State::kHeld || g.reported || now - g.seen_at < limits.report_after) continue;
    g.reported = true;
    AddRange(groups[g.holders], g.first, g.last);
  }
  std::vector<messages::Text> lines;
  for (const auto& [set, values] : groups) {
    lines.push_back(messages::Format(
        messages::kGapHeldLong,
        {DescribeValues(values), DescribeLimit(limits.report_after),
         set < 0 ? std::string(" (o monitoramento do Firebird não as mostra)")
                 : "; ainda aberta(s): " + DescribeHolders(holder_sets_[static_cast<std::size_t>(set)])}));
  }
  return lines;
}

std::vector<SeqRange> GapTracker::Passable(std::int64_t above) const {
  std::vector<SeqRange> out;
  for (const Gap& g : gaps_)
    if (g.last > above && (g.state == State::kSettled || g.state == State::kPassed))
      AddRange(out, std::max(g.first, above + 1), g.last);
  return out;
}

std::optional<GapTracker::HeldSummary> GapTracker::Held() const {
  std::optional<HeldSummary> out;
  for (const Gap& g : gaps_) {
    if (g.state != State::kHeld) continue;
    if (!out) {
      out = HeldSummary{{g.first, g.last}, 0, g.seen_at, {}};
      if (g.holders >= 0) out->holders = holder_sets_[static_cast<std::size_t>(g.holders)];
    }
    ++out->gaps;
  }
  return out;
}

}  // namespace replication
