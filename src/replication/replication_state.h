// What the replication cycle must remember across restarts of the service, in a small file next
// to the executable ("Tavrimondo_Estado.txt"):
//  - the initial-load mark: the highest SEQUENCIAL that an initial load wrote, while that load is
//    still waiting to reach the central server, so that a cycle that fails before the central
//    server stores a row never seeds the outgoing log a second time;
//  - a seeding check: rows that a seeding of the outgoing log (the initial load, or a refresh of
//    some products) wrote may carry a stock older than a change that another transaction
//    committed while it ran, with a lower SEQUENCIAL; once those transactions have ended, the
//    products they touched are sent once more (see seeding.h).
// Both belong to one store code and one database; for any other they do not exist.
//
// The file is text, "key=value" lines in UTF-8, replaced in one step on every change so that a
// crash leaves the old or the new version, never a mix. Deleting it while the service is stopped
// is safe: the next cycle that finds the central server without an index seeds once more.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace replication {

inline constexpr const char* kStateFileName = "Tavrimondo_Estado.txt";

// A seeding of the outgoing log still to be checked against transactions that ran beside it.
struct SeedingCheck {
  std::int64_t upto = 0;              // its highest SEQUENCIAL: rows above it came after it
  std::vector<std::int64_t> own;      // its own transactions, whose rows are the seeding itself
  std::int64_t from = 0;              // transactions numbered from here began after it looked
  std::vector<std::int64_t> open;     // transactions that were open when it looked
  std::int64_t horizon = 0;           // 0 until a look after it committed: all of them are below
  bool operator==(const SeedingCheck&) const = default;

  // Two seedings checked as one: rows of either may be stale.
  void Merge(const SeedingCheck& other);
};

struct ReplicationState {
  std::int32_t store = 0;
  std::string database;             // "server:path" as the connection reaches it
  std::int64_t load_mark = 0;       // 0: no initial load waiting
  std::optional<SeedingCheck> check;
  bool operator==(const ReplicationState&) const = default;

  bool Empty() const { return load_mark == 0 && !check; }
};

// The file could not be read, or holds something this program did not write; what() says which.
class StateFileError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class StateFile {
 public:
  explicit StateFile(std::string path) : path_(std::move(path)) {}
  const std::string& Path() const { return path_; }

  // The state the file holds; an empty state when there is no file. Throws StateFileError.
  ReplicationState Read() const;
  // Replaces the file (an empty state removes it). Throws os::OsError.
  void Write(const ReplicationState& state) const;

  // The text Write() puts in the file, and its reading; exposed for tests.
  static std::string Format(const ReplicationState& state);
  static ReplicationState Parse(const std::string& text);

 private:
  std::string path_;
};

// The state file next to the executable.
std::string StateFilePath();

}  // namespace replication
