#include "settings/app_dir.h"

#include <mutex>

#include "platform/os.h"

namespace settings {

namespace {
std::mutex g_mu;
std::string g_override;
std::string g_state, g_logs;
}  // namespace

std::string ExtractFilePath(const std::string& path) {
  auto pos = path.find_last_of(os::PathDelim() == '\\' ? "\\/:" : "/");
  return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string IncludeTrailingPathDelimiter(const std::string& dir) {
  if (!dir.empty() && (dir.back() == os::PathDelim() || dir.back() == '/')) return dir;
  return dir + os::PathDelim();
}

std::string AppDirectory() {
  {
    std::lock_guard lock(g_mu);
    if (!g_override.empty()) return IncludeTrailingPathDelimiter(g_override);
  }
  static const std::string exe_dir = IncludeTrailingPathDelimiter(ExtractFilePath(os::ExeName()));
  return exe_dir;
}

void SetAppDirectoryOverride(const std::string& dir) {
  std::lock_guard lock(g_mu);
  g_override = dir;
}

std::string StateDirectory() {
  {
    std::lock_guard lock(g_mu);
    if (!g_state.empty()) return IncludeTrailingPathDelimiter(g_state);
  }
  return AppDirectory();
}

std::string LogDirectory() {
  {
    std::lock_guard lock(g_mu);
    if (!g_logs.empty()) return IncludeTrailingPathDelimiter(g_logs);
  }
  return AppDirectory();
}

void SetDataDirectories(const std::string& state, const std::string& logs) {
  std::lock_guard lock(g_mu);
  g_state = state;
  g_logs = logs;
}

bool DataBesideProgram() {
  std::lock_guard lock(g_mu);
  return g_state.empty() && g_logs.empty();
}

}  // namespace settings
