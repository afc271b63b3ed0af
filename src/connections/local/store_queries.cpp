#include "connections/local/store_queries.h"

#include <charconv>

#include "common/text.h"
#include "connections/local/local_connection.h"
#include "platform/os.h"

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

std::optional<unsigned> CodePageOfCharset(const std::string& cs) {
  if (cs == "UTF8" || cs == "UNICODE_FSS") return 0u;
  // A database without a declared character set holds whatever its programs wrote: on the
  // Windows machines of the stores, that is Windows-1252.
  if (cs == "NONE" || cs == "ASCII") return 1252u;
  if (cs == "ISO8859_1") return 28591u;
  if (cs.rfind("WIN125", 0) == 0 && cs.size() == 7 && cs[6] >= '0' && cs[6] <= '8') return 1250u + (cs[6] - '0');
  if (cs.rfind("ISO8859_", 0) == 0) {
    unsigned n = 0;
    auto [p, ec] = std::from_chars(cs.data() + 8, cs.data() + cs.size(), n);
    if (ec == std::errc() && p == cs.data() + cs.size() && n >= 2 && n <= 15) return 28590u + n;
  }
  if (cs.rfind("DOS", 0) == 0) {
    unsigned n = 0;
    auto [p, ec] = std::from_chars(cs.data() + 3, cs.data() + cs.size(), n);
    if (ec == std::errc() && p == cs.data() + cs.size() && n >= 437 && n <= 869) return n;
  }
  return std::nullopt;
}

namespace {

// What the metadata says of a code column.
CodeColumn Describe(int type, int bytes, std::string charset) {
  CodeColumn c;
  c.charset = std::move(charset);
  c.bytes = bytes;
  const std::optional<unsigned> page = CodePageOfCharset(c.charset);
  // 14 CHAR, 37 VARCHAR. A character set not known here is read as the server converts it.
  c.text = (type == 14 || type == 37) && page && c.bytes > 0;
  c.fixed = type == 14;
  c.code_page = page.value_or(0);
  return c;
}

std::string FindGenerator(LocalConnection& conn, bool& identity) {
  identity = false;
  if (Capabilities(conn).major >= 3) {
    TFDQuery q("TBGeradorIdentidade", conn.ConnQuelbrant, conn.TransLeitura,
               "SELECT TRIM(RDB$GENERATOR_NAME) AS GERADOR FROM RDB$RELATION_FIELDS\n"
               "WHERE RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND RDB$FIELD_NAME = 'SEQUENCIAL'");
    Closing closing{q};
    q.Open();
    if (!q.IsEmpty() && !q.FieldByName("GERADOR").IsNull()) {
      identity = true;
      return q.FieldByName("GERADOR").AsString();
    }
  }
  // A BEFORE INSERT trigger that draws the value: the generators the active triggers of the
  // table depend on (dependency type 14). More than one, and which one numbers the rows is unknown.
  TFDQuery q("TBGeradorGatilho", conn.ConnQuelbrant, conn.TransLeitura,
             "SELECT DISTINCT TRIM(D.RDB$DEPENDED_ON_NAME) AS GERADOR\n"
             "FROM RDB$TRIGGERS T\n"
             "JOIN RDB$DEPENDENCIES D ON D.RDB$DEPENDENT_NAME = T.RDB$TRIGGER_NAME AND D.RDB$DEPENDENT_TYPE = 2\n"
             "WHERE T.RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND D.RDB$DEPENDED_ON_TYPE = 14\n"
             "  AND COALESCE(T.RDB$TRIGGER_INACTIVE, 0) = 0");
  Closing closing{q};
  std::vector<std::string> found;
  for (q.Open(); !q.Eof(); q.Next()) found.push_back(q.FieldByName("GERADOR").AsString());
  return found.size() == 1 ? found[0] : std::string();
}

}  // namespace

