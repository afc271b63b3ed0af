#include "replication/sequence_gaps.h"

#include <algorithm>

namespace replication {

std::vector<OpenTransaction> MonitorSnapshot::OpenBelow(std::int64_t horizon) const {
  std::vector<OpenTransaction> out;
  for (const OpenTransaction& t : open)
    if (t.id < horizon) out.push_back(t);
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

void GapTracker::BeginCycle(std::int64_t index) {
  ++cycle_;
  std::erase_if(gaps_, [&](const Gap& g) { return g.last <= index; });
}

bool GapTracker::NeedsSnapshot() const {
  return std::any_of(gaps_.begin(), gaps_.end(), [](const Gap& g) { return !g.settled; });
}

void GapTracker::Settle(const MonitorSnapshot& snapshot) {
  for (Gap& g : gaps_) {
    if (g.settled) continue;
    if (!snapshot.complete) {
      g.settled = cycle_ - g.seen_in_cycle >= kGraceCycles;
      continue;
    }
    if (g.horizon == 0) g.horizon = snapshot.next_transaction;
    g.holders = snapshot.OpenBelow(g.horizon);
    g.settled = g.holders.empty();
  }
}

GapTracker::Verdict GapTracker::Judge(std::int64_t first, std::int64_t last) {
  bool passable = true;
  std::vector<Gap> fresh;
  auto add = [&](std::int64_t a, std::int64_t b) {
    Gap g;
    g.first = a;
    g.last = b;
    g.seen_at = Clock::now();
    g.seen_in_cycle = cycle_;
    fresh.push_back(g);
  };
  std::int64_t next = first;  // the lowest value of the gap not yet matched with what is known
  for (const Gap& g : gaps_) {
    if (g.last < next) continue;
    if (g.first > last) break;
    if (g.first > next) add(next, g.first - 1);
    passable = passable && g.settled;
    next = g.last + 1;
    if (next > last) break;
  }
  if (next <= last) add(next, last);
  if (fresh.empty()) return passable ? Verdict::kPass : Verdict::kHeld;
  gaps_.insert(gaps_.end(), fresh.begin(), fresh.end());
  std::sort(gaps_.begin(), gaps_.end(), [](const Gap& a, const Gap& b) { return a.first < b.first; });
  return Verdict::kNew;
}

std::vector<std::string> GapTracker::LongHeld(Clock::time_point now) {
  std::vector<std::string> lines;
  for (Gap& g : gaps_) {
    if (g.settled || g.reported || now - g.seen_at < kReportAfter) continue;
    g.reported = true;
    std::string values = std::to_string(g.first);
    if (g.last != g.first) values += " a " + std::to_string(g.last);
    std::string line = "SEQUENCIAL " + values + " aguarda há mais de 10 minutos o fim de transações do banco local";
    line += g.holders.empty() ? " (o monitoramento do Firebird não as mostra)" : "; ainda aberta(s): " + DescribeHolders(g.holders);
    lines.push_back(line);
  }
  return lines;
}

}  // namespace replication
