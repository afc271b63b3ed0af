#include "service/systemd_unit.h"

#include <cstdio>

#include "common/text.h"
#include "service/failure_actions.h"

namespace service::systemd {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// What systemd accepts as the name of the program to start.
bool SafeExecutable(const std::string& path) {
  for (unsigned char c : path)
    if (IsControl(c) || c == '"' || c == '\'' || c == '\\') return false;
  return text::IsValidUtf8(path);
}

std::string Hex(unsigned char c) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "\\x%02x", c);
  return buf;
}

// One word of a command line in double quotes. `literal_dollar`: the word is an argument, where
// systemd expands "$NAME" and "${NAME}" unless the dollar is doubled.
std::string QuotedWord(const std::string& word, bool literal_dollar) {
  const bool utf8 = text::IsValidUtf8(word);
  std::string out = "\"";
  for (unsigned char c : word) {
    if (c == '\\' || c == '"') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c == '%') {
      out += "%%";
    } else if (c == '$' && literal_dollar) {
      out += "$$";
    } else if (IsControl(c) || (c >= 0x80 && !utf8)) {
      out += Hex(c);  // a unit file is text: only escapes carry such bytes
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

std::string Specifiers(const std::string& value) {
  std::string out;
  for (char c : value) {
    if (c == '%') out += '%';
    out += c;
  }
  return out;
}

}  // namespace

std::string ExecStartValue(const std::string& exe) {
  // The program's own path is not subject to variable expansion, only to specifiers.
  if (SafeExecutable(exe)) return QuotedWord(exe, false);
  return "/bin/sh -c \"exec \\\"$$0\\\"\" " + QuotedWord(exe, true);
}

namespace {

// What both units say: the program, how systemd talks to it, and what follows a crash.
std::string ServiceLines(const ServiceDefinition& def, const std::string& exe) {
  std::string s;
  s += "Type=notify\n";
  s += "ExecStart=" + ExecStartValue(exe) + "\n";
  s += "ExecReload=/bin/kill -HUP $MAINPID\n";
  // A process that ends without being stopped (a crash, a kill) is started again a minute later;
  // one that was stopped, by systemctl or by a signal of its own, stays stopped.
  s += "Restart=on-failure\n";
  s += "RestartSec=" + std::to_string(kRestartDelaySeconds) + "\n";
  // A stop waits for the batch being sent and the cycle's closing sequence.
  s += "TimeoutStopSec=" + std::to_string(StopTimeoutSeconds()) + "\n";
  // Whatever the program writes to its standard streams reaches the journal under the service's name.
  s += "SyslogIdentifier=" + def.name + "\n";
  return s;
}

std::string UnitLines(const ServiceDefinition& def) {
  std::string s = "[Unit]\n";
  s += "Description=" + Specifiers(def.display_name) + "\n";
  s += "Wants=network-online.target\nAfter=network-online.target\n";
  if (!def.dependencies.empty()) s += "Requires=" + def.dependencies + "\nAfter=" + def.dependencies + "\n";
  return s;
}

}  // namespace

std::string UnitFileText(const ServiceDefinition& def, const std::string& exe) {
  std::string unit;
  unit += "# Written by the agent's install run; its uninstall run removes it.\n";
  if (def.start_name.empty())
    unit += "# The agent runs as root, without a sandbox: the Debian package's unit runs it as an account of its own.\n";
  unit += UnitLines(def);
  unit += "\n[Service]\n";
  unit += ServiceLines(def, exe);
  if (!def.start_name.empty()) unit += "User=" + def.start_name + "\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

std::string PackageUnitFileText(const ServiceDefinition& def, const std::string& exe, const std::string& account,
                                const std::string& data_name) {
  std::string unit;
  unit += "# The agent runs as the account " + account + ", which may write only its data folders, /var/lib/" +
          data_name + " and /var/log/" + data_name + ": never the program's folder, which is root's.\n";
  unit += UnitLines(def);
  unit += "\n[Service]\n";
  unit += ServiceLines(def, exe);
  unit += "User=" + account + "\nGroup=" + account + "\n";
  // The technician's status check reads the log and the cycle record as any user.
  unit += "UMask=0022\n";
  // Read-only everywhere but its data folders, which systemd makes and gives the account: the
  // state file, cycle record and lock in one, the activity log and its lock in the other.
  unit += "ProtectSystem=strict\n";
  unit += "StateDirectory=" + data_name + "\nLogsDirectory=" + data_name + "\n";
  unit += "ProtectHome=yes\nPrivateTmp=yes\nPrivateDevices=yes\nPrivateUsers=yes\n";
  unit += "ProtectKernelTunables=yes\nProtectKernelModules=yes\nProtectKernelLogs=yes\n";
  unit += "ProtectControlGroups=yes\nProtectClock=yes\nProtectHostname=yes\n";
  unit += "ProtectProc=invisible\nProcSubset=pid\n";
  unit += "NoNewPrivileges=yes\nCapabilityBoundingSet=\nRestrictSUIDSGID=yes\n";
  // TCP to the Firebird server and the central server; local sockets to the journal and to systemd.
  unit += "RestrictAddressFamilies=AF_UNIX AF_INET AF_INET6\n";
  unit += "RestrictNamespaces=yes\nRestrictRealtime=yes\nLockPersonality=yes\nMemoryDenyWriteExecute=yes\n";
  unit += "RemoveIPC=yes\n";
  unit += "SystemCallArchitectures=native\n";
  unit += "SystemCallFilter=@system-service\nSystemCallFilter=~@privileged @resources\n";
  // A call outside the filter fails with an error the program reports, rather than killing it.
  unit += "SystemCallErrorNumber=EPERM\n";
  unit += "\n[Install]\nWantedBy=multi-user.target\n";
  return unit;
}

namespace {

// The first word of a command line by systemd's quoting: in double or single quotes with
// backslash escapes, or up to a blank.
std::string FirstWord(const std::string& value) {
  std::size_t i = value.find_first_not_of(" \t");
  if (i == std::string::npos) return {};
  std::string out;
  const char quote = value[i] == '"' || value[i] == '\'' ? value[i++] : '\0';
  for (; i < value.size(); ++i) {
    const char c = value[i];
    if (quote ? c == quote : (c == ' ' || c == '\t')) break;
    if (c == '\\' && i + 1 < value.size()) {
      out += value[++i];
      continue;
    }
    out += c;
  }
  return out;
}

}  // namespace

UnitSettings ReadUnitSettings(const std::string& unit_text) {
  UnitSettings u;
  bool service = false;
  std::size_t pos = 0;
  while (pos <= unit_text.size()) {
    std::size_t end = unit_text.find('\n', pos);
    if (end == std::string::npos) end = unit_text.size();
    std::string line = unit_text.substr(pos, end - pos);
    pos = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty() && line[0] == '[') service = line == "[Service]";
    const std::size_t eq = line.find('=');
    if (!service || eq == std::string::npos) continue;
    const std::string key = line.substr(0, eq), value = line.substr(eq + 1);
    // A later line wins, as in systemd; an empty one resets.
    if (key == "ExecStart") u.exec = FirstWord(value);
    else if (key == "User") u.user = FirstWord(value);
    else if (key == "StateDirectory") u.state_dir = value.empty() ? "" : "/var/lib/" + FirstWord(value);
    else if (key == "LogsDirectory") u.logs_dir = value.empty() ? "" : "/var/log/" + FirstWord(value);
  }
  return u;
}

}  // namespace service::systemd