const StoreSchema& Schema(LocalConnection& conn) {
  TFDConnection& c = conn.ConnQuelbrant;
  if (conn.schema_attachment == c.Attachments() && c.Connected()) return conn.schema;
  StoreSchema s;
  TFDQuery q("TBColunasCodigo", c, conn.TransLeitura,
             "SELECT TRIM(R.RDB$RELATION_NAME) AS TABELA, F.RDB$FIELD_TYPE AS TIPO, F.RDB$FIELD_LENGTH AS BYTES,\n"
             "       TRIM(COALESCE(C.RDB$CHARACTER_SET_NAME, 'NONE')) AS CONJUNTO\n"
             "FROM RDB$RELATION_FIELDS R\n"
             "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE\n"
             "LEFT JOIN RDB$CHARACTER_SETS C ON C.RDB$CHARACTER_SET_ID = F.RDB$CHARACTER_SET_ID\n"
             "WHERE (R.RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV' AND R.RDB$FIELD_NAME = 'CODIGOPRODUTO')\n"
             "   OR (R.RDB$RELATION_NAME = 'PRODUTOS' AND R.RDB$FIELD_NAME = 'CODIGO')");
  {
    Closing closing{q};
    for (q.Open(); !q.Eof(); q.Next()) {
      CodeColumn col = Describe(q.FieldByName("TIPO").AsInteger(), q.FieldByName("BYTES").AsInteger(),
                                q.FieldByName("CONJUNTO").AsString());
      (q.FieldByName("TABELA").AsString() == "PRODUTOS" ? s.product_code : s.log_code) = col;
    }
  }
  conn.schema = std::move(s);
  conn.schema_attachment = c.Attachments();
  return conn.schema;
}

const std::string& LogGenerator(LocalConnection& conn) {
  Schema(conn);
  StoreSchema& s = conn.schema;
  if (!s.generator_known) {
    s.generator = FindGenerator(conn, s.generator_identity);
    s.generator_known = true;
  }
  return s.generator;
}

std::string RestartCommand(LocalConnection& conn, std::int64_t next) {
  const std::string& generator = LogGenerator(conn);
  const std::string n = std::to_string(Capabilities(conn).major >= 4 ? next : next - 1);
  if (conn.schema.generator_identity) return "ALTER TABLE RPL_LOGESTOQUE_ENV ALTER SEQUENCIAL RESTART WITH " + n;
  return "ALTER SEQUENCE " + generator + " RESTART WITH " + n;
}

std::string CodeSelect(const CodeColumn& column, const std::string& expr) {
  if (!column.text) return expr;
  return "CAST(" + expr + " AS VARCHAR(" + std::to_string(column.bytes) + ") CHARACTER SET OCTETS)";
}

std::string DecodeCode(const CodeColumn& column, const TField& field) {
  if (!column.text) return field.AsString();
  return DecodeCodeBytes(column, field.AsBytes(), field.FieldName());
}

std::string DecodeCodeBytes(const CodeColumn& column, std::string bytes, const std::string& field) {
  if (!column.text) return bytes;
  // A CHAR keeps its padding through the cast; the code is without it.
  if (column.fixed)
    while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
  if (column.code_page == 0) {
    if (!text::IsValidUtf8(bytes)) throw EDatabaseError("Field " + field + ": the value is not valid UTF-8");
    return bytes;
  }
  if (column.code_page == 28591) return text::Latin1ToUtf8(bytes);
  bool ok = false;
  std::string out = os::CodePageToUtf8(column.code_page, bytes, &ok);
  if (!ok) throw EDatabaseError("Field " + field + ": the value is not valid in the character set " + column.charset);
  return out;
}

std::string CodeMatch(const CodeColumn& column, const std::string& param) {
  if (!column.text) return ":" + param;
  const std::string n = std::to_string(column.bytes);
  // The bytes are taken as the column's own characters, without a conversion.
  return "CAST(CAST(:" + param + " AS VARCHAR(" + n + ") CHARACTER SET OCTETS) AS VARCHAR(" + n +
         ") CHARACTER SET " + column.charset + ")";
}

