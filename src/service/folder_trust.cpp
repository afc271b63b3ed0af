#include "service/folder_trust.h"

#include <mutex>
#include <set>

#include "platform/os.h"
#include "settings/activity_log.h"
#include "settings/app_dir.h"
#include "settings/ini_file.h"

namespace service {

namespace {

std::string Folder() {
  std::string dir = settings::AppDirectory();
  if (dir.size() > 1 && (dir.back() == '/' || dir.back() == '\\')) dir.pop_back();
  return dir;
}

std::string WhoPortuguese(const os::Writer& w) {
  switch (w.kind) {
    case os::Writer::Kind::kOwner: return w.name + " (o dono)";
    case os::Writer::Kind::kUser: return w.name;
    case os::Writer::Kind::kGroup: return "o grupo " + w.name;
    case os::Writer::Kind::kEveryone: return "todos os usuários";
    case os::Writer::Kind::kUnknown: return "desconhecido: " + w.name;
  }
  return w.name;
}

template <class Who>
std::string Describe(const std::vector<os::UntrustedWrite>& found, const char* by, Who&& who) {
  std::string out;
  for (const os::UntrustedWrite& f : found) {
    if (!out.empty()) out += "; ";
    out += f.path + " (" + by + " ";
    for (std::size_t i = 0; i < f.writers.size(); ++i) out += (i ? ", " : "") + who(f.writers[i]);
    out += ")";
  }
  return out;
}

}  // namespace

std::vector<std::string> ProgramPaths(const std::string& library_path) {
  std::vector<std::string> paths = {Folder(), os::ExeName(), settings::SettingsFilePath()};
  if (!library_path.empty()) paths.push_back(library_path);
  return paths;
}

std::vector<os::UntrustedWrite> UntrustedProgramPaths(const std::string& library_path,
                                                      const std::vector<os::AccountId>& also_trusted) {
  return os::UntrustedWriters(ProgramPaths(library_path), also_trusted);
}

std::string DescribeUntrustedPt(const std::vector<os::UntrustedWrite>& found) {
  return Describe(found, "por", WhoPortuguese);
}

void WarnIfProgramFolderUntrusted(const std::string& library_path, const std::string& event_source) {
  try {
    const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths(library_path, os::ProgramTrustees());
    if (!found.empty()) {
      os::WriteEventLog(event_source, messages::Format(messages::kEvUntrusted, {DescribeUntrustedPt(found)}));
      settings::DoSaveLog(messages::Format(messages::kUntrusted, {DescribeUntrustedPt(found)}));
    }
  } catch (const std::exception&) {
    // A warning that cannot be given must not stop the service.
  }
  // A settings file that is not the agent's own is not read: the service runs on the defaults.
  const std::string ini = settings::SettingsFilePath();
  try {
    os::File probe(ini, settings::SettingsFileMode());
  } catch (const os::OsError& e) {
    if (e.code() == 2 || e.code() == 3) return;  // missing (ENOENT; ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND)
    try {
      os::WriteEventLog(event_source, messages::Format(messages::kEvSettingsNotRead, {ini, e.what()}));
      settings::DoSaveLog(messages::Format(messages::kSettingsNotRead, {ini, e.what()}));
    } catch (const std::exception&) {
    }
  }
}

void ReportRefusedLibraries(const std::vector<localdb::RefusedLibrary>& refused, const std::string& event_source) {
  static std::mutex mu;
  static std::set<std::string> told;  // in the event log, once each
  for (const localdb::RefusedLibrary& r : refused) {
    const bool not_client = !r.missing_function.empty();
    const std::string who = not_client ? r.missing_function : DescribeUntrustedPt(r.untrusted);
    const messages::Text en =
        messages::Format(not_client ? messages::kEvLibraryNotClient : messages::kEvLibraryUntrusted, {r.path, who});
    const messages::Text pt =
        messages::Format(not_client ? messages::kLibraryNotClient : messages::kLibraryUntrusted, {r.path, who});
    try {
      bool first;
      {
        std::lock_guard lock(mu);
        first = told.insert(r.path).second;
      }
      if (first) os::WriteEventLog(event_source, en);
      settings::DoSaveLog(pt);
    } catch (const std::exception&) {
      // A report that cannot be given never stops a cycle.
    }
  }
}

}  // namespace service
