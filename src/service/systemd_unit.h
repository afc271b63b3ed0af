// Linux: the systemd unit that the install run writes, with the command line systemd runs.
#pragma once

#include <string>

#include "service/service_host.h"

namespace service::systemd {

// The value of ExecStart= that runs the program at `exe` (an absolute path) with no arguments,
// written by systemd's rules: the path in double quotes, '\' and '"' escaped with a backslash,
// '%' doubled (specifiers), and control characters as \xNN. systemd refuses to start a program
// whose path holds a quote, a backslash, a control character or bytes that are not UTF-8; such a
// path is handed to /bin/sh as an argument, where '$' is doubled too (variable expansion), and the
// shell replaces itself with the program.
std::string ExecStartValue(const std::string& exe);

// The whole unit file for the service `def` that starts `exe`, as the install run writes it: the
// program runs as the definition's account (none: root), without a sandbox, since it may live in
// any folder.
std::string UnitFileText(const ServiceDefinition& def, const std::string& exe);

// The unit of the Debian package: the program runs as `account`, in a sandbox where it may write
// only the data folders systemd makes for it (/var/lib/<name> for its state file, cycle record
// and lock; /var/log/<name> for its activity log), never the program's folder, and reach other
// machines only over TCP. `data_name`: the name of both folders.
std::string PackageUnitFileText(const ServiceDefinition& def, const std::string& exe, const std::string& account,
                                const std::string& data_name);

// What a unit file says of the agent, by its [Service] lines: the program ExecStart= runs (its
// first word, unquoted by systemd's rules), the account (User=), and the data folders
// (StateDirectory= beneath /var/lib, LogsDirectory= beneath /var/log; the first of each). "" for
// what it does not say.
struct UnitSettings {
  std::string exec, user, state_dir, logs_dir;
};
UnitSettings ReadUnitSettings(const std::string& unit_text);

}  // namespace service::systemd
