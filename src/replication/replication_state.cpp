#include "replication/replication_state.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "common/text.h"
#include "platform/os.h"
#include "settings/app_dir.h"

namespace replication {

namespace {

// A few hundred bytes normally; the watch of passed values can take a few megabytes.
constexpr std::size_t kMaxFileSize = 8 << 20;
constexpr const char* kVersion = "1";

std::string Join(const std::vector<std::int64_t>& v) {
  std::string out;
  for (std::int64_t x : v) out += (out.empty() ? "" : ",") + std::to_string(x);
  return out;
}

std::int64_t Number(const std::string& key, const std::string& value, bool allow_negative = false) {
  std::int64_t v = 0;
  const char* end = value.data() + value.size();
  auto [p, ec] = std::from_chars(value.data(), end, v);
  if (value.empty() || ec != std::errc() || p != end || (v < 0 && !allow_negative))
    throw StateFileError("o valor de " + key + " não é um número: \"" + text::SanitizeUtf8(value) + "\"");
  return v;
}

std::vector<std::int64_t> Numbers(const std::string& key, const std::string& value) {
  std::vector<std::int64_t> out;
  if (value.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    std::size_t comma = value.find(',', start);
    out.push_back(Number(key, value.substr(start, comma - start)));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

void AddUnique(std::vector<std::int64_t>& to, const std::vector<std::int64_t>& from) {
  for (std::int64_t x : from)
    if (std::find(to.begin(), to.end(), x) == to.end()) to.push_back(x);
}

// Ranges sorted and joined where they overlap or touch.
std::vector<SeqRange> Normalized(std::vector<SeqRange> v) {
  std::sort(v.begin(), v.end(), [](const SeqRange& a, const SeqRange& b) { return a.first < b.first; });
  std::vector<SeqRange> out;
  for (const SeqRange& r : v) {
    if (!out.empty() && r.first <= out.back().last + 1) {
      out.back().last = std::max(out.back().last, r.last);
    } else {
      out.push_back(r);
    }
  }
  return out;
}

template <class T>
void CapList(std::vector<T>& v, bool keep_last) {
  if (v.size() <= kMaxStateList) return;
  if (keep_last) v.erase(v.begin(), v.end() - static_cast<std::ptrdiff_t>(kMaxStateList));
  else v.resize(kMaxStateList);
}

std::string Ranges(const std::vector<SeqRange>& v) {
  std::string out;
  for (const SeqRange& r : v) out += (out.empty() ? "" : ",") + std::to_string(r.first) + "-" + std::to_string(r.last);
  return out;
}

SeqRange ParseRange(const std::string& key, const std::string& value) {
  // Values of SEQUENCIAL may be negative: the separator is the first '-' after the first digit.
  const std::size_t dash = value.find('-', 1);
  if (dash == std::string::npos) throw StateFileError("o valor de " + key + " não é uma faixa: \"" + value + "\"");
  SeqRange r{Number(key, value.substr(0, dash), true), Number(key, value.substr(dash + 1), true)};
  if (r.last < r.first) throw StateFileError("o valor de " + key + " não é uma faixa: \"" + value + "\"");
  return r;
}

std::vector<std::string> Items(const std::string& value) {
  std::vector<std::string> out;
  if (value.empty()) return out;
  std::size_t start = 0;
  for (;;) {
    const std::size_t comma = value.find(',', start);
    out.push_back(value.substr(start, comma - start));
    if (comma == std::string::npos) return out;
    start = comma + 1;
  }
}

// Texts of the store (a product code) on one line: control characters and '%' as %XX.
std::string Escape(const std::string& s) {
  static const char* hex = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    if (c < 0x20 || c == 0x7F || c == '%') {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::string Unescape(const std::string& key, const std::string& s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    unsigned v = 0;
    if (i + 2 >= s.size() || std::from_chars(s.data() + i + 1, s.data() + i + 3, v, 16).ptr != s.data() + i + 3)
      throw StateFileError("o valor de " + key + " tem um escape inválido");
    out += static_cast<char>(v);
    i += 2;
  }
  return out;
}

}  // namespace

void SeedingCheck::Merge(const SeedingCheck& other) {
  upto = std::max(upto, other.upto);
  AddUnique(own, other.own);
  from = std::min(from, other.from);
  AddUnique(open, other.open);
  ranges.insert(ranges.end(), other.ranges.begin(), other.ranges.end());
  ranges = Normalized(std::move(ranges));
  horizon = 0;  // the newer seeding has not been seen committed by a look yet
  Cap();
}

void SeedingCheck::Cap() {
  // The newest transactions and the highest values are the likeliest to matter.
  CapList(own, true);
  CapList(open, true);
  CapList(ranges, true);
}

std::string StateFile::Format(const ReplicationState& s) {
  std::string out =
      "# Estado da replicação do agente Tavrimondo. Não edite; apagar este arquivo com o serviço\n"
      "# parado faz a próxima carga inicial ser feita de novo.\n";
  out += std::string("versao=") + kVersion + "\n";
  out += "loja=" + std::to_string(s.store) + "\n";
  out += "banco=" + s.database + "\n";
  out += "marca=" + std::to_string(s.load_mark) + "\n";
  if (s.load_mark != 0) {
    out += "marca_produto=" + Escape(s.mark_product) + "\n";
    out += "marca_estoque=" + Escape(s.mark_stock) + "\n";
  }
  if (s.check) {
    out += "conferir_ate=" + std::to_string(s.check->upto) + "\n";
    out += "conferir_proprias=" + Join(s.check->own) + "\n";
    out += "conferir_desde=" + std::to_string(s.check->from) + "\n";
    out += "conferir_abertas=" + Join(s.check->open) + "\n";
    out += "conferir_horizonte=" + std::to_string(s.check->horizon) + "\n";
    if (!s.check->ranges.empty()) out += "conferir_faixas=" + Ranges(s.check->ranges) + "\n";
  }
  if (!s.watch.Empty()) out += "vigia=" + s.watch.Format() + "\n";
  if (!s.pending.Empty()) out += "vigia_pendente=" + s.pending.Format() + "\n";
  if (s.restored_highest) out += "restaurado_maior=" + std::to_string(*s.restored_highest) + "\n";
  if (s.had_index) out += "indice_recebido=1\n";
  if (s.last_reseed != 0) out += "ultima_recarga=" + std::to_string(s.last_reseed) + "\n";
  if (s.audit_since != 0) out += "auditoria_desde=" + std::to_string(s.audit_since) + "\n";
  if (s.audit_requested) out += "auditar=1\n";
  if (s.last_audit) {
    const ReplicationState::LastAudit& a = *s.last_audit;
    out += "auditoria_ultima=" + Join({a.start, a.duration_ms, a.products, a.differing, a.relogged}) + "\n";
  }
  return out;
}

ReplicationState StateFile::Parse(const std::string& content) {
  if (text::SanitizeUtf8(content) != content) throw StateFileError("o arquivo não está em UTF-8");
  std::map<std::string, std::string> values;
  std::size_t pos = 0;
  while (pos < content.size()) {
    std::size_t end = content.find('\n', pos);
    std::string line = content.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    pos = end == std::string::npos ? content.size() : end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    std::size_t eq = line.find('=');
    if (eq == std::string::npos) throw StateFileError("linha sem \"=\": \"" + line + "\"");
    std::string key = line.substr(0, eq);
    if (!values.emplace(key, line.substr(eq + 1)).second) throw StateFileError("chave repetida: " + key);
  }
  auto take = [&](const std::string& key) -> std::optional<std::string> {
    auto it = values.find(key);
    if (it == values.end()) return std::nullopt;
    std::string v = it->second;
    values.erase(it);
    return v;
  };
  auto need = [&](const std::string& key) {
    auto v = take(key);
    if (!v) throw StateFileError("falta a chave " + key);
    return *v;
  };
  if (need("versao") != kVersion) throw StateFileError("versão desconhecida");
  ReplicationState s;
  std::int64_t store = Number("loja", need("loja"));
  if (store > INT32_MAX) throw StateFileError("o valor de loja não cabe em 32 bits");
  s.store = static_cast<std::int32_t>(store);
  s.database = need("banco");
  s.load_mark = Number("marca", need("marca"));
  if (auto p = take("marca_produto")) s.mark_product = Unescape("marca_produto", *p);
  if (auto e = take("marca_estoque")) s.mark_stock = Unescape("marca_estoque", *e);
  if (auto upto = take("conferir_ate")) {
    SeedingCheck c;
    c.upto = Number("conferir_ate", *upto, true);
    c.own = Numbers("conferir_proprias", need("conferir_proprias"));
    c.from = Number("conferir_desde", need("conferir_desde"));
    c.open = Numbers("conferir_abertas", need("conferir_abertas"));
    c.horizon = Number("conferir_horizonte", need("conferir_horizonte"));
    if (auto r = take("conferir_faixas"))
      for (const std::string& item : Items(*r)) c.ranges.push_back(ParseRange("conferir_faixas", item));
    c.ranges = Normalized(std::move(c.ranges));
    c.Cap();
    s.check = c;
  }
  auto watch = [&](const std::string& key) {
    PassedWatch w;
    if (auto v = take(key)) {
      try {
        w = PassedWatch::Parse(*v);
      } catch (const std::invalid_argument& e) {
        throw StateFileError("o valor de " + key + " é inválido: " + e.what());
      }
    }
    return w;
  };
  s.watch = watch("vigia");
  s.pending = watch("vigia_pendente");
  if (auto w = take("vigiar")) {
    // Written by an earlier version: ranges of values, each with when it was passed.
    for (const std::string& item : Items(*w)) {
      const std::size_t at = item.find('@');
      if (at == std::string::npos) throw StateFileError("o valor de vigiar não tem \"@\": \"" + item + "\"");
      const SeqRange r = ParseRange("vigiar", item.substr(0, at));
      s.watch.AddPassed(r.first, r.last, {r}, Number("vigiar", item.substr(at + 1)));
      if (s.watch.Bytes() > PassedWatch::kMaxBytes) throw StateFileError("o valor de vigiar é grande demais");
    }
  }
  if (auto h = take("restaurado_maior")) s.restored_highest = Number("restaurado_maior", *h, true);
  if (auto h = take("indice_recebido")) s.had_index = Number("indice_recebido", *h) != 0;
  if (auto t = take("ultima_recarga")) s.last_reseed = Number("ultima_recarga", *t);
  if (auto t = take("auditoria_desde")) s.audit_since = Number("auditoria_desde", *t);
  if (auto a = take("auditar")) s.audit_requested = Number("auditar", *a) != 0;
  if (auto a = take("auditoria_ultima")) {
    const std::vector<std::int64_t> v = Numbers("auditoria_ultima", *a);
    if (v.size() != 5) throw StateFileError("o valor de auditoria_ultima não tem 5 números: \"" + *a + "\"");
    s.last_audit = ReplicationState::LastAudit{v[0], v[1], v[2], v[3], v[4]};
  }
  if (!values.empty()) throw StateFileError("chave desconhecida: " + values.begin()->first);
  return s;
}

ReplicationState StateFile::Read() const {
  if (!os::FileExists(path_)) return {};
  std::string content;
  try {
    os::File f(path_, os::File::Mode::kReadOwn);
    if (f.Size() > kMaxFileSize) throw StateFileError("o arquivo é grande demais");
    char buf[4096];
    while (std::size_t n = f.Read(buf, sizeof buf)) {
      content.append(buf, n);
      if (content.size() > kMaxFileSize) throw StateFileError("o arquivo é grande demais");
    }
  } catch (const os::OsError& e) {
    throw StateFileError(e.what());
  }
  return Parse(content);
}

void StateFile::Write(const ReplicationState& state) const {
  if (state.Empty()) {
    if (os::FileExists(path_)) os::RemoveFile(path_);
    return;
  }
  const std::string temp = path_ + ".novo";
  const std::string content = Format(state);
  try {
    os::File f(temp, os::File::Mode::kCreate);
    f.Write(content.data(), content.size());
    f.Sync();
  } catch (...) {
    os::RemoveFile(temp);
    throw;
  }
  os::ReplaceFileAtomically(temp, path_);
}

std::string StateFilePath() { return settings::StateDirectory() + kStateFileName; }

}  // namespace replication
