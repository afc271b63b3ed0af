// What the replication cycle asks of the store database beyond its fixed statements: which
// Firebird it talks to, where the outgoing log has gaps, and which rows lie at given SEQUENCIAL
// values.
//
// Stores run Firebird 2.5 to 5. The monitoring tables and pseudo-columns the agent relies on
// differ between them (MON$TABLE_STATS and RDB$RECORD_VERSION arrived in 3.0), so what a server
// can answer is decided here, once per attachment, and nowhere else.
//
// Thread-safety: none; see local_database.h.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "connections/local/local_database.h"

namespace localdb {

struct LocalConnection;
class TField;
class TFDParam;

// What the Firebird server behind a connection can answer.
struct ServerCapabilities {
  int major = 0, minor = 0;     // the engine's version
  bool table_stats = false;     // MON$TABLE_STATS: record counts per table and transaction (3.0)
  bool record_version = false;  // RDB$RECORD_VERSION: the transaction that wrote a row (3.0)
  bool database_owner = false;  // MON$DATABASE.MON$OWNER (3.0)
};

// The capabilities of an engine version.
ServerCapabilities CapabilitiesOf(int major, int minor);

// The engine version of an answer to RDB$GET_CONTEXT('SYSTEM', 'ENGINE_VERSION') ("3.0.11");
// nothing when the text is not a version.
std::optional<std::pair<int, int>> ParseEngineVersion(const std::string& text);

// The capabilities of the server `conn` is attached to: asked once per attachment (the engine
// version, which every server from 2.1 reports) and kept until the next connect.
// LocalConnection::ForcedEngineVersion, when set, is taken instead of the server's answer.
const ServerCapabilities& Capabilities(LocalConnection& conn);

// A column that holds product codes, as the metadata describes it.
//
// The connection's character set is ISO8859_1, and the server converts every text it sends into
// it: a code holding a character that ISO8859_1 lacks (a euro sign or a curly quote in a WIN1252
// database, anything beyond Latin-1 in a UTF8 one) would fail the whole fetch. So a code is read
// cast to OCTETS, its bytes as the database holds them, and decoded here with the column's own
// character set; and it is looked up by its bytes too.
struct CodeColumn {
  bool text = false;      // CHAR or VARCHAR in a character set decoded here; otherwise read plainly
  bool fixed = false;     // CHAR: padded with blanks
  int bytes = 0;          // the column's length in bytes
  std::string charset;    // Firebird's name of its character set (NONE when none is declared)
  unsigned code_page = 0; // how its bytes decode: a Windows code page number, 0 for UTF-8
};

// What the cycle needs to know of the store's tables beyond their column names.
struct StoreSchema {
  CodeColumn log_code;      // RPL_LOGESTOQUE_ENV.CODIGOPRODUTO
  CodeColumn product_code;  // PRODUTOS.CODIGO
  bool generator_known = false;
  std::string generator;    // see LogGenerator()
  bool generator_identity = false;  // the identity column's own
};

// The code columns of the database `conn` is attached to, read once per attachment (one query).
const StoreSchema& Schema(LocalConnection& conn);

// The generator SEQUENCIAL draws from: the identity column's (3.0 and later), or the one generator
// that the outgoing log's active triggers use. Empty when it cannot be told. Once per attachment.
const std::string& LogGenerator(LocalConnection& conn);
// The statement that makes `next` the next value SEQUENCIAL gets, for this server's version and
// the kind of generator (Firebird 4 and later take RESTART WITH n as the next value, 3.0 and 2.5 as
// the last one given).
std::string RestartCommand(LocalConnection& conn, std::int64_t next);

// How a character set's bytes decode; nothing for one not known here.
std::optional<unsigned> CodePageOfCharset(const std::string& charset);

// The select-list expression that reads a code column (or any expression of its type) so that
// every character arrives: `expr` cast to OCTETS when the column is text, `expr` as it is
// otherwise.
std::string CodeSelect(const CodeColumn& column, const std::string& expr);
// A code read through CodeSelect, in UTF-8. Raises EDatabaseError, naming the field, when its
// bytes are not valid in the column's character set.
std::string DecodeCode(const CodeColumn& column, const TField& field);
// The same for bytes already taken from such a field (`field` names it in the error).
std::string DecodeCodeBytes(const CodeColumn& column, std::string bytes, const std::string& field);
// The expression that compares `column` with the parameter :`param` (to be set by SetCode).
std::string CodeMatch(const CodeColumn& column, const std::string& param);
// Sets a parameter of CodeMatch to a code given in UTF-8; false when the column's character set
// cannot hold it (no row of that column can then have that code).
bool SetCode(const CodeColumn& column, TFDParam& param, const std::string& utf8);

// Columns of RPL_LOGESTOQUE_ENV, other than the three the agent writes, that refuse an insert which
// leaves them out: NOT NULL without a default (and not an identity). What a seeding's failure to
// insert is explained by.
std::vector<std::string> ColumnsThatRefuseAnInsert(LocalConnection& conn);

// Values of SEQUENCIAL from `first` to `last`.
struct SeqRange {
  std::int64_t first = 0, last = 0;
  bool operator==(const SeqRange&) const = default;
};

// The values missing between the outgoing rows, as one transaction sees them.
struct GapScan {
  std::vector<SeqRange> gaps;  // ascending
  std::int64_t rows = 0;       // rows scanned
  std::int64_t last = 0;       // the highest SEQUENCIAL scanned (`after` when none)
  bool complete = true;        // false: stopped after `max_rows` rows, more may follow
};

// The gaps between the outgoing rows above `after` and, when `before` is not 0, below `before`
// (the values between the last row and `before` count as a gap too), scanning at most `max_rows`
// rows in `tx`. The server walks the rows and sends only the gaps.
GapScan ListGaps(LocalConnection& conn, TFDTransaction& tx, std::int64_t after, std::int64_t before,
                 std::int64_t max_rows);

// An outgoing row: its SEQUENCIAL and product (UTF-8).
struct OutgoingRow {
  std::int64_t sequencial = 0;
  std::string produto;
};

// The current value of `generator` (the last it gave), in its own transaction.
std::int64_t GeneratorValue(LocalConnection& conn, const std::string& generator);

// The outgoing rows whose SEQUENCIAL lies in one of `ranges`, in ascending order.
std::vector<OutgoingRow> RowsIn(LocalConnection& conn, TFDTransaction& tx, const std::vector<SeqRange>& ranges);

}  // namespace localdb
