#include "replication/passed_watch.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <iterator>

namespace replication {

namespace {

constexpr std::int64_t kLast = PassedWatch::kWindow - 1;

// Sum of the integers from 0 to n - 1 counted from `a`: a + (a + 1) + ... + (a + n - 1).
std::int64_t SumRun(std::int64_t a, std::int64_t n) { return n * a + n * (n - 1) / 2; }

std::int64_t EndOf(const PassedWatch::Entry& e) { return e.run ? e.upto : e.base + kLast; }

void SetBit(PassedWatch::Entry& e, std::int64_t v, bool on) {
  const auto off = static_cast<std::size_t>(v - e.base);
  const std::uint64_t mask = std::uint64_t{1} << (off % 64);
  if (on) e.missing[off / 64] |= mask;
  else e.missing[off / 64] &= ~mask;
}

[[noreturn]] void Bad(const std::string& what) { throw std::invalid_argument(what); }

std::int64_t ParseInt(const std::string& s, bool allow_negative) {
  std::int64_t v = 0;
  const char* end = s.data() + s.size();
  auto [p, ec] = std::from_chars(s.data(), end, v);
  if (s.empty() || ec != std::errc() || p != end || (!allow_negative && v < 0)) Bad("número inválido: \"" + s + "\"");
  return v;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t at = s.find(sep, start);
    out.push_back(s.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return out;
    start = at + 1;
  }
}

}  // namespace

std::int64_t WindowOf(std::int64_t v) {
  const std::int64_t r = ((v % PassedWatch::kWindow) + PassedWatch::kWindow) % PassedWatch::kWindow;
  return v - r;  // 2^63 is a multiple of the window: never below INT64_MIN
}

bool PassedWatch::Entry::Missing(std::int64_t v) const {
  if (v < from || v > upto) return false;
  if (run) return true;
  const auto off = static_cast<std::size_t>(v - base);
  return (missing[off / 64] >> (off % 64)) & 1;
}

std::size_t PassedWatch::Bytes() const { return entries_.size() * (sizeof(Entry) + 64); }

std::vector<SeqRange> PassedWatch::MissingValues() const {
  std::vector<SeqRange> out;
  auto add = [&](std::int64_t v, std::int64_t w) {
    if (!out.empty() && out.back().last != INT64_MAX && out.back().last + 1 == v) out.back().last = w;
    else out.push_back({v, w});
  };
  for (const auto& [base, e] : entries_) {
    if (e.run) {
      add(e.from, e.upto);
      continue;
    }
    for (std::int64_t v = e.from; v <= e.upto; ++v) {
      if (e.Missing(v)) add(v, v);
      if (v == e.upto) break;
    }
  }
  return out;
}

void PassedWatch::AddPassed(std::int64_t first, std::int64_t last, const std::vector<SeqRange>& missing,
                            std::int64_t now) {
  if (last < first) return;
  std::size_t mi = 0;
  std::int64_t pos = first;
  for (;;) {
    const std::int64_t base = WindowOf(pos);
    const std::int64_t wend = base + kLast;
    while (mi < missing.size() && missing[mi].last < pos) ++mi;
    if (pos == base && mi < missing.size() && missing[mi].first <= pos && std::min(missing[mi].last, last) >= wend) {
      // Whole windows without a row: one run, however long.
      const std::int64_t m = std::min(missing[mi].last, last);
      const std::int64_t run_end = m - WindowOf(m) == kLast ? m : WindowOf(m) - 1;
      AddRun(base, run_end, now);
      if (run_end >= last) return;
      pos = run_end + 1;
      continue;
    }
    const std::int64_t seg_end = std::min(last, wend);
    AddSegment(base, pos, seg_end, missing, mi, now);
    if (seg_end >= last) return;
    pos = seg_end + 1;
  }
}

PassedWatch::Entry& PassedWatch::SplitRun(std::int64_t base) {
  auto it = std::prev(entries_.upper_bound(base));
  const Entry r = it->second;
  entries_.erase(it);
  auto part = [&](std::int64_t a, std::int64_t b) {
    Entry p = r;
    p.base = p.from = a;
    p.upto = b;
    p.rows = p.sum = 0;
    p.dirty = true;  // what the run expected was for all of it
    entries_[a] = p;
  };
  if (r.from < base) part(r.from, base - 1);
  if (base + kLast < r.upto) part(base + kLast + 1, r.upto);
  Entry w;
  w.base = w.from = base;
  w.upto = base + kLast;
  w.missing.fill(~std::uint64_t{0});
  w.dirty = true;
  w.passed_at = r.passed_at;
  w.checked_at = r.checked_at;
  return entries_[base] = w;
}

void PassedWatch::AddSegment(std::int64_t base, std::int64_t a, std::int64_t b, const std::vector<SeqRange>& missing,
                             std::size_t& mi, std::int64_t now) {
  Entry* e = nullptr;
  bool fresh = false;
  auto it = entries_.upper_bound(base);
  if (it != entries_.begin()) {
    auto p = std::prev(it);
    if (EndOf(p->second) >= base) e = p->second.run ? &SplitRun(base) : &p->second;
  }
  if (!e) {
    // A window without a missing value has nothing to watch.
    std::size_t k = mi;
    while (k < missing.size() && missing[k].last < a) ++k;
    if (k >= missing.size() || missing[k].first > b) return;
    e = &entries_[base];
    e->base = base;
    e->from = a;
    fresh = true;
  }
  const bool contiguous = fresh || (!e->dirty && e->upto != INT64_MAX && a == e->upto + 1);
  std::int64_t present = 0, present_sum = 0;
  std::int64_t v = a;
  while (true) {
    while (mi < missing.size() && missing[mi].last < v) ++mi;
    const bool gap = mi < missing.size() && missing[mi].first <= v;
    // A run of values alike at once: up to the end of this gap, or to the next one.
    std::int64_t end = b;
    if (gap) end = std::min(end, missing[mi].last);
    else if (mi < missing.size()) end = std::min(end, missing[mi].first - 1);
    for (std::int64_t x = v;; ++x) {
      SetBit(*e, x, gap);
      if (x == end) break;
    }
    if (!gap) {
      present += end - v + 1;
      present_sum += SumRun(v - base, end - v + 1);
    }
    if (end >= b) break;
    v = end + 1;
  }
  if (contiguous) {
    e->rows += present;
    e->sum += present_sum;
  } else {
    e->dirty = true;
  }
  e->from = fresh ? a : std::min(e->from, a);
  e->upto = fresh ? b : std::max(e->upto, b);
  e->passed_at = now;
}

void PassedWatch::AddRun(std::int64_t from, std::int64_t upto, std::int64_t now) {
  std::int64_t pos = from;
  for (;;) {
    auto it = entries_.upper_bound(pos);
    if (it != entries_.begin()) {
      auto p = std::prev(it);
      Entry& pe = p->second;
      if (EndOf(pe) >= pos) {
        // Already watched: every value of it is missing now.
        std::int64_t end = std::min(upto, EndOf(pe));
        if (pe.run) {
          pe.passed_at = now;
        } else {
          std::size_t mi = 0;
          AddSegment(pe.base, pos, end, {{pos, end}}, mi, now);
        }
        if (end >= upto) return;
        pos = end + 1;
        continue;
      }
    }
    const std::int64_t free_end = (it == entries_.end() || it->first > upto) ? upto : it->first - 1;
    Entry* prev = nullptr;
    if (it != entries_.begin()) prev = &std::prev(it)->second;
    if (prev && prev->run && !prev->dirty && prev->rows == 0 && pos != INT64_MIN && prev->upto == pos - 1) {
      prev->upto = free_end;
      prev->passed_at = now;
    } else {
      Entry r;
      r.base = r.from = pos;
      r.upto = free_end;
      r.run = true;
      r.passed_at = now;
      entries_[pos] = r;
    }
    if (free_end >= upto) return;
    pos = free_end + 1;
  }
}

std::vector<SeqRange> PassedWatch::Trim() {
  std::vector<SeqRange> dropped;
  if (Bytes() <= kMaxBytes) return dropped;
  std::vector<std::pair<std::int64_t, std::int64_t>> by_age;  // passed_at, base
  for (const auto& [base, e] : entries_) by_age.push_back({e.passed_at, base});
  std::sort(by_age.begin(), by_age.end());
  for (const auto& [at, base] : by_age) {
    if (Bytes() <= kMaxBytes) break;
    const Entry& e = entries_.at(base);
    dropped.push_back({e.from, e.upto});
    entries_.erase(base);
  }
  std::sort(dropped.begin(), dropped.end(), [](const SeqRange& a, const SeqRange& b) { return a.first < b.first; });
  return dropped;
}

void PassedWatch::ForgetAbove(std::int64_t v) {
  for (auto it = entries_.begin(); it != entries_.end();) {
    Entry& e = it->second;
    if (e.from > v) {
      it = entries_.erase(it);
      continue;
    }
    if (e.upto > v) {
      if (!e.run)
        for (std::int64_t x = v + 1; x <= e.upto; ++x) SetBit(e, x, false);
      e.upto = v;
      e.dirty = true;
    }
    ++it;
  }
}

std::vector<std::int64_t> PassedWatch::DueAt(std::int64_t now) const {
  std::vector<std::int64_t> due;
  for (const auto& [base, e] : entries_) {
    const std::int64_t age = now - e.passed_at;
    const std::int64_t every = age < kNewFor ? 0 : age < kRecentFor ? kRecentEvery : kOldEvery;
    if (e.dirty || age >= kKeepFor || now - e.checked_at >= every) due.push_back(base);
  }
  return due;
}

bool PassedWatch::Confirm(std::int64_t base, std::int64_t rows, std::int64_t sum, std::int64_t now) {
  Entry& e = entries_.at(base);
  if (e.dirty || rows != e.rows || sum != e.sum) return false;
  e.checked_at = now;
  return true;
}

void PassedWatch::Resolve(std::int64_t base, const std::vector<std::int64_t>& late, std::int64_t rows,
                          std::int64_t sum, std::int64_t now) {
  Entry& e = entries_.at(base);
  if (e.run && !late.empty()) {
    // The late values' windows become windows of their own, read again at their next check.
    const std::int64_t from = e.from, upto = e.upto;
    for (std::int64_t v : late) {
      if (v < from || v > upto) continue;
      const std::int64_t w = WindowOf(v);
      Entry& win = entries_.count(w) && !entries_.at(w).run ? entries_.at(w) : SplitRun(w);
      SetBit(win, v, false);
    }
    for (auto it = entries_.lower_bound(from); it != entries_.end() && it->first <= upto; ++it) {
      it->second.dirty = true;
      it->second.checked_at = now;
    }
    return;
  }
  for (std::int64_t v : late)
    if (e.Missing(v) && !e.run) SetBit(e, v, false);
  e.rows = rows;
  e.sum = sum;
  e.dirty = false;
  e.checked_at = now;
}

void PassedWatch::DropExpired(std::int64_t now) {
  std::erase_if(entries_, [&](const auto& kv) {
    return kv.second.checked_at == now && !kv.second.dirty && now - kv.second.passed_at >= kKeepFor;
  });
}

std::vector<SeqRange> PassedWatch::DropOverdue(std::int64_t now) {
  std::vector<SeqRange> dropped;
  std::erase_if(entries_, [&](const auto& kv) {
    if (now - kv.second.passed_at < kKeepFor + 24 * 3600) return false;
    dropped.push_back({kv.second.from, kv.second.upto});
    return true;
  });
  return dropped;
}

// One entry per item, items joined by ';':
//   J<base>,<from>,<upto>,<passed_at>,<checked_at>,<rows>,<sum>,<dirty>,<missing>
//   F<from>,<upto>,<passed_at>,<checked_at>,<rows>,<sum>,<dirty>
// <missing> is "h" and the bitmap in hex (lowest word first, each word's digits from its top),
// or "r" and the missing offsets as ranges ("3-7.12"), whichever is shorter.
std::string PassedWatch::Format() const {
  static const char* hex = "0123456789abcdef";
  std::string out;
  for (const auto& [base, e] : entries_) {
    if (!out.empty()) out += ';';
    if (e.run) {
      out += "F" + std::to_string(e.from) + "," + std::to_string(e.upto) + "," + std::to_string(e.passed_at) + "," +
             std::to_string(e.checked_at) + "," + std::to_string(e.rows) + "," + std::to_string(e.sum) + "," +
             (e.dirty ? "1" : "0");
      continue;
    }
    out += "J" + std::to_string(base) + "," + std::to_string(e.from) + "," + std::to_string(e.upto) + "," +
           std::to_string(e.passed_at) + "," + std::to_string(e.checked_at) + "," + std::to_string(e.rows) + "," +
           std::to_string(e.sum) + "," + (e.dirty ? "1" : "0") + ",";
    std::string ranges = "r";
    for (std::int64_t off = 0; off < kWindow;) {
      if (!e.Missing(base + off)) {
        ++off;
        continue;
      }
      std::int64_t end = off;
      while (end + 1 < kWindow && e.Missing(base + end + 1)) ++end;
      if (ranges.size() > 1) ranges += '.';
      ranges += std::to_string(off);
      if (end != off) ranges += "-" + std::to_string(end);
      off = end + 1;
    }
    if (ranges.size() <= 1 + kWindow / 4) {
      out += ranges;
    } else {
      out += 'h';
      for (std::uint64_t w : e.missing)
        for (int shift = 60; shift >= 0; shift -= 4) out += hex[(w >> shift) & 15];
    }
  }
  return out;
}

PassedWatch PassedWatch::Parse(const std::string& text) {
  PassedWatch watch;
  if (text.empty()) return watch;
  std::int64_t previous_end = 0;
  bool any = false;
  for (const std::string& item : Split(text, ';')) {
    if (item.empty()) Bad("item vazio");
    const std::vector<std::string> f = Split(item.substr(1), ',');
    Entry e;
    if (item[0] == 'F') {
      if (f.size() != 7) Bad("faixa com campos a mais ou a menos");
      e.run = true;
      e.base = e.from = ParseInt(f[0], true);
      e.upto = ParseInt(f[1], true);
      e.passed_at = ParseInt(f[2], false);
      e.checked_at = ParseInt(f[3], false);
      e.rows = ParseInt(f[4], false);
      e.sum = ParseInt(f[5], true);
      if (f[6] != "0" && f[6] != "1") Bad("marca inválida");
      e.dirty = f[6] == "1";
      // Runs hold whole windows.
      if (e.upto < e.from || WindowOf(e.from) != e.from || e.upto - WindowOf(e.upto) != kLast) Bad("faixa fora das janelas");
    } else if (item[0] == 'J') {
      if (f.size() != 9) Bad("janela com campos a mais ou a menos");
      e.base = ParseInt(f[0], true);
      e.from = ParseInt(f[1], true);
      e.upto = ParseInt(f[2], true);
      e.passed_at = ParseInt(f[3], false);
      e.checked_at = ParseInt(f[4], false);
      e.rows = ParseInt(f[5], false);
      e.sum = ParseInt(f[6], true);
      if (f[7] != "0" && f[7] != "1") Bad("marca inválida");
      e.dirty = f[7] == "1";
      if (WindowOf(e.base) != e.base || e.from < e.base || e.upto > e.base + kLast || e.upto < e.from)
        Bad("janela fora dos seus limites");
      if (e.rows > e.upto - e.from + 1) Bad("janela com registros demais");
      const std::string& m = f[8];
      if (m.empty()) Bad("janela sem valores");
      if (m[0] == 'h') {
        if (m.size() != 1 + kWindow / 4) Bad("mapa de bits com tamanho errado");
        for (std::size_t wi = 0; wi < e.missing.size(); ++wi) {
          std::uint64_t w = 0;
          auto [p, ec] = std::from_chars(m.data() + 1 + wi * 16, m.data() + 1 + (wi + 1) * 16, w, 16);
          if (ec != std::errc() || p != m.data() + 1 + (wi + 1) * 16) Bad("mapa de bits inválido");
          e.missing[wi] = w;
        }
      } else if (m[0] == 'r') {
        if (m.size() > 1)
          for (const std::string& r : Split(m.substr(1), '.')) {
            const std::size_t dash = r.find('-');
            const std::int64_t a = ParseInt(r.substr(0, dash), false);
            const std::int64_t b = dash == std::string::npos ? a : ParseInt(r.substr(dash + 1), false);
            if (b < a || b > kLast) Bad("valores fora da janela");
            for (std::int64_t off = a; off <= b; ++off) SetBit(e, e.base + off, true);
          }
      } else {
        Bad("valores em forma desconhecida");
      }
      for (std::int64_t off = 0; off < kWindow; ++off) {
        const auto o = static_cast<std::size_t>(off);
        const bool set = (e.missing[o / 64] >> (o % 64)) & 1;
        if (set && (e.base + off < e.from || e.base + off > e.upto)) Bad("valor fora do que a janela cobre");
      }
    } else {
      Bad("item de tipo desconhecido");
    }
    if (any && e.base <= previous_end) Bad("itens fora de ordem ou sobrepostos");
    previous_end = EndOf(e);
    any = true;
    watch.entries_[e.base] = e;
    if (watch.Bytes() > kMaxBytes) Bad("grande demais");
  }
  return watch;
}

}  // namespace replication
