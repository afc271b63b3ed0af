#include "replication/replication_state.h"

#include <algorithm>
#include <charconv>
#include <map>

#include "common/text.h"
#include "platform/os.h"
#include "settings/app_dir.h"

namespace replication {

namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;  // a few hundred bytes normally
constexpr const char* kVersion = "1";

std::string Join(const std::vector<std::int64_t>& v) {
  std::string out;
  for (std::int64_t x : v) out += (out.empty() ? "" : ",") + std::to_string(x);
  return out;
}

std::int64_t Number(const std::string& key, const std::string& value) {
  std::int64_t v = 0;
  const char* end = value.data() + value.size();
  auto [p, ec] = std::from_chars(value.data(), end, v);
  if (value.empty() || ec != std::errc() || p != end || v < 0)
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

}  // namespace

void SeedingCheck::Merge(const SeedingCheck& other) {
  upto = std::max(upto, other.upto);
  AddUnique(own, other.own);
  from = std::min(from, other.from);
  AddUnique(open, other.open);
  horizon = 0;  // the newer seeding has not been seen committed by a look yet
}

std::string StateFile::Format(const ReplicationState& s) {
  std::string out =
      "# Estado da replicação do agente Tavrimondo. Não edite; apagar este arquivo com o serviço\n"
      "# parado faz a próxima carga inicial ser feita de novo.\n";
  out += std::string("versao=") + kVersion + "\n";
  out += "loja=" + std::to_string(s.store) + "\n";
  out += "banco=" + s.database + "\n";
  out += "marca=" + std::to_string(s.load_mark) + "\n";
  if (s.check) {
    out += "conferir_ate=" + std::to_string(s.check->upto) + "\n";
    out += "conferir_proprias=" + Join(s.check->own) + "\n";
    out += "conferir_desde=" + std::to_string(s.check->from) + "\n";
    out += "conferir_abertas=" + Join(s.check->open) + "\n";
    out += "conferir_horizonte=" + std::to_string(s.check->horizon) + "\n";
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
  if (auto upto = take("conferir_ate")) {
    SeedingCheck c;
    c.upto = Number("conferir_ate", *upto);
    c.own = Numbers("conferir_proprias", need("conferir_proprias"));
    c.from = Number("conferir_desde", need("conferir_desde"));
    c.open = Numbers("conferir_abertas", need("conferir_abertas"));
    c.horizon = Number("conferir_horizonte", need("conferir_horizonte"));
    s.check = c;
  }
  if (!values.empty()) throw StateFileError("chave desconhecida: " + values.begin()->first);
  return s;
}

ReplicationState StateFile::Read() const {
  if (!os::FileExists(path_)) return {};
  std::string content;
  try {
    os::File f(path_, os::File::Mode::kRead);
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

std::string StateFilePath() { return settings::AppDirectory() + kStateFileName; }

}  // namespace replication
