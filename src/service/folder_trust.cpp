#include "service/folder_trust.h"

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

std::string WhoEnglish(const os::Writer& w) {
  switch (w.kind) {
    case os::Writer::Kind::kOwner: return w.name + " (its owner)";
    case os::Writer::Kind::kUser: return w.name;
    case os::Writer::Kind::kGroup: return "the group " + w.name;
    case os::Writer::Kind::kEveryone: return "every user";
    case os::Writer::Kind::kUnknown: return "unknown: " + w.name;
  }
  return w.name;
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

std::string DescribeUntrusted(const std::vector<os::UntrustedWrite>& found) { return Describe(found, "by", WhoEnglish); }

std::string DescribeUntrustedPt(const std::vector<os::UntrustedWrite>& found) {
  return Describe(found, "por", WhoPortuguese);
}

void WarnIfProgramFolderUntrusted(const std::string& library_path, const std::string& event_source) {
  try {
    const std::vector<os::UntrustedWrite> found = UntrustedProgramPaths(library_path, os::OwnAccounts());
    if (found.empty()) return;
    os::WriteEventLog(event_source, "Others can change what this service runs with full rights: " +
                                        DescribeUntrusted(found) +
                                        ". Let only the administrators change the program's folder and what it holds.");
    settings::DoSaveLog("Outros usuários podem alterar o que o serviço executa com direitos totais: " +
                        DescribeUntrustedPt(found) + ". Só os administradores devem poder alterar a pasta do programa.");
  } catch (const std::exception&) {
    // A warning that cannot be given must not stop the service.
  }
}

}  // namespace service
