// SrvTavrimondoClient: installs, uninstalls or runs the store replication service.
#include <exception>

#include "platform/file_trust.h"
#include "platform/library.h"
#include "platform/os.h"
#include "service/service_application.h"
#include "service/status_check.h"
#include "service/service_host.h"
#include "service/tavrimondo_client.h"
#include "settings/app_dir.h"

int main(int argc, char** argv) {
  // Before anything can load a library: never from where others may put one.
  os::RestrictLibrarySearch();
  const std::vector<std::string> args = os::CommandLineArguments(argc, argv);
  // Where the agent's data lives, and whose files there are its own, as the service manager has
  // them, for every mode alike.
  const service::host::DataFolders data = service::host::LocateDataFolders(kServiceName, os::ExeName());
  settings::SetDataDirectories(data.state, data.logs);
  os::SetAgentAccounts(service::host::ServiceAccounts(kServiceName, /*ask_manager=*/false));
  // The status check comes before every other mode: it never installs, starts or stops anything.
  if (service::FindCmdLineSwitch(args, "STATUS")) return service::status::RunStatusCheck(args);
  service::TServiceApplication Application(args);
  try {
    Application.Initialize();
    Application.CreateForm(TavrimondoClient);
    int status = Application.Run();
    return status;
  } catch (const std::exception& e) {
    // An error nothing else handled (the service control manager could not be opened, say).
    os::ShowMessage(e.what(), true);
    return 1;
  }
}
