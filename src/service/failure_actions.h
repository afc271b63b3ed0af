// What the service manager does when the agent's process ends although nobody stopped the
// service (a crash, or a kill): it starts the service again a minute later, every time. And how
// long a stop may take.
//
// The agent can always be started again: rows stay in the store until the central server has
// accepted them, and a batch is stored whole or not at all, so a process that died in the middle
// of a send costs nothing but the wait. Staying down, on the other hand, goes unnoticed until the
// central server's stock is wrong. Hence the same answer to every failure, on both platforms:
// Windows lists three failure actions and repeats the last one for every later failure until the
// count is reset, and systemd restarts a unit with Restart=on-failure each time.
#pragma once

#include <chrono>
#include <cstdint>

#include "connections/central/dbx_connection.h"

namespace service {

// How long after a failure the service is started again.
inline constexpr std::uint32_t kRestartDelaySeconds = 60;
// Windows: a day without failures counts the next one as the first again.
inline constexpr std::uint32_t kFailureCountResetSeconds = 24 * 60 * 60;

// How long the agent's process may take to end once asked to stop: the exchange with the central
// server in progress (a stop waits for the batch being applied), then the cycle's closing
// sequence, whose reset call connects again when that exchange broke the connection, and a margin
// for closing the local database. systemd waits this long before it kills the agent
// (TimeoutStopSec=); the Windows installer, before it replaces or removes the program.
inline int StopTimeoutSeconds() {
  using std::chrono::duration_cast;
  using std::chrono::seconds;
  const auto exchange = duration_cast<seconds>(central::kExchangeTimeout);
  const auto connect = duration_cast<seconds>(central::kConnectTimeout);
  constexpr seconds kLocalClosing{15};
  return static_cast<int>((exchange + connect + exchange + kLocalClosing).count());
}

namespace host {

// Windows: registers the failure actions for a service opened with SERVICE_CHANGE_CONFIG and
// SERVICE_START access (`service` is its SC_HANDLE). Throws os::OsError.
void SetFailureActions(void* service);

}  // namespace host
}  // namespace service
