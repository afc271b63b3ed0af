#include "replication/stock_audit.h"

#include <algorithm>
#include <climits>
#include <functional>
#include <string_view>
#include <thread>
#include <unordered_map>

#include "common/text.h"
#include "platform/status_io.h"
#include "settings/ini_file.h"

namespace replication {

namespace {

using Clock = std::chrono::steady_clock;

// Which indexes the audit can walk, from the metadata: PRODUTOS by a unique index on CODIGO alone
// (so that it can be read in steps, each going on from the last code read), and the outgoing log by
// any active index that starts with CODIGOPRODUTO (so that each product's last row is a lookup).
constexpr const char* kSqlIndexes =
    "SELECT IIF(EXISTS(SELECT 1 FROM RDB$INDICES I JOIN RDB$INDEX_SEGMENTS S ON S.RDB$INDEX_NAME = I.RDB$INDEX_NAME\n"
    "                  WHERE I.RDB$RELATION_NAME = 'PRODUTOS' AND S.RDB$FIELD_NAME = 'CODIGO'\n"
    "                    AND S.RDB$FIELD_POSITION = 0 AND I.RDB$SEGMENT_COUNT = 1 AND I.RDB$UNIQUE_FLAG = 1\n"
    "                    AND COALESCE(I.RDB$INDEX_TYPE, 0) = 0 AND COALESCE(I.RDB$INDEX_INACTIVE, 0) = 0), 1, 0)\n"
    "       AS PRODUTOS_POR_CODIGO\n"
    "     , IIF(EXISTS(SELECT 1 FROM RDB$INDICES I JOIN RDB$INDEX_SEGMENTS S ON S.RDB$INDEX_NAME = I.RDB$INDEX_NAME\n"
    "                  WHERE I.RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND S.RDB$FIELD_NAME = 'CODIGOPRODUTO'\n"
    "                    AND S.RDB$FIELD_POSITION = 0 AND COALESCE(I.RDB$INDEX_INACTIVE, 0) = 0), 1, 0)\n"
    "       AS LOG_POR_PRODUTO\n"
    "FROM RDB$DATABASE";

// A code as the two tables are matched by: its bytes without trailing blanks (the database
// compares texts that way, and a CHAR pads them).
std::string_view Key(std::string_view bytes) {
  while (!bytes.empty() && bytes.back() == ' ') bytes.remove_suffix(1);
  return bytes;
}

// Looks codes up by a view of the row's buffer, without a copy per row.
struct CodeHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>{}(s); }
};

// Reads statements in steps, each in a read-only snapshot transaction of its own that ends once
// the step's time (or rows) are used up, with a pause before every step but the first; the caller
// sets each step's parameters so that it goes on after the last row read.
class Stepper {
 public:
  Stepper(localdb::LocalConnection& L, const AuditPacing& pacing, const std::function<bool()>& should_stop,
          AuditFindings& findings)
      : tx_(L.ConnQuelbrant, /*read_only=*/true), pacing_(pacing), should_stop_(should_stop), findings_(findings) {
    tx_.isolation = localdb::TFDTransaction::Isolation::kSnapshot;
  }

  // One step on `q`; `row` is called for each row read. `whole`: the statement cannot go on from
  // where it stopped, so it is read to its end in this step. True when it reached its end.
  template <class Row>
  bool Step(localdb::TFDQuery& q, bool whole, Row&& row) {
    if (findings_.steps > 0) Pause();
    const auto t0 = Clock::now();
    tx_.StartTransaction();
    bool more = false;
    try {
      q.Open();
      std::int64_t n = 0;
      while (!q.Eof()) {
        row(q);
        ++n;
        q.Next();
        if (whole || q.Eof()) continue;
        if ((pacing_.step_rows > 0 && n >= pacing_.step_rows) || ((n & 63) == 0 && Clock::now() - t0 >= pacing_.step)) {
          more = true;
          break;
        }
      }
      q.Close();
      tx_.Commit();
    } catch (...) {
      q.Close();
      try {
        tx_.Rollback();
      } catch (const std::exception&) {
        // The failure that got here is the one worth reporting.
      }
      throw;
    }
    ++findings_.steps;
    findings_.longest_step =
        std::max(findings_.longest_step, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0));
    return !more;
  }

  localdb::TFDTransaction& Transaction() { return tx_; }

 private:
  void Pause() {
    if (should_stop_ && should_stop_()) throw AuditInterrupted("o serviço está parando");
    if (pacing_.wait) pacing_.wait(pacing_.pause);
    else std::this_thread::sleep_for(pacing_.pause);
    if (should_stop_ && should_stop_()) throw AuditInterrupted("o serviço está parando");
  }

  localdb::TFDTransaction tx_;
  const AuditPacing& pacing_;
  const std::function<bool()>& should_stop_;
  AuditFindings& findings_;
};

