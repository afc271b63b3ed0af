// The stock audit: whether the central server's stock of every product is the store's.
//
// The outgoing log says what the central server was sent: the stock of a product there is that of
// its last row at or below the central index. A product differs when its stock in PRODUTOS is not
// that, unless a newer row of it waits above the index (that row is still to be sent). A product
// never logged differs too: the central server knows nothing of it. What changes a stock without
// a row (a screen whose trigger was forgotten, a fix in SQL, a restored backup, a row lost before
// the agent came) is found this way, and the cycle repairs it by logging the product's stock
// again (replication_cycle.cpp).
//
// Reading is paced so that the store's database is never held busy for long: in steps, each in a
// read-only snapshot transaction of its own that ends within about half a second, with a pause
// between two steps. Memory grows with the number of products, not with the log: the products
// are read first, by their code, then the log is read once in SEQUENCIAL order and each row only
// updates its product's entry. Where the log has an index on CODIGOPRODUTO (the metadata tells)
// the server looks up each product's last row instead, and the log is never read whole.
//
// Products first, the log after: a product that an ERP transaction changes during the audit has
// its row committed with the change, and that row lies above the index, so the later reading of
// the log finds it waiting. Whatever happens between the steps, the worst a change in the middle
// can cost is one needless row with the product's current stock.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "connections/local/local_connection.h"

namespace replication {

// How the audit spreads its reading over time.
struct AuditPacing {
  std::chrono::milliseconds step{500};  // a step stops reading once this has passed
  std::chrono::milliseconds pause{50};  // between two steps
  std::int64_t step_rows = 0;            // rows a step reads at most; 0: only the time counts
  // Waits between two steps; empty: sleeps for `pause`.
  std::function<void(std::chrono::milliseconds)> wait;
};

// A product whose stock on the central server is not the store's. Stocks are fixed point with
// four decimals, times 10,000, as the central server's field holds them.
struct StockDifference {
  std::string product;                 // its code, UTF-8
  std::optional<std::int64_t> logged;  // its last row's stock at or below the index; none: never logged
  std::int64_t store = 0;              // PRODUTOS.ESTOQUEATUAL
};

// What one audit found.
struct AuditFindings {
  std::int64_t products = 0;  // rows of PRODUTOS read
  std::int64_t log_rows = 0;  // rows of the outgoing log read (none when looked up by index)
  bool by_index = false;      // each product's last row looked up through an index on CODIGOPRODUTO
  std::vector<StockDifference> differences;  // by product code
  int steps = 0;
  std::chrono::milliseconds longest_step{0};  // the longest a step held its transaction
};

// The audit was asked to stop between two steps (the service is stopping); what() says so.
class AuditInterrupted : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads PRODUTOS and the outgoing log on `L` and compares them, `index` being the central index,
// into `found` (which holds what was read so far when it fails). Only reads. `should_stop` (may be
// empty) is asked between steps; when it says so, AuditInterrupted is thrown. Database failures
// raise EDatabaseError.
void AuditStock(localdb::LocalConnection& L, std::int64_t index, const AuditPacing& pacing,
                const std::function<bool()>& should_stop, AuditFindings& found);

// ---- when ------------------------------------------------------------------------------------

inline constexpr int kDefaultAuditHour = 3;

// The "AuditoriaHora" setting: an hour of the day (0 to 23), or -1 for no scheduled audit.
struct AuditHour {
  int hour = kDefaultAuditHour;  // what is used: -1 for none
  bool valid = true;             // false: the value written is not one of those; the default is used
  std::string written;           // the value as written ("" when the key is missing)
};
AuditHour ReadAuditHour();
AuditHour ParseAuditHour(const std::string& written);

// Whether an audit is due at `now` (seconds since 1970): a local `hour`:00 has come since `since`,
// the start of the last audit (or the time audits were first counted from). A `since` more than
// a day ahead of `now` (a clock put back) counts as long past.
bool AuditDue(std::int64_t now, int hour, std::int64_t since);

// A stock for people: "12,5", "-3", "0,0001" (`separator` between units and decimals).
std::string FormatStock(std::int64_t stock, char separator = ',');

}  // namespace replication
