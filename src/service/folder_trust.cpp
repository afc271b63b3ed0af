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
      os::WriteEventLog(event_source, "Others can change what this service runs with full rights: " +
                                          os::DescribeUntrusted(found) +
                                          ". Let only the administrators change the program's folder and what it holds.");
      settings::DoSaveLog("Outros usuários podem alterar o que o serviço executa com direitos totais: " +
                          DescribeUntrustedPt(found) + ". Só os administradores devem poder alterar a pasta do programa.");
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
      os::WriteEventLog(event_source, "The settings file " + ini + " is not read: " + e.what() +
                                          ". The service runs on the default settings.");
      settings::DoSaveLog("O arquivo de configurações " + ini + " não foi lido: " + e.what() +
                          ". O serviço usa as configurações padrão.");
    } catch (const std::exception&) {
    }
  }
}

void ReportRefusedLibraries(const std::vector<localdb::RefusedLibrary>& refused, const std::string& event_source) {
  static std::mutex mu;
  static std::set<std::string> told;  // in the event log, once each
  for (const localdb::RefusedLibrary& r : refused) {
    std::string en, pt;
    if (!r.missing_function.empty()) {
      en = "The library " + r.path + " was not loaded: it is not a Firebird client (it lacks the function " +
           r.missing_function + ").";
      pt = "A biblioteca " + r.path + " não foi carregada: não é um cliente Firebird (falta a função " +
           r.missing_function + ").";
    } else {
      en = "The library " + r.path + " was not loaded, as others can change it: " + os::DescribeUntrusted(r.untrusted) +
           ". Let only the administrators change it and its folders.";
      pt = "A biblioteca " + r.path + " não foi carregada, pois outros usuários podem alterá-la: " +
           DescribeUntrustedPt(r.untrusted) + ". Só os administradores devem poder alterá-la.";
    }
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