// Sets the parameter that a step goes on after: the last code read, as its bytes.
void GoOnAfter(const localdb::CodeColumn& column, localdb::TFDParam& param, const std::string& raw) {
  if (column.text) param.SetAsBytes(raw);
  else param.SetAsString(raw);
}

// The product table's part of a statement: from the start, or after :APOS in code order when it
// can go on in steps; read whole otherwise.
std::string ProductOrder(const localdb::CodeColumn& code, bool keyed, bool first) {
  if (!keyed) return "";
  return (first ? std::string() : "\nWHERE P.CODIGO > " + localdb::CodeMatch(code, "APOS")) + "\nORDER BY P.CODIGO";
}

}  // namespace

void AuditStock(localdb::LocalConnection& L, std::int64_t index, const AuditPacing& pacing,
                const std::function<bool()>& should_stop, AuditFindings& f) {
  f = AuditFindings{};
  const localdb::StoreSchema& schema = localdb::Schema(L);
  const localdb::CodeColumn& pcode = schema.product_code;
  const localdb::CodeColumn& lcode = schema.log_code;
  Stepper stepper(L, pacing, should_stop, f);

  bool keyed = false;
  {
    localdb::TFDQuery q("TBAuditoriaIndices", L.ConnQuelbrant, L.TransLeitura, kSqlIndexes);
    q.Open();
    keyed = q.FieldByName("PRODUTOS_POR_CODIGO").AsInteger() != 0;
    f.by_index = q.FieldByName("LOG_POR_PRODUTO").AsInteger() != 0;
    q.Close();
  }
  const std::string product_select = localdb::CodeSelect(pcode, "P.CODIGO") + " AS CODIGO, P.ESTOQUEATUAL AS ESTOQUE";

  // A product's code for people and for the repair; one the column's character set cannot
  // decode is shown with its bytes' valid characters, and cannot be logged again.
  auto name = [&](const std::string& raw) {
    try {
      return localdb::DecodeCodeBytes(pcode, std::string(Key(raw)), "PRODUTOS.CODIGO");
    } catch (const localdb::EDatabaseError&) {
      return text::SanitizeUtf8(Key(raw));
    }
  };

  if (f.by_index) {
    // Each product with its last row at or below the index, and whether a newer one waits: the
    // server looks them up, and only one row per product crosses the connection.
    auto sql = [&](bool first) {
      return "SELECT " + product_select +
             "\n     , (SELECT FIRST 1 COALESCE(E.ESTOQUEATUAL, 0) FROM RPL_LOGESTOQUE_ENV E"
             "\n        WHERE E.CODIGOPRODUTO = P.CODIGO AND E.SEQUENCIAL <= :INDICE ORDER BY E.SEQUENCIAL DESC) AS REGISTRADO"
             "\n     , IIF(EXISTS(SELECT 1 FROM RPL_LOGESTOQUE_ENV E"
             "\n                  WHERE E.CODIGOPRODUTO = P.CODIGO AND E.SEQUENCIAL > :INDICE), 1, 0) AS AGUARDA"
             "\nFROM PRODUTOS P" +
             ProductOrder(pcode, keyed, first);
    };
    localdb::TFDQuery first("TBAuditoriaProdutos", L.ConnQuelbrant, stepper.Transaction(), sql(true));
    localdb::TFDQuery next("TBAuditoriaProdutos", L.ConnQuelbrant, stepper.Transaction(), sql(false));
    localdb::TFDQuery* q = &first;
    std::string last;
    for (;;) {
      q->ParamByName("INDICE").SetAsLargeInt(index);
      if (q == &next) GoOnAfter(pcode, next.ParamByName("APOS"), last);
      const bool end = stepper.Step(*q, !keyed, [&](localdb::TFDQuery& r) {
        const localdb::TField code = r.FieldByName("CODIGO"), logged = r.FieldByName("REGISTRADO");
        last = code.AsBytes();
        ++f.products;
        if (r.FieldByName("AGUARDA").AsInteger() != 0) return;
        const std::int64_t store = r.FieldByName("ESTOQUE").AsCurrency();
        std::optional<std::int64_t> was;
        if (!logged.IsNull()) was = logged.AsCurrency();
        if (was != store) f.differences.push_back({name(last), was, store});
      });
      if (end) break;
      q = &next;
    }
  } else {
    // The products first, each with its stock; then the log once, in SEQUENCIAL order, each row
    // only updating its product's entry.
    struct Entry {
      std::int64_t store = 0, logged = 0;
      bool was_logged = false, waiting = false;
      std::string raw;  // the code as read
    };
    // Both code columns matched by their bytes when they hold the same encoding; by their
    // characters otherwise.
    const bool same_bytes = pcode.text == lcode.text && pcode.code_page == lcode.code_page;
    std::string scratch, decoded;
    auto log_key = [&](const localdb::TField& field) {
      const std::string_view raw = field.BytesView(scratch);
      if (same_bytes) return Key(raw);
      decoded = localdb::DecodeCodeBytes(lcode, std::string(raw), "CODIGOPRODUTO");
      return Key(decoded);
    };
    std::unordered_map<std::string, Entry, CodeHash, std::equal_to<>> products;
    {
      auto sql = [&](bool first) { return "SELECT " + product_select + "\nFROM PRODUTOS P" + ProductOrder(pcode, keyed, first); };
      localdb::TFDQuery first("TBAuditoriaProdutos", L.ConnQuelbrant, stepper.Transaction(), sql(true));
      localdb::TFDQuery next("TBAuditoriaProdutos", L.ConnQuelbrant, stepper.Transaction(), sql(false));
      localdb::TFDQuery* q = &first;
      std::string last;
      for (;;) {
        if (q == &next) GoOnAfter(pcode, next.ParamByName("APOS"), last);
        const bool end = stepper.Step(*q, !keyed, [&](localdb::TFDQuery& r) {
          last = r.FieldByName("CODIGO").AsBytes();
          ++f.products;
          std::string key(Key(same_bytes ? last : localdb::DecodeCodeBytes(pcode, last, "PRODUTOS.CODIGO")));
          Entry& e = products[std::move(key)];
          e.store = r.FieldByName("ESTOQUE").AsCurrency();
          e.raw = last;
        });
        if (end) break;
        q = &next;
      }
    }
    localdb::TFDQuery q("TBAuditoriaLog", L.ConnQuelbrant, stepper.Transaction(),
                        "SELECT SEQUENCIAL, " + localdb::CodeSelect(lcode, "CODIGOPRODUTO") +
                            " AS CODIGOPRODUTO, ESTOQUEATUAL\nFROM RPL_LOGESTOQUE_ENV\nWHERE SEQUENCIAL > :APOS\n"
                            "ORDER BY SEQUENCIAL");
    std::int64_t after = INT64_MIN;
    // The columns by position, looked up once: two million rows make a name search count.
    const localdb::TField seq(q, 0), code(q, 1), stock(q, 2);
    for (;;) {
      q.ParamByName("APOS").SetAsLargeInt(after);
      const bool end = stepper.Step(q, false, [&](localdb::TFDQuery&) {
        after = seq.AsLargeInt();
        ++f.log_rows;
        const auto it = products.find(log_key(code));
        if (it == products.end()) return;  // a product no longer in PRODUTOS
        Entry& e = it->second;
        if (after > index) {
          e.waiting = true;
        } else {
          // In SEQUENCIAL order: the last row read at or below the index is the one that counts.
          e.logged = stock.AsCurrency();
          e.was_logged = true;
        }
      });
      if (end) break;
    }
    for (const auto& [key, e] : products) {
      if (e.waiting || (e.was_logged && e.logged == e.store)) continue;
      f.differences.push_back({name(e.raw), e.was_logged ? std::optional<std::int64_t>(e.logged) : std::nullopt, e.store});
    }
    std::sort(f.differences.begin(), f.differences.end(),
              [](const StockDifference& a, const StockDifference& b) { return a.product < b.product; });
  }
}