bool SetCode(const CodeColumn& column, TFDParam& param, const std::string& utf8) {
  if (!column.text) {
    param.SetAsString(utf8);
    return true;
  }
  bool ok = true;
  std::string bytes;
  if (column.code_page == 0) {
    ok = text::IsValidUtf8(utf8);
    bytes = utf8;
  } else if (column.code_page == 28591) {
    bool lossy = false;
    bytes = text::Utf8ToLatin1(utf8, &lossy);
    ok = !lossy;
  } else {
    bytes = os::Utf8ToCodePage(column.code_page, utf8, &ok);
  }
  if (!ok || bytes.size() > static_cast<std::size_t>(column.bytes)) {
    param.SetAsBytes("");
    return false;
  }
  param.SetAsBytes(std::move(bytes));
  return true;
}

std::vector<std::string> ColumnsThatRefuseAnInsert(LocalConnection& conn) {
  const bool identity = Capabilities(conn).major >= 3;
  TFDQuery q("TBColunasObrigatorias", conn.ConnQuelbrant, conn.TransLeitura,
             "SELECT TRIM(R.RDB$FIELD_NAME) AS COLUNA\n"
             "FROM RDB$RELATION_FIELDS R\n"
             "JOIN RDB$FIELDS F ON F.RDB$FIELD_NAME = R.RDB$FIELD_SOURCE\n"
             "WHERE R.RDB$RELATION_NAME = 'RPL_LOGESTOQUE_ENV'\n"
             "  AND R.RDB$FIELD_NAME NOT IN ('SEQUENCIAL', 'CODIGOPRODUTO', 'ESTOQUEATUAL')\n"
             "  AND COALESCE(R.RDB$NULL_FLAG, F.RDB$NULL_FLAG, 0) = 1\n"
             "  AND R.RDB$DEFAULT_SOURCE IS NULL AND F.RDB$DEFAULT_SOURCE IS NULL\n"
             "  AND F.RDB$COMPUTED_BLR IS NULL" +
                 std::string(identity ? "\n  AND R.RDB$IDENTITY_TYPE IS NULL" : "") +
                 "\nORDER BY R.RDB$FIELD_POSITION");
  Closing closing{q};
  std::vector<std::string> out;
  for (q.Open(); !q.Eof(); q.Next()) out.push_back(q.FieldByName("COLUNA").AsString());
  return out;
}

std::int64_t GeneratorValue(LocalConnection& conn, const std::string& generator) {
  std::string quoted = "\"";
  for (char ch : generator) quoted += ch == '"' ? std::string("\"\"") : std::string(1, ch);
  quoted += "\"";
  TFDQuery q("TBValorGerador", conn.ConnQuelbrant, conn.TransLeitura,
             "SELECT GEN_ID(" + quoted + ", 0) AS VALOR FROM RDB$DATABASE");
  Closing closing{q};
  q.Open();
  return q.FieldByName("VALOR").AsLargeInt();
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
  const CodeColumn& code = Schema(conn).log_code;
  for (std::size_t from = 0; from < ranges.size(); from += kRangesPerStatement) {
    std::string where;
    for (std::size_t i = from; i < ranges.size() && i < from + kRangesPerStatement; ++i) {
      if (!where.empty()) where += "\n   OR ";
      where += ranges[i].first == ranges[i].last
                   ? "SEQUENCIAL = " + std::to_string(ranges[i].first)
                   : "SEQUENCIAL BETWEEN " + std::to_string(ranges[i].first) + " AND " + std::to_string(ranges[i].last);
    }
    TFDQuery q("TBLinhasNasFaixas", conn.ConnQuelbrant, tx,
               "SELECT SEQUENCIAL, " + CodeSelect(code, "CODIGOPRODUTO") + " AS CODIGOPRODUTO FROM RPL_LOGESTOQUE_ENV\nWHERE " +
                   where + "\nORDER BY SEQUENCIAL");
    Closing closing{q};
    for (q.Open(); !q.Eof(); q.Next())
      rows.push_back({q.FieldByName("SEQUENCIAL").AsLargeInt(), DecodeCode(code, q.FieldByName("CODIGOPRODUTO"))});
  }
  return rows;
}

}  // namespace localdb
