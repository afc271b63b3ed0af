#include "connections/local/store_queries.h"

#include <charconv>

#include "connections/local/local_connection.h"

namespace localdb {

namespace {

// Ranges per statement when rows are looked up by value: the statement's text stays far below
// the 64 KB every version accepts.
constexpr std::size_t kRangesPerStatement = 200;

// Closes a query when the scope ends, also on the way out of an exception.
struct Closing {
  TFDQuery& q;
  ~Closing() { q.Close(); }
};

}  // namespace

ServerCapabilities CapabilitiesOf(int major, int minor) {
  ServerCapabilities c;
  c.major = major;
  c.minor = minor;
  c.table_stats = c.record_version = c.database_owner = major >= 3;
  return c;
}

std::optional<std::pair<int, int>> ParseEngineVersion(const std::string& text) {
  int major = 0, minor = 0;
  const char* p = text.data();
  const char* end = p + text.size();
  auto [q, ec] = std::from_chars(p, end, major);
  if (ec != std::errc() || q == end || *q != '.') return std::nullopt;
  auto [r, ec2] = std::from_chars(q + 1, end, minor);
  if (ec2 != std::errc()) return std::nullopt;
  (void)r;
  return std::make_pair(major, minor);
}

const ServerCapabilities& Capabilities(LocalConnection& conn) {
  TFDConnection& c = conn.ConnQuelbrant;
  if (conn.capabilities_attachment == c.Attachments() && c.Connected()) return conn.capabilities;
  std::pair<int, int> version;
  if (conn.ForcedEngineVersion) {
    version = *conn.ForcedEngineVersion;
  } else {
    TFDQuery q("TBVersao", c, conn.TransLeitura, "SELECT RDB$GET_CONTEXT('SYSTEM', 'ENGINE_VERSION') AS VERSAO FROM RDB$DATABASE");
    Closing closing{q};
    q.Open();
    const std::string text = q.FieldByName("VERSAO").AsString();
    const auto parsed = ParseEngineVersion(text);
    if (!parsed) throw EDatabaseError("The local Firebird server reports an engine version the agent cannot read: \"" + text + "\"");
    version = *parsed;
  }
  conn.capabilities = CapabilitiesOf(version.first, version.second);
  conn.capabilities_attachment = c.Attachments();
  return conn.capabilities;
}

GapScan ListGaps(LocalConnection& conn, TFDTransaction& tx, std::int64_t after, std::int64_t before,
                 std::int64_t max_rows) {
  // The values are the agent's own numbers, written into the text: the block's variables cannot
  // be parameters, and a colon in its body would read as one.
  const std::string a = std::to_string(after);
  std::string sql =
      "EXECUTE BLOCK RETURNS (PRIMEIRO BIGINT, ULTIMO BIGINT, LINHAS BIGINT) AS\n"
      "DECLARE ANTERIOR BIGINT = " + a + ";\n"
      "DECLARE S BIGINT;\n"
      "BEGIN\n"
      "  LINHAS = 0;\n"
      "  FOR SELECT SEQUENCIAL FROM RPL_LOGESTOQUE_ENV WHERE SEQUENCIAL > " + a +
      (before > 0 ? " AND SEQUENCIAL < " + std::to_string(before) : std::string()) +
      " ORDER BY SEQUENCIAL INTO S DO\n"
      "  BEGIN\n"
      "    IF (LINHAS >= " + std::to_string(max_rows) + ") THEN LEAVE;\n"
      "    IF (S > ANTERIOR + 1) THEN\n"
      "    BEGIN\n"
      "      PRIMEIRO = ANTERIOR + 1;\n"
      "      ULTIMO = S - 1;\n"
      "      SUSPEND;\n"
      "    END\n"
      "    ANTERIOR = S;\n"
      "    LINHAS = LINHAS + 1;\n"
      "  END\n"
      "  PRIMEIRO = NULL;\n"
      "  ULTIMO = ANTERIOR;\n"
      "  SUSPEND;\n"
      "END";
  TFDQuery q("TBLacunas", conn.ConnQuelbrant, tx, sql);
  Closing closing{q};
  GapScan scan;
  scan.last = after;
  q.Open();
  const TField primeiro = q.FieldByName("PRIMEIRO"), ultimo = q.FieldByName("ULTIMO");
  for (; !q.Eof(); q.Next()) {
    if (primeiro.IsNull()) {
      scan.last = ultimo.AsLargeInt();
      scan.rows = q.FieldByName("LINHAS").AsLargeInt();
    } else {
      scan.gaps.push_back({primeiro.AsLargeInt(), ultimo.AsLargeInt()});
    }
  }
  scan.complete = scan.rows < max_rows;
  if (scan.complete && before > 0 && scan.last + 1 < before) scan.gaps.push_back({scan.last + 1, before - 1});
  return scan;
}

std::vector<OutgoingRow> RowsIn(LocalConnection& conn, TFDTransaction& tx, const std::vector<SeqRange>& ranges) {
  std::vector<OutgoingRow> rows;
  for (std::size_t from = 0; from < ranges.size(); from += kRangesPerStatement) {
    std::string where;
    for (std::size_t i = from; i < ranges.size() && i < from + kRangesPerStatement; ++i) {
      if (!where.empty()) where += "\n   OR ";
      where += ranges[i].first == ranges[i].last
                   ? "SEQUENCIAL = " + std::to_string(ranges[i].first)
                   : "SEQUENCIAL BETWEEN " + std::to_string(ranges[i].first) + " AND " + std::to_string(ranges[i].last);
    }
    TFDQuery q("TBLinhasNasFaixas", conn.ConnQuelbrant, tx,
               "SELECT SEQUENCIAL, CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV\nWHERE " + where + "\nORDER BY SEQUENCIAL");
    Closing closing{q};
    for (q.Open(); !q.Eof(); q.Next())
      rows.push_back({q.FieldByName("SEQUENCIAL").AsLargeInt(), q.FieldByName("CODIGOPRODUTO").AsString()});
  }
  return rows;
}

}  // namespace localdb