AuditHour ParseAuditHour(const std::string& written) {
  AuditHour h;
  h.written = written;
  if (written.empty()) return h;
  const std::optional<std::int32_t> v = settings::ParseInteger(written);
  if (v && *v >= -1 && *v <= 23) {
    h.hour = *v;
  } else {
    h.valid = false;
  }
  return h;
}

AuditHour ReadAuditHour() {
  return ParseAuditHour(
      settings::TIniFile(settings::SettingsFilePath()).ReadString(settings::kSettingsSection, "AuditoriaHora", ""));
}

bool AuditDue(std::int64_t now, int hour, std::int64_t since) {
  if (hour < 0 || hour > 23) return false;
  if (since > now + 86400) return true;
  const os::LocalTime t = os::ToLocal(std::chrono::system_clock::from_time_t(static_cast<std::time_t>(now))).local;
  // The last time the local clock showed hour:00, at or before now.
  std::int64_t boundary = now - ((t.hour - hour) * 3600 + t.minute * 60 + t.second);
  if (t.hour < hour) boundary -= 86400;
  return since < boundary;
}

std::string FormatStock(std::int64_t stock, char separator) {
  const bool negative = stock < 0;
  const std::uint64_t v = negative ? 0 - static_cast<std::uint64_t>(stock) : static_cast<std::uint64_t>(stock);
  std::string out = (negative ? "-" : "") + std::to_string(v / 10000);
  std::uint64_t decimals = v % 10000;
  if (decimals != 0) {
    std::string d = std::to_string(decimals);
    d.insert(0, 4 - d.size(), '0');
    while (d.back() == '0') d.pop_back();
    out += separator + d;
  }
  return out;
}

}  // namespace replication
