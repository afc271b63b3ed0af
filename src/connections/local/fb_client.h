// The Firebird client library, loaded at run time.
//
// The agent never links against fbclient: the library is found when the first connection is
// attempted, so a store without it still runs (and says which files it looked for). The function
// types come from the client's own header, so a signature mismatch is a compile error.
#pragma once

#include <ibase.h>

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/file_trust.h"
#include "platform/library.h"

namespace localdb {

// The entry points the agent uses.
struct FbApi {
  decltype(&isc_attach_database) attach_database = nullptr;
  decltype(&isc_detach_database) detach_database = nullptr;
  decltype(&isc_start_multiple) start_multiple = nullptr;
  decltype(&isc_commit_transaction) commit_transaction = nullptr;
  decltype(&isc_commit_retaining) commit_retaining = nullptr;
  decltype(&isc_rollback_transaction) rollback_transaction = nullptr;
  decltype(&isc_dsql_allocate_statement) dsql_allocate_statement = nullptr;
  decltype(&isc_dsql_prepare) dsql_prepare = nullptr;
  decltype(&isc_dsql_describe) dsql_describe = nullptr;
  decltype(&isc_dsql_describe_bind) dsql_describe_bind = nullptr;
  decltype(&isc_dsql_execute) dsql_execute = nullptr;
  decltype(&isc_dsql_fetch) dsql_fetch = nullptr;
  decltype(&isc_dsql_free_statement) dsql_free_statement = nullptr;
  decltype(&fb_interpret) interpret = nullptr;
};

// One transaction-start block for isc_start_multiple, laid out as the client library expects it
// (a handle pointer, a 32-bit length, the parameter buffer).
struct FbTeb {
  isc_db_handle* database;
  int tpb_length;
  const char* tpb;
};

// The file names tried when no library is named, in order.
std::vector<std::string> DefaultClientLibraries();
// The library named by a fresh driver link before any setting has been applied.
std::string InitialVendorLib();

// The text of a status vector as the client library words it: every message, joined by CR LF.
std::string InterpretStatus(const FbApi& api, const ISC_STATUS* status);

// A library file that was found and not loaded: others can change it (`untrusted`), or it is not a
// Firebird client (`missing_function`, read from the file before it could load).
struct RefusedLibrary {
  std::string path;
  std::vector<os::UntrustedWrite> untrusted;
  std::string missing_function;
};

// The loaded client library, shared by every connection of the process. The first load that
// succeeds wins and stays until the process ends; later requests for another file are served by
// the library already loaded, as a database layer loads its driver only once.
class FbDriverManager {
 public:
  // The process's one manager. Tests may create their own to exercise loading from scratch.
  static FbDriverManager& Process();

  FbDriverManager() : FbDriverManager(DefaultClientLibraries()) {}
  // `default_libraries`: the files tried, in order, when no library is named.
  explicit FbDriverManager(std::vector<std::string> default_libraries)
      : default_libraries_(std::move(default_libraries)) {}
  FbDriverManager(const FbDriverManager&) = delete;
  FbDriverManager& operator=(const FbDriverManager&) = delete;

  // Returns the loaded library, loading it first when none is. An empty `vendor_lib` tries the
  // default names in order; a value is the only name tried, and must be an absolute path on a
  // local disk, a file name, or a path below the program's folder (os::LibraryPathProblem). Each
  // name is loaded by full path only: a bare name from the program's folder, then from where the
  // system keeps libraries (os::SystemLibrary); a relative path from the program's folder. Every
  // file is judged before it loads (os::SharedLibrary): one that others can change, or that does
  // not export the client's functions, never loads, is passed over for the next, and is kept in
  // Refused(). `on_created` runs once, right after the load that succeeded, outside the manager's
  // lock. Throws ClientLibraryError naming every file tried and why it failed.
  const FbApi& Load(const std::string& vendor_lib, const std::function<void()>& on_created);

  bool Loaded() const;
  std::string LoadedFile() const;  // the name it was loaded by; empty before the first successful load
  std::string LoadedPath() const;  // the full path of the file loaded; empty before that
  // The files found and refused so far, each once, in the order found.
  std::vector<RefusedLibrary> Refused() const;

 private:
  void NoteRefusal(RefusedLibrary refused);  // under mu_
  std::vector<RefusedLibrary> refused_;
  std::vector<std::string> default_libraries_;
  mutable std::mutex mu_;
  std::unique_ptr<os::SharedLibrary> library_;
  std::string file_;
  std::string path_;
  FbApi api_;
};

}  // namespace localdb
