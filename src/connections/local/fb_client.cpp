#include "connections/local/fb_client.h"

#include "common/text.h"
#include "connections/local/db_errors.h"
#include "platform/library.h"
#include "settings/app_dir.h"

namespace localdb {

namespace {

// Every entry point the agent binds; a file must export them all before it is loaded at all.
const std::vector<std::string>& RequiredFunctions() {
  static const std::vector<std::string> names = {
      "isc_attach_database",  "isc_detach_database",  "isc_start_multiple",          "isc_commit_transaction",
      "isc_commit_retaining", "isc_rollback_transaction", "isc_dsql_allocate_statement", "isc_dsql_prepare",
      "isc_dsql_describe",    "isc_dsql_describe_bind",   "isc_dsql_execute",            "isc_dsql_fetch",
      "isc_dsql_free_statement", "fb_interpret"};
  return names;
}

// Resolves every entry point or names the first one missing.
FbApi ResolveApi(const os::SharedLibrary& lib) {
  FbApi api;
  auto bind = [&](auto& slot, const char* name) {
    void* p = lib.Symbol(name);
    if (!p) throw ClientLibraryError("it lacks the function " + std::string(name));
    slot = reinterpret_cast<std::remove_reference_t<decltype(slot)>>(p);
  };
  bind(api.attach_database, "isc_attach_database");
  bind(api.detach_database, "isc_detach_database");
  bind(api.start_multiple, "isc_start_multiple");
  bind(api.commit_transaction, "isc_commit_transaction");
  bind(api.commit_retaining, "isc_commit_retaining");
  bind(api.rollback_transaction, "isc_rollback_transaction");
  bind(api.dsql_allocate_statement, "isc_dsql_allocate_statement");
  bind(api.dsql_prepare, "isc_dsql_prepare");
  bind(api.dsql_describe, "isc_dsql_describe");
  bind(api.dsql_describe_bind, "isc_dsql_describe_bind");
  bind(api.dsql_execute, "isc_dsql_execute");
  bind(api.dsql_fetch, "isc_dsql_fetch");
  bind(api.dsql_free_statement, "isc_dsql_free_statement");
  bind(api.interpret, "fb_interpret");
  return api;
}

// The files a library name stands for, tried in order, each by its full path: a library is never
// looked for where others may put one of their own (the current folder, the PATH). A bare name is
// looked for in the program's folder, then where the system keeps its libraries; a relative path
// is taken from the program's folder. Each is judged before it loads, so a file in a folder that
// others can write is never loaded: a bare name is taken from the program's folder only while
// only the trusted accounts can write it.
std::vector<std::string> LibraryPaths(const std::string& name) {
  if (os::IsAbsoluteLibraryPath(name)) return {name};
  const std::string app = settings::AppDirectory();
  if (name.find_first_of("/\\") != std::string::npos) return {app + name};
  return {app + name, os::SystemLibrary(name)};
}

}  // namespace

std::string InterpretStatus(const FbApi& api, const ISC_STATUS* status) {
  std::string out;
  char buf[1024];
  const ISC_STATUS* p = status;
  while (api.interpret(buf, sizeof buf, &p) > 0) {
    if (!out.empty()) out += "\r\n";
    out += buf;
  }
  if (out.empty()) out = "Unknown Firebird error " + std::to_string(status[1]);
  // Texts from the server (file names, values) arrive in the connection's character set.
  if (text::SanitizeUtf8(out) != out) out = text::Latin1ToUtf8(out);
  // A database's own messages (an exception a trigger raises, say) may be of any length.
  return text::CapText(out);
}

FbDriverManager& FbDriverManager::Process() {
  static FbDriverManager manager;
  return manager;
}

const FbApi& FbDriverManager::Load(const std::string& vendor_lib, const std::function<void()>& on_created) {
  {
    std::lock_guard lock(mu_);
    if (library_) return api_;
    if (!vendor_lib.empty()) {
      if (const std::string problem = os::LibraryPathProblem(vendor_lib); !problem.empty())
        throw ClientLibraryError("Cannot load the Firebird client library \"" + vendor_lib +
                                 "\" named by VendorLib in the settings: " + problem);
    }
    std::vector<std::string> candidates =
        vendor_lib.empty() ? default_libraries_ : std::vector<std::string>{vendor_lib};
    std::string reasons;
    // A file that does not exist, others can change, or is not a Firebird client (an entry point
    // is missing) is passed over for the next; the error names every file tried and why. Those
    // others can change, and those that are not clients, are kept to be named again.
    for (const auto& file : candidates) {
      for (const auto& path : LibraryPaths(file)) {
        std::unique_ptr<os::SharedLibrary> lib;
        FbApi api;
        try {
          lib = std::make_unique<os::SharedLibrary>(path, os::ProgramTrustees(), RequiredFunctions());
          api = ResolveApi(*lib);
        } catch (const os::LibraryRefused& e) {
          reasons += (reasons.empty() ? "" : "; ") + std::string("\"") + path + "\": " + e.what() + ": " +
                     os::DescribeUntrusted(e.Untrusted());
          NoteRefusal({path, e.Untrusted(), ""});
          continue;
        } catch (const os::LibraryLacksFunction& e) {
          reasons += (reasons.empty() ? "" : "; ") + std::string("\"") + path + "\": " + e.what();
          NoteRefusal({path, {}, e.Function()});
          continue;
        } catch (const std::exception& e) {
          reasons += (reasons.empty() ? "" : "; ") + std::string("\"") + path + "\": " + e.what();
          continue;
        }
        api_ = api;
        library_ = std::move(lib);
        file_ = file;
        path_ = library_->Path();
        if (path_.empty()) path_ = path;
        break;
      }
      if (library_) break;
    }
    if (!library_) {
      std::string names;
      for (const auto& f : candidates) names += (names.empty() ? "" : ", ") + std::string("\"") + f + "\"";
      throw ClientLibraryError("Cannot load the Firebird client library. Tried " + names + " (" + reasons + ")");
    }
  }
  if (on_created) on_created();
  return api_;
}

void FbDriverManager::NoteRefusal(RefusedLibrary refused) {
  for (const RefusedLibrary& r : refused_)
    if (r.path == refused.path) return;
  refused_.push_back(std::move(refused));
}

std::vector<RefusedLibrary> FbDriverManager::Refused() const {
  std::lock_guard lock(mu_);
  return refused_;
}

bool FbDriverManager::Loaded() const {
  std::lock_guard lock(mu_);
  return library_ != nullptr;
}

std::string FbDriverManager::LoadedFile() const {
  std::lock_guard lock(mu_);
  return file_;
}

std::string FbDriverManager::LoadedPath() const {
  std::lock_guard lock(mu_);
  return path_;
}

}  // namespace localdb
