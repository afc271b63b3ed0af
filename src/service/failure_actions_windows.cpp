#include "service/failure_actions.h"

#include <windows.h>

#include "platform/os.h"

namespace service::host {

void SetFailureActions(void* service) {
  // Restart after the first, second and third failure alike; Windows repeats the third action
  // for every later one. Never a reboot: the store's PC also runs its till and its ERP.
  SC_ACTION actions[3];
  for (SC_ACTION& a : actions) {
    a.Type = SC_ACTION_RESTART;
    a.Delay = kRestartDelaySeconds * 1000;
  }
  SERVICE_FAILURE_ACTIONSW recovery{};
  recovery.dwResetPeriod = kFailureCountResetSeconds;
  recovery.cActions = 3;
  recovery.lpsaActions = actions;
  if (!::ChangeServiceConfig2W(static_cast<SC_HANDLE>(service), SERVICE_CONFIG_FAILURE_ACTIONS, &recovery)) {
    const int e = static_cast<int>(::GetLastError());
    throw os::OsError(e, os::SysErrorMessage(e));
  }
}

}  // namespace service::host
