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

// An outgoing row: its SEQUENCIAL and product.
struct OutgoingRow {
  std::int64_t sequencial = 0;
  std::string produto;
};

// The outgoing rows whose SEQUENCIAL lies in one of `ranges`, in ascending order.
std::vector<OutgoingRow> RowsIn(LocalConnection& conn, TFDTransaction& tx, const std::vector<SeqRange>& ranges);

}  // namespace localdb
